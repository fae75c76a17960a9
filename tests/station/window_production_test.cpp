#include <gtest/gtest.h>

#include <filesystem>

#include "ledger/sha256.h"
#include "os/passphrase.h"
#include "tests/support/fake_window_view.h"

namespace {

const char* const kPlan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0501\nSN_Bytes=2\nSN_Step=1\n";

// Enters production mode as a supervisor does the first time: approves the file, chooses the
// passphrase twice.
void Enter(ControllerRig& r, const std::string& passphrase = "line-7") {
    r.view.confirms = {true};
    r.view.answers = {passphrase, passphrase};
    r.controller.OnMenu(MenuCommand::kProductionMode);
}

void Tick(ControllerRig& r) {
    r.controller.OnTimer(WindowTimer::kStatus);
}

}  // namespace

// A shift without a click: each module starts as it is found, once while it stays plugged in;
// the panel and the count follow; one that passed with this release before waits for the
// operator's word; the mode is left only with the passphrase, and a restart keeps it all.
TEST(WindowProduction, RunsAShiftWithoutAClick) {
    ControllerRig r(kPlan);
    EXPECT_FALSE(r.view.production.on);
    EXPECT_EQ(r.controller.MenuItems().size(), 2u);

    Enter(r);
    ASSERT_TRUE(r.controller.InProduction()) << r.view.log;
    const std::string sha = Sha256Hex(ReadBytes(r.path));
    EXPECT_NE(r.view.questions.at(0).find("SHA-256: " + sha), std::string::npos);
    EXPECT_NE(r.view.questions.at(0).find("at 0x3B00, 2 bytes, next 0x0501, step 1"),
              std::string::npos);
    const std::string config = r.Config();
    EXPECT_NE(config.find("ProductionMode=1\n"), std::string::npos);
    EXPECT_NE(config.find("ApprovedSha256=" + sha + "\n"), std::string::npos);
    EXPECT_EQ(config.find("line-7"), std::string::npos);  // the hash only
    EXPECT_FALSE(r.view.enables.openReload);
    EXPECT_FALSE(r.view.enables.autoSn);
    EXPECT_FALSE(r.view.enables.snFields);

    // The module present is programmed at once.
    r.view.RunUntilEnded(r.controller);
    ASSERT_EQ(r.view.ended, std::optional<bool>(true)) << r.view.log;
    r.view.RunUntil(r.controller, [&] { return r.view.production.count.starts_with("Passed 1"); });
    EXPECT_EQ(r.view.production.panel.headline, "PASS");
    EXPECT_EQ(r.view.production.panel.detail, "Serial number 0x0501");
    EXPECT_EQ(r.view.production.count,
              "Passed 1   Failed 0   Total 1   First pass 100.0%   Last SN 0x0501");

    // Still plugged in: never again, and a click starts nothing.
    const std::size_t commands = r.module.commands().size();
    Tick(r);
    r.controller.OnDownloadClicked();
    EXPECT_FALSE(r.controller.IsBusy());
    EXPECT_EQ(r.module.commands().size(), commands);

    // Pulled out: the next one, please. Plugged back: it passed before, so the operator is
    // asked (and says no).
    r.module.Unplug();
    Tick(r);
    EXPECT_EQ(r.view.production.panel.headline, "NEXT");
    r.module.Plug();
    Tick(r);
    EXPECT_FALSE(r.controller.IsBusy());
    EXPECT_EQ(r.view.questions.back(),
              "Module ABC123 passed with this release before (download #1, serial number "
              "0x0501). Program it again?");
    Tick(r);
    EXPECT_EQ(r.view.questions.size(), 2u);  // asked once while it stays

    // Locked: an edit of the plan or the path is shown back as it was.
    r.view.controls.path = "/elsewhere.hex";
    r.controller.OnPathEdited();
    EXPECT_EQ(r.view.controls.path, r.path);

    // A wrong passphrase keeps the mode; the right one ends it.
    r.view.answers = {"line-8"};
    r.controller.OnMenu(MenuCommand::kProductionMode);
    EXPECT_TRUE(r.controller.InProduction());
    EXPECT_NE(r.view.log.find("Wrong passphrase: production mode stays on"), std::string::npos);

    // A restart on the same config.ini: the mode, the release and the count come back.
    {
        FakeView view;
        WindowController again(r.platform, r.dir.File("config.ini"), view);
        again.Start();
        view.RunUntil(again, [&] { return !view.production.count.empty(); });
        EXPECT_TRUE(view.production.on);
        EXPECT_EQ(view.production.count.substr(0, 8), "Passed 1");
        EXPECT_EQ(view.questions.size(), 1u);  // the module plugged in passed before: asked
    }

    r.view.answers = {"line-7"};
    r.controller.OnMenu(MenuCommand::kProductionMode);
    EXPECT_FALSE(r.controller.InProduction());
    EXPECT_NE(r.Config().find("ProductionMode=0\n"), std::string::npos);
    EXPECT_TRUE(r.view.enables.openReload);
}

// A module plugged in while the supervisor types the passphrase is programmed; the mode then
// ends, and the record is not kept open after that download.
TEST(WindowProduction, LeavesWhileAModuleArrivedDuringThePassphrase) {
    ControllerRig r(kPlan);
    Enter(r);
    r.view.RunUntilEnded(r.controller);
    r.view.ended.reset();
    r.view.whileAsking = [&] {
        r.module.Replace("NEW001");
        r.controller.OnModuleArrived();
        EXPECT_TRUE(r.controller.IsBusy());
    };
    r.view.answers = {"line-7"};
    r.controller.OnMenu(MenuCommand::kProductionMode);
    EXPECT_FALSE(r.controller.InProduction());
    r.view.RunUntilEnded(r.controller);
    EXPECT_EQ(r.view.ended, std::optional<bool>(true)) << r.view.log;
    // SQLite removes the write-ahead log with the last connection.
    EXPECT_FALSE(std::filesystem::exists(r.dir.File("records.sqlite-wal")));
}

// Entering asks the supervisor's confirmation, and refuses what cannot be approved.
TEST(WindowProduction, EntersOnlyWithAnApprovedFileAndAPassphrase) {
    const struct {
        const char* name;
        std::vector<bool> confirms;
        std::vector<std::optional<std::string>> answers;
        bool on;
        const char* warning;
    } cases[] = {
        {"declined", {false}, {}, false, nullptr},
        {"cancelled", {true}, {std::nullopt}, false, nullptr},
        {"typed_differently",
         {true},
         {"a", "b"},
         false,
         "The two passphrases differ: production mode stays off."},
        {"empty", {true}, {"", ""}, false, "The passphrase is empty: production mode stays off."},
        {"approved", {true}, {"a", "a"}, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerRig r(kPlan);
        r.module.Unplug();
        r.view.confirms = c.confirms;
        r.view.answers = c.answers;
        r.controller.OnMenu(MenuCommand::kProductionMode);
        EXPECT_EQ(r.controller.InProduction(), c.on);
        if (c.warning) {
            EXPECT_EQ(r.view.warnings, std::vector<std::string>{c.warning});
        }
    }
    // Nothing is asked for a file that is not loaded, nor for a plan over the image's bytes.
    ControllerRig broken(kPlan);
    broken.dir.Write("fw.hex", ":00000001FF\n");
    broken.controller.OnReloadClicked();
    ControllerRig overlapping("AutoSN=1\nSN_StartAddr=0F00\nSN_Current=0501\nSN_Bytes=2\n");
    for (ControllerRig* r : {&broken, &overlapping}) {
        r->controller.OnMenu(MenuCommand::kProductionMode);
        EXPECT_FALSE(r->controller.InProduction());
        EXPECT_TRUE(r->view.questions.empty());
        EXPECT_EQ(r->view.warnings.size(), 1u);
    }
    EXPECT_NE(overlapping.view.log.find("would be written over the image"), std::string::npos)
        << overlapping.view.log;
}

// A new shift starts the count again and puts the badge (printable, trimmed) in each record.
TEST(WindowProduction, ANewShiftCountsAfreshWithTheBadge) {
    ControllerRig r(kPlan);
    Enter(r);
    r.view.RunUntilEnded(r.controller);
    r.view.RunUntil(r.controller, [&] { return r.view.production.count.starts_with("Passed 1"); });
    r.view.answers = {std::string(" B-0042\t\x1B ")};
    r.controller.OnMenu(MenuCommand::kNewShift);
    r.view.RunUntil(r.controller, [&] { return r.view.production.count.starts_with("Passed 0"); });
    EXPECT_EQ(r.view.production.count, "Passed 0   Failed 0   Total 0");
    EXPECT_NE(r.view.production.shift.find("Badge B-0042"), std::string::npos);
    EXPECT_NE(r.Config().find("OperatorBadge=B-0042\n"), std::string::npos);
}
