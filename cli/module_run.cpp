#include "cli/module_run.h"

#include <cstdint>
#include <cstdio>

#include "cli/exit_code.h"
#include "device/hid_port.h"
#include "image/serial_number.h"
#include "ledger/file_sha256.h"
#include "ledger/record_journal.h"
#include "text/escape_controls.h"

Job::Job(const Options& o, HidPlatform& platform, Printer& out, std::string module,
         SharedRecordStore* records)
    : m_observer(out, std::move(module)),
      m_host(m_flags, m_observer),
      m_station(platform, ConfigPath(o), m_observer, m_host, m_flags) {
    // A module present is asked at once; later attempts keep the protocol's period.
    m_host.SetFirstTickAtOnce(true);
    if (records)
        m_station.ShareRecords(*records);
    m_stored = m_station.ReadSettings();
    SerialPlan& plan = m_station.Plan();
    if (!o.file.empty())
        m_station.SetPath(o.file);
    if (!o.snAddr.empty() || o.snBytes || o.snStep >= 0)
        plan.SetOn(true);
    if (!o.snAddr.empty()) {
        std::uint32_t address = plan.Numbers().address;
        ScanHex(o.snAddr, address);
        plan.SetAddress(address);
    }
    if (o.snBytes)
        plan.SetWidth(o.snBytes);
    if (o.snStep >= 0)
        plan.SetStep(static_cast<unsigned>(o.snStep));
    if (o.noSn)
        plan.SetOn(false);
}

int ExitFor(ProgrammingStation& station, bool timedOut, int stoppedExit) {
    // A wait that ran out while the record was being begun (a server that does not answer)
    // found no module because none was asked: the record's outcome, not_recorded, holds.
    if (station.LastOutcome() == DownloadOutcome::kNotRecorded)
        return kExitNoRecord;
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

nlohmann::json Report(Printer& out, const std::string& module, ProgrammingStation& station,
                      int code, const RunStart& start, const Refusal* refusal,
                      const std::string& uid, int attempt) {
    const DownloadRecord& record = station.LastRecord();
    const RecordEnd end = refusal ? RecordEnd::kWritten : station.LastRecordEnd();
    const bool programmed = !refusal && station.LastOutcome() == DownloadOutcome::kSucceeded;
    const std::string endUtc = UtcNowIso();
    const std::string moduleUid = !refusal && !record.moduleUid.empty() ? record.moduleUid
                                  : !refusal && !station.DeviceUid().empty()
                                      ? Latin1ToUtf8(station.DeviceUid())
                                      : uid;
    const HexImage& image = station.Image();
    const std::string hex = refusal ? station.Path() : record.hexPath;
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
                     EscapeControls(module).c_str(), static_cast<long long>(record.id),
                     EscapeControls(why).c_str());
    }
    out.Event(event, text);
    return event;
}

std::optional<Refusal> CheckBeforeAnyModule(ProgrammingStation& station, ModuleObserver& observer) {
    if (station.SettingsUnreadable())
        return std::nullopt;
    if (!station.LoadHexFile(station.Path()))
        return Refusal{"refused", "load", station.LoadFailureText()};
    if (const std::optional<ReleaseCheck> release = station.CheckApproval();
        release && !release->ok()) {
        const std::string text = ReleaseRefusalText(*release);
        return Refusal{"refused", "release", text.substr(0, text.size() - 2)};
    }
    if (!station.PlanFits())
        return Refusal{"refused", "serial number check", observer.FirstRedLine()};
    return std::nullopt;
}
