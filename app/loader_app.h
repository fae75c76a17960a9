#pragma once

#include <QApplication>

#include "settings/config_location.h"

class BusScript;
class HidPlatform;

// The application object: runs the main window modally over the given HID platform; the process
// ends when the window closes.
class CLoaderApp : public QApplication {
    Q_OBJECT
  public:
    CLoaderApp(int& argc, char** argv);
    // `where`: the settings file the window keeps (see LocateConfig); `script`: a bus that
    // changes by itself (the demo's), or null.
    int Run(HidPlatform& platform, const ConfigLocation& where, BusScript* script = nullptr);
};
