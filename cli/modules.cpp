#include "cli/modules.h"

#include <cstdio>

#include "cli/exit_code.h"
#include "device/hid_port.h"
#include "settings/config_keys.h"
#include "settings/settings_store.h"

void Identifiers(const std::string& config, unsigned& vid, unsigned& pid) {
    vid = config_keys::kDefaultVid;
    pid = config_keys::kDefaultPid;
    const std::string v = settings_file::Read(config, config_keys::kSection, config_keys::kVid,
                                              config_keys::kDefaultVidText);
    const std::string p = settings_file::Read(config, config_keys::kSection, config_keys::kPid,
                                              config_keys::kDefaultPidText);
    if (v.size() == 4)
        ParseHex4(v, vid);
    if (p.size() == 4)
        ParseHex4(p, pid);
}

std::vector<Found> FindModules(HidPlatform& platform, unsigned vid, unsigned pid) {
    std::vector<Found> found;
    for (const std::string& path : platform.EnumerateInterfaces()) {
        HidAttributes a;
        if (!platform.GetAttributes(path, a) || a.vendorId != vid || a.productId != pid)
            continue;
        Found f{path, {}, platform.PortPath(path), {}};
        HidOpenError error;
        if (auto device = platform.Open(path, error)) {
            std::u16string serial;
            if (device->GetSerialNumber(serial))
                f.uid = SerialIdentifierText(serial);
        } else {
            f.access = error.text;
        }
        found.push_back(std::move(f));
    }
    return found;
}

int List(const Options& o, HidPlatform& platform, Printer& out) {
    unsigned vid = 0, pid = 0;
    Identifiers(ConfigPath(o), vid, pid);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", vid, pid);
    const std::vector<Found> found = FindModules(platform, vid, pid);
    for (const Found& f : found) {
        std::string text = f.node + "  " + ids + "  UID " + Latin1ToUtf8(f.uid) + "  port " +
                           (f.port.empty() ? "-" : f.port);
        if (!f.access.empty()) {
            text += "  cannot be opened: " + f.access;
#ifndef _WIN32
            text += " (install the udev rule 70-pravune-bootloader.rules, see README)";
#endif
        }
        out.Event({{"event", "module"},
                   {"node", f.node},
                   {"id", ids},
                   {"uid", Latin1ToUtf8(f.uid)},
                   {"port", f.port},
                   {"access", f.access}},
                  text);
    }
    if (found.empty())
        out.Event({{"event", "none"}}, std::string("No module ") + ids + " is present.");
    return kExitOk;
}
