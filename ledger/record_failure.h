#pragma once

#include <cstdint>
#include <string>
#include <utility>

// A serial-number plan: where the number goes in flash and how many bytes (1 to 4) it takes.
struct SerialPlanKey {
    std::uint32_t address = 0;
    int width = 0;

    bool operator==(const SerialPlanKey&) const = default;
};

// Why a call of the record, its journal or the opening of its database failed, as data: a
// code, what the call was doing and what the words need. The ledger words nothing an operator
// reads; the station does (station/record_texts.h). `detail` carries the database's, the
// system's or another part's own message as it came.
struct RecordFailure {
    enum class Code {
        kNone,
        kDatabase,            // the database failed while `action`: `detail` (`where` when `lost`)
        kKeyTaken,            // beginning: the record's key is taken, yet no record holds it
        kNoSuchDownload,      // no download `download`
        kNoSerialHeld,        // download `download` holds no serial number
        kStateFinal,          // its number is `detail` already; it does not become `given`
        kBadVerdict,          // a download ends as succeeded or failed, not `given`
        kBadOutcome,          // a download that `detail` (its verdict) does not end as `given`
        kAlreadyEnded,        // download `download` has ended (verdict `detail`)
        kUnknownRecordState,  // download `download` has a serial number in an unknown state
        kNotRunning,          // download `download` is not running
        kNeverGiven,          // `value` of `plan` was never given
        kUnknownState,        // `value` of `plan` is in an unknown state
        kBadWidth,            // `plan`'s width is not 1 to 4
        kDoesNotFit,          // `value` does not fit in `plan`'s width
        kCounterNotNumber,    // the counter of `plan` holds `count`
        kSerialConflict,      // the number was refused: RecordStore::LastConflict tells why
        kSaveRefused,         // the caller's save refused: `detail` is the caller's own reason
        kNewerLayout,         // `where` has layout version `count`, newer than this loader's
        kForeignTables,       // `where` holds tables of another program
        kLayoutStep,          // `where` cannot take layout version `count`: `detail`
        kUnopened,            // `where` cannot be opened or read: `detail`
        kNoFile,              // no file is named for the record
        kPlace,               // the place refused: `detail` (the files' or settings' own words)
        kSymbolicLink,        // `where` is a symbolic link
        kConnection,          // the server could not be connected to: `detail`
        kConnectionString,    // the connection string cannot be read
        kNoLibPq,             // libpq cannot be loaded: `detail` (the dynamic linker's message)
        kOldLibPq,            // libpq lacks the call `detail`
        kNoPostgres,          // this loader was built without PostgreSQL
        kNoConnectionFree,    // `where`: none free within `count` ms (the server's `detail`)
        kNoDatabaseNamed,     // PRAVUNE_DATABASE names `given`, `where` (config.ini) none: `detail`
        kOtherDatabase,       // PRAVUNE_DATABASE names `given`, `where` (config.ini) `detail`
        kLock,                // a lock (of `where`, when named) cannot be had: `detail`
        kJournalUnread,       // the journal `where` cannot be read: `detail` (may be empty)
        kJournalNotFile,      // the journal `where` is not a file
        kJournalShared,       // the journal `where` may be written by others: `detail`
        kJournalTooLarge,     // the journal `where` is larger than `count` bytes
        kJournalForeign,      // the journal `where` is another program's or a newer loader's
        kJournalUnwritten,    // the journal `where` cannot be written: `detail`
        kJournalWouldGrow,    // the journal `where` would be larger than `count` bytes
    };
    // What the session saw in place of the database's own message (`detail` is then empty):
    // the connection lost inside a transaction, no answer or no connection within `seconds`,
    // no memory for a connection, a commit the server answered with a rollback.
    // A server's failure without a message of its own is kSilent.
    enum class Lapse { kNone, kLost, kNoAnswer, kNoConnection, kNoMemory, kRolledBack, kSilent };
    // What a kDatabase failure was doing.
    enum class Action {
        kBegin,          // starting the download's record
        kRecordNumber,   // recording `value` of `plan`
        kTakeNumber,     // taking a number of the counter of `plan`
        kReadCounter,    // reading the counter of `plan`
        kSetCounter,     // setting the counter of `plan`
        kChangeState,    // changing the serial number's state
        kEnd,            // ending the record of `download`
        kReadLog,        // reading the log of `download`
        kReadRunning,    // reading the running downloads
        kClose,          // closing the record of `download`
        kReadDownload,   // reading `download`
        kReadDownloads,  // reading the downloads
        kReadNumber,     // reading `value` of `plan`
    };

    Code code = Code::kNone;
    Action action = Action::kBegin;
    std::int64_t download = 0;
    SerialPlanKey plan{};
    std::uint32_t value = 0;
    std::int64_t count = 0;
    std::string where{};   // the database, file or folder concerned
    std::string detail{};  // the database's (or system's) own message, or what the record holds
    std::string given{};   // what the caller gave that was refused
    bool lost = false;     // the connection was lost
    Lapse lapse = Lapse::kNone;
    std::int64_t seconds = 0;
    // A journal that could not be read (the failure above) and was set aside as `aside`, or
    // stays where it is because renaming it failed (`aside` is the rename's error).
    enum class Aside { kNo, kSetAside, kNotSetAside };
    Aside setAside = Aside::kNo;
    std::string aside{};

    bool ok() const { return code == Code::kNone; }
    bool operator==(const RecordFailure&) const = default;
};

// Gives `failure` to the caller when it asked for one (`out` is not null): how every call of
// the record answers its optional failure.
inline bool Fails(RecordFailure* out, RecordFailure failure) {
    if (out)
        *out = std::move(failure);
    return false;
}
