#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <string_view>

#include "ledger/record_store.h"
#include "ledger/sqlite_db.h"

namespace {

using sqlite::Statement;
using sqlite::Transaction;

// The record's layout, one step per version: step i brings a file from version i to i + 1.
// The version is kept in PRAGMA user_version. Steps are only ever added, never changed.
constexpr std::array<const char*, 1> kMigrations = {
    R"sql(
CREATE TABLE downloads (
    id             INTEGER PRIMARY KEY,
    start_utc      TEXT NOT NULL,
    end_utc        TEXT,
    station_host   TEXT NOT NULL DEFAULT '',
    station_folder TEXT NOT NULL DEFAULT '',
    loader_version TEXT NOT NULL DEFAULT '',
    hex_path       TEXT NOT NULL DEFAULT '',
    image_sha256   TEXT NOT NULL DEFAULT '',
    image_start    INTEGER NOT NULL DEFAULT 0,
    image_end      INTEGER NOT NULL DEFAULT 0,
    format         TEXT NOT NULL DEFAULT '',
    module_uid     TEXT NOT NULL DEFAULT '',
    port_path      TEXT NOT NULL DEFAULT '',
    verdict        TEXT NOT NULL DEFAULT 'running'
                   CHECK (verdict IN ('running', 'succeeded', 'failed')),
    failed_step    TEXT NOT NULL DEFAULT '',
    status_text    TEXT NOT NULL DEFAULT '',
    duration_ms    INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX downloads_by_start ON downloads (start_utc);

CREATE TABLE download_log (
    download_id INTEGER NOT NULL REFERENCES downloads (id),
    seq         INTEGER NOT NULL,
    text        TEXT NOT NULL,
    color       INTEGER NOT NULL,
    time_stamp  INTEGER NOT NULL CHECK (time_stamp IN (0, 1)),
    PRIMARY KEY (download_id, seq)
);

CREATE TABLE serials (
    address      INTEGER NOT NULL,
    width        INTEGER NOT NULL CHECK (width BETWEEN 1 AND 4),
    value        INTEGER NOT NULL,
    state        TEXT NOT NULL CHECK (state IN ('reserved', 'written', 'used_up')),
    download_id  INTEGER NOT NULL UNIQUE REFERENCES downloads (id),
    reserved_utc TEXT NOT NULL,
    UNIQUE (address, width, value)
);
)sql",
};

constexpr int kNewestVersion = static_cast<int>(kMigrations.size());

void SetReason(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}

std::string Format(const char* pattern, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

std::string PlanText(SerialPlanKey plan) {
    return Format("0x%04X/%d", static_cast<unsigned>(plan.address), plan.width);
}

std::string NumberText(SerialPlanKey plan, std::uint32_t value) {
    return Format("serial number 0x%0*X of plan ", plan.width * 2, static_cast<unsigned>(value)) +
           PlanText(plan);
}

std::optional<SerialState> ParseState(std::string_view text) {
    for (SerialState state : {SerialState::kReserved, SerialState::kWritten, SerialState::kUsedUp})
        if (text == SerialStateText(state))
            return state;
    return std::nullopt;
}

// `text` cut to kMaxRecordText bytes, never inside a UTF-8 sequence.
std::string_view Bounded(std::string_view text) {
    if (text.size() <= kMaxRecordText)
        return text;
    std::size_t end = kMaxRecordText;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

constexpr const char* kSelectRecord = R"sql(
SELECT d.id, d.start_utc, d.end_utc, d.station_host, d.station_folder, d.loader_version,
       d.hex_path, d.image_sha256, d.image_start, d.image_end, d.format, d.module_uid,
       d.port_path, d.verdict, d.failed_step, d.status_text, d.duration_ms,
       s.address, s.width, s.value, s.state
FROM downloads AS d LEFT JOIN serials AS s ON s.download_id = d.id
)sql";

class SqliteRecordStore final : public RecordStore {
  public:
    SqliteRecordStore(sqlite::DbPtr db, int version) : m_db(std::move(db)), m_version(version) {}

    std::int64_t BeginDownload(const DownloadRecord& record, std::string* reason) override;
    bool ReserveSerial(std::int64_t downloadId, SerialPlanKey plan, std::uint32_t value,
                       const std::function<bool(std::string* reason)>& alsoSave,
                       std::string* reason) override;
    bool SetSerialState(std::int64_t downloadId, SerialState state, std::string* reason) override;
    bool FinishDownload(const DownloadRecord& record, std::string* reason) override;
    std::optional<DownloadRecord> Get(std::int64_t id, std::string* reason) override;
    std::optional<std::vector<DownloadRecord>> Since(const std::string& startUtc,
                                                     std::size_t maxRecords,
                                                     std::string* reason) override;
    std::optional<SerialEntry> FindSerial(SerialPlanKey plan, std::uint32_t value,
                                          std::string* reason) override;
    int SchemaVersion() const override { return m_version; }

  private:
    sqlite3* Db() const { return m_db.get(); }
    bool Fail(std::string* reason, std::string_view what) const {
        SetReason(reason, sqlite::Error(Db(), what));
        return false;
    }
    // Inside a transaction: the verdict of download `id`, or nothing with the reason.
    std::optional<std::string> Verdict(std::int64_t id, std::string* reason);
    // The record on the current row of a kSelectRecord query, with its log.
    bool ReadRecord(const Statement& row, DownloadRecord& record, std::string* reason);

    sqlite::DbPtr m_db;
    int m_version;
};

std::int64_t SqliteRecordStore::BeginDownload(const DownloadRecord& record, std::string* reason) {
    Transaction transaction(Db());
    if (transaction.Begin(Transaction::Kind::kWrite, kRecordBusyTimeout) != SQLITE_OK) {
        Fail(reason, "cannot start the download's record");
        return 0;
    }
    Statement insert(Db(), R"sql(
INSERT INTO downloads (start_utc, station_host, station_folder, loader_version, hex_path,
                       image_sha256, image_start, image_end, format, module_uid, port_path)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?))sql");
    insert.Bind(Bounded(record.startUtc.empty() ? UtcNowIso() : record.startUtc))
        .Bind(Bounded(record.stationHost))
        .Bind(Bounded(record.stationFolder))
        .Bind(Bounded(record.loaderVersion))
        .Bind(Bounded(record.hexPath))
        .Bind(Bounded(record.imageSha256))
        .Bind(std::int64_t{record.imageStart})
        .Bind(std::int64_t{record.imageEnd})
        .Bind(Bounded(record.format))
        .Bind(Bounded(record.moduleUid))
        .Bind(Bounded(record.portPath));
    if (insert.Step() != SQLITE_DONE) {
        Fail(reason, "cannot start the download's record");
        return 0;
    }
    const std::int64_t id = sqlite3_last_insert_rowid(Db());
    if (transaction.Commit(kRecordBusyTimeout) != SQLITE_OK) {
        Fail(reason, "cannot start the download's record");
        return 0;
    }
    return id;
}

std::optional<std::string> SqliteRecordStore::Verdict(std::int64_t id, std::string* reason) {
    Statement query(Db(), "SELECT verdict FROM downloads WHERE id = ?");
    query.Bind(id);
    const int status = query.Step();
    if (status == SQLITE_ROW)
        return query.Text(0);
    if (status == SQLITE_DONE)
        SetReason(reason, "there is no download #" + std::to_string(id));
    else
        Fail(reason, "cannot read download #" + std::to_string(id));
    return std::nullopt;
}

bool SqliteRecordStore::ReserveSerial(std::int64_t downloadId, SerialPlanKey plan,
                                      std::uint32_t value,
                                      const std::function<bool(std::string* reason)>& alsoSave,
                                      std::string* reason) {
    if (plan.width < 1 || plan.width > 4) {
        SetReason(reason, "a serial number takes 1 to 4 bytes, not " + std::to_string(plan.width));
        return false;
    }
    if (plan.width < 4 && value >> (8 * plan.width) != 0) {
        SetReason(reason, Format("serial number 0x%X does not fit in %d bytes",
                                 static_cast<unsigned>(value), plan.width));
        return false;
    }
    const std::string number = NumberText(plan, value);
    Transaction transaction(Db());
    if (transaction.Begin(Transaction::Kind::kWrite, kRecordBusyTimeout) != SQLITE_OK)
        return Fail(reason, "cannot record " + number);
    const std::optional<std::string> verdict = Verdict(downloadId, reason);
    if (!verdict)
        return false;
    if (*verdict != "running") {
        SetReason(reason, "download #" + std::to_string(downloadId) + " has already ended");
        return false;
    }

    Statement insert(Db(), R"sql(
INSERT INTO serials (address, width, value, state, download_id, reserved_utc)
VALUES (?, ?, ?, 'reserved', ?, ?))sql");
    insert.Bind(std::int64_t{plan.address})
        .Bind(std::int64_t{plan.width})
        .Bind(std::int64_t{value})
        .Bind(downloadId)
        .Bind(UtcNowIso());
    const int status = insert.Step();
    if (status == SQLITE_CONSTRAINT_UNIQUE) {
        // Which of the two rules: the number is taken, or the download holds another one.
        Statement owner(Db(),
                        "SELECT download_id FROM serials WHERE address = ? AND width = ? AND "
                        "value = ?");
        owner.Bind(std::int64_t{plan.address})
            .Bind(std::int64_t{plan.width})
            .Bind(std::int64_t{value});
        if (owner.Step() == SQLITE_ROW) {
            SetReason(reason,
                      number + " was already given to download #" + std::to_string(owner.Int(0)));
            return false;
        }
        SetReason(reason, "download #" + std::to_string(downloadId) +
                              " already holds a serial number; " + number + " was not recorded");
        return false;
    }
    if (status != SQLITE_DONE)
        return Fail(reason, "cannot record " + number);

    if (alsoSave) {
        std::string saveReason;
        if (!alsoSave(&saveReason)) {
            SetReason(reason, saveReason.empty() ? number +
                                                       " was not recorded: the counter "
                                                       "could not be saved"
                                                 : saveReason);
            return false;
        }
    }
    if (transaction.Commit(kRecordBusyTimeout) != SQLITE_OK)
        return Fail(reason, "cannot record " + number);
    return true;
}

bool SqliteRecordStore::SetSerialState(std::int64_t downloadId, SerialState state,
                                       std::string* reason) {
    Transaction transaction(Db());
    if (transaction.Begin(Transaction::Kind::kWrite, kRecordBusyTimeout) != SQLITE_OK)
        return Fail(reason, "cannot change the serial number's state");
    Statement update(Db(), "UPDATE serials SET state = ? WHERE download_id = ?");
    update.Bind(SerialStateText(state)).Bind(downloadId);
    if (update.Step() != SQLITE_DONE)
        return Fail(reason, "cannot change the serial number's state");
    if (sqlite3_changes(Db()) == 0) {
        SetReason(reason, "download #" + std::to_string(downloadId) + " holds no serial number");
        return false;
    }
    if (transaction.Commit(kRecordBusyTimeout) != SQLITE_OK)
        return Fail(reason, "cannot change the serial number's state");
    return true;
}

bool SqliteRecordStore::FinishDownload(const DownloadRecord& record, std::string* reason) {
    if (record.verdict != "succeeded" && record.verdict != "failed") {
        SetReason(reason, "a download ends as succeeded or failed, not \"" +
                              std::string(Bounded(record.verdict)) + "\"");
        return false;
    }
    const std::string what = "cannot end the record of download #" + std::to_string(record.id);
    Transaction transaction(Db());
    if (transaction.Begin(Transaction::Kind::kWrite, kRecordBusyTimeout) != SQLITE_OK)
        return Fail(reason, what);
    const std::optional<std::string> verdict = Verdict(record.id, reason);
    if (!verdict)
        return false;
    if (*verdict != "running") {
        SetReason(reason, "download #" + std::to_string(record.id) + " has already ended (" +
                              *verdict + ")");
        return false;
    }

    Statement update(Db(), R"sql(
UPDATE downloads SET end_utc = ?, verdict = ?, failed_step = ?, status_text = ?,
                     duration_ms = ?, module_uid = ?, port_path = ?
WHERE id = ?)sql");
    update.Bind(Bounded(record.endUtc.empty() ? UtcNowIso() : record.endUtc))
        .Bind(record.verdict)
        .Bind(Bounded(record.failedStep))
        .Bind(Bounded(record.statusText))
        .Bind(record.durationMs)
        .Bind(Bounded(record.moduleUid))
        .Bind(Bounded(record.portPath))
        .Bind(record.id);
    if (update.Step() != SQLITE_DONE)
        return Fail(reason, what);

    Statement insert(Db(), R"sql(
INSERT INTO download_log (download_id, seq, text, color, time_stamp) VALUES (?, ?, ?, ?, ?))sql");
    // A log too long keeps its first entries and says how many it lost.
    const bool cut = record.log.size() > kMaxRecordLogEntries;
    const std::size_t kept = cut ? kMaxRecordLogEntries - 1 : record.log.size();
    // Appended rather than concatenated: GCC 12 at -O3 warns wrongly (-Wrestrict) on the latter.
    LogEntry lost{std::to_string(record.log.size() - kept), kLogRed, false};
    lost.text.insert(0, 1, '(');
    lost.text.append(" more log entries were not recorded)\n");
    for (std::size_t i = 0; i < kept + (cut ? 1 : 0); ++i) {
        const LogEntry* entry = i < kept ? &record.log[i] : &lost;
        insert.Reset();
        insert.Bind(record.id)
            .Bind(static_cast<std::int64_t>(i))
            .Bind(Bounded(entry->text))
            .Bind(std::int64_t{entry->color})
            .Bind(std::int64_t{entry->timeStamp ? 1 : 0});
        if (insert.Step() != SQLITE_DONE)
            return Fail(reason, what);
    }
    if (transaction.Commit(kRecordBusyTimeout) != SQLITE_OK)
        return Fail(reason, what);
    return true;
}

bool SqliteRecordStore::ReadRecord(const Statement& row, DownloadRecord& record,
                                   std::string* reason) {
    record.id = row.Int(0);
    record.startUtc = row.Text(1);
    record.endUtc = row.Text(2);
    record.stationHost = row.Text(3);
    record.stationFolder = row.Text(4);
    record.loaderVersion = row.Text(5);
    record.hexPath = row.Text(6);
    record.imageSha256 = row.Text(7);
    record.imageStart = static_cast<std::uint32_t>(row.Int(8));
    record.imageEnd = static_cast<std::uint32_t>(row.Int(9));
    record.format = row.Text(10);
    record.moduleUid = row.Text(11);
    record.portPath = row.Text(12);
    record.verdict = row.Text(13);
    record.failedStep = row.Text(14);
    record.statusText = row.Text(15);
    record.durationMs = row.Int(16);
    record.hasSerial = !row.IsNull(17);
    if (record.hasSerial) {
        record.serialPlan = {static_cast<std::uint32_t>(row.Int(17)),
                             static_cast<int>(row.Int(18))};
        record.serialValue = static_cast<std::uint32_t>(row.Int(19));
        const std::optional<SerialState> state = ParseState(row.Text(20));
        if (!state) {
            SetReason(reason, "download #" + std::to_string(record.id) +
                                  " has a serial number in an unknown state");
            return false;
        }
        record.serialState = *state;
    }

    Statement log(Db(),
                  "SELECT text, color, time_stamp FROM download_log WHERE download_id = ? "
                  "ORDER BY seq LIMIT ?");
    log.Bind(record.id).Bind(static_cast<std::int64_t>(kMaxRecordLogEntries));
    int status;
    while ((status = log.Step()) == SQLITE_ROW)
        record.log.push_back(
            {log.Text(0), static_cast<std::uint32_t>(log.Int(1)), log.Int(2) != 0});
    if (status != SQLITE_DONE)
        return Fail(reason, "cannot read the log of download #" + std::to_string(record.id));
    return true;
}

std::optional<DownloadRecord> SqliteRecordStore::Get(std::int64_t id, std::string* reason) {
    Transaction transaction(Db());
    if (transaction.Begin(Transaction::Kind::kRead, kRecordBusyTimeout) != SQLITE_OK) {
        Fail(reason, "cannot read download #" + std::to_string(id));
        return std::nullopt;
    }
    Statement query(Db(), std::string(kSelectRecord) + "WHERE d.id = ?");
    query.Bind(id);
    const int status = query.Step();
    if (status == SQLITE_DONE) {
        SetReason(reason, "there is no download #" + std::to_string(id));
        return std::nullopt;
    }
    if (status != SQLITE_ROW) {
        Fail(reason, "cannot read download #" + std::to_string(id));
        return std::nullopt;
    }
    DownloadRecord record;
    if (!ReadRecord(query, record, reason))
        return std::nullopt;
    return record;
}

std::optional<std::vector<DownloadRecord>> SqliteRecordStore::Since(const std::string& startUtc,
                                                                    std::size_t maxRecords,
                                                                    std::string* reason) {
    Transaction transaction(Db());
    if (transaction.Begin(Transaction::Kind::kRead, kRecordBusyTimeout) != SQLITE_OK) {
        Fail(reason, "cannot read the downloads");
        return std::nullopt;
    }
    Statement query(Db(), std::string(kSelectRecord) +
                              "WHERE d.start_utc >= ? ORDER BY d.start_utc, d.id LIMIT ?");
    const std::size_t limit = std::min<std::size_t>(
        maxRecords, static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()));
    query.Bind(startUtc).Bind(static_cast<std::int64_t>(limit));
    std::vector<DownloadRecord> records;
    int status;
    while ((status = query.Step()) == SQLITE_ROW) {
        DownloadRecord record;
        if (!ReadRecord(query, record, reason))
            return std::nullopt;
        records.push_back(std::move(record));
    }
    if (status != SQLITE_DONE) {
        Fail(reason, "cannot read the downloads");
        return std::nullopt;
    }
    return records;
}

std::optional<SerialEntry> SqliteRecordStore::FindSerial(SerialPlanKey plan, std::uint32_t value,
                                                         std::string* reason) {
    const std::string number = NumberText(plan, value);
    Statement query(Db(),
                    "SELECT state, download_id, reserved_utc FROM serials WHERE address = ? AND "
                    "width = ? AND value = ?");
    query.Bind(std::int64_t{plan.address}).Bind(std::int64_t{plan.width}).Bind(std::int64_t{value});
    const int status = query.Step();
    if (status == SQLITE_DONE) {
        SetReason(reason, number + " was never given");
        return std::nullopt;
    }
    if (status != SQLITE_ROW) {
        Fail(reason, "cannot read " + number);
        return std::nullopt;
    }
    const std::optional<SerialState> state = ParseState(query.Text(0));
    if (!state) {
        SetReason(reason, number + " is in an unknown state");
        return std::nullopt;
    }
    return SerialEntry{plan, value, *state, query.Int(1), query.Text(2)};
}

// PRAGMA user_version, or -1.
int UserVersion(sqlite3* db) {
    Statement query(db, "PRAGMA user_version");
    return query.Step() == SQLITE_ROW ? static_cast<int>(query.Int(0)) : -1;
}

// Refuses what this loader must not touch: a newer layout, or another program's tables.
bool MayMigrate(sqlite3* db, int version, const std::string& path, std::string* reason) {
    if (version > kNewestVersion) {
        SetReason(reason, path + " was written by a newer loader (layout version " +
                              std::to_string(version) + ", this loader knows up to " +
                              std::to_string(kNewestVersion) + ")");
        return false;
    }
    if (version == 0) {
        Statement query(db, "SELECT count(*) FROM sqlite_master");
        if (query.Step() != SQLITE_ROW) {
            SetReason(reason, sqlite::Error(db, path));
            return false;
        }
        if (query.Int(0) != 0) {
            SetReason(reason, path + " holds tables of another program");
            return false;
        }
    }
    return true;
}

}  // namespace

int NewestRecordSchemaVersion() {
    return kNewestVersion;
}

std::unique_ptr<RecordStore> OpenSqliteRecordStore(const std::string& path, std::string* reason) {
    if (path.empty()) {
        SetReason(reason, "no file is named for the download record");
        return nullptr;
    }
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite::DbPtr db(raw);
    if (opened != SQLITE_OK) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), static_cast<int>(kRecordBusyTimeout.count()));

    // Only reads until the file is known to be ours; both reads in one read transaction, so
    // that another loader creating the tables meanwhile is seen whole or not at all.
    if (sqlite::Exec(db.get(), "BEGIN") != SQLITE_OK) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }
    const int found = UserVersion(db.get());
    const bool ours = found >= 0 && MayMigrate(db.get(), found, path, reason);
    if (found < 0)
        SetReason(reason, sqlite::Error(db.get(), path));
    sqlite::Exec(db.get(), "COMMIT");
    if (!ours)
        return nullptr;

    // WAL lets the loaders read while one writes. Where the file system cannot share its
    // index (a network share), SQLite keeps the rollback journal, which is as safe but slower.
    Statement wal(db.get(), "PRAGMA journal_mode = WAL");
    const int walSet = sqlite::RetryBusy(kRecordBusyTimeout, [&] {
        wal.Reset();
        return wal.Step();
    });
    wal.Reset();
    if (walSet != SQLITE_ROW) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }
    if (sqlite::Exec(db.get(), "PRAGMA foreign_keys = ON") != SQLITE_OK) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }

    if (found == kNewestVersion)
        return std::make_unique<SqliteRecordStore>(std::move(db), found);

    Transaction transaction(db.get());
    if (transaction.Begin(Transaction::Kind::kWrite, kRecordBusyTimeout) != SQLITE_OK) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }
    // Another loader may have migrated the file meanwhile.
    int version = UserVersion(db.get());
    if (version < 0) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }
    if (!MayMigrate(db.get(), version, path, reason))
        return nullptr;
    for (; version < kNewestVersion; ++version) {
        const std::string bump = "PRAGMA user_version = " + std::to_string(version + 1);
        if (sqlite::Exec(db.get(), kMigrations[version]) != SQLITE_OK ||
            sqlite::Exec(db.get(), bump.c_str()) != SQLITE_OK) {
            SetReason(reason,
                      sqlite::Error(db.get(), path + ": cannot bring the layout to version " +
                                                  std::to_string(version + 1)));
            return nullptr;
        }
    }
    if (transaction.Commit(kRecordBusyTimeout) != SQLITE_OK) {
        SetReason(reason, sqlite::Error(db.get(), path));
        return nullptr;
    }
    return std::make_unique<SqliteRecordStore>(std::move(db), version);
}
