#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
// What a node's uevent says is kept from one enumeration to the next, keyed by the node's name
// and the inode of its entry in the class folder (a node made anew under the same name is
// another entry), so a search reads the uevent of new nodes only. Safe to share between threads.
class HidrawPlatform final : public HidPlatform {
  public:
    explicit HidrawPlatform(std::string sysRoot = "/sys", std::string devRoot = "/dev");
    ~HidrawPlatform() override;

    std::vector<std::string> EnumerateInterfaces() override;
    bool GetAttributes(const std::string& path, HidAttributes& attributes) override;
    std::unique_ptr<HidDevice> Open(const std::string& path, HidOpenError& error) override;
    std::string PortPath(const std::string& path) override;
    // inotify on the /dev root; null without it.
    std::unique_ptr<ArrivalWatch> WatchArrivals(std::function<void()> changed) override;

    // The sysfs folder of the HID device behind a node path (<sys>/class/hidraw/hidrawN/device).
    std::string DeviceFolder(const std::string& path) const;

  private:
    struct Node {
        long number = 0;          // the N of hidrawN
        std::uint64_t inode = 0;  // of its entry in the class folder
        bool read = false;        // the uevent was read (`readable`: it could be)
        bool readable = false;
        bool haveId = false;
        HidAttributes attributes;  // when haveId
        std::string port;          // the port path of its HID_PHYS
    };
    // What the uevent of the node at `path` says: from what the last enumeration kept, or read
    // now. False when it cannot be read.
    bool Identity(const std::string& path, Node& identity);
    // The node the last enumeration listed with this number, once its uevent was read; the
    // caller holds m_mutex.
    Node* Known(long number);

    std::string m_sysRoot;
    std::string m_devRoot;
    std::mutex m_mutex;         // guards m_nodes
    std::vector<Node> m_nodes;  // as the last enumeration saw them, in ascending number
};
