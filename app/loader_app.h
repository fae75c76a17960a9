#pragma once

#include <QApplication>

class HidPlatform;

// The application object: runs the main window modally over the given HID platform; the process
// ends when the window closes.
class CLoaderApp : public QApplication {
    Q_OBJECT
  public:
    CLoaderApp(int& argc, char** argv);
    int Run(HidPlatform& platform);
};
