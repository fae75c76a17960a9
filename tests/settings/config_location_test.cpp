#include "settings/config_location.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/case_name.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// One start of a front end: where its executable lies, whether it may write there, and its
// environment. Paths starting with "~" are in the case's home, "@" in its own folder.
struct Where {
    const char* name;
    const char* exeDir;
    bool exeDirWritable;
    const char* xdgConfigHome;
    const char* home;
    const char* expected;  // the config.ini chosen; empty: none
};

const Where kWhere[] = {
    {"OwnWritableFolder", "@/opt/loader", true, "~/xdg", "~", "@/opt/loader/config.ini"},
    {"OwnReadOnlyFolder", "@/opt/loader", false, "~/xdg", "~", "~/xdg/pravune-loader/config.ini"},
    {"NoXdgVariable", "@/opt/loader", false, "", "~", "~/.config/pravune-loader/config.ini"},
    {"RelativeXdgIsIgnored", "@/opt/loader", false, "xdg", "~",
     "~/.config/pravune-loader/config.ini"},
    {"SystemProgramFolderEvenWritable", "/usr/bin", true, "", "~",
     "~/.config/pravune-loader/config.ini"},
    {"LocalProgramFolderEvenWritable", "/usr/local/bin", true, "", "~",
     "~/.config/pravune-loader/config.ini"},
    {"UsersProgramFolderEvenWritable", "~/.local/bin", true, "", "~",
     "~/.config/pravune-loader/config.ini"},
    {"NoHomeNoXdg", "@/opt/loader", false, "", "", ""},
};

class ConfigLocationRule : public ::testing::TestWithParam<Where> {
  protected:
    std::string Expand(const std::string& p) const {
        if (!p.empty() && p[0] == '~')
            return m_home + p.substr(1);
        if (!p.empty() && p[0] == '@')
            return m_dir.path() + p.substr(1);
        return p;
    }
    TempDir m_dir;
    std::string m_home = m_dir.File("home");
};

TEST_P(ConfigLocationRule, ChoosesTheFile) {
    const Where& c = GetParam();
    fs::create_directories(m_home);
    if (c.exeDir[0] != '/')
        fs::create_directories(Expand(c.exeDir));
    ConfigLocationInputs in;
    in.executableDir = Expand(c.exeDir);
    in.program = "pravune-loader";
    in.xdgConfigHome = Expand(c.xdgConfigHome);
    in.home = Expand(c.home);
    in.folderWritable = [&c](const std::string&) { return c.exeDirWritable; };
    const ConfigLocation where = LocateConfig(in);
    EXPECT_EQ(where.path, Expand(c.expected));
    if (where.path.empty()) {
        EXPECT_NE(where.problem.find("--config"), std::string::npos) << where.problem;
        return;
    }
    EXPECT_EQ(where.problem, "");
    EXPECT_TRUE(fs::is_directory(fs::path(where.path).parent_path()));
    EXPECT_FALSE(fs::exists(where.path));  // nothing to copy: the file is made by the first write
    EXPECT_EQ(where.origin, std::string(c.expected).front() == '@' ? ConfigOrigin::kBesideExecutable
                                                                   : ConfigOrigin::kUserConfig);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigLocationRule, ::testing::ValuesIn(kWhere), CaseName());

class UserSettingsFolder : public ::testing::Test {
  protected:
    ConfigLocationInputs Inputs(bool exeDirWritable) const {
        ConfigLocationInputs in;
        in.executableDir = m_exeDir;
        in.program = "pravune-loader";
        in.home = m_home;
        in.folderWritable = [exeDirWritable](const std::string&) { return exeDirWritable; };
        return in;
    }
    TempDir m_dir;
    std::string m_exeDir = m_dir.File("opt");
    std::string m_home = m_dir.File("home");
    std::string m_user = m_home + "/.config/pravune-loader/config.ini";
    void SetUp() override {
        fs::create_directories(m_exeDir);
        fs::create_directories(m_home);
    }
};

TEST_F(UserSettingsFolder, NewFoldersArePrivateAndAnExistingOneKeepsItsMode) {
    ::chmod(m_home.c_str(), 0755);
    EXPECT_EQ(LocateConfig(Inputs(false)).path, m_user);
    EXPECT_EQ(ModeOf(m_home + "/.config"), 0700u);
    EXPECT_EQ(ModeOf(m_home + "/.config/pravune-loader"), 0700u);
    EXPECT_EQ(ModeOf(m_home), 0755u);
}

// A station whose settings lay beside an executable it may no longer write (moved under /usr,
// folder made read-only) carries on from them: the serial counter above all.
TEST_F(UserSettingsFolder, SettingsBesideTheExecutableAreCopiedOnceNeverOverwritten) {
    const std::string old = "\xEF\xBB\xBF[SETTING]\r\nSN_Current=00A7\r\nAutoSN=1\r\n";
    WriteFile(m_exeDir + "/config.ini", old);
    ConfigLocation where = LocateConfig(Inputs(false));
    EXPECT_EQ(where.path, m_user);
    EXPECT_EQ(where.copiedFrom, m_exeDir + "/config.ini");
    EXPECT_EQ(where.problem, "");
    EXPECT_EQ(ReadBytes(m_user), old);  // byte for byte, the byte-order mark and line ends too
    EXPECT_EQ(ModeOf(m_user), 0600u);

    WriteFile(m_user, "[SETTING]\nSN_Current=00B0\n");  // the user's file has moved on
    where = LocateConfig(Inputs(false));
    EXPECT_EQ(where.copiedFrom, "");
    EXPECT_EQ(ReadBytes(m_user), "[SETTING]\nSN_Current=00B0\n");
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(fs::path(m_user).parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1);  // no temporary file left behind
}

TEST_F(UserSettingsFolder, AFileInTheWayIsAProblemNotACrash) {
    WriteFile(m_home + "/.config", "not a folder");
    WriteFile(m_exeDir + "/config.ini", "[SETTING]\nSN_Current=1\n");
    const ConfigLocation where = LocateConfig(Inputs(false));
    EXPECT_EQ(where.path, m_user);  // writes fail later, each with its reason
    EXPECT_NE(where.problem.find("is not a folder"), std::string::npos) << where.problem;
    EXPECT_EQ(where.copiedFrom, "");
}

struct Named {
    const char* name;
    const char* given;     // "@" is the test's folder
    const char* expected;  // empty: refused
    const char* problem;
};

const Named kNamed[] = {
    {"Absolute", "@/station/line1.ini", "@/station/line1.ini", ""},
    {"Normalised", "@/station/../station/./line1.ini", "@/station/line1.ini", ""},
    {"AFolder", "@/station", "", "is a folder"},
    {"MissingFolder", "@/nowhere/config.ini", "", "does not exist"},
};

class ConfigLocationNamed : public ::testing::TestWithParam<Named> {};

TEST_P(ConfigLocationNamed, WinsOverEveryOtherPlace) {
    TempDir dir;
    fs::create_directories(dir.File("station"));
    auto expand = [&](std::string p) { return p.empty() ? p : dir.path() + p.substr(1); };
    ConfigLocationInputs in;
    in.named = expand(GetParam().given);
    in.executableDir = dir.path();
    in.program = "pravune-loader";
    in.folderWritable = [](const std::string&) { return true; };
    const ConfigLocation where = LocateConfig(in);
    EXPECT_EQ(where.path, expand(GetParam().expected));
    EXPECT_EQ(where.origin, ConfigOrigin::kNamed);
    EXPECT_NE(where.problem.find(GetParam().problem), std::string::npos) << where.problem;
    EXPECT_EQ(where.problem.empty(), !where.path.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigLocationNamed, ::testing::ValuesIn(kNamed), CaseName());

TEST(ConfigLocationNamedRelative, IsTakenFromTheWorkingFolder) {
    TempDir dir;
    const std::string cwd = fs::current_path();
    fs::current_path(dir.path());
    ConfigLocationInputs in;
    in.named = "line1.ini";
    const std::string path = LocateConfig(in).path;
    fs::current_path(cwd);
    EXPECT_EQ(path, fs::path(dir.path()) / "line1.ini");
}

// The system's own answer: a folder the process may not write sends the settings to the user's
// folder, one it may write keeps them beside the executable.
TEST(ConfigLocationSystem, ReadOnlyExecutableFolder) {
    TempDir dir;
    const std::string exeDir = dir.File("bin");
    const std::string xdg = dir.File("xdg");
    fs::create_directories(exeDir);
    fs::create_directories(xdg);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(exeDir.c_str(), 0555);
    ::chmod(xdg.c_str(), 0777);
    EXPECT_TRUE(HoldsUnprivileged([&] {
        ConfigLocationInputs in;
        in.executableDir = exeDir;
        in.program = "pravune-loader";
        in.xdgConfigHome = xdg;
        return LocateConfig(in).path == xdg + "/pravune-loader/config.ini";
    }));
    ::chmod(exeDir.c_str(), 0755);
    ConfigLocationInputs in;
    in.executableDir = exeDir;
    in.program = "pravune-loader";
    in.xdgConfigHome = xdg;
    EXPECT_EQ(LocateConfig(in).path, exeDir + "/config.ini");
}

}  // namespace

// An elevated run may write into Program Files; the settings still go where a standard user's run
// puts them, and an older config.ini there is carried on from once.
TEST(ConfigLocationSystemFolders, WritableProgramFolderStillUsesTheUsersFolder) {
    TempDir dir;
    const std::string programFiles = dir.File("Program Files");
    const std::string exeDir = programFiles + "/PRAVUNE Loader";
    const std::string home = dir.File("home");
    fs::create_directories(exeDir);
    fs::create_directories(home);
    WriteFile(exeDir + "/config.ini", "[SETTING]\nSN_Current=0042\n");
    // The folder itself or one above it (the ways of writing a path are IsInFolder's test).
    for (const std::string& root : {programFiles, dir.path()}) {
        SCOPED_TRACE(root);
        fs::remove_all(home + "/.config");
        ConfigLocationInputs in;
        in.executableDir = exeDir;
        in.program = "pravune-loader";
        in.home = home;
        in.folderWritable = [](const std::string&) { return true; };
        in.systemFolders = {dir.File("elsewhere"), root};
        ConfigLocation where = LocateConfig(in);
        EXPECT_EQ(where.origin, ConfigOrigin::kUserConfig);
        EXPECT_EQ(where.path, home + "/.config/pravune-loader/config.ini");
        EXPECT_EQ(where.problem, "");
        EXPECT_EQ(where.copiedFrom, exeDir + "/config.ini");
        std::ifstream copied(where.path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copied), {}),
                  "[SETTING]\nSN_Current=0042\n");
        in.systemFolders = {dir.File("elsewhere")};  // not a program folder: beside it
        where = LocateConfig(in);
        EXPECT_EQ(where.origin, ConfigOrigin::kBesideExecutable);
    }
}
