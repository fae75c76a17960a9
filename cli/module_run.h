#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/options.h"
#include "cli/printer.h"
#include "device/hid_platform.h"
#include "ledger/record_store.h"
#include "ledger/shared_record_store.h"
#include "station/programming_station.h"
#include "station/thread_host.h"

// The version of the JSON result's layout (README, "The result"): raised when a field changes
// its meaning or goes; fields are only ever added within one version.
constexpr int kResultSchema = 1;

// One station programming one module on the calling thread.
class Job {
  public:
    // `records`: the run's record store, shared by its stations (none: a job that records
    // nothing, or opens its own).
    Job(const Options& o, HidPlatform& platform, Printer& out, std::string module,
        SharedRecordStore* records = nullptr);
    ProgrammingStation& station() { return m_station; }
    // The bootloader identifiers config.ini names.
    void ApplyBootloaderId() { m_station.ApplyBootloaderId(m_stored.vid, m_stored.pid); }
    ThreadHost& host() { return m_host; }
    ModuleObserver& observer() { return m_observer; }

  private:
    StationFlags m_flags;
    ModuleObserver m_observer;
    ThreadHost m_host;
    ProgrammingStation m_station;
    StoredSettings m_stored;
};

// The exit code of a station's run: `timedOut`, the wait for the module ran out; `stoppedExit`,
// the code of a run stopped by a signal.
int ExitFor(ProgrammingStation& station, bool timedOut, int stoppedExit);

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
                      const std::string& uid = {}, int attempt = 0);

// The file and plan a run would use, checked before any module is touched: a refusal (exit 2)
// when the file fails to load or check or the plan does not fit the image. A config.ini that
// could not be read is no refusal here: each download then stops at it (exit 5) until it is
// mended.
std::optional<Refusal> CheckBeforeAnyModule(ProgrammingStation& station, ModuleObserver& observer);
