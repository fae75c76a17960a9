#include "station/window_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "tests/support/fake_window_view.h"

namespace {

TEST(ProgressOnBar, ClampsToTheRangeAndShowsAnEmptyRangeAsOneStep) {
    struct Case {
        std::uint32_t low, high, position;
        BarPosition want;
    } const cases[] = {
        {0x0E00, 0x1000, 0x0E00, {0x200, 0}},
        {0x0E00, 0x1000, 0x0F00, {0x200, 0x100}},
        {0x0E00, 0x1000, 0x2000, {0x200, 0x200}},
        {0x0E00, 0x1000, 0x0100, {0x200, 0}},
        {5, 5, 5, {1, 0}},
        {5, 5, 6, {1, 1}},
        {7, 3, 9, {1, 1}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressOnBar(c.low, c.high, c.position), c.want) << c.low << " " << c.position;
}

TEST(WindowController, StartShowsWhatConfigIniHolds) {
    ControllerRig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=00ff\nSN_Bytes=2\nSN_Step=3\n");
    const WindowFields& f = r.view.controls;
    EXPECT_EQ(f.path, r.path);
    EXPECT_TRUE(f.autoSn);
    EXPECT_EQ(f.snAddr, "3B00");
    EXPECT_EQ(f.snValue, "00ff");  // as stored, until the operator edits it
    EXPECT_EQ(f.snStep, "3");
    EXPECT_EQ(f.snWidthIndex, 1);
    EXPECT_TRUE(r.view.enables.snFields);
    EXPECT_EQ(r.view.log.find("Open Hex"), 0u);
}

// What finding config.ini noticed comes first in the log, before the HEX file's report.
TEST(WindowController, StartTellsWhereTheSettingsCameFrom) {
    struct Case {
        const char* copiedFrom;
        const char* problem;
        const char* want;
    } const cases[] = {
        {"", "", ""},
        {"/opt/app/config.ini", "",
         "Settings carried over from /opt/app/config.ini to {} (the serial number goes on from "
         "there)\r\n"},
        {"", "its folder could not be made", "Settings at {}: its folder could not be made\r\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        SimHidPlatform platform;
        FakeView view;
        const std::string path = dir.File("config.ini");
        WindowController controller(platform, path, view);
        controller.Start(ConfigLocation{path, ConfigOrigin::kNamed, c.copiedFrom, c.problem});
        std::string want = c.want;
        if (const std::size_t at = want.find("{}"); at != std::string::npos)
            want.replace(at, 2, path);
        EXPECT_EQ(view.log.substr(0, want.size()), want);
        EXPECT_EQ(view.log.find("Open Hex"), want.size());
    }
}

// The window only runs its timers: the controller stops a single shot when it fires, and a
// timer it no longer runs is not its own.
TEST(WindowController, ASingleShotStopsWhenItFiresAndAStoppedTimerIsNotTaken) {
    ControllerRig r;
    // Blocks far apart enough that the write's positions come within a period of each other.
    r.module.faults.answerMicros = 10000;
    EXPECT_EQ(r.view.timers, std::set<WindowTimer>{WindowTimer::kStatus});
    EXPECT_TRUE(r.controller.OnTimer(WindowTimer::kStatus));  // repeats
    EXPECT_EQ(r.view.timers, std::set<WindowTimer>{WindowTimer::kStatus});
    EXPECT_FALSE(r.controller.OnTimer(WindowTimer::kProgress));
    // A download shows its progress at most once a period: a later position waits for the
    // single shot.
    r.controller.OnDownloadClicked();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!r.view.timers.count(WindowTimer::kProgress) && !r.view.ended &&
           std::chrono::steady_clock::now() < until) {
        if (r.view.woken.exchange(false))
            r.controller.RunPosted();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(r.view.timers.count(WindowTimer::kProgress)) << r.view.log;
    EXPECT_TRUE(r.controller.OnTimer(WindowTimer::kProgress));
    EXPECT_FALSE(r.view.timers.count(WindowTimer::kProgress));
    EXPECT_FALSE(r.controller.OnTimer(WindowTimer::kProgress));
    r.controller.StopTimers();
    EXPECT_TRUE(r.view.timers.empty());
    r.view.RunUntilEnded(r.controller);
}

// The field exchange reads every control in the window's order and stops at the step's check.
TEST(WindowController, TheStepsCheckStopsTheExchangeWithItsPrompt) {
    struct Case {
        const char* step;
        const char* prompt;  // nullptr: taken
        unsigned taken;
    } const cases[] = {
        {" 7 ", nullptr, 7},
        {"255", nullptr, 255},
        {"256", "Please enter an integer between 0 and 255.", 1},
        {"1000", "Please enter an integer between 0 and 255.", 1},
        {"-1", "Please enter a positive integer.", 1},
        {"", "Please enter a positive integer.", 1},
        {"3x", "Please enter a positive integer.", 1},
    };
    for (const Case& c : cases) {
        ControllerRig r;
        r.view.controls.snStep = c.step;
        r.view.controls.autoReload = true;
        r.view.controls.path = "/elsewhere.hex";
        EXPECT_EQ(r.controller.UpdateData(true), c.prompt == nullptr) << c.step;
        EXPECT_EQ(r.controller.Station().Plan().Numbers().step, c.taken) << c.step;
        EXPECT_TRUE(r.controller.Station().AutoReload()) << "read before the step";
        EXPECT_EQ(r.controller.Station().Path() == "/elsewhere.hex", c.prompt == nullptr)
            << "read after the step";
        EXPECT_EQ(r.view.warnings,
                  c.prompt ? std::vector<std::string>{c.prompt} : std::vector<std::string>{});
        EXPECT_EQ(r.view.stepSelected, c.prompt != nullptr);
    }
}

TEST(WindowController, APlanEditIsShownInTheFieldsFormAndSavesItsOwnKey) {
    ControllerRig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\nSN_Bytes=2\nSN_Step=1\n");
    r.view.controls.snValue = "ab-c";
    r.controller.OnPlanEdited(SnField::kValue);
    EXPECT_EQ(r.view.controls.snValue, "ABC");
    EXPECT_EQ(r.controller.Station().Plan().Numbers().value, 0xABCu);
    EXPECT_NE(r.Config().find("SN_Current=ABC\n"), std::string::npos);
    EXPECT_NE(r.Config().find("SN_StartAddr=3B00\n"), std::string::npos);
    r.view.controls.snAddr = "0100";
    r.controller.OnPlanEdited(SnField::kAddress);
    EXPECT_EQ(r.view.warnings, std::vector<std::string>{"SN Address cannot in reserved Range: "
                                                        "0x0000 ~ 0x0DFF"});
    EXPECT_EQ(r.view.controls.snAddr, "3B00");  // put back
}

// What the window's keys, its close and its controls do while a download runs, and after.
TEST(WindowController, WhileBusyKeysDoNothingAndACloseWaitsForTheEnd) {
    ControllerRig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\nSN_Bytes=2\nSN_Step=1\n");
    r.module.faults.answerMicros = 500;
    EXPECT_TRUE(r.controller.OnEscape());
    EXPECT_EQ(r.controller.OnEnter(true), EnterAction::kClickFocusedButton);
    r.controller.OnDownloadClicked();
    EXPECT_EQ(r.view.enables.downloadCaption, "Stop");
    EXPECT_FALSE(r.view.enables.openReload);
    EXPECT_FALSE(r.view.enables.autoSn);
    EXPECT_FALSE(r.view.enables.snFields);
    EXPECT_FALSE(r.controller.OnEscape());
    EXPECT_EQ(r.controller.OnEnter(false), EnterAction::kNothing);
    // An edit that reaches a plan field anyway is put back: the plan is the download's.
    r.view.controls.snValue = "99";
    r.controller.OnPlanEdited(SnField::kValue);
    EXPECT_EQ(r.view.controls.snValue, "12");
    EXPECT_FALSE(r.controller.OnCloseAsked());
    r.view.RunUntilEnded(r.controller);
    ASSERT_TRUE(r.view.ended.has_value());
    EXPECT_FALSE(*r.view.ended);  // the close stopped it
    EXPECT_TRUE(r.view.closed);
    EXPECT_EQ(r.view.enables.downloadCaption, "Download");
    EXPECT_TRUE(r.view.enables.openReload);
    EXPECT_TRUE(r.view.enables.snFields);
    EXPECT_NE(r.view.log.find("Download --- \t\tFail"), std::string::npos);
}

TEST(WindowController, ADownloadOnTheWorkerShowsTheNextNumberAndAFullBar) {
    ControllerRig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\nSN_Bytes=2\nSN_Step=1\n");
    r.controller.OnDownloadClicked();
    r.view.RunUntilEnded(r.controller);
    ASSERT_EQ(r.view.ended, true) << r.view.log;
    EXPECT_EQ(r.view.controls.snValue, "13");
    EXPECT_EQ(r.view.bar.value, r.view.bar.maximum);
    EXPECT_FALSE(r.view.barShown);  // hidden after the run
    EXPECT_EQ(r.view.status, "SN: ABC123");
    EXPECT_NE(r.view.log.find("\t- Address = 0x3B00, SN = 0x12"), std::string::npos);
}

}  // namespace
