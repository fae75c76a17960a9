// Serial numbers are never given twice: not after a failed download, not across a crash, not
// between two loaders on one config.ini, not when config.ini cannot be saved. And every
// download leaves a record.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#endif

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "ledger/record_journal.h"
#include "ledger/shared_record_store.h"
#include "tests/support/case_name.h"
#include "tests/support/station_rig.h"
#include "tests/support/test_database.h"
#ifndef _WIN32
#include "tests/support/unprivileged.h"
#else
// A Windows file marked read-only refuses every writer: no other user is needed.
inline bool HoldsUnprivileged(const std::function<bool()>& check) {
    return check();
}
#endif

namespace {

const char* const kPlan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\nSN_Step=1\n";

std::uint32_t SnCurrent(const Rig& r) {
    std::string text;
    settings_file::ReadChecked(r.folderPath + "/config.ini", "SETTING", "SN_Current", "0", text,
                               nullptr);
    std::uint32_t value = 0;
    ScanHex(text, value);
    return value;
}

TEST(SerialLedger, EveryDownloadLeavesARecordWithItsNumber) {
    Rig r(kPlan);
    ASSERT_TRUE(r.station.Download());
    // The next module takes its number, then no command after it (the run fails).
    r.module.onExchange = [&](std::size_t) {
        const BootPacket& last = r.module.commands().back();
        if (last[0] == CMD_WRITE && last[1] == 0x00 && last[2] == 0x3B)
            r.module.faults.failSetReports = 1 << 20;
    };
    ASSERT_FALSE(r.station.Download());

    RecordFailure reason;
    auto store = OpenSqliteRecordStore(RecordStorePathFor(r.folderPath + "/config.ini"), &reason);
    ASSERT_TRUE(store) << reason;
    auto records = AllRecords(*store, &reason);
    ASSERT_TRUE(records && records->size() == 2) << reason;
    const DownloadRecord& good = (*records)[0];
    EXPECT_EQ(good.verdict, "succeeded");
    EXPECT_EQ(good.moduleUid, "ABC123");
    EXPECT_EQ(good.portPath, "usb-sim-1");
    EXPECT_EQ(good.format, "plain");
    EXPECT_EQ(good.imageSha256.size(), 64u);
    EXPECT_TRUE(good.hasSerial && good.serialValue == 0x1234);
    EXPECT_EQ(good.serialState, SerialState::kWritten);
    EXPECT_EQ(good.log.back().text, "Succeed\r\n");
    const DownloadRecord& bad = (*records)[1];
    EXPECT_EQ(bad.verdict, "failed");
    EXPECT_EQ(bad.failedStep, "run");
    EXPECT_TRUE(bad.hasSerial && bad.serialValue == 0x1235);
    // The module acknowledged its number before the run failed: it holds it.
    EXPECT_EQ(bad.serialState, SerialState::kWritten);
    EXPECT_EQ(SnCurrent(r), 0x1236u);
}

// A config.ini that may not be written: the download is refused before the erase, and the next
// start offers the same number again.
TEST(SerialLedger, AConfigThatCannotBeSavedGivesNoNumber) {
    TempDir dir;
    namespace fs = std::filesystem;
    // The unprivileged user's own folder (one other users may write is refused outright).
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
#ifndef _WIN32
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
    }
#endif
    Rig setup(kPlan, ImageText(), "ABC123", dir.path());  // writes the files as this user
    fs::permissions(dir.path() + "/config.ini",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_TRUE(HoldsUnprivileged([&] {
        Rig r(nullptr, ImageText(), "ABC123", dir.path());
        const bool refused = !r.station.Download();
        const std::vector<std::string> lines = r.rec.Lines();
        const bool told =
            std::find(lines.begin(), lines.end(),
                      "\t- No serial number for this module: cannot write " + dir.path() +
                          "/config.ini: Permission denied (nothing was written to it)") !=
            lines.end();
        return refused && told && r.module.commands().size() == 1 &&
               r.station.LastOutcome() == DownloadOutcome::kNotRecorded;
    }));
    EXPECT_EQ(SnCurrent(setup), 0x1234u);
    fs::permissions(dir.path() + "/config.ini", fs::perms::owner_write, fs::perm_options::add);
}

// Whatever refuses a number comes before the erase, also for a second loader that read the same
// config.ini before the first took its number: the module keeps what it had, and the download
// fails with the plan's exit.
TEST(SerialLedger, ARefusedNumberLeavesTheModuleUntouched) {
    const struct {
        const char* name;
        const char* settings;
        bool setBack;  // the operator sets the number back by hand after the first download
        std::string reason;
    } cases[] = {
        {"given before", kPlan, true,
         "serial number 0x1234 of plan 0x3B00/2 was already given to download #1"},
        {"width used up", "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=FF\nSN_Bytes=1\nSN_Step=1\n",
         false, "the numbers of this width are used up: SN_Current = 0x100, max = 0xFF"},
    };
    for (const auto& c : cases) {
        Rig first(c.settings);
        Rig second(nullptr, {}, "SECOND", first.folderPath);
        ASSERT_TRUE(first.station.Download()) << c.name;
        if (c.setBack) {
            ASSERT_TRUE(settings_file::Write(first.folderPath + "/config.ini", "SETTING",
                                             "SN_Current", "1234", nullptr));
        }
        const auto before = second.module.flash();
        EXPECT_FALSE(second.station.Download()) << c.name;
        EXPECT_EQ(second.station.LastOutcome(), DownloadOutcome::kBadInput) << c.name;
        const std::vector<std::string> lines = second.rec.Lines();
        EXPECT_EQ(lines[lines.size() - 2], "\t- No serial number for this module: " + c.reason +
                                               " (nothing was written to it)");
        ASSERT_EQ(second.module.commands().size(), 1u) << c.name;
        EXPECT_EQ(second.module.commands()[0][0], CMD_HANDSHAKE);
        EXPECT_TRUE(second.module.flash() == before) << c.name;
    }
}

// A Stop honoured once the module acknowledged its number: the module holds it, and the ledger
// says so (it is not used up).
TEST(SerialLedger, AStopAfterTheNumberWasWrittenRecordsItWritten) {
    Rig r(kPlan);
    r.module.onExchange = [&](std::size_t) {
        const BootPacket& p = r.module.commands().back();
        if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B)
            r.host.Cancel();
    };
    EXPECT_FALSE(r.station.Download());
    EXPECT_EQ(r.station.LastOutcome(), DownloadOutcome::kStopped);
    EXPECT_EQ(r.module.flash()[0x3B00], 0x12);
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(RecordStorePathFor(r.folderPath + "/config.ini"), &reason);
    ASSERT_TRUE(store) << reason;
    const auto entry = store->FindSerial({0x3B00, 2}, 0x1234, &reason);
    ASSERT_TRUE(entry) << reason;
    EXPECT_EQ(entry->state, SerialState::kWritten);
}

// A step of 0 writes one number into every module on purpose: no ledger row, but every record
// says which number it wrote.
TEST(SerialLedger, AStepOfZeroRecordsTheNumberItWrote) {
    Rig r("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\nSN_Step=0\n");
    ASSERT_TRUE(r.station.Download());
    ASSERT_TRUE(r.station.Download());
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(RecordStorePathFor(r.folderPath + "/config.ini"), &reason);
    ASSERT_TRUE(store) << reason;
    const auto records = AllRecords(*store, &reason);
    ASSERT_TRUE(records && records->size() == 2) << reason;
    for (const DownloadRecord& record : *records) {
        EXPECT_TRUE(record.hasSerial && record.serialValue == 0x1234) << record.id;
        EXPECT_EQ(record.serialPlan, (SerialPlanKey{0x3B00, 2}));
        EXPECT_EQ(record.serialState, SerialState::kWritten);
    }
    EXPECT_FALSE(store->FindSerial({0x3B00, 2}, 0x1234, &reason));
}

// The folder for the tests that fork: in memory when the machine has /dev/shm, since every
// reservation waits for two flushes to disk.
struct SharedFolder {
    TempDir dir{std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : SystemTempFolder()};
    const std::string& path = dir.path();
};

// The numbers a test module received at the serial number's address, appended to a file as the
// module takes them, so that they survive the process that sent them.
void LogNumbersTo(Rig& r, const std::string& file) {
    r.module.onExchange = [&r, file](std::size_t) {
        const BootPacket& p = r.module.commands().back();
        if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B) {
            std::ofstream(file, std::ios::app) << ((p[4] << 8) | p[5]) << "\n";
        }
    };
}

// The numbers of the whole lines of `file`: a line a killed writer left half-written is no
// number.
std::vector<std::uint32_t> NumbersIn(const std::string& file) {
    std::vector<std::uint32_t> numbers;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line) && !in.eof();)
        numbers.push_back(static_cast<std::uint32_t>(std::stoul(line)));
    return numbers;
}

// Loaders that share the counter: two on one config.ini with the SQLite record, or each on its
// own config.ini naming one PostgreSQL database.
class SharedLedger : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        REQUIRE_DATABASE(m_db);
        if (m_db.backend() == Backend::kSqlite)
            m_db.UseSqliteBeside(m_shared.path + "/config.ini");
    }
    // The folder of loader `i`, its config.ini and HEX file written.
    std::string Folder(int i) {
        const bool own = m_db.backend() == Backend::kPostgres;
        const std::string folder =
            own ? m_shared.path + "/station" + std::to_string(i) : m_shared.path;
        if (!std::filesystem::exists(folder + "/config.ini")) {
            std::filesystem::create_directories(folder);
            const std::string plan =
                std::string(
                    "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0000\nSN_Bytes=2\n"
                    "SN_Step=1\n") +
                (own ? "[DATABASE]\nConnection=" + m_db.connection() + "\n" : "");
            Rig setup(plan.c_str(), FullImageHex(0x0E00, 0x0E40), "SETUP0", folder);
        }
        return folder;
    }
    // The next number the loaders would give: the shared counter, or SN_Current.
    std::uint32_t Next() {
        if (m_db.backend() == Backend::kSqlite)
            return static_cast<std::uint32_t>(
                std::stoul(ReadIni(m_shared.path + "/config.ini", "SN_Current"), nullptr, 16));
        return static_cast<std::uint32_t>(m_db.Count(
            "SELECT next_value FROM serial_counters WHERE address = 15104 AND width = 2"));
    }
    static std::string ReadIni(const std::string& path, const char* key) {
        return settings_file::Read(path, "SETTING", key, "");
    }
    TestDatabase m_db{GetParam()};
    SharedFolder m_shared;
};

INSTANTIATE_TEST_SUITE_P(Both, SharedLedger,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName());

TEST_P(SharedLedger, TwoLoadersNeverGiveANumberTwice) {
    const std::string numbers = m_shared.path + "/numbers";
    const std::string folders[] = {Folder(0), Folder(1)};
    constexpr int kEach = 500;
    // Failed downloads of one loader, each with its own folder, lock and connection.
    auto loader = [&](const char* name, const std::string& folder) {
        Rig r(nullptr, {}, name, folder);
        LogNumbersTo(r, numbers);
        int failed = 0;
        for (int i = 0; i < kEach; ++i) {
            if (!r.station.Download()) {
                ++failed;
                for (const std::string& line : r.rec.Lines())
                    std::fprintf(stderr, "%s: %s\n", name, line.c_str());
            }
        }
        return failed;
    };
    // A process each where the system can fork, a thread each elsewhere.
#ifdef _WIN32
    int childFailed = -1;
    std::thread child([&] { childFailed = loader("CHILD1", folders[1]); });
    EXPECT_EQ(loader("PARENT", folders[0]), 0);
    child.join();
    EXPECT_EQ(childFailed, 0);
#else
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(loader("CHILD1", folders[1]) == 0 ? 0 : 1);
    EXPECT_EQ(loader("PARENT", folders[0]), 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
    const std::vector<std::uint32_t> given = NumbersIn(numbers);
    EXPECT_EQ(given.size(), 2u * kEach);
    EXPECT_EQ(std::set<std::uint32_t>(given.begin(), given.end()).size(), given.size());
    EXPECT_EQ(Next(), 2u * kEach);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads WHERE verdict = 'succeeded'"), 2 * kEach);
}

TEST_P(SharedLedger, ALoaderKilledAnywhereNeverRepeatsANumber) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork() and SIGKILL";
#else
    const std::string numbers = m_shared.path + "/numbers";
    const std::string attempts = m_shared.path + "/attempts";
    std::mt19937 random(7);
    // Each child programs modules until it is killed at a random moment (inside its
    // transaction too): 200 downloads in all, of which at least 20 reached a module's number.
    // A child killed before its first number (a PostgreSQL child connects first) widens the
    // kill window, so a loaded machine still gets there; the number of children is bounded.
    constexpr std::size_t kNumbers = 20, kAttempts = 200;
    useconds_t longest = 40000;
    std::size_t before = 0;
    for (int i = 0; i < 3000 && (NumbersIn(numbers).size() < kNumbers ||
                                 NumbersIn(attempts).size() < kAttempts);
         ++i) {
        const std::string folder = Folder(i % 2);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Rig r(nullptr, {}, "KILLED", folder);
            LogNumbersTo(r, numbers);
            for (;;) {
                std::ofstream(attempts, std::ios::app) << "1\n";
                r.station.Download();
            }
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(2000, longest)(random));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const std::size_t now = NumbersIn(numbers).size();
        if (now == before)
            longest = std::min<useconds_t>(longest * 3 / 2, 1000000);
        before = now;
    }
    ASSERT_GE(NumbersIn(numbers).size(), kNumbers) << "the children got too few numbers";
    const std::vector<std::uint32_t> given = NumbersIn(numbers);
    ASSERT_FALSE(given.empty());
    EXPECT_EQ(std::set<std::uint32_t>(given.begin(), given.end()).size(), given.size());
    EXPECT_GT(Next(), *std::max_element(given.begin(), given.end()));
    // Every number a module received is in the ledger.
    for (std::uint32_t n : given)
        EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials WHERE value = " + std::to_string(n)), 1)
            << n;
    if (m_db.backend() == Backend::kPostgres) {
        // The server rolls a killed station's transaction back whole: the counter stands just
        // past the ledger's numbers, none skipped.
        EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials"), Next());
        EXPECT_EQ(m_db.Count("SELECT max(value) FROM serials") + 1, Next());
    }
#endif
}

// ---- Stations on one PostgreSQL server ----

class ServerStations : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_DATABASE(m_db); }
    // A station in folder `name` on the test database; its connection string carries a
    // password the server never asks for, which must appear nowhere.
    std::unique_ptr<Rig> Station(const std::string& name, const char* current = "1234",
                                 const char* width = "2") {
        const std::string folder = m_db.dir().path() + "/" + name;
        std::filesystem::create_directories(folder);
        const std::string settings = std::string("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=") +
                                     current + "\nSN_Bytes=" + width +
                                     "\nSN_Step=1\n[DATABASE]\nConnection=" + m_db.connection() +
                                     " password=s3cret-word\n";
        return std::make_unique<Rig>(settings.c_str(), ImageText(), "MOD001", folder);
    }
    static void Server(const char* command) {
        const std::string line = std::string("bash " PRAVUNE_PG_SCRIPT " ") + command + " " +
                                 TestServerState() + " > /dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << line;
    }
    static bool Sent(const Rig& r, std::uint8_t command) {
        for (const BootPacket& p : r.module.commands())
            if (p[0] == command)
                return true;
        return false;
    }
    static bool SerialSent(const Rig& r) {
        for (const BootPacket& p : r.module.commands())
            if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B)
                return true;
        return false;
    }
    static bool Says(const Rig& r, const std::string& start) {
        for (const std::string& line : r.rec.Lines())
            if (line.rfind(start, 0) == 0)
                return true;
        return false;
    }
    TestDatabase m_db{Backend::kPostgres};
};

// The server out of reach at each moment of a download, then back: nothing is programmed with
// a number the server has not recorded, and what it missed is recorded when it returns.
TEST_F(ServerStations, AnOutageNeverLeavesANumberUnrecorded) {
    auto r = Station("line-1");
    // 1. Down before the download: refused before the erase, one red line naming the server.
    Server("pause");
    EXPECT_FALSE(r->station.Download());
    EXPECT_FALSE(Sent(*r, CMD_ERASE));
    EXPECT_TRUE(Says(*r, "The download cannot be recorded in PostgreSQL server /tmp/"));
    EXPECT_TRUE(Says(*r, "\t- This refusal is kept for later: it is recorded at the next "));
    Server("resume");

    // 2. Lost right after the handshake: no number can be taken, and the module is refused
    // before the erase.
    r->module.onExchange = [&](std::size_t) {
        r->module.onExchange = nullptr;
        Server("pause");
    };
    EXPECT_FALSE(r->station.Download());
    EXPECT_FALSE(Sent(*r, CMD_ERASE));
    EXPECT_EQ(r->station.LastOutcome(), DownloadOutcome::kNotRecorded);
    EXPECT_TRUE(Says(*r,
                     "\t- No serial number for this module: cannot take a number of the "
                     "counter of plan 0x3B00/2: PostgreSQL server /tmp/"));
    Server("resume");

    // 3. Lost just after the number was taken, and the module then fails at the erase: the
    // number stays recorded as taken, and is recorded as used up when the server is back.
    r->module.onExchange = [&](std::size_t) {
        if (r->module.commands().back()[0] == CMD_ERASE) {
            r->module.onExchange = nullptr;
            r->module.faults.failSetReports = 1 << 20;
            Server("pause");
        }
    };
    EXPECT_FALSE(r->station.Download());
    EXPECT_FALSE(SerialSent(*r));
    EXPECT_TRUE(Says(*r, "\t- The serial number's state was not recorded: "));
    Server("resume");
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials WHERE value = 4660 AND state = "
                         "'reserved'"),
              1);

    // 4. Back: the next download catches up, then takes the next number.
    r->module.faults.failSetReports = 0;
    ASSERT_TRUE(r->station.Download());
    // (The server's numbering of downloads may jump after its crash.)
    EXPECT_TRUE(Says(*r, "\t- The record of download #"));
    EXPECT_TRUE(Says(*r, "\t- Address = 0x3B00, SN = 0x1235"));
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials WHERE value = 4660 AND state = "
                         "'used_up'"),
              1);
    // The refusal of step 1 too, begun and ended with its own times and log.
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads WHERE verdict = 'failed'"), 3);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads WHERE verdict = 'running'"), 0);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads WHERE outcome = 'not_recorded' AND "
                         "failed_step = 'record' AND status_text LIKE 'The download cannot be "
                         "recorded in PostgreSQL server %' AND end_utc >= start_utc AND "
                         "start_utc = (SELECT min(start_utc) FROM downloads)"),
              1);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM download_log AS l JOIN downloads AS d ON d.id = "
                         "l.download_id WHERE d.failed_step = 'record' AND l.text LIKE "
                         "'Download --- %'"),
              1);
    EXPECT_FALSE(std::filesystem::exists(RecordJournalPathFor(r->folderPath + "/config.ini")) &&
                 ReadBytes(RecordJournalPathFor(r->folderPath + "/config.ini")).find("entry") !=
                     std::string::npos);
    EXPECT_EQ(r->station.Plan().ValueText(), "1236");
    EXPECT_EQ(settings_file::Read(r->folderPath + "/config.ini", "SETTING", "SN_Current", ""),
              "1236");
    // The password is in no line and no record.
    for (const std::string& line : r->rec.Lines())
        EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM download_log WHERE text LIKE '%s3cret%'"), 0);
}

// The counter another station left past the width's largest number: the number it gives cannot
// be written (all 0xFF), so the download is refused before the erase and the number given up.
TEST_F(ServerStations, ANumberAboveTheWidthsLargestIsRefused) {
    auto first = Station("line-a", "FFFFFFFE", "4");
    auto second = Station("line-b", "FFFFFFFE", "4");
    ASSERT_TRUE(first->station.Download());
    EXPECT_FALSE(second->station.Download());
    EXPECT_EQ(second->station.LastOutcome(), DownloadOutcome::kBadInput);
    EXPECT_FALSE(Sent(*second, CMD_ERASE));
    EXPECT_TRUE(Says(*second,
                     "\t- No serial number for this module: the numbers of this width are "
                     "used up: the counter gave 0xFFFFFFFF, max = 0xFFFFFFFE"));
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials WHERE value = 4294967295 AND state = "
                         "'used_up'"),
              1);
}

// ---- The stations of one process ----

// Sixteen stations of one process (watch's, one per module) on one config.ini and the record
// store the process shares: every module programmed, every number given once, no "database is
// locked". On the server through a role of fewer connections than the pool would open.
struct ProcessCase {
    std::string name;
    Backend backend;
    int slots;  // the role's connection limit on the server
};

class ProcessStations : public ::testing::TestWithParam<ProcessCase> {
  protected:
    // The role of few slots, dropped after the database that lets it in.
    struct Role {
        ~Role() {
            std::string base = TestServerConnection();
            while (!base.empty() && (base.back() == '\n' || base.back() == ' '))
                base.pop_back();
            if (name.empty())
                return;
            if (auto admin = sql::OpenPostgres(base + " dbname=postgres", nullptr))
                admin->Script("DROP ROLE IF EXISTS " + name);
        }
        std::string name;
    } m_role;
    TestDatabase m_db{GetParam().backend};
};

INSTANTIATE_TEST_SUITE_P(Stations, ProcessStations,
                         ::testing::Values(ProcessCase{"sqlite", Backend::kSqlite, 0},
                                           ProcessCase{"postgres_2_slots", Backend::kPostgres, 2}),
                         CaseName());

TEST_P(ProcessStations, SixteenShareOneStoreAndGiveEachNumberOnce) {
    REQUIRE_DATABASE(m_db);
    constexpr int kStations = 16, kEach = 25;
    const ProcessCase& c = GetParam();
    std::string connection;
    if (c.backend == Backend::kPostgres) {
        auto raw = m_db.Raw();
        m_role.name = "few_" + raw->Run("SELECT current_database()").rows.at(0).Text(0);
        ASSERT_TRUE(raw->Script("CREATE ROLE " + m_role.name + " LOGIN CONNECTION LIMIT " +
                                std::to_string(c.slots) + "; GRANT ALL ON SCHEMA public TO " +
                                m_role.name)
                        .ok());
        connection = "[DATABASE]\nConnection=" + m_db.connection() + " user=" + m_role.name + "\n";
    }
    const std::string folder = m_db.dir().path() + "/line";
    std::filesystem::create_directories(folder);
    m_db.UseSqliteBeside(folder + "/config.ini");
    {
        const std::string plan =
            "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0000\nSN_Bytes=2\nSN_Step=1\n" + connection;
        Rig setup(plan.c_str(), FullImageHex(0x0E00, 0x0E40), "SETUP0", folder);
    }
    SharedRecordStore shared(folder + "/config.ini");
    std::vector<std::unique_ptr<Rig>> rigs;
    std::vector<std::vector<std::uint32_t>> numbers(kStations);
    std::vector<std::vector<std::string>> failures(kStations);
    for (int i = 0; i < kStations; ++i) {
        char uid[8];
        std::snprintf(uid, sizeof uid, "MOD%03d", i);
        Rig& r = *rigs.emplace_back(std::make_unique<Rig>(nullptr, std::string(), uid, folder));
        r.station.ShareRecords(shared);
        std::vector<std::uint32_t>& mine = numbers[static_cast<std::size_t>(i)];
        r.module.onExchange = [&r, &mine](std::size_t) {
            const BootPacket& p = r.module.commands().back();
            if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B)
                mine.push_back(static_cast<std::uint32_t>((p[4] << 8) | p[5]));
        };
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kStations; ++i) {
        threads.emplace_back([&, i] {
            Rig& r = *rigs[static_cast<std::size_t>(i)];
            for (int n = 0; n < kEach; ++n) {
                if (!r.station.Download())
                    for (const std::string& line : r.rec.Lines())
                        failures[static_cast<std::size_t>(i)].push_back(line);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::set<std::uint32_t> given;
    for (int i = 0; i < kStations; ++i) {
        EXPECT_EQ(failures[static_cast<std::size_t>(i)], std::vector<std::string>()) << i;
        given.insert(numbers[static_cast<std::size_t>(i)].begin(),
                     numbers[static_cast<std::size_t>(i)].end());
    }
    EXPECT_EQ(given.size(), std::size_t{kStations * kEach});
    EXPECT_EQ(*given.rbegin(), std::uint32_t{kStations * kEach - 1});
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads WHERE verdict = 'succeeded'"),
              kStations * kEach);
    EXPECT_EQ(m_db.Count("SELECT count(DISTINCT value) FROM serials WHERE state = 'written'"),
              kStations * kEach);
    // One connection on SQLite; on the server no more than its slots.
    EXPECT_GE(shared.MostConnections(), 1u);
    EXPECT_LE(shared.MostConnections(), c.backend == Backend::kSqlite ? 1u : std::size_t(c.slots));
}

}  // namespace
