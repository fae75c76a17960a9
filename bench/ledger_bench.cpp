// What the record and the serial number cost a download on a PostgreSQL server shared by the
// stations, against the SQLite file a single station keeps: the record begun, a number taken
// from the plan's counter, its state, and the record ended with a log of ten lines. And how many
// numbers four stations take a second, together, from one counter.
//
// The server is one of the tests' own (tests/pg/server.sh), on a Unix socket, flushing to disk
// as a real one does. Without server binaries the PostgreSQL figures are skipped.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "ledger/database_config.h"
#include "ledger/record_store.h"
#include "ledger/sql_session.h"

namespace {

struct Fixture {
    Fixture() {
        folder = std::filesystem::temp_directory_path() /
                 ("pravune-ledger-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        sqlitePath = (folder / "records.sqlite").string();
        const std::string state = (folder / "pg").string();
        const std::string start =
            "PRAVUNE_PG_FSYNC=on bash " PRAVUNE_PG_SCRIPT " start " + state + " > /dev/null";
        if (std::system(start.c_str()) == 0 && std::filesystem::exists(state + "/conninfo")) {
            std::string line;
            std::FILE* file = std::fopen((state + "/conninfo").c_str(), "r");
            char text[512] = {};
            if (file && std::fgets(text, sizeof text, file))
                line = text;
            if (file)
                std::fclose(file);
            while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
                line.pop_back();
            std::string reason;
            if (auto admin = sql::OpenPostgres(line + " dbname=postgres", &reason);
                admin && admin->Script("CREATE DATABASE bench").ok())
                connection = line + " dbname=bench";
        }
    }
    ~Fixture() {
        const std::string stop =
            "bash " PRAVUNE_PG_SCRIPT " stop " + (folder / "pg").string() + " > /dev/null";
        std::system(stop.c_str());
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::unique_ptr<RecordStore> Open(bool postgres, std::string* reason) const {
        if (!postgres)
            return OpenSqliteRecordStore(sqlitePath, reason);
        if (connection.empty()) {
            *reason = "no PostgreSQL server binaries";
            return nullptr;
        }
        return OpenRecordStore(sql::OpenPostgres(connection, reason), reason);
    }
    std::filesystem::path folder;
    std::string sqlitePath;
    std::string connection;
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

// One download's record and number, as a station with a shared counter does it.
void Download(benchmark::State& state, bool postgres) {
    std::string reason;
    auto store = Shared().Open(postgres, &reason);
    if (!store) {
        state.SkipWithError(reason.c_str());
        return;
    }
    DownloadRecord record;
    record.stationHost = "bench-" + std::to_string(state.thread_index());
    record.format = "plain";
    for (int i = 0; i < 10; ++i)
        record.log.push_back({"Write Flash ... \t\tDone\r\n", 0x008000, true});
    const CounterStation station{record.stationHost, "/opt/pravune"};
    for (auto _ : state) {
        record.id = store->BeginDownload(record, &reason);
        record.verdict = "succeeded";
        const bool ok =
            record.id != 0 &&
            store->TakeSerial(record.id, {0x3B00, 4}, 0, 1, station, &reason).has_value() &&
            store->SetSerialState(record.id, SerialState::kWritten, &reason) &&
            store->FinishDownload(record, &reason);
        if (!ok) {
            state.SkipWithError(reason.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// The baseline: the SQLite file beside config.ini.
void BM_DownloadRecord_SqliteBaseline(benchmark::State& state) {
    Download(state, false);
}
void BM_DownloadRecord_Postgres(benchmark::State& state) {
    Download(state, true);
}
BENCHMARK(BM_DownloadRecord_SqliteBaseline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DownloadRecord_Postgres)->Unit(benchmark::kMicrosecond)->UseRealTime();
// Four stations at once on one counter: items_per_second is the numbers taken, all together.
BENCHMARK(BM_DownloadRecord_SqliteBaseline)
    ->Threads(4)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_DownloadRecord_Postgres)->Threads(4)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
