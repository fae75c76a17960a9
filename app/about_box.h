#pragma once

#include <QDialog>

// The About box: the application icon, the version, the maker's lines and an OK button.
class CAboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutBox(QWidget* parent = nullptr);
};

inline constexpr const char* kAboutCaption = "About PRAVUNE Loader";
inline constexpr const char* kAboutVersion = "PRAVUNE Loader Version 1.5.1";
inline constexpr const char* kAboutCopyright = "Copyright (C) 2011-2026 PRAVUNE";
inline constexpr const char* kAboutCompany = "PRAVUNE Module Works";
inline constexpr const char* kMakerAddress = "pravune.example";
