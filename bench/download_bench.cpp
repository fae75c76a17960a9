// A whole download of a full image (0x0E00 to 0x3BF9) through the window, shown as the operator
// sees it, from the click to "Succeed", against a virtual module that answers at once, in
// 170 us (a full-speed USB wire) and in 1 ms. The handshake's first attempt waits for the
// one-second tick; the wait up to that first exchange is subtracted. Each figure is also given
// as a ratio to the module's own answer times, as its clock measured them in the same run. The
// window's own time per written block, shown and hidden, is set against the 170 us a block
// takes on the wire. The same download through the programming station on a worker thread
// (ThreadHost), in the same run, gives the station's own overhead per exchange beside the
// window's. Run it offscreen (QT_QPA_PLATFORM=offscreen) and under a virtual display (xvfb-run).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QWindow>
#include <chrono>
#include <fstream>
#include <thread>

#include "app/loader_dlg.h"
#include "bench/bench_support.h"
#include "cli/printer.h"
#include "ledger/sha256.h"
#include "sim/sim_hid_platform.h"
#include "station/thread_host.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

namespace {

// The counters both front ends report: the ratio to the module's own time, and the front
// end's own time per exchange (the whole download less the module's answers).
void Report(benchmark::State& state, double lessTickMs, double answersMs, std::size_t exchanges) {
    // answersMs: the module's own answer time, as measured by its clock.
    const double perRun = static_cast<double>(exchanges) / static_cast<double>(state.iterations());
    state.counters["ms_without_tick"] = lessTickMs;
    state.counters["exchanges"] = perRun;
    state.counters["own_us_per_exchange"] = (lessTickMs - answersMs) * 1e3 / perRun;
    if (answersMs > 0) {
        state.counters["module_answer_ms"] = answersMs;
        state.counters["ratio_to_module_time"] = lessTickMs / answersMs;
    }
}

// Times one download: the whole of it, less the wait up to the handshake's first exchange (the
// tick), beside the module's own answer time over the same span.
class DownloadClock {
  public:
    explicit DownloadClock(VirtualBootloader& module)
        : m_module(module), m_answeredBefore(module.answerTime()) {
        m_module.onExchange = [this](std::size_t) {
            if (m_firstAnswered < 0) {
                m_firstAnswered = Ms(m_clock.nsecsElapsed());
                m_firstAnswer = Ms((m_module.answerTime() - m_answeredBefore).count());
            }
        };
        m_clock.start();
    }
    ~DownloadClock() { m_module.onExchange = nullptr; }
    DownloadClock(const DownloadClock&) = delete;
    DownloadClock& operator=(const DownloadClock&) = delete;

    // Ends the timing; the whole time in ms.
    double Stop() {
        m_totalMs = Ms(m_clock.nsecsElapsed());
        m_module.onExchange = nullptr;
        return m_totalMs;
    }
    double LessTickMs() const { return m_totalMs - (m_firstAnswered - m_firstAnswer); }
    double ModuleMs() const { return Ms((m_module.answerTime() - m_answeredBefore).count()); }

  private:
    static double Ms(qint64 ns) { return static_cast<double>(ns) / 1e6; }

    VirtualBootloader& m_module;
    std::chrono::nanoseconds m_answeredBefore;
    QElapsedTimer m_clock;
    double m_firstAnswered = -1, m_firstAnswer = 0, m_totalMs = 0;
};

// Shows the window and waits (at most 5 s) until the display has it on screen.
bool ShowAndWaitExposed(QWidget& window) {
    window.show();
    QElapsedTimer waited;
    waited.start();
    while (!(window.windowHandle() && window.windowHandle()->isExposed()) &&
           waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    QCoreApplication::processEvents();
    return window.windowHandle() && window.windowHandle()->isExposed();
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
    {
        const StoredSettings stored = station.ReadSettings();
        station.ApplyBootloaderId(stored.vid, stored.pid);
    }
    station.LoadHexFile(station.Path());
    double lessTick = 0, answers = 0;
    std::size_t exchanges = 0;
    for (auto _ : state) {
        bool ok = false;
        DownloadClock clock(module);
        std::thread worker([&] { ok = station.Download(); });
        worker.join();
        const double ms = clock.Stop();
        if (!ok)
            state.SkipWithError("download failed");
        state.SetIterationTime(ms / 1e3);
        lessTick = clock.LessTickMs();
        answers = clock.ModuleMs();
        exchanges = module.exchanges();
    }
    Report(state, lessTick, answers, exchanges);
}
BENCHMARK(BM_StationDownloadFullImage)
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
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
        const StoredSettings stored = one->station->ReadSettings();
        one->station->ApplyBootloaderId(stored.vid, stored.pid);
        one->station->LoadHexFile(one->station->Path());
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
    ->Iterations(5)
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
    if (!ShowAndWaitExposed(dlg))
        state.SkipWithError("window not shown");
    auto* button = static_cast<QPushButton*>(dlg.GetDlgItem(IDC_DOWNLOAD));
    double lessTick = 0, answers = 0;
    for (auto _ : state) {
        DownloadClock clock(module);
        // The station runs the download on its worker; the window's events run meanwhile.
        QEventLoop ended;
        QObject::connect(&dlg, &CLoaderDlg::DownloadFinished, &ended, &QEventLoop::quit);
        button->click();
        ended.exec();
        const double ms = clock.Stop();
        if (!dlg.LastDownloadSucceeded())
            state.SkipWithError("download failed");
        state.SetIterationTime(ms / 1e3);
        lessTick = clock.LessTickMs();
        answers = clock.ModuleMs();
    }
    Report(state, lessTick, answers, module.exchanges());
}
BENCHMARK(BM_DownloadFullImage)
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->Arg(0)
    ->Arg(170)
    ->Arg(1000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The window's own time per written block: the flash write of a full image through the window's
// station and its protocol host (each position handed to the window's progress relay, the bar
// shown), against a module that answers at once, set against the 170 us a block takes on a
// full-speed USB wire.
// Argument: 0 the window hidden, 1 shown.
void BM_WindowWriteFlashFullImage(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.Write("full.hex", FullImageHex(0x0E00, 0x3BFA));
    dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path + "\n");
    VirtualBootloader module("BENCH1");
    SimHidPlatform platform;
    platform.AddModule(module);
    CLoaderDlg dlg(platform, dir.path());
    if (state.range(0)) {
        if (!ShowAndWaitExposed(dlg))
            state.SkipWithError("window not shown");
        dlg.GetDlgItem(IDC_PROGRESS)->show();
    }
    // Between writes, the previous write's last paint.
    MeasureWriteFlash(state, dlg.Station().Protocol(), module, dlg.Image(),
                      [] { QCoreApplication::processEvents(); });
}
BENCHMARK(BM_WindowWriteFlashFullImage)
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// Production mode: a module's arrival (the platform's notice) to its "Succeed" (the module
// started) through the window shown, against the module's own time (its exchanges, each answer
// taking 2 ms), for an image the size of the sample application (0x0E00 to 0x111B); beside it
// the arrival to the first exchange and to the window's end of the download (its record
// finished). Each module is a new one (a new UID), plugged in after the last one left.
void BM_ProductionArrivalToSucceed(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.Write("fw.hex", FullImageHex(0x0E00, 0x111B));
    dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path +
                                "\nProductionMode=1\nApprovedSha256=" + Sha256Hex(ReadBytes(path)) +
                                "\n");
    VirtualBootloader module("BENCH0");
    module.Unplug();
    SimHidPlatform platform;
    platform.AddModule(module);
    CLoaderDlg dlg(platform, dir.path());
    if (!ShowAndWaitExposed(dlg))
        state.SkipWithError("window not shown");
    bool ended = false, ok = false;
    QObject::connect(&dlg, &CLoaderDlg::DownloadFinished, [&](bool succeeded) {
        ended = true;
        ok = succeeded;
    });
    auto runUntil = [](auto done) {
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    };
    // Summed over the runs: arrival to the module's start (the "Succeed"), to the window's end of
    // the download (its record finished), to the first exchange; the module's own answer time.
    double total = 0, endedMs = 0, first = 0, answers = 0;
    int n = 0;
    for (auto _ : state) {
        // A new UID (its six characters) each time: one that passed before would be asked about.
        char uid[16];
        std::snprintf(uid, sizeof uid, "B%05d", ++n);
        module.Replace(uid);
        module.Unplug();
        module.faults.answerMicros = 2000;
        ended = false;
        DownloadClock clock(module);
        QElapsedTimer sinceArrival;
        double firstMs = -1, runMs = -1;
        module.onExchange = [&](std::size_t) {
            if (firstMs < 0)
                firstMs = static_cast<double>(sinceArrival.nsecsElapsed()) / 1e6;
            if (runMs < 0 && module.running())
                runMs = static_cast<double>(sinceArrival.nsecsElapsed()) / 1e6;
        };
        sinceArrival.start();
        module.Plug();
        platform.TellChange();
        runUntil([&] { return ended; });
        const double ms = clock.Stop();
        if (!ok)
            state.SkipWithError("download failed");
        state.SetIterationTime(runMs / 1e3);
        total += runMs;
        endedMs += ms;
        first += firstMs;
        answers += clock.ModuleMs();
        // It leaves; the window turns to the next module.
        module.Unplug();
        platform.TellChange();
        runUntil(
            [&] { return dlg.Controller().Production().panel.kind == VerdictPanel::Kind::kNext; });
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["arrival_to_succeed_ms"] = total / runs;
    state.counters["arrival_to_end_ms"] = endedMs / runs;
    state.counters["arrival_to_first_exchange_ms"] = first / runs;
    state.counters["module_answer_ms"] = answers / runs;
    state.counters["ratio_to_module_time"] = answers > 0 ? total / answers : 0;
}
BENCHMARK(BM_ProductionArrivalToSucceed)
    ->Iterations(20)
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
