#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "device/boot_protocol.h"
#include "station/programming_station.h"

// The protocol's host for a station on a thread of its own (a command line, one worker per
// module): the handshake timer is a deadline on a condition variable, so a waiting station uses
// no CPU, and Cancel() from any thread wakes it at once. Progress goes to the observer.
class ThreadHost final : public BootHost {
  public:
    ThreadHost(StationFlags& flags, StationObserver& observer);

    // Asks the running download to stop (thread-safe); a waiting handshake returns at once.
    void Cancel();
    // Ticks this often instead of the protocol's 1000 ms (tests; 0 keeps the protocol's).
    void SetTickMs(unsigned ms) { m_tickMs = ms; }
    // The first tick of each timer comes at once instead of one period later, so that a module
    // already present is asked at once (the command line; the window keeps the period's wait).
    void SetFirstTickAtOnce(bool atOnce) { m_firstAtOnce = atOnce; }
    // Ticks now (thread-safe): a module has just appeared and need not wait for the next tick.
    // The period's rhythm starts again from now. Harmless while no timer runs.
    void TickNow();

    void PumpOneMessage() override {}
    void WaitForEvent() override;
    void StartTimer(int id, unsigned periodMs) override;
    void StopTimer(int id) override;
    void SetProgressRange(std::uint32_t low, std::uint32_t high) override;
    void SetProgressStep(std::uint32_t step) override;
    void SetProgressPos(std::uint32_t position) override;

  private:
    using Clock = std::chrono::steady_clock;

    StationFlags& m_flags;
    StationObserver& m_observer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_timerRunning = false;
    unsigned m_tickMs = 0;
    bool m_firstAtOnce = false;
    Clock::duration m_period{};
    Clock::time_point m_nextTick{};
};
