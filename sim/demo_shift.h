#pragma once

#include <cstddef>

#include "sim/sim_hid_platform.h"
#include "station/bus_script.h"

// The demo's production line: in production mode the demo's module leaves a while after its
// verdict (as the operator pulls it out) and another, with a new UID, is plugged in a moment
// later; now and then one refuses a block halfway through its write. With the mode off the demo's
// module stays, as before.
class DemoShift final : public BusScript {
  public:
    struct Pauses {
        int afterPass = 1500;  // the verdict in view, then the module leaves
        int afterFail = 3000;  // a failure's reason takes longer to read
        int between = 1000;    // no module on the bus
    };
    // `module` is the bus's module (`platform` tells its watcher of each change); the modules
    // that follow it are numbered from `firstUid` (six characters, as the bootloader's UID:
    // "D" and five hex digits); every `failEvery`-th of them fails (0: none).
    DemoShift(VirtualBootloader& module, SimHidPlatform& platform, unsigned firstUid, Pauses pauses,
              unsigned failEvery);

    int DownloadEnded(bool production, bool ok) override;
    int Advance(bool production) override;

    // The modules that arrived after the first.
    std::size_t arrivals() const { return m_arrivals; }

  private:
    void Arrive();

    VirtualBootloader& m_module;
    SimHidPlatform& m_platform;
    unsigned m_nextUid;
    Pauses m_pauses;
    unsigned m_failEvery;
    std::size_t m_arrivals = 0;
};
