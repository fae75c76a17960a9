#pragma once

#include "cli/module_run.h"
#include "cli/options.h"
#include "cli/printer.h"
#include "cli/stop_signal.h"
#include "device/hid_platform.h"

// The watch subcommand: every module that appears, several at once on threads of their own,
// until --count modules have come or a signal stops the run; then the summary.
int Watch(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop,
          const RunStart& runStart);
