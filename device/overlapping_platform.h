#pragma once

#include <functional>
#include <memory>

#include "device/hid_platform.h"

// What the thread that talks to a module may do while the module works on an answer. `due` is
// asked before each feature read; when it says yes, the read runs on a helper thread and `work`
// runs on the calling thread meanwhile, and the read's result is returned once both are done.
// `work` must not touch the device being read.
struct SideWork {
    std::function<bool()> due;
    std::function<void()> work;
};

// A HidPlatform over another whose devices' feature reads can overlap other work of their
// caller (the window paints while a module answers, instead of between answers). Everything
// else is passed straight through, on the caller's thread. Devices it opened must be closed
// before it is destroyed.
class OverlappingPlatform final : public HidPlatform {
  public:
    explicit OverlappingPlatform(HidPlatform& inner);
    ~OverlappingPlatform() override;
    OverlappingPlatform(const OverlappingPlatform&) = delete;
    OverlappingPlatform& operator=(const OverlappingPlatform&) = delete;

    // Set before a device is read; none (the default) runs every read on the caller's thread.
    void SetSideWork(SideWork work) { m_work = std::move(work); }

    std::vector<std::string> EnumerateInterfaces() override {
        return m_inner.EnumerateInterfaces();
    }
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override {
        return m_inner.GetAttributes(path, attributes);
    }
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override;
    std::string PortPath(const std::string& path) override { return m_inner.PortPath(path); }

  private:
    class Device;
    class Helper;

    bool WorkDue() const;
    // Runs `read` on the helper thread and the side work on the caller's, and waits for both.
    bool ReadBesideWork(const std::function<bool()>& read);

    HidPlatform& m_inner;
    SideWork m_work;
    std::unique_ptr<Helper> m_helper;  // started at the first read that overlaps
};
