#include "station/thread_host.h"

ThreadHost::ThreadHost(StationFlags& flags, StationObserver& observer)
    : m_flags(flags), m_observer(observer) {}

void ThreadHost::Cancel() {
    {
        std::lock_guard lock(m_mutex);
        m_flags.cancel = true;
    }
    m_wake.notify_all();
}

void ThreadHost::TickNow() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_timerRunning)
            return;
        m_nextTick = Clock::now();
    }
    m_wake.notify_all();
}

void ThreadHost::WaitForEvent() {
    std::unique_lock lock(m_mutex);
    if (!m_timerRunning) {
        // Nothing can arrive but a cancel.
        m_wake.wait(lock, [this] { return m_flags.cancel.load(); });
        return;
    }
    // Until the tick is due, a cancel, or TickNow() bringing the tick forward.
    const Clock::time_point planned = m_nextTick;
    m_wake.wait_until(lock, planned,
                      [this, planned] { return m_flags.cancel.load() || m_nextTick < planned; });
    if (m_flags.cancel)
        return;
    m_flags.tick = true;
    // The next tick keeps the period's rhythm; a late wake does not bunch ticks up.
    const Clock::time_point now = Clock::now();
    do {
        m_nextTick += m_period;
    } while (m_nextTick <= now);
}

void ThreadHost::StartTimer(int id, unsigned periodMs) {
    if (id != kHandshakeTimer)
        return;
    std::lock_guard lock(m_mutex);
    m_timerRunning = true;
    const unsigned ms = m_tickMs ? m_tickMs : periodMs;
    m_period = std::chrono::milliseconds(ms == 0 ? 1 : ms);
    m_nextTick = Clock::now() + m_period;
    if (m_firstAtOnce)
        m_flags.tick = true;
}

void ThreadHost::StopTimer(int id) {
    if (id != kHandshakeTimer)
        return;
    std::lock_guard lock(m_mutex);
    m_timerRunning = false;
}

void ThreadHost::SetProgressRange(std::uint32_t low, std::uint32_t high) {
    m_observer.OnProgressRange(low, high);
}

void ThreadHost::SetProgressStep(std::uint32_t step) {
    m_observer.OnProgressStep(step);
}

void ThreadHost::SetProgressPos(std::uint32_t position) {
    m_observer.OnProgressPos(position);
}
