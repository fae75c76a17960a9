#include "device/win_hid_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "device/boot_protocol.h"
#include "device/hid_port.h"
#include "sim/virtual_bootloader.h"

namespace {

using Handle = WinHidCalls::Handle;
using Access = WinHidCalls::Access;

constexpr const char* kLocation = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";

// One HID interface as the fake system shows it.
struct FakeInterface {
    std::string path;
    std::string location = kLocation;
    HidAttributes attributes{0x2156, 0xC001};
    HidCaps caps{0, 0, 65};
    std::u16string serial = u"PRV001";
    bool present = true;
    unsigned plugs = 0;                   // handles opened before the latest unplug are dead
    std::uint32_t openError = 0;          // a read-write open fails with this error
    VirtualBootloader* module = nullptr;  // answers feature reports when set
    std::vector<std::vector<std::uint8_t>> sent, asked;  // buffers as set and as asked for
    std::vector<std::uint8_t> answer;                    // what a get feature returns
    int serialReads = 0;
};

// The system's HID interfaces, and the handles the platform holds open.
struct FakeBus {
    FakeInterface& Add(std::string path) {
        interfaces.push_back({});
        interfaces.back().path = std::move(path);
        return interfaces.back();
    }
    void Unplug(FakeInterface& i) {
        i.present = false;
        ++i.plugs;
    }
    std::vector<FakeInterface> interfaces;
    std::map<Handle, std::pair<std::size_t, unsigned>> handles;  // interface index, plugs
    std::vector<Access> opens;
    Handle next = 0x40;
    int listings = 0;
};

class FakeCalls final : public WinHidCalls {
  public:
    explicit FakeCalls(FakeBus& bus) : m_bus(bus) {}

    std::vector<Interface> ListInterfaces() override {
        ++m_bus.listings;
        std::vector<Interface> listed;
        for (const FakeInterface& i : m_bus.interfaces) {
            if (i.present)
                listed.push_back({i.path, i.location});
        }
        return listed;
    }
    Handle Open(const std::string& path, Access access, std::uint32_t& error) override {
        m_bus.opens.push_back(access);
        for (std::size_t n = 0; n < m_bus.interfaces.size(); ++n) {
            const FakeInterface& i = m_bus.interfaces[n];
            if (i.path != path || !i.present)
                continue;
            if (access == Access::kReadWrite && i.openError) {
                error = i.openError;
                return kNoHandle;
            }
            m_bus.handles[++m_bus.next] = {n, i.plugs};
            return m_bus.next;
        }
        error = kWinErrorFileNotFound;
        return kNoHandle;
    }
    void Close(Handle handle) override { EXPECT_EQ(m_bus.handles.erase(handle), 1u); }
    bool GetAttributes(Handle handle, HidAttributes& attributes) override {
        FakeInterface* i = Live(handle);
        if (i)
            attributes = i->attributes;
        return i;
    }
    bool GetCaps(Handle handle, HidCaps& caps) override {
        FakeInterface* i = Live(handle);
        if (i)
            caps = i->caps;
        return i;
    }
    bool SetFeature(Handle handle, const std::uint8_t* report, std::size_t length) override {
        FakeInterface* i = Live(handle);
        if (!i)
            return false;
        i->sent.emplace_back(report, report + length);
        return !i->module || (report[0] == 0 && i->module->SetReport(report + 1, length - 1));
    }
    bool GetFeature(Handle handle, std::uint8_t* report, std::size_t length) override {
        FakeInterface* i = Live(handle);
        if (!i)
            return false;
        i->asked.emplace_back(report, report + length);
        if (i->module)
            return report[0] == 0 && i->module->GetReport(report + 1, length - 1);
        std::copy_n(i->answer.begin(), std::min(length, i->answer.size()), report);
        return true;
    }
    // Copies as much of the serial as fits, and its terminator when there is room.
    bool GetSerialNumber(Handle handle, char16_t* buffer, std::size_t units) override {
        FakeInterface* i = Live(handle);
        if (!i)
            return false;
        ++i->serialReads;
        std::fill_n(buffer, units, u'?');
        const std::size_t n = std::min(units, i->serial.size());
        std::copy_n(i->serial.begin(), n, buffer);
        if (n < units)
            buffer[n] = u'\0';
        return true;
    }
    std::string ErrorText(std::uint32_t error) override {
        return "system error " + std::to_string(error);
    }

  private:
    FakeInterface* Live(Handle handle) {
        const auto at = m_bus.handles.find(handle);
        EXPECT_NE(at, m_bus.handles.end()) << "a handle that is not open";
        if (at == m_bus.handles.end())
            return nullptr;
        FakeInterface& i = m_bus.interfaces[at->second.first];
        return i.present && i.plugs == at->second.second ? &i : nullptr;
    }
    FakeBus& m_bus;
};

class WinHidPlatformTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(bus.handles.empty()) << "handles left open"; }

    FakeBus bus;
    WinHidPlatform platform{std::make_unique<FakeCalls>(bus)};
};

TEST_F(WinHidPlatformTest, ListsInTheSystemsOrderAndReadsAttributesWithoutAccessRights) {
    bus.Add("\\\\?\\hid#vid_046d&pid_c31c#b").attributes = {0x046D, 0xC31C};
    bus.Add("\\\\?\\hid#vid_2156&pid_c001#a").openError = kWinErrorSharingViolation;
    bus.Add("\\\\?\\hid#gone").present = false;
    EXPECT_EQ(platform.EnumerateInterfaces(),
              (std::vector<std::string>{"\\\\?\\hid#vid_046d&pid_c31c#b",
                                        "\\\\?\\hid#vid_2156&pid_c001#a"}));
    HidAttributes attributes;
    ASSERT_TRUE(platform.GetAttributes("\\\\?\\hid#vid_2156&pid_c001#a", attributes));
    EXPECT_EQ(attributes.vendorId, 0x2156);  // though another program holds it
    EXPECT_EQ(attributes.productId, 0xC001);
    EXPECT_FALSE(platform.GetAttributes("\\\\?\\hid#gone", attributes));
    EXPECT_EQ(bus.opens, (std::vector<Access>{Access::kNone, Access::kNone}));
}

// Windows moves exactly the capabilities' feature length; byte 0 (the report id) goes as given.
TEST_F(WinHidPlatformTest, FeatureTransfersAreExactlyTheReportLength) {
    const struct {
        std::uint16_t featureLength;
        std::size_t length;
    } cases[] = {{65, 65}, {65, 64}, {65, 66}, {65, 0}, {9, 9}, {9, 65}, {0, 0}, {0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.featureLength) + " " + std::to_string(c.length));
        FakeInterface& fake = bus.Add("hid" + std::to_string(bus.interfaces.size()));
        fake.caps.featureReportLength = c.featureLength;
        fake.answer.assign(c.featureLength, 0x5A);
        HidOpenError error;
        const std::unique_ptr<HidDevice> device = platform.Open(fake.path, error);
        ASSERT_TRUE(device);
        HidCaps caps;
        ASSERT_TRUE(device->GetCaps(caps));
        EXPECT_EQ(caps.featureReportLength, c.featureLength);

        const bool exact = c.length == c.featureLength && c.length > 0;
        std::vector<std::uint8_t> report(c.length + 1, 0x11);  // a byte more than offered
        report[0] = c.length ? 3 : 0x11;
        EXPECT_EQ(device->SetFeature(report.data(), c.length), exact);
        const std::vector<std::uint8_t> set(report.begin(), report.end() - 1);
        EXPECT_EQ(device->GetFeature(report.data(), c.length), exact);
        EXPECT_EQ(report.back(), 0x11);  // nothing beyond the length is touched
        if (exact) {
            const std::vector<std::vector<std::uint8_t>> once{set};
            EXPECT_EQ(fake.sent, once);
            EXPECT_EQ(fake.asked, once);  // report id 3 in byte 0, as the caller set
            EXPECT_EQ(std::vector(report.begin(), report.end() - 1), fake.answer);
        } else {
            EXPECT_TRUE(fake.sent.empty());  // refused before the system is asked
            EXPECT_TRUE(fake.asked.empty());
        }
    }
}

TEST_F(WinHidPlatformTest, SerialEndsAtItsTerminatorAndWithinTheLongestUsbString) {
    const struct {
        std::u16string serial;
        std::u16string want;
    } cases[] = {
        {u"PRV001", u"PRV001"},
        {u"\u0141BC", u"\u0141BC"},
        {std::u16string(u"AB\0CD", 5), u"AB"},
        {u"", u""},
        {std::u16string(300, u'x'), std::u16string(kWinMaxSerialUnits, u'x')},
    };
    for (const auto& c : cases) {
        FakeInterface& fake = bus.Add("hid" + std::to_string(bus.interfaces.size()));
        fake.serial = c.serial;
        HidOpenError error;
        const std::unique_ptr<HidDevice> device = platform.Open(fake.path, error);
        ASSERT_TRUE(device);
        std::u16string serial;
        ASSERT_TRUE(device->GetSerialNumber(serial));
        EXPECT_EQ(serial, c.want);
        ASSERT_TRUE(device->GetSerialNumber(serial));
        EXPECT_EQ(serial, c.want);
        EXPECT_EQ(bus.interfaces.back().serialReads, 1);  // asked of the device once per handle
    }
}

TEST_F(WinHidPlatformTest, AVanishedDeviceFailsEveryCallAndCannotBeOpened) {
    bus.Add("hid-module");
    HidOpenError error;
    std::unique_ptr<HidDevice> device = platform.Open("hid-module", error);
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->StillPresent());
    bus.Unplug(bus.interfaces[0]);
    std::uint8_t report[65] = {};
    EXPECT_FALSE(device->StillPresent());
    EXPECT_FALSE(device->SetFeature(report, sizeof report));
    EXPECT_FALSE(device->GetFeature(report, sizeof report));
    EXPECT_FALSE(platform.Open("hid-module", error));
    EXPECT_EQ(error.error, ENOENT);
    EXPECT_EQ(error.text, "system error 2");
    EXPECT_TRUE(platform.EnumerateInterfaces().empty());

    bus.interfaces[0].present = true;  // plugged in again: the old handle stays dead
    EXPECT_FALSE(device->StillPresent());
    device = platform.Open("hid-module", error);
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->StillPresent());
}

TEST_F(WinHidPlatformTest, OpenErrorsBecomeErrnoWithTheSystemsText) {
    const std::pair<std::uint32_t, int> cases[] = {
        {kWinErrorAccessDenied, EACCES},
        {kWinErrorSharingViolation, EACCES},
        {kWinErrorFileNotFound, ENOENT},
        {kWinErrorPathNotFound, ENOENT},
        {kWinErrorDeviceNotConnected, ENOENT},
        {kWinErrorNoSuchDevice, ENOENT},
        {31, EIO},  // ERROR_GEN_FAILURE
    };
    for (const auto& [windows, posix] : cases) {
        FakeInterface& fake = bus.Add("hid" + std::to_string(windows));
        fake.openError = windows;
        HidOpenError error;
        EXPECT_FALSE(platform.Open(fake.path, error));
        EXPECT_EQ(error.error, posix) << windows;
        EXPECT_EQ(error.text, "system error " + std::to_string(windows));
    }
}

// Every interface of one USB device has that device's location path.
TEST_F(WinHidPlatformTest, PortPathIsTheLocationOfTheUsbDevice) {
    bus.Add("hid#vid_2156&pid_c001&mi_00#1");
    bus.Add("hid#vid_2156&pid_c001&mi_01#1");
    bus.Add("hid#vid_2156&pid_c001#2").location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)";
    bus.Add("hid#bluetooth").location = "";
    platform.EnumerateInterfaces();
    EXPECT_EQ(platform.PortPath("hid#vid_2156&pid_c001&mi_00#1"), kLocation);
    EXPECT_EQ(platform.PortPath("hid#vid_2156&pid_c001&mi_01#1"), kLocation);
    EXPECT_EQ(platform.PortPath("hid#vid_2156&pid_c001#2"),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)");
    EXPECT_EQ(platform.PortPath("hid#bluetooth"), "");
    EXPECT_EQ(bus.listings, 1);  // from what the enumeration found

    bus.Add("hid#new").location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(5)";
    EXPECT_EQ(platform.PortPath("hid#new"), "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(5)");
    EXPECT_EQ(platform.PortPath("hid#none"), "");
}

// The port finds the module among other devices and programs it through the Windows platform.
TEST_F(WinHidPlatformTest, PortFindsAndTalksToAModule) {
    VirtualBootloader module("WIN001");
    bus.Add("hid#keyboard").attributes = {0x046D, 0xC31C};
    bus.Add("hid#held-elsewhere").openError = kWinErrorSharingViolation;
    bus.Add("hid#module").module = &module;
    bus.interfaces.back().serial = u"WIN001";
    bus.interfaces.back().location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)";
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    EXPECT_EQ(port.FeatureLength(), 65u);
    EXPECT_FALSE(port.AccessProblem().has_value());  // the module opened after all
    ASSERT_TRUE(port.HoldToOpenModule());
    EXPECT_EQ(*port.Held(),
              (ModuleIdentity{"WIN001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)", u"WIN001"}));
    const std::uint8_t flag = 1;
    const BootPacket handshake = MakePacket(CMD_HANDSHAKE, 0, &flag, 1);
    ASSERT_TRUE(port.WriteFeature(handshake.data(), handshake.size()));
    BootPacket answer{};
    ASSERT_TRUE(port.ReadFeature(answer.data(), answer.size()));
    EXPECT_EQ(answer[0], ACK);
    EXPECT_EQ(module.lastFormatFlag(), 1);

    bus.Unplug(bus.interfaces.back());
    module.Unplug();
    EXPECT_FALSE(port.Refresh());
    bus.interfaces[1].openError = 0;
    bus.interfaces[1].serial = u"OTHER1";
    EXPECT_FALSE(port.Open());  // held to the module: another one in its place is not taken
    ASSERT_TRUE(port.Replacement().has_value());
    EXPECT_EQ(port.Replacement()->uid, "OTHER1");
}

}  // namespace
