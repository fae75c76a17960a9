// Costs of the operator's file paths, each beside a baseline measured in the same run:
// reading and checking a HEX file that fills the whole image against reading its bytes, and
// one settings write with its flush against a bare write+fsync of the same size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/serial_number.h"
#include "ledger/record_store.h"
#include "settings/settings_store.h"
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

void BM_ReadAndCheckFullImage(benchmark::State& state) {
    static HexImage image;
    std::string status;
    for (auto _ : state) {
        if (ReadHexFile(Shared().hexPath, image, status) != kHexOk || !CheckImage(image)) {
            state.SkipWithError("full image did not load");
            break;
        }
        benchmark::DoNotOptimize(image.start);
    }
}
BENCHMARK(BM_ReadAndCheckFullImage);

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
    std::string reason;
    auto store = OpenSqliteRecordStore(f.dir + "/records.sqlite", &reason);
    if (!store) {
        state.SkipWithError(reason.c_str());
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
            state.SkipWithError(reason.c_str());
    }
}
BENCHMARK(BM_RecordAndReserve)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
