#pragma once

#include <random>

#include "sim/demo_shift.h"
#include "sim/sim_hid_platform.h"
#include "sim/virtual_bootloader.h"

// The demos' bus: one module that answers like a real one, a few milliseconds per answer,
// between a keyboard and a mouse; in production mode others follow it (`shift`), numbered from a
// place chosen at random so that an earlier demo's records rarely know them.
struct DemoBus {
    DemoBus() {
        module.faults.answerMicros = 3000;
        platform.AddDecoy(0x046D, 0xC31C);  // a keyboard
        platform.AddModule(module);
        platform.AddDecoy(0x046D, 0xC077);  // a mouse
    }
    DemoBus(const DemoBus&) = delete;
    DemoBus& operator=(const DemoBus&) = delete;

    VirtualBootloader module{"DEMO01"};
    SimHidPlatform platform;
    DemoShift shift{module, platform, std::random_device{}() & 0xFFFFFu, {}, 7};
};
