#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/boot_protocol.h"
#include "device/hid_port.h"
#include "image/hex_image.h"
#include "text/log_entry.h"
#include "ledger/database_config.h"
#include "ledger/record_journal.h"
#include "ledger/record_store.h"
#include "os/os_files.h"
#include "station/serial_plan.h"
#include "station/station_observer.h"

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

// How the last download ended, for a front end that tells more than success or failure: the
// HEX file or the serial-number plan refused, stopped (Stop, a close, Ctrl+C), or the download
// or its number could not be recorded.
enum class DownloadOutcome { kSucceeded, kFailed, kBadInput, kStopped, kNotRecorded };

// The SHA-256 of a valid image's bytes as a download sends them, in their order (the record's
// image digest).
std::string SentImageSha256(const HexImage& image);

// One programming station: everything a download needs, without a window. It owns the image,
// the port, the protocol, the serial-number plan and its rules, and the settings it keeps in
// config.ini; it runs the download sequence and tells its front end what happened through a
// StationObserver. The front end supplies the protocol's host (the window's event loop, or a
// ThreadHost on a worker thread). Stations share no mutable state: one per module may run on
// threads of its own.
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
    std::uint32_t Vid() const { return m_nVID; }
    std::uint32_t Pid() const { return m_nPID; }
    // Looks for the module and reports the status.
    void RefreshStatus();
    // Reads, checks and reports the HEX file at `path`; returns whether the image is valid.
    bool LoadHexFile(const std::string& path);
    // The HEX file a download programs (and loads again with Auto Reload).
    const std::string& Path() const { return m_path; }
    void SetPath(std::string path) { m_path = std::move(path); }
    bool AutoReload() const { return m_autoReload; }
    void SetAutoReload(bool on) { m_autoReload = on; }
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
    bool SettingsUnreadable() const { return m_settingsProblem.has_value(); }
    // The text the last step left (the reader's, the check's or the protocol's).
    const std::string& StatusText() const { return m_strStatus; }
    // The UID of the module last found, as its serial string has it (8-bit).
    const std::string& DeviceUid() const { return m_strDeviceUid; }

    // Programs one module: the whole download sequence. Returns whether it succeeded.
    bool Download();
    bool IsBusy() const { return m_bBusy; }
    DownloadOutcome LastOutcome() const { return m_outcome; }
    // The id of the last download's record (0 when it could not be recorded).
    std::int64_t LastRecordId() const { return m_record.id; }
    // How the last download's record was left: written whole; or what could not be written
    // (its end, its number's state) kept in the journal beside config.ini, which the next
    // station on that config.ini writes; or not even that (it stays "running" until a later
    // station closes it as interrupted). A download that could not be recorded at all began no
    // record: kWritten (its refusal is kept in the journal as a whole record, which the next
    // download that reaches the database records).
    enum class RecordEnd { kWritten, kKeptForLater, kLost };
    RecordEnd LastRecordEnd() const { return m_recordEnd; }
    // The last record's outcome class (one of kRecordOutcomes).
    const std::string& LastRecordOutcome() const { return m_record.outcome; }
    // The last download as its record has it (start, end, verdict, failing step and its text,
    // file and image digests), also when it could not be recorded (id 0).
    const DownloadRecord& LastRecord() const { return m_record; }
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
    // Whether the serial-number plan, if one is on, fits the loaded image (the check a download
    // makes before the handshake), with the reasons logged.
    bool PlanFits();

    // The record store that this process's stations on this config.ini share (the command
    // line's), used instead of one of the station's own; set before the first download, and
    // outliving the station. Without it the station opens its own, as the window's does.
    void ShareRecords(SharedRecordStore& records) { m_shared = &records; }

    // Saves one key of config.ini; a failure is logged once until a save succeeds again.
    void SaveSetting(const std::string& key, const std::string& value);
    void SaveSettingInt(const std::string& key, int value);

    const std::string& SettingsPath() const { return m_settingsPath; }
    const HexImage& Image() const { return m_image; }
    HexImage& Image() { return m_image; }
    CHidPort& Port() { return m_port; }
    CBootProtocol& Protocol() { return m_protocol; }

  private:
    void Log(const std::string& text, std::uint32_t color, bool timeStamp = false);
    void SetBusy(bool busy);
    bool CheckSerialNumber();
    // Tells the operator the first reason a stored serial-number text may not be written.
    void LogPlanProblem();
    // The plan's number changed: config.ini has `stored`, the front end shows it.
    void ShowSerialNumber(const std::string& stored);
    // Puts "Done" or "Fail" behind the step's heading and passes the result on.
    bool StepResult(bool ok);
    void NoteAccessProblem();
    // Whether config.ini could be read; a file that cannot be read (too large, not 8-bit text,
    // no permission) stops every download until it is mended. Tries it again first.
    bool SettingsReadable();
    // Opens the record store config.ini chooses when it is not open; false with the reason.
    bool OpenRecords(std::string* reason);
    // Closes the station's own record store (not one shared with other stations).
    void CloseOwnRecords();
    // Records what earlier downloads on this config.ini could not (the journal), and, once per
    // station, closes the records that gone processes of this config.ini left running.
    void CatchUpRecords();
    // Keeps `entry` in the journal, or, when even that fails, holds it (Hold) until it can.
    bool Keep(const JournalEntry& entry, std::string* reason);
    // Holds what neither the record nor the journal took: in the process's shared store, which
    // outlives this station, or in this station when it has its own.
    void Hold(JournalEntry entry);
    // Keeps a record's state or end that the database could not take now in the journal beside
    // config.ini; false, with the reason, when even that fails.
    bool KeepForLater(std::int64_t id, std::optional<SerialState> state, bool finish,
                      std::string* reason);
    // The running download's outcome class (kRecordOutcomes).
    std::string OutcomeClass(bool ok, const std::string& failedStep) const;
    CounterStation Station() const;
    // Takes the next serial number for this download, recorded before anything changes the
    // module, and tells the front end the number taken. The number, or nothing with the reason.
    std::optional<std::uint32_t> ReserveSerial(SerialRefusal& refusal);
    // Starts the download's record; false (the download must not go on) with a red line.
    bool BeginRecord();
    void FinishRecord(bool ok, const std::string& failedStep, std::int64_t durationMs);

    std::string m_settingsPath;
    std::string m_path;
    bool m_autoReload = false;
    std::uint32_t m_nVID = 0;
    std::uint32_t m_nPID = 0;
    SerialPlan m_plan;
    // SN_Current as this station last read or wrote it: the idle refresh follows a change.
    std::string m_storedValue;
    std::string m_strStatus;
    std::string m_strDeviceUid;
    StationObserver& m_observer;
    StationFlags& m_flags;
    HexImage m_image;
    CHidPort m_port;
    CBootProtocol m_protocol;
    bool m_bBusy = false;
    std::optional<std::string> m_settingsFailure;  // reason of the last failed save
    std::optional<HidAccessProblem> m_reportedAccess;
    // Why config.ini could not be read, and the version of the file this station last saw.
    std::optional<std::string> m_settingsProblem;
    os_files::FileVersion m_seenSettings;

    DatabaseChoice m_database;  // chosen when the record store is opened
    SharedRecordStore* m_shared = nullptr;
    std::unique_ptr<RecordStore> m_records;  // the station's own, or its handle of m_shared
    // Why the running download's record could not be begun (empty when it was).
    std::string m_recordRefusal;
    // What neither the record nor the journal could take (a full disk), for the journal, when
    // the station has a store of its own.
    std::vector<JournalEntry> m_unkept;
    // Whether this station has closed the records gone processes left running.
    bool m_closedInterrupted = false;
    RecordEnd m_recordEnd = RecordEnd::kWritten;
    DownloadRecord m_record;         // the running download's record
    std::vector<LogEntry> m_runLog;  // its log, as the front end was told it
    bool m_recording = false;
    // The first red line the running step logged (trimmed), for its record when the step left
    // no status text of its own.
    std::string m_stepNote;
    // The step a download is at, by the name its record gives it. Naming the next step clears
    // the status text (which the reader, the check and the protocol share) and the note an
    // earlier step left, so that a failure records its own text.
    class StepName {
      public:
        StepName(ProgrammingStation& station, const char* name) : m_station(station) {
            *this = name;
        }
        StepName& operator=(const char* name) {
            m_name = name;
            m_station.m_strStatus.clear();
            m_station.m_stepNote.clear();
            return *this;
        }
        operator const std::string&() const { return m_name; }

      private:
        ProgrammingStation& m_station;
        std::string m_name;
    };
    DownloadOutcome m_outcome = DownloadOutcome::kSucceeded;
    std::optional<TakenSerialNumber> m_lastSerial;
    bool m_changedModule = false;
};
