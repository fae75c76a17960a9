#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Small owners of SQLite's handles for the record store: a connection, a prepared statement
// and a transaction, each released by its destructor. Errors come back as SQLite result codes;
// Error() turns the connection's last one into a reason.

namespace sqlite {

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, CloseDb>;

struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// "what: SQLite's message for the last error of `db`".
std::string Error(sqlite3* db, std::string_view what);

// Runs `sql` (one or more statements without parameters or results).
int Exec(sqlite3* db, const char* sql);

// Runs `attempt` again while it reports SQLITE_BUSY (another process holds the lock and the
// busy handler gave up early, as SQLite does to avoid a deadlock), until `limit` has passed.
int RetryBusy(std::chrono::milliseconds limit, const std::function<int()>& attempt);

// A prepared statement. The Bind calls fill the parameters in order; the first failure of
// preparing or binding is what Step returns.
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql);

    Statement& Bind(std::int64_t value);
    Statement& Bind(std::string_view text);
    Statement& BindNull();
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    // Back to before the first Step, without parameters.
    void Reset();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    std::string Text(int column) const;

  private:
    std::unique_ptr<sqlite3_stmt, FinalizeStatement> m_statement;
    int m_status = SQLITE_OK;
    int m_next = 0;  // the last parameter bound
};

// A transaction, rolled back by the destructor unless committed.
class Transaction {
  public:
    enum class Kind { kRead, kWrite };
    explicit Transaction(sqlite3* db) : m_db(db) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // A read transaction is BEGIN; a write one is BEGIN IMMEDIATE, which takes the write lock
    // at once so that two processes queue on it instead of failing half-way. Waits at most
    // `limit` for another process.
    int Begin(Kind kind, std::chrono::milliseconds limit);
    int Commit(std::chrono::milliseconds limit);

  private:
    sqlite3* m_db;
    bool m_open = false;
};

}  // namespace sqlite
