#include "device/hidraw_platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/hid_port.h"
#include "tests/support/counting_platform.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/unprivileged.h"

namespace {

const std::vector<std::uint8_t> kModuleDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0xB1, 0x02, 0xC0};
const std::vector<std::uint8_t> kKeyboardOutput = {0x75, 0x08, 0x95, 0x08, 0x81,
                                                   0x02, 0x95, 0x01, 0x91, 0x02};

TEST(HidrawPlatform, EnumeratesInAscendingNumberOrder) {
    FakeSysfs fs;
    for (int n : {10, 2, 0, 1})
        fs.Add(n, 0x046D, 0xC31C, "", kKeyboardOutput);
    std::filesystem::create_directories(fs.sys() + "/class/hidraw/hidrawX");
    std::filesystem::create_directories(fs.sys() + "/class/hidraw/other3");
    HidrawPlatform platform(fs.sys(), fs.dev());
    EXPECT_EQ(platform.EnumerateInterfaces(),
              (std::vector<std::string>{fs.dev() + "/hidraw0", fs.dev() + "/hidraw1",
                                        fs.dev() + "/hidraw2", fs.dev() + "/hidraw10"}));
    EXPECT_TRUE(HidrawPlatform("/nonexistent", "/dev").EnumerateInterfaces().empty());
}

TEST(HidrawPlatform, PortOpensOnlyTheFirstMatchAndReadsItsCapsAndSerial) {
    FakeSysfs fs;
    for (int n = 0; n < 4; ++n)
        fs.Add(n, 0x046D, 0xC31C, "kbd", kKeyboardOutput);
    fs.Add(4, 0x2156, 0xC002, "other", kModuleDescriptor);
    std::string module = fs.Add(5, 0x2156, 0xC001,
                                "\xC5\x81"
                                "BCDEFGH",
                                kModuleDescriptor);
    fs.Add(6, 0x2156, 0xC001, "SECOND", kModuleDescriptor);
    HidrawPlatform hidraw(fs.sys(), fs.dev());
    CountingPlatform platform(hidraw);
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    EXPECT_EQ(platform.opened, std::vector<std::string>{module});
    EXPECT_EQ(port.FeatureLength(), 65u);
    EXPECT_EQ(port.GetSerialText(), "ABCDEF");  // U+0141 keeps its low byte, 0x41
    EXPECT_FALSE(port.AccessProblem().has_value());
    // The port path is HID_PHYS without the interface: every interface of one device shares it.
    EXPECT_EQ(hidraw.PortPath(module), "usb-0000:00:14.0-1");
    EXPECT_EQ(PortPathOfPhys("usb-0000:00:14.0-1.2/input1"), "usb-0000:00:14.0-1.2");
    EXPECT_EQ(PortPathOfPhys("virtual"), "virtual");
    EXPECT_EQ(hidraw.PortPath(fs.dev() + "/hidraw9"), "");  // no such device
}

// Every search looks at what the class folder lists now: a module that appears is found, one
// that vanishes is not, and a number that another device takes is read as that device.
TEST(HidrawPlatform, SearchesFollowNodesThatAppearVanishOrChangeHands) {
    FakeSysfs fs;
    for (int n = 0; n < 3; ++n)
        fs.Add(n, 0x046D, 0xC31C, "kbd", kKeyboardOutput);
    HidrawPlatform platform(fs.sys(), fs.dev());
    CHidPort port(platform);
    EXPECT_FALSE(port.SetTarget(0xC001, 0x2156));

    const std::string module = fs.Add(3, 0x2156, 0xC001, "MOD001", kModuleDescriptor);
    ASSERT_TRUE(port.Refresh());
    EXPECT_EQ(port.GetSerialText(), "MOD001");
    EXPECT_EQ(platform.PortPath(module), "usb-0000:00:14.0-1");
    fs.Remove(3);
    EXPECT_FALSE(port.Refresh());
    EXPECT_FALSE(port.IsOpen());

    fs.Replace(1, 0x2156, 0xC001, "MOD002", kModuleDescriptor);  // the module takes a keyboard's
    ASSERT_TRUE(port.Refresh());
    EXPECT_EQ(port.GetSerialText(), "MOD002");
    fs.Replace(1, 0x046D, 0xC31C, "kbd", kKeyboardOutput);  // and gives it back
    EXPECT_FALSE(port.Refresh());
    EXPECT_EQ(platform.EnumerateInterfaces().size(), 3u);
}

TEST(HidrawPlatform, AMatchWithoutANodeIsNotFound) {
    FakeSysfs fs;
    fs.Add(0, 0x2156, 0xC001, "A", kModuleDescriptor, /*withNode=*/false);
    HidrawPlatform platform(fs.sys(), fs.dev());
    CHidPort port(platform);
    EXPECT_FALSE(port.SetTarget(0xC001, 0x2156));
    EXPECT_FALSE(port.AccessProblem().has_value());
}

TEST(HidrawPlatform, ANodeWithoutPermissionIsRecorded) {
    FakeSysfs fs;
    std::string node = fs.Add(3, 0x2156, 0xC001, "A", kModuleDescriptor);
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
    fs.OpenToAll();
    EXPECT_TRUE(HoldsUnprivileged([&] {
        HidrawPlatform platform(fs.sys(), fs.dev());
        CHidPort port(platform);
        return !port.SetTarget(0xC001, 0x2156) &&
               port.AccessProblem() == HidAccessProblem{node, "Permission denied"};
    }));
}

TEST(HidrawPlatform, FeatureTransfersOnANonDeviceFailAndClose) {
    FakeSysfs fs;
    fs.Add(0, 0x2156, 0xC001, "A", kModuleDescriptor);
    HidrawPlatform platform(fs.sys(), fs.dev());
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    std::uint8_t packet[64] = {0xFA};
    EXPECT_FALSE(port.WriteFeature(packet, sizeof packet));  // a plain file has no ioctl
    EXPECT_FALSE(port.IsOpen());
}

struct UeventCase {
    std::string text;
    bool haveId;
    std::uint32_t vendor, product;
    bool haveUniq;
    std::string uniq;
};

TEST(HidrawPlatform, ParsesUevents) {
    const UeventCase cases[] = {
        {"HID_ID=0003:00002156:0000C001\nHID_UNIQ=PRV001\n", true, 0x2156, 0xC001, true, "PRV001"},
        {"HID_UNIQ=\nHID_ID=0005:0000046d:0000b01a", true, 0x046D, 0xB01A, true, ""},
        {"HID_ID=0003:2156\n", false, 0, 0, false, ""},
        {"HID_ID=0003:123456789:1\n", false, 0, 0, false, ""},
        {"HID_ID=zz:1:2\nXHID_UNIQ=x\n", false, 0, 0, false, ""},
        {std::string("HID_UNIQ=a\0b\n", 13), false, 0, 0, true, std::string("a\0b", 3)},
    };
    for (const UeventCase& c : cases) {
        SCOPED_TRACE(c.text);
        HidUevent u = ParseHidUevent(c.text);
        EXPECT_EQ(u.haveId, c.haveId);
        if (c.haveId) {
            EXPECT_EQ(u.vendor, c.vendor);
            EXPECT_EQ(u.product, c.product);
        }
        EXPECT_EQ(u.haveUniq, c.haveUniq);
        EXPECT_EQ(u.uniq, c.uniq);
    }
}

TEST(HidrawPlatform, DecodesUtf8ToUtf16) {
    EXPECT_EQ(Utf8ToUtf16("AB"), u"AB");
    EXPECT_EQ(Utf8ToUtf16("\xC5\x81"), u"\u0141");
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(Utf8ToUtf16("\xC5"), u"\uFFFD");                      // cut short
    EXPECT_EQ(Utf8ToUtf16("\x80Z"), u"\uFFFDZ");                    // stray continuation
    EXPECT_EQ(Utf8ToUtf16("\xC0\x81"), u"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // surrogate
}

}  // namespace
