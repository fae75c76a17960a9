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
    if (!choice.shared()) {
        choice.problem = std::string(kDatabaseEnvironment) + " names " + named + ", but " +
                         configPath + " names no [DATABASE]: its counter and record are in " +
                         choice.name + " (unset " + kDatabaseEnvironment + ")";
    } else if (named != choice.name) {
        choice.problem = std::string(kDatabaseEnvironment) + " names " + named + ", but " +
                         configPath + " names " + choice.name + " (unset " + kDatabaseEnvironment +
                         " or name the same server in config.ini)";
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
                                                   std::string* reason) {
    std::string problem = choice.problem;
    if (problem.empty())
        problem = SettingsPlaceProblem(configPath);
    if (!problem.empty()) {
        if (reason)
            *reason = problem;
        return nullptr;
    }
    if (!choice.shared())
        return OpenSqliteRecordStore(RecordStorePathFor(configPath), reason);
    return OpenRecordStore(sql::OpenPostgres(choice.connection, reason), reason);
}
