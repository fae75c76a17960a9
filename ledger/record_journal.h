#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/database_config.h"
#include "ledger/record_store.h"
#include "ledger/station_process.h"

// Durable completion of the record. What a station could not write to its record when it had
// to (a number's final state, a record's end: the database locked or out of reach, the disk
// full) is kept in a journal beside config.ini, "records.journal", and written by a later
// station on that config.ini, of any front end, after its next download. The journal is
// rewritten whole (a temporary file readable by the user only, flushed to disk, renamed into
// place) under the settings lock, so a crash leaves the old or the new journal and no station
// loses another's entries.
//
// Every write from the journal may be delivered twice (a drainer killed after its commit and
// before the journal lost the entry): a whole record is begun by its key, an end is written
// only to a running record, and a number's state only moves forward, so a second delivery
// changes nothing. One station at a time drains the journal, under "records.journal.lock".
// The journal is read only where the settings are (no link followed, no file another user may
// have written); one that cannot be read is set aside, renamed, and never blocks what follows.
//
// And a record that a process left running when it ended (killed, or its host lost power) is
// closed as "interrupted" by the next station on that config.ini on the same host, its reserved
// number used up. A record is closed so only when its process is known to be gone: started
// before this boot of the host, or no process of its id runs now. Records of other hosts, and
// of processes still running, are never touched.

// One record's writes that wait in the journal. A download refused because the database could
// not be had (out of reach, a file that cannot be opened, no connection free in time) got no
// record: its entry has id 0 and `finish` holds the whole record (the fields BeginDownload
// and FinishDownload write); it is begun and ended, with its own times and log, by the next
// download that reaches the database.
struct JournalEntry {
    std::string database;                  // the database the record is in (JournalDatabaseKey)
    std::int64_t id = 0;                   // the record's id there; 0 for a whole record
    std::optional<SerialState> state;      // the number's final state
    std::optional<DownloadRecord> finish;  // the record's end: the fields FinishDownload writes
    int failures = 0;  // catch-ups that could not write it (an unreachable database not counted)
    // A whole record stands also for this many later refusals of the same station, module and
    // cause, the last of which ended at `lastUtc`: an outage of hours keeps one entry.
    int repeats = 0;
    std::string lastUtc;
};

// The words a catch-up writes into records, given by the station (StationRecordWords in
// station/record_texts.h): the ledger words nothing itself.
class RecordWords {
  public:
    virtual ~RecordWords() = default;
    // The status text of a whole record that stands for `refusals` refusals (its own
    // included), the last ending at `lastUtc`.
    virtual std::string Repeated(const std::string& statusText, int refusals,
                                 const std::string& lastUtc) const = 0;
    // The status text of a record closed as interrupted: process `processId` ended before its
    // end was recorded; closed at `closedUtc` by process `closedBy`.
    virtual std::string Interrupted(std::int64_t processId, const std::string& closedUtc,
                                    std::int64_t closedBy) const = 0;
};

// A whole record as it is written from the journal: its end and its status text tell the
// refusals it stands for.
DownloadRecord WholeRecordOf(const JournalEntry& entry, const RecordWords& words);

// A catch-up that fails this often (the database refusing, not out of reach) gives the entry
// up, with a red line.
inline constexpr int kJournalAttempts = 20;
// The largest journal that is read or written: a journal that would grow past it keeps what it
// holds and refuses the new entry.
inline constexpr std::size_t kMaxJournalSize = 64u << 20;

// The journal beside config.ini (beside records.sqlite): "records.journal".
std::string RecordJournalPathFor(const std::string& configPath);
// How the journal names the chosen database: "records.sqlite" for the file beside it, or the
// server's name ("PostgreSQL server HOST:PORT/DATABASE").
std::string JournalDatabaseKey(const DatabaseChoice& choice);

// The journal's text, and the entries of a text: a line per field, fields escaped so that
// text of any bytes keeps to its line. What cannot be read is left out; nothing, and false, for
// a text that is no journal of this loader's (empty text is an empty journal).
std::string JournalText(const std::vector<JournalEntry>& entries);
bool ParseJournal(std::string_view text, std::vector<JournalEntry>& entries);

// Adds to the journal of the config.ini at `configPath` what the record `entry.id` still
// needs, merged with what the journal holds for it already (a whole record, id 0, is added, or
// counted as a repeat of one there of the same station, module and cause). False, with the
// failure, when the journal cannot be written. A journal that cannot be read is set aside first
// (`setAside` tells why and where to, when it is given).
bool KeepInJournal(const std::string& configPath, const JournalEntry& entry, RecordFailure* failure,
                   RecordFailure* setAside = nullptr);

// One thing to tell about an earlier record, as data (the station words it for the log).
struct CompletionNote {
    enum class Kind {
        kNotDrained,        // the journal's drain lock could not be had: `failure`
        kNotLocked,         // the settings lock could not be had for `journal`: `failure`
        kJournal,           // the journal itself: `failure` (and what became of it)
        kNotOwnRefusal,     // a whole record that is not this station's refusal: not written
        kRefusalStillKept,  // a whole record, the database out of reach: `failure`
        kRefusalGivenUp,    // a whole record the database refused too often: `failure`
        kRefusalKept,       // a whole record the database refused, kept: `failure`
        kRefusalWritten,    // a whole record, written now as download `id`
        kStillKept,         // record `id`, the database out of reach: `failure`
        kGivenUp,           // record `id`, refused too often: `failure`
        kKept,              // record `id`, refused, kept for later: `failure`
        kComplete,          // record `id` is complete now
        kRunningUnread,     // the records left running could not be read: `failure`
        kInterrupted,       // record `id`, left running by process `processId`, closed
    };
    Kind kind = Kind::kJournal;
    std::int64_t id = 0;
    std::string startUtc, portPath;  // a whole record's start and port
    RecordFailure failure;
    std::string journal;
    std::int64_t processId = 0;
    bool operator==(const CompletionNote&) const = default;
};

struct Completion {
    std::vector<CompletionNote> notes;  // one per record concerned
    bool closedInterrupted = false;     // the records left running were looked at
};

// Writes to `store` what the journal of `configPath` holds for the database `databaseKey`; then,
// with `closeInterrupted`, closes as interrupted the records that `self`'s config.ini left
// running on its host and whose process is gone. Nothing is done while another station drains
// the journal (closedInterrupted stays false). The status texts it writes are `words`'.
Completion CompleteEarlierRecords(RecordStore& store, const std::string& configPath,
                                  const std::string& databaseKey, const StationProcess& self,
                                  bool closeInterrupted, const RecordWords& words);
