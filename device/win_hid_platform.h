#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/hid_platform.h"

// The few Windows calls the Windows HID platform makes, with Windows' own types kept out, so
// that the platform's logic builds and is tested on every system against a fake. Paths are
// UTF-8; a handle is an opaque number (kNoHandle for none); errors are Windows error codes.
// An implementation keeps no state between calls, so it may be used from several threads.
class WinHidCalls {
  public:
    using Handle = std::uintptr_t;
    static constexpr Handle kNoHandle = 0;

    // One present HID interface (a top-level collection).
    struct Interface {
        std::string path;      // its device interface path, for Open
        std::string location;  // the location path of the USB device it belongs to; empty when
                               // it belongs to none (Bluetooth, I2C) or it cannot be read
    };

    // How an interface is opened: both share reading and writing with other holders.
    enum class Access {
        kNone,       // no access rights: enough for the attributes, even of a device that
                     // another program holds open
        kReadWrite,  // for feature reports
    };

    virtual ~WinHidCalls() = default;

    // SetupDiGetClassDevs over the HID interface class (present devices only), in the order
    // the system lists them.
    virtual std::vector<Interface> ListInterfaces() = 0;
    // CreateFile; kNoHandle with `error` set on failure.
    virtual Handle Open(const std::string& path, Access access, std::uint32_t& error) = 0;
    virtual void Close(Handle handle) = 0;
    // HidD_GetAttributes.
    virtual bool GetAttributes(Handle handle, HidAttributes& attributes) = 0;
    // HidD_GetPreparsedData and HidP_GetCaps: the report lengths.
    virtual bool GetCaps(Handle handle, HidCaps& caps) = 0;
    // HidD_SetFeature / HidD_GetFeature over the whole report buffer, report id in byte 0.
    virtual bool SetFeature(Handle handle, const std::uint8_t* report, std::size_t length) = 0;
    virtual bool GetFeature(Handle handle, std::uint8_t* report, std::size_t length) = 0;
    // HidD_GetSerialNumberString into `units` UTF-16 units; what follows the string's
    // terminator is left as it was.
    virtual bool GetSerialNumber(Handle handle, char16_t* buffer, std::size_t units) = 0;
    // The system's text for an error code (FormatMessage), UTF-8 without a line break.
    virtual std::string ErrorText(std::uint32_t error) = 0;
};

// Windows error codes the platform tells apart.
inline constexpr std::uint32_t kWinErrorFileNotFound = 2;
inline constexpr std::uint32_t kWinErrorPathNotFound = 3;
inline constexpr std::uint32_t kWinErrorAccessDenied = 5;
inline constexpr std::uint32_t kWinErrorSharingViolation = 32;
inline constexpr std::uint32_t kWinErrorNoSuchDevice = 433;
inline constexpr std::uint32_t kWinErrorDeviceNotConnected = 1167;

// The errno that stands for a Windows error when an interface cannot be opened: EACCES when
// access is denied or another program holds the device without sharing it, ENOENT when the
// device is gone, EIO otherwise.
int ErrnoOfWinError(std::uint32_t error);

// The longest serial-number string a USB device can hold, in UTF-16 units (without the
// terminator).
inline constexpr std::size_t kWinMaxSerialUnits = 126;

// The Windows HID platform over WinHidCalls. Interfaces are listed in the system's order; the
// attributes are read through a handle without access rights, opened and closed for the call;
// feature transfers must be exactly the feature report length of the capabilities (byte 0 the
// report id, as given). The port path of an interface is the location path of its USB device
// (e.g. PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)), shared by all of that device's
// interfaces, as the latest enumeration found it. The attributes of an interface are read once
// while it stays listed (its path names the device instance, whose hardware id holds them), so
// a search of a bus that has not changed opens nothing. Safe to share between threads when the
// calls are. A device it opened must not outlive it.
class WinHidPlatform final : public HidPlatform {
  public:
    explicit WinHidPlatform(std::unique_ptr<WinHidCalls> calls);
    ~WinHidPlatform() override;
    WinHidPlatform(const WinHidPlatform&) = delete;
    WinHidPlatform& operator=(const WinHidPlatform&) = delete;

    std::vector<std::string> EnumerateInterfaces() override;
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override;
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override;
    std::string PortPath(const std::string& path) override;

  private:
    struct Listed {
        WinHidCalls::Interface found;
        std::optional<HidAttributes> attributes;  // once read
    };
    // Lists the interfaces and keeps them (and the attributes read of those still listed).
    std::vector<WinHidCalls::Interface> List();

    std::unique_ptr<WinHidCalls> m_calls;
    std::mutex m_mutex;            // guards m_listed
    std::vector<Listed> m_listed;  // as the latest enumeration found them
};

#ifdef _WIN32
// The calls as Windows makes them (SetupAPI, the configuration manager, hid.dll).
std::unique_ptr<WinHidCalls> SystemHidCalls();
#endif
