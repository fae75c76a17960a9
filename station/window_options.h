#pragma once

#include <optional>
#include <string>

#include "settings/config_location.h"

// The window's own command line, answered before the toolkit starts: the same for every window
// of the loader (the Qt window and its demo).

// What a program's --help prints about it.
struct CommandLineInfo {
    const char* program;  // the executable's name, also its folder under ~/.config
    const char* purpose;  // one or more lines, each ended in a line break
};

// What the loader's window and its demo say of themselves, on every system.
inline constexpr CommandLineInfo kLoaderWindowInfo{
    "pravune-loader",
    "Programs the application flash of PRAVUNE modules through their USB bootloader.\n"};
inline constexpr CommandLineInfo kDemoWindowInfo{
    "pravune-loader-demo",
    "The loader's window on a virtual module, for trying it without hardware. When its\n"
    "config.ini names no HEX file, it opens the sample application pravune-sample.hex.\n"};

// Answers the program's own options before any QApplication exists, so that they need no
// display: --help (-h) and --version (-v) print to standard output, and an option that starts
// with two dashes and is neither ours nor one of Qt's prints the usage to standard error.
// Otherwise it finds the settings file (--config FILE or --config=FILE, else LocateConfig's
// rule) into `where` and takes --config out of the arguments. Returns the exit code when the
// process is to end now (0, 1 when standard output could not be written, 2 for an unknown
// option or a settings file that cannot be), or nothing when the window is to open; every other
// argument is left for QApplication.
std::optional<int> AnswerCommandLine(int& argc, char** argv, const CommandLineInfo& info,
                                     ConfigLocation& where);

// The demo's sample application: pravune-sample.hex beside the executable (the build tree, a
// Windows installation) or where a Linux installation puts it; empty when neither has it.
std::string FindSample(const std::string& exeDir);
// Stores the sample's path as the HEX file in the demo's config.ini when none is named there, so
// that the demo's window opens with an image loaded. Returns what went wrong, empty when all is
// well or nothing was to be done.
std::string NameSampleWhenNoFile(const std::string& config, const std::string& exeDir);
