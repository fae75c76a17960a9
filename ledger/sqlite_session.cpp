#include <charconv>
#include <chrono>
#include <map>
#include <thread>

#include "ledger/record_store.h"
#include "ledger/sql_session.h"
#include "ledger/sqlite_db.h"
#include "os/os_files.h"

namespace sql {

bool Row::IsNull(std::size_t column) const {
    return column >= m_cells.size() || !m_cells[column];
}

std::int64_t Row::Int(std::size_t column) const {
    std::int64_t value = 0;
    if (!IsNull(column)) {
        const std::string& text = *m_cells[column];
        std::from_chars(text.data(), text.data() + text.size(), value);
    }
    return value;
}

std::string Row::Text(std::size_t column) const {
    return IsNull(column) ? std::string() : *m_cells[column];
}

namespace {

constexpr Dialect kSqliteDialect{"INTEGER PRIMARY KEY", ""};

// How a connection waits for another connection's lock, up to kRecordBusyTimeout each time.
// SQLite's own busy timeout sleeps ever longer between tries, up to 100 ms: while other
// stations write one short transaction after another the lock is free only for moments, and a
// waiter that looks ten times a second can miss every one of them and give up with "database
// is locked" while the others go on. Looking every few milliseconds, it takes the lock at one
// of the first free moments.
class BusyWait {
  public:
    explicit BusyWait(std::chrono::milliseconds limit) : m_limit(limit) {}

    // SQLite's busy handler: `tries` is 0 at the first refusal of each wait.
    static int OnBusy(void* self, int tries) {
        auto& wait = *static_cast<BusyWait*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (tries == 0)
            wait.m_since = now;
        if (now - wait.m_since >= wait.m_limit)
            return 0;
        // Soon at first (most waits are for one short transaction), then every 4 ms: a
        // waiter woken more often takes the processor from the transaction it waits for.
        std::this_thread::sleep_for(std::chrono::milliseconds(tries < 8 ? 1 : 4));
        return 1;
    }

  private:
    std::chrono::milliseconds m_limit;
    std::chrono::steady_clock::time_point m_since;
};

class SqliteSession final : public Session {
  public:
    SqliteSession(sqlite::DbPtr db, std::string path)
        : m_db(std::move(db)), m_name(std::move(path)) {
        sqlite3_busy_handler(m_db.get(), &BusyWait::OnBusy, m_busy.get());
    }

    const Dialect& Sql() const override { return kSqliteDialect; }
    const std::string& Name() const override { return m_name; }

    Result Execute(std::string_view text, std::span<const Value> parameters) override {
        sqlite3_stmt* statement = Prepared(text);
        if (!statement)
            return Failure(SQLITE_ERROR);
        int index = 0;
        for (const Value& value : parameters) {
            ++index;
            int bound = SQLITE_OK;
            if (const auto* number = std::get_if<std::int64_t>(&value))
                bound = sqlite3_bind_int64(statement, index, *number);
            else if (const auto* chars = std::get_if<std::string_view>(&value))
                bound = sqlite3_bind_text64(statement, index, chars->data(), chars->size(),
                                            SQLITE_TRANSIENT, SQLITE_UTF8);
            else
                bound = sqlite3_bind_null(statement, index);
            if (bound != SQLITE_OK)
                return Finish(statement, Failure(bound));
        }
        Result result;
        const int columns = sqlite3_column_count(statement);
        int status;
        while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::optional<std::string>> cells(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(statement, c) == SQLITE_NULL)
                    continue;
                const auto* chars =
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                const int size = sqlite3_column_bytes(statement, c);
                cells[static_cast<std::size_t>(c)] =
                    chars ? std::string(chars, static_cast<std::size_t>(size)) : std::string();
            }
            result.rows.emplace_back(std::move(cells));
        }
        if (status != SQLITE_DONE)
            return Finish(statement, Failure(status));
        result.changes = sqlite3_changes64(m_db.get());
        return Finish(statement, std::move(result));
    }

    Result Script(std::string_view text) override {
        const std::string whole(text);
        const int status = sqlite::Exec(m_db.get(), whole.c_str());
        return status == SQLITE_OK ? Result{} : Failure(status);
    }

    Result Begin(bool write) override {
        // BEGIN IMMEDIATE takes the write lock at once, so that two processes queue on it
        // instead of failing half-way.
        const char* text = write ? "BEGIN IMMEDIATE" : "BEGIN";
        const int status =
            sqlite::RetryBusy(kRecordBusyTimeout, [&] { return sqlite::Exec(m_db.get(), text); });
        return status == SQLITE_OK ? Result{} : Failure(status);
    }

    Result Commit() override {
        // A commit that waits for readers (rollback journal) keeps the transaction open on
        // SQLITE_BUSY.
        const int status = sqlite::RetryBusy(kRecordBusyTimeout,
                                             [&] { return sqlite::Exec(m_db.get(), "COMMIT"); });
        return status == SQLITE_OK ? Result{} : Failure(status);
    }

    void Rollback() override {
        // SQLite may already have rolled back by itself after some errors.
        if (!sqlite3_get_autocommit(m_db.get()))
            sqlite::Exec(m_db.get(), "ROLLBACK");
    }

    std::optional<int> LayoutVersion(RecordFailure* failure) override {
        Result result = Run("PRAGMA user_version", {});
        if (!result.ok() || result.rows.empty()) {
            Fails(failure,
                  WithMessage({.code = RecordFailure::Code::kUnopened, .where = m_name}, result));
            return std::nullopt;
        }
        return static_cast<int>(result.rows[0].Int(0));
    }

    std::optional<bool> HoldsOtherTables(RecordFailure* failure) override {
        Result result = Run("SELECT count(*) FROM sqlite_master", {});
        if (!result.ok() || result.rows.empty()) {
            Fails(failure,
                  WithMessage({.code = RecordFailure::Code::kUnopened, .where = m_name}, result));
            return std::nullopt;
        }
        return result.rows[0].Int(0) != 0;
    }

    Result SetLayoutVersion(int version) override {
        return Run("PRAGMA user_version = " + std::to_string(version), {});
    }

    // A read transaction sees one snapshot of the file; BEGIN IMMEDIATE has locked it.
    Result LockLayout(bool) override { return {}; }

    Result PrepareForWriting() override {
        // WAL lets the loaders read while one writes. Where the file system cannot share its
        // index (a network share), SQLite keeps the rollback journal, which is as safe but
        // slower.
        const int walSet = sqlite::RetryBusy(kRecordBusyTimeout, [&] {
            return sqlite::Exec(m_db.get(), "PRAGMA journal_mode = WAL");
        });
        if (walSet != SQLITE_OK)
            return Failure(walSet);
        const int keys = sqlite::Exec(m_db.get(), "PRAGMA foreign_keys = ON");
        return keys == SQLITE_OK ? Result{} : Failure(keys);
    }

  private:
    Result Failure(int status) const {
        Result result;
        const int primary = status & 0xFF;
        result.status =
            status == SQLITE_CONSTRAINT_UNIQUE || status == SQLITE_CONSTRAINT_PRIMARYKEY
                ? Status::kUnique
            // The file out of reach or the disk full: the connection is closed and
            // opened again at the next call, once the disk has room again.
            : primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL
                ? Status::kConnection
                : Status::kError;
        result.error = sqlite3_errmsg(m_db.get());
        return result;
    }

    static Result Finish(sqlite3_stmt* statement, Result result) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return result;
    }

    // The statement for `text`, prepared once per session.
    sqlite3_stmt* Prepared(std::string_view text) {
        auto found = m_statements.find(text);
        if (found != m_statements.end())
            return found->second.get();
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db.get(), text.data(), static_cast<int>(text.size()), &statement,
                               nullptr) != SQLITE_OK ||
            !statement) {
            sqlite3_finalize(statement);
            return nullptr;
        }
        // Statements built from numbers (the layout's version) are not kept.
        if (m_statements.size() >= 64)
            m_statements.clear();
        return m_statements.emplace(std::string(text), statement).first->second.get();
    }

    // Declared first, destroyed last: the connection's busy handler outlives it, and the
    // statements are finalized before the connection.
    std::unique_ptr<BusyWait> m_busy = std::make_unique<BusyWait>(kRecordBusyTimeout);
    sqlite::DbPtr m_db;
    std::string m_name;
    std::map<std::string, std::unique_ptr<sqlite3_stmt, sqlite::FinalizeStatement>, std::less<>>
        m_statements;
};

}  // namespace

std::unique_ptr<Session> OpenSqlite(const std::string& path, RecordFailure* failure) {
    if (path.empty()) {
        Fails(failure, {.code = RecordFailure::Code::kNoFile});
        return nullptr;
    }
    // Never through a link: the record, its journal and its WAL files lie where they are, and
    // one planted by another user is refused by name.
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (std::string problem = os_files::UntrustedPlace(path + suffix); !problem.empty()) {
            Fails(failure, {.code = RecordFailure::Code::kPlace, .detail = problem});
            return nullptr;
        }
    }
    if (os_files::ResolveLink(path) != path) {
        Fails(failure, {.code = RecordFailure::Code::kSymbolicLink, .where = path});
        return nullptr;
    }
    sqlite3* raw = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
#ifdef SQLITE_OPEN_NOFOLLOW
    flags |= SQLITE_OPEN_NOFOLLOW;  // refuses a link in any part of the path: the folder is real
#endif
    const int opened = sqlite3_open_v2(os_files::InRealFolder(path).c_str(), &raw, flags, nullptr);
    sqlite::DbPtr db(raw);
    if (opened != SQLITE_OK) {
        Fails(failure, {.code = RecordFailure::Code::kUnopened,
                        .where = path,
                        .detail = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(opened)});
        return nullptr;
    }
    sqlite3_extended_result_codes(db.get(), 1);
    return std::make_unique<SqliteSession>(std::move(db), path);
}

}  // namespace sql
