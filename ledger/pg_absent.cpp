#include "ledger/database_config.h"
#include "ledger/sql_session.h"

// A loader built without libpq (a static build, for one): the record stays in SQLite.

std::unique_ptr<sql::Session> sql::OpenPostgres(const std::string&, RecordFailure* failure) {
    Fails(failure, {.code = RecordFailure::Code::kNoPostgres});
    return nullptr;
}

std::string PostgresName(const std::string&) {
    return "PostgreSQL server";
}

bool PostgresBuiltIn() {
    return false;
}
