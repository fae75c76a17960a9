#pragma once

#include "cli/options.h"
#include "cli/printer.h"
#include "device/hid_platform.h"

// A dry run: the file and the plan as a download would take them, without a module.
int Check(const Options& o, HidPlatform& platform, Printer& out);
