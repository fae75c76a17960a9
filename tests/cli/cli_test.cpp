// The command-line loader end to end: the tests' build of it (pravune-cli-sim) over a simulated
// bus of modules that only these tests select (PRAVUNE_CLI_SIMULATE, see cli/sim_bus.h); the
// shipped pravune-cli has no such bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/printer.h"
#include "cli/utc_time.h"
#include "image/hex_reader.h"
#include "image/image_check.h"
#include "ledger/record_fields.h"
#include "ledger/record_journal.h"
#include "ledger/record_store.h"
#include "ledger/sha256.h"
#include "ledger/sql_session.h"
#include "pravune_version.h"
#include "tests/support/sample_record.h"
#include "tests/support/station_rig.h"
#include "tests/support/test_database.h"

namespace {

struct Result {
    int exit = -1;
    std::string out;
    std::string err;                     // standard error
    std::vector<nlohmann::json> events;  // the JSON lines of the output
};

// Runs pravune-cli-sim (or `program`) with `args` and the simulated `modules`;
// `interruptAfterMs` sends `interruption` (SIGINT by default); `cwd` is its working folder
// (default: the test's).
Result RunCli(const std::vector<std::string>& args, const char* modules,
              const std::string& dump = {}, int interruptAfterMs = 0, unsigned answerMicros = 0,
              const char* program = PRAVUNE_CLI_PATH, const std::string& cwd = {},
              int interruption = SIGINT) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        return {};
    char errPath[] = "/tmp/pravune-cli-err-XXXXXX";
    const int err = ::mkstemp(errPath);
    if (err < 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe[1], STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::close(pipe[0]);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        if (modules)
            ::setenv("PRAVUNE_CLI_SIMULATE", modules, 1);
        else
            ::unsetenv("PRAVUNE_CLI_SIMULATE");
        ::setenv("PRAVUNE_CLI_SIMULATE_DUMP", dump.c_str(), 1);
        ::setenv("PRAVUNE_CLI_SIMULATE_ANSWER_US", std::to_string(answerMicros).c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program, argv.data());
        ::_exit(127);
    }
    ::close(pipe[1]);
    if (interruptAfterMs) {
        ::usleep(static_cast<useconds_t>(interruptAfterMs) * 1000);
        ::kill(child, interruption);
    }
    Result r;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        r.out.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ReadBytes(errPath);
    ::close(err);
    ::unlink(errPath);
    std::fputs(r.err.c_str(), stderr);  // as before, for the test's own output
    std::size_t pos = 0;
    for (std::size_t eol; (eol = r.out.find('\n', pos)) != std::string::npos; pos = eol + 1) {
        auto event = nlohmann::json::parse(r.out.substr(pos, eol - pos), nullptr, false);
        if (!event.is_discarded())
            r.events.push_back(event);
    }
    return r;
}

std::vector<nlohmann::json> Events(const Result& r, const std::string& kind) {
    std::vector<nlohmann::json> found;
    for (const auto& e : r.events) {
        if (e.value("event", "") == kind)
            found.push_back(e);
    }
    return found;
}

// The `result` event's fields as the scripting guide's "The result" documents them: each with its
// JSON type (null: an object or null), and whether every result carries it.
struct Field {
    const char* key;
    nlohmann::json::value_t type;
    bool always;
};
using Type = nlohmann::json::value_t;
const Field kResultFields[] = {
    {"event", Type::string, true},
    {"schema", Type::number_unsigned, true},
    {"time", Type::string, true},
    {"module", Type::string, true},
    {"uid", Type::string, true},
    {"ok", Type::boolean, true},
    {"exit", Type::number_unsigned, true},
    {"record", Type::number_unsigned, true},
    {"verdict", Type::string, true},
    {"outcome", Type::string, true},
    {"failed_step", Type::string, true},
    {"status", Type::string, true},
    {"serial", Type::null, true},
    {"hex", Type::string, true},
    {"sha256", Type::string, true},
    {"file_sha256", Type::string, true},
    {"start", Type::string, true},
    {"end", Type::string, true},
    {"duration_ms", Type::number_unsigned, true},
    {"programmed", Type::boolean, true},
    {"record_complete", Type::boolean, true},
    {"record_pending", Type::string, false},
    {"attempt", Type::number_unsigned, false},
};

bool IsUtcStamp(const nlohmann::json& value) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    return value.is_string() && std::regex_match(value.get<std::string>(), stamp);
}

// Milliseconds since the epoch of a stamp the command line wrote.
std::int64_t StampMs(const nlohmann::json& value) {
    std::tm t{};
    int ms = 0;
    std::sscanf(value.get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon,
                &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return std::int64_t{::timegm(&t)} * 1000 + ms;
}

// Whether `result` holds exactly the documented fields, of their types and forms.
void ExpectDocumentedResult(const nlohmann::json& result) {
    SCOPED_TRACE(result.dump());
    for (const Field& f : kResultFields) {
        if (!result.contains(f.key)) {
            EXPECT_FALSE(f.always) << f.key;
            continue;
        }
        const nlohmann::json& v = result[f.key];
        if (f.type == Type::null) {
            EXPECT_TRUE(v.is_null() || v.is_object()) << f.key;
        } else if (f.type == Type::number_unsigned) {
            EXPECT_TRUE(v.is_number_integer() && v.get<std::int64_t>() >= 0) << f.key;
        } else {
            EXPECT_EQ(v.type(), f.type) << f.key;
        }
    }
    for (const auto& [key, value] : result.items()) {
        bool known = false;
        for (const Field& f : kResultFields)
            known = known || key == f.key;
        EXPECT_TRUE(known) << key << " is not documented";
    }
    EXPECT_EQ(result.value("schema", 0), 1);
    for (const char* stamp : {"time", "start", "end"})
        EXPECT_TRUE(IsUtcStamp(result[stamp])) << stamp;
    const std::string verdict = result.value("verdict", "");
    EXPECT_TRUE(verdict == "succeeded" || verdict == "failed") << verdict;
    EXPECT_NE(
        std::find(kRecordOutcomes.begin(), kRecordOutcomes.end(), result.value("outcome", "")),
        kRecordOutcomes.end());
    EXPECT_EQ(result.value("ok", false), result.value("exit", -1) == 0);
    EXPECT_EQ(result.value("failed_step", "x").empty(), verdict == "succeeded");
    if (result["serial"].is_object()) {
        for (const char* key : {"address", "width", "value"})
            EXPECT_TRUE(result["serial"][key].is_number_unsigned()) << key;
        EXPECT_TRUE(result["serial"]["state"].is_string());
    }
    for (const char* sha : {"sha256", "file_sha256"}) {
        const std::string text = result.value(sha, "?");
        EXPECT_TRUE(text.empty() || text.size() == 64) << sha;
    }
}

// The events of a run other than its result: each with its UTC time.
void ExpectEveryEventStamped(const Result& r) {
    for (const auto& e : r.events)
        EXPECT_TRUE(IsUtcStamp(e["time"])) << e.dump();
}

// A station folder: config.ini with a serial-number plan, a HEX file, a folder for the dumps.
struct Station {
    // `database`: a [DATABASE] section's connection string, if any.
    explicit Station(const std::string& database = {}) {
        hex =
            dir.Write("fw.hex", Data(0, {0x02, 0x0E, 0x00}) + "\n" + FullImageHex(0x0E00, 0x1200));
        dir.Write(
            "config.ini",
            "[SETTING]\nm_strPath_flash=" + hex +
                "\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=0100\n"
                "SN_Bytes=2\nSN_Step=1\n" +
                (database.empty() ? std::string() : "[DATABASE]\nConnection=" + database + "\n"));
        ::mkdir(dir.File("dump").c_str(), 0755);
    }
    std::vector<std::string> Args(std::vector<std::string> rest) const {
        rest.insert(rest.begin(), {"--config", dir.File("config.ini"), "--json"});
        return rest;
    }
    // The flash of a simulated module, and whether it holds the image and `serial` at 0x3B00.
    bool Programmed(const std::string& module, std::uint32_t serial) const {
        const std::string flash = ReadBytes(dir.File("dump/" + module + ".bin"));
        HexImage image;
        std::string status;
        if (flash.size() != 0x4000 || ReadHexFile(hex, image, status) != kHexOk ||
            !CheckImage(image))
            return false;
        for (std::uint32_t a = 0; a < 0x3B00; ++a) {
            const std::uint8_t want =
                (a < 3 || (a >= 0x0E00 && a < image.end)) ? image.data[a] : 0xFF;
            if (static_cast<std::uint8_t>(flash[a]) != want)
                return false;
        }
        return static_cast<std::uint8_t>(flash[0x3B00]) == (serial >> 8) &&
               static_cast<std::uint8_t>(flash[0x3B01]) == (serial & 0xFF);
    }
    // Whether the simulated module's flash was never erased or written: its old contents (0x00)
    // everywhere.
    bool Untouched(const std::string& module) const {
        const std::string flash = ReadBytes(dir.File("dump/" + module + ".bin"));
        return flash.size() == 0x4000 && flash.find_first_not_of('\0') == std::string::npos;
    }
    TempDir dir;
    std::string hex;
};

TEST(Cli, HelpVersionAndUsage) {
    const Result help = RunCli({"--help"}, nullptr);
    EXPECT_EQ(help.exit, 0);
    for (const char* sub : {"list", "program", "watch", "records", "130 stopped"})
        EXPECT_NE(help.out.find(sub), std::string::npos) << sub;
    const Result version = RunCli({"--version"}, nullptr);
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, "pravune-cli " PRAVUNE_VERSION "\n");  // the version the window shows
    for (const char* said : {"check [FILE]", "143 stopped by SIGTERM", "udev rule",
                             "Examples:", "Environment:", "Files:", "*Exit status*"})
        EXPECT_NE(help.out.find(said), std::string::npos) << said;
    // Each option's rule, said in plain numbers and words; nothing is run.
    const struct {
        std::vector<std::string> args;
        const char* said;
    } refused[] = {
        {{"program", "--sn-bytes", "5"}, "not in range 1 to 4"},
        {{"program", "--wait", "nan"}, "must be a number of seconds from 0 to 1000000000, not nan"},
        {{"program", "--wait", "inf"}, "from 0 to 1000000000"},
        {{"program", "--wait", "-1"}, "from 0 to 1000000000"},
        {{"program", "--wait", "1s"}, "from 0 to 1000000000"},
        {{"program", "--sn-addr", "12345"}, "must be 1 to 4 hexadecimal digits, not 12345"},
        {{"watch", "--sn-addr", "3BXY"}, "must be 1 to 4 hexadecimal digits"},
        {{"watch", "--count", "0"}, "must be a whole number from 1 to 1000000000, not 0"},
        {{"records", "--since", "yesterday"}, "must be an ISO 8601 date or time"},
        {{"records", "--show", "0"}, "must be a whole number from 1 to "},
        {{"frobnicate"}, ""},
    };
    for (const auto& r : refused) {
        const Result run = RunCli(r.args, "MOD001");
        EXPECT_EQ(run.exit, 2) << r.said;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("Open Hex"), std::string::npos) << run.out;
    }
    // A settings file that cannot be: a folder, or in a folder that does not exist.
    EXPECT_EQ(RunCli({"--config", "/tmp", "list"}, nullptr).exit, 2);
    EXPECT_EQ(RunCli({"--config", "/nowhere/config.ini", "list"}, nullptr).exit, 2);
}

// The shipped program takes no test switch: set by mistake, the simulated bus's variable neither
// shows nor programs a module, and nothing is counted.
TEST(Cli, TheShippedProgramHasNoSimulatedBus) {
    Station s;
    const Result list = RunCli(s.Args({"list"}), "MOD001", {}, 0, 0, PRAVUNE_SHIPPED_CLI_PATH);
    EXPECT_EQ(list.exit, 0);
    EXPECT_EQ(list.out.find("MOD001"), std::string::npos) << list.out;
    const Result program = RunCli(s.Args({"program", "--wait", "0"}), "MOD001", s.dir.File("dump"),
                                  0, 0, PRAVUNE_SHIPPED_CLI_PATH);
    EXPECT_TRUE(program.exit == 3 || program.exit == 4) << program.out;
    EXPECT_FALSE(os_files::FileExists(s.dir.File("dump/MOD001.bin")));
    EXPECT_NE(ReadBytes(s.dir.File("config.ini")).find("\nSN_Current=0100\n"), std::string::npos);
}

TEST(Cli, ListShowsEveryModuleAndWhichCannotBeOpened) {
    Station s;
    const Result r = RunCli(s.Args({"list"}), "MOD001,!LOCKED");
    EXPECT_EQ(r.exit, 0);
    const auto modules = Events(r, "module");
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules[0]["uid"], "MOD001");
    EXPECT_EQ(modules[0]["port"], "usb-sim-0");
    EXPECT_EQ(modules[0]["id"], "2156:C001");
    EXPECT_EQ(modules[1]["access"], "Permission denied");
}

// Each way a program run ends: its exit code, and exactly one result, as documented.
TEST(Cli, ProgramExitCodes) {
    Station s;
    const Result ok = RunCli(s.Args({"program"}), "MOD001", s.dir.File("dump"));
    EXPECT_EQ(ok.exit, 0) << ok.out;
    EXPECT_TRUE(s.Programmed("MOD001", 0x100));
    ASSERT_EQ(Events(ok, "result").size(), 1u);
    const nlohmann::json done = Events(ok, "result")[0];
    ExpectDocumentedResult(done);
    ExpectEveryEventStamped(ok);
    EXPECT_EQ(done["record"], 1);
    EXPECT_EQ(done["uid"], "MOD001");
    EXPECT_EQ(done["module"], "module");
    EXPECT_EQ(done["serial"],
              (nlohmann::json{
                  {"address", 0x3B00}, {"width", 2}, {"value", 0x100}, {"state", "written"}}));
    EXPECT_EQ(done["file_sha256"], Sha256Hex(ReadBytes(s.hex)));
    const auto record = Events(RunCli(s.Args({"records"}), nullptr), "record");
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(done["sha256"], record[0]["sha256"]);
    EXPECT_LE(StampMs(done["start"]), StampMs(done["end"]));

    // Each with the outcome and the failing step its result names (null: not looked at).
    Station blocked;
    ::mkdir(blocked.dir.File("records.sqlite").c_str(), 0755);
    const std::string bad = s.dir.Write("bad.hex", ":00000001FF\n");
    const struct {
        const Station& station;
        std::vector<std::string> args;
        const char* modules;
        int exit;
        const char* outcome;
        const char* step;
        int signal = 0;  // sent 300 ms after the start
    } ends[] = {
        {s, {"program"}, "?PULLED", 1, "failed", nullptr},
        {s, {"program", "--wait", "0"}, "", 3, "no_module", "handshake"},
        {s, {"program", "--wait", "0.3"}, "", 3, "no_module", "handshake"},
        {s, {"program", "--wait", "0"}, "!LOCKED", 4, "no_access", "handshake"},
        {s, {"program", "--wait", "0.3"}, "!LOCKED", 4, "no_access", "handshake"},
        {s, {"program", "--sn-addr", "3BF9"}, "MOD001", 2, "refused", "serial number check"},
        {s, {"program", bad}, "MOD001", 2, "refused", "load"},
        {s, {"program", "--module", "OTHER1", "--wait", "0"}, "MOD001", 3, "no_module", nullptr},
        // Without a record store no module is programmed.
        {blocked, {"program"}, "MOD001", 5, "not_recorded", nullptr},
        {s, {"program"}, "", 130, nullptr, "handshake", SIGINT},
        {s, {"program"}, "", 143, nullptr, "handshake", SIGTERM},
    };
    for (const auto& e : ends) {
        SCOPED_TRACE(e.exit);
        const Result r = RunCli(e.station.Args(e.args), e.modules, {}, e.signal ? 300 : 0, 0,
                                PRAVUNE_CLI_PATH, {}, e.signal ? e.signal : SIGINT);
        EXPECT_EQ(r.exit, e.exit) << r.out;
        ExpectEveryEventStamped(r);
        ASSERT_EQ(Events(r, "result").size(), 1u) << r.out;
        const nlohmann::json result = Events(r, "result")[0];
        ExpectDocumentedResult(result);
        EXPECT_EQ(result["exit"], e.exit);
        EXPECT_EQ(result["programmed"], false);
        if (e.outcome) {
            EXPECT_EQ(result["outcome"], e.outcome);
        }
        if (e.step) {
            EXPECT_EQ(result["failed_step"], e.step);
        }
    }
    // --json and --config after the subcommand, and -q: only the result.
    const Result quiet =
        RunCli({"program", "--config", s.dir.File("config.ini"), "--json", "-q"}, "MOD002");
    EXPECT_EQ(quiet.exit, 0) << quiet.out;
    ASSERT_EQ(quiet.events.size(), 1u) << quiet.out;
    EXPECT_EQ(quiet.events[0]["event"], "result");
}

// The command line's first handshake goes out as soon as the module is present, not after the
// window's 1 s tick, so a wait below a second is enough for a module in the fixture.
TEST(Cli, TheFirstHandshakeGoesOutAtOnce) {
    Station s;
    for (const char* wait : {"", "0.9", "0.2"}) {
        SCOPED_TRACE(wait);
        std::vector<std::string> args{"program"};
        if (*wait)
            args.insert(args.end(), {"--wait", wait});
        const Result r = RunCli(s.Args(args), "MOD001");
        EXPECT_EQ(r.exit, 0) << r.out;
        ASSERT_EQ(Events(r, "result").size(), 1u);
        const nlohmann::json result = Events(r, "result")[0];
        // The handshake's answer (its "Done") against the start of the run.
        const auto logs = Events(r, "log");
        std::int64_t answered = -1;
        for (std::size_t i = 0; i + 1 < logs.size(); ++i) {
            if (logs[i]["text"].get<std::string>().rfind("Handshake", 0) == 0)
                answered = StampMs(logs[i + 1]["time"]);
        }
        ASSERT_GE(answered, 0) << r.out;
        EXPECT_LT(answered - StampMs(result["start"]), 100) << r.out;
        EXPECT_LT(result["duration_ms"].get<int>(), 500);
    }
}

// PRAVUNE_DATABASE naming a server config.ini does not name opens no second ledger: refused
// before the module is touched, exit 5, and the counter stays where it was.
TEST(Cli, AnotherDatabaseInTheEnvironmentIsRefused) {
    Station s;
    ::setenv("PRAVUNE_DATABASE", "host=db.elsewhere dbname=pravune", 1);
    const Result program = RunCli(s.Args({"program"}), "MOD001", s.dir.File("dump"));
    ::unsetenv("PRAVUNE_DATABASE");
    EXPECT_EQ(program.exit, 5) << program.out;
    EXPECT_NE(program.out.find("PRAVUNE_DATABASE names "), std::string::npos) << program.out;
    EXPECT_TRUE(s.Untouched("MOD001"));
    EXPECT_NE(ReadBytes(s.dir.File("config.ini")).find("\nSN_Current=0100\n"), std::string::npos);
}

// config.ini reached through a symbolic link: its lock, its records and its counter are those
// of the link's target, so the link and the target give out numbers from one ledger.
TEST(Cli, ALinkAndItsTargetShareOneLedger) {
    Station s;
    TempDir other;
    const std::string link = other.File("config.ini");
    ASSERT_EQ(::symlink(s.dir.File("config.ini").c_str(), link.c_str()), 0);
    const Result first =
        RunCli({"--config", link, "--json", "program"}, "MOD001", s.dir.File("dump"));
    ASSERT_EQ(first.exit, 0) << first.out;
    ASSERT_EQ(RunCli(s.Args({"program"}), "MOD002", s.dir.File("dump")).exit, 0);
    EXPECT_TRUE(s.Programmed("MOD001", 0x100));
    EXPECT_TRUE(s.Programmed("MOD002", 0x101));
    EXPECT_FALSE(os_files::FileExists(other.File("records.sqlite")));
    EXPECT_FALSE(os_files::FileExists(other.File("config.ini.lock")));
}

// Settings another user could have planted or may swap: refused, with the reason, before the
// module is touched; nothing is written or made where a planted link points.
TEST(Cli, AnotherUsersLinksAndFoldersAreRefused) {
    struct Case {
        const char* link;      // a file made another user's link to elsewhere/made, or null
        mode_t folderMode;     // the settings folder's mode
        bool folderOfAnother;  // the folder given to another user
        bool settingsRefused;  // config.ini itself may not be written there
        const char* said;
    };
    const char* const kLink = "is a symbolic link of another user";
    const Case cases[] = {
        {"config.ini", 0700, false, true, kLink},
        {"config.ini.lock", 0700, false, true, kLink},
        {"records.sqlite", 0700, false, false, kLink},
        {"records.sqlite-wal", 0700, false, false, kLink},
        {nullptr, 0777, false, true, "may be written by other users (mode 0777"},
        {nullptr, 01777, true, true, "may be written by other users (mode 1777"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link ? c.link : c.said);
        if ((c.link || c.folderOfAnother) && ::geteuid() != 0)
            continue;  // only root may give a link or folder to another user
        Station s;
        TempDir elsewhere;
        std::string target = elsewhere.File("made");
        if (c.link && std::string(c.link) == "config.ini") {
            // The operator's own settings elsewhere, and another user's link to them.
            target = elsewhere.File("config.ini");
            std::rename(s.dir.File("config.ini").c_str(), target.c_str());
        }
        if (c.link) {
            ASSERT_EQ(::symlink(target.c_str(), s.dir.File(c.link).c_str()), 0);
            ASSERT_EQ(::lchown(s.dir.File(c.link).c_str(), 65534, 65534), 0);
        }
        ::chmod(s.dir.path().c_str(), c.folderMode);
        if (c.folderOfAnother) {
            ASSERT_EQ(::chown(s.dir.path().c_str(), 65534, 65534), 0);
        }
        const std::string config = ReadBytes(s.dir.File("config.ini"));
        const Result r = RunCli(s.Args({"program"}), "MOD001", s.dir.File("dump"));
        EXPECT_EQ(r.exit, 5) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_TRUE(s.Untouched("MOD001"));
        // Beside another user's link to the record, only the counter must stay.
        if (c.settingsRefused) {
            EXPECT_EQ(ReadBytes(s.dir.File("config.ini")), config);
        }
        EXPECT_NE(ReadBytes(s.dir.File("config.ini")).find("\nSN_Current=0100\n"),
                  std::string::npos);
        EXPECT_FALSE(os_files::FileExists(elsewhere.File("made")));
        EXPECT_FALSE(os_files::FileExists(elsewhere.File("records.sqlite")));
        ::chmod(s.dir.path().c_str(), 0700);
    }
    // A sticky folder of the operator's own is sound (links in it are another matter).
    Station sticky;
    ::chmod(sticky.dir.path().c_str(), 01777);
    EXPECT_EQ(RunCli(sticky.Args({"program"}), "MOD001", sticky.dir.File("dump")).exit, 0);
    EXPECT_TRUE(sticky.Programmed("MOD001", 0x100));
    ::chmod(sticky.dir.path().c_str(), 0700);
}

// Refusals kept while the record could not be opened are written once when it can again, though
// sixteen stations of one `watch` finish at once and each catches up after its download.
TEST(Cli, RefusalsKeptForLaterAreWrittenOnceBySixteenStations) {
    Station s;
    const std::string records = s.dir.File("records.sqlite");
    ::mkdir(records.c_str(), 0700);  // no database can be opened there
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(RunCli(s.Args({"program"}), "MOD001").exit, 5);
    ::rmdir(records.c_str());
    std::string modules;
    for (int i = 1; i <= 16; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%sMOD%03d", i > 1 ? "," : "", i);
        modules += name;
    }
    const Result r =
        RunCli(s.Args({"watch", "--count", "16"}), modules.c_str(), s.dir.File("dump"));
    EXPECT_EQ(r.exit, 0) << r.out;
    int refused = 0, succeeded = 0;
    for (const auto& record : Events(RunCli(s.Args({"records"}), nullptr), "record")) {
        if (record["outcome"] == "not_recorded") {
            ++refused;
            EXPECT_NE(record["status"].get<std::string>().find("(refused 6 times for this cause"),
                      std::string::npos)
                << record["status"];
        }
        succeeded += record["verdict"] == "succeeded" ? 1 : 0;
    }
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(succeeded, 16);
}

// A reader that goes away (`| grep -m 1`) in the middle of a flash never stops it: the downloads
// begun are finished and recorded, no module more is taken, and the run says so with its own
// exit code. The reader leaves at the first erase, so a flash is under way whatever the pace.
TEST(Cli, AClosedOutputFinishesAndRecordsWhatWasBegun) {
    Station s;
    std::vector<std::string> args{"-c", "\"$@\" | grep -q -m 1 Erase; echo \"${PIPESTATUS[0]}\"",
                                  "bash", PRAVUNE_CLI_PATH};
    for (const std::string& a : s.Args({"watch", "--count", "2"}))
        args.push_back(a);
    const Result r = RunCli(args, "MOD001,MOD002", s.dir.File("dump"), 0, 300, "/bin/bash");
    EXPECT_EQ(r.out, "141\n") << r.err;
    const std::vector<nlohmann::json> records =
        Events(RunCli(s.Args({"records"}), nullptr), "record");
    ASSERT_FALSE(records.empty());
    for (const auto& record : records) {
        EXPECT_EQ(record["verdict"], "succeeded");
        EXPECT_TRUE(s.Programmed(record["uid"], record["serial"]["value"])) << record["uid"];
    }
}

// Settings are a regular file: a device or a FIFO named by --config is refused, and nothing is
// made beside it.
TEST(Cli, AConfigThatIsNoRegularFileIsRefused) {
    const Result r = RunCli({"--config", "/dev/zero", "records"}, nullptr);
    EXPECT_EQ(r.exit, 2);
    EXPECT_NE(r.err.find("/dev/zero is not a regular file"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists("/dev/records.sqlite"));
}

TEST(Cli, WatchProgramsFourModulesAtOnceWithFourNumbers) {
    Station s;
    const Result r = RunCli(s.Args({"watch", "--count", "4"}), "MOD001,MOD002,MOD003,MOD004",
                            s.dir.File("dump"));
    EXPECT_EQ(r.exit, 0) << r.out;
    std::set<std::uint32_t> numbers;
    const Result records = RunCli(s.Args({"records"}), nullptr);
    for (const auto& record : Events(records, "record")) {
        EXPECT_EQ(record["verdict"], "succeeded");
        const std::uint32_t value = record["serial"]["value"];
        numbers.insert(value);
        EXPECT_TRUE(s.Programmed(record["uid"], value)) << record["uid"];
    }
    EXPECT_EQ(numbers, (std::set<std::uint32_t>{0x100, 0x101, 0x102, 0x103}));
    ASSERT_EQ(Events(r, "summary").size(), 1u);
    const nlohmann::json summary = Events(r, "summary")[0];
    EXPECT_EQ(summary["modules"], 4);
    EXPECT_EQ(summary["failed"], 0);
    // Every module in the summary, as its result has it.
    const auto results = Events(r, "result");
    ASSERT_EQ(results.size(), 4u);
    ASSERT_EQ(summary["list"].size(), 4u);
    for (const auto& result : results) {
        ExpectDocumentedResult(result);
        const auto& list = summary["list"];
        const auto entry = std::find_if(list.begin(), list.end(),
                                        [&](const auto& m) { return m["uid"] == result["uid"]; });
        ASSERT_NE(entry, list.end()) << result["uid"];
        EXPECT_EQ((*entry)["serial"], result["serial"]);
        EXPECT_EQ((*entry)["record"], result["record"]);
        EXPECT_EQ((*entry)["verdict"], "succeeded");
        EXPECT_EQ((*entry)["module"], result["module"]);
    }
}

// A file or plan that would fail every module is refused at once, before any module is
// touched, whether or not one is present.
TEST(Cli, WatchRefusesBadInputAtOnce) {
    Station s;
    const std::string bad = s.dir.Write("bad.hex", ":00000001FF\n");
    const struct {
        std::vector<std::string> args;
        const char* modules;
        const char* step;
    } cases[] = {
        {{"watch", bad}, "", "load"},
        {{"watch", bad, "--count", "1"}, "MOD001", "load"},
        {{"watch", "--sn-addr", "3BF9"}, "", "serial number check"},
        {{"watch", "--sn-addr", "3BF9"}, "MOD001", "serial number check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        const auto before = std::chrono::steady_clock::now();
        const Result r = RunCli(s.Args(c.args), c.modules, s.dir.File("dump"));
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
        EXPECT_EQ(r.exit, 2) << r.out;
        ASSERT_EQ(Events(r, "result").size(), 1u) << r.out;
        ExpectDocumentedResult(Events(r, "result")[0]);
        EXPECT_EQ(Events(r, "result")[0]["failed_step"], c.step);
        ASSERT_EQ(Events(r, "summary").size(), 1u);
        EXPECT_EQ(Events(r, "summary")[0]["modules"], 0);
        if (*c.modules) {
            EXPECT_TRUE(s.Untouched("MOD001"));
        }
    }
    EXPECT_EQ(Events(RunCli(s.Args({"records"}), nullptr), "record").size(), 0u);
}

// check: the file and the plan a download would take, read and checked without a module.
TEST(Cli, CheckIsADryRun) {
    Station s;
    const std::string bad = s.dir.Write("bad.hex", ":00000001FF\n");
    const std::string wrong = s.dir.Write("wrong.hex", ":0100100042AD\n:0400000500000000F7\n");
    const struct {
        std::vector<std::string> args;
        int exit;
        bool loaded, fits, plan;
        std::string status{};  // the refusal's text, where it is told
    } cases[] = {
        {{"check"}, 0, true, true, true},
        {{"check", "--no-sn"}, 0, true, true, false},
        {{"check", "--sn-addr", "3BF9"}, 2, true, false, true},
        {{"check", "--sn-addr", "0E10"}, 2, true, false, true},  // over the image's bytes
        {{"check", bad}, 2, false, false, true},
        {{"check", s.dir.File("missing.hex")}, 2, false, false, true},
        {{"check", wrong},
         2,
         false,
         false,
         true,
         "Open Hex file error -- Hex Type Error! (line 2: record type 05 is not handled)"},
    };
    const Result run = RunCli(s.Args({"program"}), "MOD001");
    ASSERT_EQ(run.exit, 0) << run.out;
    const nlohmann::json result = Events(run, "result")[0];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const Result r = RunCli(s.Args(c.args), "MOD002", s.dir.File("dump"));
        EXPECT_EQ(r.exit, c.exit) << r.out;
        ExpectEveryEventStamped(r);
        ASSERT_EQ(Events(r, "check").size(), 1u) << r.out;
        const nlohmann::json check = Events(r, "check")[0];
        EXPECT_EQ(check["ok"], c.exit == 0);
        EXPECT_EQ(check["loaded"], c.loaded);
        EXPECT_EQ(check["plan_fits"], c.fits);
        EXPECT_EQ(check["plan"].is_object(), c.plan);
        if (c.loaded) {
            EXPECT_EQ(check["format"], "plain");
            EXPECT_EQ(check["start"], 0x0E00);
            EXPECT_EQ(check["end"], 0x1200);
            EXPECT_EQ(check["sha256"], result["sha256"]);
            EXPECT_EQ(check["file_sha256"], Sha256Hex(ReadBytes(s.hex)));
        } else {
            EXPECT_FALSE(check["status"].get<std::string>().empty());
            if (!c.status.empty()) {
                EXPECT_EQ(check["status"], c.status);
            }
        }
        EXPECT_TRUE(s.Untouched("MOD002"));
    }
    // The plan's number is shown, never taken.
    EXPECT_NE(ReadBytes(s.dir.File("config.ini")).find("\nSN_Current=101\n"), std::string::npos);
    EXPECT_EQ(Events(RunCli(s.Args({"records"}), nullptr), "record").size(), 1u);
}

// With production mode on in config.ini, `check`, `program` and `watch` pass only the approved
// release: another file is refused before any module, with both hashes named.
TEST(Cli, ProductionModeTakesOnlyTheApprovedRelease) {
    Station s;
    const std::string released = Sha256Hex(ReadBytes(s.hex));
    const std::string other = Sha256Hex(std::string("another release"));
    const std::string config = ReadBytes(s.dir.File("config.ini"));
    for (const std::string& approved : {released, other}) {
        SCOPED_TRACE(approved);
        s.dir.Write("config.ini", config + "ProductionMode=1\nApprovedSha256=" + approved + "\n");
        const bool ok = approved == released;
        const Result c = RunCli(s.Args({"check"}), "MOD001", s.dir.File("dump"));
        EXPECT_EQ(c.exit, ok ? 0 : 2) << c.out;
        const nlohmann::json check = Events(c, "check").at(0);
        EXPECT_EQ(check["release"]["verdict"], ok ? "approved" : "other_file");
        EXPECT_EQ(check["release"]["approved_sha256"], approved);
        for (const char* command : {"program", "watch"}) {
            if (ok)
                break;  // programming the approved release is every other test's case
            const Result r = RunCli(s.Args({command}), "MOD002", s.dir.File("dump"));
            EXPECT_EQ(r.exit, 2) << r.out;
            const nlohmann::json result = Events(r, "result").at(0);
            EXPECT_EQ(result["failed_step"], "release");
            EXPECT_EQ(result["status"], "Not the approved release: approved SHA-256 " + other +
                                            ", this file " + released + " (nothing was sent)");
            EXPECT_TRUE(s.Untouched("MOD002"));
        }
    }
    const Result program = RunCli(s.Args({"program"}), "MOD003", s.dir.File("dump"));
    EXPECT_EQ(program.exit, 2) << "the last approval is another file's";
    s.dir.Write("config.ini", config + "ProductionMode=1\nApprovedSha256=" + released + "\n");
    EXPECT_EQ(RunCli(s.Args({"program"}), "MOD003", s.dir.File("dump")).exit, 0);
    EXPECT_TRUE(s.Programmed("MOD003", 0x100));
}

// A module refused before anything was sent to it is tried again while it stays plugged in,
// once the cause is gone (here the record store comes back); one that was erased and failed
// is not tried again until it is plugged in again.
TEST(Cli, WatchTriesAgainWhatNothingWasSentTo) {
    Station s;
    const std::string store = s.dir.File("records.sqlite");
    ASSERT_EQ(::mkdir(store.c_str(), 0755), 0);
    std::thread mend([&] {
        ::usleep(300000);
        ::rmdir(store.c_str());
    });
    const Result r = RunCli(s.Args({"watch"}), "MOD001,#BAD001", s.dir.File("dump"), 2500);
    mend.join();
    EXPECT_EQ(r.exit, 130) << r.out;
    std::map<std::string, std::vector<nlohmann::json>> results;
    for (const auto& result : Events(r, "result")) {
        ExpectDocumentedResult(result);
        results[result["uid"]].push_back(result);
    }
    // Refused while the store was away (nothing sent), then programmed.
    ASSERT_GE(results["MOD001"].size(), 2u) << r.out;
    EXPECT_EQ(results["MOD001"].front()["exit"], 5);
    EXPECT_EQ(results["MOD001"].back()["exit"], 0);
    EXPECT_EQ(results["MOD001"].back()["attempt"], results["MOD001"].size());
    EXPECT_TRUE(s.Programmed("MOD001", results["MOD001"].back()["serial"]["value"]));
    // Erased, failed at the write: its last attempt, though it stays plugged in.
    ASSERT_GE(results["BAD001"].size(), 2u) << r.out;
    EXPECT_EQ(results["BAD001"].back()["failed_step"], "write flash");
    for (std::size_t i = 0; i + 1 < results["BAD001"].size(); ++i)
        EXPECT_EQ(results["BAD001"][i]["exit"], 5);
    const auto summary = Events(r, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["modules"], 2);
    EXPECT_EQ(summary[0]["failed"], 1);

    // A module this user may not open: said once, with its result, and looked at again.
    const Result locked = RunCli(s.Args({"watch"}), "!LOCKED", {}, 700);
    EXPECT_EQ(locked.exit, 130) << locked.out;
    ASSERT_EQ(Events(locked, "result").size(), 1u) << locked.out;
    ExpectDocumentedResult(Events(locked, "result")[0]);
    EXPECT_EQ(Events(locked, "result")[0]["outcome"], "no_access");
    EXPECT_EQ(Events(locked, "result")[0]["exit"], 4);
    ASSERT_EQ(Events(locked, "summary").size(), 1u);
    EXPECT_GE(Events(locked, "summary")[0]["list"][0]["attempts"], 2);
}

// Ctrl+C stops the running blocks; every number taken ends written or used up.
TEST(Cli, WatchStopsCleanlyOnCtrlC) {
    Station s;
    // 20 ms an answer: Ctrl+C comes in the middle of the flash write.
    const Result r = RunCli(s.Args({"watch"}), "MOD001,MOD002", s.dir.File("dump"), 250, 20000);
    EXPECT_EQ(r.exit, 130) << r.out;
    const auto records = Events(RunCli(s.Args({"records"}), nullptr), "record");
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record["verdict"], "failed");
        EXPECT_EQ(record.value("outcome", ""), "stopped");
        if (record.contains("serial")) {
            EXPECT_EQ(record["serial"]["state"], "used_up");
        }
    }
}

// The window's station and the command line on one config.ini at once: never one number twice.
TEST(Cli, WindowAndCommandLineShareOneCounter) {
    Station s;
    std::atomic<bool> cliDone{false};
    std::thread cli([&] {
        EXPECT_EQ(
            RunCli(s.Args({"watch", "--count", "3"}), "MOD001,MOD002,MOD003", {}, 0, 300).exit, 0);
        cliDone = true;
    });
    // The window programs module after module for as long as the command line runs.
    Rig window(nullptr, {}, "WINDOW", s.dir.path());
    int programmed = 0;
    while (!cliDone && programmed < 500) {
        EXPECT_TRUE(window.station.Download());
        ++programmed;
    }
    cli.join();
    std::set<std::uint32_t> numbers;
    for (const auto& record : Events(RunCli(s.Args({"records"}), nullptr), "record")) {
        EXPECT_EQ(record["verdict"], "succeeded");
        EXPECT_TRUE(numbers.insert(std::uint32_t{record["serial"]["value"]}).second);
    }
    EXPECT_EQ(numbers.size(), 3u + static_cast<std::size_t>(programmed));
}

// Everything an auditor matches the record with, exported: the file as given and as found, the
// SHA-256 `sha256sum` shows for it, the config.ini the station is, the outcome, the version; and
// a past download's log with the stamps the run showed, not the time of asking.
TEST(Cli, RecordsExport) {
    Station s;
    namespace fs = std::filesystem;
    const std::string config = fs::canonical(s.dir.File("config.ini")).string();
    const std::string hex = fs::canonical(s.hex).string();
    const std::string sha = Sha256Hex(ReadBytes(s.hex));
    const Result run = RunCli({"--config", config, "program", "fw.hex"}, "MOD001", {}, 0, 0,
                              PRAVUNE_CLI_PATH, s.dir.path());
    ASSERT_EQ(run.exit, 0) << run.out;
    ::usleep(20000);
    const Result csv = RunCli({"--config", config, "records", "--csv"}, nullptr);
    EXPECT_EQ(csv.exit, 0);
    EXPECT_EQ(csv.out.rfind("id,start_utc,", 0), 0u);
    EXPECT_NE(csv.out.find(",\"MOD001\",\"usb-sim-0\",0x3B00,2,0x100,written,\"succeeded\","),
              std::string::npos)
        << csv.out;
    EXPECT_NE(csv.out.find(",duration_ms,hex_file,file_sha256,station_config,outcome,"
                           "loader_version,status_text,operator,badge\n"),
              std::string::npos)
        << csv.out;
    EXPECT_TRUE(csv.out.ends_with(",\"" + hex + "\",\"" + sha + "\",\"" + config +
                                  "\",\"succeeded\",\"" PRAVUNE_VERSION "\",\"\",\"" +
                                  os_files::AccountName() + "\",\"\"\n"))
        << csv.out;
    const auto records = Events(RunCli(s.Args({"records"}), nullptr), "record");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["hex"], "fw.hex");
    EXPECT_EQ(records[0]["hex_file"], hex);
    EXPECT_EQ(records[0]["file_sha256"], sha);

    const Result show = RunCli({"--config", config, "records", "--show", "1"}, nullptr);
    EXPECT_EQ(show.exit, 0);
    std::size_t stamped = 0;
    for (std::size_t pos = 0, eol; (eol = show.out.find('\n', pos)) != std::string::npos;
         pos = eol + 1) {
        const std::string line = show.out.substr(pos, eol - pos);
        EXPECT_NE(run.out.find("[module] " + line + "\n"), std::string::npos) << line;
        stamped += line.size() > 13 && line[2] == ':' && line[5] == ':' && line[8] == '.';
    }
    EXPECT_EQ(stamped, 7u);  // the check, the five steps and the verdict
    const Result json = RunCli(s.Args({"records", "--show", "1"}), nullptr);
    EXPECT_EQ(Events(json, "log").back()["text"], "Succeed\r\n");
    EXPECT_EQ(Events(json, "log")[0]["stamp_text"], show.out.substr(0, 13));
    EXPECT_EQ(RunCli(s.Args({"records", "--show", "9"}), nullptr).exit, 2);
}

// Every exported field of the record list (kRecordFields) is in the `record` event, by its key,
// as stored; the serial number's inside "serial".
TEST(Cli, TheRecordEventHoldsEveryExportedField) {
    Station s;
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(s.dir.File("records.sqlite"), &reason);
    ASSERT_TRUE(store) << reason;
    DownloadRecord sample = SampleRecord();
    sample.id = store->BeginDownload(sample, &reason);
    ASSERT_TRUE(store->FinishDownload(sample, &reason)) << reason;
    store.reset();
    const auto records = Events(RunCli(s.Args({"records"}), nullptr), "record");
    ASSERT_EQ(records.size(), 1u);
    for (const RecordField& f : kRecordFields) {
        if (!(f.parts & RecordField::kExported))
            continue;
        const nlohmann::json& place =
            f.parts & RecordField::kInSerial ? records[0]["serial"] : records[0];
        const sql::Value value = f.get(sample);
        if (const auto* number = std::get_if<std::int64_t>(&value))
            EXPECT_EQ(place.value(f.jsonKey, nlohmann::json()), *number) << f.jsonKey;
        else
            EXPECT_EQ(place.value(f.jsonKey, nlohmann::json()),
                      std::string(std::get<std::string_view>(value)))
                << f.jsonKey;
    }
}

// A module string holding ESC [2J (and the C1 control CSI) neither clears the operator's screen
// nor fakes a line: every printed path shows it escaped.
TEST(Cli, ControlCharactersReachNoTerminal) {
    Station s;
    const char* module = "\x1B[2J\x9B";
    const std::string config = s.dir.File("config.ini");
    ASSERT_EQ(RunCli({"--config", config, "program"}, module, s.dir.File("dump")).exit, 0);
    const std::vector<std::vector<std::string>> printed = {
        {"--config", config, "list"},
        {"--config", config, "records"},
        {"--config", config, "records", "--csv"},
        {"--config", config, "records", "--show", "1"},
    };
    const Result program = RunCli({"--config", config, "program"}, module);
    for (const Result& r : {program, RunCli(printed[0], module), RunCli(printed[1], nullptr),
                            RunCli(printed[2], nullptr), RunCli(printed[3], nullptr)}) {
        EXPECT_EQ(r.exit, 0) << r.out;
        EXPECT_NE(r.out.find("\\x1B[2J\\u009B"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find_first_of("\x1B\r"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\xC2\x9B"), std::string::npos) << r.out;
    }
}

// The database refuses the record's end just then (a full disk, a lock held too long): the
// module is programmed, and the command line says the record is not complete, never exit 0.
TEST(Cli, AnUnfinishedRecordIsNeverAPlainSuccess) {
    Station s;
    const std::string records = s.dir.File("records.sqlite");
    {
        RecordFailure reason;
        ASSERT_TRUE(OpenSqliteRecordStore(records, &reason)) << reason;
        ASSERT_TRUE(sql::OpenSqlite(records, &reason)
                        ->Script("CREATE TRIGGER refuse_end BEFORE UPDATE OF verdict ON downloads "
                                 "WHEN NEW.verdict <> 'running' BEGIN SELECT RAISE(ABORT, "
                                 "'database or disk is full'); END;")
                        .ok());
    }
    const Result r = RunCli(s.Args({"program"}), "MOD001", s.dir.File("dump"));
    EXPECT_EQ(r.exit, 5) << r.out;
    EXPECT_TRUE(s.Programmed("MOD001", 0x100));
    ASSERT_EQ(Events(r, "result").size(), 1u);
    const auto result = Events(r, "result")[0];
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["programmed"], true);
    EXPECT_EQ(result["record_complete"], false);
    EXPECT_EQ(result["record_pending"], "journal");
    EXPECT_NE(r.err.find("pravune-cli: [module] the record of download #1 is not complete: what "
                         "could not be written is kept in " +
                         s.dir.File("records.journal")),
              std::string::npos)
        << r.err;
}

// Two stations on two config.ini files naming one PostgreSQL database: set up with db init,
// programming at once, they share one counter and one record.
TEST(Cli, TwoStationsOnOneServerShareTheCounterAndTheRecord) {
    TestDatabase db(Backend::kPostgres);
    REQUIRE_DATABASE(db);
    Station a(db.connection()), b(db.connection());
    const Result init = RunCli(a.Args({"db", "init"}), nullptr);
    ASSERT_EQ(init.exit, 0) << init.out;
    EXPECT_EQ(Events(init, "database")[0]["layout"], NewestRecordSchemaVersion());
    std::thread other([&] {
        EXPECT_EQ(RunCli(b.Args({"watch", "--count", "3"}), "MOD101,MOD102,MOD103").exit, 0);
    });
    EXPECT_EQ(RunCli(a.Args({"watch", "--count", "3"}), "MOD001,MOD002,MOD003").exit, 0);
    other.join();
    std::set<std::uint32_t> numbers;
    for (const auto& record : Events(RunCli(b.Args({"records"}), nullptr), "record")) {
        EXPECT_EQ(record["verdict"], "succeeded");
        EXPECT_TRUE(numbers.insert(std::uint32_t{record["serial"]["value"]}).second);
    }
    EXPECT_EQ(numbers, (std::set<std::uint32_t>{0x100, 0x101, 0x102, 0x103, 0x104, 0x105}));
    // Out of reach: exit 5.
    Station away("host=/nonexistent dbname=x connect_timeout=2");
    EXPECT_EQ(RunCli(away.Args({"records"}), nullptr).exit, 5);
}

// The server lost while `watch` programs four modules, and back: every attempt is in the record
// once (the refusals of one cause as one record that counts them), every module once programmed,
// and nothing left running or waiting in the journal.
TEST(Cli, AServerOutageDuringWatchRecordsEachAttemptOnce) {
    TestDatabase db(Backend::kPostgres);
    REQUIRE_DATABASE(db);
    Station s(db.connection());
    ASSERT_EQ(RunCli(s.Args({"db", "init"}), nullptr).exit, 0);
    auto server = [](const char* command) {
        const std::string line = std::string("bash " PRAVUNE_PG_SCRIPT " ") + command + " " +
                                 TestServerState() + " > /dev/null 2>&1";
        return std::system(line.c_str()) == 0;
    };
    ASSERT_TRUE(server("pause"));
    std::thread back([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_TRUE(server("resume"));
    });
    const Result r = RunCli(s.Args({"watch", "--count", "4"}), "MOD001,MOD002,MOD003,MOD004",
                            s.dir.File("dump"));
    back.join();
    EXPECT_EQ(r.exit, 0) << r.out;
    // One download more catches up whatever a refusal left at the moment the server came back.
    ASSERT_EQ(RunCli(s.Args({"program"}), "MOD009").exit, 0);
    const std::vector<nlohmann::json> summary = Events(r, "summary");
    ASSERT_EQ(summary.size(), 1u);
    int attempts = 1;  // the program's
    for (const auto& module : summary[0]["list"])
        attempts += module["attempts"].get<int>();
    int recorded = 0, succeeded = 0;
    for (const auto& record : Events(RunCli(s.Args({"records"}), nullptr), "record")) {
        EXPECT_NE(record["verdict"], "running");
        if (record["verdict"] == "succeeded") {
            ++succeeded;
            ++recorded;
            continue;
        }
        EXPECT_EQ(record["outcome"], "not_recorded") << record;
        const std::string status = record["status"];
        const std::size_t times = status.find("(refused ");
        recorded += times == std::string::npos ? 1 : std::stoi(status.substr(times + 9));
    }
    EXPECT_EQ(succeeded, 5);
    EXPECT_GT(attempts, 5) << "no attempt met the outage";
    EXPECT_EQ(recorded, attempts);
    std::vector<JournalEntry> left;
    ASSERT_TRUE(ParseJournal(ReadBytes(s.dir.File("records.journal")), left));
    EXPECT_TRUE(left.empty());
}

// --since takes ISO 8601 in its common forms, compared as times (normalised to UTC), and
// refuses anything else.
TEST(Cli, SinceTakesIso8601) {
    const struct {
        const char* text;
        const char* utc;  // null: refused
    } cases[] = {
        {"2026-12-01", "2026-12-01T00:00:00.000Z"},
        {"2026-12-01T08:00", "2026-12-01T08:00:00.000Z"},
        {"2026-12-01 08:00:05", "2026-12-01T08:00:05.000Z"},
        {"2026-12-01T08:00:05.5Z", "2026-12-01T08:00:05.500Z"},
        {"2026-12-01T08:00:05.123456Z", "2026-12-01T08:00:05.123Z"},
        {"2026-12-01T10:00+02:00", "2026-12-01T08:00:00.000Z"},
        {"2026-03-01T00:30+0100", "2026-02-28T23:30:00.000Z"},
        {"2024-02-29T23:00-05", "2024-03-01T04:00:00.000Z"},
        {"2026-12-31T23:30:00-01:00", "2027-01-01T00:30:00.000Z"},
        {"yesterday", nullptr},
        {"2026-12", nullptr},
        {"2023-02-29", nullptr},
        {"2026-13-01", nullptr},
        {"2026-12-01T24:00", nullptr},
        {"2026-12-01T08:60", nullptr},
        {"2026-12-01T08:00+2", nullptr},
        {"2026-12-01T08:00Zjunk", nullptr},
        {"12/01/2026", nullptr},
        {"2026-12-01T", nullptr},
        {"2026-12-01T08:00:05.", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> utc = IsoToUtc(c.text);
        EXPECT_EQ(utc.value_or("refused"), c.utc ? c.utc : "refused") << c.text;
    }
    // End to end: a record of today, looked for from around it.
    Station s;
    const Result run = RunCli(s.Args({"program"}), "MOD001");
    ASSERT_EQ(run.exit, 0) << run.out;
    const std::string day = Events(run, "result")[0]["start"].get<std::string>().substr(0, 10);
    const struct {
        std::string since;
        std::size_t records;
    } around[] = {
        {"2000-01-01", 1},
        {day, 1},
        {day + "T00:00+23:00", 1},         // the day before, 01:00 UTC
        {day + "T23:59:59.999-23:59", 0},  // the day after
        {"2999-01-01T00:00Z", 0},
    };
    for (const auto& a : around) {
        const Result r = RunCli(s.Args({"records", "--since", a.since}), nullptr);
        EXPECT_EQ(r.exit, 0) << a.since << r.err;
        EXPECT_EQ(Events(r, "record").size(), a.records) << a.since;
    }
    EXPECT_EQ(RunCli(s.Args({"records", "--since", "2026-12-01T08:00+2"}), nullptr).exit, 2);
}

// Plain output: a line that one module builds piece by piece stays whole while another module
// logs and reports in between.
TEST(Cli, PlainLinesOfModulesNeverMix) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        Printer out(Printer::Mode::kPlain, false, file);
        out.LogPiece("A", {"Handshake ... ", kLogBlack, false, {}});
        out.LogPiece("B", {"Handshake ... ", kLogBlack, false, {}});
        out.Event({{"event", "status"}, {"module", "B"}}, "[B] SN: MOD002");
        out.LogPiece("B", {"Done\r\nErase ... ", kLogBlack, false, {}});
        out.LogPiece("A", {"Done\r\n", kLogGreen, false, {}});
        out.LogPiece("B", {"Done\r\n", kLogGreen, false, {}});
        out.LogPiece("A", {"Write ... ", kLogBlack, false, {}});
    }  // the unfinished line is ended
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(file);
    EXPECT_EQ(text,
              "[B] Handshake ... \n"  // its own status ends its line
              "[B] SN: MOD002\n"
              "[B] Done\n"
              "[A] Handshake ... Done\n"
              "[B] Erase ... Done\n"
              "[A] Write ... \n");
}

// The result's fields in the scripting guide are the ones the tests hold.
TEST(Cli, ScriptingGuideDocumentsEveryResultField) {
    const std::string guide = ReadBytes(PRAVUNE_SCRIPTING_GUIDE);
    const std::size_t section = guide.find("## The result");
    ASSERT_NE(section, std::string::npos);
    // Built with append: GCC 12 at -O3 warns wrongly on a chain of + here.
    auto quoted = [](const char* before, const char* name, const char* after) {
        std::string text(before);
        text.append(name).append(after);
        return text;
    };
    for (const Field& f : kResultFields)
        EXPECT_NE(guide.find(quoted("| `", f.key, "` |"), section), std::string::npos) << f.key;
    for (const char* event : {"log", "progress", "status", "warning", "result", "summary", "module",
                              "none", "record", "check", "database"})
        EXPECT_NE(guide.find(quoted("`", event, "`"), section), std::string::npos) << event;
}

}  // namespace
