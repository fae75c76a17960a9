#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid_platform.h"
#include "settings/config_keys.h"
#include "sim/virtual_bootloader.h"

// A HidPlatform over a list of simulated HID interfaces: modules driven by a VirtualBootloader,
// and decoys (other devices, or modules whose node may not be opened).
class SimHidPlatform final : public HidPlatform {
  public:
    struct Entry {
        std::string path;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        VirtualBootloader* module = nullptr;  // null: a decoy without feature reports
        bool permitted = true;                // false: opening fails with EACCES
        HidCaps decoyCaps{9, 2, 0};           // a keyboard's lengths, for decoys (as added)
        std::string port;                     // its USB port path ("usb-sim-N" when added)
    };

    // Adds an interface at the end of the enumeration order.
    void Add(Entry entry) {
        if (entry.port.empty())
            entry.port = "usb-sim-" + std::to_string(m_entries.size());
        m_entries.push_back(std::move(entry));
    }
    void AddModule(VirtualBootloader& module, std::uint16_t vendorId = config_keys::kDefaultVid,
                   std::uint16_t productId = config_keys::kDefaultPid);
    void AddDecoy(std::uint16_t vendorId, std::uint16_t productId);
    std::vector<Entry>& entries() { return m_entries; }

    std::vector<std::string> EnumerateInterfaces() override;
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override;
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override;
    std::string PortPath(const std::string& path) override;
    // One watcher at a time (a newer one takes the place of the older), told by TellChange.
    std::unique_ptr<ArrivalWatch> WatchArrivals(std::function<void()> changed) override;
    // Tells the watcher, as a platform's arrival notice would, that a module came or went (from
    // any thread).
    void TellChange();

    std::size_t enumerations() const { return m_enumerations; }
    std::size_t opens() const { return m_opens; }

  private:
    const Entry* Find(const std::string& path) const;

    class Watch;
    std::vector<Entry> m_entries;
    std::mutex m_watchMutex;
    std::function<void()> m_watcher;  // under m_watchMutex
    std::size_t m_enumerations = 0;
    std::size_t m_opens = 0;
};
