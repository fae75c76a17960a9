#include "device/overlapping_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "device/boot_protocol.h"
#include "sim/sim_hid_platform.h"

namespace {

// A module on a simulated bus, seen through the overlapping platform, and one exchange with it.
struct Overlapped {
    Overlapped() {
        inner.AddModule(module);
        HidOpenError error;
        device = platform.Open(inner.EnumerateInterfaces().front(), error);
        module.onExchange = [this](std::size_t) { answeredOn = std::this_thread::get_id(); };
    }
    // A handshake, sent and answered; whether the answer came back as an ACK.
    bool Exchange() {
        std::array<std::uint8_t, kPacketSize + 1> report{};
        const BootPacket packet = MakePacket(CMD_HANDSHAKE);
        std::copy(packet.begin(), packet.end(), report.begin() + 1);
        if (!device->SetFeature(report.data(), report.size()))
            return false;
        report.fill(0);
        return device->GetFeature(report.data(), report.size()) && report[1] == ACK;
    }

    VirtualBootloader module{"OVR001"};
    SimHidPlatform inner;
    OverlappingPlatform platform{inner};
    std::unique_ptr<HidDevice> device;
    std::thread::id answeredOn;
};

TEST(OverlappingPlatform, WithoutDueWorkReadsRunOnTheCallersThread) {
    Overlapped o;
    int asked = 0, worked = 0;
    o.platform.SetSideWork({[&] { return ++asked, false; }, [&] { ++worked; }});
    ASSERT_TRUE(o.device);
    EXPECT_TRUE(o.Exchange());
    EXPECT_EQ(o.answeredOn, std::this_thread::get_id());
    EXPECT_EQ(asked, 1);  // once per read, never for a write
    EXPECT_EQ(worked, 0);
}

TEST(OverlappingPlatform, DueWorkRunsWhileTheModuleAnswers) {
    Overlapped o;
    // The module answers only once the side work has started, and the side work ends only once
    // the module is answering: one after the other on one thread, neither would ever end.
    std::promise<void> workStarted, answering;
    std::future<void> started = workStarted.get_future(), answered = answering.get_future();
    o.module.onExchange = [&](std::size_t) {
        o.answeredOn = std::this_thread::get_id();
        answering.set_value();
        EXPECT_EQ(started.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    };
    bool due = true;
    o.platform.SetSideWork({[&] { return due; },
                            [&] {
                                workStarted.set_value();
                                EXPECT_EQ(answered.wait_for(std::chrono::seconds(10)),
                                          std::future_status::ready);
                                due = false;
                            }});
    EXPECT_TRUE(o.Exchange());
    EXPECT_NE(o.answeredOn, std::this_thread::get_id());
    const std::thread::id helper = o.answeredOn;

    // Later reads without due work are the caller's again; a failed read fails as it is.
    o.module.onExchange = [&](std::size_t) { o.answeredOn = std::this_thread::get_id(); };
    EXPECT_TRUE(o.Exchange());
    EXPECT_EQ(o.answeredOn, std::this_thread::get_id());
    // And the next due one goes to the same helper, not a new thread per read.
    due = true;
    o.platform.SetSideWork({[&] { return due; }, [&] { due = false; }});
    o.module.faults.failGetReports = 1;
    EXPECT_FALSE(o.Exchange());
    EXPECT_TRUE(o.Exchange());
    due = true;
    EXPECT_TRUE(o.Exchange());
    EXPECT_EQ(o.answeredOn, helper);
}

}  // namespace
