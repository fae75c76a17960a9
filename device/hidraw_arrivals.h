#pragma once

#include <functional>
#include <string>
#include <thread>

#include "device/hid_platform.h"

// Calls `changed` (on a thread of its own) when a hidraw node appears, goes or changes its
// permissions in `devFolder` (inotify), so that modules are found at once without looking at
// every node twice a second.
class HidrawArrivals final : public ArrivalWatch {
  public:
    HidrawArrivals(const std::string& devFolder, std::function<void()> changed);
    ~HidrawArrivals() override;
    HidrawArrivals(const HidrawArrivals&) = delete;
    HidrawArrivals& operator=(const HidrawArrivals&) = delete;
    // Whether inotify could watch the folder (else nothing is ever told).
    bool Watching() const { return m_thread.joinable(); }

  private:
    int m_fd = -1;
    int m_quit[2] = {-1, -1};
    std::thread m_thread;
};
