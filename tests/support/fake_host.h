#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "device/boot_protocol.h"

// The window's side of the protocol, for tests: the flags, the status, a progress log, and a
// message queue whose only events are what the test scripts.
struct FakeHost : BootHost {
    std::atomic<bool> cancel{false};
    std::atomic<bool> tick{false};
    std::string status;
    int timerStarts = 0;
    int timerStops = 0;
    bool timerRunning = false;  // only timer 1 at 1000 ms ticks
    int timerId = 0;
    unsigned timerPeriodMs = 0;
    int waits = 0;
    int pumps = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    std::vector<std::uint32_t> positions;
    // Runs on each dispatch (pump or wait); the default wait delivers one timer tick.
    std::function<void()> onPump;
    // A handshake that never sees a tick is stopped rather than left to hang the test.
    std::function<void()> onWait = [this] {
        tick = timerRunning;
        if (waits > 1000)
            cancel = true;
    };

    void PumpOneMessage() override {
        ++pumps;
        if (onPump)
            onPump();
    }
    void WaitForEvent() override {
        ++waits;
        if (onWait)
            onWait();
    }
    void StartTimer(int id, unsigned periodMs) override {
        ++timerStarts;
        timerRunning = id == kHandshakeTimer && periodMs == kHandshakePeriodMs;
        timerId = id;
        timerPeriodMs = periodMs;
    }
    void StopTimer(int id) override {
        if (id != timerId)
            return;
        ++timerStops;
        timerRunning = false;
    }
    void SetProgressRange(std::uint32_t low, std::uint32_t high) override {
        ranges.emplace_back(low, high);
    }
    void SetProgressStep(std::uint32_t) override {}
    void SetProgressPos(std::uint32_t position) override { positions.push_back(position); }
};
