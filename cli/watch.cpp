#include "cli/watch.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <thread>

#include "cli/exit_code.h"
#include "cli/module_arrivals.h"
#include "cli/modules.h"
#include "device/hid_port.h"
#include "image/serial_number.h"

namespace {

// The back-off of a module tried again while it stays plugged in: 0.5 s, doubled up to 10 s.
constexpr std::chrono::milliseconds kRetryFirst{500};
constexpr std::chrono::milliseconds kRetryLongest{10000};

}  // namespace

int Watch(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop,
          const RunStart& runStart) {
    {
        // The file and the plan, once, before any module: a refusal is every module's.
        Job check(o, platform, out, "watch");
        ProgrammingStation& st = check.station();
        check.ApplyBootloaderId();
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
        // A closed output takes no more modules: what runs is finished and recorded.
        const bool countReached = (o.count > 0 && started >= o.count) || out.Closed();
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
                    job.ApplyBootloaderId();
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
    std::map<int, int> exits;  // how many modules ended with each exit code but 0
    nlohmann::json list = nlohmann::json::array();
    std::vector<std::string> text{""};
    for (const Session& s : sessions) {
        failures += s.code == kExitOk ? 0 : 1;
        if (s.code != kExitOk)
            ++exits[s.code];
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
    text[0] = std::to_string(sessions.size()) + " modules, " + std::to_string(failures) +
              " not programmed";
    nlohmann::json byExit = nlohmann::json::object();
    for (const auto& [code, count] : exits) {
        byExit[std::to_string(code)] = count;
        text[0] += (code == exits.begin()->first ? " (exit " : ", exit ") + std::to_string(code) +
                   ": " + std::to_string(count);
    }
    if (!exits.empty())
        text[0] += ")";
    out.Event({{"event", "summary"},
               {"schema", kResultSchema},
               {"modules", static_cast<int>(sessions.size())},
               {"failed", failures},
               {"exits", byExit},
               {"list", list}},
              text);
    if (stopped)
        return stop.StoppedExit();
    if (out.Closed())
        return kExitOutputClosed;
    // The modules' one exit code when they share it (every one not recorded: 5), else 1.
    if (exits.size() == 1)
        return exits.begin()->first;
    return failures ? kExitFailed : kExitOk;
}
