#pragma once

#include <QApplication>

#include <optional>

class HidPlatform;

// The application object: runs the main window modally over the given HID platform; the process
// ends when the window closes.
class CLoaderApp : public QApplication {
    Q_OBJECT
  public:
    CLoaderApp(int& argc, char** argv);
    int Run(HidPlatform& platform);
};

// What a program's --help prints about it.
struct CommandLineInfo {
    const char* program;  // the executable's name
    const char* purpose;  // one or more lines, each ended in a line break
};

// Answers the program's own options before any QApplication exists, so that they need no
// display: --help (-h) and --version (-v) print to standard output, and an option that starts
// with two dashes and is neither ours nor one of Qt's prints the usage to standard error.
// Returns the exit code when the process is to end now (0, 1 when standard output could not
// be written, 2 for an unknown option), or nothing when the window is to open; every other
// argument is left for QApplication.
std::optional<int> AnswerCommandLine(int argc, char** argv, const CommandLineInfo& info);
