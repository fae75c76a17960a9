#include "sim/demo_shift.h"

#include <cstdio>
#include <string>

namespace {

// The exchange from which a failing module refuses every command (a block that never takes, as
// on a worn flash): past the erase, inside the write.
constexpr std::size_t kFailingExchange = 12;

// The UID of the demo's module number `n`: "D" and five hex digits.
std::string DemoUid(unsigned n) {
    char text[16];
    std::snprintf(text, sizeof text, "D%05X", n & 0xFFFFFu);
    return text;
}

}  // namespace

DemoShift::DemoShift(VirtualBootloader& module, SimHidPlatform& platform, unsigned firstUid,
                     Pauses pauses, unsigned failEvery)
    : m_module(module),
      m_platform(platform),
      m_nextUid(firstUid),
      m_pauses(pauses),
      m_failEvery(failEvery) {}

int DemoShift::DownloadEnded(bool production, bool ok) {
    if (!production)
        return 0;
    return ok ? m_pauses.afterPass : m_pauses.afterFail;
}

int DemoShift::Advance(bool production) {
    if (m_module.present()) {
        // The mode was left meanwhile: the module stays, as the demo's module always did.
        if (!production)
            return 0;
        m_module.Unplug();
        m_platform.TellChange();
        return m_pauses.between;
    }
    // Away: the next one comes even when the mode was left meanwhile, so a module is there.
    Arrive();
    return 0;
}

void DemoShift::Arrive() {
    ++m_arrivals;
    const unsigned answerMicros = m_module.faults.answerMicros;  // the same kind of module
    m_module.Replace(DemoUid(m_nextUid++));
    m_module.faults.answerMicros = answerMicros;
    const bool failing = m_failEvery && m_arrivals % m_failEvery == 0;
    // On the download's thread, which alone touches the module while it runs.
    m_module.onExchange = [this, failing](std::size_t exchanges) {
        if (failing && exchanges == kFailingExchange)
            m_module.faults.nakCommands = 1000;
    };
    m_platform.TellChange();
}
