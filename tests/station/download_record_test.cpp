// The record of a download tells the truth and always ends: each log line with the time stamp
// it was shown with, the failing step's own status text, the outcome's class, the HEX file and
// the station as an auditor finds them; and what could not be written at the time is written by
// the next station on that config.ini, or the record closed as interrupted when its loader died.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "ledger/record_journal.h"
#include "ledger/sha256.h"
#include "ledger/shared_record_store.h"
#include "ledger/sql_session.h"
#include "pravune_version.h"
#include "tests/support/case_name.h"
#include "tests/support/station_rig.h"
#include "tests/support/test_database.h"

namespace {

using RecordEnd = ProgrammingStation::RecordEnd;

const char* const kPlan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\nSN_Step=1\n";

std::string ConfigOf(const Rig& r) {
    return r.folderPath + "/config.ini";
}

std::unique_ptr<RecordStore> StoreOf(const Rig& r) {
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(RecordStorePathFor(ConfigOf(r)), &reason);
    EXPECT_TRUE(store) << reason;
    return store;
}

DownloadRecord StoredRecord(const Rig& r, std::int64_t id) {
    RecordFailure reason;
    auto store = StoreOf(r);
    const std::optional<DownloadRecord> record = store ? store->Get(id, &reason) : std::nullopt;
    EXPECT_TRUE(record) << reason;
    return record.value_or(DownloadRecord{});
}

// Raw SQL on the station's record, as another program would run it (the layout made first).
void Sql(const Rig& r, const std::string& text) {
    ASSERT_TRUE(StoreOf(r));
    RecordFailure reason;
    auto raw = sql::OpenSqlite(RecordStorePathFor(ConfigOf(r)), &reason);
    ASSERT_TRUE(raw) << reason;
    const sql::Result result = raw->Script(text);
    ASSERT_TRUE(result.ok()) << result.error;
}

// The database refuses a record's end, a number's state, or a new number: as a full disk or a
// lock held too long would, at exactly that moment.
constexpr const char* kRefuseEnd =
    "CREATE TRIGGER refuse_end BEFORE UPDATE OF verdict ON downloads WHEN NEW.verdict <> "
    "'running' BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;";
constexpr const char* kRefuseState =
    "CREATE TRIGGER refuse_state BEFORE UPDATE OF state ON serials BEGIN SELECT RAISE(ABORT, "
    "'database is locked'); END;";
constexpr const char* kRefuseNumber =
    "CREATE TRIGGER refuse_number BEFORE INSERT ON serials BEGIN SELECT RAISE(ABORT, "
    "'database is locked'); END;";
constexpr const char* kAllowAll =
    "DROP TRIGGER IF EXISTS refuse_end; DROP TRIGGER IF EXISTS refuse_state; DROP TRIGGER IF "
    "EXISTS refuse_number;";

bool Says(const Rig& r, const std::string& start) {
    for (const std::string& line : r.rec.Lines())
        if (line.rfind(start, 0) == 0)
            return true;
    return false;
}

// ---- 10: each line's own time stamp ----

TEST(DownloadRecord, EachLineKeepsTheStampItWasShownWith) {
    Rig r(kPlan);
    ASSERT_TRUE(r.station.Download());
    // Told to the front end while the download ran; the record is asked for later.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const DownloadRecord record = StoredRecord(r, 1);
    EXPECT_EQ(record.log, r.rec.log);
    const std::regex stamp("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d > ");
    EXPECT_EQ(std::count_if(record.log.begin(), record.log.end(),
                            [&](const LogEntry& e) { return std::regex_match(e.stamp, stamp); }),
              7);  // the check, the five steps and the verdict
}

// ---- 11 and 13: the failing step's own text, and the outcome's class ----

struct EndCase {
    std::string name;
    std::string settings;
    std::function<void(Rig&)> arrange;  // before the download (may run one of its own)
    int cancelAfterMs = 0;              // Stop pressed this long after the download began
    std::string step;                   // failed step; empty for a success
    std::string outcome;
    std::string status;  // the record's status text, or its start when it ends with "..."
    std::string hex = ImageText();
};

class DownloadEnds : public ::testing::TestWithParam<EndCase> {};

TEST_P(DownloadEnds, RecordTheirStepTextAndOutcome) {
    const EndCase& c = GetParam();
    Rig r(c.settings, c.hex);
    if (c.arrange)
        c.arrange(r);
    std::thread stop;
    if (c.cancelAfterMs) {
        stop = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.cancelAfterMs));
            r.host.Cancel();
        });
    }
    const bool ok = r.station.Download();
    if (stop.joinable())
        stop.join();
    EXPECT_EQ(ok, c.step.empty());
    const DownloadRecord record = StoredRecord(r, r.station.LastRecordId());
    EXPECT_EQ(record.failedStep, c.step);
    EXPECT_EQ(record.outcome, c.outcome);
    EXPECT_EQ(r.station.LastRecordOutcome(), c.outcome);
    if (c.status.size() > 3 && c.status.ends_with("...")) {
        EXPECT_EQ(record.statusText.rfind(c.status.substr(0, c.status.size() - 3), 0), 0u)
            << record.statusText;
    } else {
        EXPECT_EQ(record.statusText, c.status);
    }
    EXPECT_EQ(r.station.LastRecordEnd(), RecordEnd::kWritten);
}

void CancelAtFirstFlashBlock(Rig& r) {
    r.module.onExchange = [&r](std::size_t) {
        const BootPacket& p = r.module.commands().back();
        if (p[0] == CMD_WRITE && p[2] == 0x0E)
            r.flags.cancel = true;
    };
}

void FailAfterTheHandshake(Rig& r) {
    r.module.onExchange = [&r](std::size_t) {
        if (r.module.commands().back()[0] == CMD_HANDSHAKE)
            r.module.faults.failSetReports = 1 << 20;
    };
}

INSTANTIATE_TEST_SUITE_P(
    DownloadRecord, DownloadEnds,
    ::testing::Values(
        EndCase{"succeeded", kPlan, nullptr, 0, "", "succeeded", ""},
        // The case: the module gone (the status shows "Disconnected") after a download,
        // Stop in the handshake recorded "BT: Run device -- OK", the earlier download's text.
        EndCase{"stopped_in_the_handshake_after_a_download", kPlan,
                [](Rig& r) {
                    ASSERT_TRUE(r.station.Download());
                    r.module.Unplug();
                    r.station.RefreshStatus();
                },
                300, "handshake", "no_module", ""},
        // The same with the module's handle still open: the handshake's own failure.
        EndCase{"stopped_in_the_handshake_after_a_failed_exchange", kPlan,
                [](Rig& r) {
                    ASSERT_TRUE(r.station.Download());
                    r.module.Unplug();
                },
                300, "handshake", "no_module", "Handshake -- FAIL"},
        EndCase{"module_not_accessible", kPlan,
                [](Rig& r) {
                    r.platform.entries()[1].permitted = false;
                    r.module.Unplug();  // and plugged in again, without the udev rule
                    r.module.Plug();
                    r.station.RefreshStatus();
                },
                100, "handshake", "no_access", ""},
        EndCase{"stopped_in_the_flash_write", kPlan, CancelAtFirstFlashBlock, 0, "write flash",
                "stopped", "BT: Write to device -- User cancel"},
        EndCase{"erase_failed", kPlan, FailAfterTheHandshake, 0, "erase", "failed",
                "BT: Write from device -- fail!"},
        EndCase{"code_in_the_reserved_range", kPlan, nullptr, 0, "load", "refused",
                "Error: Code In Reserved Range 0x0000 ~ 0DFF",
                Data(0x0100, {0x01}) + "\n" + FullImageHex(0x0E00, 0x0E40)},
        EndCase{"record_type_not_handled", kPlan, nullptr, 0, "load", "refused",
                "Open Hex file error -- Hex Type Error! (line 2: record type 05 is not handled)",
                Data(0x0E00, {0x01}) + "\n:0400000500000000F7\n:00000001FF\n"},
        EndCase{"no_number_could_be_taken", kPlan, [](Rig& r) { Sql(r, kRefuseNumber); }, 0,
                "take serial number", "not_recorded", "No serial number for this module: ..."}),
    CaseName());

// ---- 13: what an auditor needs ----

TEST(DownloadRecord, NamesTheFileItsBytesTheStationTheVersionAndWhoProgrammed) {
#ifdef _WIN32
    GTEST_SKIP() << "a symbolic link needs a privilege on Windows";
#endif
    Rig r(std::string(kPlan) + "OperatorBadge=B-0042\n");
    // The file as a release area serves it: through a link, named with "./".
    namespace fs = std::filesystem;
    fs::create_directory(r.folderPath + "/release");
    fs::rename(r.folderPath + "/fw.hex", r.folderPath + "/release/app-1.4.hex");
    fs::create_symlink("release/app-1.4.hex", r.folderPath + "/current.hex");
    r.station.SetPath(r.folderPath + "/./current.hex");
    r.station.SetAutoReload(true);
    ASSERT_TRUE(r.station.Download());
    const DownloadRecord record = StoredRecord(r, 1);
    const std::string folder = fs::canonical(r.folderPath).string();
    EXPECT_EQ(record.hexPath, r.folderPath + "/./current.hex");
    EXPECT_EQ(record.hexFile, folder + "/release/app-1.4.hex");
    EXPECT_EQ(record.fileSha256, Sha256Hex(ReadBytes(r.folderPath + "/release/app-1.4.hex")));
    EXPECT_NE(record.fileSha256, record.imageSha256);
    EXPECT_EQ(record.stationConfig, folder + "/config.ini");
    EXPECT_EQ(record.stationFolder, folder);
    EXPECT_EQ(record.loaderVersion, PRAVUNE_VERSION);  // the version the window shows
    EXPECT_EQ(record.operatorAccount, os_files::AccountName());
    EXPECT_FALSE(record.operatorAccount.empty());
    EXPECT_EQ(record.operatorBadge, "B-0042");

    // Changed after it was loaded: the image sent is the one loaded, which the file's bytes no
    // longer give; no hash is better than another file's.
    r.station.SetAutoReload(false);
    std::ofstream(r.folderPath + "/release/app-1.4.hex", std::ios::binary) << ImageText(7);
    ASSERT_TRUE(r.station.Download());
    const DownloadRecord later = StoredRecord(r, 2);
    EXPECT_EQ(later.imageSha256, record.imageSha256);
    EXPECT_EQ(later.fileSha256, "");
}

// ---- 12: always finished ----

struct LaterCase {
    std::string name;
    std::string refuse;  // what the database refuses at the time
    bool stateLate = false;
    bool endLate = false;
};

class RecordsKeptForLater : public ::testing::TestWithParam<LaterCase> {};

// What one station could not write is written by the next station on that config.ini (another
// front end's, in another process: a new station object here).
TEST_P(RecordsKeptForLater, AreWrittenByTheNextStation) {
    const LaterCase& c = GetParam();
    TempDir dir;
    Rig first(kPlan, ImageText(), "ABC123", dir.path());
    Sql(first, c.refuse);
    ASSERT_TRUE(first.station.Download());
    const std::string ended = UtcNowIso();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(first.station.LastRecordEnd(), RecordEnd::kKeptForLater);
    EXPECT_EQ(Says(first, "\t- The serial number's state was not recorded: "), c.stateLate);
    EXPECT_EQ(Says(first, "\t- The end of this download was not recorded: "), c.endLate);
    EXPECT_EQ(StoredRecord(first, 1).verdict, c.endLate ? "running" : "succeeded");

    Sql(first, kAllowAll);
    Rig next(nullptr, ImageText(), "DEF456", dir.path());
    ASSERT_TRUE(next.station.Download());
    EXPECT_TRUE(Says(next, "\t- The record of download #1 is complete now"));
    const DownloadRecord done = StoredRecord(next, 1);
    const DownloadRecord second = StoredRecord(next, 2);
    EXPECT_EQ(done.outcome, "succeeded");
    EXPECT_EQ(done.serialState, SerialState::kWritten);
    // Its own end: the time it ended and its log as its front end showed it.
    EXPECT_FALSE(done.endUtc.empty());
    EXPECT_LE(done.endUtc, ended);
    EXPECT_LT(ended, second.startUtc);
    // The download's log as its front end showed it, to its verdict: what comes after (the
    // line that says the end was not recorded, the catch-up's) is not this download's.
    std::vector<LogEntry> shown = first.rec.log;
    const auto verdict = std::find_if(shown.begin(), shown.end(),
                                      [](const LogEntry& e) { return e.text == "Succeed\r\n"; });
    ASSERT_NE(verdict, shown.end());
    shown.erase(verdict + 1, shown.end());
    EXPECT_EQ(done.log, shown);
    EXPECT_EQ(second.serialValue, 0x1235u);
    EXPECT_EQ(next.station.LastRecordEnd(), RecordEnd::kWritten);
}

INSTANTIATE_TEST_SUITE_P(DownloadRecord, RecordsKeptForLater,
                         ::testing::Values(LaterCase{"end", kRefuseEnd, false, true},
                                           LaterCase{"number_state", kRefuseState, true, false},
                                           LaterCase{"both", std::string(kRefuseEnd) + kRefuseState,
                                                     true, true}),
                         CaseName());

// A journal that cannot be read or written (here a folder in its place, as a link to a device,
// a FIFO or another user's file would be) is set aside, said in red, and never stops an end from
// being kept: the next station writes it.
TEST(DownloadRecord, AJournalThatCannotBeReadIsSetAsideAndTheEndStillKept) {
    TempDir dir;
    Rig first(kPlan, ImageText(), "ABC123", dir.path());
    Sql(first, kRefuseEnd);
    const std::string journal = RecordJournalPathFor(ConfigOf(first));
    std::filesystem::create_directory(journal);
    ASSERT_TRUE(first.station.Download());
    EXPECT_EQ(first.station.LastRecordEnd(), RecordEnd::kKeptForLater);
    EXPECT_TRUE(Says(first, "\t- The records kept for later cannot be read (" + journal +
                                " is not a file): set aside as " + journal + ".unreadable-"));
    EXPECT_TRUE(std::filesystem::is_regular_file(journal));
    Sql(first, kAllowAll);
    Rig next(nullptr, ImageText(), "DEF456", dir.path());
    ASSERT_TRUE(next.station.Download());
    EXPECT_EQ(StoredRecord(next, 1).verdict, "succeeded");
    std::vector<JournalEntry> left;
    ASSERT_TRUE(ParseJournal(ReadBytes(journal), left));
    EXPECT_TRUE(left.empty());
}

// A loader killed in the middle of a download: the next station on its config.ini closes the
// record as interrupted and uses its number up. Which records are another loader's that still
// runs is RecordJournal.AProcessIsGoneOnlyWhenThatIsKnown and RecordStoreTest's Running.
#ifndef _WIN32
// The files of the record this process has open now.
std::vector<std::string> OpenRecordFiles(const std::string& config) {
    std::vector<std::string> open;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (!ec && IsRecordFile(config, target))
            open.push_back(target);
    }
    return open;
}

// A station of its own (the window's) keeps no descriptor of the record while it is idle: a
// file dialog that opens and closes the files of its folder cannot drop SQLite's locks. And a
// HEX file that is the record itself is refused without being opened.
TEST(DownloadRecord, AStationOfItsOwnHoldsNoRecordFileWhileIdle) {
    TempDir dir;
    Rig r(kPlan, ImageText(), "ABC123", dir.path());
    const std::string config = ConfigOf(r);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(r.station.Download());
        EXPECT_EQ(OpenRecordFiles(config), std::vector<std::string>{});
    }
    const std::string records = RecordStorePathFor(config);
    EXPECT_FALSE(r.station.LoadHexFile(records));
    EXPECT_EQ(r.station.StatusText(),
              "Error: " + records + " is the download record, not a HEX file");
    EXPECT_EQ(StoredRecord(r, 2).verdict, "succeeded");
}
#endif

#ifndef _WIN32
// A full disk, then room again, on a small file system of the test's own (tmpfs in a mount
// namespace of a child process): the refused download is kept while nothing can take it, and
// the first download after the space came back goes through and records it. Needs the right to
// make a mount namespace (root); skipped where the system refuses it.
void FullDiskScenario(bool stationPerDownload) {
    TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m") != 0)
            ::_exit(77);
        auto fail = [](const char* what) {
            std::fprintf(stderr, "full disk: %s\n", what);
            ::_exit(1);
        };
        // One station for every download (the window's, its own store), or one per download
        // sharing the process's store (the attempts of `watch`).
        auto first = std::make_unique<Rig>(kPlan, ImageText(), "ABC123", dir.path());
        std::unique_ptr<SharedRecordStore> shared;
        if (stationPerDownload) {
            shared = std::make_unique<SharedRecordStore>(ConfigOf(*first));
            first->station.ShareRecords(*shared);
        }
        auto station = [&]() -> Rig& {
            if (stationPerDownload && first->station.LastRecord().startUtc.size()) {
                first = std::make_unique<Rig>(nullptr, ImageText(), "ABC123", dir.path());
                first->station.ShareRecords(*shared);
            }
            return *first;
        };
        if (!station().station.Download())
            fail("the first download failed");
        // The disk filled to its last byte.
        {
            std::FILE* filler = std::fopen(dir.File("filler").c_str(), "wb");
            static const char block[4096] = {};
            while (filler && std::fwrite(block, 1, sizeof block, filler) == sizeof block &&
                   std::fflush(filler) == 0) {
            }
            if (filler)
                std::fclose(filler);
        }
        if (station().station.Download())
            fail("a download went on while its record could not be begun");
        if (first->station.LastDownloadChangedModule())
            fail("the module was changed");
        std::filesystem::remove(dir.File("filler"));
        if (!station().station.Download())
            fail("the download after the space came back failed");
        auto store = StoreOf(*first);
        std::vector<DownloadRecord> all =
            AllRecords(*store, nullptr).value_or(std::vector<DownloadRecord>{});
        if (all.size() != 3)
            fail("not three records");
        // Two programmed, and the refusal between them (which may share the later's start).
        const auto count = [&](const char* outcome) {
            return std::count_if(all.begin(), all.end(),
                                 [&](const DownloadRecord& d) { return d.outcome == outcome; });
        };
        if (count("succeeded") != 2)
            fail("a download's record is not its own");
        if (count("not_recorded") != 1)
            fail("the refusal was not recorded");
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no mount namespace here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DownloadRecord, AFullDiskIsRecoveredFromWithoutARestart) {
    FullDiskScenario(false);
}

TEST(DownloadRecord, AFullDiskIsRecoveredFromByTheNextStationOfTheProcess) {
    FullDiskScenario(true);
}
#endif

TEST(DownloadRecord, ARecordLeftRunningByAKilledLoaderIsClosedAsInterrupted) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork() and SIGKILL";
#else
    TempDir dir;
    Rig setup(kPlan, ImageText(), "SETUP0", dir.path());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Rig r(nullptr, ImageText(), "KILLED", dir.path());
        r.module.onExchange = [&r](std::size_t) {
            const BootPacket& p = r.module.commands().back();
            if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B)
                ::raise(SIGKILL);  // its number taken and on its way
        };
        r.station.Download();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    const DownloadRecord killed = StoredRecord(setup, 1);
    ASSERT_EQ(killed.verdict, "running");
    EXPECT_EQ(killed.processId, child);
    EXPECT_EQ(killed.serialState, SerialState::kReserved);

    Rig next(nullptr, ImageText(), "NEXT01", dir.path());
    ASSERT_TRUE(next.station.Download());
    EXPECT_TRUE(Says(next, "\t- The record of download #1 was left running by process " +
                               std::to_string(child) +
                               ", which has ended: recorded as interrupted"));
    const DownloadRecord closed = StoredRecord(next, 1);
    EXPECT_EQ(closed.verdict, "failed");
    EXPECT_EQ(closed.outcome, "interrupted");
    EXPECT_EQ(closed.serialState, SerialState::kUsedUp);
    EXPECT_EQ(closed.endUtc, "");  // when it ended is not known
    EXPECT_EQ(closed.statusText.rfind("interrupted: process " + std::to_string(child), 0), 0u)
        << closed.statusText;
    // The next number: the killed loader's is never given again.
    EXPECT_EQ(StoredRecord(next, 2).serialValue, 0x1235u);
#endif
}

}  // namespace
