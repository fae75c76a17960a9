// A whole download of a full image (0x0E00 to 0x3BF9) through the window, from the click to
// "Succeed", against a virtual module that answers at once and one that takes 1 ms per answer.
// The handshake's first attempt waits for the one-second tick; the wait up to that first
// exchange is subtracted. The
// slow module's figure is also given as a ratio to the sum of its own answer times.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <fstream>

#include "app/loader_dlg.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

namespace {

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
    state.counters["ms_without_tick"] = lessTick;
    state.counters["exchanges"] =
        static_cast<double>(module.exchanges()) / static_cast<double>(state.iterations());
    if (answerMicros > 0) {
        state.counters["module_answer_ms"] = answers;
        state.counters["ratio_to_answer_time"] = lessTick / answers;
    }
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
