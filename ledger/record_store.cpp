#include "ledger/record_store.h"

#include <time.h>

#include <cstdio>
#include <functional>
#include <random>
#include <thread>

#include "os/os_files.h"
#include "settings/settings_store.h"

const char* SerialStateText(SerialState state) {
    switch (state) {
        case SerialState::kReserved:
            return "reserved";
        case SerialState::kWritten:
            return "written";
        case SerialState::kUsedUp:
            return "used_up";
    }
    return "reserved";
}

std::string RecordStorePathFor(const std::string& configPath) {
    return BesideConfig(configPath, "records.sqlite");
}

std::string NewRecordKey() {
    // The system's randomness (getrandom, or the Windows crypto provider), mixed with what
    // tells this moment, process and thread apart should it ever fail.
    std::uint64_t words[2] = {0, 0};
    try {
        std::random_device device;
        for (std::uint64_t& word : words)
            word = (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
    }
    const std::uint64_t now =
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    words[0] ^= now * 0x9E3779B97F4A7C15ull;
    words[1] ^= (static_cast<std::uint64_t>(os_files::ProcessId()) << 32) ^
                std::hash<std::thread::id>()(std::this_thread::get_id());
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(words[0]),
                  static_cast<unsigned long long>(words[1]));
    return text;
}

bool IsRecordFile(const std::string& configPath, const std::string& path) {
    const std::string records = RecordStorePathFor(configPath);
    if (records.empty() || path.empty())
        return false;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        if (os_files::SameFile(path, records + suffix))
            return true;
    return false;
}

std::string UtcNowIso() {
    using namespace std::chrono;
    const std::int64_t ms =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    std::int64_t seconds = ms / 1000;
    std::int64_t milli = ms % 1000;
    if (milli < 0) {
        milli += 1000;
        seconds -= 1;
    }
    const time_t whole = static_cast<time_t>(seconds);
    struct tm t {};
    if (!os_files::UtcTime(whole, t))
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(milli));
    return text;
}
