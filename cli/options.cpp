#include "cli/options.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <shellapi.h>
#endif

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "cli/exit_code.h"
#include "cli/utc_time.h"
#include "pravune_version.h"
#ifdef _WIN32
#include "os/os_files.h"
#endif

namespace {

#ifdef _WIN32
#define PRAVUNE_CONFIG_HOME "%APPDATA%\\pravune-loader\\config.ini"
#define PRAVUNE_NO_ACCESS "4 a module present but not accessible"
#define PRAVUNE_CONFIG_ENVIRONMENT "APPDATA"
#else
#define PRAVUNE_CONFIG_HOME "$XDG_CONFIG_HOME/pravune-loader/config.ini (~/.config by default)"
#define PRAVUNE_NO_ACCESS \
    "4 a module present but not accessible (install the udev rule, see README)"
#define PRAVUNE_CONFIG_ENVIRONMENT "XDG_CONFIG_HOME (else HOME)"
#endif

// What --help ends with; the man page is made of it (its sections: Exit status, Environment,
// Files, Examples).
const char* const kExitCodes =
    "Subcommands (pravune-cli SUBCOMMAND --help for each):\n"
    "  list                      the matching modules present: node, VID:PID, UID, USB port\n"
    "  program [FILE]            one module; FILE defaults to the HEX file config.ini names\n"
    "      --wait SECONDS        wait this long for the module, counted from the start\n"
    "                            (default: until it comes; 0: only a module present now)\n"
    "      --module UID, --port PATH   pick one of several modules\n"
    "      --sn-addr HEX, --sn-bytes N, --sn-step N, --no-sn   override the serial-number plan\n"
    "  watch [FILE]              every module that appears, several at once; --count N\n"
    "  check [FILE]              reads and checks the HEX file and the serial-number plan\n"
    "                            without a module: image range, format, both SHA-256;\n"
    "                            the --sn-* options as program takes them\n"
    "  records                   every download recorded; --since ISO-8601, --csv, --json,\n"
    "                            --show ID\n"
    "  db init                   creates or brings up to date the record's tables in the\n"
    "                            database config.ini names ([DATABASE] Connection; default:\n"
    "                            records.sqlite beside it); PRAVUNE_DATABASE may name only\n"
    "                            that server (another role), anything else is refused (exit 5)\n"
    "--json, --config and -q/--quiet may also follow the subcommand.\n"
    "\n"
    "*Exit status*\n"
    "0 success; 1 a download failed; 2 usage, or a HEX file or serial-number plan refused\n"
    "(before any module is touched); 3 no module (the wait ran out);\n" PRAVUNE_NO_ACCESS
    ";\n"
    "5 the record store or the serial-number ledger unavailable, also after a module was\n"
    "programmed whose record could not be completed (the result and standard error say so;\n"
    "the next download on this config.ini completes it); 130 stopped (Ctrl+C, SIGINT);\n"
    "141 watch's standard output closed (the downloads begun were finished and recorded);\n"
    "143 stopped by SIGTERM. watch exits with the code its unsuccessful modules share, else 1.\n"
    "\n"
    "Environment:\n"
    "PRAVUNE_DATABASE may name the server config.ini names, with another role or password;\n"
    "any other database is refused. " PRAVUNE_CONFIG_ENVIRONMENT
    " finds config.ini when --config\n"
    "names none and none may lie beside the executable.\n"
    "\n"
    "Files:\n"
    "config.ini: beside the executable when that folder may be written and is not one the\n"
    "system's programs share, else " PRAVUNE_CONFIG_HOME
    ", as the window\n"
    "finds it; records.sqlite, records.journal and config.ini.lock beside it.\n"
    "\n"
    "Examples:\n"
    "  $ pravune-cli check fw.hex\n"
    "  $ pravune-cli program --json --wait 30 fw.hex\n"
    "  $ pravune-cli watch -q --count 16 fw.hex\n"
    "  $ pravune-cli records --since 2026-12-01T08:00+01:00 --csv\n";

#ifdef _WIN32
// The arguments as UTF-8 (main's are in the system's code page), last first, as CLI11's parse of
// a vector takes them.
std::vector<std::string> Utf8ArgumentsReversed() {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = count - 1; i >= 1 && wide; --i)
        args.push_back(os_files::Utf8(wide[i]));
    ::LocalFree(wide);
    return args;
}
#endif

// The checks of options whose type alone does not hold them; each says its rule in plain words.
CLI::Validator SecondsFromZero() {
    return CLI::Validator(
        [](std::string& text) {
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !std::isfinite(seconds) || seconds < 0 || seconds > 1e9)
                return "must be a number of seconds from 0 to 1000000000, not " + text;
            return std::string();
        },
        "SECONDS");
}

CLI::Validator HexAddress() {
    return CLI::Validator(
        [](std::string& text) {
            const bool hex = !text.empty() && text.size() <= 4 &&
                             text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            return hex ? std::string() : "must be 1 to 4 hexadecimal digits, not " + text;
        },
        "HEX");
}

CLI::Validator IntegerFrom(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            char* end = nullptr;
            errno = 0;
            const long long n = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end || errno || n < low || n > high)
                return "must be a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high) + ", not " + text;
            return std::string();
        },
        "N");
}

// Normalised to the record's own form (UTC with milliseconds), as the record is compared.
CLI::Validator IsoTime() {
    return CLI::Validator(
        [](std::string& text) {
            const std::optional<std::string> utc = IsoToUtc(text);
            if (!utc)
                return "must be an ISO 8601 date or time (2026-12-01, 2026-12-01T08:00, "
                       "2026-12-01T08:00:00.000Z, 2026-12-01T09:00+01:00), not " +
                       text;
            text = *utc;
            return std::string();
        },
        "ISO-8601");
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& o, Command& command) {
    CLI::App app{
        "pravune-cli: programs PRAVUNE modules from scripts and test fixtures, one or several "
        "at once, with the serial-number plan, config.ini and record store the window uses.",
        "pravune-cli"};
    app.set_version_flag("--version", std::string("pravune-cli ") + PRAVUNE_VERSION);
    app.footer(kExitCodes);
    app.require_subcommand(1);
    // Accepted before the subcommand and after it, where a scripter writes them.
    auto shared = [&o](CLI::App& at) {
        at.add_option(
            "--config", o.config,
            "config.ini to use (default: beside the executable when that folder may "
            "be written and is not one the system's programs share, else " PRAVUNE_CONFIG_HOME
            ": the window's file either way)");
        at.add_flag("--json", o.json, "one JSON object per event (JSON lines)");
        at.add_flag("-q,--quiet", o.quiet,
                    "only the result: no log, progress or status of program and watch");
    };
    shared(app);

    auto* list =
        app.add_subcommand("list", "the matching modules present: node, VID:PID, UID, port");
    auto* program = app.add_subcommand("program", "program one module");
    auto* watch = app.add_subcommand(
        "watch", "program every module that appears, several at once, until Ctrl+C");
    auto* check = app.add_subcommand(
        "check", "read and check the HEX file and the serial-number plan, without a module");
    for (CLI::App* sub : {program, watch, check}) {
        sub->add_option("file", o.file, "HEX file (default: the one config.ini names)");
        sub->add_option("--sn-addr", o.snAddr, "serial number's address, 1 to 4 hexadecimal digits")
            ->check(HexAddress());
        sub->add_option("--sn-bytes", o.snBytes, "serial number's width in bytes")
            ->check(CLI::Range(1, 4));
        sub->add_option("--sn-step", o.snStep, "step between serial numbers")
            ->check(CLI::Range(0, 255));
        sub->add_flag("--no-sn", o.noSn, "write no serial number");
    }
    for (CLI::App* sub : {program, watch}) {
        sub->add_option("--module", o.module, "only the module with this UID");
        sub->add_option("--port", o.port, "only the module at this USB port path");
    }
    program
        ->add_option("--wait", o.wait,
                     "seconds to wait for the module, counted from the start (default: until "
                     "it comes; 0: only a module present now)")
        ->check(SecondsFromZero());
    watch->add_option("--count", o.count, "stop after this many modules")
        ->check(IntegerFrom(1, 1000000000));
    auto* records = app.add_subcommand("records", "export the record of every download");
    records
        ->add_option("--since", o.since,
                     "only downloads started at or after this time (ISO 8601: a date, or a "
                     "date and time with Z, an offset, or neither for UTC)")
        ->check(IsoTime());
    auto* csv = records->add_flag("--csv", o.csv, "comma-separated values");
    records->add_option("--show", o.show, "print the log of one download")
        ->check(IntegerFrom(1, std::numeric_limits<std::int64_t>::max()));
    auto* db = app.add_subcommand("db", "the database of the record and the serial numbers");
    db->require_subcommand(1);
    auto* init = db->add_subcommand("init", "create or bring up to date the record's tables");
    for (CLI::App* sub : {list, program, watch, check, records, db, init})
        shared(*sub);
    records->get_option("--json")->excludes(csv);

    try {
#ifdef _WIN32
        ::SetConsoleOutputCP(CP_UTF8);
        std::vector<std::string> args = Utf8ArgumentsReversed();
        static_cast<void>(argc);
        static_cast<void>(argv);
        app.parse(args);
#else
        app.parse(argc, argv);
#endif
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    command = app.got_subcommand("list")      ? Command::kList
              : app.got_subcommand("program") ? Command::kProgram
              : app.got_subcommand("watch")   ? Command::kWatch
              : app.got_subcommand("check")   ? Command::kCheck
              : app.got_subcommand("db")      ? Command::kDbInit
                                              : Command::kRecords;
    return std::nullopt;
}
