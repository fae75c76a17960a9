#pragma once

#include <string>
#include <string_view>

#include "device/hid_platform.h"

// The fields of a HID device's sysfs uevent that the loader uses.
struct HidUevent {
    bool haveId = false;
    std::uint32_t bus = 0;
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    bool haveUniq = false;
    std::string uniq;  // HID_UNIQ: the serial-number string, UTF-8
    std::string phys;  // HID_PHYS: where the device is attached, e.g. usb-0000:00:14.0-1.2/input0
};

// The port path in a HID_PHYS text: the text before "/input", so that every interface of one
// USB device gives the same path (usb-0000:00:14.0-1.2).
std::string PortPathOfPhys(std::string_view phys);

// Parses uevent text ("KEY=value" lines); reads any bytes.
HidUevent ParseHidUevent(std::string_view text);

// UTF-8 to UTF-16 units; malformed sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Linux hidraw: enumerates <sys>/class/hidraw/hidrawN in ascending N, reads identifiers and
// serial from the HID device's uevent without opening the node, opens <dev>/hidrawN read-write
// only for a match, and moves feature reports with HIDIOCSFEATURE / HIDIOCGFEATURE.
class HidrawPlatform final : public HidPlatform {
  public:
    explicit HidrawPlatform(std::string sysRoot = "/sys", std::string devRoot = "/dev");

    std::vector<std::string> EnumerateInterfaces() override;
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override;
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override;
    std::string PortPath(const std::string& path) override;

    // The sysfs folder of the HID device behind a node path (<sys>/class/hidraw/hidrawN/device).
    std::string DeviceFolder(const std::string& path) const;

  private:
    std::string m_sysRoot;
    std::string m_devRoot;
};
