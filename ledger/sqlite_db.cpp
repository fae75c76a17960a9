#include "ledger/sqlite_db.h"

#include <thread>

namespace sqlite {

std::string Error(sqlite3* db, std::string_view what) {
    std::string text(what);
    text += ": ";
    text += db ? sqlite3_errmsg(db) : "out of memory";
    return text;
}

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

Statement::Statement(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    m_status =
        sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
    m_statement.reset(statement);
    if (m_status == SQLITE_OK && !statement)
        m_status = SQLITE_MISUSE;  // no statement in the text
}

Statement& Statement::Bind(std::int64_t value) {
    ++m_next;
    if (m_status == SQLITE_OK)
        m_status = sqlite3_bind_int64(m_statement.get(), m_next, value);
    return *this;
}

Statement& Statement::Bind(std::string_view text) {
    ++m_next;
    if (m_status == SQLITE_OK)
        m_status = sqlite3_bind_text64(m_statement.get(), m_next, text.data(), text.size(),
                                       SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

Statement& Statement::BindNull() {
    ++m_next;
    if (m_status == SQLITE_OK)
        m_status = sqlite3_bind_null(m_statement.get(), m_next);
    return *this;
}

int Statement::Step() {
    if (m_status != SQLITE_OK)
        return m_status;
    return sqlite3_step(m_statement.get());
}

void Statement::Reset() {
    if (!m_statement)
        return;
    sqlite3_reset(m_statement.get());
    sqlite3_clear_bindings(m_statement.get());
    m_status = SQLITE_OK;
    m_next = 0;
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL;
}

std::int64_t Statement::Int(int column) const {
    return sqlite3_column_int64(m_statement.get(), column);
}

std::string Statement::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(m_statement.get(), column);
    const int size = sqlite3_column_bytes(m_statement.get(), column);
    if (!text || size <= 0)
        return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

Transaction::~Transaction() {
    // SQLite may already have rolled back by itself after some errors.
    if (m_open && !sqlite3_get_autocommit(m_db))
        Exec(m_db, "ROLLBACK");
}

int Transaction::Begin(Kind kind, std::chrono::milliseconds limit) {
    const char* sql = kind == Kind::kWrite ? "BEGIN IMMEDIATE" : "BEGIN";
    const int status = RetryBusy(limit, [&] { return Exec(m_db, sql); });
    m_open = status == SQLITE_OK;
    return status;
}

int Transaction::Commit(std::chrono::milliseconds limit) {
    // A commit that waits for readers (rollback journal) keeps the transaction open on SQLITE_BUSY.
    const int status = RetryBusy(limit, [&] { return Exec(m_db, "COMMIT"); });
    if (status == SQLITE_OK)
        m_open = false;
    return status;
}

}  // namespace sqlite
