#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The operating system's HID services as the port needs them: the roles of the Windows HID and
// device-setup calls (list the present interfaces, read a device's identifiers, open it, read its
// capabilities, set and get feature reports, read its serial-number string).

struct HidAttributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// Report lengths in bytes, each including the report-id byte.
struct HidCaps {
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    std::uint16_t featureReportLength = 0;
};

// One opened device; closing it is destroying it.
class HidDevice {
  public:
    virtual ~HidDevice() = default;
    virtual bool GetCaps(HidCaps& caps) = 0;
    // The whole report buffer, report id in byte 0.
    virtual bool SetFeature(const std::uint8_t* report, std::size_t length) = 0;
    virtual bool GetFeature(std::uint8_t* report, std::size_t length) = 0;
    // The serial-number string as UTF-16 units, without a terminator.
    virtual bool GetSerialNumber(std::u16string& serial) = 0;
    // Whether the device this handle opened is still there, asked without a transfer (one cheap
    // query). A platform that cannot tell says no, and the caller searches afresh.
    virtual bool StillPresent() { return false; }
};

// Why a device could not be opened: errno and the system's text.
struct HidOpenError {
    int error = 0;
    std::string text;
};

// News of HID devices coming and going, for as long as it lives.
class ArrivalWatch {
  public:
    virtual ~ArrivalWatch() = default;
};

class HidPlatform {
  public:
    virtual ~HidPlatform() = default;
    // Paths of the present HID interfaces, in the platform's stable order.
    virtual std::vector<std::string> EnumerateInterfaces() = 0;
    // The identifiers of the interface at `path`, if they can be read.
    virtual bool GetAttributes(const std::string& path, HidAttributes& attributes) = 0;
    // Opens the interface for feature reports; null with `error` filled on failure.
    virtual std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) = 0;
    // Where the device is plugged in (its USB port path), empty when the platform cannot tell.
    virtual std::string PortPath(const std::string& /*path*/) { return {}; }
    // Calls `changed`, on a thread of the platform's, whenever a HID device may have arrived or
    // left, for as long as the watch lives; null where the platform cannot tell (the caller then
    // looks now and then).
    virtual std::unique_ptr<ArrivalWatch> WatchArrivals(std::function<void()> /*changed*/) {
        return nullptr;
    }
};
