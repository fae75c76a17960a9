#pragma once

#include <chrono>
#include <functional>
#include <thread>

#ifndef _WIN32
#include "device/hidraw_arrivals.h"
#endif

#ifdef _WIN32
// Windows: the watch loop looks every 500 ms; a station's handshake asks every second.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(std::function<void()> /*arrived*/) {}
    std::chrono::milliseconds Period() const { return std::chrono::milliseconds(500); }
};
#else
// Calls `arrived` when a hidraw node appears, goes or changes its permissions in /dev. Without
// inotify the watch loop looks every 500 ms.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(std::function<void()> arrived) : m_watch("/dev", std::move(arrived)) {}
    // How long the loop may wait for news before it looks itself.
    std::chrono::milliseconds Period() const {
        return m_watch.Watching() ? std::chrono::milliseconds(5000)
                                  : std::chrono::milliseconds(500);
    }

  private:
    HidrawArrivals m_watch;
};
#endif
