// Where the settings go on Windows, through the system's own calls: beside the executable when
// its folder may be written, else under %APPDATA%, carried over from beside the executable once.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "os/os_files.h"
#include "settings/config_location.h"
#include "settings/settings_store.h"
#include "tests/support/case_name.h"
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
    EXPECT_TRUE(os_files::FileExists(in.executableDir + "\\core_tests.exe")) << in.executableDir;
    const char* appData = std::getenv("APPDATA");
    ASSERT_NE(appData, nullptr);
    EXPECT_EQ(in.xdgConfigHome, appData);
}

TEST(WindowsConfigLocation, TheSystemsProgramFoldersAreKnown) {
    const ConfigLocationInputs in = ConfigInputsFromEnvironment("pravune-loader", "");
    for (const char* name : {"ProgramFiles", "SystemRoot"}) {
        const char* value = std::getenv(name);
        ASSERT_NE(value, nullptr) << name;
        bool listed = false;
        for (const std::string& folder : in.systemFolders)
            listed = listed || IsInFolder(value, folder);
        EXPECT_TRUE(listed) << name << "=" << value;
    }
    EXPECT_FALSE(IsInFolder(std::getenv("APPDATA"), std::getenv("ProgramFiles")));
}

// The system's program folders, compared as Windows compares paths.
struct InFolder {
    const char* name;
    const char* folder;
    const char* root;
    bool inside;
};

const InFolder kInFolder[] = {
    {"Same", "C:\\Program Files", "C:\\Program Files", true},
    {"Under", "C:\\Program Files\\PRAVUNE Loader", "C:\\Program Files", true},
    {"OtherCase", "c:\\PROGRAM FILES\\pravune loader", "C:\\Program Files", true},
    {"ForwardSlashes", "C:/Program Files/PRAVUNE Loader", "C:\\Program Files", true},
    {"TrailingSeparator", "C:\\Program Files\\PRAVUNE Loader\\", "C:\\Program Files\\", true},
    {"DoubledSeparator", "C:\\Program Files\\\\PRAVUNE Loader", "C:\\Program Files", true},
    {"DotDotInto", "C:\\Tools\\..\\Program Files\\Loader", "C:\\Program Files", true},
    {"DotDotOut", "C:\\Program Files\\..\\Tools", "C:\\Program Files", false},
    {"SiblingWithLongerName", "C:\\Program Files (x86)\\Loader", "C:\\Program Files", false},
    {"PrefixOfAName", "C:\\Program FilesX", "C:\\Program Files", false},
    {"OtherDrive", "D:\\Program Files\\Loader", "C:\\Program Files", false},
    {"WindowsFolder", "C:\\Windows\\System32", "C:\\WINDOWS", true},
    {"NetworkShare", "\\\\server\\apps\\loader", "\\\\SERVER\\Apps", true},
    {"EmptyRoot", "C:\\Loader", "", false},
    {"RelativeRoot", "Program Files\\Loader", "Program Files", false},
};

class WindowsInFolder : public ::testing::TestWithParam<InFolder> {};

TEST_P(WindowsInFolder, ComparesAsWindowsDoes) {
    const InFolder& c = GetParam();
    EXPECT_EQ(IsInFolder(c.folder, c.root), c.inside);
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsInFolder, ::testing::ValuesIn(kInFolder), CaseName());

// An administrator's run may write into Program Files (as every run may under Wine); the window
// and pravune-cli.exe still share %APPDATA%'s config.ini, carried on once from an older install.
TEST(WindowsConfigLocation, NeverInProgramFilesEvenWhenWritable) {
    const char* programFiles = std::getenv("ProgramFiles");
    ASSERT_NE(programFiles, nullptr);
    TempDir install(programFiles);
    ASSERT_FALSE(install.path().empty());
    TempDir dir;
    const std::string appData = dir.File("AppData");
    fs::create_directories(PathOf(appData));
    const std::string old = "[SETTING]\r\nSN_Current=0101\r\n";
    std::ofstream(PathOf(install.path() + "/config.ini"), std::ios::binary) << old;
    ASSERT_TRUE(os_files::FolderWritable(install.path()));

    std::wstring wide(install.path().begin(), install.path().end());  // ASCII: the temp name
    std::wstring shortName(MAX_PATH, L'\0');
    shortName.resize(::GetShortPathNameW(wide.c_str(), shortName.data(), MAX_PATH));
    const std::string shortForm(shortName.begin(), shortName.end());
    for (const std::string& exeDir : {install.path(), install.path() + "\\", shortForm}) {
        SCOPED_TRACE(exeDir);
        {  // the window and pravune-cli.exe both name the folder "pravune-loader"
            ConfigLocationInputs in = ConfigInputsFromEnvironment("pravune-loader", "");
            in.executableDir = exeDir;
            in.xdgConfigHome = appData;
            const ConfigLocation where = LocateConfig(in);
            EXPECT_EQ(where.origin, ConfigOrigin::kUserConfig);
            EXPECT_EQ(PathOf(where.path), PathOf(appData + "/pravune-loader/config.ini"));
            EXPECT_EQ(where.problem, "");
            std::string text;
            EXPECT_TRUE(settings_file::ReadBytes(where.path, text, nullptr));
            EXPECT_EQ(text, old);
        }
    }
}

}  // namespace
