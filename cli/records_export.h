#pragma once

#include "cli/options.h"
#include "cli/printer.h"

// The db init subcommand: the record store config.ini chooses, created or brought up to date.
int DbInit(const Options& o, Printer& out);

// The records subcommand: every download recorded (--since, --csv, --json), or the log of one
// (--show).
int Records(const Options& o, Printer& out);
