// pravune-cli: the loader for scripts and test fixtures. The same programming station as the
// window, the same config.ini, lock and record store, so window and command line may run side by
// side without ever giving a number twice.
#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <io.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cli/printer.h"
#include "cli/utc_time.h"
#ifdef PRAVUNE_CLI_SIMULATED_BUS
#include "cli/sim_bus.h"
#endif
#ifdef _WIN32
#include "device/win_hid_platform.h"
#include "os/os_files.h"
#else
#include "device/hidraw_platform.h"
#endif
#include "image/serial_number.h"
#include "ledger/database_config.h"
#include "ledger/file_sha256.h"
#include "ledger/record_journal.h"
#include "ledger/record_store.h"
#include "ledger/shared_record_store.h"
#include "settings/config_location.h"
#include "settings/settings_store.h"
#include "station/programming_station.h"
#include "station/thread_host.h"

namespace {

// Exit codes, as --help lists them.
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoModule = 3,
    kExitAccess = 4,
    kExitNoRecord = 5,
    kExitStopped = 130,     // SIGINT, Ctrl+C
    kExitTerminated = 143,  // SIGTERM
};

// The version of the JSON result's layout (README, "The result"): raised when a field changes
// its meaning or goes; fields are only ever added within one version.
constexpr int kResultSchema = 1;

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
    "143 stopped by SIGTERM.\n"
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

// The options every subcommand shares.
struct Options {
    std::string config;
    bool json = false;
    bool quiet = false;
    // program and watch
    std::string file;
    std::string snAddr;
    int snBytes = 0;
    int snStep = -1;
    bool noSn = false;
    double wait = -1;  // seconds from the start; negative: until a module comes or Ctrl+C
    std::string module, port;
    int count = 0;
    // records
    std::string since;
    bool csv = false;
    std::int64_t show = 0;
};

#ifdef _WIN32
class StopSignal;
// The one StopSignal that Ctrl+C and Ctrl+Break reach: the console calls a plain function, on a
// thread of its own, and hands it nothing else.
std::atomic<StopSignal*> g_consoleStop{nullptr};
#endif

// Stops every running station when SIGINT or SIGTERM (on Windows Ctrl+C, Ctrl+Break or the
// console closing) arrives: the signals are blocked in all threads and taken by this one, so no
// handler runs in the middle of a station.
class StopSignal {
  public:
#ifdef _WIN32
    StopSignal() {
        g_consoleStop.store(this);
        ::SetConsoleCtrlHandler(&StopSignal::OnConsole, TRUE);
    }
    ~StopSignal() {
        ::SetConsoleCtrlHandler(&StopSignal::OnConsole, FALSE);
        g_consoleStop.store(nullptr);
    }
#else
    StopSignal() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGUSR1);  // wakes the watcher at the end
        pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
        m_thread = std::thread([this] {
            for (;;) {
                int signal = 0;
                if (sigwait(&m_set, &signal) != 0 || signal == SIGUSR1)
                    return;
                Stop(signal == SIGTERM ? kExitTerminated : kExitStopped);
            }
        });
    }
    ~StopSignal() {
        pthread_kill(m_thread.native_handle(), SIGUSR1);
        m_thread.join();
    }
#endif
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Watch(ThreadHost& host) {
        const std::lock_guard lock(m_mutex);
        m_hosts.insert(&host);
        if (m_stopped)
            host.Cancel();
    }
    void Forget(ThreadHost& host) {
        const std::lock_guard lock(m_mutex);
        m_hosts.erase(&host);
    }
    bool Stopped() {
        const std::lock_guard lock(m_mutex);
        return m_stopped;
    }
    // The exit code of a stopped run: 143 after SIGTERM, else 130.
    int StoppedExit() {
        const std::lock_guard lock(m_mutex);
        return m_exit;
    }
    // Waits until stopped, told, or `timeout` has passed; true when stopped.
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [this] { return m_stopped || m_told; });
        m_told = false;
        return m_stopped;
    }
    void Tell() {
        const std::lock_guard lock(m_mutex);
        m_told = true;
        m_changed.notify_all();
    }

  private:
    void Stop(int exit) {
        const std::lock_guard lock(m_mutex);
        if (!m_stopped)
            m_exit = exit;
        m_stopped = true;
        for (ThreadHost* host : m_hosts)
            host->Cancel();
        m_changed.notify_all();
    }
#ifdef _WIN32
    static BOOL WINAPI OnConsole(DWORD /*event*/) {
        StopSignal* stop = g_consoleStop.load();
        if (!stop)
            return FALSE;
        stop->Stop(kExitStopped);
        return TRUE;  // the stations stop and the program ends by itself
    }
#else
    sigset_t m_set{};
    std::thread m_thread;
#endif
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<ThreadHost*> m_hosts;
    bool m_stopped = false;
    bool m_told = false;
    int m_exit = kExitStopped;
};

// Whether standard output is a terminal that takes colour sequences.
bool OutputIsTerminal() {
#ifdef _WIN32
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(out, &mode) &&
           ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return ::isatty(STDOUT_FILENO);
#endif
}

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

// The settings file main() found (the window's rule, under the window's name).
std::string ConfigPath(const Options& o) {
    return o.config;
}

// The identifiers config.ini names, as the window reads them.
void Identifiers(const std::string& config, unsigned& vid, unsigned& pid) {
    vid = 0x2156;
    pid = 0xC001;
    const std::string v = settings_file::Read(config, "SETTING", "m_strVID_bt", "2156");
    const std::string p = settings_file::Read(config, "SETTING", "m_strPID_bt", "C001");
    if (v.size() == 4)
        ParseHex4(v, vid);
    if (p.size() == 4)
        ParseHex4(p, pid);
}

struct Found {
    std::string node, uid, port, access;
};

// The matching modules present, with their identifier and port, or why one cannot be opened.
std::vector<Found> FindModules(HidPlatform& platform, unsigned vid, unsigned pid) {
    std::vector<Found> found;
    for (const std::string& path : platform.EnumerateInterfaces()) {
        HidAttributes a;
        if (!platform.GetAttributes(path, a) || a.vendorId != vid || a.productId != pid)
            continue;
        Found f{path, {}, platform.PortPath(path), {}};
        HidOpenError error;
        if (auto device = platform.Open(path, error)) {
            std::u16string serial;
            if (device->GetSerialNumber(serial))
                f.uid = SerialIdentifierText(serial);
        } else {
            f.access = error.text;
        }
        found.push_back(std::move(f));
    }
    return found;
}

int List(const Options& o, HidPlatform& platform, Printer& out) {
    unsigned vid = 0, pid = 0;
    Identifiers(ConfigPath(o), vid, pid);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", vid, pid);
    const std::vector<Found> found = FindModules(platform, vid, pid);
    for (const Found& f : found) {
        std::string text = f.node + "  " + ids + "  UID " + Latin1ToUtf8(f.uid) + "  port " +
                           (f.port.empty() ? "-" : f.port);
        if (!f.access.empty()) {
            text += "  cannot be opened: " + f.access;
#ifndef _WIN32
            text += " (install the udev rule 70-pravune-bootloader.rules, see README)";
#endif
        }
        out.Event({{"event", "module"},
                   {"node", f.node},
                   {"id", ids},
                   {"uid", Latin1ToUtf8(f.uid)},
                   {"port", f.port},
                   {"access", f.access}},
                  text);
    }
    if (found.empty())
        out.Event({{"event", "none"}}, std::string("No module ") + ids + " is present.");
    return kExitOk;
}

// One station programming one module on the calling thread.
class Job {
  public:
    // `records`: the run's record store, shared by its stations (none: a job that records
    // nothing, or opens its own).
    Job(const Options& o, HidPlatform& platform, Printer& out, std::string module,
        SharedRecordStore* records = nullptr)
        : m_observer(out, std::move(module)),
          m_host(m_flags, m_observer),
          m_station(platform, ConfigPath(o), m_observer, m_host, m_flags) {
        // A module present is asked at once; later attempts keep the protocol's period.
        m_host.SetFirstTickAtOnce(true);
        if (records)
            m_station.ShareRecords(*records);
        m_station.ReadSettings();
        if (!o.file.empty())
            m_station.m_strPath = o.file;
        if (!o.snAddr.empty() || o.snBytes || o.snStep >= 0)
            m_station.m_bAutoSN = 1;
        if (!o.snAddr.empty()) {
            m_station.m_strSnAddr = o.snAddr;
            ScanHex(o.snAddr, m_station.m_nSnAddr);
        }
        if (o.snBytes) {
            m_station.m_nSnBytes = o.snBytes;
            m_station.m_nSnBytesIndex = o.snBytes - 1;
        }
        if (o.snStep >= 0)
            m_station.m_nSnStep = static_cast<unsigned>(o.snStep);
        if (o.noSn)
            m_station.m_bAutoSN = 0;
    }
    ProgrammingStation& station() { return m_station; }
    ThreadHost& host() { return m_host; }
    ModuleObserver& observer() { return m_observer; }

  private:
    StationFlags m_flags;
    ModuleObserver m_observer;
    ThreadHost m_host;
    ProgrammingStation m_station;
};

int ExitFor(ProgrammingStation& station, bool timedOut, int stoppedExit) {
    if (timedOut)
        return station.Port().AccessProblem() ? kExitAccess : kExitNoModule;
    switch (station.LastOutcome()) {
        case DownloadOutcome::kSucceeded:
            // Programmed, but a record left unfinished is never a plain success.
            return station.LastRecordEnd() == ProgrammingStation::RecordEnd::kWritten
                       ? kExitOk
                       : kExitNoRecord;
        case DownloadOutcome::kBadInput:
            return kExitUsage;
        case DownloadOutcome::kNotRecorded:
            return kExitNoRecord;
        case DownloadOutcome::kStopped:
            return stoppedExit;
        case DownloadOutcome::kFailed:
            break;
    }
    return kExitFailed;
}

// When one module's run began, for its result.
struct RunStart {
    std::string utc = UtcNowIso();
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
};

// Why a run ended before any download began: its outcome class, the step and its text.
struct Refusal {
    std::string outcome, step, status;
};

// The run's one `result` event (README, "The result"), printed; returned for the summary.
// `refusal`: the run ended before a download (then the station's last record is not its own).
nlohmann::json Report(Printer& out, const std::string& module, ProgrammingStation& station,
                      int code, const RunStart& start, const Refusal* refusal,
                      const std::string& uid = {}, int attempt = 0) {
    using RecordEnd = ProgrammingStation::RecordEnd;
    const DownloadRecord& record = station.LastRecord();
    const RecordEnd end = refusal ? RecordEnd::kWritten : station.LastRecordEnd();
    const bool programmed = !refusal && station.LastOutcome() == DownloadOutcome::kSucceeded;
    const std::string endUtc = UtcNowIso();
    const std::string moduleUid = !refusal && !record.moduleUid.empty() ? record.moduleUid
                                  : !refusal && !station.m_strDeviceSN.empty()
                                      ? Latin1ToUtf8(station.m_strDeviceSN)
                                      : uid;
    const HexImage& image = station.Image();
    const std::string hex = refusal ? station.m_strPath : record.hexPath;
    nlohmann::json event = {
        {"event", "result"},
        {"schema", kResultSchema},
        {"time", endUtc},
        {"module", module},
        {"uid", moduleUid},
        {"ok", code == kExitOk},
        {"exit", code},
        {"record", refusal ? 0 : record.id},
        {"verdict", programmed ? "succeeded" : "failed"},
        {"outcome", refusal                  ? refusal->outcome
                    : record.outcome.empty() ? std::string(programmed ? "succeeded" : "failed")
                                             : record.outcome},
        {"failed_step", refusal ? refusal->step : record.failedStep},
        {"status", refusal ? refusal->status : record.statusText},
        {"serial", nullptr},
        {"hex", hex},
        {"sha256",
         refusal ? (image.valid ? SentImageSha256(image) : std::string()) : record.imageSha256},
        {"file_sha256",
         refusal ? (image.valid ? HexFileSha256(hex, image) : std::string()) : record.fileSha256},
        {"start", start.utc},
        {"end", endUtc},
        {"duration_ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start.at)
                            .count()},
        {"programmed", programmed},
        {"record_complete", end == RecordEnd::kWritten}};
    if (attempt > 0)
        event["attempt"] = attempt;
    auto serial = [](const SerialPlanKey& plan, std::uint32_t value, SerialState state) {
        return nlohmann::json{{"address", plan.address},
                              {"width", plan.width},
                              {"value", value},
                              {"state", SerialStateText(state)}};
    };
    if (const auto& taken = station.LastSerial(); taken && !refusal)
        event["serial"] = serial(taken->plan, taken->value, taken->state);
    else if (!refusal && record.hasSerial)
        event["serial"] = serial(record.serialPlan, record.serialValue, record.serialState);
    std::string text = "[" + module + "] " + (programmed ? "programmed" : "failed") + " (exit " +
                       std::to_string(code) + ", record " +
                       std::to_string(event["record"].get<std::int64_t>()) + ")";
    if (!programmed && !event["failed_step"].get<std::string>().empty()) {
        text += " at " + event["failed_step"].get<std::string>();
        if (!event["status"].get<std::string>().empty())
            text += ": " + event["status"].get<std::string>();
    }
    if (end != RecordEnd::kWritten) {
        // Said on standard error too, whatever the output's form.
        const std::string journal = RecordJournalPathFor(station.SettingsPath());
        const std::string why =
            end == RecordEnd::kKeptForLater
                ? "what could not be written is kept in " + journal +
                      " and written by the next download on this config.ini"
                : "it could not be kept for later either: it stays \"running\" until a later "
                  "station on this config.ini closes it as interrupted";
        event["record_pending"] = end == RecordEnd::kKeptForLater ? "journal" : "lost";
        text += ", but the record is not complete";
        std::fprintf(stderr, "pravune-cli: [%s] the record of download #%lld is not complete: %s\n",
                     module.c_str(), static_cast<long long>(record.id), why.c_str());
    }
    out.Event(event, text);
    return event;
}

// The file and plan a run would use, checked before any module is touched: a refusal (exit 2)
// when the file fails to load or check or the plan does not fit the image. A config.ini that
// could not be read is no refusal here: each download then stops at it (exit 5) until it is
// mended.
std::optional<Refusal> CheckBeforeAnyModule(ProgrammingStation& station, ModuleObserver& observer) {
    if (station.SettingsUnreadable())
        return std::nullopt;
    if (!station.LoadHexFile(station.m_strPath))
        return Refusal{"refused", "load", station.m_strStatus};
    if (!station.PlanFits())
        return Refusal{"refused", "serial number check", observer.FirstRedLine()};
    return std::nullopt;
}

#ifdef _WIN32
// Windows: the watch loop looks every 500 ms; a station's handshake asks every second.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(std::function<void()> /*arrived*/) {}
    std::chrono::milliseconds Period() const { return std::chrono::milliseconds(500); }
};
#else
// Calls `arrived` when a hidraw node appears, goes or changes its permissions in /dev, so that
// modules are found at once without looking at every node twice a second. Without inotify the
// watch loop looks every 500 ms.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(std::function<void()> arrived) {
        m_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd < 0 || ::inotify_add_watch(m_fd, "/dev", IN_CREATE | IN_DELETE | IN_ATTRIB) < 0)
            return;
        if (::pipe2(m_quit, O_CLOEXEC) != 0)
            return;
        m_thread = std::thread([this, arrived = std::move(arrived)] {
            alignas(inotify_event) char buffer[4096];
            for (;;) {
                pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_quit[0], POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                    return;
                if (fds[1].revents)
                    return;
                bool hidraw = false;
                for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
                    for (char* p = buffer; p < buffer + n;) {
                        const auto* event = reinterpret_cast<const inotify_event*>(p);
                        hidraw =
                            hidraw || (event->len && std::strncmp(event->name, "hidraw", 6) == 0);
                        p += sizeof(inotify_event) + event->len;
                    }
                }
                if (hidraw)
                    arrived();
            }
        });
    }
    ~DeviceArrivals() {
        if (m_thread.joinable()) {
            [[maybe_unused]] const ssize_t n = ::write(m_quit[1], "q", 1);
            m_thread.join();
        }
        for (int fd : {m_fd, m_quit[0], m_quit[1]}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    DeviceArrivals(const DeviceArrivals&) = delete;
    DeviceArrivals& operator=(const DeviceArrivals&) = delete;
    // How long the loop may wait for news before it looks itself.
    std::chrono::milliseconds Period() const {
        return m_thread.joinable() ? std::chrono::milliseconds(5000)
                                   : std::chrono::milliseconds(500);
    }

  private:
    int m_fd = -1;
    int m_quit[2] = {-1, -1};
    std::thread m_thread;
};
#endif

int Program(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop,
            const RunStart& start) {
    const std::string name = !o.port.empty() ? o.port : !o.module.empty() ? o.module : "module";
    SharedRecordStore records(ConfigPath(o));
    Job job(o, platform, out, name, &records);
    ProgrammingStation& st = job.station();
    st.Port().SetFilter(o.module, o.port);  // before the identifiers open the port
    st.ApplyBootloaderId();
    if (const std::optional<Refusal> refused = CheckBeforeAnyModule(st, job.observer())) {
        Report(out, name, st, kExitUsage, start, &*refused);
        return kExitUsage;
    }
    if (o.wait == 0 && !st.Port().Open()) {
        const bool access = st.Port().AccessProblem().has_value();
        const int code = access ? kExitAccess : kExitNoModule;
        const Refusal none{access ? "no_access" : "no_module", "handshake",
                           access
                               ? "the module cannot be opened: " + st.Port().AccessProblem()->reason
                               : "no module present"};
        Report(out, name, st, code, start, &none);
        return code;
    }
    // A module plugged in while the handshake waits is asked at once.
    DeviceArrivals arrivals([&job] { job.host().TickNow(); });
    // A bounded wait for the module, from the start of the run: cancelled when it has not
    // answered by then.
    std::atomic<bool> timedOut{false};
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog;
    if (o.wait > 0) {
        watchdog = std::thread([&] {
            std::unique_lock lock(mutex);
            const auto deadline =
                start.at + std::chrono::microseconds(static_cast<long long>(o.wait * 1e6));
            if (!done.wait_until(lock, deadline, [&] { return finished; }) &&
                !job.observer().ModuleFound()) {
                timedOut = true;
                job.host().Cancel();
            }
        });
    }
    stop.Watch(job.host());
    st.Download();
    stop.Forget(job.host());
    {
        const std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_all();
    if (watchdog.joinable())
        watchdog.join();
    const int code = ExitFor(st, timedOut, stop.StoppedExit());
    Report(out, name, st, code, start, nullptr);
    return code;
}

// The back-off of a module tried again while it stays plugged in: 0.5 s, doubled up to 10 s.
constexpr std::chrono::milliseconds kRetryFirst{500};
constexpr std::chrono::milliseconds kRetryLongest{10000};

int Watch(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop,
          const RunStart& runStart) {
    {
        // The file and the plan, once, before any module: a refusal is every module's.
        Job check(o, platform, out, "watch");
        ProgrammingStation& st = check.station();
        st.ApplyBootloaderId();
        if (const std::optional<Refusal> refused = CheckBeforeAnyModule(st, check.observer())) {
            Report(out, "", st, kExitUsage, runStart, &*refused);
            out.Event({{"event", "summary"},
                       {"schema", kResultSchema},
                       {"modules", 0},
                       {"failed", 0},
                       {"list", nlohmann::json::array()}},
                      "0 modules: the file or the plan is refused");
            return kExitUsage;
        }
    }
    DeviceArrivals arrivals([&stop] { stop.Tell(); });
    // One record store for every station of the run; it outlives their threads.
    SharedRecordStore records(ConfigPath(o));
    unsigned vid = 0, pid = 0;
    Identifiers(ConfigPath(o), vid, pid);
    using Clock = std::chrono::steady_clock;
    // One module while it stays plugged in: its attempts, and whether it is done with (it
    // succeeded, or was erased or written to) or waits for its next attempt.
    struct Session {
        std::string key, name, port, uid;
        bool open = true;  // plugged in since it came (or still running)
        bool seen = true;  // at the last look
        bool done = false;
        bool running = false;
        int attempts = 0;
        int code = kExitFailed;
        nlohmann::json result;
        std::chrono::milliseconds backoff = kRetryFirst;
        Clock::time_point next{};
        // The next attempt after the back-off, which doubles for the one after.
        void Later(Clock::time_point now) {
            next = now + backoff;
            backoff = std::min(backoff * 2, kRetryLongest);
        }
    };
    struct Worker {
        Session* session = nullptr;
        std::thread thread;
        std::atomic<bool> finished{false};
        int code = kExitFailed;
        bool changed = false;
        nlohmann::json result;
    };
    std::list<Session> sessions;  // in the order the modules came
    std::list<Worker> running;
    int started = 0;
    bool stopped = false;
    for (;;) {
        stopped = stopped || stop.Stopped();
        const Clock::time_point now = Clock::now();
        // Reap the finished workers.
        for (auto it = running.begin(); it != running.end();) {
            if (!it->finished) {
                ++it;
                continue;
            }
            it->thread.join();
            Session& s = *it->session;
            s.running = false;
            s.code = it->code;
            s.result = std::move(it->result);
            // Tried again only when nothing that changes the module was sent to it.
            s.done = it->code == kExitOk || it->changed || it->code == kExitStopped ||
                     it->code == kExitTerminated;
            if (!s.done)
                s.Later(now);
            it = running.erase(it);
        }
        const bool countReached = o.count > 0 && started >= o.count;
        bool waiting = false;  // a module of this run waits for its next attempt
        for (const Session& s : sessions)
            waiting = waiting || (s.open && !s.done && !s.running);
        if (running.empty() && (stopped || (countReached && !waiting)))
            break;
        Clock::time_point wake = now + arrivals.Period();
        if (!stopped) {
            for (Session& s : sessions)
                s.seen = false;
            for (const Found& f : FindModules(platform, vid, pid)) {
                if ((!o.module.empty() && f.uid != o.module) ||
                    (!o.port.empty() && f.port != o.port))
                    continue;
                const std::string key = f.port + "|" + f.uid;
                Session* session = nullptr;
                for (Session& s : sessions) {
                    if (s.open && s.key == key)
                        session = &s;
                }
                // A module that could not be opened, now opened, is the same module.
                for (Session& s : sessions) {
                    if (!session && f.access.empty() && !f.port.empty() && s.open && !s.running &&
                        s.uid.empty() && s.port == f.port && s.code == kExitAccess) {
                        session = &s;
                        s.key = key;
                        s.uid = f.uid;
                        s.next = now;  // tried at once, as the cause is gone
                    }
                }
                if (!session) {
                    if (countReached)
                        continue;
                    ++started;
                    session = &sessions.emplace_back();
                    session->key = key;
                    session->port = f.port;
                    session->uid = f.uid;
                    session->name = f.port.empty() ? Latin1ToUtf8(f.uid) : f.port;
                }
                Session& s = *session;
                s.seen = true;
                if (s.done || s.running)
                    continue;
                if (s.attempts > 0 && now < s.next) {
                    wake = std::min(wake, s.next);
                    continue;
                }
                ++s.attempts;
                if (!f.access.empty()) {
                    // Looked at again at every look; tried at once when it may be opened.
                    Job job(o, platform, out, s.name);
                    const Refusal refusal{"no_access", "handshake",
                                          "the module cannot be opened: " + f.access};
                    s.code = kExitAccess;
                    if (s.attempts == 1)
                        s.result = Report(out, s.name, job.station(), kExitAccess, RunStart{},
                                          &refusal, f.uid, s.attempts);
                    s.Later(now);
                    wake = std::min(wake, s.next);
                    continue;
                }
                s.running = true;
                Worker& w = running.emplace_back();
                w.session = &s;
                w.thread = std::thread([&o, &platform, &out, &stop, &records, &w, f, name = s.name,
                                        attempt = s.attempts] {
                    const RunStart start;
                    Job job(o, platform, out, name, &records);
                    ProgrammingStation& st = job.station();
                    st.Port().SetFilter(f.uid, f.port);
                    st.ApplyBootloaderId();
                    stop.Watch(job.host());
                    st.Download();
                    w.code = ExitFor(st, false, stop.StoppedExit());
                    w.changed = st.LastDownloadChangedModule();
                    stop.Forget(job.host());
                    w.result = Report(out, name, st, w.code, start, nullptr, f.uid, attempt);
                    w.finished = true;
                    stop.Tell();
                });
            }
            // A module that left and comes back is a new one.
            for (Session& s : sessions)
                s.open = s.open && (s.seen || s.running);
        }
        const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now);
        stopped = stop.WaitFor(std::max(timeout, std::chrono::milliseconds(1))) || stopped;
    }
    int failures = 0;
    nlohmann::json list = nlohmann::json::array();
    std::vector<std::string> text{""};
    for (const Session& s : sessions) {
        failures += s.code == kExitOk ? 0 : 1;
        const nlohmann::json& r = s.result;
        list.push_back({{"module", s.name},
                        {"uid", r.value("uid", s.uid)},
                        {"serial", r.value("serial", nlohmann::json())},
                        {"verdict", r.value("verdict", "failed")},
                        {"outcome", r.value("outcome", "")},
                        {"record", r.value("record", std::int64_t{0})},
                        {"exit", s.code},
                        {"attempts", s.attempts}});
        const nlohmann::json& serial = list.back()["serial"];
        text.push_back("  " + s.name + "  " + (s.uid.empty() ? "-" : Latin1ToUtf8(s.uid)) + "  " +
                       (serial.is_object()
                            ? "SN 0x" + HexUpper(serial["value"].get<std::uint32_t>())
                            : std::string("no SN")) +
                       "  " + list.back()["verdict"].get<std::string>() + "  record " +
                       std::to_string(list.back()["record"].get<std::int64_t>()));
    }
    text[0] = std::to_string(sessions.size()) + " modules, " + std::to_string(failures) + " failed";
    out.Event({{"event", "summary"},
               {"schema", kResultSchema},
               {"modules", static_cast<int>(sessions.size())},
               {"failed", failures},
               {"list", list}},
              text);
    if (stopped)
        return stop.StoppedExit();
    return failures ? kExitFailed : kExitOk;
}

// A dry run: the file and the plan as a download would take them, without a module.
int Check(const Options& o, HidPlatform& platform, Printer& out) {
    Job job(o, platform, out, "check");
    ProgrammingStation& st = job.station();
    if (st.SettingsUnreadable()) {
        out.Event({{"event", "check"}, {"ok", false}, {"file", st.m_strPath}},
                  "config.ini cannot be read: no plan to check");
        return kExitUsage;
    }
    const bool loaded = st.LoadHexFile(st.m_strPath);
    const HexImage& image = st.Image();
    const bool fits = loaded && st.PlanFits();
    nlohmann::json event = {{"event", "check"},
                            {"ok", loaded && fits},
                            {"file", st.m_strPath},
                            {"loaded", loaded},
                            {"status", loaded ? std::string() : st.m_strStatus},
                            {"plan_fits", fits},
                            {"plan", nullptr}};
    std::vector<std::string> text{st.m_strPath + ": "};
    if (loaded) {
        const std::string sha = SentImageSha256(image);
        const std::string fileSha = HexFileSha256(st.m_strPath, image);
        event["format"] = image.makerFormat ? "maker" : "plain";
        event["start"] = image.start;
        event["end"] = image.end;
        event["sha256"] = sha;
        event["file_sha256"] = fileSha;
        text[0] += std::string(image.makerFormat ? "maker" : "plain") + " image 0x" +
                   HexUpper(image.start) + " ~ 0x" + HexUpper(image.end > 0 ? image.end - 1 : 0);
        text.push_back("  image SHA-256 " + sha);
        text.push_back("  file SHA-256  " + fileSha);
    } else {
        text[0] += "refused: " + st.m_strStatus;
    }
    if (st.m_bAutoSN && !image.makerFormat) {
        event["plan"] = {{"address", st.m_nSnAddr},
                         {"width", st.m_nSnBytes},
                         {"value", st.m_nSnValue},
                         {"step", st.m_nSnStep}};
        text.push_back("  serial number at 0x" + HexUpper(st.m_nSnAddr) + ", " +
                       std::to_string(st.m_nSnBytes) + " bytes, next 0x" + HexUpper(st.m_nSnValue) +
                       (fits     ? ": fits"
                        : loaded ? ": does not fit: " + job.observer().FirstRedLine()
                                 : ": not checked"));
    } else {
        text.push_back("  no serial number is written");
    }
    out.Event(event, text);
    return loaded && fits ? kExitOk : kExitUsage;
}

// A quoted cell; a control character in a record is shown escaped, never sent to the terminal.
std::string Csv(const std::string& text) {
    std::string out = "\"";
    for (char c : EscapeControls(text)) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

// The record store config.ini chooses, its layout brought up to date.
std::unique_ptr<RecordStore> OpenRecords(const Options& o, std::string& name) {
    const DatabaseChoice choice = ChooseDatabase(ConfigPath(o));
    name = choice.name;
    std::string reason;
    auto store = OpenChosenRecordStore(choice, ConfigPath(o), &reason);
    if (!store)
        std::fprintf(stderr, "pravune-cli: %s: %s\n", EscapeControls(choice.name).c_str(),
                     EscapeControls(reason).c_str());
    return store;
}

int DbInit(const Options& o, Printer& out) {
    std::string name;
    auto store = OpenRecords(o, name);
    if (!store)
        return kExitNoRecord;
    out.Event({{"event", "database"}, {"name", name}, {"layout", store->SchemaVersion()}},
              name + ": ready, layout version " + std::to_string(store->SchemaVersion()));
    return kExitOk;
}

int Records(const Options& o, Printer& out) {
    std::string reason, name;
    auto store = OpenRecords(o, name);
    if (!store)
        return kExitNoRecord;
    if (o.show) {
        const std::optional<DownloadRecord> r = store->Get(o.show, &reason);
        if (!r) {
            std::fprintf(stderr, "pravune-cli: %s\n", EscapeControls(reason).c_str());
            return kExitUsage;
        }
        for (LogEntry e : r->log) {
            // Each line with its own stamp; a record of a loader before 1.5.1 kept none.
            if (e.timeStamp && e.stamp.empty())
                e.stamp = "--:--:--.--- ";
            out.LogPiece("", e);
        }
        return kExitOk;
    }
    const auto records = store->Since(o.since, 1000000, &reason);
    if (!records) {
        std::fprintf(stderr, "pravune-cli: %s\n", EscapeControls(reason).c_str());
        return kExitNoRecord;
    }
    if (o.csv) {
        // Columns are only ever added at the end.
        std::printf(
            "id,start_utc,end_utc,station,hex_path,image_sha256,format,module_uid,"
            "port,sn_address,sn_width,sn_value,sn_state,verdict,failed_step,"
            "duration_ms,hex_file,file_sha256,station_config,outcome,loader_version,"
            "status_text\n");
    }
    for (const DownloadRecord& r : *records) {
        const std::string state = r.hasSerial ? SerialStateText(r.serialState) : "";
        if (o.csv) {
            std::printf(
                "%lld,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%lld,%s,%s,%s,%s,%s,%s\n",
                static_cast<long long>(r.id), Csv(r.startUtc).c_str(), Csv(r.endUtc).c_str(),
                Csv(r.stationHost).c_str(), Csv(r.hexPath).c_str(), Csv(r.imageSha256).c_str(),
                Csv(r.format).c_str(), Csv(r.moduleUid).c_str(), Csv(r.portPath).c_str(),
                r.hasSerial ? ("0x" + HexUpper(r.serialPlan.address)).c_str() : "",
                r.hasSerial ? std::to_string(r.serialPlan.width).c_str() : "",
                r.hasSerial ? ("0x" + HexUpper(r.serialValue)).c_str() : "", state.c_str(),
                Csv(r.verdict).c_str(), Csv(r.failedStep).c_str(),
                static_cast<long long>(r.durationMs), Csv(r.hexFile).c_str(),
                Csv(r.fileSha256).c_str(), Csv(r.stationConfig).c_str(), Csv(r.outcome).c_str(),
                Csv(r.loaderVersion).c_str(), Csv(r.statusText).c_str());
            continue;
        }
        nlohmann::json event = {{"event", "record"},           {"id", r.id},
                                {"start", r.startUtc},         {"end", r.endUtc},
                                {"station", r.stationHost},    {"config", r.stationConfig},
                                {"version", r.loaderVersion},  {"hex", r.hexPath},
                                {"hex_file", r.hexFile},       {"file_sha256", r.fileSha256},
                                {"sha256", r.imageSha256},     {"format", r.format},
                                {"uid", r.moduleUid},          {"port", r.portPath},
                                {"verdict", r.verdict},        {"outcome", r.outcome},
                                {"failed_step", r.failedStep}, {"status", r.statusText},
                                {"duration_ms", r.durationMs}};
        if (r.hasSerial) {
            event["serial"] = {{"address", r.serialPlan.address},
                               {"width", r.serialPlan.width},
                               {"value", r.serialValue},
                               {"state", state}};
        }
        out.Event(event,
                  "#" + std::to_string(r.id) + "  " + r.startUtc + "  " +
                      (r.moduleUid.empty() ? "-" : r.moduleUid) + "  " +
                      (r.hasSerial ? "SN 0x" + HexUpper(r.serialValue) + " " + state : "no SN") +
                      "  " + r.verdict +
                      (r.outcome.empty() || r.outcome == r.verdict ? "" : " (" + r.outcome + ")") +
                      (r.failedStep.empty() ? "" : " at " + r.failedStep));
    }
    return kExitOk;
}

}  // namespace

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

int main(int argc, char** argv) {
    const RunStart start;
    Options o;
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

    const ConfigLocation where =
        LocateConfig(ConfigInputsFromEnvironment("pravune-loader", o.config));
    if (where.path.empty()) {
        std::fprintf(stderr, "pravune-cli: %s\n", EscapeControls(where.problem).c_str());
        return kExitUsage;
    }
    if (!where.copiedFrom.empty())
        std::fprintf(stderr, "pravune-cli: settings carried over from %s to %s\n",
                     EscapeControls(where.copiedFrom).c_str(), EscapeControls(where.path).c_str());
    if (!where.problem.empty())
        std::fprintf(stderr, "pravune-cli: settings at %s: %s\n",
                     EscapeControls(where.path).c_str(), EscapeControls(where.problem).c_str());
    o.config = where.path;

    Printer out(o.json               ? Printer::Mode::kJson
                : OutputIsTerminal() ? Printer::Mode::kTerminal
                                     : Printer::Mode::kPlain,
                // The log of `records --show` is its output, not its commentary.
                o.quiet && !app.got_subcommand("records"));
    std::unique_ptr<HidPlatform> platform;
#ifdef PRAVUNE_CLI_SIMULATED_BUS
    // pravune-cli-sim only, the tests' build: the shipped program has no simulated bus.
    platform = SimulatedBusFromEnvironment();
#endif
    if (!platform) {
#ifdef _WIN32
        platform = std::make_unique<WinHidPlatform>(SystemHidCalls());
#else
        platform = std::make_unique<HidrawPlatform>();
#endif
    }
    StopSignal stop;
    if (app.got_subcommand("list"))
        return List(o, *platform, out);
    if (app.got_subcommand("program"))
        return Program(o, *platform, out, stop, start);
    if (app.got_subcommand("watch"))
        return Watch(o, *platform, out, stop, start);
    if (app.got_subcommand("check"))
        return Check(o, *platform, out);
    if (app.got_subcommand("db"))
        return DbInit(o, out);
    return Records(o, out);
}
