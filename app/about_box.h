#pragma once

#include <QDialog>
#include <string>

#include "pravune_version.h"

// The About box: the application icon, the version, the maker's lines, the settings file in use
// and an OK button.
class CAboutBox : public QDialog {
    Q_OBJECT
  public:
    // `settingsFile` is shown on a line of its own; `origin` says why it is there (tool tip).
    CAboutBox(const std::string& settingsFile, const std::string& origin,
              QWidget* parent = nullptr);
};

inline constexpr const char* kAboutCaption = "About PRAVUNE Loader";
inline constexpr const char* kAboutVersion = "PRAVUNE Loader Version " PRAVUNE_VERSION;
inline constexpr const char* kAboutCopyright = "Copyright (C) 2011-2026 PRAVUNE";
inline constexpr const char* kAboutCompany = "PRAVUNE Module Works";
