#include "ledger/database_config.h"

#include <cstdlib>

#include "ledger/sql_session.h"
#include "settings/settings_store.h"

DatabaseChoice ChooseDatabase(const std::string& configPath, const char* environment) {
    DatabaseChoice choice;
    choice.connection = settings_file::Read(configPath, kDatabaseSection, kDatabaseKey, "");
    choice.name =
        choice.shared() ? PostgresName(choice.connection) : RecordStorePathFor(configPath);
    if (!environment || !*environment)
        return choice;
    const std::string named = PostgresName(environment);
    if (!choice.shared() || named != choice.name) {
        choice.problem = {.code = choice.shared() ? RecordFailure::Code::kOtherDatabase
                                                  : RecordFailure::Code::kNoDatabaseNamed,
                          .where = configPath,
                          .detail = choice.name,
                          .given = named};
    } else {
        choice.connection = environment;  // the same database, another role or password file
    }
    return choice;
}

DatabaseChoice ChooseDatabase(const std::string& configPath) {
    return ChooseDatabase(configPath, std::getenv(kDatabaseEnvironment));
}

std::unique_ptr<RecordStore> OpenChosenRecordStore(const DatabaseChoice& choice,
                                                   const std::string& configPath,
                                                   RecordFailure* failure) {
    if (!choice.problem.ok()) {
        Fails(failure, choice.problem);
        return nullptr;
    }
    if (std::string problem = SettingsPlaceProblem(configPath); !problem.empty()) {
        Fails(failure, {.code = RecordFailure::Code::kPlace, .detail = problem});
        return nullptr;
    }
    if (!choice.shared())
        return OpenSqliteRecordStore(RecordStorePathFor(configPath), failure);
    return OpenRecordStore(sql::OpenPostgres(choice.connection, failure), failure);
}
