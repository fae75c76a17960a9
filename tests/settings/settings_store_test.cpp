#include "settings/settings_store.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "os/os_files.h"
#include "settings/ini_document.h"
#include "tests/support/case_name.h"
#include "tests/support/temp_dir.h"
#ifndef _WIN32
#include "tests/support/unprivileged.h"
#endif

namespace {

const std::string S = "SETTING";

class SettingsStore : public ::testing::Test {
  protected:
    // The settings access of one config.ini, as the loader's code uses it.
    std::string ReadSettingString(const std::string& section, const std::string& key,
                                  const std::string& defaultValue) const {
        return settings_file::Read(SettingsFilePath, section, key, defaultValue);
    }
    int ReadSettingInt(const std::string& section, const std::string& key, int fallback) const {
        return settings_file::ParseInt(ReadSettingString(section, key, std::to_string(fallback)),
                                       fallback);
    }
    bool WriteSettingString(const std::string& section, const std::string& key,
                            const std::string& value, std::string* reason = nullptr) const {
        return settings_file::Write(SettingsFilePath, section, key, value, reason);
    }
    bool WriteSettingInt(const std::string& section, const std::string& key, int value,
                         std::string* reason = nullptr) const {
        return WriteSettingString(section, key, std::to_string(value), reason);
    }
    std::string FileText() const { return ReadBytes(SettingsFilePath); }
    void SetFile(const std::string& text) const { m_dir.Write("config.ini", text); }
    // Names in the folder other than config.ini (left-over temporary files).
    std::vector<std::string> Strays() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_dir.path()))
            if (e.path().filename() != "config.ini" && e.path().filename() != "config.ini.lock")
                names.push_back(e.path().filename().string());
        return names;
    }
    TempDir m_dir;
    std::string SettingsFilePath = m_dir.File("config.ini");
};

TEST_F(SettingsStore, DefaultsWithoutAFile) {
    EXPECT_EQ(ReadSettingString(S, "m_strVID_bt", "2156"), "2156");
    EXPECT_EQ(ReadSettingString(S, "m_strPath_flash", ""), "");
    EXPECT_EQ(ReadSettingInt(S, "SN_Bytes", 1), 1);
    EXPECT_FALSE(os_files::FileExists(SettingsFilePath));
}

TEST_F(SettingsStore, FirstWritesCreateTheFileWithLf) {
    ASSERT_TRUE(WriteSettingString(S, "m_strVID_bt", "2156"));
    ASSERT_TRUE(WriteSettingString(S, "m_strPID_bt", "C001"));
    EXPECT_EQ(FileText(), "[SETTING]\nm_strVID_bt=2156\nm_strPID_bt=C001\n");
    EXPECT_TRUE(Strays().empty());
}

struct IntCase {
    const char* stored;
    int fallback;
    int want;
};

TEST_F(SettingsStore, IntegersParseAsPercentD) {
    const IntCase cases[] = {
        {"abc", 0, 0},
        {"7xyz", 1, 7},
        {"-2", 1, -2},
        {"", 1, 1},
        {"  +12", 1, 12},
        {"- 3", 5, 5},
        {"99999999999", 0, 2147483647},
        {"-99999999999", 0, -2147483647 - 1},
        {"0x10", 3, 0},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.stored);
        SetFile(std::string("[SETTING]\nK=") + c.stored + "\n");
        EXPECT_EQ(ReadSettingInt(S, "K", c.fallback), c.want);
    }
    SetFile("[SETTING]\n");
    EXPECT_EQ(ReadSettingInt(S, "K", -7), -7);
}

TEST_F(SettingsStore, EmptyTextValueIsNotTheDefault) {
    SetFile("[SETTING]\nm_strPath_flash=\n");
    EXPECT_EQ(ReadSettingString(S, "m_strPath_flash", "dflt"), "");
}

TEST_F(SettingsStore, LongValuesReadWhole) {
    std::string path = "/" + std::string(299, 'd');
    ASSERT_TRUE(WriteSettingString(S, "m_strPath_flash", path));
    EXPECT_EQ(ReadSettingString(S, "m_strPath_flash", ""), path);
}

TEST_F(SettingsStore, RewriteKeepsEverythingElse) {
    for (const char* eol : {"\n", "\r\n"}) {
        SCOPED_TRACE(eol[0] == '\r' ? "crlf" : "lf");
        auto text = [&](const char* current) {
            return std::string("; written by hand") + eol + "[SETTING]" + eol + "AutoSN=1" + eol +
                   "SN_Current=" + current + eol + eol + "SN_Step=1" + eol + "[Other]" + eol +
                   "SN_Current=keep" + eol;
        };
        SetFile(text("0A"));
        ASSERT_TRUE(WriteSettingString(S, "SN_Current", "0B"));
        EXPECT_EQ(FileText(), text("0B"));
#ifndef _WIN32
        // The same value again: the file is not replaced (a new file would be a new inode).
        struct stat before = {};
        struct stat after = {};
        ::stat(SettingsFilePath.c_str(), &before);
        ASSERT_TRUE(WriteSettingString(S, "SN_Current", "0B"));
        ::stat(SettingsFilePath.c_str(), &after);
        EXPECT_EQ(before.st_ino, after.st_ino);
#endif
    }
}

TEST_F(SettingsStore, KeepsPermissionsAndFollowsALink) {
#ifdef _WIN32
    GTEST_SKIP() << "needs POSIX file modes and symbolic links";
#else
    std::string real = m_dir.Write("real.ini", "[SETTING]\nA=1\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(real.c_str(), SettingsFilePath.c_str()), 0);
    ASSERT_TRUE(WriteSettingInt(S, "A", 2));
    struct stat st {};
    ASSERT_EQ(::lstat(SettingsFilePath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadBytes(real), "[SETTING]\nA=2\n");
#endif
}

// A write that cannot be completed returns false with the system's reason and leaves the old
// file exactly as it was.
TEST_F(SettingsStore, FailedWritesAreReportedAndHarmless) {
    std::string reason;
    // A directory where config.ini should be.
    ASSERT_TRUE(std::filesystem::create_directory(SettingsFilePath));
    EXPECT_FALSE(WriteSettingString(S, "A", "1", &reason));
    EXPECT_EQ(reason, "Is a directory");
    EXPECT_TRUE(std::filesystem::is_directory(SettingsFilePath));
    ASSERT_TRUE(std::filesystem::remove(SettingsFilePath));

    // A folder where nothing can be created, even by root.
    SettingsFilePath = "/proc/config.ini";
    reason.clear();
    EXPECT_FALSE(WriteSettingString(S, "A", "1", &reason));
    EXPECT_FALSE(reason.empty());
    SettingsFilePath = m_dir.File("config.ini");

    // A value that would split into two lines.
    SetFile("[SETTING]\nA=1\n");
    EXPECT_FALSE(WriteSettingString(S, "A", "2\n[SETTING]", &reason));
    EXPECT_EQ(FileText(), "[SETTING]\nA=1\n");

#ifndef _WIN32
    // Not a regular file: a FIFO must neither block nor be replaced.
    ASSERT_EQ(::unlink(SettingsFilePath.c_str()), 0);
    ASSERT_EQ(::mkfifo(SettingsFilePath.c_str(), 0600), 0);
    EXPECT_EQ(ReadSettingString(S, "A", "dflt"), "dflt");
    EXPECT_FALSE(WriteSettingString(S, "A", "1", &reason));
    struct stat st {};
    ASSERT_EQ(::lstat(SettingsFilePath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
#endif
    EXPECT_TRUE(Strays().empty());
}

#ifndef _WIN32
// Stations write their files on threads of their own at once. Each new file takes the mode the
// umask gives, and the umask stays as it was: were it read by setting it, two threads reading it
// together could leave it at 0, and every later file (config.ini, the record) writable by every
// user. The race is not always caught, but never reported falsely.
TEST(SettingsFileModes, WritesOnSeveralThreadsLeaveTheUmaskAsItWas) {
    const TempDir dir(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : SystemTempFolder());
    const mode_t old = ::umask(027);
    std::vector<std::thread> threads;
    std::atomic<int> wrongModes{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&dir, &wrongModes, t] {
            const std::string path = dir.File("config" + std::to_string(t) + ".ini");
            for (int i = 0; i < 8000; ++i) {
                ::unlink(path.c_str());
                std::string reason;
                struct stat st {};
                if (!os_files::ReplaceAtomically(path, "[SETTING]\n", reason) ||
                    ::stat(path.c_str(), &st) != 0 || (st.st_mode & 07777) != 0640)
                    ++wrongModes;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const mode_t after = ::umask(old);
    EXPECT_EQ(after, 027u);
    EXPECT_EQ(wrongModes, 0);
}
#endif

#ifndef _WIN32
// Permissions as a user who is not root sees them: the folder's decide whether a file may be
// created, the file's whether an existing one may be changed.
struct PermissionCase {
    const char* name;
    mode_t folderMode;
    mode_t fileMode;  // 0: no config.ini yet
    bool writes;
};

void PrintTo(const PermissionCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsPermissions : public SettingsStore,
                            public ::testing::WithParamInterface<PermissionCase> {};

TEST_P(SettingsPermissions, WriteOnlyWhereAllowed) {
    const PermissionCase& c = GetParam();
    const std::string before = "; by hand\n[SETTING]\nA=1\n";
    if (c.fileMode) {
        SetFile(before);
        ASSERT_EQ(::chmod(SettingsFilePath.c_str(), c.fileMode), 0);
    }
    ASSERT_EQ(::chmod(m_dir.path().c_str(), c.folderMode), 0);
    // The folder is the unprivileged user's own: one other users may write is refused outright.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(m_dir.path().c_str(), 65534, 65534), 0);
    }
    EXPECT_TRUE(HoldsUnprivileged([this, &c] {
        std::string reason;
        const bool written = WriteSettingString(S, "A", "2", &reason);
        return written == c.writes && reason == (c.writes ? "" : "Permission denied");
    }));
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0700), 0);
    if (!c.writes) {
        EXPECT_EQ(os_files::FileExists(SettingsFilePath), c.fileMode != 0);
        if (c.fileMode) {
            EXPECT_EQ(FileText(), before);
            struct stat st {};
            ASSERT_EQ(::stat(SettingsFilePath.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.fileMode);
        }
    } else {
        EXPECT_EQ(ReadSettingString(S, "A", ""), "2");
    }
    EXPECT_TRUE(Strays().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsPermissions,
                         ::testing::ValuesIn(std::vector<PermissionCase>{
                             {"read_only_folder", 0555, 0666, false},
                             {"read_only_folder_no_file", 0555, 0, false},
                             {"read_only_file", 0755, 0444, false},
                             {"writable_file", 0755, 0666, true},
                             {"new_file", 0755, 0, true},
                         }),
                         CaseName());
#else
// Windows: a file marked read-only stays as it is.
TEST_F(SettingsStore, AReadOnlyFileIsLeftAlone) {
    const std::string before = "; by hand\n[SETTING]\nA=1\n";
    SetFile(before);
    namespace fs = std::filesystem;
    fs::permissions(SettingsFilePath,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::string reason;
    EXPECT_FALSE(WriteSettingString(S, "A", "2", &reason));
    EXPECT_EQ(reason, "Permission denied");
    EXPECT_EQ(FileText(), before);
    fs::permissions(SettingsFilePath, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_TRUE(Strays().empty());
}
#endif

TEST_F(SettingsStore, AnyBytesReadAndSurviveARewrite) {
    std::string odd = std::string("\0\xff\xc3(", 4) + std::string(10 << 20, 'z');
    SetFile(odd + "\n[SETTING]\nSN_Bytes=3");  // no newline at the end
    EXPECT_EQ(ReadSettingInt(S, "SN_Bytes", 1), 3);
    ASSERT_TRUE(WriteSettingInt(S, "SN_Step", 4));
    EXPECT_EQ(FileText(), odd + "\n[SETTING]\nSN_Bytes=3\nSN_Step=4\n");
}

// A process killed at any moment of a write leaves the old file or the new one, never a mix.
TEST_F(SettingsStore, KilledWriterLeavesAWholeFile) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork() and SIGKILL";
#else
    const std::string pad(512 << 10, 'p');  // makes each write long enough to be interrupted
    ASSERT_TRUE(WriteSettingString(S, "Pad", pad));
    ASSERT_TRUE(WriteSettingInt(S, "Counter", 0));
    std::mt19937 random(42);
    for (int round = 0; round < 12; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 1;; ++i) {
                WriteSettingInt(S, "Counter", i);
                WriteSettingString(S, "Pad", pad);
            }
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(1000, 30000)(random));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        IniDocument doc(FileText());
        ASSERT_EQ(doc.Get(S, "Pad"), pad) << "round " << round;
        ASSERT_TRUE(doc.Get(S, "Counter").has_value());
        EXPECT_EQ(FileText(),
                  "[SETTING]\nPad=" + pad + "\nCounter=" + *doc.Get(S, "Counter") + "\n");
    }
#endif
}

// Two loaders writing their own keys to one file at once: neither ever loses the other's (a
// lost update shows as the other's counter going backwards).
TEST_F(SettingsStore, TwoWritersKeepEachOthersKeys) {
    // Each its own lock file handle, as two loaders have: a process each where it may fork, a
    // thread each elsewhere.
    auto writer = [this](const char* mine, const char* theirs) {
        int seen = 0, regressions = 0, failures = 0;
        for (int i = 1; i <= 150; ++i) {
            failures += WriteSettingInt(S, mine, i) ? 0 : 1;
            const int now = ReadSettingInt(S, theirs, 0);
            regressions += now < seen ? 1 : 0;
            seen = now;
            regressions += ReadSettingInt(S, mine, 0) == i ? 0 : 1;
        }
        return regressions + failures;
    };
#ifdef _WIN32
    int childErrors = -1;
    std::thread child([&] { childErrors = writer("Child", "Parent"); });
    EXPECT_EQ(writer("Parent", "Child"), 0);
    child.join();
    EXPECT_EQ(childErrors, 0);
#else
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(writer("Child", "Parent") == 0 ? 0 : 1);
    EXPECT_EQ(writer("Parent", "Child"), 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
    EXPECT_EQ(ReadSettingInt(S, "Child", 0), 150);
    EXPECT_EQ(ReadSettingInt(S, "Parent", 0), 150);
}

// The lock is exclusive across descriptors, and a loader that holds it too long is waited for
// only so long.
TEST_F(SettingsStore, TheLockIsBounded) {
    SettingsLock first(SettingsFilePath);
    ASSERT_TRUE(first.held());
    SettingsLock second(SettingsFilePath, 20);
    EXPECT_FALSE(second.held());
    EXPECT_NE(second.reason().find("another loader has held"), std::string::npos);
}

TEST(SettingsHelpers, ParseHex4) {
    struct {
        const char* text;
        unsigned want;
    } cases[] = {{"00C1", 0xC1}, {"c001", 0xC001}, {"  2156", 0x2156}, {"12345", 0x1234},
                 {"1G", 0x1},    {"xyz", 0xBEEF},  {"", 0xBEEF}};
    for (const auto& c : cases) {
        unsigned value = 0xBEEF;
        EXPECT_EQ(ParseHex4(c.text, value), 1);
        EXPECT_EQ(value, c.want) << c.text;
    }
}

TEST(SettingsHelpers, FileExistsAndExecutableDirectory) {
    EXPECT_FALSE(os_files::FileExists(""));
    EXPECT_FALSE(os_files::FileExists("/nonexistent/pravune"));
    std::string dir = ExecutableDirectory();
    EXPECT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
#ifdef _WIN32
    EXPECT_TRUE(os_files::FileExists(dir + "\\core_tests.exe")) << dir;
    EXPECT_TRUE(os_files::FileExists("C:\\"));
#else
    EXPECT_TRUE(os_files::FileExists("/"));
    EXPECT_TRUE(std::filesystem::equivalent(dir + "/" + "core_tests", "/proc/self/exe"));
#endif
}

}  // namespace
