#include "station/programming_station.h"

#include "text/escape_controls.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string_view>
#include <tuple>
#include <vector>

#include "image/image_check.h"
#include "image/serial_number.h"
#include "ledger/file_sha256.h"
#include "ledger/record_journal.h"
#include "ledger/sha256.h"
#include "ledger/shared_record_store.h"
#include "os/os_files.h"
#include "pravune_version.h"
#include "settings/ini_document.h"
#include "settings/settings_store.h"

namespace {

const std::string kSection = "SETTING";
// How old a temporary file of a replace must be to be taken for a killed loader's.
constexpr std::int64_t kStaleTemporarySeconds = 60;

// What a red line says, without its layout: for a step's record.
std::string NoteText(std::string_view text) {
    const std::size_t first = text.find_first_not_of("\r\n\t -");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of("\r\n\t ");
    return std::string(text.substr(first, last + 1 - first));
}

}  // namespace

std::string SentImageSha256(const HexImage& image) {
    // The bytes sent, in the order they are sent.
    Sha256 sha;
    sha.Update({&image.data[0], 3});
    if (image.bytesMoved)
        sha.Update({image.movedBytes.data(), 3});
    const std::uint32_t from = std::max(image.start, kCodeStart);
    if (image.end > from)
        sha.Update({&image.data[from], image.end - from});
    return sha.HexDigest();
}

ProgrammingStation::ProgrammingStation(HidPlatform& platform, std::string settingsPath,
                                       StationObserver& observer, BootHost& host,
                                       StationFlags& flags)
    : m_settingsPath(std::move(settingsPath)),
      m_observer(observer),
      m_flags(flags),
      m_port(platform),
      m_protocol(m_port, host, m_strStatus, flags.cancel, flags.tick) {}

void ProgrammingStation::Log(const std::string& text, std::uint32_t color, bool timeStamp) {
    // Texts of files, modules and the system are shown and recorded without their controls,
    // stamped when made, as the front end shows it: the record keeps the same stamp.
    LogEntry entry{EscapeControls(text, Controls::kKeepLineEnds), color, timeStamp,
                   timeStamp ? m_observer.StampText() : std::string()};
    if (m_recording) {
        if (color == kLogRed && m_stepNote.empty()) {
            if (std::string note = NoteText(entry.text); note != "Fail")
                m_stepNote = std::move(note);
        }
        m_runLog.push_back(entry);
    }
    m_observer.OnLog(entry);
}

StoredSettings ProgrammingStation::ReadSettings() {
    // What a loader killed in the middle of a replace left beside config.ini and the journal.
    for (const std::string& file :
         {os_files::ResolveLink(m_settingsPath), RecordJournalPathFor(m_settingsPath)})
        os_files::RemoveStaleTemporaries(file, kStaleTemporarySeconds);
    // A file that exists but cannot be read is not taken as missing: it stops every download.
    // The file is read once for every key.
    std::string why;
    IniDocument settings;
    m_settingsProblem.reset();
    os_files::VersionOf(m_settingsPath, m_seenSettings);
    if (!settings_file::ReadDocument(m_settingsPath, settings, &why)) {
        m_settingsProblem = why;
        Log("Settings cannot be read from " + m_settingsPath + ": " + why +
                ": no download until the file is mended (it is never rewritten)\r\n",
            kLogRed);
    }
    auto read = [&settings](const char* key, const std::string& fallback) {
        return settings.Get(kSection, key).value_or(fallback);
    };
    auto readInt = [&](const char* key, int fallback) {
        return settings_file::ParseInt(read(key, std::to_string(fallback)), fallback);
    };
    StoredSettings stored;
    stored.vid = read("m_strVID_bt", "2156");
    stored.pid = read("m_strPID_bt", "C001");
    stored.path = read("m_strPath_flash", "");
    stored.autoReload = readInt("AutoReload", 0);
    stored.autoSn = readInt("AutoSN", 0);
    stored.snAddr = read("SN_StartAddr", "0");
    stored.snValue = read("SN_Current", "0");
    stored.snBytes = readInt("SN_Bytes", 1);
    const int step = readInt("SN_Step", 1);
    stored.snStep = static_cast<unsigned>(step);
    m_path = stored.path;
    m_autoReload = stored.autoReload != 0;
    m_storedValue = stored.snValue;
    m_plan.TakeStored(stored.autoSn != 0, stored.snAddr, stored.snValue, stored.snBytes,
                      read("SN_Step", "1"), step);
    LogPlanProblem();
    m_observer.OnSettingsRead(stored);
    return stored;
}

void ProgrammingStation::LogPlanProblem() {
    if (const std::optional<std::string> problem = m_plan.StoredProblem())
        Log(*problem + ": no serial number is written until a valid one is entered\r\n", kLogRed);
}

void ProgrammingStation::ShowSerialNumber(const std::string& stored) {
    m_storedValue = stored;
    m_observer.OnSerialNumber(m_plan.ValueText());
}

void ProgrammingStation::FollowSettings() {
    os_files::FileVersion now;
    os_files::VersionOf(m_settingsPath, now);
    if (now == m_seenSettings)
        return;
    m_seenSettings = now;
    if (m_settingsProblem) {
        SettingsReadable();
        return;
    }
    std::string text;
    if (!settings_file::ReadChecked(m_settingsPath, kSection, "SN_Current", "0", text, nullptr) ||
        text == m_storedValue)
        return;
    // Another front end on this config.ini moved the number on (or the file was edited): the
    // field shows the text as config.ini has it.
    m_plan.TakeStoredValue(text);
    LogPlanProblem();
    m_storedValue = text;
    m_observer.OnSerialNumber(text);
}

bool ProgrammingStation::SettingsReadable() {
    if (!m_settingsProblem)
        return true;
    std::string text;
    if (!settings_file::ReadChecked(m_settingsPath, kSection, "SN_Current", "0", text, nullptr))
        return false;
    // Mended: take every setting from it, as at a start.
    const StoredSettings stored = ReadSettings();
    if (m_settingsProblem)
        return false;
    Log("Settings read again from " + m_settingsPath + "\r\n", kLogGreen);
    ApplyBootloaderId(stored.vid, stored.pid);
    return true;
}

void ProgrammingStation::SaveSetting(const std::string& key, const std::string& value) {
    std::string reason;
    if (settings_file::Write(m_settingsPath, kSection, key, value, &reason)) {
        m_settingsFailure.reset();
        return;
    }
    if (m_settingsFailure == reason)
        return;
    m_settingsFailure = reason;
    Log("Settings not saved: cannot write " + m_settingsPath + ": " + reason + "\r\n", kLogRed);
    m_observer.OnSettingsSaveFailed(m_settingsPath, reason);
}

void ProgrammingStation::SaveSettingInt(const std::string& key, int value) {
    SaveSetting(key, std::to_string(value));
}

void ProgrammingStation::NoteAccessProblem() {
    const std::optional<HidAccessProblem>& problem = m_port.AccessProblem();
    if (problem == m_reportedAccess)
        return;
    m_reportedAccess = problem;
    if (!problem)
        return;
    Log("The module at " + problem->path + " cannot be opened: " + problem->reason +
            ". Install the udev rule 70-pravune-bootloader.rules (see README), then "
            "plug the module in again.\r\n",
        kLogRed);
}

void ProgrammingStation::ApplyBootloaderId(const std::string& vidText, const std::string& pidText) {
    bool changed = false;
    for (auto [text, number, key] : {std::tuple{&vidText, &m_nVID, "m_strVID_bt"},
                                     std::tuple{&pidText, &m_nPID, "m_strPID_bt"}}) {
        if (text->size() != 4)
            continue;
        unsigned v = *number;
        ParseHex4(*text, v);
        *number = v;
        SaveSetting(key, *text);
        changed = true;
    }
    if (!changed || m_port.IsTarget(m_nPID, m_nVID))
        return;
    m_port.SetTarget(m_nPID, m_nVID);
    NoteAccessProblem();
}

void ProgrammingStation::RefreshStatus() {
    if (m_port.Refresh()) {
        m_strDeviceUid = m_port.GetSerialText();
        const std::string uid = Latin1ToUtf8(m_strDeviceUid);
        m_observer.OnStatus("SN: " + uid, kStatusFound, true, uid);
    } else {
        m_strDeviceUid.clear();
        m_observer.OnStatus("Disconnected", kStatusAbsent, false, {});
    }
    NoteAccessProblem();
}

bool ProgrammingStation::LoadHexFile(const std::string& path) {
    LoadReport report;
    if (IsRecordFile(m_settingsPath, path)) {
        // Read outside SQLite, it would drop this process's locks on the record.
        m_image.valid = false;
        m_strStatus = "Error: " + path + " is the download record, not a HEX file";
        report = FailureReport(m_strStatus);
        report.fileName = FileNameOf(path);
    } else {
        report = LoadImageFile(path, m_image, m_strStatus);
    }
    for (const LogEntry& entry : report.log)
        Log(entry.text, entry.color, entry.timeStamp);
    m_observer.OnImageLoaded(report, m_image.makerFormat);
    return m_image.valid;
}

void ProgrammingStation::EditSerialPlan(SerialPlanFields& fields, const SerialPlanFields& before,
                                        SnField edited) {
    const std::optional<SerialPlan::SettingEdit> save =
        m_plan.Edit(fields, before, edited, m_image.capacity,
                    [this](const std::string& text) { m_observer.OnWarning(text); });
    if (!save)
        return;
    if (edited == SnField::kValue)
        m_storedValue = save->text;
    SaveSetting(save->key, save->text);
}

void ProgrammingStation::SetBusy(bool busy) {
    // The cancel flag is the front end's: a Stop (Ctrl+C) that came before the download began
    // still stops it.
    m_bBusy = busy;
    m_observer.OnBusy(busy);
}

bool ProgrammingStation::CheckSerialNumber() {
    return m_plan.Check(m_image, [this](const std::string& text, std::uint32_t color,
                                        bool timeStamp) { Log(text, color, timeStamp); });
}

bool ProgrammingStation::PlanFits() {
    return !m_plan.Numbers().on || m_image.makerFormat || CheckSerialNumber();
}

bool ProgrammingStation::StepResult(bool ok) {
    Log(ok ? "Done\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    return ok;
}

bool ProgrammingStation::OpenRecords(std::string* reason) {
    if (m_records)
        return true;
    if (m_shared) {
        m_database = m_shared->Choice();
        m_records = m_shared->Handle(reason);
        return m_records != nullptr;
    }
    m_database = ChooseDatabase(m_settingsPath);
    m_records = OpenChosenRecordStore(m_database, m_settingsPath, reason);
    return m_records != nullptr;
}

void ProgrammingStation::CloseOwnRecords() {
    // A station of its own keeps no connection to the record while it is idle: its front end
    // (a window's file dialog) may then open and close any file of its folder, which on POSIX
    // systems would drop the locks SQLite holds on the record for this process. A store shared
    // with other stations is the front end's to keep.
    if (!m_shared)
        m_records.reset();
}

CounterStation ProgrammingStation::Station() const {
    return {m_record.stationHost, m_record.stationFolder};
}

bool ProgrammingStation::KeepForLater(std::int64_t id, std::optional<SerialState> state,
                                      bool finish, std::string* reason) {
    JournalEntry entry{JournalDatabaseKey(m_database), id, state, std::nullopt, 0, 0, {}};
    if (finish)
        entry.finish = m_record;
    if (Keep(entry, reason)) {
        if (m_recordEnd == RecordEnd::kWritten)
            m_recordEnd = RecordEnd::kKeptForLater;
        return true;
    }
    m_recordEnd = RecordEnd::kLost;
    return false;
}

bool ProgrammingStation::Keep(const JournalEntry& entry, std::string* reason) {
    std::string aside;
    const bool kept = KeepInJournal(m_settingsPath, entry, reason, &aside);
    if (!aside.empty())
        m_observer.OnLog({"\t- " + aside + "\r\n", kLogRed, false});
    if (!kept)
        Hold(entry);
    return kept;
}

void ProgrammingStation::Hold(JournalEntry entry) {
    // Tried again at the next catch-up of this process; the oldest give way to the newest
    // beyond a bound, so that a disk full for hours cannot fill the memory.
    if (m_shared) {
        m_shared->Hold(std::move(entry));
        return;
    }
    if (m_unkept.size() >= SharedRecordStore::kMaxHeldEntries)
        m_unkept.erase(m_unkept.begin());
    m_unkept.push_back(std::move(entry));
}

void ProgrammingStation::CatchUpRecords() {
    // What even the journal could not take (a full disk) goes there first, now that it may.
    std::vector<JournalEntry> held = m_shared ? m_shared->TakeHeld() : std::exchange(m_unkept, {});
    for (JournalEntry& entry : held) {
        std::string why;
        if (!KeepInJournal(m_settingsPath, entry, &why))
            Hold(std::move(entry));
    }
    const Completion done =
        CompleteEarlierRecords(*m_records, m_settingsPath, JournalDatabaseKey(m_database),
                               ThisStationProcess(m_settingsPath), !m_closedInterrupted);
    m_closedInterrupted = m_closedInterrupted || done.closedInterrupted;
    for (const CompletionNote& note : done.notes)
        Log(note.text + "\r\n", note.ok ? kLogGreen : kLogRed);
}

bool ProgrammingStation::BeginRecord() {
    m_record = DownloadRecord{};
    m_recordEnd = RecordEnd::kWritten;
    m_recordRefusal.clear();
    m_record.startUtc = UtcNowIso();
    // The station is its config.ini (every installed station runs from /usr/bin), on its host,
    // in this process and boot.
    const StationProcess self = ThisStationProcess(m_settingsPath);
    m_record.stationHost = self.host;
    m_record.stationConfig = self.config;
    const std::size_t slash = os_files::LastSeparator(self.config);
    m_record.stationFolder =
        slash == std::string::npos ? std::string() : self.config.substr(0, slash);
    m_record.processId = self.processId;
    m_record.bootId = self.bootId;
    m_record.processStart = self.processStart;
    m_record.pidNamespace = self.pidNamespace;
    m_record.recordKey = NewRecordKey();
    m_record.loaderVersion = PRAVUNE_VERSION;
    m_record.hexPath = m_path;
    m_record.hexFile = os_files::AbsolutePath(m_path);
    // The bytes of the file the image came from, as `sha256sum` shows them.
    if (!IsRecordFile(m_settingsPath, m_path))
        m_record.fileSha256 = HexFileSha256(m_path, m_image);
    if (m_image.valid) {
        m_record.imageSha256 = SentImageSha256(m_image);
        m_record.imageStart = m_image.start;
        m_record.imageEnd = m_image.end;
    }
    m_record.format = m_image.makerFormat ? "maker" : "plain";
    std::string reason;
    // What earlier downloads kept for later is written after this one (CatchUpRecords), so
    // that it never delays a module waiting for its handshake.
    if (OpenRecords(&reason)) {
        if ((m_record.id = m_records->BeginDownload(m_record, &reason)) != 0)
            return true;
    }
    // Opened again at the next download, when the database may be back; a connection
    // reconnects by itself.
    if (!m_records || !m_records->LostConnection())
        m_records.reset();
    m_recordRefusal = "The download cannot be recorded in " + m_database.name + ": " + reason;
    Log(m_recordRefusal + "\r\n", kLogRed);
    return false;
}

void ProgrammingStation::FinishRecord(bool ok, const std::string& failedStep,
                                      std::int64_t durationMs) {
    // Filled also when nothing could be recorded: the front end reports the download from it.
    // A download refused for want of its record is recorded whole, later.
    const bool whole = m_record.id == 0 && !m_recordRefusal.empty();
    m_record.endUtc = UtcNowIso();  // the true end, also when the end is written later
    m_record.verdict = ok ? "succeeded" : "failed";
    m_record.outcome = OutcomeClass(ok, failedStep);
    m_record.failedStep = ok ? std::string() : failedStep;
    // The failing step's own text: what it left in the status, else its first red line.
    m_record.statusText = ok ? std::string() : !m_strStatus.empty() ? m_strStatus : m_stepNote;
    m_record.durationMs = durationMs;
    if (!whole && (!m_records || m_record.id == 0))
        return;
    m_record.log = m_runLog;
    if (whole) {
        m_record.failedStep = "record";
        m_record.statusText = NoteText(m_recordRefusal);
        std::string why;
        const JournalEntry entry{
            JournalDatabaseKey(m_database), 0, std::nullopt, m_record, 0, 0, {}};
        const bool later = Keep(entry, &why);
        m_observer.OnLog(
            {later ? "\t- This refusal is kept for later: it is recorded at the "
                     "next download that reaches " +
                         m_database.name + "\r\n"
                   : "\t- This refusal could not be kept for later either: " + why + "\r\n",
             kLogRed, false});
        return;
    }
    std::string reason;
    if (!m_records->FinishDownload(m_record, &reason)) {
        // Kept in the journal beside config.ini: the next station on it writes it.
        std::string why;
        const bool later = KeepForLater(m_record.id, std::nullopt, true, &why);
        m_observer.OnLog({"\t- The end of this download was not recorded: " + reason +
                              (later ? " (kept for later: it is recorded at the next download)"
                                     : " (and it could not be kept for later: " + why + ")") +
                              "\r\n",
                          kLogRed, false});
    }
}

std::string ProgrammingStation::OutcomeClass(bool ok, const std::string& failedStep) const {
    if (ok)
        return "succeeded";
    switch (m_outcome) {
        case DownloadOutcome::kBadInput:
            return "refused";
        case DownloadOutcome::kNotRecorded:
            return "not_recorded";
        case DownloadOutcome::kSucceeded:
        case DownloadOutcome::kFailed:
        case DownloadOutcome::kStopped:
            break;
    }
    // The handshake ends only with an answer or a cancel: without an answer, was a module
    // there to give one?
    if (failedStep == "handshake") {
        if (m_port.AccessProblem())
            return "no_access";
        if (!m_port.IsOpen())
            return "no_module";
    }
    return m_outcome == DownloadOutcome::kStopped ? "stopped" : "failed";
}

std::optional<std::uint32_t> ProgrammingStation::ReserveSerial(SerialRefusal& refusal) {
    SerialTakeContext context{*m_records, m_record.id, m_settingsPath, Station(),
                              [this](SerialState state) {
                                  std::string why;
                                  KeepForLater(m_record.id, state, false, &why);
                              }};
    const std::optional<TakenNumber> taken = m_plan.Take(m_database.shared(), context, refusal);
    if (!taken)
        return std::nullopt;
    // The field shows the number being written, then the next one.
    const SerialPlanNumbers& plan = m_plan.Numbers();
    m_plan.TakeNext(taken->value);
    m_observer.OnSerialNumber(m_plan.ValueText());
    m_plan.TakeNext(taken->next);
    m_storedValue = SerialText(taken->next, plan.width);
    if (taken->mirrorNotSaved.empty())
        m_settingsFailure.reset();
    else
        Log(taken->mirrorNotSaved, kLogRed);
    return taken->value;
}

bool ProgrammingStation::Download() {
    m_observer.OnClearLog();
    SetBusy(true);
    m_runLog.clear();
    m_recording = true;
    const auto started = std::chrono::steady_clock::now();

    bool ok = true;
    StepName step(*this, "load");
    std::optional<std::string> snNotSaved;
    std::optional<std::uint32_t> taken;
    bool snWritten = false;
    m_outcome = DownloadOutcome::kBadInput;
    m_lastSerial.reset();
    m_changedModule = false;
    // A config.ini that cannot be read has given no plan: nothing is programmed until it can.
    const bool settingsRead = SettingsReadable();
    const SerialPlanNumbers& sn = m_plan.Numbers();
    const bool plan = sn.on;
    if (settingsRead && (m_autoReload || !m_image.valid)) {
        m_image.valid = false;
        ok = LoadHexFile(m_path);
    }
    // Every attempt is recorded, and nothing is sent to a module that could not be.
    if (!BeginRecord()) {
        ok = false;
        m_outcome = DownloadOutcome::kNotRecorded;
    }
    if (ok && !settingsRead) {
        step = "settings";
        Log("Settings cannot be read from " + m_settingsPath + ": " + *m_settingsProblem +
                ": no download until the file is mended\r\n",
            kLogRed);
        ok = false;
        m_outcome = DownloadOutcome::kNotRecorded;
    }
    const bool writeSerial = plan && !m_image.makerFormat;
    if (ok && writeSerial) {
        step = "serial number check";
        ok = CheckSerialNumber();
    }
    if (ok)
        m_outcome = DownloadOutcome::kFailed;
    if (ok) {
        step = "handshake";
        Log("Handshake ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.Handshake(m_image.makerFormat ? 1 : 0));
        if (ok) {
            // The module that answered is the one programmed to the end.
            m_port.HoldToOpenModule();
            RefreshStatus();
            Log("\t- Device UID = " + Latin1ToUtf8(m_strDeviceUid) + "\r\n", kLogGreen);
            if (m_port.Held()) {
                m_record.moduleUid = Latin1ToUtf8(m_port.Held()->uid);
                m_record.portPath = m_port.Held()->port;
            }
        }
    }
    if (ok && writeSerial) {
        // Taken before the erase: whatever refuses a number leaves the module untouched.
        step = "take serial number";
        SerialRefusal refusal;
        taken = ReserveSerial(refusal);
        if (!taken) {
            Log("\t- No serial number for this module: " + refusal.reason +
                    " (nothing was written to it)\r\n",
                kLogRed);
            m_outcome = refusal.plan ? DownloadOutcome::kBadInput : DownloadOutcome::kNotRecorded;
            ok = false;
        }
    }
    if (ok) {
        step = "erase";
        m_changedModule = true;
        Log("Erase ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.EraseDevice());
        if (ok)
            m_observer.OnProgressShown(true);
    }
    if (ok) {
        step = "write flash";
        Log("Write Flash ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.WriteFlash(m_image));
    }
    if (ok && writeSerial) {
        step = "write serial number";
        Log("Write Serial Number ... \t", kLogBlack, true);
        const std::vector<std::uint8_t> bytes = SerialBytes(*taken, sn.width);
        const std::uint32_t end = sn.address + static_cast<std::uint32_t>(bytes.size());
        ok = StepResult(m_protocol.WriteBlocks(CMD_WRITE, bytes.data(), sn.address, end));
        // A Stop honoured after the module acknowledged the number leaves it in the module.
        snWritten = m_protocol.HeldEnd() == end;
        if (snWritten && sn.step == 0) {
            // One number for every module: no ledger row, so the record itself holds it.
            m_record.hasSerial = true;
            m_record.serialPlan = sn.Key();
            m_record.serialValue = *taken;
            m_record.serialState = SerialState::kWritten;
        }
        if (snWritten) {
            Log("\t- Address = 0x" + HexUpper(sn.address) + ", SN = 0x" + HexUpper(*taken) + "\r\n",
                kLogGreen);
        }
    }
    if (ok) {
        step = "run";
        Log("Run Device ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.RunDevice());
        if (ok)
            m_observer.OnProgressShown(false);
    }
    if (ok && plan && !writeSerial) {
        // The maker's format writes no number; the plan still advances after the run.
        m_storedValue = m_plan.AdvanceAfterRun();
        std::string reason;
        if (settings_file::Write(m_settingsPath, kSection, "SN_Current", m_storedValue, &reason)) {
            m_settingsFailure.reset();
        } else {
            snNotSaved = reason;
        }
    }
    if (const std::optional<ModuleIdentity>& other = m_port.Replacement(); other && !ok) {
        Log("\t- Another module (" + Latin1ToUtf8(other->uid) + " at " + other->port +
                ") took the place of " + Latin1ToUtf8(m_port.Held()->uid) +
                ": nothing more was written to it\r\n",
            kLogRed);
    } else if (m_port.HeldModuleLeft() && !ok) {
        Log("\t- The module left the bus during the download: nothing more was written to it\r\n",
            kLogRed);
    }
    m_port.Release();
    if (taken) {
        m_lastSerial = TakenSerialNumber{sn.Key(), *taken,
                                         snWritten ? SerialState::kWritten : SerialState::kUsedUp};
    }
    if (taken && sn.step != 0) {
        std::string reason;
        const SerialState state = snWritten ? SerialState::kWritten : SerialState::kUsedUp;
        if (!m_records->SetSerialState(m_record.id, state, &reason)) {
            // The number stays recorded as reserved, never given again; its state is kept in
            // the journal beside config.ini and recorded at the next download.
            std::string why;
            const bool later = KeepForLater(m_record.id, state, false, &why);
            Log("\t- The serial number's state was not recorded: " + reason +
                    (later ? " (it is recorded at the next download)"
                           : " (and it could not be kept for later: " + why + ")") +
                    "\r\n",
                kLogRed);
        }
        if (!snWritten) {
            Log("\t- Serial number 0x" + HexUpper(*taken) +
                    " is used up: it is never given to another module\r\n",
                kLogRed);
        }
    }
    if ((ok && plan) || taken)
        ShowSerialNumber(m_storedValue);  // the next number
    else if (plan && writeSerial && m_database.shared() &&
             m_plan.FollowSource(true, m_records.get()))
        ShowSerialNumber(m_plan.ValueText());
    Log("Download --- \t\t", kLogBlack, true);
    Log(ok ? "Succeed\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    if (snNotSaved) {
        Log("\t- The next serial number " + m_storedValue + " was not saved to " + m_settingsPath +
                ": " + *snNotSaved + "\r\n",
            kLogRed);
    }
    m_recording = false;
    if (ok)
        m_outcome = DownloadOutcome::kSucceeded;
    else if (m_flags.cancel && m_outcome == DownloadOutcome::kFailed)
        m_outcome = DownloadOutcome::kStopped;
    FinishRecord(ok, step,
                 std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count());
    if (m_records && m_record.id != 0)
        CatchUpRecords();
    CloseOwnRecords();
    SetBusy(false);
    return ok;
}
