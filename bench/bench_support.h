#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "device/boot_protocol.h"
#include "image/hex_image.h"
#include "sim/virtual_bootloader.h"

// What the benches share: the minimum and maximum beside the mean and median of
// --benchmark_repetitions, and the loader's own time per written block.

inline double Min(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}
inline double Max(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

// The USB full-speed wire time of one block: a 64-byte set report and a get report.
inline constexpr double kWireMicrosPerBlock = 170.0;

// Times whole flash writes of `image` through `protocol` to `module` (erased between writes,
// untimed, with `betweenWrites` run there too) and reports the blocks, the time per block and
// its ratio to the wire time.
inline void MeasureWriteFlash(benchmark::State& state, CBootProtocol& protocol,
                              const VirtualBootloader& module, const HexImage& image,
                              const std::function<void()>& betweenWrites = {}) {
    std::size_t blocks = 0;
    std::chrono::steady_clock::duration spent{};
    for (auto _ : state) {
        state.PauseTiming();
        protocol.EraseDevice();
        if (betweenWrites)
            betweenWrites();
        const std::size_t before = module.commands().size();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (!protocol.WriteFlash(image))
            state.SkipWithError("write failed");
        spent += std::chrono::steady_clock::now() - start;
        blocks += module.commands().size() - before;
    }
    const double perBlock =
        std::chrono::duration<double, std::micro>(spent).count() / static_cast<double>(blocks);
    state.counters["blocks"] = static_cast<double>(blocks / state.iterations());
    state.counters["us_per_block"] = perBlock;
    state.counters["ratio_to_170us_wire"] = perBlock / kWireMicrosPerBlock;
}
