#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ledger/record_failure.h"
#include "text/log_entry.h"

// The record of every download attempt and the ledger of the serial numbers given out. Each
// number of a plan can be recorded once only, so two loaders sharing the record can never give
// the same number to two modules.

// A number's progress: taken for a download, written into the module, or given up (the
// download failed after taking it; the number is not handed out again).
enum class SerialState { kReserved, kWritten, kUsedUp };

// "reserved", "written", "used_up": the text the record stores.
const char* SerialStateText(SerialState state);

// One ledger row: a number of a plan and the download it was given to.
struct SerialEntry {
    SerialPlanKey plan;
    std::uint32_t value = 0;
    SerialState state = SerialState::kReserved;
    std::int64_t downloadId = 0;
    std::string reservedUtc;
};

// A plan's counter shared by several stations: the number the next download takes and the step
// the last station advanced it by.
struct SerialCounter {
    std::uint32_t next = 0;
    std::uint32_t step = 0;
    bool operator==(const SerialCounter&) const = default;
};

// What a download took from a shared counter: its number, and the counter's next one.
struct TakenSerial {
    std::uint32_t value = 0;
    std::uint32_t next = 0;
    bool operator==(const TakenSerial&) const = default;
};

// Why a number could not be recorded for a download, as data (the station words it): the
// number was given before (to download `holder`), download `download` holds one already or has
// ended, or the caller's counter could not be saved (and gave no reason of its own).
struct SerialConflict {
    enum class Kind { kNone, kGivenBefore, kDownloadHoldsOne, kDownloadEnded, kNotSaved };
    Kind kind = Kind::kNone;
    SerialPlanKey plan;
    std::uint32_t value = 0;
    std::int64_t download = 0;
    std::int64_t holder = 0;
    bool operator==(const SerialConflict&) const = default;
};

// Who changed a shared counter, as the record names the station.
struct CounterStation {
    std::string host;
    std::string folder;
};

// What class of end a download came to, beside its verdict (the record's `outcome`):
//   succeeded     the module was programmed
//   failed        a module answered, then a step failed
//   stopped       stopped (Stop, a close, Ctrl+C) after a module answered
//   no_module     no module answered the handshake (the wait ran out, or it was stopped first)
//   no_access     a module was present but could not be opened (see the udev rule)
//   refused       the HEX file or the serial-number plan was refused: nothing was sent
//   not_recorded  the serial number could not be taken (the ledger or the settings store); or
//                 the record could not be begun (failing step "record"), written later from
//                 the journal
//   interrupted   the process ended before the download's end was recorded: closed by a later
//                 station on that config.ini (verdict "failed", no end time)
// Records made before loader 1.5.1 have "" (or "succeeded" for the successful ones).
inline constexpr std::array<const char*, 8> kRecordOutcomes = {
    "succeeded", "failed",  "stopped",      "no_module",
    "no_access", "refused", "not_recorded", "interrupted"};

struct DownloadRecord {
    std::int64_t id = 0;
    // The record's own identifier, made when the download begins (NewRecordKey) and unique in
    // every store: a record delivered twice (from the journal, by a retry) is written once.
    std::string recordKey;
    std::string startUtc, endUtc;  // ISO 8601 UTC with milliseconds: 2026-12-07T16:42:04.123Z
    // The station: its host, the folder of its config.ini, and that config.ini's absolute path
    // (its identity: one counter and one record per config.ini).
    std::string stationHost, stationFolder, loaderVersion;
    std::string stationConfig;
    // The process that ran the download on stationHost, and the host's boot it ran in (empty
    // where the system has no boot identifier): a record left running by a process that is
    // gone is closed as interrupted.
    std::int64_t processId = 0;
    std::string bootId;
    // When that process started and the PID namespace its id belongs to (empty where the system
    // does not tell): a process id alone may be another container's, or used again.
    std::string processStart, pidNamespace;
    std::string hexPath;      // the HEX file's path as the operator gave it
    std::string hexFile;      // the same made absolute, links resolved
    std::string fileSha256;   // of the HEX file's bytes (empty when they no longer gave the image)
    std::string imageSha256;  // of the image bytes sent, 64 lower-case hexadecimal digits
    std::uint32_t imageStart = 0, imageEnd = 0;
    std::string format;  // "plain" or "maker"
    std::string moduleUid, portPath;
    // Who programmed it: the account the loader ran as, and the badge the operator typed or
    // scanned at the shift's start.
    std::string operatorAccount, operatorBadge;
    // The number the download took, if any, read back from the ledger; or the one it wrote
    // without a ledger row (a step of 0), which FinishDownload records when it is set.
    bool hasSerial = false;
    SerialPlanKey serialPlan;
    std::uint32_t serialValue = 0;
    SerialState serialState = SerialState::kReserved;
    std::string verdict;  // "running", "succeeded" or "failed"
    std::string outcome;  // one of kRecordOutcomes once ended ("" for older records)
    // The failing step and its own status text (empty for a success).
    std::string failedStep, statusText;
    std::int64_t durationMs = 0;
    std::vector<LogEntry> log;  // the download's whole log: texts, colours and time stamps
};

// A record still running: which process on which boot runs it (or ran it).
struct RunningDownload {
    std::int64_t id = 0;
    std::int64_t processId = 0;
    std::string bootId;
    std::string processStart, pidNamespace;
    std::string recordKey;
    bool operator==(const RunningDownload&) const = default;
};

// Limits of what one record keeps. Longer texts are cut (at a character boundary); a longer
// log keeps its first entries and a last one that tells how many were left out.
inline constexpr std::size_t kMaxRecordText = 8192;
inline constexpr std::size_t kMaxRecordLogEntries = 10000;
// How long a writer waits for another process's transaction before it gives up.
inline constexpr std::chrono::milliseconds kRecordBusyTimeout{5000};

// Where the downloads are recorded. Errors are returned as values: false, 0 or nothing, with
// the failure (ledger/record_failure.h: a code and its data) in `failure` when it is given. One
// object is used by one thread at a time; other threads and processes open their own, or the
// stations of one process share one through SharedRecordStore (ledger/shared_record_store.h), a
// handle each.
class RecordStore {
  public:
    virtual ~RecordStore() = default;

    // A new record in state "running" with the fields known before the download (start time,
    // station and process, loader, HEX file, image, format, module and port); an empty start
    // time means now. Returns its id, or 0. A record whose key the store holds already is not
    // begun again: the id of the one there is returned.
    virtual std::int64_t BeginDownload(const DownloadRecord& record, RecordFailure* failure) = 0;

    // Gives `value` of `plan` to the running download in one transaction: records the number
    // (state reserved), then calls `alsoSave` (where the caller saves its advanced counter) and
    // commits only when that returns true. A number already given, a download that already
    // holds one, a database error or `alsoSave` returning false roll everything back and return
    // false; those refusals of the number are told by LastConflict (the failure's code is
    // kSerialConflict; `alsoSave`'s own reason comes back as kNotSaved). Should the commit itself
    // fail after `alsoSave`, the number is skipped, never given twice.
    virtual bool ReserveSerial(std::int64_t downloadId, SerialPlanKey plan, std::uint32_t value,
                               const std::function<bool(std::string* reason)>& alsoSave,
                               RecordFailure* failure) = 0;

    // Gives the running download the next number of the plan's shared counter, in one
    // transaction that other stations wait for: creates the counter at `start` when no station
    // has used the plan (recording `station` as its creator), records the number (state
    // reserved) and advances the counter by `step`. Nothing, with the failure (or the conflict,
    // LastConflict), when any part fails: then nothing changed.
    virtual std::optional<TakenSerial> TakeSerial(std::int64_t downloadId, SerialPlanKey plan,
                                                  std::uint32_t start, std::uint32_t step,
                                                  const CounterStation& station,
                                                  RecordFailure* failure) = 0;
    // The plan's shared counter (nothing in `counter` when no station has used the plan).
    virtual bool ReadCounter(SerialPlanKey plan, std::optional<SerialCounter>& counter,
                             RecordFailure* failure) = 0;
    // An operator's edit: sets the plan's counter to `next` and `step`, and records the change
    // with the station and the time.
    virtual bool SetCounter(SerialPlanKey plan, std::uint32_t next, std::uint32_t step,
                            const CounterStation& station, RecordFailure* failure) = 0;

    // The new state of the number the download holds. A state moves only forward (reserved to
    // written or used_up): setting the state it has already changes nothing and succeeds;
    // any other change of a final state is refused.
    virtual bool SetSerialState(std::int64_t downloadId, SerialState state,
                                RecordFailure* failure) = 0;

    // Ends a running record: end time (empty: now), verdict ("succeeded" or "failed"), outcome
    // (one of kRecordOutcomes but "interrupted"; empty: the verdict's), failing step, status
    // text, duration, module UID, port path and the log. A record is ended once.
    virtual bool FinishDownload(const DownloadRecord& record, RecordFailure* failure) = 0;

    // The records still running that stations on `host` with the config.ini `stationConfig`
    // began, oldest first.
    virtual std::optional<std::vector<RunningDownload>> Running(const std::string& host,
                                                                const std::string& stationConfig,
                                                                RecordFailure* failure) = 0;
    // Ends a running record whose process is gone, in one transaction: verdict "failed", outcome
    // "interrupted", `statusText`, no end time; the number it holds, when still reserved, used
    // up. False, with the failure, when it is not running (any more).
    virtual bool CloseInterrupted(std::int64_t id, const std::string& statusText,
                                  RecordFailure* failure) = 0;

    // One record with its number and its log.
    virtual std::optional<DownloadRecord> Get(std::int64_t id, RecordFailure* failure) = 0;
    // Calls `each` with every record started at or after `startUtc` (empty: all), oldest first,
    // read a page at a time so that memory does not grow with the store; a record's log is read
    // only `withLog`. Stops early when `each` returns false. False, with the failure, when a page
    // cannot be read (the records before it were given).
    virtual bool ForEach(const std::string& startUtc, bool withLog,
                         const std::function<bool(const DownloadRecord&)>& each,
                         RecordFailure* failure) = 0;
    // The newest record (without its log) in which the module `moduleUid` succeeded with the
    // HEX file of SHA-256 `fileSha256`, on any station; nothing in `found` when there is none.
    virtual bool LastPass(const std::string& moduleUid, const std::string& fileSha256,
                          std::optional<DownloadRecord>& found, RecordFailure* failure) = 0;
    // The ledger row of a number; nothing, with the failure, when it was never given.
    virtual std::optional<SerialEntry> FindSerial(SerialPlanKey plan, std::uint32_t value,
                                                  RecordFailure* failure) = 0;

    // The version of the record's layout.
    virtual int SchemaVersion() const = 0;
    // The database as the operator knows it, without credentials: a file's path, or
    // "PostgreSQL server HOST:PORT/DATABASE".
    virtual const std::string& Where() const = 0;
    // Why the last ReserveSerial or TakeSerial could not record its number, when the number
    // itself was refused (kNone for any other failure, and after a success).
    virtual SerialConflict LastConflict() const = 0;
    // Whether the last failure was a lost or refused connection (the store reconnects at its
    // next use), rather than a refusal of the data.
    virtual bool LostConnection() const = 0;
};

// The newest layout this program writes.
int NewestRecordSchemaVersion();

namespace sql {
class Session;
}

// The record over an open database connection, its layout brought to the newest version in one
// transaction. A database that belongs to another program or comes from a newer loader is
// refused and left as it was. Null (with the failure) on failure or for a null `session`.
std::unique_ptr<RecordStore> OpenRecordStore(std::unique_ptr<sql::Session> session,
                                             RecordFailure* failure);

// Opens, creating it when missing, the SQLite record at `path`: WAL journal, a busy timeout
// of kRecordBusyTimeout (several loaders share the file), foreign keys on, and the layout
// brought to the newest version in one transaction. A file that is no database, belongs to
// another program or comes from a newer loader is refused and left as it was. Null on
// failure.
std::unique_ptr<RecordStore> OpenSqliteRecordStore(const std::string& path, RecordFailure* failure);

// The record's file beside config.ini: the folder of its resolved file (the link's target when
// `configPath` is a symbolic link, as for its lock) joined with "records.sqlite"; empty for an
// empty `configPath`.
std::string RecordStorePathFor(const std::string& configPath);

// A new record key: 128 random bits as 32 lower-case hexadecimal digits.
std::string NewRecordKey();

// Whether `path` is one of the files of the SQLite record beside the config.ini at
// `configPath` (the database, its -wal, -shm or -journal). Nothing of the loader's may open and
// close such a file outside SQLite: on POSIX systems that drops the process's locks on it.
bool IsRecordFile(const std::string& configPath, const std::string& path);

// Now as ISO 8601 UTC with milliseconds.
std::string UtcNowIso();
