#include "device/hid_port.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sim/sim_hid_platform.h"

namespace {

// One device whose transfers the test sees and scripts byte for byte.
struct Wire {
    HidCaps caps{0, 0, 65};
    bool present = true;
    bool failGet = false;
    bool onlyReplyBytes = false;  // a get writes its reply's bytes and leaves the rest
    std::vector<std::vector<std::uint8_t>> sent;
    std::vector<std::uint8_t> reply;
    std::u16string serial;
    bool haveSerial = true;
};

struct WirePlatform : HidPlatform {
    struct Device : HidDevice {
        explicit Device(Wire& w) : wire(w) {}
        bool GetCaps(HidCaps& c) override {
            c = wire.caps;
            return true;
        }
        bool SetFeature(const std::uint8_t* r, std::size_t n) override {
            wire.sent.emplace_back(r, r + n);
            return wire.present;
        }
        bool GetFeature(std::uint8_t* r, std::size_t n) override {
            if (wire.failGet || !wire.present)
                return false;
            if (!wire.onlyReplyBytes)
                std::memset(r, 0, n);
            std::memcpy(r, wire.reply.data(), std::min(n, wire.reply.size()));
            return true;
        }
        bool GetSerialNumber(std::u16string& s) override {
            s = wire.serial;
            return wire.haveSerial;
        }
        Wire& wire;
    };
    std::vector<std::string> EnumerateInterfaces() override {
        return wire.present ? std::vector<std::string>{"wire"} : std::vector<std::string>{};
    }
    bool GetAttributes(const std::string&, HidAttributes& a) override {
        a = {0x2156, 0xC001};
        return true;
    }
    std::unique_ptr<HidDevice> Open(const std::string&, HidOpenError&) override {
        return std::make_unique<Device>(wire);
    }
    Wire wire;
};

TEST(HidPort, FeatureReportsCarryReportIdZeroThenThePayload) {
    WirePlatform platform;
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    std::uint8_t packet[64];
    for (int i = 0; i < 64; ++i)
        packet[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(port.WriteFeature(packet, 64));
    ASSERT_EQ(platform.wire.sent.size(), 1u);
    std::vector<std::uint8_t> want = {0};
    want.insert(want.end(), packet, packet + 64);
    EXPECT_EQ(platform.wire.sent[0], want);

    // A shorter payload is padded with zeros; a longer one is cut to the report.
    ASSERT_TRUE(port.WriteFeature(packet, 3));
    EXPECT_EQ(platform.wire.sent[1].size(), 65u);
    EXPECT_EQ(platform.wire.sent[1][3], 3);
    EXPECT_EQ(platform.wire.sent[1][4], 0);

    platform.wire.reply.assign(65, 0);
    for (int i = 1; i < 65; ++i)  // behind report id 0
        platform.wire.reply[i] = static_cast<std::uint8_t>(0x80 + i);
    std::uint8_t answer[64] = {};
    ASSERT_TRUE(port.ReadFeature(answer, 64));
    EXPECT_EQ(answer[0], 0x81);
    EXPECT_EQ(answer[63], 0x80 + 64);
}

TEST(HidPort, AShortFeatureReportCarriesOnlyItsFirstBytes) {
    WirePlatform platform;
    platform.wire.caps.featureReportLength = 9;
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    std::uint8_t packet[64];
    std::memset(packet, 0xAB, sizeof packet);
    ASSERT_TRUE(port.WriteFeature(packet, 64));
    EXPECT_EQ(platform.wire.sent[0],
              (std::vector<std::uint8_t>{0, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    platform.wire.reply = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t answer[64];
    std::memset(answer, 0xEE, sizeof answer);
    ASSERT_TRUE(port.ReadFeature(answer, 64));
    EXPECT_EQ(answer[7], 8);
    EXPECT_EQ(answer[8], 0);  // the rest of the destination is zeroed
    EXPECT_EQ(answer[63], 0);
}

// An answer shorter than the report leaves zeros, not the packet sent before it, even where the
// platform writes only what came; one under another report id fails and closes the port.
TEST(HidPort, AnAnswerIsOnlyWhatTheModuleSentUnderReportIdZero) {
    const struct {
        const char* name;
        std::vector<std::uint8_t> reply;
        bool ok;
    } cases[] = {
        {"report id alone", {0}, true},
        {"two bytes", {0, 0xE0}, true},
        {"another report id", std::vector<std::uint8_t>(65, 0x5A), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WirePlatform platform;
        platform.wire.onlyReplyBytes = true;
        platform.wire.reply = c.reply;
        CHidPort port(platform);
        ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
        std::uint8_t packet[64];
        std::memset(packet, 0xE0, sizeof packet);
        ASSERT_TRUE(port.WriteFeature(packet, 64));
        std::uint8_t answer[64];
        EXPECT_EQ(port.ReadFeature(answer, 64), c.ok);
        EXPECT_EQ(port.IsOpen(), c.ok);
        if (c.ok) {
            EXPECT_EQ(answer[0], c.reply.size() > 1 ? 0xE0 : 0);
            EXPECT_EQ(answer[1], 0);
        }
    }
}

TEST(HidPort, AModuleIsNamedByWhatThePlatformTells) {
    EXPECT_EQ(ModuleIdentityText({"ABC123", "usb-1.2", u"ABC123"}), "ABC123 at usb-1.2");
    EXPECT_EQ(ModuleIdentityText({"ABC123", "", u"ABC123"}), "ABC123");  // Windows: no port
    EXPECT_EQ(ModuleIdentityText({"", "", u""}), "UID unreadable");
}

// Without a feature report (length 0 or 1) nothing can be carried; the transfer fails.
TEST(HidPort, NoFeatureReportMeansTransfersFail) {
    for (std::uint16_t length : {std::uint16_t{0}, std::uint16_t{1}}) {
        WirePlatform platform;
        platform.wire.caps.featureReportLength = length;
        CHidPort port(platform);
        ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
        std::uint8_t packet[64] = {};
        EXPECT_FALSE(port.WriteFeature(packet, 64));
        EXPECT_FALSE(port.IsOpen());
        ASSERT_TRUE(port.Open());
        EXPECT_FALSE(port.ReadFeature(packet, 64));
        EXPECT_TRUE(platform.wire.sent.empty());
    }
}

TEST(HidPort, AFailedReadLeavesTheDestinationAndClosesThePort) {
    WirePlatform platform;
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    platform.wire.failGet = true;
    std::uint8_t answer[64];
    std::memset(answer, 0x5C, sizeof answer);
    EXPECT_FALSE(port.ReadFeature(answer, 64));
    EXPECT_FALSE(port.IsOpen());
    for (std::uint8_t b : answer)
        ASSERT_EQ(b, 0x5C);
    EXPECT_FALSE(port.WriteFeature(answer, 64));  // closed: no handle
}

TEST(HidPort, ReopenKeepsBuffersOfUnchangedLength) {
    WirePlatform platform;
    CHidPort port(platform);
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    const std::uint8_t* first = port.FeatureBuffer();
    port.Close();
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.FeatureBuffer(), first);
    platform.wire.caps.featureReportLength = 33;
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.FeatureLength(), 33u);
}

TEST(HidPort, SerialTextIsTheFirstSixUnitsLowBytes) {
    struct {
        std::u16string serial;
        bool have;
        const char* want;
    } cases[] = {{u"ABC", true, "ABC"},
                 {u"ABCDEFGH", true, "ABCDEF"},
                 {u"\u0141BC", true, "ABC"},
                 {std::u16string(u"AB\0CD", 5), true, "AB"},
                 {u"AB\u0100CD", true, "AB"},  // U+0100 narrows to the terminating 0
                 {u"", true, ""},
                 {u"XYZ", false, ""}};
    for (const auto& c : cases) {
        WirePlatform platform;
        platform.wire.serial = c.serial;
        platform.wire.haveSerial = c.have;
        CHidPort port(platform);
        ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
        EXPECT_EQ(port.GetSerialText(), c.want);
    }
}

TEST(HidPort, FindsTheFirstMatchAmongDecoys) {
    VirtualBootloader first("FIRST1"), second("SECOND");
    SimHidPlatform platform;
    platform.AddDecoy(0x046D, 0xC31C);
    platform.AddModule(first, 0x2156, 0xC002);  // other product
    platform.AddModule(first);
    platform.AddModule(second);
    CHidPort port(platform);
    EXPECT_FALSE(port.IsOpen());
    ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
    EXPECT_EQ(port.GetSerialText(), "FIRST1");
    EXPECT_TRUE(port.IsTarget(0xC001, 0x2156));
    EXPECT_FALSE(port.IsTarget(0x2156, 0xC001));
    EXPECT_EQ(platform.opens(), 1u);

    // Limited to a port, the port opens the module there and no other.
    port.SetFilter("", platform.PortPath(platform.EnumerateInterfaces().back()));
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.GetSerialText(), "SECOND");
    EXPECT_EQ(platform.opens(), 2u);

    EXPECT_FALSE(port.SetTarget(0xC001, 0x12156));  // wider than 16 bits never matches
    EXPECT_FALSE(port.IsOpen());
}

TEST(HidPort, ABufferThatCannotBeAllocatedSkipsTheDevice) {
    // Reports of 33 bytes cannot be had; every other length can.
    auto allocate = [](std::size_t n) { return n == 33 ? nullptr : CHidPort::AllocateReport(n); };
    for (HidCaps caps : {HidCaps{33, 2, 65}, HidCaps{9, 33, 65}, HidCaps{9, 2, 33}}) {
        VirtualBootloader module("SECOND");
        SimHidPlatform platform;
        platform.AddDecoy(0x2156, 0xC001);  // matches, but one of its buffers fails
        platform.entries()[0].decoyCaps = caps;
        platform.AddModule(module);
        CHidPort port(platform, allocate);
        ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
        EXPECT_EQ(port.GetSerialText(), "SECOND");
        EXPECT_EQ(port.FeatureLength(), 65u);
    }
}

// Open and the status refresh both close the port when the module is gone and find it again
// when it is back; the refresh keeps a module that is still there open, without a search.
TEST(HidPort, NoDeviceClosesAnOpenPort) {
    for (bool refresh : {false, true}) {
        SCOPED_TRACE(refresh ? "Refresh" : "Open");
        VirtualBootloader module("FIRST1");
        SimHidPlatform platform;
        platform.AddModule(module);
        CHidPort port(platform);
        auto look = [&] { return refresh ? port.Refresh() : port.Open(); };
        ASSERT_TRUE(port.SetTarget(0xC001, 0x2156));
        const std::size_t searches = platform.enumerations();
        EXPECT_TRUE(look());
        EXPECT_EQ(platform.enumerations() - searches, refresh ? 0u : 1u);
        module.Unplug();
        EXPECT_FALSE(look());
        EXPECT_FALSE(port.IsOpen());
        module.Plug();
        EXPECT_TRUE(look());
        module.Replace("OTHER2");  // another module in its place: the old handle is dead
        EXPECT_TRUE(look());
        EXPECT_EQ(port.GetSerialText(), "OTHER2");
    }
}

TEST(HidPort, RecordsAPermissionProblemUntilTheDeviceOpens) {
    VirtualBootloader module;
    SimHidPlatform platform;
    platform.AddModule(module);
    platform.entries()[0].permitted = false;
    CHidPort port(platform);
    EXPECT_FALSE(port.SetTarget(0xC001, 0x2156));
    ASSERT_TRUE(port.AccessProblem().has_value());
    EXPECT_EQ(port.AccessProblem()->path, "sim:0");
    EXPECT_EQ(port.AccessProblem()->reason, "Permission denied");
    platform.entries()[0].permitted = true;
    EXPECT_TRUE(port.Open());
    EXPECT_FALSE(port.AccessProblem().has_value());
}

}  // namespace
