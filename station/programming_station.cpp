#include "station/programming_station.h"

#include "text/escape_controls.h"

#include <chrono>
#include <string_view>
#include <vector>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/serial_number.h"
#include "ledger/file_sha256.h"
#include "os/os_files.h"
#include "settings/settings_store.h"

ProgrammingStation::ProgrammingStation(HidPlatform& platform, std::string settingsPath,
                                       StationObserver& observer, BootHost& host,
                                       StationFlags& flags)
    : m_platform(platform),
      m_observer(observer),
      m_flags(flags),
      m_settings(settingsPath, m_plan, observer,
                 [this](const std::string& text, std::uint32_t color) { Log(text, color); }),
      m_recorder(std::move(settingsPath), observer,
                 [this](const std::string& text, std::uint32_t color) { Log(text, color); }),
      m_reservation(m_plan, m_settings, m_recorder, observer,
                    [this](const std::string& text, std::uint32_t color) { Log(text, color); }),
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
    return m_settings.Read();
}

void ProgrammingStation::FollowSettings() {
    StoredSettings mended;
    if (m_settings.Follow(&mended) == StationSettings::Readable::kMended)
        ApplyBootloaderId(mended.vid, mended.pid);
}

bool ProgrammingStation::SettingsReadable() {
    StoredSettings mended;
    switch (m_settings.CheckReadable(&mended)) {
        case StationSettings::Readable::kYes:
            return true;
        case StationSettings::Readable::kNo:
            return false;
        case StationSettings::Readable::kMended:
            break;
    }
    ApplyBootloaderId(mended.vid, mended.pid);
    return true;
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
    if (!m_settings.TakeBootloaderId(vidText, pidText) || m_port.IsTarget(Pid(), Vid()))
        return;
    m_port.SetTarget(Pid(), Vid());
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

std::string ProgrammingStation::LoadFailureText() const {
    return HexFailureText(m_strStatus, m_image);
}

bool ProgrammingStation::LoadHexFile(const std::string& path) {
    LoadReport report;
    if (IsRecordFile(SettingsPath(), path)) {
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
        m_settings.SetStoredNumber(save->text);
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

bool ProgrammingStation::Download() {
    StartDownload();
    StepResult result = LoadImage();
    // Every attempt is recorded, and nothing is sent to a module that could not be.
    if (!m_recorder.Begin(Path(), m_image,
                          m_run.production ? m_run.production->operatorBadge : std::string()))
        result = Failure(DownloadOutcome::kNotRecorded);
    m_run.writeSerial = m_run.planOn && !m_image.makerFormat;
    // The number is taken after the handshake and before the erase: whatever refuses a number
    // leaves the module untouched.
    for (const Step step :
         {&ProgrammingStation::RefuseUnreadSettings, &ProgrammingStation::CheckRelease,
          &ProgrammingStation::CheckPlan, &ProgrammingStation::Handshake,
          &ProgrammingStation::TakeSerialNumber, &ProgrammingStation::Erase,
          &ProgrammingStation::WriteFlash, &ProgrammingStation::WriteSerialNumber,
          &ProgrammingStation::RunModule}) {
        if (!result.ok())
            break;
        result = (this->*step)();
    }
    if (result.ok())
        AdvancePlanAfterRun();
    NoteLostModule(result.ok());
    m_port.Release();
    SettleSerialNumber();
    ShowNextNumber(result.ok());
    EndDownload(std::move(result));
    return m_outcome == DownloadOutcome::kSucceeded;
}

void ProgrammingStation::BeginStep(const char* name) {
    // The status text is shared by the reader, the check and the protocol, and the note is the
    // earlier step's: a failure records its own text.
    m_step = name;
    m_strStatus.clear();
    m_stepNote.clear();
}

StepResult ProgrammingStation::StepEnd(bool ok, DownloadOutcome failure) {
    Log(ok ? "Done\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    return ok ? StepResult{} : Failure(failure);
}

void ProgrammingStation::StartDownload() {
    m_observer.OnClearLog();
    SetBusy(true);
    m_runLog.clear();
    m_recording = true;
    m_run = Run{};
    m_run.started = std::chrono::steady_clock::now();
    BeginStep("load");
    m_outcome = DownloadOutcome::kBadInput;
    m_lastSerial.reset();
    m_changedModule = false;
}

StepResult ProgrammingStation::LoadImage() {
    // A config.ini that cannot be read has given no plan: nothing is programmed until it can.
    m_run.settingsRead = SettingsReadable();
    m_run.planOn = m_plan.Numbers().on;
    // Read once: the approval and the operator's badge come from the same reading.
    m_run.production = ReadProductionSettings(SettingsPath(), nullptr);
    if (!m_run.settingsRead || (!AutoReload() && m_image.valid))
        return {};
    m_image.valid = false;
    if (LoadHexFile(Path()))
        return {};
    // The record tells where in the file the read failed; the window keeps its own text.
    return {DownloadOutcome::kBadInput, LoadFailureText()};
}

StepResult ProgrammingStation::RefuseUnreadSettings() {
    if (m_run.settingsRead)
        return {};
    BeginStep("settings");
    Log("Settings cannot be read from " + SettingsPath() + ": " + m_settings.Problem() +
            ": no download until the file is mended\r\n",
        kLogRed);
    return Failure(DownloadOutcome::kNotRecorded);
}

std::optional<EarlierPass> ProgrammingStation::FindEarlierPass(const std::string& uid,
                                                               const std::string& fileSha256) {
    if (uid.empty() || fileSha256.empty())
        return std::nullopt;
    const std::optional<DownloadRecord> found = m_recorder.LastPass(uid, fileSha256);
    if (!found)
        return std::nullopt;
    EarlierPass pass{found->id, std::nullopt};
    if (found->hasSerial && found->serialState == SerialState::kWritten)
        pass.serial = SerialNumberText(found->serialValue, found->serialPlan.width);
    return pass;
}

std::optional<ReleaseCheck> ProgrammingStation::CheckApproval() {
    return ApprovalOf(ReadProductionSettings(SettingsPath(), nullptr));
}

std::optional<ReleaseCheck> ProgrammingStation::ApprovalOf(
    const std::optional<ProductionSettings>& production) {
    if (production && !production->on)
        return std::nullopt;
    const std::string approved = production ? production->approvedSha256 : std::string();
    // A file of the record is never opened outside the database (it would drop its locks).
    if (IsRecordFile(SettingsPath(), Path()))
        return ReleaseCheck{
            approved.empty() ? ReleaseCheck::Kind::kNoneApproved : ReleaseCheck::Kind::kOtherFile,
            approved,
            {}};
    // The file's digest as the record took it for this download, or as it is now.
    const std::string loaded = m_recording && m_recorder.Record().hexPath == Path()
                                   ? m_recorder.Record().fileSha256
                                   : HexFileSha256(Path(), m_image);
    return ::CheckRelease(approved, Path(), loaded);
}

StepResult ProgrammingStation::CheckRelease() {
    const std::optional<ReleaseCheck> check = ApprovalOf(m_run.production);
    if (!check || check->ok())
        return {};
    BeginStep("release");
    const std::string text = ReleaseRefusalText(*check);
    Log(text, kLogRed);
    return {DownloadOutcome::kBadInput, text.substr(0, text.size() - 2)};
}

StepResult ProgrammingStation::CheckPlan() {
    if (!m_run.writeSerial)
        return {};
    BeginStep("serial number check");
    return CheckSerialNumber() ? StepResult{} : Failure(DownloadOutcome::kBadInput);
}

StepResult ProgrammingStation::Handshake() {
    BeginStep("handshake");
    Log("Handshake ... \t\t", kLogBlack, true);
    StepResult result = StepEnd(m_protocol.Handshake(m_image.makerFormat ? 1 : 0));
    if (!result.ok())
        return result;
    // The module that answered is the one programmed to the end.
    m_port.HoldToOpenModule();
    RefreshStatus();
    Log("\t- Device UID = " + Latin1ToUtf8(m_strDeviceUid) + "\r\n", kLogGreen);
    if (m_port.Held()) {
        m_recorder.Record().moduleUid = Latin1ToUtf8(m_port.Held()->uid);
        m_recorder.Record().portPath = m_port.Held()->port;
    }
    return result;
}

StepResult ProgrammingStation::TakeSerialNumber() {
    if (!m_run.writeSerial)
        return {};
    BeginStep("take serial number");
    SerialRefusal refusal;
    m_run.taken = m_reservation.Reserve(refusal);
    if (m_run.taken)
        return {};
    Log("\t- No serial number for this module: " + refusal.reason +
            " (nothing was written to it)\r\n",
        kLogRed);
    return Failure(refusal.plan ? DownloadOutcome::kBadInput : DownloadOutcome::kNotRecorded);
}

StepResult ProgrammingStation::Erase() {
    BeginStep("erase");
    m_changedModule = true;
    Log("Erase ... \t\t", kLogBlack, true);
    StepResult result = StepEnd(m_protocol.EraseDevice());
    if (result.ok())
        m_observer.OnProgressShown(true);
    return result;
}

StepResult ProgrammingStation::WriteFlash() {
    BeginStep("write flash");
    Log("Write Flash ... \t\t", kLogBlack, true);
    return StepEnd(m_protocol.WriteFlash(m_image));
}

StepResult ProgrammingStation::WriteSerialNumber() {
    if (!m_run.writeSerial)
        return {};
    BeginStep("write serial number");
    const SerialPlanNumbers& sn = m_plan.Numbers();
    const std::uint32_t taken = *m_run.taken;
    Log("Write Serial Number ... \t", kLogBlack, true);
    const std::vector<std::uint8_t> bytes = SerialBytes(taken, sn.width);
    const std::uint32_t end = sn.address + static_cast<std::uint32_t>(bytes.size());
    StepResult result = StepEnd(m_protocol.WriteBlocks(CMD_WRITE, bytes.data(), sn.address, end));
    // A Stop honoured after the module acknowledged the number leaves it in the module.
    m_run.snWritten = m_protocol.HeldEnd() == end;
    if (m_run.snWritten && sn.step == 0) {
        // One number for every module: no ledger row, so the record itself holds it.
        DownloadRecord& record = m_recorder.Record();
        record.hasSerial = true;
        record.serialPlan = sn.Key();
        record.serialValue = taken;
        record.serialState = SerialState::kWritten;
    }
    if (m_run.snWritten) {
        Log("\t- Address = 0x" + HexUpper(sn.address) + ", SN = 0x" + HexUpper(taken) + "\r\n",
            kLogGreen);
    }
    return result;
}

StepResult ProgrammingStation::RunModule() {
    BeginStep("run");
    Log("Run Device ... \t\t", kLogBlack, true);
    StepResult result = StepEnd(m_protocol.RunDevice());
    if (result.ok())
        m_observer.OnProgressShown(false);
    return result;
}

void ProgrammingStation::AdvancePlanAfterRun() {
    if (!m_run.planOn || m_run.writeSerial)
        return;
    // The maker's format writes no number; the plan still advances after the run.
    m_settings.SetStoredNumber(m_plan.AdvanceAfterRun());
    if (const Status saved = m_settings.SaveNumber(m_settings.StoredNumber()); !saved.ok())
        m_run.snNotSaved = saved.text;
}

void ProgrammingStation::NoteLostModule(bool ok) {
    if (ok)
        return;
    if (const std::optional<ModuleIdentity>& other = m_port.Replacement()) {
        Log("\t- Another module (" + ModuleIdentityText(*other) + ") took the place of " +
                Latin1ToUtf8(m_port.Held()->uid) + ": nothing more was written to it\r\n",
            kLogRed);
    } else if (m_port.HeldModuleLeft()) {
        Log("\t- The module left the bus during the download: nothing more was written to it\r\n",
            kLogRed);
    }
}

void ProgrammingStation::SettleSerialNumber() {
    if (!m_run.taken)
        return;
    const SerialPlanNumbers& sn = m_plan.Numbers();
    m_lastSerial = TakenSerialNumber{
        sn.Key(), *m_run.taken, m_run.snWritten ? SerialState::kWritten : SerialState::kUsedUp};
    if (sn.step != 0)
        m_reservation.Settle(*m_run.taken, m_run.snWritten);
}

void ProgrammingStation::ShowNextNumber(bool ok) {
    if ((ok && m_run.planOn) || m_run.taken) {
        m_settings.ShowNumber(m_settings.StoredNumber());  // the next number
    } else if (m_run.planOn && m_run.writeSerial && m_recorder.Database().shared() &&
               m_plan.FollowSource(true, m_recorder.Store())) {
        m_settings.ShowNumber(m_plan.ValueText());
    }
}

void ProgrammingStation::EndDownload(StepResult result) {
    const bool ok = result.ok();
    Log("Download --- \t\t", kLogBlack, true);
    Log(ok ? "Succeed\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    if (m_run.snNotSaved) {
        Log("\t- The next serial number " + m_settings.StoredNumber() + " was not saved to " +
                SettingsPath() + ": " + *m_run.snNotSaved + "\r\n",
            kLogRed);
    }
    m_recording = false;
    m_outcome = result.code;
    if (m_flags.cancel && m_outcome == DownloadOutcome::kFailed)
        m_outcome = DownloadOutcome::kStopped;
    // The failing step's own text: the one its result gives, else what it left in the status,
    // else its first red line.
    if (result.text.empty())
        result.text = !m_strStatus.empty() ? m_strStatus : m_stepNote;
    DownloadEnding ending{
        ok,
        OutcomeClass(m_outcome, m_step, m_port.AccessProblem().has_value(), !m_port.IsOpen()),
        m_step,
        result.text,
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                              m_run.started)
            .count(),
        m_runLog};
    m_recorder.Finish(ending);
    m_recorder.CatchUp();
    m_recorder.CloseOwnRecords();
    SetBusy(false);
}
