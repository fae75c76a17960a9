#pragma once

#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/printer.h"
#include "device/hid_platform.h"

// The identifiers config.ini names, as the window reads them.
void Identifiers(const std::string& config, unsigned& vid, unsigned& pid);

struct Found {
    std::string node, uid, port, access;
};

// The matching modules present, with their identifier and port, or why one cannot be opened.
std::vector<Found> FindModules(HidPlatform& platform, unsigned vid, unsigned pid);

// The list subcommand: every matching module present, and which cannot be opened.
int List(const Options& o, HidPlatform& platform, Printer& out);
