#include "station/shift_count.h"

#include <gtest/gtest.h>

#include "station/record_texts.h"
#include "tests/support/station_rig.h"

namespace {

DownloadRecord Attempt(const std::string& uid, const std::string& verdict,
                       const std::string& outcome, std::uint32_t written = 0) {
    DownloadRecord r;
    r.stationHost = "bench-1";
    r.stationConfig = "/line/config.ini";
    r.moduleUid = uid;
    r.verdict = verdict;
    r.outcome = outcome;
    if (written) {
        r.hasSerial = true;
        r.serialPlan = {0x3B00, 2};
        r.serialValue = written;
        r.serialState = SerialState::kWritten;
    }
    return r;
}

}  // namespace

// What counts as a module's pass or failure, and its first pass; other stations' records and
// downloads no module answered do not count.
TEST(ShiftCount, CountsEachModulesVerdictAndItsFirstPass) {
    DownloadRecord elsewhere = Attempt("M9", "succeeded", "succeeded");
    elsewhere.stationConfig = "/other/config.ini";
    DownloadRecord otherHost = Attempt("M9", "succeeded", "succeeded");
    otherHost.stationHost = "bench-2";
    DownloadRecord usedUp = Attempt("M5", "failed", "failed", 0x503);
    usedUp.serialState = SerialState::kUsedUp;
    const DownloadRecord records[] = {
        Attempt("M1", "succeeded", "succeeded", 0x501),
        Attempt("M2", "failed", "failed"),
        Attempt("M2", "succeeded", "succeeded", 0x502),  // passed, but not at first
        Attempt("", "failed", "no_module"),
        Attempt("M3", "failed", "refused"),
        Attempt("M3", "failed", "no_access"),
        Attempt("M3", "running", ""),
        Attempt("M4", "failed", "stopped"),
        Attempt("M6", "failed", "interrupted"),
        Attempt("M7", "succeeded", ""),  // a loader's record before outcomes
        usedUp,
        elsewhere,
        otherHost,
    };
    ShiftTally tally("bench-1", "/line/config.ini");
    for (const DownloadRecord& r : records)
        tally.Add(r);
    const ShiftCount& c = tally.Count();
    EXPECT_EQ(c.passed, 3);
    EXPECT_EQ(c.failed, 4);
    EXPECT_EQ(c.modules, 6);  // M1, M2, M4, M6, M7, M5
    EXPECT_EQ(c.firstPass, 2);
    EXPECT_TRUE(c.hasSerial);
    EXPECT_EQ(c.lastSerial, 0x502u);
    EXPECT_EQ(ShiftCountText(c),
              "Passed 3   Failed 4   Total 7   First pass 33.3%   Last SN 0x0502");
}

TEST(ShiftCount, WordsTheCount) {
    const struct {
        ShiftCount count;
        std::string text;
    } cases[] = {
        {{}, "Passed 0   Failed 0   Total 0"},
        {{28, 2, 30, 28, false, 0, 0}, "Passed 28   Failed 2   Total 30   First pass 93.3%"},
        {{2, 1, 3, 2, true, 0xA, 1},
         "Passed 2   Failed 1   Total 3   First pass 66.7%   Last SN 0x0A"},
        {{1, 0, 1, 1, true, 0x12345678, 4},
         "Passed 1   Failed 0   Total 1   First pass 100.0%   Last SN 0x12345678"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShiftCountText(c.count), c.text);
}

// The count is the record's: downloads since the shift's start, read back as any front end on
// this config.ini wrote them.
TEST(ShiftCount, IsReadFromTheRecordSinceTheShiftBegan) {
    Rig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0501\nSN_Bytes=2\nSN_Step=1\n");
    ASSERT_TRUE(r.station.Download());
    const std::string shift = UtcNowIso();
    ASSERT_TRUE(r.station.Download());  // the same module again
    RecordFailure reason;
    const std::optional<ShiftCount> all = CountShift(r.station.SettingsPath(), "", &reason);
    ASSERT_TRUE(all) << RecordFailureText(reason);
    EXPECT_EQ(all->passed, 2);
    EXPECT_EQ(all->modules, 1);
    const std::optional<ShiftCount> since = CountShift(r.station.SettingsPath(), shift, &reason);
    ASSERT_TRUE(since) << RecordFailureText(reason);
    EXPECT_EQ(since->passed, 1);
    EXPECT_EQ(since->failed, 0);
    EXPECT_TRUE(since->hasSerial);
    EXPECT_EQ(since->lastSerial, 0x502u);
}
