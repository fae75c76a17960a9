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
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cli/printer.h"
#ifdef PRAVUNE_CLI_SIMULATED_BUS
#include "cli/sim_bus.h"
#endif
#ifdef _WIN32
#include "device/win_hid_platform.h"
#include "settings/os_files.h"
#else
#include "device/hidraw_platform.h"
#endif
#include "image/serial_number.h"
#include "ledger/database_config.h"
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
    kExitStopped = 130,
};

const char* const kExitCodes =
    "Subcommands (pravune-cli SUBCOMMAND --help for each):\n"
    "  list                      the matching modules present: node, VID:PID, UID, USB port\n"
    "  program [FILE]            one module; FILE defaults to the HEX file config.ini names\n"
    "      --wait SECONDS        wait this long for the module (default: until it comes)\n"
    "      --module UID, --port PATH   pick one of several modules\n"
    "      --sn-addr HEX, --sn-bytes N, --sn-step N, --no-sn   override the serial-number plan\n"
    "  watch [FILE]              every module that appears, several at once; --count N\n"
    "  records                   every download recorded; --since UTC, --csv, --json, --show ID\n"
    "  db init                   creates or brings up to date the record's tables in the\n"
    "                            database config.ini names ([DATABASE] Connection; default:\n"
    "                            records.sqlite beside it); PRAVUNE_DATABASE may name only\n"
    "                            that server (another role), anything else is refused (exit 5)\n"
    "\n"
    "Exit codes: 0 success; 1 a download failed; 2 usage, or a HEX file or serial-number plan\n"
    "refused; 3 no module (the wait ran out); 4 a module present but not accessible (install\n"
    "the udev rule, see README); 5 the record store or the serial-number ledger unavailable,\n"
    "also after a module was programmed whose record could not be completed (the result and\n"
    "standard error say so; the next download on this config.ini completes it); 130 stopped\n"
    "(Ctrl+C).";

// The options every subcommand shares.
struct Options {
    std::string config;
    bool json = false;
    // program and watch
    std::string file;
    std::string snAddr;
    int snBytes = 0;
    int snStep = -1;
    bool noSn = false;
    double wait = -1;  // seconds; negative: until a module comes or Ctrl+C
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
                Stop();
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
    void Stop() {
        const std::lock_guard lock(m_mutex);
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
        stop->Stop();
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
            text += "  cannot be opened: " + f.access +
                    " (install the udev rule 70-pravune-bootloader.rules, see README)";
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
    Job(const Options& o, HidPlatform& platform, Printer& out, std::string module,
        SharedRecordStore& records)
        : m_observer(out, std::move(module)),
          m_host(m_flags, m_observer),
          m_station(platform, ConfigPath(o), m_observer, m_host, m_flags) {
        m_station.ShareRecords(records);
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

int ExitFor(ProgrammingStation& station, bool timedOut) {
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
            return kExitStopped;
        case DownloadOutcome::kFailed:
            break;
    }
    return kExitFailed;
}

void Report(Printer& out, const std::string& module, ProgrammingStation& station, int code) {
    using RecordEnd = ProgrammingStation::RecordEnd;
    const RecordEnd end = station.LastRecordEnd();
    const bool programmed = station.LastOutcome() == DownloadOutcome::kSucceeded;
    nlohmann::json event = {{"event", "result"},
                            {"module", module},
                            {"ok", code == kExitOk},
                            {"exit", code},
                            {"record", station.LastRecordId()},
                            {"uid", Latin1ToUtf8(station.m_strDeviceSN)},
                            {"programmed", programmed},
                            {"record_complete", end == RecordEnd::kWritten}};
    if (station.LastRecordId() != 0)
        event["outcome"] = station.LastRecordOutcome();
    std::string text = "[" + module + "] " + (programmed ? "programmed" : "failed") + " (exit " +
                       std::to_string(code) + ", record " + std::to_string(station.LastRecordId()) +
                       ")";
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
                     module.c_str(), static_cast<long long>(station.LastRecordId()), why.c_str());
    }
    out.Event(event, text);
}

int Program(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop) {
    const std::string name = !o.port.empty() ? o.port : !o.module.empty() ? o.module : "module";
    SharedRecordStore records(ConfigPath(o));
    Job job(o, platform, out, name, records);
    ProgrammingStation& st = job.station();
    st.Port().SetFilter(o.module, o.port);  // before the identifiers open the port
    st.ApplyBootloaderId();
    if (!st.LoadHexFile(st.m_strPath))
        return kExitUsage;
    if (o.wait == 0 && !st.Port().Open()) {
        const int code = st.Port().AccessProblem() ? kExitAccess : kExitNoModule;
        out.Event({{"event", "result"}, {"module", name}, {"ok", false}, {"exit", code}},
                  "[" + name + "] no module present");
        return code;
    }
    // A bounded wait for the module: cancelled when it has not answered by then.
    std::atomic<bool> timedOut{false};
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog;
    if (o.wait > 0) {
        watchdog = std::thread([&] {
            std::unique_lock lock(mutex);
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(static_cast<long long>(o.wait * 1000));
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
    const int code = ExitFor(st, timedOut);
    Report(out, name, st, code);
    return code;
}

#ifdef _WIN32
// Windows: the watch loop looks every 500 ms.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(StopSignal& /*stop*/) {}
    std::chrono::milliseconds Period() const { return std::chrono::milliseconds(500); }
};
#else
// Wakes the watch loop when a hidraw node appears, goes or changes its permissions in /dev, so
// that modules are found at once without looking at every node twice a second. Without
// inotify the loop looks every 500 ms.
class DeviceArrivals {
  public:
    explicit DeviceArrivals(StopSignal& stop) {
        m_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd < 0 || ::inotify_add_watch(m_fd, "/dev", IN_CREATE | IN_DELETE | IN_ATTRIB) < 0)
            return;
        if (::pipe2(m_quit, O_CLOEXEC) != 0)
            return;
        m_thread = std::thread([this, &stop] {
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
                    stop.Tell();
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

int Watch(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop) {
    DeviceArrivals arrivals(stop);
    // One record store for every module's station: one SQLite connection, or a few of the
    // server's.
    SharedRecordStore records(ConfigPath(o));
    unsigned vid = 0, pid = 0;
    Identifiers(ConfigPath(o), vid, pid);
    struct Worker {
        std::string key;
        std::thread thread;
        std::atomic<bool> finished{false};
        int code = kExitFailed;
    };
    std::list<Worker> running;
    std::set<std::string> done;  // programmed and still plugged in
    int started = 0, finished = 0, failures = 0;
    bool stopped = false;
    for (;;) {
        stopped = stopped || stop.Stopped();
        // Reap the finished workers.
        for (auto it = running.begin(); it != running.end();) {
            if (!it->finished) {
                ++it;
                continue;
            }
            it->thread.join();
            ++finished;
            failures += it->code == kExitOk ? 0 : 1;
            done.insert(it->key);
            it = running.erase(it);
        }
        const bool countReached = o.count > 0 && started >= o.count;
        if ((stopped || countReached) && running.empty())
            break;
        if (!stopped && !countReached) {
            std::set<std::string> present;
            for (const Found& f : FindModules(platform, vid, pid)) {
                if (!f.access.empty())
                    continue;
                if ((!o.module.empty() && f.uid != o.module) ||
                    (!o.port.empty() && f.port != o.port))
                    continue;
                const std::string key = f.port + "|" + f.uid;
                present.insert(key);
                bool busy = done.count(key) > 0;
                for (const Worker& w : running)
                    busy = busy || w.key == key;
                if (busy || (o.count > 0 && started >= o.count))
                    continue;
                ++started;
                Worker& w = running.emplace_back();
                w.key = key;
                const std::string name = f.port.empty() ? Latin1ToUtf8(f.uid) : f.port;
                w.thread = std::thread([&o, &platform, &out, &stop, &records, &w, f, name] {
                    Job job(o, platform, out, name, records);
                    ProgrammingStation& st = job.station();
                    st.Port().SetFilter(f.uid, f.port);
                    st.ApplyBootloaderId();
                    stop.Watch(job.host());
                    if (st.LoadHexFile(st.m_strPath)) {
                        st.Download();
                        w.code = ExitFor(st, false);
                    } else {
                        w.code = kExitUsage;
                    }
                    stop.Forget(job.host());
                    Report(out, name, st, w.code);
                    w.finished = true;
                    stop.Tell();
                });
            }
            // A module that left may come back and is programmed again.
            for (auto it = done.begin(); it != done.end();)
                it = present.count(*it) ? std::next(it) : done.erase(it);
        }
        stopped = stop.WaitFor(arrivals.Period()) || stopped;
    }
    out.Event({{"event", "summary"}, {"modules", finished}, {"failed", failures}},
              std::to_string(finished) + " modules, " + std::to_string(failures) + " failed");
    if (stopped)
        return kExitStopped;
    return failures ? kExitFailed : kExitOk;
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

int main(int argc, char** argv) {
    Options o;
    CLI::App app{
        "pravune-cli: programs PRAVUNE modules from scripts and test fixtures, one or several "
        "at once, with the serial-number plan, config.ini and record store the window uses.",
        "pravune-cli"};
    app.set_version_flag("--version", std::string("pravune-cli ") + PRAVUNE_VERSION);
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.add_option("--config", o.config,
                   "config.ini to use (default: beside the executable when that folder may be "
                   "written and is not one the system's programs share, else "
                   "$XDG_CONFIG_HOME/pravune-loader/config.ini, ~/.config by default: the "
                   "window's file either way)");
    app.add_flag("--json", o.json, "one JSON object per event (JSON lines)");

    app.add_subcommand("list", "the matching modules present: node, VID:PID, UID, port");
    auto* program = app.add_subcommand("program", "program one module");
    auto* watch = app.add_subcommand(
        "watch", "program every module that appears, several at once, until Ctrl+C");
    for (CLI::App* sub : {program, watch}) {
        sub->add_option("file", o.file, "HEX file (default: the one config.ini names)");
        sub->add_option("--sn-addr", o.snAddr, "serial number's address, hexadecimal");
        sub->add_option("--sn-bytes", o.snBytes, "serial number's width in bytes")
            ->check(CLI::Range(1, 4));
        sub->add_option("--sn-step", o.snStep, "step between serial numbers")
            ->check(CLI::Range(0, 255));
        sub->add_flag("--no-sn", o.noSn, "write no serial number");
        sub->add_option("--module", o.module, "only the module with this UID");
        sub->add_option("--port", o.port, "only the module at this USB port path");
    }
    program
        ->add_option("--wait", o.wait,
                     "seconds to wait for the module (default: until it comes; 0: fail at "
                     "once)")
        ->check(CLI::NonNegativeNumber);
    watch->add_option("--count", o.count, "stop after this many modules")
        ->check(CLI::PositiveNumber);
    auto* records = app.add_subcommand("records", "export the record of every download");
    records->add_option("--since", o.since, "only downloads started at or after this UTC time");
    auto* csv = records->add_flag("--csv", o.csv, "comma-separated values");
    records->add_flag("--json", o.json, "JSON lines")->excludes(csv);
    records->add_option("--show", o.show, "print the log of one download")
        ->check(CLI::PositiveNumber);
    auto* db = app.add_subcommand("db", "the database of the record and the serial numbers");
    db->require_subcommand(1);
    db->add_subcommand("init", "create or bring up to date the record's tables");

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
                                     : Printer::Mode::kPlain);
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
        return Program(o, *platform, out, stop);
    if (app.got_subcommand("watch"))
        return Watch(o, *platform, out, stop);
    if (app.got_subcommand("db"))
        return DbInit(o, out);
    return Records(o, out);
}
