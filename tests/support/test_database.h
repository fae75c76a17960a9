#pragma once

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ledger/database_config.h"
#include "ledger/record_store.h"
#include "ledger/sql_session.h"
#include "station/record_texts.h"
#include "tests/support/record_failure_print.h"
#include "tests/support/temp_dir.h"

// The two databases a record can live in, for tests that run against both through the one
// interface: a SQLite file in a fresh folder, or a fresh database on the PostgreSQL server the
// test set-up started (tests/pg/server.sh, its state folder in PRAVUNE_TEST_PG).
enum class Backend { kSqlite, kPostgres };

inline std::string BackendText(Backend backend) {
    return backend == Backend::kSqlite ? "sqlite" : "postgres";
}
// Names a parameterised test after its backend.
struct BackendName {
    template <class ParamInfo>
    std::string operator()(const ParamInfo& info) const {
        return BackendText(info.param);
    }
};

// The test server's state folder, and its connection string without a database.
inline std::string TestServerState() {
    const char* state = std::getenv("PRAVUNE_TEST_PG");
    return state ? state : "";
}
inline std::string TestServerConnection() {
    return TestServerState().empty() ? std::string() : ReadBytes(TestServerState() + "/conninfo");
}

class TestDatabase {
  public:
    explicit TestDatabase(Backend backend) : m_backend(backend) {
        m_config = m_dir.Write("config.ini", "[SETTING]\r\n");
        if (backend == Backend::kSqlite)
            return;
        std::string base = TestServerConnection();
        while (!base.empty() && (base.back() == '\n' || base.back() == ' '))
            base.pop_back();
        if (!PostgresBuiltIn() || base.empty()) {
            m_skip = PostgresBuiltIn()
                         ? "no PostgreSQL test server (Debian package postgresql, started by CTest)"
                         : "built without PostgreSQL";
            return;
        }
        m_name = "t" + std::to_string(::getpid()) + "_" + std::to_string(std::random_device{}());
        // The server should be there: failing to reach it fails the test, never skips it.
        RecordFailure failure;
        auto admin = sql::OpenPostgres(base + " dbname=postgres", &failure);
        if (!admin) {
            m_error = RecordFailureText(failure);
            return;
        }
        if (const sql::Result made = admin->Script("CREATE DATABASE " + m_name); !made.ok()) {
            m_error = made.error;
            return;
        }
        m_connection = base + " dbname=" + m_name;
        m_config = m_dir.Write("config.ini",
                               "[SETTING]\r\n[DATABASE]\r\nConnection=" + m_connection + "\r\n");
    }
    ~TestDatabase() {
        if (m_connection.empty())
            return;
        if (auto admin = sql::OpenPostgres(Base() + " dbname=postgres", nullptr))
            admin->Script("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)");
    }
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    // Non-empty when the backend cannot be tested here: the test skips with it.
    const std::string& skip() const { return m_skip; }
    // Non-empty when the test server should be there and cannot be used: the test fails.
    const std::string& error() const { return m_error; }
    Backend backend() const { return m_backend; }
    // A config.ini naming this database (with no [DATABASE] section for SQLite).
    const std::string& configPath() const { return m_config; }
    const std::string& connection() const { return m_connection; }
    const TempDir& dir() const { return m_dir; }

    std::unique_ptr<RecordStore> Open(RecordFailure* reason) const {
        return OpenChosenRecordStore(ChooseDatabase(m_config), m_config, reason);
    }
    // Where the SQLite record is, when loaders keep it beside another config.ini.
    void UseSqliteBeside(const std::string& configPath) { m_config = configPath; }
    // A connection for raw SQL, as another tool would use it.
    std::unique_ptr<sql::Session> Raw() const {
        return m_backend == Backend::kSqlite
                   ? sql::OpenSqlite(RecordStorePathFor(m_config), nullptr)
                   : sql::OpenPostgres(m_connection, nullptr);
    }
    // The first column of the first row of `query`, or -1.
    std::int64_t Count(const std::string& query) const {
        auto raw = Raw();
        if (!raw)
            return -1;
        const sql::Result result = raw->Run(query);
        return result.ok() && !result.rows.empty() ? result.rows[0].Int(0) : -1;
    }

  private:
    std::string Base() const { return m_connection.substr(0, m_connection.rfind(" dbname=")); }

    Backend m_backend;
    // In memory where the machine allows: several processes writing one SQLite file at once
    // otherwise queue behind each other's flushes to disk, long enough to run out of the busy
    // timeout on a loaded machine.
    TempDir m_dir{std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp"};
    std::string m_config;
    std::string m_skip;
    std::string m_error;
    std::string m_name;
    std::string m_connection;
};

// Skips a test without a test server, fails one whose server cannot be used.
#define REQUIRE_DATABASE(database)                                     \
    do {                                                               \
        if (!(database).skip().empty())                                \
            GTEST_SKIP() << (database).skip();                         \
        ASSERT_TRUE((database).error().empty()) << (database).error(); \
    } while (false)

// Every record of `store`, oldest first, with its log; nothing, with the failure, on failure.
inline std::optional<std::vector<DownloadRecord>> AllRecords(RecordStore& store,
                                                             RecordFailure* reason) {
    std::vector<DownloadRecord> all;
    if (!store.ForEach(
            "", true,
            [&](const DownloadRecord& r) {
                all.push_back(r);
                return true;
            },
            reason))
        return std::nullopt;
    return all;
}
