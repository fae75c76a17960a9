#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <variant>
#include <vector>

#include "image/serial_number.h"
#include "ledger/record_fields.h"
#include "ledger/record_store.h"
#include "ledger/sql_session.h"

namespace {

using sql::Result;
using sql::Row;
using sql::Status;
using sql::Transaction;

// The record's layout, one step per version: step i brings a database from version i to i + 1.
// Steps are only ever added, never changed in meaning. "{identity}" is the database's own
// self-numbering key; the other types mean the same to SQLite and to PostgreSQL (to SQLite,
// BIGINT and INTEGER are one integer type).
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE downloads (
    id             {identity},
    start_utc      TEXT NOT NULL,
    end_utc        TEXT,
    station_host   TEXT NOT NULL DEFAULT '',
    station_folder TEXT NOT NULL DEFAULT '',
    loader_version TEXT NOT NULL DEFAULT '',
    hex_path       TEXT NOT NULL DEFAULT '',
    image_sha256   TEXT NOT NULL DEFAULT '',
    image_start    BIGINT NOT NULL DEFAULT 0,
    image_end      BIGINT NOT NULL DEFAULT 0,
    format         TEXT NOT NULL DEFAULT '',
    module_uid     TEXT NOT NULL DEFAULT '',
    port_path      TEXT NOT NULL DEFAULT '',
    verdict        TEXT NOT NULL DEFAULT 'running'
                   CHECK (verdict IN ('running', 'succeeded', 'failed')),
    failed_step    TEXT NOT NULL DEFAULT '',
    status_text    TEXT NOT NULL DEFAULT '',
    duration_ms    BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX downloads_by_start ON downloads (start_utc);

CREATE TABLE download_log (
    download_id BIGINT NOT NULL REFERENCES downloads (id),
    seq         BIGINT NOT NULL,
    text        TEXT NOT NULL,
    color       BIGINT NOT NULL,
    time_stamp  INTEGER NOT NULL CHECK (time_stamp IN (0, 1)),
    PRIMARY KEY (download_id, seq)
);

CREATE TABLE serials (
    address      BIGINT NOT NULL,
    width        INTEGER NOT NULL CHECK (width BETWEEN 1 AND 4),
    value        BIGINT NOT NULL,
    state        TEXT NOT NULL CHECK (state IN ('reserved', 'written', 'used_up')),
    download_id  BIGINT NOT NULL UNIQUE REFERENCES downloads (id),
    reserved_utc TEXT NOT NULL,
    UNIQUE (address, width, value)
);
)sql",
    // The counters several stations share, one per plan, and every change an operator made.
    R"sql(
CREATE TABLE serial_counters (
    address    BIGINT NOT NULL,
    width      INTEGER NOT NULL CHECK (width BETWEEN 1 AND 4),
    next_value BIGINT NOT NULL,
    step       BIGINT NOT NULL,
    PRIMARY KEY (address, width)
);

CREATE TABLE counter_changes (
    id             {identity},
    address        BIGINT NOT NULL,
    width          INTEGER NOT NULL,
    old_value      BIGINT,
    new_value      BIGINT NOT NULL,
    step           BIGINT NOT NULL,
    station_host   TEXT NOT NULL DEFAULT '',
    station_folder TEXT NOT NULL DEFAULT '',
    changed_utc    TEXT NOT NULL
);
)sql",
    // Loader 1.5.1: each log entry's own time stamp; the station's config.ini, process and boot
    // (a record left running by a process that is gone is closed as interrupted); the HEX
    // file's absolute path and the SHA-256 of its bytes; the outcome's class; a number written
    // without a ledger row (a step of 0 writes one number into every module).
    R"sql(
ALTER TABLE downloads ADD COLUMN station_config TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN sn_address BIGINT;
ALTER TABLE downloads ADD COLUMN sn_width BIGINT;
ALTER TABLE downloads ADD COLUMN sn_value BIGINT;
ALTER TABLE downloads ADD COLUMN process_id BIGINT NOT NULL DEFAULT 0;
ALTER TABLE downloads ADD COLUMN boot_id TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN hex_file TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN file_sha256 TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN outcome TEXT NOT NULL DEFAULT ''
    CHECK (outcome IN ('', 'succeeded', 'failed', 'stopped', 'no_module', 'no_access', 'refused',
                       'not_recorded', 'interrupted'));
UPDATE downloads SET outcome = 'succeeded' WHERE verdict = 'succeeded';
CREATE INDEX downloads_running ON downloads (station_host, station_config)
    WHERE verdict = 'running';
ALTER TABLE download_log ADD COLUMN stamp TEXT NOT NULL DEFAULT '';
)sql",
    // Each record's own key, so that a record delivered twice (from the journal, by a retry) is
    // written once; and what tells its process from another of the same id (its start time and
    // PID namespace).
    R"sql(
ALTER TABLE downloads ADD COLUMN record_key TEXT;
CREATE UNIQUE INDEX downloads_by_key ON downloads (record_key);
ALTER TABLE downloads ADD COLUMN process_start TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN pid_namespace TEXT NOT NULL DEFAULT '';
CREATE INDEX downloads_by_start_id ON downloads (start_utc, id);
)sql",
    // Who programmed each module; and a module's downloads found by its UID.
    R"sql(
ALTER TABLE downloads ADD COLUMN operator_account TEXT NOT NULL DEFAULT '';
ALTER TABLE downloads ADD COLUMN operator_badge TEXT NOT NULL DEFAULT '';
CREATE INDEX downloads_by_module ON downloads (module_uid, id);
)sql",
};

constexpr int kNewestVersion = static_cast<int>(std::size(kMigrations));

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

// Whether FinishDownload may end a record with this outcome: any but "interrupted", which
// only CloseInterrupted gives.
bool IsEndOutcome(std::string_view outcome) {
    return outcome != "interrupted" && std::find(kRecordOutcomes.begin(), kRecordOutcomes.end(),
                                                 outcome) != kRecordOutcomes.end();
}

// A refusal for a width or a value the plan cannot hold; kNone when it can.
RecordFailure PlanProblem(SerialPlanKey plan, std::uint32_t value) {
    using Code = RecordFailure::Code;
    if (plan.width < 1 || plan.width > 4)
        return {.code = Code::kBadWidth, .plan = plan, .value = value};
    if (plan.width < 4 && value >> (8 * plan.width) != 0)
        return {.code = Code::kDoesNotFit, .plan = plan, .value = value};
    return {};
}

std::string Migration(int version, const sql::Dialect& dialect) {
    std::string text = kMigrations[static_cast<std::size_t>(version)];
    const std::string_view token = "{identity}";
    for (std::size_t at; (at = text.find(token)) != std::string::npos;)
        text.replace(at, token.size(), dialect.identity);
    return text;
}

// The fields of kRecordFields that take part in `part`, in the list's order.
std::vector<const RecordField*> FieldsIn(unsigned part) {
    std::vector<const RecordField*> fields;
    for (const RecordField& f : kRecordFields)
        if (f.parts & part)
            fields.push_back(&f);
    return fields;
}

// Every field of a record, column i of a row being kRecordFields[i], with the number of its
// ledger row; a condition follows.
const std::string& SelectRecord() {
    static const std::string text = [] {
        std::string select = "\nSELECT ";
        for (const RecordField& f : kRecordFields) {
            if (&f != &kRecordFields.front())
                select += ", ";
            select += f.select ? f.select : std::string("d.") + f.column;
        }
        return select + "\nFROM downloads AS d LEFT JOIN serials AS s ON s.download_id = d.id\n";
    }();
    return text;
}

// The fields BeginDownload writes, the id of the new record returned.
const std::string& InsertRecord() {
    static const std::string text = [] {
        std::string columns, values;
        for (const RecordField* f : FieldsIn(RecordField::kBegin)) {
            columns += columns.empty() ? "" : ", ";
            columns += f->column;
            values += values.empty() ? "?" : ", ?";
        }
        return "\nINSERT INTO downloads (" + columns + ")\nVALUES (" + values +
               ")\nON CONFLICT (record_key) DO NOTHING RETURNING id";
    }();
    return text;
}

// The fields FinishDownload writes; the record's id follows them.
const std::string& FinishRecord() {
    static const std::string text = [] {
        std::string set;
        for (const RecordField* f : FieldsIn(RecordField::kFinish)) {
            set += set.empty() ? "" : ", ";
            set += std::string(f->column) + " = ?";
        }
        return "\nUPDATE downloads SET " + set + "\nWHERE id = ?";
    }();
    return text;
}

// The parameters of the fields in `part` of `record`: texts cut to kMaxRecordText, an empty
// time as `now`, an empty key as NULL.
std::vector<sql::Value> FieldValues(const DownloadRecord& record, unsigned part,
                                    const std::string& now) {
    std::vector<sql::Value> values;
    for (const RecordField* f : FieldsIn(part)) {
        sql::Value value = f->get(record);
        if (auto* text = std::get_if<std::string_view>(&value)) {
            if (text->empty() && (f->parts & RecordField::kNowWhenEmpty))
                *text = now;
            if (text->empty() && (f->parts & RecordField::kNullWhenEmpty))
                value = sql::Value();
            else
                *text = Bounded(*text);
        }
        values.push_back(value);
    }
    return values;
}

// Records read by one statement of ForEach.
constexpr std::size_t kRecordPage = 1000;

// Rows of the log written by one statement, within what either database takes in parameters.
constexpr std::size_t kLogRowsPerInsert = 100;

class SqlRecordStore final : public RecordStore {
  public:
    SqlRecordStore(std::unique_ptr<sql::Session> session, int version)
        : m_session(std::move(session)), m_version(version) {}

    std::int64_t BeginDownload(const DownloadRecord& record, RecordFailure* failure) override;
    bool ReserveSerial(std::int64_t downloadId, SerialPlanKey plan, std::uint32_t value,
                       const std::function<bool(std::string* reason)>& alsoSave,
                       RecordFailure* failure) override;
    std::optional<TakenSerial> TakeSerial(std::int64_t downloadId, SerialPlanKey plan,
                                          std::uint32_t start, std::uint32_t step,
                                          const CounterStation& station,
                                          RecordFailure* failure) override;
    bool ReadCounter(SerialPlanKey plan, std::optional<SerialCounter>& counter,
                     RecordFailure* failure) override;
    bool SetCounter(SerialPlanKey plan, std::uint32_t next, std::uint32_t step,
                    const CounterStation& station, RecordFailure* failure) override;
    bool SetSerialState(std::int64_t downloadId, SerialState state,
                        RecordFailure* failure) override;
    bool FinishDownload(const DownloadRecord& record, RecordFailure* failure) override;
    std::optional<std::vector<RunningDownload>> Running(const std::string& host,
                                                        const std::string& stationConfig,
                                                        RecordFailure* failure) override;
    bool CloseInterrupted(std::int64_t id, const std::string& statusText,
                          RecordFailure* failure) override;
    std::optional<DownloadRecord> Get(std::int64_t id, RecordFailure* failure) override;
    bool LastPass(const std::string& moduleUid, const std::string& fileSha256,
                  std::optional<DownloadRecord>& found, RecordFailure* failure) override;
    bool ForEach(const std::string& startUtc, bool withLog,
                 const std::function<bool(const DownloadRecord&)>& each,
                 RecordFailure* failure) override;
    std::optional<SerialEntry> FindSerial(SerialPlanKey plan, std::uint32_t value,
                                          RecordFailure* failure) override;
    int SchemaVersion() const override { return m_version; }
    const std::string& Where() const override { return m_session->Name(); }
    bool LostConnection() const override { return m_lost; }
    SerialConflict LastConflict() const override { return m_conflict; }

  private:
    sql::Session& Db() { return *m_session; }
    // Notes the failure and gives the database's message, with what the call was doing, to
    // `failure`; a lost connection names the database.
    bool Fail(RecordFailure* failure, RecordFailure what, const Result& result) {
        m_lost = result.status == Status::kConnection;
        what.code = RecordFailure::Code::kDatabase;
        what.lost = m_lost;
        what.where = m_lost ? Where() : std::string();
        return Fails(failure, sql::WithMessage(std::move(what), result));
    }
    bool FoundDownload(const Result& result, std::int64_t id, RecordFailure* failure);
    Result Run(std::string_view text, std::initializer_list<sql::Value> parameters = {}) {
        Result result = Db().Run(text, parameters);
        m_lost = result.status == Status::kConnection;
        return result;
    }
    Result Begin(Transaction& transaction) {
        Result result = transaction.Begin(true);
        m_lost = result.status == Status::kConnection;
        return result;
    }
    // Inside a transaction: the verdict of download `id`, or nothing with the failure.
    std::optional<std::string> Verdict(std::int64_t id, RecordFailure* failure);
    // Inside a transaction: checks that download `id` is running and records `value` of
    // `plan` for it.
    bool InsertSerial(std::int64_t id, SerialPlanKey plan, std::uint32_t value,
                      RecordFailure* failure);
    // The record on a SelectRecord row, with its log unless `withLog` is false.
    bool ReadRecord(const Row& row, DownloadRecord& record, RecordFailure* failure,
                    bool withLog = true);

    std::unique_ptr<sql::Session> m_session;
    int m_version;
    bool m_lost = false;
    SerialConflict m_conflict;
};

std::int64_t SqlRecordStore::BeginDownload(const DownloadRecord& record, RecordFailure* failure) {
    const RecordFailure what{.action = RecordFailure::Action::kBegin};
    const sql::Value key =
        record.recordKey.empty() ? sql::Value() : sql::Value(Bounded(record.recordKey));
    const std::string now = UtcNowIso();  // viewed by the values
    const std::vector<sql::Value> values = FieldValues(record, RecordField::kBegin, now);
    const Result result = Db().Execute(InsertRecord(), values);
    m_lost = result.status == Status::kConnection;
    if (!result.ok()) {
        Fail(failure, what, result);
        return 0;
    }
    if (!result.rows.empty())
        return result.rows[0].Int(0);
    // Begun before (delivered again): the record that holds the key.
    const Result found = Run("SELECT id FROM downloads WHERE record_key = ?", {key});
    if (!found.ok()) {
        Fail(failure, what, found);
        return 0;
    }
    if (found.rows.empty()) {
        Fails(failure, {.code = RecordFailure::Code::kKeyTaken});
        return 0;
    }
    return found.rows[0].Int(0);
}

// Whether a query of download `id` read its row; the failure when it did not.
bool SqlRecordStore::FoundDownload(const Result& result, std::int64_t id, RecordFailure* failure) {
    if (!result.ok())
        return Fail(failure, {.action = RecordFailure::Action::kReadDownload, .download = id},
                    result);
    if (result.rows.empty())
        return Fails(failure, {.code = RecordFailure::Code::kNoSuchDownload, .download = id});
    return true;
}

std::optional<std::string> SqlRecordStore::Verdict(std::int64_t id, RecordFailure* failure) {
    const Result result = Run("SELECT verdict FROM downloads WHERE id = ?", {id});
    if (!FoundDownload(result, id, failure))
        return std::nullopt;
    return result.rows[0].Text(0);
}

bool SqlRecordStore::InsertSerial(std::int64_t id, SerialPlanKey plan, std::uint32_t value,
                                  RecordFailure* failure) {
    const RecordFailure conflict{
        .code = RecordFailure::Code::kSerialConflict, .download = id, .plan = plan, .value = value};
    const std::optional<std::string> verdict = Verdict(id, failure);
    if (!verdict)
        return false;
    if (*verdict != "running") {
        m_conflict = {SerialConflict::Kind::kDownloadEnded, plan, value, id, 0};
        return Fails(failure, conflict);
    }
    const Result insert = Run(R"sql(
INSERT INTO serials (address, width, value, state, download_id, reserved_utc)
VALUES (?, ?, ?, 'reserved', ?, ?))sql",
                              {std::int64_t{plan.address}, std::int64_t{plan.width},
                               std::int64_t{value}, id, UtcNowIso()});
    if (insert.status == Status::kUnique) {
        // Which of the two rules: the number is taken, or the download holds another one. The
        // failed statement ended a PostgreSQL transaction; the question is asked outside it.
        Db().Rollback();
        const Result owner =
            Run("SELECT download_id FROM serials WHERE address = ? AND width = ? AND value = ?",
                {std::int64_t{plan.address}, std::int64_t{plan.width}, std::int64_t{value}});
        m_conflict = {SerialConflict::Kind::kDownloadHoldsOne, plan, value, id, 0};
        if (owner.ok() && !owner.rows.empty())
            m_conflict = {SerialConflict::Kind::kGivenBefore, plan, value, id,
                          owner.rows[0].Int(0)};
        return Fails(failure, conflict);
    }
    if (!insert.ok())
        return Fail(failure,
                    {.action = RecordFailure::Action::kRecordNumber, .plan = plan, .value = value},
                    insert);
    return true;
}

bool SqlRecordStore::ReserveSerial(std::int64_t downloadId, SerialPlanKey plan, std::uint32_t value,
                                   const std::function<bool(std::string* reason)>& alsoSave,
                                   RecordFailure* failure) {
    m_conflict = {};
    if (RecordFailure problem = PlanProblem(plan, value); !problem.ok())
        return Fails(failure, std::move(problem));
    const RecordFailure what{
        .action = RecordFailure::Action::kRecordNumber, .plan = plan, .value = value};
    Transaction transaction(Db());
    if (const Result begun = Begin(transaction); !begun.ok())
        return Fail(failure, what, begun);
    if (!InsertSerial(downloadId, plan, value, failure))
        return false;
    if (alsoSave) {
        std::string saveReason;
        if (!alsoSave(&saveReason)) {
            if (!saveReason.empty())
                return Fails(failure, {.code = RecordFailure::Code::kSaveRefused,
                                       .download = downloadId,
                                       .plan = plan,
                                       .value = value,
                                       .detail = saveReason});
            m_conflict = {SerialConflict::Kind::kNotSaved, plan, value, downloadId, 0};
            return Fails(failure, {.code = RecordFailure::Code::kSerialConflict,
                                   .download = downloadId,
                                   .plan = plan,
                                   .value = value});
        }
    }
    if (const Result committed = transaction.Commit(); !committed.ok())
        return Fail(failure, what, committed);
    return true;
}

std::optional<TakenSerial> SqlRecordStore::TakeSerial(std::int64_t downloadId, SerialPlanKey plan,
                                                      std::uint32_t start, std::uint32_t step,
                                                      const CounterStation& station,
                                                      RecordFailure* failure) {
    m_conflict = {};
    if (RecordFailure problem = PlanProblem(plan, start); !problem.ok()) {
        Fails(failure, std::move(problem));
        return std::nullopt;
    }
    const RecordFailure what{.action = RecordFailure::Action::kTakeNumber, .plan = plan};
    Transaction transaction(Db());
    if (const Result begun = Begin(transaction); !begun.ok()) {
        Fail(failure, what, begun);
        return std::nullopt;
    }
    // A plan no station has used starts at this station's number.
    const std::int64_t address = plan.address, width = plan.width;
    Result created = Run(R"sql(
INSERT INTO serial_counters (address, width, next_value, step) VALUES (?, ?, ?, ?)
ON CONFLICT (address, width) DO NOTHING)sql",
                         {address, width, std::int64_t{start}, std::int64_t{step}});
    if (created.ok() && created.changes == 1) {
        created = Run(R"sql(
INSERT INTO counter_changes (address, width, old_value, new_value, step, station_host,
                             station_folder, changed_utc)
VALUES (?, ?, NULL, ?, ?, ?, ?, ?))sql",
                      {address, width, std::int64_t{start}, std::int64_t{step},
                       Bounded(station.host), Bounded(station.folder), UtcNowIso()});
    }
    if (!created.ok()) {
        Fail(failure, what, created);
        return std::nullopt;
    }
    const Result counter = Run(std::string("SELECT next_value FROM serial_counters WHERE address "
                                           "= ? AND width = ?") +
                                   Db().Sql().lockRows,
                               {address, width});
    if (!counter.ok() || counter.rows.empty()) {
        Fail(failure, what, counter);
        return std::nullopt;
    }
    const std::int64_t stored = counter.rows[0].Int(0);
    if (stored < 0 || stored > std::int64_t{0xFFFFFFFF}) {
        Fails(failure,
              {.code = RecordFailure::Code::kCounterNotNumber, .plan = plan, .count = stored});
        return std::nullopt;
    }
    const TakenSerial taken{static_cast<std::uint32_t>(stored),
                            AdvanceSerial(static_cast<std::uint32_t>(stored), step)};
    if (RecordFailure problem = PlanProblem(plan, taken.value); !problem.ok()) {
        Fails(failure, std::move(problem));
        return std::nullopt;
    }
    if (!InsertSerial(downloadId, plan, taken.value, failure))
        return std::nullopt;
    const Result advanced =
        Run("UPDATE serial_counters SET next_value = ?, step = ? WHERE address = ? AND width = ?",
            {std::int64_t{taken.next}, std::int64_t{step}, address, width});
    if (!advanced.ok()) {
        Fail(failure, what, advanced);
        return std::nullopt;
    }
    if (const Result committed = transaction.Commit(); !committed.ok()) {
        Fail(failure, what, committed);
        return std::nullopt;
    }
    return taken;
}

bool SqlRecordStore::ReadCounter(SerialPlanKey plan, std::optional<SerialCounter>& counter,
                                 RecordFailure* failure) {
    const Result result =
        Run("SELECT next_value, step FROM serial_counters WHERE address = ? AND width = ?",
            {std::int64_t{plan.address}, std::int64_t{plan.width}});
    if (!result.ok())
        return Fail(failure, {.action = RecordFailure::Action::kReadCounter, .plan = plan}, result);
    counter.reset();
    if (!result.rows.empty())
        counter = SerialCounter{static_cast<std::uint32_t>(result.rows[0].Int(0)),
                                static_cast<std::uint32_t>(result.rows[0].Int(1))};
    return true;
}

bool SqlRecordStore::SetCounter(SerialPlanKey plan, std::uint32_t next, std::uint32_t step,
                                const CounterStation& station, RecordFailure* failure) {
    if (RecordFailure problem = PlanProblem(plan, next); !problem.ok())
        return Fails(failure, std::move(problem));
    const RecordFailure what{.action = RecordFailure::Action::kSetCounter, .plan = plan};
    const std::int64_t address = plan.address, width = plan.width;
    Transaction transaction(Db());
    if (const Result begun = Begin(transaction); !begun.ok())
        return Fail(failure, what, begun);
    const Result old = Run(std::string("SELECT next_value FROM serial_counters WHERE address = ? "
                                       "AND width = ?") +
                               Db().Sql().lockRows,
                           {address, width});
    if (!old.ok())
        return Fail(failure, what, old);
    const sql::Value oldValue = old.rows.empty() ? sql::Value{} : sql::Value{old.rows[0].Int(0)};
    Result changed = Run(R"sql(
INSERT INTO serial_counters (address, width, next_value, step) VALUES (?, ?, ?, ?)
ON CONFLICT (address, width) DO UPDATE SET next_value = excluded.next_value,
                                           step = excluded.step)sql",
                         {address, width, std::int64_t{next}, std::int64_t{step}});
    if (changed.ok()) {
        changed = Run(R"sql(
INSERT INTO counter_changes (address, width, old_value, new_value, step, station_host,
                             station_folder, changed_utc)
VALUES (?, ?, ?, ?, ?, ?, ?, ?))sql",
                      {address, width, oldValue, std::int64_t{next}, std::int64_t{step},
                       Bounded(station.host), Bounded(station.folder), UtcNowIso()});
    }
    if (!changed.ok())
        return Fail(failure, what, changed);
    if (const Result committed = transaction.Commit(); !committed.ok())
        return Fail(failure, what, committed);
    return true;
}

bool SqlRecordStore::SetSerialState(std::int64_t downloadId, SerialState state,
                                    RecordFailure* failure) {
    const RecordFailure what{.action = RecordFailure::Action::kChangeState, .download = downloadId};
    const std::string_view wanted = SerialStateText(state);
    const Result update =
        Run("UPDATE serials SET state = ? WHERE download_id = ? AND state = 'reserved'",
            {wanted, downloadId});
    if (!update.ok())
        return Fail(failure, what, update);
    if (update.changes != 0)
        return true;
    // Not reserved: it may have this state already (delivered again), or none, or another.
    const Result now = Run("SELECT state FROM serials WHERE download_id = ?", {downloadId});
    if (!now.ok())
        return Fail(failure, what, now);
    if (now.rows.empty())
        return Fails(failure, {.code = RecordFailure::Code::kNoSerialHeld, .download = downloadId});
    const std::string held = now.rows[0].Text(0);
    if (held == wanted)
        return true;
    return Fails(failure, {.code = RecordFailure::Code::kStateFinal,
                           .download = downloadId,
                           .detail = held,
                           .given = std::string(wanted)});
}

bool SqlRecordStore::FinishDownload(const DownloadRecord& record, RecordFailure* failure) {
    if (record.verdict != "succeeded" && record.verdict != "failed")
        return Fails(failure, {.code = RecordFailure::Code::kBadVerdict,
                               .download = record.id,
                               .given = std::string(Bounded(record.verdict))});
    const std::string_view outcome = record.outcome.empty() ? record.verdict : record.outcome;
    if (!IsEndOutcome(outcome) || (record.verdict == "succeeded") != (outcome == "succeeded"))
        return Fails(failure, {.code = RecordFailure::Code::kBadOutcome,
                               .download = record.id,
                               .detail = record.verdict,
                               .given = std::string(Bounded(outcome))});
    const RecordFailure what{.action = RecordFailure::Action::kEnd, .download = record.id};
    Transaction transaction(Db());
    if (const Result begun = Begin(transaction); !begun.ok())
        return Fail(failure, what, begun);
    const std::optional<std::string> verdict = Verdict(record.id, failure);
    if (!verdict)
        return false;
    if (*verdict != "running")
        return Fails(failure, {.code = RecordFailure::Code::kAlreadyEnded,
                               .download = record.id,
                               .detail = *verdict});
    // The outcome as checked above (the verdict's when none is given); a number named here
    // was written without a ledger row.
    const std::string now = UtcNowIso();  // viewed by the values
    std::vector<sql::Value> values = FieldValues(record, RecordField::kFinish, now);
    for (std::size_t i = 0; const RecordField* f : FieldsIn(RecordField::kFinish)) {
        if (std::string_view(f->column) == "outcome")
            values[i] = outcome;
        ++i;
    }
    values.emplace_back(record.id);
    const Result update = Db().Execute(FinishRecord(), values);
    m_lost = update.status == Status::kConnection;
    if (!update.ok())
        return Fail(failure, what, update);

    // A log too long keeps its first entries (the station says how many it cut: RecordableLog).
    const std::size_t rows = std::min(record.log.size(), kMaxRecordLogEntries);
    // Inserted a hundred rows at a time: one round trip each, not one a row, to a server.
    for (std::size_t first = 0; first < rows; first += kLogRowsPerInsert) {
        const std::size_t count = std::min(kLogRowsPerInsert, rows - first);
        std::string text =
            "INSERT INTO download_log (download_id, seq, text, color, time_stamp, stamp) "
            "VALUES ";
        for (std::size_t i = 0; i < count; ++i)
            text += i == 0 ? "(?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?)";
        std::vector<sql::Value> parameters;
        parameters.reserve(count * 6);
        for (std::size_t i = first; i < first + count; ++i) {
            const LogEntry& entry = record.log[i];
            parameters.insert(parameters.end(),
                              {record.id, static_cast<std::int64_t>(i), Bounded(entry.text),
                               std::int64_t{entry.color}, std::int64_t{entry.timeStamp ? 1 : 0},
                               Bounded(entry.stamp)});
        }
        const Result insert = Db().Execute(text, parameters);
        m_lost = insert.status == Status::kConnection;
        if (!insert.ok())
            return Fail(failure, what, insert);
    }
    if (const Result committed = transaction.Commit(); !committed.ok())
        return Fail(failure, what, committed);
    return true;
}

bool SqlRecordStore::ReadRecord(const Row& row, DownloadRecord& record, RecordFailure* failure,
                                bool withLog) {
    // Column i of the row is kRecordFields[i] (SelectRecord).
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
        const RecordField& f = kRecordFields[i];
        const std::string text = row.Text(i);
        const sql::Value value = row.IsNull(i) ? sql::Value()
                                 : f.kind == RecordField::Kind::kInteger
                                     ? sql::Value(row.Int(i))
                                     : sql::Value(std::string_view(text));
        // Only a serial number's state refuses a value.
        if (!f.set(record, value))
            return Fails(failure,
                         {.code = RecordFailure::Code::kUnknownRecordState, .download = record.id});
    }
    if (!withLog)
        return true;
    const Result log = Run(
        "SELECT text, color, time_stamp, stamp FROM download_log WHERE download_id = ? ORDER BY "
        "seq LIMIT ?",
        {record.id, static_cast<std::int64_t>(kMaxRecordLogEntries)});
    if (!log.ok())
        return Fail(failure, {.action = RecordFailure::Action::kReadLog, .download = record.id},
                    log);
    for (const Row& entry : log.rows)
        record.log.push_back({entry.Text(0), static_cast<std::uint32_t>(entry.Int(1)),
                              entry.Int(2) != 0, entry.Text(3)});
    return true;
}

std::optional<std::vector<RunningDownload>> SqlRecordStore::Running(
    const std::string& host, const std::string& stationConfig, RecordFailure* failure) {
    const Result query =
        Run("SELECT id, process_id, boot_id, process_start, pid_namespace, record_key FROM "
            "downloads WHERE verdict = 'running' AND station_host = ? AND station_config = ? "
            "ORDER BY id",
            {Bounded(host), Bounded(stationConfig)});
    if (!query.ok()) {
        Fail(failure, {.action = RecordFailure::Action::kReadRunning}, query);
        return std::nullopt;
    }
    std::vector<RunningDownload> running;
    for (const Row& row : query.rows)
        running.push_back(
            {row.Int(0), row.Int(1), row.Text(2), row.Text(3), row.Text(4), row.Text(5)});
    return running;
}

bool SqlRecordStore::CloseInterrupted(std::int64_t id, const std::string& statusText,
                                      RecordFailure* failure) {
    const RecordFailure what{.action = RecordFailure::Action::kClose, .download = id};
    Transaction transaction(Db());
    if (const Result begun = Begin(transaction); !begun.ok())
        return Fail(failure, what, begun);
    const Result closed = Run(R"sql(
UPDATE downloads SET verdict = 'failed', outcome = 'interrupted', status_text = ?
WHERE id = ? AND verdict = 'running')sql",
                              {Bounded(statusText), id});
    if (!closed.ok())
        return Fail(failure, what, closed);
    if (closed.changes == 0)
        return Fails(failure, {.code = RecordFailure::Code::kNotRunning, .download = id});
    const Result used = Run(
        "UPDATE serials SET state = 'used_up' WHERE download_id = ? AND state = 'reserved'", {id});
    if (!used.ok())
        return Fail(failure, what, used);
    if (const Result committed = transaction.Commit(); !committed.ok())
        return Fail(failure, what, committed);
    return true;
}

std::optional<DownloadRecord> SqlRecordStore::Get(std::int64_t id, RecordFailure* failure) {
    Transaction transaction(Db());
    if (const Result begun = transaction.Begin(false); !begun.ok()) {
        Fail(failure, {.action = RecordFailure::Action::kReadDownload, .download = id}, begun);
        return std::nullopt;
    }
    const Result query = Run(SelectRecord() + "WHERE d.id = ?", {id});
    if (!FoundDownload(query, id, failure))
        return std::nullopt;
    DownloadRecord record;
    if (!ReadRecord(query.rows[0], record, failure))
        return std::nullopt;
    return record;
}

bool SqlRecordStore::LastPass(const std::string& moduleUid, const std::string& fileSha256,
                              std::optional<DownloadRecord>& found, RecordFailure* failure) {
    found.reset();
    const Result query = Run(SelectRecord() +
                                 "WHERE d.module_uid = ? AND d.file_sha256 = ? AND "
                                 "d.verdict = 'succeeded' ORDER BY d.id DESC LIMIT 1",
                             {std::string_view(moduleUid), std::string_view(fileSha256)});
    if (!query.ok())
        return Fail(failure, {.action = RecordFailure::Action::kReadDownloads}, query);
    if (query.rows.empty())
        return true;
    DownloadRecord record;
    if (!ReadRecord(query.rows[0], record, failure, false))
        return false;
    found = std::move(record);
    return true;
}

bool SqlRecordStore::ForEach(const std::string& startUtc, bool withLog,
                             const std::function<bool(const DownloadRecord&)>& each,
                             RecordFailure* failure) {
    // Keyset pages: each page starts after the last record of the one before, by (start, id),
    // the order of an index, so a page costs the same at the millionth record as at the first.
    // The first starts after (startUtc, -1): every record started at or after startUtc.
    std::string afterStart = startUtc;
    std::int64_t afterId = -1;
    for (;;) {
        const Result page =
            Run(SelectRecord() +
                    "WHERE (d.start_utc, d.id) > (?, ?) "
                    "ORDER BY d.start_utc, d.id LIMIT ?",
                {std::string_view(afterStart), afterId, static_cast<std::int64_t>(kRecordPage)});
        if (!page.ok())
            return Fail(failure, {.action = RecordFailure::Action::kReadDownloads}, page);
        for (const Row& row : page.rows) {
            DownloadRecord record;
            if (!ReadRecord(row, record, failure, withLog))
                return false;
            if (!each(record))
                return true;
            afterStart = record.startUtc;
            afterId = record.id;
        }
        if (page.rows.size() < kRecordPage)
            return true;
    }
}

std::optional<SerialEntry> SqlRecordStore::FindSerial(SerialPlanKey plan, std::uint32_t value,
                                                      RecordFailure* failure) {
    const Result query =
        Run("SELECT state, download_id, reserved_utc FROM serials WHERE address = ? AND width = ? "
            "AND value = ?",
            {std::int64_t{plan.address}, std::int64_t{plan.width}, std::int64_t{value}});
    if (!query.ok()) {
        Fail(failure, {.action = RecordFailure::Action::kReadNumber, .plan = plan, .value = value},
             query);
        return std::nullopt;
    }
    if (query.rows.empty()) {
        Fails(failure, {.code = RecordFailure::Code::kNeverGiven, .plan = plan, .value = value});
        return std::nullopt;
    }
    const Row& row = query.rows[0];
    const std::optional<SerialState> state = ParseState(row.Text(0));
    if (!state) {
        Fails(failure, {.code = RecordFailure::Code::kUnknownState, .plan = plan, .value = value});
        return std::nullopt;
    }
    return SerialEntry{plan, value, *state, row.Int(1), row.Text(2)};
}

// Refuses what this loader must not touch: a newer layout, or another program's tables.
bool MayMigrate(sql::Session& db, int version, RecordFailure* failure) {
    if (version > kNewestVersion)
        return Fails(
            failure,
            {.code = RecordFailure::Code::kNewerLayout, .count = version, .where = db.Name()});
    if (version == 0) {
        const std::optional<bool> others = db.HoldsOtherTables(failure);
        if (!others)
            return false;
        if (*others)
            return Fails(failure,
                         {.code = RecordFailure::Code::kForeignTables, .where = db.Name()});
    }
    return true;
}

bool Failed(RecordFailure* failure, const sql::Session& db, const Result& result) {
    return Fails(
        failure,
        sql::WithMessage({.code = RecordFailure::Code::kUnopened, .where = db.Name()}, result));
}

// Begins `transaction`, waits for the layout's lock and reads the layout's version: nothing,
// with the failure, when any of it fails or the database is not this loader's to change.
std::optional<int> LockedVersion(sql::Session& db, Transaction& transaction, bool write,
                                 RecordFailure* failure) {
    Result begun = transaction.Begin(write);
    if (begun.ok())
        begun = db.LockLayout(write);
    if (!begun.ok()) {
        Failed(failure, db, begun);
        return std::nullopt;
    }
    const std::optional<int> version = db.LayoutVersion(failure);
    if (!version || !MayMigrate(db, *version, failure))
        return std::nullopt;
    return version;
}

}  // namespace

int NewestRecordSchemaVersion() {
    return kNewestVersion;
}

std::unique_ptr<RecordStore> OpenRecordStore(std::unique_ptr<sql::Session> session,
                                             RecordFailure* failure) {
    if (!session)
        return nullptr;
    sql::Session& db = *session;
    // Only reads until the database is known to be ours, in a transaction that sees another
    // loader's creation of the tables whole or not at all.
    int found = 0;
    {
        Transaction look(db);
        const std::optional<int> version = LockedVersion(db, look, false, failure);
        if (!version)
            return nullptr;
        found = *version;
        look.Commit();
    }
    if (const Result prepared = db.PrepareForWriting(); !prepared.ok()) {
        Failed(failure, db, prepared);
        return nullptr;
    }
    if (found == kNewestVersion)
        return std::make_unique<SqlRecordStore>(std::move(session), found);

    // Another loader may have migrated the database meanwhile.
    Transaction transaction(db);
    const std::optional<int> now = LockedVersion(db, transaction, true, failure);
    if (!now)
        return nullptr;
    Result step;
    int version = *now;
    for (; version < kNewestVersion; ++version) {
        step = db.Script(Migration(version, db.Sql()));
        if (step.ok())
            step = db.SetLayoutVersion(version + 1);
        if (!step.ok()) {
            Fails(failure, sql::WithMessage({.code = RecordFailure::Code::kLayoutStep,
                                             .count = version + 1,
                                             .where = db.Name()},
                                            step));
            return nullptr;
        }
    }
    if (step = transaction.Commit(); !step.ok()) {
        Failed(failure, db, step);
        return nullptr;
    }
    return std::make_unique<SqlRecordStore>(std::move(session), version);
}

std::unique_ptr<RecordStore> OpenSqliteRecordStore(const std::string& path,
                                                   RecordFailure* failure) {
    return OpenRecordStore(sql::OpenSqlite(path, failure), failure);
}
