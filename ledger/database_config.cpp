#include "ledger/database_config.h"

#include <cstdlib>

#include "ledger/sql_session.h"
#include "settings/settings_store.h"

DatabaseChoice ChooseDatabase(const std::string& configPath) {
    DatabaseChoice choice;
    const char* environment = std::getenv(kDatabaseEnvironment);
    choice.connection = environment && *environment
                            ? environment
                            : settings_file::Read(configPath, kDatabaseSection, kDatabaseKey, "");
    choice.name =
        choice.shared() ? PostgresName(choice.connection) : RecordStorePathFor(configPath);
    return choice;
}

std::unique_ptr<RecordStore> OpenChosenRecordStore(const DatabaseChoice& choice,
                                                   const std::string& configPath,
                                                   std::string* reason) {
    if (!choice.shared())
        return OpenSqliteRecordStore(RecordStorePathFor(configPath), reason);
    return OpenRecordStore(sql::OpenPostgres(choice.connection, reason), reason);
}
