#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The options every subcommand shares.
struct Options {
    std::string config;
    bool json = false;
    bool quiet = false;
    // program and watch
    std::string file;
    std::string snAddr;
    int snBytes = 0;
    int snStep = -1;
    bool noSn = false;
    double wait = -1;  // seconds from the start; negative: until a module comes or Ctrl+C
    std::string module, port;
    int count = 0;
    // records
    std::string since;
    bool csv = false;
    std::int64_t show = 0;
};

// The settings file main() found (the window's rule, under the window's name).
inline std::string ConfigPath(const Options& o) {
    return o.config;
}

// The subcommand a command line names.
enum class Command { kList, kProgram, kWatch, kCheck, kDbInit, kRecords };

// Reads the command line into `o` and `command`. Returns the exit code when the process is to end
// now (--help and --version: 0; an option refused: 2, its reason on standard error), nothing
// when the subcommand is to run.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& o, Command& command);
