#pragma once

#include <chrono>
#include <functional>
#include <thread>

#ifdef _WIN32
// Windows: the watch loop looks every 500 ms; a station's handshake asks every second.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(std::function<void()> /*arrived*/) {}
    std::chrono::milliseconds Period() const { return std::chrono::milliseconds(500); }
};
#else
// Calls `arrived` when a hidraw node appears, goes or changes its permissions in /dev, so that
// modules are found at once without looking at every node twice a second. Without inotify the
// watch loop looks every 500 ms.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(std::function<void()> arrived);
    ~DeviceArrivals();
    DeviceArrivals(const DeviceArrivals&) = delete;
    DeviceArrivals& operator=(const DeviceArrivals&) = delete;
    // How long the loop may wait for news before it looks itself.
    std::chrono::milliseconds Period() const {
        return m_thread.joinable() ? std::chrono::milliseconds(5000)
                                   : std::chrono::milliseconds(500);
    }

  private:
    int m_fd = -1;
    int m_quit[2] = {-1, -1};
    std::thread m_thread;
};
#endif
