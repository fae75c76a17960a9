// The journal beside config.ini that keeps what a station could not write to its record, and
// the rules for closing a record whose loader is gone.
#include "ledger/record_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#ifndef _WIN32
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "os/os_files.h"
#include "tests/support/case_name.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

namespace {

JournalEntry Entry(std::int64_t id, std::optional<SerialState> state, bool finish,
                   const std::string& database = "records.sqlite") {
    JournalEntry e{database, id, state, std::nullopt, 0, 0, {}};
    if (finish) {
        DownloadRecord r;
        r.id = id;
        r.endUtc = "2026-12-07T16:42:09.001Z";
        r.verdict = "failed";
        r.outcome = "stopped";
        r.failedStep = "write flash";
        r.statusText = "Write to device -- User cancel";
        r.durationMs = 4878;
        r.moduleUid = "ABC123";
        r.portPath = "usb-1-2";
        r.log = {{"Erase ... \t\t", 0, true, "16:42:04:123 > "}, {"Done\r\n", 0x008000, false}};
        e.finish = r;
    }
    return e;
}

// A download refused without a record: the whole record, started and ended.
JournalEntry Whole(const std::string& database = "records.sqlite") {
    JournalEntry e = Entry(0, std::nullopt, true, database);
    DownloadRecord& r = *e.finish;
    r.startUtc = "2026-12-07T16:42:04.000Z";
    r.stationHost = "line-1";
    r.stationFolder = "/opt/line";
    r.stationConfig = "/opt/line/config.ini";
    r.loaderVersion = "1.5.1";
    r.processId = 4242;
    r.bootId = "boot\t1";
    r.hexPath = "fw.hex";
    r.hexFile = "/opt/line/fw.hex";
    r.fileSha256 = std::string(64, 'a');
    r.imageSha256 = std::string(64, 'b');
    r.imageStart = 0x0E00;
    r.imageEnd = 0x2000;
    r.format = "plain";
    r.outcome = "not_recorded";
    r.failedStep = "record";
    return e;
}

std::string AllBytes() {
    std::string text;
    for (int c = 0; c < 256; ++c)
        text += static_cast<char>(c);
    return text + "\\x41\\";
}

TEST(RecordJournal, KeepsTextsOfAnyBytesOnTheirLines) {
    JournalEntry e = Entry(7, SerialState::kUsedUp, true, "PostgreSQL server db:5432/pravune");
    e.failures = 3;
    e.finish->statusText = AllBytes();
    e.finish->log.push_back({AllBytes(), 0xFF0000, true, AllBytes()});
    const std::vector<JournalEntry> written = {Entry(3, SerialState::kWritten, false), e};
    const std::string text = JournalText(written);
    std::vector<JournalEntry> read;
    ASSERT_TRUE(ParseJournal(text, read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(JournalText(read), text);
    EXPECT_EQ(read[1].database, e.database);
    EXPECT_EQ(read[1].failures, 3);
    EXPECT_EQ(read[1].finish->statusText, AllBytes());
    EXPECT_EQ(read[1].finish->log, e.finish->log);
    EXPECT_FALSE(read[0].finish);
    // One line per field: no byte of a text ends a line. The header; each entry's database, id,
    // failures and state; the second's end (nine fields, no serial number) and its three log
    // entries.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 4 + 4 + 9 + 3);
}

struct ParseCase {
    std::string name;
    std::string text;
    bool ours;
    std::vector<std::int64_t> ids;  // the entries read
};

class RecordJournalParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RecordJournalParse, LeavesOutWhatItCannotRead) {
    const ParseCase& c = GetParam();
    std::vector<JournalEntry> entries{Entry(99, std::nullopt, false)};
    EXPECT_EQ(ParseJournal(c.text, entries), c.ours);
    std::vector<std::int64_t> ids;
    for (const JournalEntry& e : entries)
        ids.push_back(e.id);
    EXPECT_EQ(ids, c.ids);
}

// The headers of the journals of earlier loaders (a field per position), still read, and of
// the journal written now (a field per line).
const std::string kHead = "pravune-record-journal\t1\n";
const std::string kHeadWhole = "pravune-record-journal\t2\n";
const std::string kHeadKeyed = "pravune-record-journal\t3\n";
const std::string kBegin = "begin\ts\th\tf\tc\tv\t1\tb\tp\tx\tfs\tis\t0\t1\tplain\n";

INSTANTIATE_TEST_SUITE_P(
    RecordJournal, RecordJournalParse,
    ::testing::Values(
        ParseCase{"empty", "", true, {}},
        ParseCase{"another_program", "[SETTING]\nSN_Current=1\n", false, {}},
        ParseCase{"a_newer_loader", "pravune-record-journal\t9\nentry\tx\t1\t0\n", false, {}},
        ParseCase{
            "two_entries",
            JournalText({Entry(1, SerialState::kWritten, true), Entry(2, std::nullopt, true)}),
            true,
            {1, 2}},
        ParseCase{"without_the_last_line_end",
                  kHead + "entry\trecords.sqlite\t4\t0\nstate\tused_up",
                  true,
                  {4}},
        ParseCase{"a_broken_escape_loses_its_entry",
                  kHead + "entry\tr\t1\t0\nstate\twritten\nentry\tr\t2\t0\nfinish\t\\q\tfailed"
                          "\t\t\t\t0\t\t\nentry\tr\t3\t0\nstate\tused_up\n",
                  true,
                  {1, 3}},
        // An unknown state, a log line before its end, bad ids, a line before any entry.
        ParseCase{"lines_out_of_place",
                  kHead + "state\twritten\nentry\tr\t1\t0\nstate\tlost\nentry\tr\t2\t0\nlog\t0\t0"
                          "\t\tx\nentry\tr\t-1\t0\nentry\tr\tx\t0\nentry\tr\t5\t0\n",
                  true,
                  {5}},
        ParseCase{"a_later_loaders_field", kHead + "entry\tr\t8\t0\nsigned\tabc\n", true, {8}},
        ParseCase{"a_whole_record",
                  JournalText({Whole(), Entry(2, SerialState::kWritten, true), Whole("r")}),
                  true,
                  {0, 2, 0}},
        // A whole record without its start, its end, or with a state; a start of a record
        // that has an id.
        ParseCase{"a_whole_record_needs_its_start_and_end",
                  kHeadWhole + "entry\tr\t0\t0\nfinish\t\tfailed\t\t\t\t0\t\t\n" +
                      "entry\tr\t0\t0\n" + kBegin + "entry\tr\t0\t0\nstate\twritten\n" + kBegin +
                      "entry\tr\t3\t0\n" + kBegin + "entry\tr\t4\t0\nentry\tr\t0\t0\n" + kBegin +
                      "finish\t\tfailed\t\t\t\t0\t\t\n",
                  true,
                  {4, 0}},
        ParseCase{"keyed_a_broken_escape_loses_its_entry",
                  kHeadKeyed + "entry=r\nid=1\nstate=written\nentry=r\nid=2\nverdict=\\q\n"
                               "entry=r\nid=3\nstate=used_up\n",
                  true,
                  {1, 3}},
        // An unknown state, a line before any entry, bad ids, a number that is none, a line
        // without a key.
        ParseCase{"keyed_lines_out_of_place",
                  kHeadKeyed + "state=written\nentry=r\nid=1\nstate=lost\nentry=r\nid=-1\n"
                               "entry=r\nid=x\nentry=r\nid=4\nduration_ms=4s\nentry=r\nid=5\n"
                               "entry=r\nid=6\nno key\n",
                  true,
                  {5}},
        ParseCase{
            "keyed_a_later_loaders_field", kHeadKeyed + "entry=r\nid=8\nsigned=abc\n", true, {8}},
        // A whole record without its end, or with a state; repeats of a record that has an id;
        // a serial number in no state.
        ParseCase{"keyed_a_whole_record_needs_its_end",
                  kHeadKeyed + "entry=r\nid=0\nstart_utc=s\nentry=r\nid=0\nverdict=failed\n"
                               "state=written\nentry=r\nid=4\nrepeats=2\nentry=r\nid=9\n"
                               "sn_state=lost\nentry=r\nid=0\nverdict=failed\n",
                  true,
                  {0}}),
    CaseName());

// The journals earlier loaders wrote (a field per position, tab-separated) mean what they meant.
TEST(RecordJournal, OlderJournalsAreStillRead) {
    JournalEntry whole = Whole();
    whole.failures = 1;
    whole.repeats = 3;
    whole.lastUtc = "2026-12-07T17:00:00.000Z";
    whole.finish->recordKey = "k0";
    whole.finish->processStart = "ps";
    whole.finish->pidNamespace = "pid:[4]";
    JournalEntry end = Entry(7, SerialState::kUsedUp, true, "r");
    end.finish->recordKey = "k7";
    const std::string finish =
        "finish\t2026-12-07T16:42:09.001Z\tfailed\tstopped\twrite flash\tWrite to device -- "
        "User cancel\t4878\tABC123\tusb-1-2\n";
    const std::string log =
        "log\t0\t1\t16:42:04:123 > \tErase ... \\x09\\x09\nlog\t32768\t0\t"
        "\tDone\\x0D\\x0A\n";
    const std::string ab = std::string(64, 'a') + "\t" + std::string(64, 'b');
    const struct {
        std::string name;
        std::string text;
        std::vector<JournalEntry> entries;
    } cases[] = {
        {"an_end_and_a_state",
         kHead + "entry\tr\t7\t0\nstate\tused_up\n" + finish + "key\tk7\n" + log,
         {end}},
        {"a_whole_record",
         kHeadWhole +
             "entry\trecords.sqlite\t0\t1\nbegin\t2026-12-07T16:42:04.000Z\tline-1\t"
             "/opt/line\t/opt/line/config.ini\t1.5.1\t4242\tboot\\x091\tfw.hex\t"
             "/opt/line/fw.hex\t" +
             ab + "\t3584\t8192\tplain\n" +
             "finish\t2026-12-07T16:42:09.001Z\tfailed\tnot_recorded\trecord\tWrite to device "
             "-- User cancel\t4878\tABC123\tusb-1-2\nkey\tk0\tps\tpid:[4]\n"
             "repeat\t3\t2026-12-07T17:00:00.000Z\n" +
             log,
         {whole}},
    };
    for (const auto& c : cases) {
        std::vector<JournalEntry> read;
        ASSERT_TRUE(ParseJournal(c.text, read)) << c.name;
        EXPECT_EQ(JournalText(read), JournalText(c.entries)) << c.name;
    }
}

TEST(RecordJournal, KeepMergesARecordsWritesAndLeavesOthersAlone) {
    TempDir dir;
    const std::string config = dir.Write("config.ini", "[SETTING]\n");
    const std::string path = RecordJournalPathFor(config);
    EXPECT_EQ(path, dir.File("records.journal"));
    RecordFailure reason;
    ASSERT_TRUE(KeepInJournal(config, Entry(1, SerialState::kWritten, false), &reason)) << reason;
    ASSERT_TRUE(KeepInJournal(config, Entry(2, SerialState::kUsedUp, false), &reason)) << reason;
    ASSERT_TRUE(KeepInJournal(config, Entry(1, std::nullopt, true), &reason)) << reason;
    std::vector<JournalEntry> entries;
    ASSERT_TRUE(ParseJournal(ReadBytes(path), entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].state, SerialState::kWritten);
    EXPECT_TRUE(entries[0].finish);
    EXPECT_FALSE(entries[1].finish);

    // A journal this loader cannot read is set aside whole, never lost nor written over, and
    // a new one is begun.
    const std::string foreign = "pravune-record-journal\t9\nsomething newer\n";
    dir.Write("records.journal", foreign);
    RecordFailure aside;
    EXPECT_TRUE(KeepInJournal(config, Entry(3, SerialState::kWritten, false), &reason, &aside));
    EXPECT_EQ(aside.code, RecordFailure::Code::kJournalForeign);
    EXPECT_EQ(aside.where, path);
    ASSERT_EQ(aside.setAside, RecordFailure::Aside::kSetAside);
    EXPECT_EQ(ReadBytes(aside.aside), foreign);
    ASSERT_TRUE(ParseJournal(ReadBytes(path), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, 3);
}

#ifndef _WIN32
// The id of a process that has ended.
std::int64_t EndedProcess() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}
#endif

TEST(RecordJournal, AProcessIsGoneOnlyWhenThatIsKnown) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork()";
#else
    StationProcess self = ThisStationProcess("/srv/config.ini");
    self.bootId = "boot-now";
    const std::int64_t ended = EndedProcess();
    const std::int64_t parent = ::getppid();
    const std::string parentStart = os_files::ProcessStart(parent);
    ASSERT_FALSE(parentStart.empty());
    const std::string here = self.pidNamespace, start = parentStart;
    // Plain texts in the table: GCC 12 at -O3 warns wrongly on a table of strings.
    struct Case {
        const char* name;
        std::int64_t processId;
        const char* boot;
        const char* selfBoot;
        const std::string* start;  // the record's process start (null: none recorded)
        const char* pidNamespace;  // the record's (null: this process's)
        bool gone;
    };
    const Case cases[] = {
        {"ended_this_boot", ended, "boot-now", "boot-now", nullptr, "", true},
        {"running_this_boot", parent, "boot-now", "boot-now", nullptr, "", false},
        {"this_very_process", self.processId, "boot-now", "boot-now", nullptr, "", false},
        {"an_earlier_boot", parent, "boot-then", "boot-now", nullptr, "", true},
        {"no_process_recorded", 0, "boot-now", "boot-now", nullptr, "", false},
        {"its_boot_unknown", ended, "", "boot-now", nullptr, "", false},
        {"this_boot_unknown", ended, "boot-now", "", nullptr, "", false},
        {"no_boots_known_ended", ended, "", "", nullptr, "", true},
        {"no_boots_known_running", parent, "", "", nullptr, "", false},
        // Known by its start and namespace too.
        {"running_same_start", parent, "boot-now", "boot-now", &start, nullptr, false},
        {"its_id_used_again", parent, "boot-now", "boot-now", &self.config, nullptr, true},
        {"ended_with_start", ended, "boot-now", "boot-now", &start, nullptr, true},
        {"another_namespace_ended", ended, "boot-now", "boot-now", &start, "pid:[1]", false},
        {"another_namespace_this_id", self.processId, "boot-now", "boot-now", &start, "pid:[1]",
         false},
    };
    for (const Case& c : cases) {
        StationProcess now = self;
        now.bootId = c.selfBoot;
        RunningDownload r{1, c.processId, c.boot, {}, {}, {}};
        if (c.start)
            r.processStart = *c.start;
        r.pidNamespace = c.pidNamespace ? c.pidNamespace : here;
        EXPECT_EQ(ProcessGone(r, now), c.gone) << c.name;
    }
#endif
}

#ifndef _WIN32
// Two loaders on one folder, one host and one boot, one of them in a PID namespace of its own (a
// container): the other cannot see its process, so never closes its running record; the same
// holds the other way round. Skipped where the system refuses a PID namespace.
TEST(RecordJournal, ALoaderInAnotherPidNamespaceIsNeverTakenForGone) {
    TempDir dir;
    const std::string config = dir.Write("config.ini", "[SETTING]\n");
    // The inner loader's id names no process out here, as in a container.
    pid_t target = 300;
    while (target < 30000 && os_files::ProcessAlive(target))
        ++target;
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t outer = ::fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        ::close(ready[0]);
        ::close(done[1]);  // the inner loader hears the end of the test as the pipe's end
        if (::unshare(CLONE_NEWPID) != 0)
            ::_exit(77);
        // The namespace's first process gives ids one after the other until the loader's.
        const pid_t first = ::fork();
        if (first != 0) {
            int status = 0;
            ::waitpid(first, &status, 0);
            ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        }
        pid_t inner = 0;
        for (;;) {
            inner = ::fork();
            if (inner == 0 && ::getpid() != target)
                ::_exit(0);
            if (inner <= 0 || inner >= target)
                break;
            ::waitpid(inner, nullptr, 0);
        }
        if (inner == 0) {
            // A download begun and left running while this loader lives.
            DownloadRecord r;
            const StationProcess self = ThisStationProcess(config);
            r.stationHost = self.host;
            r.stationConfig = self.config;
            r.processId = self.processId;
            r.bootId = self.bootId;
            r.processStart = self.processStart;
            r.pidNamespace = self.pidNamespace;
            auto store = OpenSqliteRecordStore(RecordStorePathFor(config), nullptr);
            const char began = store && store->BeginDownload(r, nullptr) != 0 ? '1' : '0';
            store.reset();
            [[maybe_unused]] ssize_t n = ::write(ready[1], &began, 1);
            char end = 0;
            n = ::read(done[0], &end, 1);  // alive until the test is done
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(inner, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    ::close(ready[1]);  // a loader that ends without a word is seen as the end of the pipe
    ::close(done[0]);
    char began = 0;
    const bool told = ::read(ready[0], &began, 1) == 1;
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(RecordStorePathFor(config), &reason);
    if (told && began == '1' && store) {
        const StationProcess self = ThisStationProcess(config);
        const Completion c = CompleteEarlierRecords(*store, config, "records.sqlite", self, true,
                                                    StationRecordWords());
        EXPECT_TRUE(c.closedInterrupted);
        EXPECT_EQ(store->Get(1, &reason)->verdict, "running") << "closed a living loader's record";
    }
    ::close(done[1]);  // the inner loader ends
    ::close(ready[0]);
    int status = 0;
    ::waitpid(outer, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no PID namespace here (needs root or user namespaces)";
    ASSERT_TRUE(told && began == '1') << reason;
}
#endif

#ifndef _WIN32
// A journal another user could have written (planted in the operator's sticky folder, left
// writable by others, or a link) is never read: its forged end of a running record is not
// written, and the journal is set aside.
TEST(RecordJournal, AJournalAnotherUserCouldHaveWrittenIsSetAsideUnread) {
    const struct {
        const char* name;
        uid_t owner;  // 0: this process's user
        mode_t mode;
        bool link;
    } cases[] = {{"another_users_file", 65534, 0644, false},
                 {"writable_by_others", 0, 0666, false},
                 {"a_link", 0, 0600, true}};
    for (const auto& c : cases) {
        TempDir dir;
        ::chmod(dir.path().c_str(), 01777);  // the operator's own sticky folder
        const std::string config = dir.Write("config.ini", "[SETTING]\n");
        RecordFailure reason;
        auto store = OpenSqliteRecordStore(RecordStorePathFor(config), &reason);
        ASSERT_TRUE(store) << reason;
        DownloadRecord running;
        const std::int64_t id = store->BeginDownload(running, &reason);
        ASSERT_NE(id, 0) << reason;
        JournalEntry forged = Entry(id, std::nullopt, true);
        forged.finish->verdict = forged.finish->outcome = "succeeded";
        const std::string journal = RecordJournalPathFor(config);
        const std::string text = JournalText({forged});
        if (c.link) {
            const std::string elsewhere = dir.Write("elsewhere", text);
            ASSERT_EQ(::symlink(elsewhere.c_str(), journal.c_str()), 0);
        } else {
            dir.Write("records.journal", text);
            ASSERT_EQ(::chmod(journal.c_str(), c.mode), 0);
            if (c.owner != 0 && (::geteuid() != 0 || ::chown(journal.c_str(), c.owner, c.owner)))
                continue;  // only root can give a file away
        }
        const Completion done =
            CompleteEarlierRecords(*store, config, "records.sqlite", ThisStationProcess(config),
                                   false, StationRecordWords());
        ASSERT_EQ(done.notes.size(), 1u) << c.name;
        EXPECT_EQ(done.notes[0].kind, CompletionNote::Kind::kJournal) << c.name;
        EXPECT_EQ(done.notes[0].failure.setAside, RecordFailure::Aside::kSetAside) << c.name;
        EXPECT_EQ(done.notes[0].failure.aside.rfind(journal + ".unreadable-", 0), 0u)
            << c.name << ": " << done.notes[0].failure;
        EXPECT_EQ(store->Get(id, &reason)->verdict, "running") << c.name;
        EXPECT_FALSE(std::filesystem::exists(journal)) << c.name;
    }
}
#endif

// The catch-up on each database: what it cannot write stays, counted, until it gives up.
class RecordJournalCatchUp : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override { REQUIRE_DATABASE(m_db); }
    // A download this station refused for want of its record, as it keeps it: its own key, and
    // `cause` as its status text when given.
    JournalEntry OwnRefusal(const std::string& cause = {}) const {
        JournalEntry e = Whole(key);
        e.finish->stationHost = self.host;
        e.finish->stationConfig = self.config;
        e.finish->recordKey = NewRecordKey();
        if (!cause.empty())
            e.finish->statusText = cause;
        return e;
    }
    // Keeps `count` refusals of causes of their own, named from `prefix`.
    void KeepRefusals(int count, const std::string& prefix) const {
        RecordFailure reason;
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(
                KeepInJournal(m_db.configPath(), OwnRefusal(prefix + std::to_string(i)), &reason))
                << reason;
    }
    TestDatabase m_db{GetParam()};
    const std::string key = JournalDatabaseKey(ChooseDatabase(m_db.configPath()));
    const StationProcess self = ThisStationProcess(m_db.configPath());
};

INSTANTIATE_TEST_SUITE_P(Both, RecordJournalCatchUp,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName());

TEST_P(RecordJournalCatchUp, WritesItsDatabasesEntriesAndKeepsWhatItCannot) {
    RecordFailure reason;
    auto store = m_db.Open(&reason);
    ASSERT_TRUE(store) << reason;
    DownloadRecord begun;
    begun.stationHost = "line-1";
    const std::int64_t a = store->BeginDownload(begun, &reason);
    const std::int64_t b = store->BeginDownload(begun, &reason);
    ASSERT_TRUE(store->ReserveSerial(a, {0x3B00, 2}, 5, nullptr, &reason)) << reason;
    // a: its state and end; b: an end the database refuses (an outcome it does not know);
    // 99: another database's.
    JournalEntry refused = Entry(b, std::nullopt, true, key);
    refused.finish->outcome = "exploded";
    refused.failures = kJournalAttempts - 2;
    // A download this station refused for want of its record; and one that claims to be such
    // a refusal of another station's, which no loader of this config.ini would have kept.
    JournalEntry ours = OwnRefusal(), foreign = Whole(key);
    foreign.finish->startUtc = "2026-12-07T16:43:00.000Z";
    for (const JournalEntry& e :
         {Entry(a, SerialState::kUsedUp, true, key), refused,
          Entry(99, SerialState::kWritten, false, "elsewhere"), ours, foreign})
        ASSERT_TRUE(KeepInJournal(m_db.configPath(), e, &reason)) << reason;
    // Read only by loaders that know a journal of a field per line.
    EXPECT_EQ(ReadBytes(RecordJournalPathFor(m_db.configPath())).rfind(kHeadKeyed, 0), 0u);

    using Kind = CompletionNote::Kind;
    const RecordFailure refusal{.code = RecordFailure::Code::kBadOutcome,
                                .download = b,
                                .detail = "failed",
                                .given = "exploded"};
    EXPECT_EQ(
        CompleteEarlierRecords(*store, m_db.configPath(), key, self, false, StationRecordWords())
            .notes,
        (std::vector<CompletionNote>{
            {Kind::kComplete, a, {}, {}, {}, {}, 0},
            {Kind::kKept, b, {}, {}, refusal, {}, 0},
            {Kind::kRefusalWritten, b + 1, "2026-12-07T16:42:04.000Z", "usb-1-2", {}, {}, 0},
            {Kind::kNotOwnRefusal, 0, "2026-12-07T16:43:00.000Z", "usb-1-2", {}, {}, 0}}));
    const DownloadRecord done = *store->Get(a, &reason);
    EXPECT_EQ(done.outcome, "stopped");
    EXPECT_EQ(done.serialState, SerialState::kUsedUp);
    EXPECT_EQ(done.log, Entry(a, std::nullopt, true).finish->log);
    // The refused download, with the times, station, file and log it had.
    const DownloadRecord whole = *store->Get(b + 1, &reason);
    DownloadRecord expected = *ours.finish;
    expected.id = b + 1;
    expected.verdict = "failed";
    for (auto field :
         {&DownloadRecord::startUtc, &DownloadRecord::endUtc, &DownloadRecord::stationConfig,
          &DownloadRecord::bootId, &DownloadRecord::hexFile, &DownloadRecord::imageSha256,
          &DownloadRecord::verdict, &DownloadRecord::outcome, &DownloadRecord::failedStep,
          &DownloadRecord::portPath})
        EXPECT_EQ(whole.*field, expected.*field);
    EXPECT_EQ(whole.processId, 4242);
    EXPECT_EQ(whole.imageEnd, 0x2000u);
    EXPECT_EQ(whole.log, expected.log);

    std::vector<JournalEntry> left;
    ASSERT_TRUE(ParseJournal(ReadBytes(RecordJournalPathFor(m_db.configPath())), left));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].id, b);
    EXPECT_EQ(left[0].failures, kJournalAttempts - 1);
    EXPECT_EQ(left[1].database, "elsewhere");

    // The last attempt gives it up; the other database's entry stays for it.
    EXPECT_EQ(
        CompleteEarlierRecords(*store, m_db.configPath(), key, self, false, StationRecordWords())
            .notes,
        (std::vector<CompletionNote>{{Kind::kGivenUp, b, {}, {}, refusal, {}, 0}}));
    ASSERT_TRUE(ParseJournal(ReadBytes(RecordJournalPathFor(m_db.configPath())), left));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].database, "elsewhere");
    EXPECT_EQ(store->Get(b, &reason)->verdict, "running");
}

// Every write from the journal may be delivered again (a drainer killed between its commit and
// the journal's rewrite, two drainers at once): the second delivery changes nothing.
TEST_P(RecordJournalCatchUp, EveryWriteDeliveredTwiceChangesNothing) {
    RecordFailure reason;
    auto store = m_db.Open(&reason);
    ASSERT_TRUE(store) << reason;

    // A record begun twice by its key is one record.
    DownloadRecord begun;
    begun.recordKey = NewRecordKey();
    const std::int64_t id = store->BeginDownload(begun, &reason);
    ASSERT_NE(id, 0) << reason;
    EXPECT_EQ(store->BeginDownload(begun, &reason), id);
    EXPECT_NE(NewRecordKey(), begun.recordKey);

    // A number's state moves only forward; the same state again changes nothing.
    ASSERT_TRUE(store->ReserveSerial(id, {0x3B00, 2}, 7, nullptr, &reason)) << reason;
    const struct {
        SerialState state;
        bool ok;
    } steps[] = {{SerialState::kWritten, true},
                 {SerialState::kWritten, true},
                 {SerialState::kReserved, false},
                 {SerialState::kUsedUp, false}};
    for (const auto& step : steps)
        EXPECT_EQ(store->SetSerialState(id, step.state, &reason), step.ok)
            << SerialStateText(step.state);
    EXPECT_EQ(store->FindSerial({0x3B00, 2}, 7, &reason)->state, SerialState::kWritten);

    // A thousand refusals of one cause are one entry, then one record that counts them.
    JournalEntry refusal = OwnRefusal();
    for (int i = 0; i < 1000; ++i) {
        refusal.finish->endUtc = "2026-12-07T17:" + std::to_string(10 + i / 60) + ":" +
                                 std::to_string(10 + i % 50) + ".000Z";
        ASSERT_TRUE(KeepInJournal(m_db.configPath(), refusal, &reason)) << reason;
    }
    const std::string journal = RecordJournalPathFor(m_db.configPath());
    const std::string kept = ReadBytes(journal);
    EXPECT_LT(kept.size(), 2000u);
    std::vector<JournalEntry> entries;
    ASSERT_TRUE(ParseJournal(kept, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].repeats, 999);
    EXPECT_EQ(entries[0].lastUtc, refusal.finish->endUtc);

    // Drained; then the same entry once more, as a drainer killed before the rewrite left it.
    const std::int64_t before = m_db.Count("SELECT count(*) FROM downloads");
    std::int64_t written = 0;
    for (int delivery = 0; delivery < 2; ++delivery) {
        if (delivery == 1) {
            std::string why;
            ASSERT_TRUE(os_files::ReplaceAtomically(journal, kept, why, true)) << why;
        }
        const Completion done = CompleteEarlierRecords(*store, m_db.configPath(), key, self, false,
                                                       StationRecordWords());
        written = m_db.Count("SELECT id FROM downloads WHERE record_key = '" +
                             refusal.finish->recordKey + "'");
        ASSERT_EQ(done.notes.size(), 1u);
        EXPECT_EQ(done.notes[0], (CompletionNote{CompletionNote::Kind::kRefusalWritten,
                                                 written,
                                                 "2026-12-07T16:42:04.000Z",
                                                 "usb-1-2",
                                                 {},
                                                 {},
                                                 0}));
    }
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads"), before + 1);
    const DownloadRecord whole = *store->Get(written, &reason);
    EXPECT_EQ(whole.recordKey, refusal.finish->recordKey);
    EXPECT_EQ(whole.endUtc, refusal.finish->endUtc);
    EXPECT_NE(whole.statusText.find("(refused 1000 times for this cause, the last ending " +
                                    refusal.finish->endUtc + ")"),
              std::string::npos)
        << whole.statusText;
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM download_log WHERE download_id = " +
                         std::to_string(written)),
              static_cast<std::int64_t>(refusal.finish->log.size()));
}

#ifndef _WIN32
// Stations that drain one journal at once (processes of their own), or are killed in the middle
// of a drain, write each record once.
TEST_P(RecordJournalCatchUp, DrainersRacingOrKilledWriteEachRecordOnce) {
    constexpr int kRecords = 40, kDrainers = 4;
    KeepRefusals(kRecords, "cause ");
    std::vector<pid_t> children;
    for (int d = 0; d < kDrainers; ++d) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Each drains until the journal is empty, as stations after their downloads would.
            auto store = m_db.Open(nullptr);
            for (int round = 0; store && round < 200; ++round) {
                CompleteEarlierRecords(*store, m_db.configPath(), key, self, false,
                                       StationRecordWords());
                std::vector<JournalEntry> left;
                if (ParseJournal(ReadBytes(RecordJournalPathFor(m_db.configPath())), left) &&
                    left.empty())
                    break;
                os_files::SleepMicros(1000);
            }
            ::_exit(store ? 0 : 1);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads"), kRecords);
    EXPECT_EQ(m_db.Count("SELECT count(DISTINCT record_key) FROM downloads"), kRecords);

    // Drainers killed at any moment, then one left to finish: still each record once.
    KeepRefusals(kRecords, "later cause ");
    std::mt19937 random(11);
    for (int kill = 0; kill < 12; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (auto store = m_db.Open(nullptr))
                CompleteEarlierRecords(*store, m_db.configPath(), key, self, false,
                                       StationRecordWords());
            ::_exit(0);
        }
        os_files::SleepMicros(std::uniform_int_distribution<long long>(0, 20000)(random));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    RecordFailure reason;
    auto store = m_db.Open(&reason);
    ASSERT_TRUE(store) << reason;
    CompleteEarlierRecords(*store, m_db.configPath(), key, self, false, StationRecordWords());
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads"), 2 * kRecords);
    EXPECT_EQ(m_db.Count("SELECT count(DISTINCT record_key) FROM downloads"), 2 * kRecords);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM downloads WHERE verdict = 'running'"), 0);
}
#endif

}  // namespace
