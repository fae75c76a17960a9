#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "ledger/record_store.h"

// Where a station keeps its record and its serial-number counter: by default the SQLite file
// beside config.ini, with the counter in config.ini; or a PostgreSQL server that several
// stations share, counter included. config.ini names the server:
//
//   [DATABASE]
//   Connection=host=db.line.example dbname=pravune user=station
//
// (a libpq connection string or postgresql:// address). The counter's home follows from
// config.ini alone: the environment variable PRAVUNE_DATABASE, when set and not empty, may only
// name the server config.ini names (the same host, port and database; another role or password
// file for a script); naming another database, or one where config.ini names none, it is
// refused, so that no process opens a second ledger beside the one of its config.ini.

inline constexpr const char* kDatabaseSection = "DATABASE";
inline constexpr const char* kDatabaseKey = "Connection";
inline constexpr const char* kDatabaseEnvironment = "PRAVUNE_DATABASE";
// How long a connection attempt may take where the connection string sets no connect_timeout.
inline constexpr std::chrono::seconds kConnectTimeout{5};

struct DatabaseChoice {
    std::string connection;  // empty: the SQLite file beside config.ini
    // The database as the log names it, without credentials: the file's path or
    // "PostgreSQL server HOST:PORT/DATABASE".
    std::string name;
    // Why no database may be opened (PRAVUNE_DATABASE names another than config.ini:
    // kNoDatabaseNamed, kOtherDatabase); kNone when all is well.
    RecordFailure problem;
    bool shared() const { return !connection.empty(); }
};

// The database for the station whose settings are at `configPath`; `environment` is
// PRAVUNE_DATABASE's value (null when unset).
DatabaseChoice ChooseDatabase(const std::string& configPath, const char* environment);
// The same with this process's PRAVUNE_DATABASE.
DatabaseChoice ChooseDatabase(const std::string& configPath);

// Opens the chosen database's record, bringing its layout to the newest version; null with the
// failure (kPlace: the choice's problem, when it has one).
std::unique_ptr<RecordStore> OpenChosenRecordStore(const DatabaseChoice& choice,
                                                   const std::string& configPath,
                                                   RecordFailure* failure);

// "PostgreSQL server HOST:PORT/DATABASE" for a connection string, with libpq's defaults.
std::string PostgresName(const std::string& connection);

// Whether this loader was built with PostgreSQL.
bool PostgresBuiltIn();

namespace sql {
class Session;
// Connects to the PostgreSQL server that `connection` names, within the connection's
// connect_timeout (kConnectTimeout when it sets none). Null, with the failure, on failure; its
// detail never holds the password.
std::unique_ptr<Session> OpenPostgres(const std::string& connection, RecordFailure* failure);
}  // namespace sql
