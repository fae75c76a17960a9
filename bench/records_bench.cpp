// What the record's list and export cost as the record grows, and how large the journal grows
// in an outage.
//
// `pravune-cli records --csv` and the plain `records` list over a SQLite record of 1,000,000
// downloads (four log lines each), against the same over 10,000 (the baseline, same run): the
// time and the peak resident memory of the process, as ratios. Memory that does not grow with
// the record gives a ratio near 1; time grows with the rows printed.
//
// And the journal after an hour's outage of the database with 16 modules retrying with the
// back-off `watch` uses (0.5 s doubled up to 10 s): its size in bytes, with the refusals it
// counts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "ledger/record_journal.h"
#include "ledger/record_store.h"
#include "ledger/sql_session.h"

namespace {

namespace fs = std::filesystem;

// A folder with a config.ini and a record of `downloads` downloads, made once per size.
struct Record {
    explicit Record(long downloads) {
        folder =
            fs::temp_directory_path() / ("pravune-records-bench-" + std::to_string(::getpid()) +
                                         "-" + std::to_string(downloads));
        fs::create_directories(folder);
        config = (folder / "config.ini").string();
        std::ofstream(config) << "[SETTING]\n";
        const std::string path = RecordStorePathFor(config);
        if (!OpenSqliteRecordStore(path, nullptr))
            return;
        auto db = sql::OpenSqlite(path, nullptr);
        const std::string n = std::to_string(downloads);
        ready = db && db->Script("BEGIN").ok() &&
                db->Script(
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                      "WHERE i < " +
                      n +
                      ") INSERT INTO downloads (start_utc, end_utc, station_host, "
                      "hex_path, module_uid, port_path, verdict, outcome, duration_ms, "
                      "record_key) SELECT printf('2026-12-%02d', 1 + i % 28) || "
                      "'T08:00:00.000Z', '2026-12-01T08:00:05.000Z', 'line-1', "
                      "'/srv/fw/app-1.4.hex', printf('MOD%06d', i), 'usb-1-2', "
                      "'succeeded', 'succeeded', 5000, printf('%032x', i) FROM n")
                    .ok() &&
                db->Script(
                      "INSERT INTO download_log (download_id, seq, text, color, "
                      "time_stamp, stamp) SELECT d.id, s.seq, 'Write Flash ... Done', "
                      "0, 1, '08:00:01.000 ' FROM downloads AS d, (SELECT 0 AS seq UNION "
                      "SELECT 1 UNION SELECT 2 UNION SELECT 3) AS s")
                    .ok() &&
                db->Script("COMMIT").ok();
    }
    ~Record() {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
    fs::path folder;
    std::string config;
    bool ready = false;
};

// Runs pravune-cli with `args`, its output to /dev/null: seconds and peak memory in MiB.
bool RunCli(const std::vector<std::string>& args, double& seconds, double& peakMib) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(PRAVUNE_CLI_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(PRAVUNE_CLI_PATH, argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child)
        return false;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peakMib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The baseline's figures, per listing, from the same run.
std::map<std::string, std::pair<double, double>>& Baselines() {
    static std::map<std::string, std::pair<double, double>> baselines;
    return baselines;
}

void List(benchmark::State& state, const char* how) {
    const long downloads = state.range(0);
    const Record record(downloads);
    if (!record.ready) {
        state.SkipWithError("the record could not be made");
        return;
    }
    std::vector<std::string> args{"--config", record.config, "records"};
    if (std::string(how) == "csv")
        args.push_back("--csv");
    double seconds = 0, peak = 0;
    for (auto _ : state) {
        if (!RunCli(args, seconds, peak)) {
            state.SkipWithError("pravune-cli records failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.counters["downloads"] = static_cast<double>(downloads);
    state.counters["peak_MiB"] = peak;
    state.counters["s"] = seconds;
    auto& baseline = Baselines()[how];
    if (downloads == 10000) {
        baseline = {seconds, peak};
    } else if (baseline.first > 0) {
        state.counters["time_x_10k"] = seconds / baseline.first;
        state.counters["peak_x_10k"] = peak / baseline.second;
    }
}

void Csv(benchmark::State& state) {
    List(state, "csv");
}
void Plain(benchmark::State& state) {
    List(state, "plain");
}
BENCHMARK(Csv)->Arg(10000)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(Plain)->Arg(10000)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);

// An hour of refusals: 16 modules, each tried again after 0.5 s, doubled up to 10 s, refused
// for one cause ("no connection"); each module at its own port, the worst case (before a
// handshake a refusal names no module, and all 16 are one entry).
void JournalAfterAnHourOutage(benchmark::State& state) {
    const fs::path folder =
        fs::temp_directory_path() / ("pravune-journal-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string config = (folder / "config.ini").string();
    std::ofstream(config) << "[SETTING]\n";
    long refusals = 0;
    for (auto _ : state) {
        for (int module = 0; module < 16; ++module) {
            double at = 0, backoff = 0.5;
            for (; at < 3600; at += backoff, backoff = std::min(backoff * 2, 10.0)) {
                JournalEntry entry{"PostgreSQL server db:5432/pravune",
                                   0,
                                   std::nullopt,
                                   DownloadRecord{},
                                   0,
                                   0,
                                   {}};
                DownloadRecord& r = *entry.finish;
                r.startUtc = r.endUtc = "2026-12-09T10:00:00.000Z";
                r.stationHost = "line-1";
                r.stationConfig = config;
                r.portPath = "usb-1-" + std::to_string(module);
                r.verdict = "failed";
                r.outcome = "not_recorded";
                r.failedStep = "record";
                r.statusText =
                    "The download cannot be recorded in PostgreSQL server "
                    "db:5432/pravune: could not connect to server";
                r.recordKey = NewRecordKey();
                for (int line = 0; line < 12; ++line)
                    r.log.push_back(
                        {"\t- a line of the refused download's log\r\n", 0, true, "10:00:00.000 "});
                KeepInJournal(config, entry, nullptr);
                ++refusals;
            }
        }
    }
    state.counters["refusals"] = static_cast<double>(refusals);
    state.counters["journal_bytes"] =
        static_cast<double>(fs::file_size(RecordJournalPathFor(config)));
    std::error_code ec;
    fs::remove_all(folder, ec);
}
BENCHMARK(JournalAfterAnHourOutage)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
