#pragma once

// The command line's exit codes, as --help lists them.
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoModule = 3,
    kExitAccess = 4,
    kExitNoRecord = 5,
    kExitStopped = 130,       // SIGINT, Ctrl+C
    kExitOutputClosed = 141,  // watch: standard output closed, what was begun finished
    kExitTerminated = 143,    // SIGTERM
};
