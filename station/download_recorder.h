#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/hex_image.h"
#include "ledger/database_config.h"
#include "ledger/record_journal.h"
#include "ledger/record_store.h"
#include "station/station_observer.h"

class SharedRecordStore;

// How the last download ended, for a front end that tells more than success or failure: the
// HEX file or the serial-number plan refused, stopped (Stop, a close, Ctrl+C), or the download
// or its number could not be recorded.
enum class DownloadOutcome { kSucceeded, kFailed, kBadInput, kStopped, kNotRecorded };

// How a download's record was left: written whole; or what could not be written (its end, its
// number's state) kept in the journal beside config.ini, which the next station on that
// config.ini writes; or not even that (it stays "running" until a later station closes it as
// interrupted). A download that could not be recorded at all began no record: kWritten (its
// refusal is kept in the journal as a whole record, which the next download that reaches the
// database records).
enum class RecordEnd { kWritten, kKeptForLater, kLost };

// The outcome class (one of kRecordOutcomes) of a download that came to `outcome` at
// `failedStep`; a handshake without an answer is told apart by the port: no access to the
// module, or no module.
std::string OutcomeClass(DownloadOutcome outcome, const std::string& failedStep, bool noAccess,
                         bool noModule);

// The SHA-256 of a valid image's bytes as a download sends them, in their order (the record's
// image digest).
std::string SentImageSha256(const HexImage& image);

// What a red line says, without its layout: for a step's record.
std::string NoteText(std::string_view text);

// The log's line (without its line end) about an earlier record that a catch-up wrote, or
// could not, and whether it is good news (green).
std::string CompletionNoteText(const CompletionNote& note);
bool CompletionNoteOk(const CompletionNote& note);

// A download's end as its record has it.
struct DownloadEnding {
    bool ok = false;
    std::string outcome;     // OutcomeClass
    std::string failedStep;  // the step it was at
    std::string statusText;  // that step's own text
    std::int64_t durationMs = 0;
    std::vector<LogEntry> log;
};

// The record of a station's downloads: every attempt begun before anything is sent and ended
// after; what the database cannot take now kept in the journal beside config.ini (or held in
// memory when even that fails), and written by a later download's catch-up.
class DownloadRecorder {
  public:
    using LogFn = std::function<void(const std::string& text, std::uint32_t color)>;

    DownloadRecorder(std::string settingsPath, StationObserver& observer, LogFn log);
    ~DownloadRecorder();

    // The record store that this process's stations on this config.ini share, used instead of
    // one of the recorder's own.
    void Share(SharedRecordStore& records) { m_shared = &records; }

    // Starts the download's record for the HEX file at `hexPath` and its `image`, programmed by
    // the shift's `operatorBadge`; false (the download must not go on) with a red line.
    bool Begin(const std::string& hexPath, const HexImage& image,
               const std::string& operatorBadge = {});
    // Ends it; a download refused for want of its record is kept in the journal whole.
    void Finish(const DownloadEnding& ending);
    // Records what earlier downloads on this config.ini could not (the journal), and, once per
    // recorder, closes the records that gone processes of this config.ini left running; only
    // after a download that was recorded.
    void CatchUp();
    // Closes the recorder's own record store (not one shared with other stations).
    void CloseOwnRecords();
    // Keeps its own connection between downloads (production mode, where the window opens no
    // file of its folder): a module's arrival then waits for no opening of the record.
    void KeepOpen(bool keep) {
        m_keepOpen = keep;
        if (!keep)
            CloseOwnRecords();
    }
    // Between downloads: the newest record of the module `uid` succeeding with the file of
    // SHA-256 `fileSha256` (RecordStore::LastPass); nothing when there is none or the record
    // cannot be read.
    std::optional<DownloadRecord> LastPass(const std::string& uid, const std::string& fileSha256);
    // Keeps the running record's number state, or its end (`finish`), that the database could
    // not take now in the journal; false, with the failure, when even that fails.
    bool KeepForLater(std::optional<SerialState> state, bool finish, RecordFailure* failure);

    // The running (or last) download's record; its store while a download runs.
    DownloadRecord& Record() { return m_record; }
    const DownloadRecord& Record() const { return m_record; }
    RecordStore* Store() { return m_records.get(); }
    const DatabaseChoice& Database() const { return m_database; }
    RecordEnd End() const { return m_end; }
    // The station as a shared counter names it.
    CounterStation Station() const;

  private:
    bool OpenRecords(RecordFailure* failure);
    bool Keep(const JournalEntry& entry, RecordFailure* failure);
    void Hold(JournalEntry entry);
    void Tell(const std::string& text);  // a red line of the log, kept out of the record

    std::string m_settingsPath;
    StationObserver& m_observer;
    LogFn m_log;
    DatabaseChoice m_database;  // chosen when the record store is opened
    SharedRecordStore* m_shared = nullptr;
    bool m_keepOpen = false;
    std::unique_ptr<RecordStore> m_records;  // the recorder's own, or its handle of m_shared
    // Why the running download's record could not be begun (empty when it was).
    std::string m_refusal;
    // What neither the record nor the journal could take (a full disk), for the journal, when
    // the recorder has a store of its own.
    std::vector<JournalEntry> m_unkept;
    // Whether this recorder has closed the records gone processes left running.
    bool m_closedInterrupted = false;
    RecordEnd m_end = RecordEnd::kWritten;
    DownloadRecord m_record;  // the running download's record
};
