// The window's costs as the operator feels them, run offscreen:
// - time from process start to the main window shown, beside an empty dialog shown the same way;
// - resident memory after start-up;
// - the CPU the idle window uses over 60 s with its 500 ms status refresh running among 32 other
//   HID devices (a fake sysfs, no module), as a share of one core, with production mode off and
//   on (waiting for a module), beside an empty dialog shown as long in the same run (set
//   PRAVUNE_IDLE_SECONDS to shorten them).
// Run it offscreen (QT_QPA_PLATFORM=offscreen) and under a virtual display (xvfb-run).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <sstream>

#include "app/loader_dlg.h"
#include "device/hidraw_platform.h"
#include "ledger/sha256.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/temp_dir.h"

namespace {

// Seconds since this process started, from /proc.
double SinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i)
        fields >> field;  // field 22: start time in clock ticks
    const double started = std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9 - started;
}

double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double g_firstShown = 0;  // the real window, first thing in this process

void BM_StartupToWindowShown(benchmark::State& state) {
    for (auto _ : state) {
    }
    state.counters["process_start_to_shown_ms"] = g_firstShown * 1e3;
    state.counters["rss_after_startup_MiB"] = ResidentMiB();
}
BENCHMARK(BM_StartupToWindowShown)->Iterations(1);

void BM_ConstructAndShowWindow(benchmark::State& state) {
    TempDir dir;
    HidrawPlatform platform;
    for (auto _ : state) {
        CLoaderDlg dlg(platform, dir.path());
        dlg.show();
        if (!QTest::qWaitForWindowExposed(&dlg))
            state.SkipWithError("not shown");
    }
}
BENCHMARK(BM_ConstructAndShowWindow)->Unit(benchmark::kMillisecond);

void BM_EmptyDialogShown_Baseline(benchmark::State& state) {
    for (auto _ : state) {
        QDialog dlg;
        dlg.resize(363, 469);
        dlg.show();
        if (!QTest::qWaitForWindowExposed(&dlg))
            state.SkipWithError("not shown");
    }
}
BENCHMARK(BM_EmptyDialogShown_Baseline)->Unit(benchmark::kMillisecond);

// The share of one core used while `window` sits shown and idle for the configured time.
double IdleShare(QWidget& window) {
    const char* env = std::getenv("PRAVUNE_IDLE_SECONDS");
    const int seconds = env ? std::atoi(env) : 60;
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
    const double cpu = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QEventLoop idle;  // a plain event loop: QTest::qWait would poll every 10 ms itself
    QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
    idle.exec();
    return (CpuSeconds() - cpu) / (static_cast<double>(wall.elapsed()) / 1000.0);
}

// Argument 1: production mode on (the approved release loaded, waiting for a module).
void BM_IdleWindowCpu(benchmark::State& state) {
    TempDir dir;
    if (state.range(0)) {
        const std::string path = dir.Write("fw.hex", ":0100000000FF\n:00000001FF\n");
        dir.Write("config.ini",
                  "[SETTING]\nm_strPath_flash=" + path +
                      "\nProductionMode=1\nApprovedSha256=" + Sha256Hex(ReadBytes(path)) + "\n");
    }
    FakeSysfs fs("/dev/shm");
    const std::vector<std::uint8_t> descriptor = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75,
                                                  0x08, 0x95, 0x08, 0x81, 0x02, 0xC0};
    for (int n = 0; n < 32; ++n)
        fs.Add(n, 0x046D, static_cast<unsigned>(0xC300 + n), "", descriptor);
    HidrawPlatform platform(fs.sys(), fs.dev());
    double share = 0;
    for (auto _ : state) {
        CLoaderDlg dlg(platform, dir.path());
        share = IdleShare(dlg);
    }
    state.counters["idle_cpu_percent_of_one_core"] = share * 100.0;
}
BENCHMARK(BM_IdleWindowCpu)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleEmptyDialogCpu_Baseline(benchmark::State& state) {
    double share = 0;
    for (auto _ : state) {
        QDialog dlg;
        dlg.resize(363, 469);
        share = IdleShare(dlg);
    }
    state.counters["idle_cpu_percent_of_one_core"] = share * 100.0;
}
BENCHMARK(BM_IdleEmptyDialogCpu_Baseline)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    {
        TempDir dir;
        HidrawPlatform platform;
        CLoaderDlg dlg(platform, dir.path());
        dlg.show();
        (void)QTest::qWaitForWindowExposed(&dlg);
        g_firstShown = SinceProcessStart();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
