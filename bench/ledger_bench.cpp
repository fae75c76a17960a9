// What the record and the serial number cost a download on a PostgreSQL server shared by the
// stations, against the SQLite file a single station keeps: the record begun, a number taken
// from the plan's counter, its state, and the record ended with a log of ten lines. And how many
// numbers four stations take a second, together, from one counter; and sixteen stations of one
// process, each on its own connection (the baseline) against the process's shared pool: numbers
// a second and connections used, as ratios from the same run.
//
// The server is one of the tests' own (tests/pg/server.sh), on a Unix socket, flushing to disk
// as a real one does. Without server binaries the PostgreSQL figures are skipped.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ledger/database_config.h"
#include "ledger/record_store.h"
#include "ledger/shared_record_store.h"
#include "ledger/sql_session.h"
#include "station/record_texts.h"

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
            if (auto admin = sql::OpenPostgres(line + " dbname=postgres", nullptr);
                admin && admin->Script("CREATE DATABASE bench").ok())
                connection = line + " dbname=bench";
        }
        configPath = (folder / "config.ini").string();
        std::ofstream(configPath) << "[DATABASE]\nConnection=" << connection << "\n";
    }
    ~Fixture() {
        const std::string stop =
            "bash " PRAVUNE_PG_SCRIPT " stop " + (folder / "pg").string() + " > /dev/null";
        std::system(stop.c_str());
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    // Null, with the failure's words in `reason`.
    std::unique_ptr<RecordStore> Open(bool postgres, std::string* reason) const {
        if (postgres && connection.empty()) {
            *reason = "no PostgreSQL server binaries";
            return nullptr;
        }
        RecordFailure failure;
        auto store = postgres ? OpenRecordStore(sql::OpenPostgres(connection, &failure), &failure)
                              : OpenSqliteRecordStore(sqlitePath, &failure);
        if (!store)
            *reason = RecordFailureText(failure);
        return store;
    }
    std::filesystem::path folder;
    std::string sqlitePath;
    std::string connection;
    std::string configPath;  // a station's config.ini naming the server
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

// A download's record as station `host` keeps it, with a log of ten lines.
DownloadRecord Record(const std::string& host) {
    DownloadRecord record;
    record.stationHost = host;
    record.format = "plain";
    for (int i = 0; i < 10; ++i)
        record.log.push_back({"Write Flash ... \t\tDone\r\n", 0x008000, true});
    return record;
}

// One download's record and number, as a station with a shared counter does it.
bool RecordOne(RecordStore& store, DownloadRecord& record, std::string* reason) {
    const CounterStation station{record.stationHost, "/opt/pravune"};
    RecordFailure failure;
    record.id = store.BeginDownload(record, &failure);
    record.verdict = "succeeded";
    const bool ok = record.id != 0 &&
                    store.TakeSerial(record.id, {0x3B00, 4}, 0, 1, station, &failure).has_value() &&
                    store.SetSerialState(record.id, SerialState::kWritten, &failure) &&
                    store.FinishDownload(record, &failure);
    if (!ok)
        *reason = RecordFailureText(failure);
    return ok;
}

void Download(benchmark::State& state, bool postgres) {
    std::string reason;
    auto store = Shared().Open(postgres, &reason);
    if (!store) {
        state.SkipWithError(reason.c_str());
        return;
    }
    DownloadRecord record = Record("bench-" + std::to_string(state.thread_index()));
    for (auto _ : state) {
        if (!RecordOne(*store, record, &reason)) {
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

// Sixteen stations of one process, 25 modules each, on the server: each station opening its own
// connection (the baseline, as before the shared store), then the process's shared pool. Per
// iteration both; the counters are numbers a second, the connections each used, and the pool's
// ratios to the baseline.
constexpr int kStations = 16, kModules = 25;

// The seconds the sixteen stations took, each with the store `open` gives it; false on any
// failure, with the reason.
template <class Open>
bool SixteenStations(Open open, double& seconds, std::string& reason) {
    std::vector<std::thread> threads;
    std::vector<std::string> failures(kStations);
    const auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < kStations; ++s) {
        threads.emplace_back([&, s] {
            std::string& why = failures[static_cast<std::size_t>(s)];
            std::unique_ptr<RecordStore> store = open(&why);
            DownloadRecord record = Record("line-" + std::to_string(s));
            for (int m = 0; store && m < kModules; ++m) {
                if (!RecordOne(*store, record, &why))
                    return;
            }
            if (store)
                why.clear();
        });
    }
    for (std::thread& t : threads)
        t.join();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const std::string& why : failures) {
        if (!why.empty()) {
            reason = why;
            return false;
        }
    }
    return true;
}

void BM_SixteenStationsPostgres(benchmark::State& state) {
    const Fixture& f = Shared();
    if (f.connection.empty()) {
        state.SkipWithError("no PostgreSQL server binaries");
        return;
    }
    double own = 0, pooled = 0;
    std::size_t pooledConnections = 0;
    for (auto _ : state) {
        double seconds = 0;
        std::string reason;
        if (!SixteenStations([&](std::string* why) { return f.Open(true, why); }, seconds,
                             reason)) {
            state.SkipWithError(reason.c_str());
            return;
        }
        own += seconds;
        SharedRecordStore pool(f.configPath);
        auto handle = [&](std::string* why) {
            RecordFailure failure;
            auto store = pool.Handle(&failure);
            if (!store)
                *why = RecordFailureText(failure);
            return store;
        };
        if (!SixteenStations(handle, seconds, reason)) {
            state.SkipWithError(reason.c_str());
            return;
        }
        pooled += seconds;
        pooledConnections = std::max(pooledConnections, pool.MostConnections());
    }
    const double numbers = static_cast<double>(kStations * kModules * state.iterations());
    state.counters["own_numbers_per_s"] = numbers / own;
    state.counters["pool_numbers_per_s"] = numbers / pooled;
    state.counters["own_connections"] = kStations;
    state.counters["pool_connections"] = static_cast<double>(pooledConnections);
    state.counters["ratio_numbers_pool_to_own"] = own / pooled;
    state.counters["ratio_connections_pool_to_own"] =
        static_cast<double>(pooledConnections) / kStations;
}
BENCHMARK(BM_SixteenStationsPostgres)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
