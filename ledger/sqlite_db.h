#pragma once

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Small owners of SQLite's handles for the record store's session: a connection and a prepared
// statement, each released by its owner. Errors come back as SQLite result codes.

namespace sqlite {

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, CloseDb>;

struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// Runs `sql` (one or more statements without parameters or results).
int Exec(sqlite3* db, const char* sql);

// Runs `attempt` again while it reports SQLITE_BUSY (another process holds the lock and the
// busy handler gave up early, as SQLite does to avoid a deadlock), until `limit` has passed.
int RetryBusy(std::chrono::milliseconds limit, const std::function<int()>& attempt);

}  // namespace sqlite
