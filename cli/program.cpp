#include "cli/program.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cli/exit_code.h"
#include "cli/module_arrivals.h"

int Program(const Options& o, HidPlatform& platform, Printer& out, StopSignal& stop,
            const RunStart& start) {
    const std::string name = !o.port.empty() ? o.port : !o.module.empty() ? o.module : "module";
    SharedRecordStore records(ConfigPath(o));
    Job job(o, platform, out, name, &records);
    ProgrammingStation& st = job.station();
    st.Port().SetFilter(o.module, o.port);  // before the identifiers open the port
    job.ApplyBootloaderId();
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
