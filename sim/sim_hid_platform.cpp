#include "sim/sim_hid_platform.h"

#include <cerrno>
#include <cstring>

namespace {

class SimDevice final : public HidDevice {
  public:
    SimDevice(VirtualBootloader* module, HidCaps decoyCaps)
        : m_module(module),
          m_generation(module ? module->generation() : 0),
          m_decoyCaps(decoyCaps) {}

    bool GetCaps(HidCaps& caps) override {
        if (!m_module) {
            caps = m_decoyCaps;
            return true;
        }
        if (!Alive())
            return false;
        caps = HidCaps{0, 0, m_module->featureReportLength};
        return true;
    }
    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        if (!Alive() || length < 1 || report[0] != 0)
            return false;
        return m_module->SetReport(report + 1, length - 1);
    }
    bool GetFeature(std::uint8_t* report, std::size_t length) override {
        if (!Alive() || length < 1 || report[0] != 0)
            return false;
        return m_module->GetReport(report + 1, length - 1);
    }
    bool GetSerialNumber(std::u16string& serial) override {
        if (!Alive())
            return false;
        serial.assign(m_module->serial().begin(), m_module->serial().end());
        return true;
    }

    bool StillPresent() override { return Alive(); }

  private:
    // A handle dies with the module's presence, as an unplugged USB device's does.
    bool Alive() const {
        return m_module && m_module->present() && m_module->generation() == m_generation;
    }

    VirtualBootloader* m_module;
    unsigned m_generation;
    HidCaps m_decoyCaps;
};

}  // namespace

void SimHidPlatform::AddModule(VirtualBootloader& module, std::uint16_t vendorId,
                               std::uint16_t productId) {
    Add({"sim:" + std::to_string(m_entries.size()),
         vendorId,
         productId,
         &module,
         true,
         HidCaps{9, 2, 0},
         {}});
}

void SimHidPlatform::AddDecoy(std::uint16_t vendorId, std::uint16_t productId) {
    Add({"sim:" + std::to_string(m_entries.size()),
         vendorId,
         productId,
         nullptr,
         true,
         HidCaps{9, 2, 0},
         {}});
}

const SimHidPlatform::Entry* SimHidPlatform::Find(const std::string& path) const {
    for (const Entry& e : m_entries) {
        if (e.path == path && (!e.module || e.module->present()))
            return &e;
    }
    return nullptr;
}

std::vector<std::string> SimHidPlatform::EnumerateInterfaces() {
    ++m_enumerations;
    std::vector<std::string> paths;
    for (Entry& e : m_entries) {
        if (e.module)
            e.module->OnEnumerate();
        if (!e.module || e.module->present())
            paths.push_back(e.path);
    }
    return paths;
}

bool SimHidPlatform::GetAttributes(const std::string& path, HidAttributes& attributes) {
    const Entry* e = Find(path);
    if (!e)
        return false;
    attributes = {e->vendorId, e->productId};
    return true;
}

std::string SimHidPlatform::PortPath(const std::string& path) {
    const Entry* e = Find(path);
    return e ? e->port : std::string();
}

std::unique_ptr<HidDevice> SimHidPlatform::Open(const std::string& path, HidOpenError& error) {
    ++m_opens;
    const Entry* e = Find(path);
    if (!e || !e->permitted) {
        error.error = e ? EACCES : ENOENT;
        error.text = std::strerror(error.error);
        return nullptr;
    }
    return std::make_unique<SimDevice>(e->module, e->decoyCaps);
}

class SimHidPlatform::Watch final : public ArrivalWatch {
  public:
    explicit Watch(SimHidPlatform& platform) : m_platform(platform) {}
    ~Watch() override {
        const std::lock_guard lock(m_platform.m_watchMutex);
        m_platform.m_watcher = nullptr;
    }

  private:
    SimHidPlatform& m_platform;
};

std::unique_ptr<ArrivalWatch> SimHidPlatform::WatchArrivals(std::function<void()> changed) {
    const std::lock_guard lock(m_watchMutex);
    m_watcher = std::move(changed);
    return std::make_unique<Watch>(*this);
}

void SimHidPlatform::TellChange() {
    const std::lock_guard lock(m_watchMutex);
    if (m_watcher)
        m_watcher();
}
