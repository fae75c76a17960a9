#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ledger/record_failure.h"

// One connection to the database that keeps the record: the SQLite file beside config.ini, or
// a PostgreSQL server shared by several stations. The record store speaks to either through
// this small interface, in the SQL both understand; parameters are written as `?`.

namespace sql {

// A parameter: NULL, an integer or a text.
using Value = std::variant<std::monostate, std::int64_t, std::string_view>;

// One row of a result, every column as text (NULL as nothing).
class Row {
  public:
    explicit Row(std::vector<std::optional<std::string>> cells) : m_cells(std::move(cells)) {}
    bool IsNull(std::size_t column) const;
    std::int64_t Int(std::size_t column) const;
    std::string Text(std::size_t column) const;

  private:
    std::vector<std::optional<std::string>> m_cells;
};

enum class Status {
    kOk,
    kUnique,      // a UNIQUE or PRIMARY KEY constraint refused the row
    kError,       // any other refusal
    kConnection,  // the server cannot be reached, or the connection was lost
};

struct Result {
    Status status = Status::kOk;
    std::vector<Row> rows;
    std::int64_t changes = 0;  // rows an INSERT, UPDATE or DELETE touched
    std::string error;         // the database's message, when status is not kOk
    // Or what the session saw in its place.
    RecordFailure::Lapse lapse = RecordFailure::Lapse::kNone;
    std::int64_t seconds = 0;

    bool ok() const { return status == Status::kOk; }
};

// What the two databases spell differently.
struct Dialect {
    // The column type of an integer key the database numbers itself.
    const char* identity;
    // Appended to a SELECT that reads rows the transaction is going to change, so that another
    // station waits for them ("" where a write transaction already locks the whole database).
    const char* lockRows;
};

class Session {
  public:
    virtual ~Session() = default;

    virtual const Dialect& Sql() const = 0;
    // The database as an operator knows it, without any credential: the file's path, or
    // "PostgreSQL server HOST:PORT/DATABASE".
    virtual const std::string& Name() const = 0;

    // Runs one statement with its parameters and returns its rows.
    virtual Result Execute(std::string_view sql, std::span<const Value> parameters) = 0;
    Result Run(std::string_view sql, std::initializer_list<Value> parameters = {}) {
        return Execute(sql, std::span<const Value>(parameters.begin(), parameters.size()));
    }
    // Runs several statements without parameters or results (a layout's step).
    virtual Result Script(std::string_view sql) = 0;
    // A write transaction takes the write lock at once where the database has one.
    virtual Result Begin(bool write) = 0;
    virtual Result Commit() = 0;
    // Ends an open transaction without its changes; harmless when none is open.
    virtual void Rollback() = 0;

    // The layout's version (0: never set) and whether the database holds tables of another
    // program, read inside an open transaction; nothing on failure, with the failure.
    virtual std::optional<int> LayoutVersion(RecordFailure* failure) = 0;
    virtual std::optional<bool> HoldsOtherTables(RecordFailure* failure) = 0;
    virtual Result SetLayoutVersion(int version) = 0;
    // After the database is known to be the loader's, outside a transaction: what the
    // connection needs before it writes.
    virtual Result PrepareForWriting() = 0;
    // Inside a transaction: waits until no other loader is changing the layout; `exclusive`
    // (to change it) also keeps other loaders from reading it until the transaction ends.
    virtual Result LockLayout(bool exclusive) = 0;
};

// `failure` with the message of `result` (the database's, or what the session saw instead).
inline RecordFailure WithMessage(RecordFailure failure, const Result& result) {
    failure.detail = result.error;
    failure.lapse = result.lapse;
    failure.seconds = result.seconds;
    return failure;
}

// A transaction, rolled back by the destructor unless committed.
class Transaction {
  public:
    explicit Transaction(Session& session) : m_session(session) {}
    ~Transaction() {
        if (m_open)
            m_session.Rollback();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    Result Begin(bool write) {
        Result result = m_session.Begin(write);
        m_open = result.ok();
        return result;
    }
    Result Commit() {
        Result result = m_session.Commit();
        m_open = false;  // a failed commit has rolled back, or left nothing to end
        if (!result.ok())
            m_session.Rollback();
        return result;
    }

  private:
    Session& m_session;
    bool m_open = false;
};

// Opens the SQLite file at `path`, creating it when missing: WAL journal where the file system
// allows, foreign keys on, a busy timeout for the loaders that share the file.
std::unique_ptr<Session> OpenSqlite(const std::string& path, RecordFailure* failure);

}  // namespace sql
