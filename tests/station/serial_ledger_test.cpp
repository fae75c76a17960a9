// Serial numbers are never given twice: not after a failed download, not across a crash, not
// between two loaders on one config.ini, not when config.ini cannot be saved. And every
// download leaves a record.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <random>
#include <set>

#include "tests/support/station_rig.h"
#include "tests/support/unprivileged.h"

namespace {

const char* const kPlan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\nSN_Step=1\n";

std::uint32_t SnCurrent(const Rig& r) {
    std::string text;
    settings_file::ReadChecked(r.folderPath + "/config.ini", "SETTING", "SN_Current", "0", text,
                               nullptr);
    std::uint32_t value = 0;
    ScanHex(text, value);
    return value;
}

TEST(SerialLedger, EveryDownloadLeavesARecordWithItsNumber) {
    Rig r(kPlan);
    ASSERT_TRUE(r.station.Download());
    // The next module takes its number, then no command after it (the run fails).
    r.module.onExchange = [&](std::size_t) {
        const BootPacket& last = r.module.commands().back();
        if (last[0] == CMD_WRITE && last[1] == 0x00 && last[2] == 0x3B)
            r.module.faults.failSetReports = 1 << 20;
    };
    ASSERT_FALSE(r.station.Download());

    std::string reason;
    auto store = OpenSqliteRecordStore(RecordStorePathFor(r.folderPath + "/config.ini"), &reason);
    ASSERT_TRUE(store) << reason;
    auto records = store->Since("", 10, &reason);
    ASSERT_TRUE(records && records->size() == 2) << reason;
    const DownloadRecord& good = (*records)[0];
    EXPECT_EQ(good.verdict, "succeeded");
    EXPECT_EQ(good.moduleUid, "ABC123");
    EXPECT_EQ(good.portPath, "usb-sim-1");
    EXPECT_EQ(good.format, "plain");
    EXPECT_EQ(good.imageSha256.size(), 64u);
    EXPECT_TRUE(good.hasSerial && good.serialValue == 0x1234);
    EXPECT_EQ(good.serialState, SerialState::kWritten);
    EXPECT_EQ(good.log.back().text, "Succeed\r\n");
    const DownloadRecord& bad = (*records)[1];
    EXPECT_EQ(bad.verdict, "failed");
    EXPECT_EQ(bad.failedStep, "run");
    EXPECT_TRUE(bad.hasSerial && bad.serialValue == 0x1235);
    EXPECT_EQ(bad.serialState, SerialState::kUsedUp);
    EXPECT_EQ(SnCurrent(r), 0x1236u);
}

// A config.ini that may not be written: the download fails before any number reaches the
// module, and the next start offers the same number again.
TEST(SerialLedger, AConfigThatCannotBeSavedGivesNoNumber) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    Rig setup(kPlan, ImageText(), "ABC123", dir.path());  // writes the files as this user
    ::chmod((dir.path() + "/config.ini").c_str(), 0444);
    EXPECT_TRUE(HoldsUnprivileged([&] {
        Rig r(nullptr, ImageText(), "ABC123", dir.path());
        const bool refused = !r.station.Download();
        const std::vector<std::string> lines = r.rec.Lines();
        const bool told =
            std::find(lines.begin(), lines.end(),
                      "\t- The serial number was not written: cannot write " + dir.path() +
                          "/config.ini: Permission denied") != lines.end();
        bool sent = false;
        for (const auto& p : r.module.commands())
            sent = sent || (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B);
        return refused && told && !sent && !r.module.running();
    }));
    EXPECT_EQ(SnCurrent(setup), 0x1234u);
}

// The folder for the tests that fork: in memory when the machine has /dev/shm, since every
// reservation waits for two flushes to disk.
struct SharedFolder {
    SharedFolder() {
        std::string pattern = (std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
                              std::string("/pravune-ledger-XXXXXX");
        path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~SharedFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// The numbers a test module received at the serial number's address, appended to a file as the
// module takes them, so that they survive the process that sent them.
void LogNumbersTo(Rig& r, const std::string& file) {
    r.module.onExchange = [&r, file](std::size_t) {
        const BootPacket& p = r.module.commands().back();
        if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B) {
            std::ofstream(file, std::ios::app) << ((p[4] << 8) | p[5]) << "\n";
        }
    };
}

std::vector<std::uint32_t> NumbersIn(const std::string& file) {
    std::vector<std::uint32_t> numbers;
    std::ifstream in(file);
    for (std::uint32_t n = 0; in >> n;)
        numbers.push_back(n);
    return numbers;
}

TEST(SerialLedger, TwoLoadersOnOneConfigNeverGiveANumberTwice) {
    SharedFolder shared;
    const char* plan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0000\nSN_Bytes=2\nSN_Step=1\n";
    { Rig setup(plan, FullImageHex(0x0E00, 0x0E40), "SETUP0", shared.path); }
    const std::string numbers = shared.path + "/numbers";
    constexpr int kEach = 1000;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    {
        Rig r(nullptr, {}, child == 0 ? "CHILD1" : "PARENT", shared.path);
        LogNumbersTo(r, numbers);
        int failed = 0;
        for (int i = 0; i < kEach; ++i) {
            if (!r.station.Download()) {
                ++failed;
                for (const std::string& line : r.rec.Lines())
                    std::fprintf(stderr, "%s: %s\n", child == 0 ? "child" : "parent", line.c_str());
            }
        }
        if (child == 0)
            ::_exit(failed == 0 ? 0 : 1);
        EXPECT_EQ(failed, 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::vector<std::uint32_t> given = NumbersIn(numbers);
    EXPECT_EQ(given.size(), 2u * kEach);
    EXPECT_EQ(std::set<std::uint32_t>(given.begin(), given.end()).size(), given.size());
}

TEST(SerialLedger, ALoaderKilledAnywhereNeverRepeatsANumber) {
    SharedFolder shared;
    const char* plan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0000\nSN_Bytes=2\nSN_Step=1\n";
    { Rig setup(plan, FullImageHex(0x0E00, 0x0E40), "SETUP0", shared.path); }
    const std::string numbers = shared.path + "/numbers";
    const std::string attempts = shared.path + "/attempts";
    std::mt19937 random(7);
    // Each child programs modules until it is killed at a random moment; 200 downloads in all.
    while (std::filesystem::file_size(numbers, *std::make_unique<std::error_code>()) == 0 ||
           NumbersIn(attempts).size() < 200) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Rig r(nullptr, {}, "KILLED", shared.path);
            LogNumbersTo(r, numbers);
            for (;;) {
                std::ofstream(attempts, std::ios::app) << "1\n";
                r.station.Download();
            }
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(2000, 40000)(random));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    const std::vector<std::uint32_t> given = NumbersIn(numbers);
    ASSERT_FALSE(given.empty());
    EXPECT_EQ(std::set<std::uint32_t>(given.begin(), given.end()).size(), given.size());
    Rig after(nullptr, {}, "AFTER1", shared.path);
    EXPECT_GT(SnCurrent(after), *std::max_element(given.begin(), given.end()));
}

}  // namespace
