#include "device/win_hid_platform.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

namespace {

using Handle = WinHidCalls::Handle;

// One open handle, closed with its owner.
class OwnedHandle {
  public:
    OwnedHandle(WinHidCalls& calls, Handle handle) : m_calls(calls), m_handle(handle) {}
    ~OwnedHandle() {
        if (m_handle != WinHidCalls::kNoHandle)
            m_calls.Close(m_handle);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != WinHidCalls::kNoHandle; }

  private:
    WinHidCalls& m_calls;
    Handle m_handle;
};

// One interface opened for feature reports. It uses the platform's calls, so it must not
// outlive the platform.
class WinHidDevice final : public HidDevice {
  public:
    WinHidDevice(WinHidCalls& calls, Handle handle) : m_calls(calls), m_handle(calls, handle) {}

    bool GetCaps(HidCaps& caps) override {
        if (!ReadCaps())
            return false;
        caps = *m_caps;
        return true;
    }

    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        return Fits(length) && m_calls.SetFeature(m_handle.get(), report, length);
    }

    bool GetFeature(std::uint8_t* report, std::size_t length) override {
        return Fits(length) && m_calls.GetFeature(m_handle.get(), report, length);
    }

    bool GetSerialNumber(std::u16string& serial) override {
        // A device's serial-number string does not change while a handle to it stays open.
        if (!m_serial) {
            std::array<char16_t, kWinMaxSerialUnits + 1> buffer{};
            if (!m_calls.GetSerialNumber(m_handle.get(), buffer.data(), buffer.size()))
                return false;
            // The string ends at its terminator, and within the buffer even without one.
            m_serial.emplace(buffer.begin(), std::find(buffer.begin(), buffer.end() - 1, u'\0'));
        }
        serial = *m_serial;
        return true;
    }

    // The handle of an unplugged device answers every request with an error.
    bool StillPresent() override {
        HidAttributes attributes;
        return m_calls.GetAttributes(m_handle.get(), attributes);
    }

  private:
    bool ReadCaps() {
        if (!m_caps) {
            HidCaps caps;
            if (!m_calls.GetCaps(m_handle.get(), caps))
                return false;
            m_caps = caps;
        }
        return true;
    }

    // Windows moves a feature report through a buffer of exactly the report's length (the
    // report-id byte included); any other length is refused here, before the call.
    bool Fits(std::size_t length) {
        return ReadCaps() && length > 0 && length == m_caps->featureReportLength;
    }

    WinHidCalls& m_calls;
    OwnedHandle m_handle;
    std::optional<HidCaps> m_caps;
    std::optional<std::u16string> m_serial;
};

}  // namespace

int ErrnoOfWinError(std::uint32_t error) {
    switch (error) {
        case kWinErrorAccessDenied:
        case kWinErrorSharingViolation:
            return EACCES;
        case kWinErrorFileNotFound:
        case kWinErrorPathNotFound:
        case kWinErrorNoSuchDevice:
        case kWinErrorDeviceNotConnected:
            return ENOENT;
        default:
            return EIO;
    }
}

WinHidPlatform::WinHidPlatform(std::unique_ptr<WinHidCalls> calls) : m_calls(std::move(calls)) {}

WinHidPlatform::~WinHidPlatform() = default;

std::vector<WinHidCalls::Interface> WinHidPlatform::List() {
    std::vector<WinHidCalls::Interface> listed = m_calls->ListInterfaces();
    const std::lock_guard lock(m_mutex);
    std::vector<Listed> kept;
    for (const WinHidCalls::Interface& found : listed) {
        const auto before = std::find_if(m_listed.begin(), m_listed.end(), [&](const Listed& l) {
            return l.found.path == found.path;
        });
        kept.push_back({found, before != m_listed.end() ? before->attributes : std::nullopt});
    }
    m_listed = std::move(kept);
    return listed;
}

std::vector<std::string> WinHidPlatform::EnumerateInterfaces() {
    std::vector<std::string> paths;
    for (WinHidCalls::Interface& found : List())
        paths.push_back(std::move(found.path));
    return paths;
}

bool WinHidPlatform::GetAttributes(const std::string& path, HidAttributes& attributes) {
    const auto at = [&] {
        return std::find_if(m_listed.begin(), m_listed.end(),
                            [&](const Listed& l) { return l.found.path == path; });
    };
    {
        const std::lock_guard lock(m_mutex);
        if (const auto known = at(); known != m_listed.end() && known->attributes) {
            attributes = *known->attributes;
            return true;
        }
    }
    std::uint32_t error = 0;
    const OwnedHandle handle(*m_calls, m_calls->Open(path, WinHidCalls::Access::kNone, error));
    if (!handle || !m_calls->GetAttributes(handle.get(), attributes))
        return false;
    const std::lock_guard lock(m_mutex);
    if (const auto known = at(); known != m_listed.end())
        known->attributes = attributes;
    return true;
}

std::unique_ptr<HidDevice> WinHidPlatform::Open(const std::string& path, HidOpenError& error) {
    std::uint32_t code = 0;
    const Handle handle = m_calls->Open(path, WinHidCalls::Access::kReadWrite, code);
    if (handle == WinHidCalls::kNoHandle) {
        error.error = ErrnoOfWinError(code);
        error.text = m_calls->ErrorText(code);
        return nullptr;
    }
    return std::make_unique<WinHidDevice>(*m_calls, handle);
}

std::string WinHidPlatform::PortPath(const std::string& path) {
    {
        const std::lock_guard lock(m_mutex);
        const auto known = std::find_if(m_listed.begin(), m_listed.end(),
                                        [&](const Listed& l) { return l.found.path == path; });
        if (known != m_listed.end())
            return known->found.location;
    }
    // An interface the latest enumeration did not list: ask the system afresh.
    const std::vector<WinHidCalls::Interface> listed = List();
    const auto found =
        std::find_if(listed.begin(), listed.end(),
                     [&](const WinHidCalls::Interface& i) { return i.path == path; });
    return found != listed.end() ? found->location : std::string();
}
