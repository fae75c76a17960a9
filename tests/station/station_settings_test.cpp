#include "station/station_settings.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/time.h>
#endif

#include <filesystem>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

struct Told final : StationObserver {
    void OnLog(const LogEntry& entry) override { log += entry.text; }
    void OnSettingsRead(const StoredSettings&) override { ++reads; }
    std::string log;
    int reads = 0;
};

struct SettingsRig {
    explicit SettingsRig(const std::string& text, TempDir& dir)
        : settings(dir.Write("config.ini", text), plan, told,
                   [this](const std::string& line, std::uint32_t) { told.log += line; }) {}
    SerialPlan plan;
    Told told;
    StationSettings settings;
};

// An empty config.ini gives every key's default; the front end is told once.
TEST(StationSettings, AnEmptyFileGivesTheDefaults) {
    TempDir dir;
    SettingsRig r("", dir);
    const StoredSettings s = r.settings.Read();
    EXPECT_EQ(s.vid, "2156");
    EXPECT_EQ(s.pid, "C001");
    EXPECT_EQ(s.path, "");
    EXPECT_EQ(s.autoReload, 0);
    EXPECT_EQ(s.autoSn, 0);
    EXPECT_EQ(s.snAddr, "0");
    EXPECT_EQ(s.snValue, "0");
    EXPECT_EQ(s.snBytes, 1);
    EXPECT_EQ(s.snStep, 1u);
    EXPECT_EQ(r.told.reads, 1);
    EXPECT_TRUE(r.told.log.empty()) << r.told.log;
    EXPECT_TRUE(r.settings.TakeBootloaderId(s.vid, s.pid));
    EXPECT_EQ(r.settings.Vid(), 0x2156u);
    EXPECT_EQ(r.settings.Pid(), 0xC001u);
}

#ifndef _WIN32
// A loader killed in the middle of replacing config.ini or the journal left its temporary file:
// the next station's start removes it once it is old enough to be nobody's write in progress,
// and only files of that exact pattern.
TEST(StationSettings, TemporariesAKilledLoaderLeftAreRemovedAtStart) {
    TempDir dir;
    struct File {
        const char* name;
        int ageSeconds;
        bool removed;
    };
    const File files[] = {
        {".config.ini.Ab3dE9", 120, true},   {".records.journal.zZ09aB", 120, true},
        {".config.ini.Ab3dE9x", 120, false}, {".config.ini.Ab3d", 120, false},
        {".config.ini.Fresh1", 0, false},    {".other.ini.Ab3dE9", 120, false},
    };
    for (const File& f : files) {
        const std::string path = dir.Write(f.name, "half written");
        const timeval then[2] = {{::time(nullptr) - f.ageSeconds, 0},
                                 {::time(nullptr) - f.ageSeconds, 0}};
        ASSERT_EQ(::utimes(path.c_str(), then), 0);
    }
    SettingsRig r("[SETTING]\nAutoSN=0\n", dir);
    r.settings.Read();
    for (const File& f : files)
        EXPECT_EQ(!std::filesystem::exists(dir.File(f.name)), f.removed) << f.name;
}
#endif

}  // namespace
