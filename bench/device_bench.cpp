// The loader's own costs on the device link, each beside a baseline from the same run:
// - a whole WriteFlash of a full image against a virtual module that answers at once, per
//   block, against 170 us (the USB full-speed wire time of one 64-byte set plus one get report);
// - one Open over a fake sysfs tree of 32 other HID devices and one module;
// - one status refresh (the window's twice-a-second look for the module) among 32 and 256 other
//   HID devices, the module absent and present, against a bare listing of the same hidraw
//   class folder;
// - the CPU a handshake uses while it waits 10 s for a module that is absent.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>

#include "bench/bench_support.h"
#include "device/boot_protocol.h"
#include "device/hidraw_platform.h"
#include "image/hex_reader.h"
#include "image/image_check.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/fake_host.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/hex_text.h"

namespace {

HexImage FullImage() {
    HexImage image;
    std::string status;
    ReadHexBuffer(FullImageHex(0x0E00, 0x3BFA), image, status);
    image.valid = CheckImage(image);
    return image;
}

void BM_WriteFlashFullImage(benchmark::State& state) {
    const HexImage image = FullImage();
    VirtualBootloader module;
    SimHidPlatform platform;
    platform.AddModule(module);
    CHidPort port(platform);
    port.SetTarget(0xC001, 0x2156);
    FakeHost host;
    CBootProtocol protocol(port, host, host.status, host.cancel, host.tick);
    MeasureWriteFlash(state, protocol, module, image);
}
BENCHMARK(BM_WriteFlashFullImage)
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->Unit(benchmark::kMicrosecond);

const std::vector<std::uint8_t> kModuleDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0xB1, 0x02, 0xC0};

void BM_OpenAmong32Devices(benchmark::State& state) {
    FakeSysfs fs;
    for (int n = 0; n < 32; ++n)
        fs.Add(n, 0x046D, 0xC000 + n, "x", kModuleDescriptor);
    fs.Add(32, 0x2156, 0xC001, "PRV001", kModuleDescriptor);
    HidrawPlatform platform(fs.sys(), fs.dev());
    CHidPort port(platform);
    port.SetTarget(0xC001, 0x2156);
    for (auto _ : state) {
        if (!port.Open())
            state.SkipWithError("module not found");
    }
}
BENCHMARK(BM_OpenAmong32Devices)->Unit(benchmark::kMicrosecond);

// The least a look at the bus can cost: the hidraw class folder listed, nothing read.
double ListClassFolderMicros(const std::string& sys, int times) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t entries = 0;
    for (int i = 0; i < times; ++i) {
        if (DIR* dir = ::opendir((sys + "/class/hidraw").c_str())) {
            while (::readdir(dir))
                ++entries;
            ::closedir(dir);
        }
    }
    benchmark::DoNotOptimize(entries);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
               .count() /
           times;
}

// Arguments: the number of other HID devices; 1 when the module is present. The fake tree lies in
// memory (/dev/shm), as sysfs does. In it a
// module's node is a plain file, which cannot answer the handle's presence query: a present
// module is searched for and opened afresh on every refresh, as a platform that cannot tell does.
void BM_StatusRefresh(benchmark::State& state) {
    const int others = static_cast<int>(state.range(0));
    FakeSysfs fs("/dev/shm");
    for (int n = 0; n < others; ++n)
        fs.Add(n, 0x046D, static_cast<unsigned>(0xC000 + n), "x", kModuleDescriptor);
    if (state.range(1))
        fs.Add(others, 0x2156, 0xC001, "PRV001", kModuleDescriptor);
    HidrawPlatform platform(fs.sys(), fs.dev());
    CHidPort port(platform);
    port.SetTarget(0xC001, 0x2156);
    std::chrono::steady_clock::duration spent{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (port.Refresh() != (state.range(1) != 0))
            state.SkipWithError("wrong status");
        benchmark::DoNotOptimize(port.GetSerialText());
        spent += std::chrono::steady_clock::now() - start;
    }
    const double refresh = std::chrono::duration<double, std::micro>(spent).count() /
                           static_cast<double>(state.iterations());
    const double listing = ListClassFolderMicros(fs.sys(), 200);
    state.counters["refresh_us"] = refresh;
    state.counters["listing_us"] = listing;
    state.counters["ratio_to_listing"] = refresh / listing;
}
BENCHMARK(BM_StatusRefresh)
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->Args({32, 0})
    ->Args({256, 0})
    ->Args({32, 1})
    ->Args({256, 1})
    ->Unit(benchmark::kMicrosecond);

// A host whose wait blocks on a real 1000 ms timer, as the window's event loop does.
struct TimerHost : FakeHost {
    TimerHost() {
        fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        onWait = [this] {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, -1) == 1) {
                std::uint64_t expirations = 0;
                if (::read(fd, &expirations, sizeof expirations) > 0)
                    tick = true;
                if (std::chrono::steady_clock::now() >= deadline)
                    cancel = true;
            }
        };
    }
    ~TimerHost() override { ::close(fd); }
    void StartTimer(int id, unsigned ms) override {
        FakeHost::StartTimer(id, ms);
        itimerspec period{};
        period.it_interval.tv_sec = ms / 1000;
        period.it_interval.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
        period.it_value = period.it_interval;
        ::timerfd_settime(fd, 0, &period, nullptr);
    }
    int fd;
    std::chrono::steady_clock::time_point deadline;
};

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void BM_HandshakeWaits10sForAbsentModule(benchmark::State& state) {
    SimHidPlatform platform;  // no module at all
    for (int n = 0; n < 8; ++n)
        platform.AddDecoy(0x046D, static_cast<std::uint16_t>(n));
    CHidPort port(platform);
    port.SetTarget(0xC001, 0x2156);
    TimerHost host;
    CBootProtocol protocol(port, host, host.status, host.cancel, host.tick);
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        host.cancel = false;
        host.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        protocol.Handshake(0);
        cpu = CpuSeconds() - cpuStart;
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["cpu_ms"] = cpu * 1e3;
    state.counters["cpu_percent_of_one_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
    state.counters["attempts"] = static_cast<double>(host.waits);
}
BENCHMARK(BM_HandshakeWaits10sForAbsentModule)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
