// A whole download of a full image (0x0E00 to 0x3BF9) through the window, from the click to
// "Succeed", against a virtual module that answers at once and one that takes 1 ms per answer.
// The handshake's first attempt waits for the one-second tick; the wait up to that first
// exchange is subtracted. The
// slow module's figure is also given as a ratio to the sum of its own answer times. The same
// download through the programming station on a worker thread (ThreadHost), in the same run,
// gives the station's own overhead per exchange beside the window's.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <fstream>
#include <thread>

#include "app/loader_dlg.h"
#include "cli/printer.h"
#include "sim/sim_hid_platform.h"
#include "station/thread_host.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

namespace {

// The counters both front ends report: the ratio to the module's own time, and the front
// end's own time per exchange (the whole download less the module's answers).
void Report(benchmark::State& state, double lessTickMs, double answersMs, std::size_t exchanges) {
    const double perRun = static_cast<double>(exchanges) / static_cast<double>(state.iterations());
    state.counters["ms_without_tick"] = lessTickMs;
    state.counters["exchanges"] = perRun;
    state.counters["own_us_per_exchange"] = (lessTickMs - answersMs) * 1e3 / perRun;
    if (answersMs > 0) {
        state.counters["module_answer_ms"] = answersMs;
        state.counters["ratio_to_answer_time"] = lessTickMs / answersMs;
    }
}

// Logs nothing: the station's texts cost what building them costs.
struct QuietObserver : StationObserver {
    void OnLog(const LogEntry&) override {}
};

void BM_StationDownloadFullImage(benchmark::State& state) {
    const unsigned answerMicros = static_cast<unsigned>(state.range(0));
    TempDir dir;
    const std::string path = dir.Write("full.hex", FullImageHex(0x0E00, 0x3BFA));
    dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path + "\n");
    VirtualBootloader module("BENCH1");
    module.faults.answerMicros = answerMicros;
    SimHidPlatform platform;
    platform.AddModule(module);
    // Argument 1: 0 tells nothing, 1 prints as pravune-cli does (its lines and progress).
    QuietObserver quiet;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> null(std::fopen("/dev/null", "w"),
                                                         &std::fclose);
    Printer printer(Printer::Mode::kTerminal, null.get());
    ModuleObserver printing(printer, "usb-1-1");
    StationObserver& observer = state.range(1) ? static_cast<StationObserver&>(printing) : quiet;
    StationFlags flags;
    ThreadHost host(flags, observer);
    ProgrammingStation station(platform, dir.File("config.ini"), observer, host, flags);
    station.ReadSettings();
    station.ApplyBootloaderId();
    station.LoadHexFile(station.m_strPath);
    double lessTick = 0, answers = 0;
    std::size_t exchanges = 0;
    for (auto _ : state) {
        const std::size_t before = module.exchanges();
        QElapsedTimer clock;
        double firstAnswered = -1;
        module.onExchange = [&](std::size_t) {
            if (firstAnswered < 0)
                firstAnswered = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        };
        bool ok = false;
        clock.start();
        std::thread worker([&] { ok = station.Download(); });
        worker.join();
        const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        module.onExchange = nullptr;
        if (!ok)
            state.SkipWithError("download failed");
        state.SetIterationTime(ms / 1e3);
        lessTick = ms - (firstAnswered - answerMicros / 1e3);
        answers = static_cast<double>(module.exchanges() - before) * answerMicros / 1e3;
        exchanges = module.exchanges();
    }
    Report(state, lessTick, answers, exchanges);
}
BENCHMARK(BM_StationDownloadFullImage)
    ->Args({0, 0})
    ->Args({1000, 0})
    ->Args({0, 1})
    ->Args({1000, 1})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Several stations at once, each on its own thread with its own module answering in 1 ms, on
// one config.ini and one record store (serial numbers on): the time for all of them against
// one alone. The handshake's first tick (1 s) is left out as above.
void BM_StationsAtOnce(benchmark::State& state) {
    const int stations = static_cast<int>(state.range(0));
    TempDir dir;
    const std::string path = dir.Write("full.hex", FullImageHex(0x0E00, 0x3BFA - 0x100));
    dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path +
                                "\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=0\nSN_Bytes=4\n");
    struct One {
        VirtualBootloader module{"BENCH1"};
        SimHidPlatform platform;
        QuietObserver observer;
        StationFlags flags;
        ThreadHost host{flags, observer};
        std::unique_ptr<ProgrammingStation> station;
        double firstAnswered = -1;
    };
    std::vector<std::unique_ptr<One>> all;
    for (int i = 0; i < stations; ++i) {
        auto one = std::make_unique<One>();
        one->module.faults.answerMicros = 1000;
        one->platform.AddModule(one->module);
        one->station = std::make_unique<ProgrammingStation>(one->platform, dir.File("config.ini"),
                                                            one->observer, one->host, one->flags);
        one->station->ReadSettings();
        one->station->ApplyBootloaderId();
        one->station->LoadHexFile(one->station->m_strPath);
        all.push_back(std::move(one));
    }
    double lessTick = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        for (auto& one : all) {
            one->firstAnswered = -1;
            One* p = one.get();
            one->module.onExchange = [p, &clock](std::size_t) {
                if (p->firstAnswered < 0)
                    p->firstAnswered = static_cast<double>(clock.nsecsElapsed()) / 1e6;
            };
        }
        std::vector<std::thread> threads;
        std::atomic<int> failed{0};
        clock.start();
        for (auto& one : all) {
            ProgrammingStation* st = one->station.get();
            threads.emplace_back([st, &failed] { failed += st->Download() ? 0 : 1; });
        }
        for (std::thread& t : threads)
            t.join();
        const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        if (failed)
            state.SkipWithError("a download failed");
        double firstTick = 1e9;
        for (auto& one : all)
            firstTick = std::min(firstTick, one->firstAnswered - 1.0);
        lessTick = ms - firstTick;
        state.SetIterationTime(ms / 1e3);
    }
    state.counters["ms_without_tick"] = lessTick;
    state.counters["exchanges_each"] =
        static_cast<double>(all[0]->module.exchanges()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StationsAtOnce)
    ->Arg(1)
    ->Arg(4)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_DownloadFullImage(benchmark::State& state) {
    const unsigned answerMicros = static_cast<unsigned>(state.range(0));
    TempDir dir;
    const std::string path = dir.Write("full.hex", FullImageHex(0x0E00, 0x3BFA));
    dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path + "\n");
    VirtualBootloader module("BENCH1");
    module.faults.answerMicros = answerMicros;
    SimHidPlatform platform;
    platform.AddModule(module);
    CLoaderDlg dlg(platform, dir.path());
    auto* button = static_cast<QPushButton*>(dlg.GetDlgItem(IDC_DOWNLOAD));
    double lessTick = 0, answers = 0;
    for (auto _ : state) {
        const std::size_t before = module.exchanges();
        QElapsedTimer clock;
        double firstAnswered = -1;  // the handshake's first exchange, after the tick
        module.onExchange = [&](std::size_t) {
            if (firstAnswered < 0)
                firstAnswered = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        };
        clock.start();
        button->click();
        const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        module.onExchange = nullptr;
        if (!dlg.LastDownloadSucceeded())
            state.SkipWithError("download failed");
        state.SetIterationTime(ms / 1e3);
        lessTick = ms - (firstAnswered - answerMicros / 1e3);
        answers = static_cast<double>(module.exchanges() - before) * answerMicros / 1e3;
    }
    Report(state, lessTick, answers, module.exchanges());
}
BENCHMARK(BM_DownloadFullImage)
    ->Arg(0)
    ->Arg(1000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
