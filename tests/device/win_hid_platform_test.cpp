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
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kLocation = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";

// One HID interface as the fake system shows it.
struct FakeInterface {
    std::string path;
    std::string location = kLocation;
    HidAttributes attributes{0x2156, 0xC001};
    std::uint16_t featureLength = 65;
    std::u16string serial = u"PRV001";
    bool present = true;
    unsigned plugs = 0;                   // handles opened before the latest unplug are dead
    std::uint32_t openError = 0;          // a read-write open fails with this error
    VirtualBootloader* module = nullptr;  // answers feature reports when set
    std::vector<Bytes> transfers;         // each buffer set or got, as the system received it
    int serialReads = 0;
};

// The system's HID interfaces and the handles open on them.
class FakeCalls final : public WinHidCalls {
  public:
    FakeInterface& Add(std::string path) {
        interfaces.emplace_back().path = std::move(path);
        return interfaces.back();
    }
    void Unplug(FakeInterface& i) {
        i.present = false;
        ++i.plugs;
    }

    std::vector<Interface> ListInterfaces() override {
        ++listings;
        std::vector<Interface> listed;
        for (const FakeInterface& i : interfaces) {
            if (i.present)
                listed.push_back({i.path, i.location});
        }
        return listed;
    }
    Handle Open(const std::string& path, Access access, std::uint32_t& error) override {
        opens.push_back(access);
        error = kWinErrorFileNotFound;
        for (std::size_t n = 0; n < interfaces.size(); ++n) {
            const FakeInterface& i = interfaces[n];
            if (i.path != path || !i.present)
                continue;
            if (access == Access::kReadWrite && i.openError) {
                error = i.openError;
                return kNoHandle;
            }
            handles[++next] = {n, i.plugs};
            return next;
        }
        return kNoHandle;
    }
    void Close(Handle handle) override { EXPECT_EQ(handles.erase(handle), 1u); }
    bool GetAttributes(Handle handle, HidAttributes& attributes) override {
        FakeInterface* i = Live(handle);
        if (i)
            attributes = i->attributes;
        return i;
    }
    bool GetCaps(Handle handle, HidCaps& caps) override {
        FakeInterface* i = Live(handle);
        if (i)
            caps = {9, 2, i->featureLength};
        return i;
    }
    bool SetFeature(Handle handle, const std::uint8_t* report, std::size_t length) override {
        FakeInterface* i = Live(handle);
        if (i)
            i->transfers.emplace_back(report, report + length);
        return i && (!i->module || i->module->SetReport(report + 1, length - 1));
    }
    // Answers with the buffer's bytes turned around, or the module's answer after byte 0.
    bool GetFeature(Handle handle, std::uint8_t* report, std::size_t length) override {
        FakeInterface* i = Live(handle);
        if (i)
            i->transfers.emplace_back(report, report + length);
        if (i && i->module)
            return i->module->GetReport(report + 1, length - 1);
        std::reverse(report, report + length);
        return i;
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

    std::vector<FakeInterface> interfaces;
    std::map<Handle, std::pair<std::size_t, unsigned>> handles;  // open: interface, its plugs
    std::vector<Access> opens;
    Handle next = 0x40;
    int listings = 0;

  private:
    FakeInterface* Live(Handle handle) {
        const auto at = handles.find(handle);
        if (at == handles.end()) {
            ADD_FAILURE() << "a handle that is not open";
            return nullptr;
        }
        FakeInterface& i = interfaces[at->second.first];
        return i.present && i.plugs == at->second.second ? &i : nullptr;
    }
};

class WinHidPlatformTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(fake.handles.empty()) << "handles left open"; }

    std::unique_ptr<HidDevice> Open(const std::string& path) {
        HidOpenError error;
        return platform.Open(path, error);
    }

    std::unique_ptr<FakeCalls> owned = std::make_unique<FakeCalls>();
    FakeCalls& fake = *owned;
    WinHidPlatform platform{std::move(owned)};
};

// Every interface of one USB device has that device's location path as its port path.
TEST_F(WinHidPlatformTest, ListsInTheSystemsOrderWithAttributesAndPortPaths) {
    fake.Add("hid#vid_046d&pid_c31c#b").attributes = {0x046D, 0xC31C};
    fake.Add("hid#vid_2156&pid_c001&mi_01#a").openError = kWinErrorSharingViolation;
    fake.Add("hid#vid_2156&pid_c001&mi_00#a");
    fake.Add("hid#gone").present = false;
    fake.Add("hid#bluetooth").location = "";
    fake.interfaces[0].location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)";
    EXPECT_EQ(platform.EnumerateInterfaces(),
              (std::vector<std::string>{"hid#vid_046d&pid_c31c#b", "hid#vid_2156&pid_c001&mi_01#a",
                                        "hid#vid_2156&pid_c001&mi_00#a", "hid#bluetooth"}));
    HidAttributes attributes;
    ASSERT_TRUE(platform.GetAttributes("hid#vid_2156&pid_c001&mi_01#a", attributes));
    EXPECT_EQ(attributes.vendorId, 0x2156);  // though another program holds it
    EXPECT_EQ(attributes.productId, 0xC001);
    EXPECT_FALSE(platform.GetAttributes("hid#gone", attributes));
    EXPECT_EQ(fake.opens, (std::vector<Access>{Access::kNone, Access::kNone}));
    // Read once while listed: the next search opens nothing; once unlisted, read afresh.
    platform.EnumerateInterfaces();
    ASSERT_TRUE(platform.GetAttributes("hid#vid_2156&pid_c001&mi_01#a", attributes));
    EXPECT_EQ(fake.opens.size(), 2u);
    fake.interfaces[1].present = false;
    platform.EnumerateInterfaces();
    fake.interfaces[1].present = true;
    fake.interfaces[1].attributes = {0x2156, 0xC002};
    platform.EnumerateInterfaces();
    ASSERT_TRUE(platform.GetAttributes("hid#vid_2156&pid_c001&mi_01#a", attributes));
    EXPECT_EQ(attributes.productId, 0xC002);
    EXPECT_EQ(fake.opens.size(), 3u);

    EXPECT_EQ(platform.PortPath("hid#vid_046d&pid_c31c#b"),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)");
    EXPECT_EQ(platform.PortPath("hid#vid_2156&pid_c001&mi_00#a"), kLocation);
    EXPECT_EQ(platform.PortPath("hid#vid_2156&pid_c001&mi_01#a"), kLocation);
    EXPECT_EQ(platform.PortPath("hid#bluetooth"), "");
    EXPECT_EQ(fake.listings, 4);  // as the enumerations found them
    fake.Add("hid#new").location = "USB(5)";
    EXPECT_EQ(platform.PortPath("hid#new"), "USB(5)");  // one the enumeration did not see
    EXPECT_EQ(platform.PortPath("hid#gone"), "");
}

// Windows moves exactly the capabilities' feature length; byte 0 (the report id) goes as given.
TEST_F(WinHidPlatformTest, FeatureTransfersAreExactlyTheReportLength) {
    const std::pair<std::uint16_t, std::size_t> cases[] = {{65, 65}, {65, 64}, {65, 66}, {65, 0},
                                                           {9, 9},   {9, 65},  {0, 0},   {1, 1}};
    for (const auto& [featureLength, length] : cases) {
        SCOPED_TRACE(std::to_string(featureLength) + " " + std::to_string(length));
        FakeInterface& device = fake.Add("hid" + std::to_string(fake.interfaces.size()));
        device.featureLength = featureLength;
        const std::unique_ptr<HidDevice> opened = Open(device.path);
        HidCaps caps;
        ASSERT_TRUE(opened && opened->GetCaps(caps));
        EXPECT_EQ(caps.featureReportLength, featureLength);

        const bool exact = length == featureLength && length > 0;
        Bytes report(length + 1, 0xEE);  // one byte more than offered
        for (std::size_t n = 0; n < length; ++n)
            report[n] = static_cast<std::uint8_t>(n + 3);  // report id 3 in byte 0
        const Bytes sent(report.begin(), report.end() - 1);
        EXPECT_EQ(opened->SetFeature(report.data(), length), exact);
        EXPECT_EQ(opened->GetFeature(report.data(), length), exact);
        EXPECT_EQ(device.transfers,
                  (exact ? std::vector<Bytes>{sent, sent} : std::vector<Bytes>{}));
        const Bytes got(report.begin(), report.end() - 1);
        EXPECT_EQ(got, exact ? Bytes(sent.rbegin(), sent.rend()) : sent);  // answered, or as it was
        EXPECT_EQ(report.back(), 0xEE);  // nothing beyond the length is touched
    }
}

TEST_F(WinHidPlatformTest, SerialEndsAtItsTerminatorAndWithinTheLongestUsbString) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"PRV001", u"PRV001"},
        {u"\u0141BC", u"\u0141BC"},
        {std::u16string(u"AB\0CD", 5), u"AB"},
        {u"", u""},
        {std::u16string(300, u'x'), std::u16string(kWinMaxSerialUnits, u'x')},
    };
    for (const auto& [stored, read] : cases) {
        fake.Add("hid" + std::to_string(fake.interfaces.size())).serial = stored;
        const std::unique_ptr<HidDevice> device = Open(fake.interfaces.back().path);
        std::u16string serial, again;
        ASSERT_TRUE(device && device->GetSerialNumber(serial) && device->GetSerialNumber(again));
        EXPECT_EQ(serial, read);
        EXPECT_EQ(again, read);
        EXPECT_EQ(fake.interfaces.back().serialReads, 1);  // asked of the device once per handle
    }
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
        FakeInterface& device = fake.Add("hid" + std::to_string(windows));
        device.openError = windows;
        HidOpenError error;
        EXPECT_FALSE(platform.Open(device.path, error));
        EXPECT_EQ(error.error, posix) << windows;
        EXPECT_EQ(error.text, "system error " + std::to_string(windows));
    }
}

// The port finds the module among other devices, talks to it through the Windows platform, and
// loses it when it vanishes.
TEST_F(WinHidPlatformTest, PortFindsTalksToAndLosesAModule) {
    VirtualBootloader module("WIN001");
    fake.Add("hid#keyboard").attributes = {0x046D, 0xC31C};
    fake.Add("hid#held-elsewhere").openError = kWinErrorSharingViolation;
    FakeInterface& device = fake.Add("hid#module");
    device.module = &module;
    device.serial = u"WIN001";
    device.location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)";
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    EXPECT_EQ(port.FeatureLength(), 65u);
    ASSERT_TRUE(port.HoldToOpenModule());
    EXPECT_EQ(*port.Held(), (ModuleIdentity{"WIN001", device.location, u"WIN001"}));
    const std::uint8_t flag = 1;
    const BootPacket handshake = MakePacket(CMD_HANDSHAKE, 0, &flag, 1);
    ASSERT_TRUE(port.WriteFeature(handshake.data(), handshake.size()));
    BootPacket answer{};
    ASSERT_TRUE(port.ReadFeature(answer.data(), answer.size()));
    EXPECT_EQ(answer[0], ACK);
    EXPECT_EQ(module.lastFormatFlag(), 1);
    EXPECT_EQ(device.transfers[0][0], 0);  // report id 0 before the packet

    // Unplugged, its handle is no longer present and its path opens no more; plugged in again,
    // it is not taken back while held (it may have restarted), and is found anew once released.
    fake.Unplug(device);
    EXPECT_FALSE(port.Refresh());
    EXPECT_FALSE(port.WriteFeature(handshake.data(), handshake.size()));
    HidOpenError error;
    EXPECT_FALSE(platform.Open(device.path, error));
    EXPECT_EQ(error.error, ENOENT);
    device.present = true;
    EXPECT_FALSE(port.Refresh());
    EXPECT_TRUE(port.HeldModuleLeft());
    port.Release();
    EXPECT_TRUE(port.Refresh());
    ASSERT_TRUE(port.HoldToOpenModule());
    EXPECT_EQ(port.Held()->port, device.location);  // the same module, found again
}

}  // namespace
