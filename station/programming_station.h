#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/boot_protocol.h"
#include "device/hid_port.h"
#include "image/hex_image.h"
#include "ledger/record_store.h"
#include "station/download_recorder.h"
#include "station/production_line.h"
#include "station/release_approval.h"
#include "station/serial_plan.h"
#include "station/serial_reservation.h"
#include "station/station_observer.h"
#include "station/station_settings.h"
#include "text/log_entry.h"
#include "text/result.h"

class SharedRecordStore;

// The status colours: a module present, and none.
inline constexpr std::uint32_t kStatusFound = 0x008000;
inline constexpr std::uint32_t kStatusAbsent = 0xB86305;

// The download's two flags, shared by the station, its protocol and the host that runs it:
// `cancel` (Stop, a close, Ctrl+C) and `tick` (the handshake timer). Atomic, so that another
// thread may cancel a station running on a worker.
struct StationFlags {
    std::atomic<bool> cancel{false};
    std::atomic<bool> tick{false};
};

// What one step of a download came to: kSucceeded to go on, else the download's outcome; with
// the status text the step left.
using StepResult = Result<DownloadOutcome>;

// One programming station: everything a download needs, without a window. It owns the image,
// the port, the protocol and the serial-number plan, with its settings (StationSettings), its
// record (DownloadRecorder) and its numbers (SerialReservation); it runs the download sequence and
// tells its front end what happened through a StationObserver. The front end supplies the
// protocol's host (the window's event loop, or a ThreadHost on a worker thread). Stations share no
// mutable state: one per module may run on threads of its own.
class ProgrammingStation {
  public:
    ProgrammingStation(HidPlatform& platform, std::string settingsPath, StationObserver& observer,
                       BootHost& host, StationFlags& flags);
    ProgrammingStation(const ProgrammingStation&) = delete;
    ProgrammingStation& operator=(const ProgrammingStation&) = delete;

    // Start-up: reads every key of config.ini (the read order of the window) into the station's
    // settings and its plan, tells the operator about stored serial-number texts the plan cannot
    // write, and tells the front end what config.ini holds (OnSettingsRead), which it also
    // returns. The front end then applies the bootloader identifiers and loads the file.
    StoredSettings ReadSettings();

    // The bootloader identifiers from their texts: each text of exactly four characters is
    // parsed and saved; the port is pointed at them when they changed.
    void ApplyBootloaderId(const std::string& vidText, const std::string& pidText);
    std::uint32_t Vid() const { return m_settings.Vid(); }
    std::uint32_t Pid() const { return m_settings.Pid(); }
    // Looks for the module and reports the status.
    void RefreshStatus();
    // Reads, checks and reports the HEX file at `path`; returns whether the image is valid.
    bool LoadHexFile(const std::string& path);
    // The HEX file a download programs (and loads again with Auto Reload).
    const std::string& Path() const { return m_settings.HexPath(); }
    void SetPath(std::string path) { m_settings.SetHexPath(std::move(path)); }
    bool AutoReload() const { return m_settings.AutoReload(); }
    void SetAutoReload(bool on) { m_settings.SetAutoReload(on); }
    SerialPlan& Plan() { return m_plan; }
    const SerialPlan& Plan() const { return m_plan; }
    // An operator's edit of the serial-number plan's `edited` field (see SerialPlan::Edit);
    // warnings go to the observer. Only the edited field's key is saved: the number in
    // config.ini is written only when the operator edits the number, so a window never writes
    // back a number another front end has moved on from.
    void EditSerialPlan(SerialPlanFields& fields, const SerialPlanFields& before, SnField edited);
    // The idle refresh's look at config.ini: when another front end changed the file since this
    // station last saw it, the plan's number follows it (OnSerialNumber; and a file that could
    // not be read is read again once it can be). One stat of the file when nothing changed.
    void FollowSettings();
    // Whether config.ini could not be read when the settings were last read or followed (a
    // download then refuses every module until it can).
    bool SettingsUnreadable() const { return m_settings.Unreadable(); }
    // The text the last step left (the reader's, the check's or the protocol's).
    const std::string& StatusText() const { return m_strStatus; }
    // Why the last load of the HEX file failed as the command line and the record tell it: the
    // status text with the line and the cause the reader found (the window shows the text alone).
    std::string LoadFailureText() const;
    // The UID of the module last found, as its serial string has it (8-bit).
    const std::string& DeviceUid() const { return m_strDeviceUid; }
    // The last download that programmed the module `uid` with the release file of SHA-256
    // `fileSha256`, as the record has it (any station of the record); nothing when there is none
    // or the record cannot tell.
    std::optional<EarlierPass> FindEarlierPass(const std::string& uid,
                                               const std::string& fileSha256);
    HidPlatform& Platform() { return m_platform; }
    // Keeps the record open between downloads (see DownloadRecorder::KeepOpen).
    void KeepRecordsOpen(bool keep) { m_recorder.KeepOpen(keep); }
    // The module the last status refresh found, with its port, if any.
    std::optional<ModuleIdentity> PresentModule() const { return m_port.OpenModule(); }

    // Programs one module: the whole download sequence. Returns whether it succeeded.
    bool Download();
    bool IsBusy() const { return m_bBusy; }
    DownloadOutcome LastOutcome() const { return m_outcome; }
    // The id of the last download's record (0 when it could not be recorded).
    std::int64_t LastRecordId() const { return m_recorder.Record().id; }
    // How the last download's record was left (see RecordEnd).
    using RecordEnd = ::RecordEnd;
    RecordEnd LastRecordEnd() const { return m_recorder.End(); }
    // The last record's outcome class (one of kRecordOutcomes).
    const std::string& LastRecordOutcome() const { return m_recorder.Record().outcome; }
    // The last download as its record has it (start, end, verdict, failing step and its text,
    // file and image digests), also when it could not be recorded (id 0).
    const DownloadRecord& LastRecord() const { return m_recorder.Record(); }
    // The serial number the last download took, if any, and what became of it.
    struct TakenSerialNumber {
        SerialPlanKey plan;
        std::uint32_t value = 0;
        SerialState state = SerialState::kReserved;
    };
    const std::optional<TakenSerialNumber>& LastSerial() const { return m_lastSerial; }
    // Whether the last download sent the module anything that changes it (the erase onward):
    // one that did not may be tried again as it is.
    bool LastDownloadChangedModule() const { return m_changedModule; }
    // With production mode on in config.ini: whether the loaded file is the approved release, as
    // its bytes are on disk now (a config.ini that cannot be read approves nothing). Nothing
    // with production mode off.
    std::optional<ReleaseCheck> CheckApproval();
    // Whether the serial-number plan, if one is on, fits the loaded image (the check a download
    // makes before the handshake), with the reasons logged.
    bool PlanFits();

    // The record store that this process's stations on this config.ini share (the command
    // line's), used instead of one of the station's own; set before the first download, and
    // outliving the station. Without it the station opens its own, as the window's does.
    void ShareRecords(SharedRecordStore& records) { m_recorder.Share(records); }

    // Saves one key of config.ini; a failure is logged once until a save succeeds again.
    void SaveSetting(const std::string& key, const std::string& value) {
        m_settings.Save(key, value);
    }
    void SaveSettingInt(const std::string& key, int value) {
        SaveSetting(key, std::to_string(value));
    }

    const std::string& SettingsPath() const { return m_settings.Path(); }
    const HexImage& Image() const { return m_image; }
    HexImage& Image() { return m_image; }
    CHidPort& Port() { return m_port; }
    CBootProtocol& Protocol() { return m_protocol; }

  private:
    void Log(const std::string& text, std::uint32_t color, bool timeStamp = false);
    void SetBusy(bool busy);
    bool CheckSerialNumber();
    void NoteAccessProblem();
    // Whether config.ini could be read; a file that cannot be read (too large, not 8-bit text,
    // no permission) stops every download until it is mended. Tries it again first.
    bool SettingsReadable();

    // The download sequence, a step at a time. A step that applies names itself (BeginStep)
    // and returns what it came to; one that does not apply returns success without a name.
    using Step = StepResult (ProgrammingStation::*)();
    void BeginStep(const char* name);
    // Puts "Done" or "Fail" behind the step's heading; a failure is the download's `failure`.
    StepResult StepEnd(bool ok, DownloadOutcome failure = DownloadOutcome::kFailed);
    StepResult Failure(DownloadOutcome outcome) { return {outcome, m_strStatus}; }
    void StartDownload();
    StepResult LoadImage();
    StepResult RefuseUnreadSettings();
    StepResult CheckRelease();
    std::optional<ReleaseCheck> ApprovalOf(const std::optional<ProductionSettings>& production);
    StepResult CheckPlan();
    StepResult Handshake();
    StepResult TakeSerialNumber();
    StepResult Erase();
    StepResult WriteFlash();
    StepResult WriteSerialNumber();
    StepResult RunModule();
    // After the steps: the plan's advance where no number was written, what became of the
    // module and of its number, the number the field shows next, and the record's end.
    void AdvancePlanAfterRun();
    void NoteLostModule(bool ok);
    void SettleSerialNumber();
    void ShowNextNumber(bool ok);
    void EndDownload(StepResult result);

    HidPlatform& m_platform;
    StationObserver& m_observer;
    StationFlags& m_flags;
    SerialPlan m_plan;
    StationSettings m_settings;
    DownloadRecorder m_recorder;
    SerialReservation m_reservation;
    std::string m_strStatus;
    std::string m_strDeviceUid;
    HexImage m_image;
    CHidPort m_port;
    CBootProtocol m_protocol;
    bool m_bBusy = false;
    std::optional<HidAccessProblem> m_reportedAccess;

    // The running download: its start, what its steps found, and its log as the front end was
    // told it.
    struct Run {
        std::chrono::steady_clock::time_point started;
        bool settingsRead = true;
        bool planOn = false;       // a serial-number plan is on
        bool writeSerial = false;  // and this image takes its number
        std::optional<std::uint32_t> taken;
        bool snWritten = false;
        std::optional<std::string> snNotSaved;
        // Production mode as config.ini had it when the download began (none: it was unread).
        std::optional<ProductionSettings> production;
    };
    Run m_run;
    std::vector<LogEntry> m_runLog;
    bool m_recording = false;
    // The step a download is at, by the name its record gives it, and the first red line it
    // logged (trimmed), for its record when the step left no status text of its own.
    std::string m_step;
    std::string m_stepNote;
    DownloadOutcome m_outcome = DownloadOutcome::kSucceeded;
    std::optional<TakenSerialNumber> m_lastSerial;
    bool m_changedModule = false;
};
