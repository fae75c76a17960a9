#include "device/boot_protocol.h"

#include <gtest/gtest.h>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/case_name.h"
#include "tests/support/fake_host.h"
#include "tests/support/hex_text.h"

namespace {

// A module on the bus, the port, the window's side and the protocol, wired as the window does.
struct Bench {
    Bench() : port(platform), protocol(port, host, host.status, host.cancel, host.tick) {
        platform.AddDecoy(0x046D, 0xC31C);
        platform.AddModule(module);
        port.SetTarget(0xC001, 0x2156);
    }
    VirtualBootloader module{"PRV001"};
    SimHidPlatform platform;
    CHidPort port;
    FakeHost host;
    CBootProtocol protocol;
};

struct PacketCase {
    const char* name;
    BootPacket packet;
    std::vector<std::pair<int, std::uint8_t>> nonZero;  // every byte that is not zero
};

void PrintTo(const PacketCase& c, std::ostream* os) {
    *os << c.name;
}

const std::uint8_t kFlag1 = 1, kFlag0 = 0;
const std::uint8_t kZeros56[56] = {};
const std::uint8_t kMoved[3] = {0x12, 0x34, 0x56};

class PacketTable : public ::testing::TestWithParam<PacketCase> {};

TEST_P(PacketTable, ByteForByte) {
    BootPacket want{};
    for (auto [i, v] : GetParam().nonZero)
        want[i] = v;
    EXPECT_EQ(GetParam().packet, want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketTable,
    ::testing::ValuesIn(std::vector<PacketCase>{
        {"handshake_flag0",
         MakePacket(CMD_HANDSHAKE, 0, &kFlag0, 1),
         {{0, 0xFA}, {3, 0x01}, {63, 0xFB}}},
        {"handshake_flag1",
         MakePacket(CMD_HANDSHAKE, 0, &kFlag1, 1),
         {{0, 0xFA}, {3, 0x01}, {4, 0x01}, {63, 0xFC}}},
        {"erase", MakePacket(CMD_ERASE), {{0, 0xFE}, {63, 0xFE}}},
        {"run", MakePacket(CMD_RUN), {{0, 0xFC}, {63, 0xFC}}},
        {"write_56_zeros_at_0E00",
         MakePacket(CMD_WRITE, 0x0E00, kZeros56, 56),
         {{0, 0xFD}, {2, 0x0E}, {3, 0x38}, {63, 0x43}}},
        {"moved_bytes",
         MakePacket(CMD_WRITE, 0x3BF7, kMoved, 3),
         {{0, 0xFD}, {1, 0xF7}, {2, 0x3B}, {3, 0x03}, {4, 0x12}, {5, 0x34}, {6, 0x56}, {63, 0xCE}}},
        {"address_above_16_bits_is_cut",
         MakePacket(CMD_RUN, 0x12345),
         {{0, 0xFC}, {1, 0x45}, {2, 0x23}, {63, 0x64}}},
    }),
    CaseName());

TEST(BootProtocol, ChecksumAndBlockUse) {
    const std::uint8_t bytes[] = {0xFF, 0x01, 0xFF, 0xFE};
    EXPECT_EQ(Checksum(bytes, 0, 3), 0xFD);
    EXPECT_EQ(Checksum(bytes, 1, 1), 0x01);
    EXPECT_FALSE(IsBlockUsed(bytes, 0));
    EXPECT_FALSE(IsBlockUsed(bytes, 1));
    EXPECT_TRUE(IsBlockUsed(bytes, 2));
}

TEST(BootProtocol, ExchangeOutcomes) {
    Bench b;
    std::uint8_t req[64] = {CMD_RUN}, ans[64];
    req[63] = CMD_RUN;
    b.host.status = "kept";
    EXPECT_TRUE(b.protocol.Exchange(b.port, req, 64, ans, 64));
    EXPECT_EQ(b.host.status, "kept");
    EXPECT_EQ(ans[0], ACK);

    b.module.faults.failSetReports = 1;
    EXPECT_FALSE(b.protocol.Exchange(b.port, req, 64, ans, 64));
    EXPECT_EQ(b.host.status, "Write from device -- fail!");
    b.module.faults.failGetReports = 1;
    EXPECT_FALSE(b.protocol.Exchange(b.port, req, 64, ans, 64));
    EXPECT_EQ(b.host.status, "Read from device -- fail!");
    b.module.Unplug();
    EXPECT_FALSE(b.protocol.Exchange(b.port, req, 64, ans, 64));
    EXPECT_EQ(b.host.status, "Find device -- None");
    EXPECT_FALSE(b.protocol.EraseDevice());
    EXPECT_EQ(b.host.status, "BT: Find device -- None");
    b.module.Plug();
    EXPECT_TRUE(b.protocol.RunDevice());
    EXPECT_EQ(b.host.status, "BT: Run device -- OK");
    EXPECT_TRUE(b.module.running());
}

TEST(BootProtocol, EraseAndRunNeedNoAck) {
    Bench b;
    b.module.faults.nakCommands = 2;
    EXPECT_TRUE(b.protocol.EraseDevice());
    EXPECT_EQ(b.host.status, "BT: Erase -- OK");
    EXPECT_TRUE(b.protocol.RunDevice());
    EXPECT_EQ(b.protocol.TxPacket(), MakePacket(CMD_RUN));
}

TEST(BootProtocol, HandshakeAttemptsOncePerTickUntilAck) {
    for (bool pendingTick : {false, true}) {
        Bench b;
        b.module.faults.nakCommands = 2;  // two answers without ACK, then ACK
        b.host.tick = pendingTick;
        EXPECT_TRUE(b.protocol.Handshake(1));
        EXPECT_EQ(b.host.status, "Handshake -- OK");
        // The first attempt comes with the first tick: at once when one is already pending.
        EXPECT_EQ(b.host.waits, pendingTick ? 2 : 3);
        EXPECT_EQ(b.host.timerId, 1);
        EXPECT_EQ(b.host.timerPeriodMs, 1000u);
        EXPECT_EQ(b.module.commands().size(), 3u);
        EXPECT_EQ(b.module.lastFormatFlag(), 1);
        EXPECT_EQ(b.host.timerStarts, 1);
        EXPECT_FALSE(b.host.timerRunning);
        EXPECT_EQ(b.host.pumps, 0);  // it waits for events instead of polling
    }
}

TEST(BootProtocol, HandshakeWithoutModuleSendsNothingUntilCancelled) {
    Bench b;
    b.module.Unplug();
    b.port.Open();  // the status refresh has noticed: the port is closed
    b.host.status = "before";
    b.host.onWait = [&] {
        b.host.tick = true;
        if (b.host.waits == 5)
            b.host.cancel = true;
    };
    EXPECT_FALSE(b.protocol.Handshake(0));
    EXPECT_EQ(b.host.status, "before");
    EXPECT_TRUE(b.module.commands().empty());
    EXPECT_FALSE(b.host.timerRunning);
    EXPECT_EQ(b.host.timerStops, 1);
}

TEST(BootProtocol, HandshakeFindsAModulePluggedInLater) {
    Bench b;
    b.module.Unplug();
    b.port.Open();
    b.host.onWait = [&] {
        b.host.tick = true;
        if (b.host.waits == 3)
            b.module.Plug();
    };
    EXPECT_TRUE(b.protocol.Handshake(0));
    EXPECT_EQ(b.module.commands().size(), 1u);
    EXPECT_EQ(b.module.lastFormatFlag(), 0);
}

TEST(BootProtocol, HandshakeFailureTextStaysWhileWaiting) {
    Bench b;
    b.module.faults.failGetReports = 1;
    b.host.onWait = [&] {
        b.host.tick = b.host.waits == 1;
        if (b.host.waits == 2)
            b.host.cancel = true;
    };
    EXPECT_FALSE(b.protocol.Handshake(0));
    EXPECT_EQ(b.host.status, "Handshake -- FAIL");
}

TEST(BootProtocol, WriteBlocksSplitsIntoBlocksAndReportsProgress) {
    Bench b;
    b.protocol.EraseDevice();
    std::vector<std::uint8_t> bytes(57);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(b.protocol.WriteBlocks(CMD_WRITE, bytes.data(), 0x1000, 0x1000 + 57));
    ASSERT_EQ(b.module.commands().size(), 3u);
    EXPECT_EQ(b.module.commands()[1], MakePacket(CMD_WRITE, 0x1000, bytes.data(), 56));
    EXPECT_EQ(b.module.commands()[2], MakePacket(CMD_WRITE, 0x1038, bytes.data() + 56, 1));
    EXPECT_EQ(b.host.ranges, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 2}}));
    EXPECT_EQ(b.host.positions, (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(b.host.pumps, 2);

    ASSERT_TRUE(b.protocol.WriteBlocks(CMD_WRITE, bytes.data(), 0x2000, 0x2000));
    EXPECT_EQ(b.module.commands().size(), 3u);
    EXPECT_EQ(b.host.ranges.back(), (std::pair<std::uint32_t, std::uint32_t>{0, 0}));
}

TEST(BootProtocol, WriteRetriesUpToAHundredTimes) {
    for (int naks : {99, 100}) {
        Bench b;
        b.protocol.EraseDevice();
        b.module.faults.nakCommands = naks;
        std::uint8_t byte = 0x42;
        bool ok = b.protocol.WriteBlocks(CMD_WRITE, &byte, 0x0E00, 0x0E01);
        EXPECT_EQ(ok, naks < 100);
        EXPECT_EQ(b.module.commands().size(), 1u + 100u);
        if (!ok) {
            EXPECT_EQ(b.host.status, "Write to device -- FAIL");
        }
        // The window stays alive between attempts, and once after the block.
        EXPECT_EQ(b.host.pumps, ok ? naks + 1 : 99);
    }
    // A Stop between attempts ends the block at once.
    Bench b;
    b.protocol.EraseDevice();
    b.module.faults.nakCommands = 1000;
    b.host.onPump = [&] { b.host.cancel = b.host.pumps == 3; };
    std::uint8_t byte = 0x42;
    EXPECT_FALSE(b.protocol.WriteBlocks(CMD_WRITE, &byte, 0x0E00, 0x0E01));
    EXPECT_EQ(b.module.commands().size(), 1u + 3u);
    EXPECT_EQ(b.host.status, "Write to device -- User cancel");
}

TEST(BootProtocol, CancelDuringTheLastBlockCompletesIt) {
    Bench b;
    b.protocol.EraseDevice();
    std::vector<std::uint8_t> bytes(112, 0x00);
    b.host.onPump = [&] { b.host.cancel = b.host.pumps == 2; };
    EXPECT_FALSE(b.protocol.WriteBlocks(CMD_WRITE, bytes.data(), 0x0E00, 0x0E00 + 112));
    EXPECT_EQ(b.host.status, "Write to device -- User cancel");
    EXPECT_EQ(b.module.commands().size(), 3u);  // erase and both blocks
}

// An image for the flash write plan: bytes 0..2, code from 0x0E00 with one block of 0xFF in the
// middle, and either code up to the top of the image or the moved bytes at 0x43..0x45 with code
// ending below 0x3BF7, where they go.
HexImage PlanImage(bool withMoved) {
    std::string text = Data(0, {0x02, 0x0E, 0x00}) + "\n";
    if (withMoved)
        text += Data(0x43, {0x12, 0x34, 0x56}) + "\n";
    text += FullImageHex(0x0E00, withMoved ? kMovedBytesAddress : 0x3BFA);
    HexImage image;
    std::string status;
    EXPECT_EQ(ReadHexBuffer(text, image, status), kHexOk);
    std::fill_n(&image.data[0x0E00 + 56 * 10], 56, std::uint8_t{0xFF});
    image.valid = CheckImage(image);
    EXPECT_TRUE(image.valid);
    return image;
}

// The module's flash is the image as the plan places it, each byte programmed once.
void ExpectFlashHoldsThePlan(const VirtualBootloader& module, const HexImage& image) {
    EXPECT_TRUE(module.problems().empty()) << module.problems().front();
    for (std::uint32_t a = 0; a < VirtualBootloader::kFlashSize; ++a) {
        std::uint8_t want = 0xFF;
        if (a < 3 || (a >= 0x0E00 && a < image.end))
            want = image.data[a];
        if (image.bytesMoved && a >= 0x3BF7 && a < 0x3BFA)
            want = image.movedBytes[a - 0x3BF7];
        ASSERT_EQ(module.flash()[a], want) << "address " << a;
    }
}

class WriteFlashPlan : public ::testing::TestWithParam<bool> {};

TEST_P(WriteFlashPlan, SendsThePlanInOrderAndTheFlashMatches) {
    const bool withMoved = GetParam();
    Bench b;
    HexImage image = PlanImage(withMoved);
    ASSERT_TRUE(b.protocol.EraseDevice());
    ASSERT_TRUE(b.protocol.WriteFlash(image));
    const auto& cmds = b.module.commands();
    const std::size_t code = withMoved ? 3 : 2;  // index of the first code block
    ASSERT_EQ(cmds.size(), code + 210u);         // 211 code blocks, one of them 0xFF
    auto address = [](const BootPacket& p) { return p[1] | (p[2] << 8); };
    EXPECT_EQ(cmds[1], MakePacket(CMD_WRITE, 0, &image.data[0], 3));
    if (withMoved) {
        EXPECT_EQ(cmds[2], MakePacket(CMD_WRITE, 0x3BF7, kMoved, 3));
    }
    EXPECT_EQ(address(cmds[code]), 0x0E00);
    EXPECT_EQ(address(cmds[code + 10]), 0x0E00 + 56 * 11);  // the 0xFF block was skipped
    EXPECT_EQ(address(cmds.back()), 0x0E00 + 56 * 210);
    EXPECT_EQ(cmds.back()[3], withMoved ? 7 : 10);
    EXPECT_EQ(b.host.ranges.back(), (std::pair<std::uint32_t, std::uint32_t>{0, 211}));
    EXPECT_EQ(b.host.positions.back(), 212u);

    ExpectFlashHoldsThePlan(b.module, image);
}

INSTANTIATE_TEST_SUITE_P(MovedBytes, WriteFlashPlan, ::testing::Bool());

TEST(BootProtocol, WriteFlashRefusesAnInvalidImage) {
    Bench b;
    HexImage image = PlanImage(false);
    image.valid = false;
    b.host.status = "kept";
    EXPECT_FALSE(b.protocol.WriteFlash(image));
    EXPECT_EQ(b.host.status, "kept");
    image.valid = true;
    image.end = image.capacity + 1;  // a hand-made image claiming more than it holds
    EXPECT_FALSE(b.protocol.WriteFlash(image));
    EXPECT_TRUE(b.module.commands().empty());
}

TEST(BootProtocol, ModuleUnpluggedMidWriteAndBack) {
    Bench b;
    HexImage image = PlanImage(true);
    ASSERT_TRUE(b.protocol.EraseDevice());
    b.module.faults.disappearAfter = 50;
    b.module.faults.absentEnumerations = 20;
    const std::size_t enumerations = b.platform.enumerations(), opens = b.platform.opens();
    ASSERT_TRUE(b.protocol.WriteFlash(image));
    // The dead handle closed the port; 20 searches found nothing, the 20th brought it back,
    // and the port opened it once, fresh.
    EXPECT_EQ(b.platform.enumerations() - enumerations, 20u);
    EXPECT_EQ(b.platform.opens() - opens, 1u);
    EXPECT_TRUE(b.port.IsOpen());
    EXPECT_EQ(b.module.generation(), 1u);
    ExpectFlashHoldsThePlan(b.module, image);
}

TEST(BootProtocol, ModuleThatStaysAwayFailsTheBlockAfterAHundredAttempts) {
    Bench b;
    HexImage image = PlanImage(true);
    ASSERT_TRUE(b.protocol.EraseDevice());
    b.module.faults.disappearAfter = 50;
    std::size_t before = b.platform.enumerations();
    EXPECT_FALSE(b.protocol.WriteFlash(image));
    EXPECT_EQ(b.host.status, "BT: Find device -- None");
    // The first attempt fails on the dead handle and closes the port; the other 99 search.
    EXPECT_EQ(b.platform.enumerations() - before, 99u);
}

}  // namespace
