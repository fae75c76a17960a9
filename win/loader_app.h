#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/hid_platform.h"
#include "settings/config_location.h"
#include "station/bus_script.h"
#include "station/window_options.h"

// The process around the window on Windows: its command line as UTF-8, the answers to --help
// and --version on the console it was started from, the common controls and the RichEdit
// library, and the modal window.

// The process's arguments as UTF-8 (the system's own, wide, not the code page's).
class Utf8Arguments {
  public:
    Utf8Arguments();
    int& Count() { return m_count; }
    char** Values() { return m_pointers.data(); }

  private:
    std::vector<std::string> m_values;
    std::vector<char*> m_pointers;
    int m_count = 0;
};

// What the window's controls need while it lives: the common controls and the RichEdit library
// of the log.
class WindowLibraries {
  public:
    WindowLibraries();
    ~WindowLibraries();
    WindowLibraries(const WindowLibraries&) = delete;
    WindowLibraries& operator=(const WindowLibraries&) = delete;
    bool Loaded() const { return m_richEdit != nullptr; }

  private:
    void* m_richEdit;  // the module's handle
};

// Answers the window's own options (AnswerCommandLine) with standard output and error on the
// console of the process that started it, if any. Returns the exit code when the process is to
// end now.
std::optional<int> AnswerWindowCommandLine(const CommandLineInfo& info, ConfigLocation& where);

// Runs the loader's window over `platform` until it closes; the process's exit code. `script`: a
// bus that changes by itself (the demo's), or null.
int RunLoaderWindow(HidPlatform& platform, const ConfigLocation& where,
                    const std::string& applicationName, BusScript* script = nullptr);
