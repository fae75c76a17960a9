#include "ledger/record_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "ledger/sha256.h"
#include "ledger/shared_record_store.h"
#include "os/os_files.h"
#include "settings/settings_store.h"
#include "tests/support/case_name.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

namespace {

using Code = RecordFailure::Code;

// ---- SHA-256 ----

struct ShaCase {
    std::string name;
    std::string message;
    const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<ShaCase> {};

TEST_P(Sha256Vectors, WholeAndInPieces) {
    const ShaCase& c = GetParam();
    EXPECT_EQ(Sha256Hex(c.message), c.digest);
    // Pieces that cross the 64-byte blocks at every offset, with a digest taken half-way.
    for (std::size_t piece : {1u, 7u, 63u, 64u, 65u, 1000u}) {
        Sha256 sha;
        for (std::size_t at = 0; at < c.message.size(); at += piece) {
            sha.Update(std::string_view(c.message).substr(at, piece));
            if (at == piece)
                (void)sha.HexDigest();
        }
        EXPECT_EQ(sha.HexDigest(), c.digest) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sha256Fips180, Sha256Vectors,
    ::testing::Values(
        ShaCase{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        ShaCase{"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        ShaCase{"bits448", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        ShaCase{"bits896",
                "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqk"
                "lmnopqrlmnopqrsmnopqrstnopqrstu",
                "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        ShaCase{"million_a", std::string(1000000, 'a'),
                "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // The lengths around the padding's boundaries.
        ShaCase{"a55", std::string(55, 'a'),
                "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        ShaCase{"a56", std::string(56, 'a'),
                "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        ShaCase{"a64", std::string(64, 'a'),
                "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        ShaCase{"a119", std::string(119, 'a'),
                "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"}),
    CaseName());

// ---- The record store, on SQLite and on PostgreSQL through the one interface ----

constexpr SerialPlanKey kPlan{0x0E00, 3};

DownloadRecord Started(const std::string& host = "bench-1") {
    DownloadRecord r;
    r.stationHost = host;
    r.stationFolder = "/opt/pravune";
    r.loaderVersion = "1.5.1";
    r.stationConfig = "/opt/pravune/config.ini";
    r.processId = 4242;
    r.bootId = "0f6bc3a4-8d4e-4f44-9a0c-5a1f3c2b7e11";
    r.hexPath = "app.hex";
    r.hexFile = "/opt/pravune/app.hex";
    r.fileSha256 = Sha256Hex("file");
    r.imageSha256 = Sha256Hex("image");
    r.imageStart = 0x0046;
    r.imageEnd = 0x3BFA;
    r.format = "maker";
    return r;
}

template <typename Param>
class StoreFixture : public ::testing::TestWithParam<Param> {
  protected:
    static Backend BackendOf(Backend b) { return b; }
    template <typename T>
    static Backend BackendOf(const std::tuple<Backend, T>& p) {
        return std::get<0>(p);
    }
    void SetUp() override { REQUIRE_DATABASE(m_db); }
    std::unique_ptr<RecordStore> Open() {
        RecordFailure reason;
        auto store = m_db.Open(&reason);
        EXPECT_TRUE(store) << reason;
        return store;
    }
    std::int64_t Begin(RecordStore& store, DownloadRecord r = Started()) {
        RecordFailure reason;
        const std::int64_t id = store.BeginDownload(r, &reason);
        EXPECT_GT(id, 0) << reason;
        return id;
    }
    TestDatabase m_db{BackendOf(this->GetParam())};
};

using RecordStoreTest = StoreFixture<Backend>;
INSTANTIATE_TEST_SUITE_P(Both, RecordStoreTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName());

TEST_P(RecordStoreTest, AWholeRecordReadsBackAfterAReopen) {
    DownloadRecord r = Started();
    r.startUtc = "2026-12-07T16:42:04.123Z";
    {
        auto store = Open();
        r.id = Begin(*store, r);
        RecordFailure reason;
        ASSERT_TRUE(store->ReserveSerial(r.id, kPlan, 0x00ABCD, nullptr, &reason)) << reason;
        ASSERT_TRUE(store->SetSerialState(r.id, SerialState::kWritten, &reason)) << reason;
        r.endUtc = "2026-12-07T16:42:09.001Z";
        r.verdict = "succeeded";
        r.outcome = "succeeded";
        r.statusText = "Download finished";
        r.durationMs = 4878;
        r.moduleUid = "0123456789AB";
        r.portPath = "/dev/hidraw3";
        r.log = {{"Erasing ... ", kLogBlack, true, "16:42:04:123 > "},
                 {"Done\n", kLogGreen, false},
                 {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac\n", kLogGreen, false}};
        ASSERT_TRUE(store->FinishDownload(r, &reason)) << reason;
    }
    auto store = Open();
    RecordFailure reason;
    const std::optional<DownloadRecord> back = store->Get(r.id, &reason);
    ASSERT_TRUE(back) << reason;
    r.hasSerial = true;
    r.serialPlan = kPlan;
    r.serialValue = 0x00ABCD;
    r.serialState = SerialState::kWritten;
    const auto fields = [](const DownloadRecord& d) {
        return std::tuple(d.id, d.startUtc, d.endUtc, d.stationHost, d.stationFolder,
                          d.stationConfig, d.processId, d.bootId, d.loaderVersion, d.hexPath,
                          d.hexFile, d.fileSha256, d.imageSha256, d.imageStart, d.imageEnd,
                          d.format, d.moduleUid, d.portPath, d.hasSerial, d.serialPlan,
                          d.serialValue, d.serialState, d.verdict, d.outcome, d.failedStep,
                          d.statusText, d.durationMs, d.log);
    };
    EXPECT_EQ(fields(*back), fields(r));
    const std::optional<SerialEntry> entry = store->FindSerial(kPlan, 0x00ABCD, &reason);
    ASSERT_TRUE(entry) << reason;
    EXPECT_EQ(entry->downloadId, r.id);
    EXPECT_EQ(entry->state, SerialState::kWritten);
    EXPECT_FALSE(store->Get(r.id + 1, &reason));
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kNoSuchDownload, .download = r.id + 1}));
}

// Bytes a text column of PostgreSQL cannot hold (a zero, broken UTF-8) are kept by SQLite as
// they are and stored by PostgreSQL as U+FFFD: the record is never refused for them.
TEST_P(RecordStoreTest, TextsOfAnyBytesAreRecorded) {
    auto store = Open();
    DownloadRecord r = Started();
    r.hexPath = std::string("/media/\xff\xfe.hex");
    r.id = Begin(*store, r);
    r.verdict = "failed";
    r.log = {{std::string("zero\0byte\n", 10), kLogRed, false}};
    RecordFailure reason;
    ASSERT_TRUE(store->FinishDownload(r, &reason)) << reason;
    const DownloadRecord back = *store->Get(r.id, &reason);
    const bool exact = m_db.backend() == Backend::kSqlite;
    EXPECT_EQ(back.hexPath, exact ? r.hexPath : "/media/\xef\xbf\xbd\xef\xbf\xbd.hex");
    EXPECT_EQ(back.log[0].text, exact ? r.log[0].text
                                      : std::string("zero\xef\xbf\xbd"
                                                    "byte\n"));
}

// The list reads a page at a time: records come oldest first (by start, then id), none twice
// and none left out across pages, also where many share one start; from a start time; to where
// the reader stops; with their logs only when asked.
TEST_P(RecordStoreTest, ForEachReadsOldestFirstPageByPage) {
    auto store = Open();
    constexpr int kRecords = 2100;  // more than two pages
    RecordFailure reason;
    {
        // One transaction: thousands of commits would each wait for the disk.
        auto raw = m_db.Raw();
        ASSERT_TRUE(raw->Script("BEGIN").ok());
        for (int i = 0; i < kRecords; ++i) {
            DownloadRecord r = Started();
            // Three records a day, the days in reverse order of their ids.
            r.startUtc = "2026-01-" + std::to_string(10 + (kRecords - 1 - i) / 300) +
                         "T00:00:" + std::to_string(10 + i % 3) + ".000Z";
            const sql::Result added = raw->Run(
                "INSERT INTO downloads (start_utc, station_host) VALUES (?, ?) RETURNING id",
                {std::string_view(r.startUtc), std::string_view(r.stationHost)});
            ASSERT_TRUE(added.ok()) << added.error;
        }
        ASSERT_TRUE(raw->Script("COMMIT").ok());
    }
    const std::int64_t logged = Begin(*store);
    DownloadRecord end = Started();
    end.id = logged;
    end.verdict = "succeeded";
    end.log = {{"line\r\n", kLogGreen, false, ""}};
    ASSERT_TRUE(store->FinishDownload(end, &reason)) << reason;

    auto list = [&](const std::string& since, bool withLog, std::size_t stopAfter) {
        std::vector<DownloadRecord> out;
        EXPECT_TRUE(store->ForEach(
            since, withLog,
            [&](const DownloadRecord& r) {
                out.push_back(r);
                return out.size() < stopAfter;
            },
            &reason))
            << reason;
        return out;
    };
    const std::vector<DownloadRecord> all = list("", false, SIZE_MAX);
    ASSERT_EQ(all.size(), kRecords + 1u);
    for (std::size_t i = 1; i < all.size(); ++i) {
        ASSERT_TRUE(std::tie(all[i - 1].startUtc, all[i - 1].id) <
                    std::tie(all[i].startUtc, all[i].id))
            << i;
    }
    EXPECT_EQ(all.back().id, logged);
    EXPECT_TRUE(all.back().log.empty());
    EXPECT_EQ(list("", true, SIZE_MAX).back().log, end.log);
    EXPECT_EQ(list("", false, 1500).size(), 1500u);
    const std::vector<DownloadRecord> late = list("2026-01-16", false, SIZE_MAX);
    ASSERT_FALSE(late.empty());
    EXPECT_EQ(late.front().startUtc.substr(0, 10), "2026-01-16");
    EXPECT_TRUE(list("2027", false, SIZE_MAX).empty());
}

// A second reservation after download #1 took 0x000005 of plan 0x0E00/3.
struct SecondCase {
    std::string name;
    bool sameDownload;
    SerialPlanKey plan;
    std::uint32_t value;
    RecordFailure::Code refused;  // kNone: recorded; kSerialConflict: see `conflict`
    SerialConflict::Kind conflict = SerialConflict::Kind::kNone;
};

using RecordStoreLedger = StoreFixture<std::tuple<Backend, SecondCase>>;

TEST_P(RecordStoreLedger, EachNumberOfAPlanIsGivenOnce) {
    const SecondCase& c = std::get<1>(GetParam());
    auto store = Open();
    RecordFailure reason;
    const std::int64_t first = Begin(*store);
    ASSERT_TRUE(store->ReserveSerial(first, kPlan, 5, nullptr, &reason)) << reason;
    const std::int64_t second = c.sameDownload ? first : Begin(*store);
    bool saved = false;
    const bool ok = store->ReserveSerial(
        second, c.plan, c.value, [&](std::string*) { return saved = true; }, &reason);
    if (c.refused == Code::kNone) {
        EXPECT_TRUE(ok) << reason;
        EXPECT_TRUE(saved);
        EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials"), 2);
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_FALSE(saved);
    EXPECT_EQ(reason.code, c.refused);
    EXPECT_EQ(reason.plan, c.plan);
    EXPECT_EQ(reason.value, c.value);
    const SerialConflict conflict = store->LastConflict();
    EXPECT_EQ(conflict.kind, c.conflict);
    if (c.conflict != SerialConflict::Kind::kNone) {
        EXPECT_EQ(conflict,
                  (SerialConflict{c.conflict, c.plan, c.value, second,
                                  c.conflict == SerialConflict::Kind::kGivenBefore ? first : 0}));
    }
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM serials"), 1);
    EXPECT_EQ(m_db.Count("SELECT download_id FROM serials"), first);
}

INSTANTIATE_TEST_SUITE_P(
    Both, RecordStoreLedger,
    ::testing::Combine(
        ::testing::Values(Backend::kSqlite, Backend::kPostgres),
        ::testing::Values(SecondCase{"same_number", false, kPlan, 5, Code::kSerialConflict,
                                     SerialConflict::Kind::kGivenBefore},
                          SecondCase{"other_address", false, {0x0E10, 3}, 5, Code::kNone},
                          SecondCase{"other_width", false, {0x0E00, 2}, 5, Code::kNone},
                          SecondCase{"next_number", false, kPlan, 6, Code::kNone},
                          SecondCase{"download_holds_one", true, kPlan, 6, Code::kSerialConflict,
                                     SerialConflict::Kind::kDownloadHoldsOne},
                          SecondCase{"too_wide_for_the_plan", false, kPlan, 0x1000000,
                                     Code::kDoesNotFit},
                          SecondCase{"width_zero", false, {0x0E00, 0}, 1, Code::kBadWidth},
                          SecondCase{"width_five", false, {0x0E00, 5}, 1, Code::kBadWidth})),
    [](const auto& param) {
        return BackendText(std::get<0>(param.param)) + "_" + std::get<1>(param.param).name;
    });

TEST_P(RecordStoreTest, AFailedSaveLeavesNoNumberBehind) {
    auto store = Open();
    const std::int64_t id = Begin(*store);
    RecordFailure reason;
    bool seenByOthers = true;
    const bool ok = store->ReserveSerial(
        id, kPlan, 7,
        [&](std::string* why) {
            // Inside the transaction: another loader does not see the number yet.
            auto other = Open();
            seenByOthers = !other || other->FindSerial(kPlan, 7, nullptr);
            *why = "config.ini: Permission denied";
            return false;
        },
        &reason);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(seenByOthers);
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kSaveRefused,
                                     .download = id,
                                     .plan = kPlan,
                                     .value = 7,
                                     .detail = "config.ini: Permission denied"}));
    EXPECT_FALSE(store->FindSerial(kPlan, 7, &reason));
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kNeverGiven, .plan = kPlan, .value = 7}));
    EXPECT_FALSE(store->Get(id, &reason)->hasSerial);
    // The number is still free, for this download too.
    EXPECT_TRUE(store->ReserveSerial(id, kPlan, 7, nullptr, &reason)) << reason;
}

TEST_P(RecordStoreTest, ARecordEndsOnceAndOnlyWithAVerdict) {
    auto store = Open();
    DownloadRecord r = Started();
    r.id = Begin(*store);
    RecordFailure reason;
    r.verdict = "running";
    EXPECT_FALSE(store->FinishDownload(r, &reason));
    EXPECT_EQ(reason,
              (RecordFailure{.code = Code::kBadVerdict, .download = r.id, .given = "running"}));
    r.verdict = "failed";
    r.failedStep = "erase";
    ASSERT_TRUE(store->FinishDownload(r, &reason)) << reason;
    r.verdict = "succeeded";
    EXPECT_FALSE(store->FinishDownload(r, &reason));
    EXPECT_EQ(reason,
              (RecordFailure{.code = Code::kAlreadyEnded, .download = 1, .detail = "failed"}));
    EXPECT_EQ(store->Get(r.id, &reason)->verdict, "failed");
    EXPECT_FALSE(store->ReserveSerial(r.id, kPlan, 1, nullptr, &reason));
    EXPECT_EQ(store->LastConflict(),
              (SerialConflict{SerialConflict::Kind::kDownloadEnded, kPlan, 1, r.id, 0}));
    EXPECT_FALSE(store->SetSerialState(r.id, SerialState::kUsedUp, &reason));
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kNoSerialHeld, .download = 1}));
    r.id = 99;
    EXPECT_FALSE(store->FinishDownload(r, &reason));
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kNoSuchDownload, .download = 99}));
}

// Each end's outcome class, beside its verdict: one of the classes, and never at odds with it.
TEST_P(RecordStoreTest, AnEndNamesItsOutcome) {
    struct Case {
        const char* verdict;
        const char* outcome;
        const char* stored;  // nullptr: refused
    };
    const Case cases[] = {
        {"succeeded", "", "succeeded"},   {"failed", "", "failed"},
        {"failed", "stopped", "stopped"}, {"failed", "interrupted", nullptr},  // a later station's
        {"failed", "succeeded", nullptr}, {"succeeded", "failed", nullptr},
        {"failed", "exploded", nullptr},
    };
    auto store = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.verdict) + "/" + c.outcome);
        DownloadRecord r = Started();
        r.id = Begin(*store);
        r.verdict = c.verdict;
        r.outcome = c.outcome;
        RecordFailure reason;
        EXPECT_EQ(store->FinishDownload(r, &reason), c.stored != nullptr) << reason;
        const DownloadRecord back = *store->Get(r.id, &reason);
        EXPECT_EQ(back.outcome, c.stored ? c.stored : "");
        if (!c.stored) {
            EXPECT_EQ(reason, (RecordFailure{.code = Code::kBadOutcome,
                                             .download = r.id,
                                             .detail = c.verdict,
                                             .given = c.outcome}));
        }
    }
}

// A record left running: listed for its station (host and config.ini), and closed as
// interrupted with its reserved number used up, once.
TEST_P(RecordStoreTest, ARecordLeftRunningIsClosedAsInterrupted) {
    auto store = Open();
    RecordFailure reason;
    DownloadRecord other = Started("bench-2");
    DownloadRecord elsewhere = Started();
    elsewhere.stationConfig = "/srv/line-2/config.ini";
    DownloadRecord reserved = Started(), written = Started(), ended = Started();
    reserved.processId = 11;
    written.processId = 12;
    const std::int64_t a = Begin(*store, reserved), b = Begin(*store, written);
    Begin(*store, other);
    Begin(*store, elsewhere);
    ended.id = Begin(*store, ended);
    ended.verdict = "failed";
    ASSERT_TRUE(store->FinishDownload(ended, &reason)) << reason;
    ASSERT_TRUE(store->ReserveSerial(a, kPlan, 1, nullptr, &reason)) << reason;
    ASSERT_TRUE(store->ReserveSerial(b, kPlan, 2, nullptr, &reason)) << reason;
    ASSERT_TRUE(store->SetSerialState(b, SerialState::kWritten, &reason)) << reason;

    EXPECT_EQ(*store->Running("bench-1", "/opt/pravune/config.ini", &reason),
              (std::vector<RunningDownload>{{a, 11, Started().bootId, {}, {}, {}},
                                            {b, 12, Started().bootId, {}, {}, {}}}));
    for (const std::int64_t id : {a, b})
        ASSERT_TRUE(store->CloseInterrupted(id, "interrupted: process gone", &reason)) << reason;
    EXPECT_EQ(store->Get(a, &reason)->statusText, "interrupted: process gone");
    EXPECT_EQ(store->Get(a, &reason)->serialState, SerialState::kUsedUp);
    EXPECT_EQ(store->Get(b, &reason)->serialState, SerialState::kWritten);  // it was written
    EXPECT_FALSE(store->CloseInterrupted(a, "again", &reason));
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kNotRunning, .download = a}));
    EXPECT_FALSE(store->CloseInterrupted(ended.id, "ended", &reason));
    EXPECT_TRUE(store->Running("bench-1", "/opt/pravune/config.ini", &reason)->empty());
}

TEST_P(RecordStoreTest, OversizedTextsAndLogsAreCutNotRefused) {
    auto store = Open();
    DownloadRecord r = Started();
    r.hexPath = std::string(kMaxRecordText + 1, 'p');
    r.id = Begin(*store, r);
    r.verdict = "failed";
    r.statusText = "x";
    for (std::size_t i = 0; i < kMaxRecordText; ++i)
        r.statusText += "\xc3\xa9";  // two bytes each; the cut falls inside one
    r.log.assign(kMaxRecordLogEntries + 5, LogEntry{"line\n", kLogBlack, false});
    RecordFailure reason;
    ASSERT_TRUE(store->FinishDownload(r, &reason)) << reason;
    const DownloadRecord back = *store->Get(r.id, &reason);
    EXPECT_EQ(back.hexPath, std::string(kMaxRecordText, 'p'));
    EXPECT_EQ(back.statusText, r.statusText.substr(0, kMaxRecordText - 1));
    // The log is bounded (the station words the cut: RecordableLog).
    ASSERT_EQ(back.log.size(), kMaxRecordLogEntries);
    EXPECT_EQ(back.log.back(), r.log[0]);
}

// The shared counter: created at the first station's number, advanced by each take, set by an
// operator's edit (recorded with the station), never giving a number twice.
TEST_P(RecordStoreTest, TheSharedCounterGivesEachNumberOnce) {
    auto store = Open();
    const CounterStation line1{"line-1", "/opt/pravune"}, line2{"line-2", "/srv/pravune"};
    RecordFailure reason;
    std::optional<SerialCounter> counter;
    ASSERT_TRUE(store->ReadCounter(kPlan, counter, &reason)) << reason;
    EXPECT_FALSE(counter);

    const auto take = [&](std::uint32_t start, std::uint32_t step, const CounterStation& at) {
        const std::int64_t id = Begin(*store);
        return store->TakeSerial(id, kPlan, start, step, at, &reason);
    };
    EXPECT_EQ(take(0x10, 1, line1), (TakenSerial{0x10, 0x11}));
    EXPECT_EQ(take(0x99, 2, line2), (TakenSerial{0x11, 0x13}));  // the counter, not the field
    ASSERT_TRUE(store->SetCounter(kPlan, 0x40, 3, line2, &reason)) << reason;
    EXPECT_EQ(take(0x10, 3, line1), (TakenSerial{0x40, 0x43}));
    ASSERT_TRUE(store->ReadCounter(kPlan, counter, &reason)) << reason;
    EXPECT_EQ(counter, (SerialCounter{0x43, 3}));

    // Set back onto a number given before: refused at the take, nothing changes.
    ASSERT_TRUE(store->SetCounter(kPlan, 0x11, 1, line1, &reason)) << reason;
    EXPECT_FALSE(take(0x10, 1, line1));
    EXPECT_EQ(store->LastConflict().kind, SerialConflict::Kind::kGivenBefore);
    EXPECT_EQ(store->LastConflict().holder, 2);
    ASSERT_TRUE(store->ReadCounter(kPlan, counter, &reason)) << reason;
    EXPECT_EQ(counter, (SerialCounter{0x11, 1}));

    // The last number of the width is given once; the counter then stays on it.
    ASSERT_TRUE(store->SetCounter(kPlan, 0xFFFFFF, 1, line1, &reason)) << reason;
    EXPECT_EQ(take(0, 1, line1), (TakenSerial{0xFFFFFF, 0x1000000}));
    EXPECT_FALSE(take(0, 1, line1));
    EXPECT_EQ(reason,
              (RecordFailure{.code = Code::kDoesNotFit, .plan = kPlan, .value = 0x1000000}));
    EXPECT_FALSE(store->SetCounter(kPlan, 0x1000000, 1, line1, &reason));

    // Every change with its station: the creation, then the three edits.
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM counter_changes"), 4);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM counter_changes WHERE old_value IS NULL AND "
                         "new_value = 16 AND station_host = 'line-1'"),
              1);
    EXPECT_EQ(m_db.Count("SELECT count(*) FROM counter_changes WHERE old_value = 19 AND "
                         "new_value = 64 AND station_host = 'line-2'"),
              1);
}

// Four stations at once, each taking 2,500 numbers of one plan from the shared counter.
TEST_P(RecordStoreTest, FourStationsTakeTenThousandDistinctNumbers) {
    constexpr int kStations = 4, kEach = 2500;
    // One station: its own connection; the number of takes that failed.
    auto station = [this](int number) {
        int failed = 0;
        RecordFailure reason;
        auto store = m_db.Open(&reason);
        const CounterStation at{"line-" + std::to_string(number), "/opt/pravune"};
        if (!store)
            std::fprintf(stderr, "station %d: %s\n", number, RecordFailureText(reason).c_str());
        for (int i = 0; store && i < kEach; ++i) {
            // How long the failed call waited tells a lock given up at the busy limit from one
            // refused at once.
            const auto began = std::chrono::steady_clock::now();
            const std::int64_t id = store->BeginDownload(Started(at.host), &reason);
            if (id == 0 || !store->TakeSerial(id, kPlan, 0, 1, at, &reason)) {
                if (++failed == 1)
                    std::fprintf(stderr, "station %d, take %d, after %lld ms: %s\n", number, i,
                                 static_cast<long long>(
                                     std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - began)
                                         .count()),
                                 RecordFailureText(reason).c_str());
            }
        }
        return store ? failed : kEach;
    };
#ifdef _WIN32
    // A thread each: SQLite locks the file between connections as between processes.
    std::vector<int> failed(kStations, -1);
    std::vector<std::thread> threads;
    for (int s = 0; s < kStations; ++s)
        threads.emplace_back([&, s] { failed[static_cast<std::size_t>(s)] = station(s); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failed, std::vector<int>(kStations, 0));
#else
    std::vector<pid_t> children;
    for (int s = 0; s < kStations; ++s) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            ::_exit(station(s) == 0 ? 0 : 1);
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
#endif
    EXPECT_EQ(m_db.Count("SELECT count(DISTINCT value) FROM serials"), kStations * kEach);
    EXPECT_EQ(m_db.Count("SELECT max(value) FROM serials"), kStations * kEach - 1);
    EXPECT_EQ(m_db.Count("SELECT next_value FROM serial_counters"), kStations * kEach);
    EXPECT_EQ(m_db.Count("SELECT count(DISTINCT station_host) FROM downloads"), kStations);
}

// A station that hangs inside its transaction holds the counter: another station's take gives
// up at the server's lock timeout, records nothing, and takes the number once it is free.
// The store on the test server, for what only a server does.
class PostgresStore : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_DATABASE(db);
        store = db.Open(&reason);
        ASSERT_TRUE(store) << reason;
    }
    TestDatabase db{Backend::kPostgres};
    RecordFailure reason;
    std::unique_ptr<RecordStore> store;
};

TEST_F(PostgresStore, ATakeBlockedByAHungStationGivesUpAndLeavesNothing) {
    const CounterStation at{"line-1", "/opt/pravune"};
    ASSERT_TRUE(store->SetCounter(kPlan, 0x20, 1, at, &reason)) << reason;
    auto hung = db.Raw();
    ASSERT_TRUE(hung->Begin(true).ok());
    ASSERT_TRUE(hung->Run("SELECT next_value FROM serial_counters FOR UPDATE").ok());

    const std::int64_t id = store->BeginDownload(Started(), &reason);
    EXPECT_FALSE(store->TakeSerial(id, kPlan, 0, 1, at, &reason));
    EXPECT_EQ(reason.code, Code::kDatabase);
    EXPECT_EQ(reason.action, RecordFailure::Action::kTakeNumber);
    EXPECT_NE(reason.detail.find("lock timeout"), std::string::npos) << reason;
    EXPECT_EQ(db.Count("SELECT count(*) FROM serials"), 0);
    hung->Rollback();
    EXPECT_EQ(store->TakeSerial(id, kPlan, 0, 1, at, &reason), (TakenSerial{0x20, 0x21})) << reason;
}

// The connection lost inside a transaction: nothing of it is kept, and the next call
// reconnects by itself.
TEST_F(PostgresStore, AConnectionLostInsideATransactionReconnectsAfterIt) {
    const std::int64_t id = store->BeginDownload(Started(), &reason);
    auto other = db.Raw();
    const bool ok = store->ReserveSerial(
        id, kPlan, 9,
        [&](std::string*) {
            return other
                ->Run(
                    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                    "application_name = 'pravune-loader' AND pid <> pg_backend_pid() AND "
                    "datname = current_database()")
                .ok();
        },
        &reason);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(store->LostConnection()) << reason;
    EXPECT_FALSE(store->FindSerial(kPlan, 9, &reason));
    EXPECT_EQ(reason, (RecordFailure{.code = Code::kNeverGiven, .plan = kPlan, .value = 9}));
    EXPECT_TRUE(store->ReserveSerial(id, kPlan, 9, nullptr, &reason)) << reason;
}

// The store the stations of one process share: a call waits for a connection at most the
// store's wait, then fails as a lost connection (the download refused, or its write kept for
// later), and gets one once it is free again.
TEST_P(RecordStoreTest, ASharedStoreWaitsABoundedTimeForItsConnection) {
    SharedRecordStore shared(m_db.configPath(), {1, std::chrono::milliseconds(200)});
    RecordFailure reason, inner;
    auto holder = shared.Handle(&reason), waiter = shared.Handle(&reason);
    ASSERT_TRUE(holder && waiter) << reason;
    EXPECT_EQ(waiter->Where(), ChooseDatabase(m_db.configPath()).name);
    const std::int64_t id = holder->BeginDownload(Started(), &reason);
    std::chrono::steady_clock::duration waited{};
    ASSERT_TRUE(holder->ReserveSerial(
        id, kPlan, 7,
        [&](std::string*) {
            const auto started = std::chrono::steady_clock::now();
            EXPECT_EQ(waiter->BeginDownload(Started(), &inner), 0);
            waited = std::chrono::steady_clock::now() - started;
            return true;
        },
        &reason))
        << reason;
    EXPECT_TRUE(waiter->LostConnection());
    EXPECT_EQ(inner,
              (RecordFailure{
                  .code = Code::kNoConnectionFree, .count = 200, .where = shared.Choice().name}));
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_GT(waiter->BeginDownload(Started(), &reason), 0) << reason;
    EXPECT_FALSE(waiter->LostConnection());
    EXPECT_EQ(shared.MostConnections(), 1u);
}

// A pooled connection the server ended is closed, and the pool's next call opens another.
TEST_F(PostgresStore, ASharedStoreReplacesAConnectionTheServerEnded) {
    SharedRecordStore shared(db.configPath());
    auto handle = shared.Handle(&reason);
    ASSERT_TRUE(handle) << reason;
    ASSERT_TRUE(db.Raw()
                    ->Run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                          "application_name = 'pravune-loader' AND pid <> pg_backend_pid() AND "
                          "datname = current_database()")
                    .ok());
    if (handle->BeginDownload(Started(), &reason) == 0) {
        EXPECT_TRUE(handle->LostConnection()) << reason;
    }
    EXPECT_GT(handle->BeginDownload(Started(), &reason), 0) << reason;
    EXPECT_EQ(shared.Connections(), 1u);
}

// A server out of reach, silent or named wrongly: a bounded wait, a reason that says why, and
// never the password.
struct UnreachableCase {
    std::string name;
    std::string connection;  // "SILENT" stands for a socket folder where nothing answers
    Code code;
    const char* detail;  // the start of libpq's message
    RecordFailure::Lapse lapse = RecordFailure::Lapse::kNone;
};

class PostgresUnreachable : public ::testing::TestWithParam<UnreachableCase> {};

TEST_P(PostgresUnreachable, RefusesWithinItsTimeoutWithoutThePassword) {
    if (!PostgresBuiltIn())
        GTEST_SKIP() << "built without PostgreSQL";
#ifndef _WIN32
    TempDir dir;
    // A socket that takes connections and never says a word, as a hung server does.
    const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = dir.File(".s.PGSQL.5432");
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    std::string connection = GetParam().connection;
    if (const std::size_t at = connection.find("SILENT"); at != std::string::npos)
        connection.replace(at, 6, dir.path());

    RecordFailure reason;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(sql::OpenPostgres(connection, &reason));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));  // no hang
    ::close(silent);
    EXPECT_EQ(reason.code, GetParam().code);
    EXPECT_EQ(reason.detail.rfind(GetParam().detail, 0), 0u) << reason;
    EXPECT_EQ(reason.lapse, GetParam().lapse);
    EXPECT_EQ(reason.detail.find("s3cret"), std::string::npos) << reason;
    EXPECT_EQ(PostgresName(connection).find("s3cret"), std::string::npos);
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Postgres, PostgresUnreachable,
    ::testing::Values(
        UnreachableCase{"no_server", "host=/nonexistent dbname=x password=s3cret",
                        Code::kConnection,
                        "connection to server on socket \"/nonexistent/.s.PGSQL.5432\" failed"},
        UnreachableCase{"address_form", "postgresql://station:s3cret@/x?host=/nonexistent",
                        Code::kConnection,
                        "connection to server on socket \"/nonexistent/.s.PGSQL.5432\" failed"},
        UnreachableCase{"unreadable", "host='/tmp password=s3cret", Code::kConnectionString, ""},
        UnreachableCase{"silent_server", "host=SILENT dbname=x connect_timeout=2 password=s3cret",
                        Code::kConnection, "", RecordFailure::Lapse::kNoConnection}),
    CaseName());

// ---- Opening and migrating a SQLite file ----

// Raw SQL on a record file, as another tool (or an older or newer loader) would do it.
struct RawDb {
    explicit RawDb(const std::string& path) { sqlite3_open(path.c_str(), &db); }
    ~RawDb() { sqlite3_close(db); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;
    bool Exec(const std::string& sql) {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    std::int64_t Count(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        std::int64_t n = -1;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            n = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return n;
    }
    sqlite3* db = nullptr;
};

struct OpenCase {
    std::string name;
    std::function<void(const std::string& path)> prepare;
    // kNone: opens at the newest version; else the refusal, with its version or message.
    Code refusal = Code::kNone;
    std::int64_t count = 0;
    std::string detail{};
};

class RecordStoreOpen : public ::testing::TestWithParam<OpenCase> {
  protected:
    TempDir m_dir;
    std::string m_path = m_dir.File("records.sqlite");
};

TEST_P(RecordStoreOpen, MigratesOwnFilesAndLeavesOthersAlone) {
    const OpenCase& c = GetParam();
    if (c.prepare)
        c.prepare(m_path);
    const std::string before = ReadBytes(m_path);
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(m_path, &reason);
    if (c.refusal != Code::kNone) {
        EXPECT_FALSE(store);
        EXPECT_EQ(reason,
                  (RecordFailure{
                      .code = c.refusal, .count = c.count, .where = m_path, .detail = c.detail}));
        EXPECT_EQ(ReadBytes(m_path), before);
        EXPECT_FALSE(std::filesystem::exists(m_path + "-wal"));
        return;
    }
    ASSERT_TRUE(store) << reason;
    EXPECT_EQ(store->SchemaVersion(), NewestRecordSchemaVersion());
    EXPECT_GT(store->BeginDownload(Started(), &reason), 0) << reason;
    RawDb raw(m_path);
    EXPECT_EQ(raw.Count("PRAGMA user_version"), NewestRecordSchemaVersion());
    EXPECT_EQ(raw.Count("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), 5);
}

const std::string kNewer = std::to_string(NewestRecordSchemaVersion() + 1);

INSTANTIATE_TEST_SUITE_P(
    RecordStore, RecordStoreOpen,
    ::testing::Values(
        OpenCase{"no_file", nullptr},
        OpenCase{"empty_file", [](const std::string& p) { std::ofstream{p}; }},
        OpenCase{"version_0_without_tables",
                 [](const std::string& p) { RawDb(p).Exec("CREATE TABLE t (x); DROP TABLE t"); }},
        OpenCase{"opened_before",
                 [](const std::string& p) { (void)OpenSqliteRecordStore(p, nullptr); }},
        OpenCase{"newer_loader",
                 [](const std::string& p) {
                     RawDb(p).Exec("CREATE TABLE downloads (id); PRAGMA user_version = " + kNewer);
                 },
                 Code::kNewerLayout, NewestRecordSchemaVersion() + 1},
        OpenCase{"another_programs_tables",
                 [](const std::string& p) { RawDb(p).Exec("CREATE TABLE invoices (x)"); },
                 Code::kForeignTables},
        OpenCase{"not_a_database",
                 [](const std::string& p) {
                     std::ofstream(p) << "[SETTING]\nSN_Start=0001\n" << std::string(600, ' ');
                 },
                 Code::kUnopened, 0, "file is not a database"}),
    CaseName());

// The counter's home follows from config.ini alone: PRAVUNE_DATABASE may name only the server
// config.ini names.
TEST(RecordStorePaths, TheEnvironmentMovesNoCounter) {
    struct Case {
        const char* database;     // config.ini's [DATABASE] Connection, or null
        const char* environment;  // PRAVUNE_DATABASE, or null
        const char* connection;   // what is opened: "" for records.sqlite; null when refused
    };
    const Case cases[] = {
        {nullptr, "", ""},
        {"host=db.line dbname=pravune", nullptr, "host=db.line dbname=pravune"},
        // The same server for a script, under another role.
        {"host=db.line dbname=pravune", "host=db.line dbname=pravune user=script",
         "host=db.line dbname=pravune user=script"},
        // A second ledger beside config.ini's: refused.
        {nullptr, "host=db.line dbname=pravune", nullptr},
        {"host=db.line dbname=pravune", "host=db.other dbname=pravune", nullptr},
        {"host=db.line dbname=pravune", "host=db.line dbname=pravune port=5433", nullptr},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string config = dir.Write(
            "config.ini", c.database ? std::string("[DATABASE]\nConnection=") + c.database : "");
        const DatabaseChoice choice = ChooseDatabase(config, c.environment);
        SCOPED_TRACE(std::string(c.database ? c.database : "-") + " / " +
                     (c.environment ? c.environment : "-"));
        if (!c.connection && !PostgresBuiltIn() && c.database)
            continue;  // without libpq every server has one name
        EXPECT_EQ(choice.problem.ok(), c.connection != nullptr) << choice.problem;
        if (c.connection) {
            EXPECT_EQ(choice.connection, c.connection);
        } else {
            RecordFailure reason;
            EXPECT_FALSE(OpenChosenRecordStore(choice, config, &reason));
            EXPECT_EQ(reason, choice.problem);
            EXPECT_FALSE(os_files::FileExists(dir.File("records.sqlite")));
        }
    }
}

// ---- Files and servers of older loaders ----

// The layouts loader 0.1.0 wrote, as it wrote them: version 1, then version 2.
constexpr const char* kOldLayouts[] = {
    R"sql(
CREATE TABLE downloads (
    id {identity}, start_utc TEXT NOT NULL, end_utc TEXT,
    station_host TEXT NOT NULL DEFAULT '', station_folder TEXT NOT NULL DEFAULT '',
    loader_version TEXT NOT NULL DEFAULT '', hex_path TEXT NOT NULL DEFAULT '',
    image_sha256 TEXT NOT NULL DEFAULT '', image_start BIGINT NOT NULL DEFAULT 0,
    image_end BIGINT NOT NULL DEFAULT 0, format TEXT NOT NULL DEFAULT '',
    module_uid TEXT NOT NULL DEFAULT '', port_path TEXT NOT NULL DEFAULT '',
    verdict TEXT NOT NULL DEFAULT 'running' CHECK (verdict IN ('running', 'succeeded', 'failed')),
    failed_step TEXT NOT NULL DEFAULT '', status_text TEXT NOT NULL DEFAULT '',
    duration_ms BIGINT NOT NULL DEFAULT 0);
CREATE INDEX downloads_by_start ON downloads (start_utc);
CREATE TABLE download_log (
    download_id BIGINT NOT NULL REFERENCES downloads (id), seq BIGINT NOT NULL,
    text TEXT NOT NULL, color BIGINT NOT NULL,
    time_stamp INTEGER NOT NULL CHECK (time_stamp IN (0, 1)), PRIMARY KEY (download_id, seq));
CREATE TABLE serials (
    address BIGINT NOT NULL, width INTEGER NOT NULL CHECK (width BETWEEN 1 AND 4),
    value BIGINT NOT NULL, state TEXT NOT NULL CHECK (state IN ('reserved', 'written', 'used_up')),
    download_id BIGINT NOT NULL UNIQUE REFERENCES downloads (id), reserved_utc TEXT NOT NULL,
    UNIQUE (address, width, value));
)sql",
    R"sql(
CREATE TABLE serial_counters (
    address BIGINT NOT NULL, width INTEGER NOT NULL CHECK (width BETWEEN 1 AND 4),
    next_value BIGINT NOT NULL, step BIGINT NOT NULL, PRIMARY KEY (address, width));
CREATE TABLE counter_changes (
    id {identity}, address BIGINT NOT NULL, width INTEGER NOT NULL, old_value BIGINT,
    new_value BIGINT NOT NULL, step BIGINT NOT NULL, station_host TEXT NOT NULL DEFAULT '',
    station_folder TEXT NOT NULL DEFAULT '', changed_utc TEXT NOT NULL);
)sql"};

// What loader 0.1.0 recorded: a download that succeeded, with its log and number, and one it
// left running.
constexpr const char* kOldRecords = R"sql(
INSERT INTO downloads (start_utc, end_utc, station_host, station_folder, loader_version, hex_path,
                       verdict, failed_step, status_text)
VALUES ('2026-01-01T08:00:00.000Z', '2026-01-01T08:00:04.000Z', 'line-1', '/usr/bin', '0.1.0',
        'fw/app.hex', 'succeeded', '', 'BT: Run device -- OK'),
       ('2026-01-01T08:01:00.000Z', NULL, 'line-1', '/usr/bin', '0.1.0', 'fw/app.hex', 'running',
        '', '');
INSERT INTO download_log (download_id, seq, text, color, time_stamp)
VALUES (1, 0, 'Handshake ... ', 0, 1), (1, 1, 'Done', 32768, 0);
INSERT INTO serials (address, width, value, state, download_id, reserved_utc)
VALUES (3840, 3, 5, 'written', 1, '2026-01-01T08:00:02.000Z');
)sql";

using RecordStoreOlderLayout = StoreFixture<std::tuple<Backend, int>>;

TEST_P(RecordStoreOlderLayout, ItsRecordsReadAndEndAfterTheMigration) {
    const int version = std::get<1>(GetParam());
    {
        auto raw = m_db.Raw();
        ASSERT_TRUE(raw);
        for (int v = 0; v < version; ++v) {
            std::string layout = kOldLayouts[v];
            for (std::size_t at; (at = layout.find("{identity}")) != std::string::npos;)
                layout.replace(at, 10, raw->Sql().identity);
            ASSERT_TRUE(raw->Script(layout).ok());
        }
        ASSERT_TRUE(raw->Script(kOldRecords).ok());
        ASSERT_TRUE(raw->SetLayoutVersion(version).ok());
    }
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->SchemaVersion(), NewestRecordSchemaVersion());
    RecordFailure reason;
    const DownloadRecord old = *store->Get(1, &reason);
    EXPECT_EQ(old.outcome, "succeeded");
    EXPECT_EQ(old.serialValue, 5u);
    // Its stamps were never kept: the entries say they had one, with no text.
    EXPECT_EQ(old.log, (std::vector<LogEntry>{{"Handshake ... ", kLogBlack, true, ""},
                                              {"Done", kLogGreen, false, ""}}));
    // The one it left running: no process to tell is gone, so never closed by a station; it
    // can still be ended, and now keeps its stamps.
    EXPECT_TRUE(store->Running("line-1", "", &reason)->size() == 1);
    DownloadRecord running = *store->Get(2, &reason);
    running.verdict = "failed";
    running.outcome = "stopped";
    running.log = {{"Erase ... ", kLogBlack, true, "08:01:02:345 > "}};
    ASSERT_TRUE(store->FinishDownload(running, &reason)) << reason;
    EXPECT_EQ(store->Get(2, &reason)->log, running.log);
    // The old number stays given.
    EXPECT_FALSE(store->ReserveSerial(Begin(*store), {3840, 3}, 5, nullptr, &reason));
}

INSTANTIATE_TEST_SUITE_P(Both, RecordStoreOlderLayout,
                         ::testing::Combine(::testing::Values(Backend::kSqlite, Backend::kPostgres),
                                            ::testing::Values(1, 2)),
                         [](const auto& param) {
                             return BackendText(std::get<0>(param.param)) + "_layout_" +
                                    std::to_string(std::get<1>(param.param));
                         });

TEST(RecordStorePaths, BesideConfigIni) {
    EXPECT_EQ(RecordStorePathFor("/opt/pravune/config.ini"), "/opt/pravune/records.sqlite");
    EXPECT_EQ(RecordStorePathFor("config.ini"), "records.sqlite");
#ifdef _WIN32
    EXPECT_EQ(RecordStorePathFor("C:\\Line 1\\config.ini"), "C:\\Line 1\\records.sqlite");
#endif
    EXPECT_EQ(RecordStorePathFor(""), "");
#ifndef _WIN32
    // Through a link, beside its target (which need not exist yet), as the lock is.
    TempDir a, b;
    ASSERT_EQ(::symlink(b.File("config.ini").c_str(), a.File("config.ini").c_str()), 0);
    EXPECT_EQ(RecordStorePathFor(a.File("config.ini")), b.File("records.sqlite"));
    ASSERT_EQ(::symlink("line/real.ini", a.File("relative.ini").c_str()), 0);
    EXPECT_EQ(RecordStorePathFor(a.File("relative.ini")), a.File("line/records.sqlite"));
#endif
    RecordFailure reason;
    EXPECT_FALSE(OpenSqliteRecordStore("", &reason));
    EXPECT_EQ(reason.code, Code::kNoFile);
    // The shape of 2026-12-07T16:42:04.123Z, digits as 9.
    std::string shape = UtcNowIso();
    std::replace_if(
        shape.begin(), shape.end(), [](unsigned char c) { return std::isdigit(c) != 0; }, '9');
    EXPECT_EQ(shape, "9999-99-99T99:99:99.999Z");
}

}  // namespace
