#include "ledger/record_store.h"

#include <time.h>

#include <cstdio>

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
