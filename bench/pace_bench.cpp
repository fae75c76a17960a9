// The line's pace through the command line, as a fixture script runs it: the tests' build
// pravune-cli-sim started as a process over its simulated bus, from the process's start to its
// exit, against a baseline from the same run.
//  - One module (`program`, 1 KiB of code and a serial number, 2 ms per answer) against the
//    module's own time: the same download through a station in this process, timed by the
//    module's clock (its answers only).
//  - Sixteen modules at once (`watch --count 16`, full image, 1 ms per answer) against one
//    (`watch --count 1`), each on its own config.ini and record, alternated in each iteration.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "sim/sim_hid_platform.h"
#include "station/thread_host.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One run of pravune-cli-sim: its wall time to exit and to the first "Succeed" on its output
// (negative when it did not exit 0 or never printed it), in ms.
struct Run {
    double exitMs = -1;
    double succeedMs = -1;
};

// Runs pravune-cli-sim with `args` over `modules` answering in `answerMicros`.
Run RunCli(const std::vector<std::string>& args, const std::string& modules,
           unsigned answerMicros) {
    std::vector<std::string> env = {
        "PRAVUNE_CLI_SIMULATE=" + modules,
        "PRAVUNE_CLI_SIMULATE_ANSWER_US=" + std::to_string(answerMicros)};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("PRAVUNE_", 0) != 0)
            env.emplace_back(*e);
    }
    std::vector<char*> envp, argv{const_cast<char*>(PRAVUNE_CLI_SIM_PATH)};
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run run;
    const Clock::time_point start = Clock::now();
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, PRAVUNE_CLI_SIM_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string seen;
    char buffer[4096];
    for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        seen.append(buffer, static_cast<std::size_t>(n));
        if (run.succeedMs < 0 && seen.find("Succeed") != std::string::npos)
            run.succeedMs = MsSince(start);
    }
    ::close(out[0]);
    int status = 0;
    if (spawned != 0 || ::waitpid(child, &status, 0) != child)
        return {};
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        run.exitMs = MsSince(start);
    return run;
}

// A station's folder: config.ini with a serial-number plan and its HEX file.
struct StationFolder {
    explicit StationFolder(std::uint32_t codeEnd) {
        hex =
            dir.Write("fw.hex", Data(0, {0x02, 0x0E, 0x00}) + "\n" + FullImageHex(0x0E00, codeEnd));
        dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + hex +
                                    "\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=0\nSN_Bytes=4\n"
                                    "SN_Step=1\n");
    }
    std::string Config() const { return dir.File("config.ini"); }
    TempDir dir;
    std::string hex;
};

struct QuietObserver : StationObserver {
    void OnLog(const LogEntry&) override {}
};

// The module's own time for one download of `folder`'s file: the answers of a station in this
// process, as the command line's station runs (the first handshake at once).
double ModuleMs(const StationFolder& folder, unsigned answerMicros, std::size_t& exchanges) {
    VirtualBootloader module("BENCH1");
    module.faults.answerMicros = answerMicros;
    SimHidPlatform platform;
    platform.AddModule(module);
    QuietObserver observer;
    StationFlags flags;
    ThreadHost host(flags, observer);
    host.SetFirstTickAtOnce(true);
    ProgrammingStation station(platform, folder.Config(), observer, host, flags);
    {
        const StoredSettings stored = station.ReadSettings();
        station.ApplyBootloaderId(stored.vid, stored.pid);
    }
    station.LoadHexFile(station.Path());
    if (!station.Download())
        return -1;
    exchanges = module.exchanges();
    return std::chrono::duration<double, std::milli>(module.answerTime()).count();
}

void BM_CliOneModuleFromStart(benchmark::State& state) {
    const unsigned answerMicros = static_cast<unsigned>(state.range(0));
    StationFolder folder(0x1200);
    double exitMs = 0, succeedMs = 0, moduleMs = 0;
    std::size_t exchanges = 0;
    for (auto _ : state) {
        moduleMs += ModuleMs(folder, answerMicros, exchanges);
        const Run run = RunCli({"--config", folder.Config(), "program", "--wait", "30"}, "MOD001",
                               answerMicros);
        if (run.exitMs < 0 || run.succeedMs < 0)
            state.SkipWithError("pravune-cli-sim program failed");
        exitMs += run.exitMs;
        succeedMs += run.succeedMs;
        state.SetIterationTime(run.succeedMs / 1e3);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["exchanges"] = static_cast<double>(exchanges);
    state.counters["module_ms"] = moduleMs / n;
    state.counters["to_succeed_ms"] = succeedMs / n;
    state.counters["to_exit_ms"] = exitMs / n;
    state.counters["ratio_to_module_time"] = succeedMs / moduleMs;
    state.counters["exit_ratio_to_module_time"] = exitMs / moduleMs;
}
BENCHMARK(BM_CliOneModuleFromStart)
    ->Arg(2000)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_CliModulesAtOnce(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const unsigned answerMicros = 1000;
    std::string many;
    for (int i = 0; i < count; ++i)
        many += (i ? ",M" : "M") + std::to_string(10000 + i);  // six characters, as a UID
    double oneMs = 0, manyMs = 0;
    for (auto _ : state) {
        StationFolder single(0x3BFA - 0x100), shared(0x3BFA - 0x100);
        const double one =
            RunCli({"--config", single.Config(), "watch", "--count", "1"}, "M00001", answerMicros)
                .exitMs;
        const double all =
            RunCli({"--config", shared.Config(), "watch", "--count", std::to_string(count)}, many,
                   answerMicros)
                .exitMs;
        if (one < 0 || all < 0)
            state.SkipWithError("pravune-cli-sim watch failed");
        oneMs += one;
        manyMs += all;
        state.SetIterationTime(all / 1e3);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["one_ms"] = oneMs / n;
    state.counters["all_ms"] = manyMs / n;
    state.counters["ratio_to_one"] = manyMs / oneMs;
}
BENCHMARK(BM_CliModulesAtOnce)
    ->Arg(16)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
