#include "ledger/sqlite_db.h"

#include <thread>

namespace sqlite {

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int RetryBusy(std::chrono::milliseconds limit, const std::function<int()>& attempt) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int status = attempt();
        if ((status & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace sqlite
