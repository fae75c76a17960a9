// pravune-cli: the loader for scripts and test fixtures. The same programming station as the
// window, the same config.ini, lock and record store, so window and command line may run side by
// side without ever giving a number twice.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <memory>

#include "cli/check.h"
#include "cli/exit_code.h"
#include "cli/module_run.h"
#include "cli/modules.h"
#include "cli/options.h"
#include "cli/printer.h"
#include "cli/program.h"
#include "cli/records_export.h"
#include "cli/stop_signal.h"
#include "cli/watch.h"
#ifdef PRAVUNE_CLI_SIMULATED_BUS
#include "cli/sim_bus.h"
#endif
#ifdef _WIN32
#include "device/win_hid_platform.h"
#else
#include "device/hidraw_platform.h"
#endif
#include "settings/config_location.h"
#include "text/escape_controls.h"

namespace {

// Whether standard output is a terminal that takes colour sequences.
bool OutputIsTerminal() {
#ifdef _WIN32
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(out, &mode) &&
           ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return ::isatty(STDOUT_FILENO);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const RunStart start;
#ifndef _WIN32
    // A reader that goes away (`| head -n 1`) must not kill a loader in the middle of a flash:
    // the write fails instead, and the printer stops printing.
    ::signal(SIGPIPE, SIG_IGN);
#endif
    Options o;
    Command command = Command::kRecords;
    if (const std::optional<int> exit = ParseCommandLine(argc, argv, o, command))
        return *exit;

    const ConfigLocation where =
        LocateConfig(ConfigInputsFromEnvironment("pravune-loader", o.config));
    if (where.path.empty()) {
        std::fprintf(stderr, "pravune-cli: %s\n", EscapeControls(where.problem).c_str());
        return kExitUsage;
    }
    if (!where.copiedFrom.empty())
        std::fprintf(stderr, "pravune-cli: settings carried over from %s to %s\n",
                     EscapeControls(where.copiedFrom).c_str(), EscapeControls(where.path).c_str());
    if (!where.problem.empty())
        std::fprintf(stderr, "pravune-cli: settings at %s: %s\n",
                     EscapeControls(where.path).c_str(), EscapeControls(where.problem).c_str());
    o.config = where.path;

    Printer out(o.json               ? Printer::Mode::kJson
                : OutputIsTerminal() ? Printer::Mode::kTerminal
                                     : Printer::Mode::kPlain,
                // The log of `records --show` is its output, not its commentary.
                o.quiet && command != Command::kRecords);
    std::unique_ptr<HidPlatform> platform;
#ifdef PRAVUNE_CLI_SIMULATED_BUS
    // pravune-cli-sim only, the tests' build: the shipped program has no simulated bus.
    platform = SimulatedBusFromEnvironment();
#endif
    if (!platform) {
#ifdef _WIN32
        platform = std::make_unique<WinHidPlatform>(SystemHidCalls());
#else
        platform = std::make_unique<HidrawPlatform>();
#endif
    }
    StopSignal stop;
    out.OnClosed([&stop] { stop.Tell(); });
    switch (command) {
        case Command::kList:
            return List(o, *platform, out);
        case Command::kProgram:
            return Program(o, *platform, out, stop, start);
        case Command::kWatch:
            return Watch(o, *platform, out, stop, start);
        case Command::kCheck:
            return Check(o, *platform, out);
        case Command::kDbInit:
            return DbInit(o, out);
        case Command::kRecords:
            break;
    }
    return Records(o, out);
}
