// Where the settings go on Windows, through the system's own calls: beside the executable when
// its folder may be written, else under %APPDATA%, carried over from beside the executable once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "settings/config_location.h"
#include "settings/settings_store.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end())).lexically_normal();
}

TEST(WindowsConfigLocation, BesideTheExecutableOrUnderAppData) {
    TempDir dir;
    const std::string exeDir = dir.File("Linie \xC3\xBC");  // not ASCII: UTF-8 inside, wide outside
    const std::string appData = dir.File("AppData");
    fs::create_directories(PathOf(exeDir));
    fs::create_directories(PathOf(appData));
    ConfigLocationInputs in;
    in.executableDir = exeDir;
    in.program = "pravune-loader";
    in.xdgConfigHome = appData;
    // The system's answer: this folder may be written.
    ConfigLocation where = LocateConfig(in);
    EXPECT_EQ(where.origin, ConfigOrigin::kBesideExecutable);
    EXPECT_EQ(PathOf(where.path), PathOf(exeDir + "/config.ini"));

    const std::string old = "[SETTING]\r\nSN_Current=00A7\r\n";
    std::ofstream(PathOf(exeDir + "/config.ini"), std::ios::binary) << old;
    in.folderWritable = [](const std::string&) { return false; };
    for (int start = 0; start < 2; ++start) {  // copied once, then used as it is
        where = LocateConfig(in);
        EXPECT_EQ(where.origin, ConfigOrigin::kUserConfig);
        EXPECT_EQ(PathOf(where.path), PathOf(appData + "/pravune-loader/config.ini"));
        EXPECT_EQ(where.problem, "");
        EXPECT_EQ(where.copiedFrom.empty(), start == 1);
        std::string text;
        EXPECT_TRUE(settings_file::ReadBytes(where.path, text, nullptr));
        EXPECT_EQ(text, old);
    }
    EXPECT_TRUE(settings_file::Write(where.path, "SETTING", "SN_Current", "00A8", nullptr));
    EXPECT_EQ(settings_file::Read(where.path, "SETTING", "SN_Current", ""), "00A8");
}

TEST(WindowsConfigLocation, TheProcessesOwnPlaces) {
    const ConfigLocationInputs in = ConfigInputsFromEnvironment("pravune-loader", "");
    EXPECT_TRUE(FileExists(in.executableDir + "\\core_tests.exe")) << in.executableDir;
    const char* appData = std::getenv("APPDATA");
    ASSERT_NE(appData, nullptr);
    EXPECT_EQ(in.xdgConfigHome, appData);
}

}  // namespace
