#pragma once

#include "cli/module_run.h"
#include "cli/options.h"
#include "cli/printer.h"
#include "cli/stop_signal.h"
#include "device/hid_platform.h"

// The program subcommand: one module, waited for as --wait says, from `start` on.
int Program(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop,
            const RunStart& start);
