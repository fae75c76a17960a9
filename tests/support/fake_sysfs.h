#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

// A fake sysfs and /dev under a temporary folder: <root>/sys/class/hidraw/hidrawN/device/
// {uevent, report_descriptor} and <root>/dev/hidrawN as a plain file.
class FakeSysfs {
  public:
    // `base`: where the tree is made (/dev/shm keeps it in memory, as sysfs is).
    explicit FakeSysfs(const std::string& base = "/tmp") : m_dir(base) {
        std::filesystem::create_directories(sys() + "/class/hidraw");
        std::filesystem::create_directories(dev());
    }
    std::string sys() const { return m_dir.path() + "/sys"; }
    std::string dev() const { return m_dir.path() + "/dev"; }

    // Adds hidrawN with the given identifiers and serial; returns the node's path.
    std::string Add(int n, unsigned vendor, unsigned product, const std::string& uniq,
                    const std::vector<std::uint8_t>& descriptor, bool withNode = true) {
        std::string folder = sys() + "/class/hidraw/hidraw" + std::to_string(n) + "/device";
        std::filesystem::create_directories(folder);
        char id[64];
        std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", vendor, product);
        std::ofstream(folder + "/uevent")
            << "DRIVER=hid-generic\n"
            << id << "HID_NAME=Fake device\nHID_PHYS=usb-0000:00:14.0-1/input0\n"
            << "HID_UNIQ=" << uniq << "\nMODALIAS=hid:b0003\n";
        std::ofstream(folder + "/report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()),
                   static_cast<std::streamsize>(descriptor.size()));
        std::string node = dev() + "/hidraw" + std::to_string(n);
        if (withNode)
            std::ofstream(node) << "";
        return node;
    }

    // Takes hidrawN away, its class entry and its node.
    void Remove(int n) {
        std::filesystem::remove_all(sys() + "/class/hidraw/hidraw" + std::to_string(n));
        std::filesystem::remove(dev() + "/hidraw" + std::to_string(n));
    }

    // Puts another device at hidrawN, as the kernel does when a device is unplugged and another
    // takes its number: a new class entry (made while the old one still exists, so it is
    // another inode, as sysfs gives it), then the old one removed.
    std::string Replace(int n, unsigned vendor, unsigned product, const std::string& uniq,
                        const std::vector<std::uint8_t>& descriptor) {
        const std::string entry = sys() + "/class/hidraw/hidraw" + std::to_string(n);
        const std::string old = sys() + "/class/hidraw/old-hidraw" + std::to_string(n);
        std::filesystem::rename(entry, old);
        std::string node = Add(n, vendor, product, uniq, descriptor);
        std::filesystem::remove_all(old);
        return node;
    }

    // Lets other users walk the tree (the temporary folder starts as its owner's only).
    void OpenToAll() const { ::chmod(m_dir.path().c_str(), 0755); }

  private:
    TempDir m_dir;
};
