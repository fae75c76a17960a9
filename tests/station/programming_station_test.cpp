#include "station/programming_station.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/time.h>
#endif

#include <algorithm>
#include <filesystem>
#include <thread>

#include "tests/support/case_name.h"
#include "tests/support/station_rig.h"
#include "text/escape_controls.h"

namespace {

const char* const kPlan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\nSN_Step=1\n";

// A module's string with control characters reaches the log (and so the record) and the status
// escaped: the window and the command line show it, no terminal obeys it.
TEST(ProgrammingStation, AModuleStringIsShownEscaped) {
    Rig r("", ImageText(), "\x1B[2J\x9B");
    r.station.RefreshStatus();
    EXPECT_EQ(r.rec.status, "SN: \\x1B[2J\\u009B");
    ASSERT_TRUE(r.station.Download());
    const std::vector<std::string> lines = r.rec.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "\t- Device UID = \\x1B[2J\\u009B"),
              lines.end());
    for (const LogEntry& e : r.rec.log)
        EXPECT_EQ(EscapeControls(e.text, Controls::kKeepLineEnds), e.text);
}

TEST(ProgrammingStation, ProgramsTheImageAndTheSerialNumberAndAdvances) {
    Rig r(kPlan);
    ASSERT_TRUE(r.station.Download());
    const std::vector<std::string> want = {
        "TS Check Serial Number ... \tDone", "TS Handshake ... \t\tDone",
        "\t- Device UID = ABC123",           "TS Erase ... \t\tDone",
        "TS Write Flash ... \t\tDone",       "TS Write Serial Number ... \tDone",
        "\t- Address = 0x3B00, SN = 0x1234", "TS Run Device ... \t\tDone",
        "TS Download --- \t\tSucceed"};
    EXPECT_EQ(r.rec.Lines(), want);
    const HexImage& image = r.station.Image();
    for (std::uint32_t a = 0; a < VirtualBootloader::kFlashSize; ++a) {
        std::uint8_t expected = 0xFF;
        if (a < 3 || (a >= 0x0E00 && a < image.end))
            expected = image.data[a];
        if (a >= 0x3BF7 && a < 0x3BFA)
            expected = image.movedBytes[a - 0x3BF7];
        if (a == 0x3B00 || a == 0x3B01)
            expected = a == 0x3B00 ? 0x12 : 0x34;
        ASSERT_EQ(r.module.flash()[a], expected) << a;
    }
    EXPECT_TRUE(r.module.problems().empty());
    EXPECT_TRUE(r.module.running());
    EXPECT_EQ(r.station.Plan().ValueText(), "1235");
    EXPECT_NE(r.Config().find("SN_Current=1235\n"), std::string::npos);
    EXPECT_EQ(r.rec.busy, (std::vector<bool>{true, false}));
    EXPECT_EQ(r.rec.status, "SN: ABC123");
}

// The sequence failing at each exchange: the steps before it done, its own "Fail", nothing
// after it run. The number is taken right after the handshake: one that did not reach the module
// is used up, never given again.
struct FailCase {
    const char* name;
    int at;  // the exchange that fails: 1-based from the start, or -1 for the last
    std::string failedStep;
    bool usedUp;
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class StationStepFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(StationStepFails, StopsThere) {
    std::size_t total = 0;
    {
        Rig whole(kPlan);
        ASSERT_TRUE(whole.station.Download());
        total = whole.module.exchanges();
    }
    Rig r(kPlan);
    const FailCase& c = GetParam();
    const std::size_t failing = c.at > 0 ? static_cast<std::size_t>(c.at) : total + 1 + c.at;
    r.module.onExchange = [&](std::size_t count) {
        if (count + 1 == failing)
            r.module.faults.failSetReports = 1 << 20;
    };
    EXPECT_FALSE(r.station.Download());
    std::vector<std::string> tail = {c.failedStep + "Fail", "TS Download --- \t\tFail"};
    if (c.usedUp) {
        tail.insert(tail.begin() + 1,
                    "\t- Serial number 0x1234 is used up: it is never given to another module");
    }
    const std::vector<std::string> lines = r.rec.Lines();
    ASSERT_GE(lines.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()),
              tail);
    EXPECT_EQ(r.rec.log.back().color, kLogRed);
    EXPECT_FALSE(r.module.running());
    EXPECT_EQ(r.station.Plan().ValueText(), "1235");
    EXPECT_NE(r.Config().find("SN_Current=1235\n"), std::string::npos);
    EXPECT_EQ(r.rec.busy, (std::vector<bool>{true, false}));
}

INSTANTIATE_TEST_SUITE_P(Steps, StationStepFails,
                         ::testing::ValuesIn(std::vector<FailCase>{
                             {"erase", 2, "TS Erase ... \t\t", true},
                             {"write_flash", 3, "TS Write Flash ... \t\t", true},
                             {"serial_number", -2, "TS Write Serial Number ... \t", true},
                             // The module holds its number: not used up.
                             {"run", -1, "TS Run Device ... \t\t", false},
                         }),
                         CaseName());

// A config.ini that exists but cannot be read gives no plan: every download is refused before
// any command, and the file is never rewritten, until it can be read again.
TEST(ProgrammingStation, AConfigThatCannotBeReadStopsEveryDownload) {
    const std::string plan = "[SETTING]\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : plan)
        utf16 += std::string{c, '\0'};
    const struct {
        const char* name;
        std::string bytes, reason;
    } cases[] = {
        {"utf16", utf16, "UTF-16 text, not 8-bit text (save it as ANSI or UTF-8)"},
        {"utf16_without_mark", utf16.substr(2),
         "UTF-16 text, not 8-bit text (save it as ANSI or UTF-8)"},
        {"too_large", plan + std::string(kMaxSettingsFileSize, ';'),
         "file larger than " + std::to_string(kMaxSettingsFileSize) + " bytes"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string config = dir.path() + "/config.ini";
        std::ofstream(config, std::ios::binary) << c.bytes;
        Rig r(nullptr, ImageText(), "ABC123", dir.path());
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(r.station.Download()) << c.name;
            EXPECT_EQ(r.station.LastOutcome(), DownloadOutcome::kNotRecorded);
            const std::vector<std::string> lines = r.rec.Lines();
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[lines.size() - 2], "Settings cannot be read from " + config + ": " +
                                                   c.reason +
                                                   ": no download until the file is mended");
        }
        EXPECT_TRUE(r.module.commands().empty()) << c.name;
        EXPECT_TRUE(ReadBytes(config) == c.bytes) << c.name;

        // Mended: the next download reads the plan and programs with it.
        std::ofstream(config, std::ios::binary)
            << plan << "m_strPath_flash=" << dir.path() << "/fw.hex\n";
        std::ofstream(dir.path() + "/fw.hex", std::ios::binary) << ImageText();
        EXPECT_TRUE(r.station.Download()) << c.name;
        EXPECT_EQ(r.module.flash()[0x3B00], 0x12);
    }
}

// Ctrl+C while the file is read, before the download begins: the download stops at once.
TEST(ProgrammingStation, AStopBeforeTheDownloadIsKept) {
    Rig r(kPlan);
    r.host.Cancel();
    EXPECT_FALSE(r.station.Download());
    EXPECT_EQ(r.station.LastOutcome(), DownloadOutcome::kStopped);
    EXPECT_TRUE(r.module.commands().empty());
}

TEST(ProgrammingStation, StopFromAnotherThreadEndsTheHandshake) {
    Rig r(kPlan);
    r.module.Unplug();
    bool ok = true;
    std::thread worker([&] { ok = r.station.Download(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    r.host.Cancel();
    worker.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(r.rec.Lines(),
              (std::vector<std::string>{"TS Check Serial Number ... \tDone",
                                        "TS Handshake ... \t\tFail", "TS Download --- \t\tFail"}));
    EXPECT_TRUE(r.module.commands().empty());
}

// The command line's host asks a present module at once, and a module that appears while the
// handshake waits is asked when the host is told, not a whole period later.
TEST(ProgrammingStation, HandshakeAtOnceAndWhenAModuleAppears) {
    using namespace std::chrono;
    for (const bool unplugged : {false, true}) {
        Rig r(kPlan);
        r.host.SetTickMs(60000);
        r.host.SetFirstTickAtOnce(true);
        if (unplugged) {
            r.module.Unplug();
            r.station.Port().Open();  // the port has seen it go (no stale handle to try first)
        }
        const auto start = steady_clock::now();
        std::thread worker([&] { r.station.Download(); });
        if (unplugged) {
            std::this_thread::sleep_for(milliseconds(30));
            r.module.Plug();
            r.host.TickNow();
        }
        worker.join();
        EXPECT_LT(steady_clock::now() - start, seconds(5)) << unplugged;
        EXPECT_EQ(r.station.LastOutcome(), DownloadOutcome::kSucceeded) << unplugged;
    }
}

TEST(ProgrammingStation, MakerFormatWritesNoSerialNumberButAdvances) {
    Rig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\nSN_Bytes=2\nSN_Step=3\n",
          "==KAVORN APP HEX==\n" + ImageText());
    ASSERT_TRUE(r.station.Download());
    EXPECT_EQ(r.rec.Lines(), (std::vector<std::string>{
                                 "TS Handshake ... \t\tDone", "\t- Device UID = ABC123",
                                 "TS Erase ... \t\tDone", "TS Write Flash ... \t\tDone",
                                 "TS Run Device ... \t\tDone", "TS Download --- \t\tSucceed"}));
    EXPECT_EQ(r.module.lastFormatFlag(), 1);
    EXPECT_EQ(r.module.flash()[0x3B00], 0xFF);
    EXPECT_NE(r.Config().find("SN_Current=15\n"), std::string::npos);
}

// The serial-number checks refuse before any command is sent.
struct CheckCase {
    const char* name;
    const char* settings;
    std::vector<std::string> reasons;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class StationSerialChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(StationSerialChecks, RefuseBeforeAnyCommand) {
    Rig r(std::string("AutoSN=1\n") + GetParam().settings);
    EXPECT_FALSE(r.station.Download());
    std::vector<std::string> want = {"TS Check Serial Number ... "};
    want.insert(want.end(), GetParam().reasons.begin(), GetParam().reasons.end());
    want.push_back("TS Download --- \t\tFail");
    EXPECT_EQ(r.rec.Lines(), want);
    EXPECT_TRUE(r.module.commands().empty());
    EXPECT_EQ(r.rec.log[1].color, kLogRed);  // the reasons are red
}

const char* const kRange = "\t- Available Range = 0xE00 ~ 0x1FFF";
INSTANTIATE_TEST_SUITE_P(Cases, StationSerialChecks,
                         ::testing::ValuesIn(std::vector<CheckCase>{
                             {"overflow_width4",
                              "SN_StartAddr=3B00\nSN_Current=FFFFFFFF\nSN_Bytes=4\n",
                              {"\t- Overflow: SN = 0xFFFFFFFF, max = 0xFFFFFFFE"}},
                             {"address_at_capacity",
                              "SN_StartAddr=3BFA\nSN_Current=1\nSN_Bytes=1\n",
                              {"\t- Address Overrange: address = 0x3BFA", kRange}},
                             {"address_reserved",
                              "SN_StartAddr=0DFF\nSN_Current=1\nSN_Bytes=1\n",
                              {"\t- Address Overrange: address = 0xDFF", kRange}},
                             {"number_ends_past_the_image",
                              "SN_StartAddr=3BF9\nSN_Current=1\nSN_Bytes=2\n",
                              {"\t- Address Overrange: address = 0x3BF9", kRange}},
                             {"width_not_1_to_4",
                              "SN_StartAddr=3B00\nSN_Current=1\nSN_Bytes=7\n",
                              {"\t- Width Invalid: bytes = 7, allowed 1 ~ 4"}},
                             {"over_the_code",
                              "SN_StartAddr=1000\nSN_Current=1\nSN_Bytes=2\n",
                              {"\t- Overlap: the serial number at 0x1000 ~ 0x1001 would be "
                               "written over the image's byte at 0x1000"}},
                             {"over_the_moved_bytes",
                              "SN_StartAddr=3BF5\nSN_Current=1\nSN_Bytes=4\n",
                              {"\t- Overlap: the serial number at 0x3BF5 ~ 0x3BF8 would be "
                               "written over the image's byte at 0x3BF7"}},
                             {"width_used_up",
                              "SN_StartAddr=3B00\nSN_Current=100\nSN_Bytes=1\n",
                              {"\t- the numbers of this width are used up: SN_Current = 0x100, "
                               "max = 0xFF"}},
                             {"step_negative",
                              "SN_StartAddr=3B00\nSN_Current=1\nSN_Bytes=2\nSN_Step=-1\n",
                              {"\t- SN_Step=-1 in config.ini is not a number from 0 to 255"}},
                             {"step_not_a_number",
                              "SN_StartAddr=3B00\nSN_Current=1\nSN_Bytes=2\nSN_Step=one\n",
                              {"\t- SN_Step=one in config.ini is not a number from 0 to 255"}},
                         }),
                         CaseName());

TEST(ProgrammingStation, AdvanceTexts) {
    const struct {
        int width;
        const char* value;
        int step;
        const char* next;
    } cases[] = {{2, "12", 1, "13"},
                 {4, "FF", 1, "0100"},
                 {1, "FF", 1, "100"},
                 {4, "FFFFFFFE", 255, "FFFFFFFF"},
                 {2, "1234", 0, "1234"}};
    for (const auto& c : cases) {
        Rig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=" + std::string(c.value) + "\nSN_Bytes=" +
              std::to_string(c.width) + "\nSN_Step=" + std::to_string(c.step) + "\n");
        ASSERT_TRUE(r.station.Download()) << c.value;
        EXPECT_EQ(r.station.Plan().ValueText(), c.next);
        EXPECT_NE(r.Config().find("SN_Current=" + std::string(c.next) + "\n"), std::string::npos);
    }
}

// The module that answered the handshake is the one programmed to the end: not another module
// put in its place, and not the same module back on the bus after it left (it may have
// restarted, and its flash is no longer what was written).
TEST(ProgrammingStation, AModuleThatLeftMidWriteGetsNothingMore) {
    const struct {
        const char* name;
        bool sameBack;
        std::string line, status;
    } cases[] = {
        {"another module", false,
         "\t- Another module (OTHER1 at usb-sim-1) took the place of ABC123: nothing more was "
         "written to it",
         "BT: Find device -- another module (OTHER1 at usb-sim-1)"},
        {"the same module back", true,
         "\t- The module left the bus during the download: nothing more was written to it",
         "BT: Find device -- the module left the bus"},
    };
    for (const auto& c : cases) {
        Rig r(kPlan);
        std::size_t sent = 0;
        r.module.onExchange = [&](std::size_t count) {
            if (count != 10)
                return;
            if (c.sameBack) {
                r.module.Unplug();
                r.module.Plug();
            } else {
                r.module.Replace("OTHER1", 0xFF);  // pulled, and another one plugged in its place
            }
            sent = r.module.commands().size();
        };
        EXPECT_FALSE(r.station.Download()) << c.name;
        const std::vector<std::string> lines = r.rec.Lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[lines.size() - 4], "TS Write Flash ... \t\tFail") << c.name;
        EXPECT_EQ(lines[lines.size() - 3], c.line);
        EXPECT_EQ(lines[lines.size() - 2],
                  "\t- Serial number 0x1234 is used up: it is never given to another module");
        EXPECT_EQ(r.station.StatusText(), c.status);
        EXPECT_EQ(r.module.commands().size(), sent) << c.name;  // nothing after it left
        EXPECT_FALSE(r.module.running());
    }
}

TEST(ProgrammingStation, AModuleEarlierInBusOrderIsPassedOverOnAReopen) {
    Rig r(kPlan);
    VirtualBootloader earlier("EARLY1");
    r.module.onExchange = [&](std::size_t count) {
        if (count == 10) {  // a module appears earlier in bus order, and one answer is lost
            r.platform.entries().insert(
                r.platform.entries().begin(),
                {"sim:early", 0x2156, 0xC001, &earlier, true, HidCaps{9, 2, 0}, "usb-sim-early"});
            r.module.faults.failGetReports = 1;
        }
    };
    EXPECT_TRUE(r.station.Download());
    EXPECT_TRUE(earlier.commands().empty());
    EXPECT_TRUE(r.module.running());
    EXPECT_EQ(r.module.flash()[0x3B00], 0x12);
}

// Two stations, each on its own thread with its own module, programming at the same time.
TEST(ProgrammingStation, TwoStationsProgramTwoModulesAtOnce) {
    Rig a("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0A\nSN_Bytes=1\n", ImageText(1), "MODA01");
    Rig b("AutoSN=1\nSN_StartAddr=3B10\nSN_Current=0B\nSN_Bytes=1\n", ImageText(2), "MODB02");
    a.module.faults.answerMicros = 200;
    b.module.faults.answerMicros = 200;
    bool okA = false, okB = false;
    std::thread ta([&] { okA = a.station.Download(); });
    std::thread tb([&] { okB = b.station.Download(); });
    ta.join();
    tb.join();
    ASSERT_TRUE(okA);
    ASSERT_TRUE(okB);
    for (Rig* r : {&a, &b}) {
        const HexImage& image = r->station.Image();
        for (std::uint32_t addr = 0x0E00; addr < image.end; ++addr)
            ASSERT_EQ(r->module.flash()[addr], image.data[addr]) << addr;
        EXPECT_TRUE(r->module.problems().empty());
        EXPECT_EQ(r->module.commands().size(), a.module.commands().size());
    }
    EXPECT_EQ(a.module.flash()[0x3B00], 0x0A);
    EXPECT_EQ(b.module.flash()[0x3B10], 0x0B);
    EXPECT_NE(a.station.Image().data[0x0E00], b.station.Image().data[0x0E00]);
    EXPECT_EQ(a.rec.Lines()[2], "\t- Device UID = MODA01");
    EXPECT_EQ(b.rec.Lines()[2], "\t- Device UID = MODB02");
}

}  // namespace
