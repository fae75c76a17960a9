// Costs of the operator's file paths, each beside a baseline measured in the same run:
// reading and checking a HEX file that fills the whole image against reading its bytes and
// against a tight single-pass decode of the same file, and one settings write with its flush
// against a bare write+fsync of the same size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/serial_number.h"
#include "ledger/record_store.h"
#include "settings/settings_store.h"
#include "station/record_texts.h"
#include "tests/support/hex_text.h"

namespace {

// A folder with a full-image HEX file and a typical config.ini, removed at exit.
struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/pravune-bench-XXXXXX";
        dir = ::mkdtemp(pattern);
        hexPath = dir + "/full.hex";
        std::ofstream(hexPath, std::ios::binary) << FullImageHex(0x0E00, 0x3BFA);
        config = dir + "/config.ini";
        for (const char* key : {"m_strVID_bt", "m_strPID_bt", "m_strPath_flash", "AutoReload",
                                "AutoSN", "SN_StartAddr", "SN_Current", "SN_Bytes", "SN_Step"}) {
            settings_file::Write(config, "SETTING", key,
                                 key[0] == 'm' ? "/home/operator/fw/app.hex" : "1", nullptr);
        }
        settingsSize = std::filesystem::file_size(config);
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir, hexPath, config;
    std::size_t settingsSize = 0;
    std::uint32_t lastSerial = 0;  // the numbers taken so far, across the benchmark's runs
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void BM_ReadHexBytes_Baseline(benchmark::State& state) {
    std::string bytes;
    for (auto _ : state) {
        int fd = ::open(Shared().hexPath.c_str(), O_RDONLY | O_CLOEXEC);
        char chunk[16384];
        bytes.clear();
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
            bytes.append(chunk, n);
        ::close(fd);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_ReadHexBytes_Baseline);

// The least a HEX read can cost: the file's bytes read, then one pass over them that decodes
// each line's digit pairs once through a 256-entry table into the image, notes any character
// that is not a digit and sums the checksum on the way, with no other checks than the record
// mark and the record type.
bool TightDecode(const std::string& path, HexImage& image) {
    static constexpr std::array<std::uint8_t, 256> kValue = [] {
        std::array<std::uint8_t, 256> t{};
        for (int c = 0; c < 256; ++c) {
            t[static_cast<std::size_t>(c)] =
                c >= '0' && c <= '9'   ? static_cast<std::uint8_t>(c - '0')
                : c >= 'A' && c <= 'F' ? static_cast<std::uint8_t>(c - 'A' + 10)
                : c >= 'a' && c <= 'f' ? static_cast<std::uint8_t>(c - 'a' + 10)
                                       : 0x10;
        }
        return t;
    }();
    static std::string bytes;
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char chunk[16384];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    std::fill_n(image.data.begin(), image.Usable(), std::uint8_t{0xFF});
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    unsigned flags = 0;  // 0x10 set by a character that is not a digit
    auto pair = [&flags](const unsigned char* at) {
        const unsigned hi = kValue[at[0]], lo = kValue[at[1]];
        flags |= hi | lo;
        return (hi << 4 | lo) & 0xFF;
    };
    unsigned bad = 0;
    while (p + 11 <= end && *p == ':') {
        const unsigned count = pair(p + 1);
        const unsigned address = pair(p + 3) << 8 | pair(p + 5);
        const unsigned type = pair(p + 7);
        unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
        if (type == 1)
            return bad == 0 && (flags & 0x10) == 0;
        if (p + 11 + 2 * count > end)
            return false;
        for (unsigned j = 0; j < count; ++j) {
            const unsigned b = pair(p + 9 + 2 * j);
            sum += b;
            if (type == 0 && address + j < image.Usable())
                image.data[address + j] = static_cast<std::uint8_t>(b);
        }
        bad += ((sum + pair(p + 9 + 2 * count)) & 0xFF) != 0;
        p += 11 + 2 * count;
        while (p < end && (*p == '\r' || *p == '\n'))
            ++p;
    }
    return false;
}

// The reader with the image check beside the two baselines, interleaved so that they share the
// machine's state: reader_us and the ratios to each baseline.
void BM_ReadAndCheckFullImage(benchmark::State& state) {
    static HexImage image, tight;
    std::string status;
    using Clock = std::chrono::steady_clock;
    Clock::duration reader{}, decode{}, bytesOnly{};
    std::string bytes;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (ReadHexFile(Shared().hexPath, image, status) != kHexOk || !CheckImage(image)) {
            state.SkipWithError("full image did not load");
            break;
        }
        const auto t1 = Clock::now();
        if (!TightDecode(Shared().hexPath, tight)) {
            state.SkipWithError("tight decode failed");
            break;
        }
        const auto t2 = Clock::now();
        const int fd = ::open(Shared().hexPath.c_str(), O_RDONLY | O_CLOEXEC);
        char chunk[16384];
        bytes.clear();
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
            bytes.append(chunk, static_cast<std::size_t>(n));
        ::close(fd);
        const auto t3 = Clock::now();
        reader += t1 - t0;
        decode += t2 - t1;
        bytesOnly += t3 - t2;
        benchmark::DoNotOptimize(image.start);
        benchmark::DoNotOptimize(bytes.data());
    }
    if (std::memcmp(image.data, tight.data, HexImage::kCapacity) != 0 &&
        !(image.bytesMoved || image.start < 3)) {
        state.SkipWithError("the baseline decoded another image");
    }
    const double n = static_cast<double>(state.iterations());
    auto us = [n](Clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() / n;
    };
    state.counters["reader_us"] = us(reader);
    state.counters["tight_decode_us"] = us(decode);
    state.counters["bytes_only_us"] = us(bytesOnly);
    state.counters["ratio_to_tight_decode"] = us(reader) / us(decode);
    state.counters["ratio_to_bytes_only"] = us(reader) / us(bytesOnly);
}
BENCHMARK(BM_ReadAndCheckFullImage)
    ->ComputeStatistics("min",
                        [](const std::vector<double>& v) {
                            return *std::min_element(v.begin(), v.end());
                        })
    ->ComputeStatistics("max", [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end());
    });

void BM_WriteFsync_Baseline(benchmark::State& state) {
    const std::string text(Shared().settingsSize, 'x');
    const std::string path = Shared().dir + "/bare.bin";
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (::write(fd, text.data(), text.size()) < 0 || ::fsync(fd) != 0) {
            state.SkipWithError("write failed");
        }
        ::close(fd);
    }
}
BENCHMARK(BM_WriteFsync_Baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_WriteSettingString(benchmark::State& state) {
    Shared();
    unsigned n = 0;
    char value[16];
    for (auto _ : state) {
        std::snprintf(value, sizeof value, "%04X", ++n & 0xFFFF);
        if (!settings_file::Write(Shared().config, "SETTING", "SN_Current", value, nullptr))
            state.SkipWithError("write failed");
    }
}
BENCHMARK(BM_WriteSettingString)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What a download adds for its record and its serial number, as the station does it: the
// record begun, the number taken under the settings lock (ledger row and config.ini save in one
// transaction), its state, and the record ended with a log of ten lines. Read against
// BM_WriteSettingString, the one config.ini write a download made before.
void BM_RecordAndReserve(benchmark::State& state) {
    Fixture& f = Shared();
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(f.dir + "/records.sqlite", &reason);
    if (!store) {
        state.SkipWithError(RecordFailureText(reason).c_str());
        return;
    }
    std::uint32_t& value = f.lastSerial;
    DownloadRecord record;
    record.stationHost = "bench";
    record.format = "plain";
    for (int i = 0; i < 10; ++i)
        record.log.push_back({"Write Flash ... \t\tDone\r\n", 0x008000, true});
    for (auto _ : state) {
        record.id = store->BeginDownload(record, &reason);
        bool ok = record.id != 0;
        {
            const SettingsLock lock(f.config);
            const std::string next = SerialText(++value + 1, 4);
            ok = ok && lock.held() &&
                 store->ReserveSerial(
                     record.id, {0x3B00, 4}, value,
                     [&](std::string* why) {
                         return settings_file::WriteHeld(f.config, "SETTING", "SN_Current", next,
                                                         why);
                     },
                     &reason);
        }
        record.verdict = "succeeded";
        ok = ok && store->SetSerialState(record.id, SerialState::kWritten, &reason) &&
             store->FinishDownload(record, &reason);
        if (!ok)
            state.SkipWithError(RecordFailureText(reason).c_str());
    }
}
BENCHMARK(BM_RecordAndReserve)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
