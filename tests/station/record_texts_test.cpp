#include "station/record_texts.h"

#include <gtest/gtest.h>

#include "ledger/record_store.h"

namespace {

using Code = RecordFailure::Code;
using Action = RecordFailure::Action;

constexpr SerialPlanKey kPlan{0x0E00, 3};

// Every failure of the record in the operator's words, byte for byte: a row per code (and per
// action of a database's failure).
TEST(RecordTexts, WordsEachFailure) {
    const std::string newest = std::to_string(NewestRecordSchemaVersion());
    const std::string j = "/c/records.journal";
    const struct {
        RecordFailure failure;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{.code = Code::kSerialConflict, .download = 2, .plan = kPlan, .value = 5}, ""},
        // The database failed, while ...
        {{.code = Code::kDatabase, .action = Action::kBegin, .detail = "disk I/O error"},
         "cannot start the download's record: disk I/O error"},
        {{.code = Code::kDatabase,
          .action = Action::kRecordNumber,
          .plan = kPlan,
          .value = 5,
          .where = "PostgreSQL server db:5432/pravune",
          .lost = true,
          .lapse = RecordFailure::Lapse::kLost},
         "cannot record serial number 0x000005 of plan 0x0E00/3: PostgreSQL server "
         "db:5432/pravune: the connection was lost"},
        {{.code = Code::kDatabase, .action = Action::kTakeNumber, .plan = kPlan, .detail = "x"},
         "cannot take a number of the counter of plan 0x0E00/3: x"},
        {{.code = Code::kDatabase, .action = Action::kReadCounter, .plan = kPlan, .detail = "x"},
         "cannot read the counter of plan 0x0E00/3: x"},
        {{.code = Code::kDatabase, .action = Action::kSetCounter, .plan = kPlan, .detail = "x"},
         "cannot set the counter of plan 0x0E00/3: x"},
        {{.code = Code::kDatabase, .action = Action::kChangeState, .download = 7, .detail = "x"},
         "cannot change the serial number's state: x"},
        {{.code = Code::kDatabase, .action = Action::kEnd, .download = 7, .detail = "x"},
         "cannot end the record of download #7: x"},
        {{.code = Code::kDatabase, .action = Action::kReadLog, .download = 7, .detail = "x"},
         "cannot read the log of download #7: x"},
        {{.code = Code::kDatabase, .action = Action::kReadRunning, .detail = "x"},
         "cannot read the running downloads: x"},
        {{.code = Code::kDatabase, .action = Action::kClose, .download = 7, .detail = "x"},
         "cannot close the record of download #7: x"},
        {{.code = Code::kDatabase, .action = Action::kReadDownload, .download = 7, .detail = "x"},
         "cannot read download #7: x"},
        {{.code = Code::kDatabase, .action = Action::kReadDownloads, .detail = "x"},
         "cannot read the downloads: x"},
        {{.code = Code::kDatabase,
          .action = Action::kReadNumber,
          .plan = {0x3B00, 1},
          .value = 0xA,
          .detail = "x"},
         "cannot read serial number 0x0A of plan 0x3B00/1: x"},
        // The record refused the call.
        {{.code = Code::kKeyTaken},
         "cannot start the download's record: its key is taken, yet no record holds it"},
        {{.code = Code::kNoSuchDownload, .download = 9}, "there is no download #9"},
        {{.code = Code::kNoSerialHeld, .download = 1}, "download #1 holds no serial number"},
        {{.code = Code::kStateFinal, .download = 1, .detail = "used_up", .given = "written"},
         "the serial number of download #1 is used_up already; it does not become written"},
        {{.code = Code::kBadVerdict, .given = "running"},
         "a download ends as succeeded or failed, not \"running\""},
        {{.code = Code::kBadOutcome, .detail = "failed", .given = "exploded"},
         "a download that failed does not end as \"exploded\""},
        {{.code = Code::kAlreadyEnded, .download = 1, .detail = "failed"},
         "download #1 has already ended (failed)"},
        {{.code = Code::kUnknownRecordState, .download = 3},
         "download #3 has a serial number in an unknown state"},
        {{.code = Code::kNotRunning, .download = 4}, "download #4 is not running"},
        {{.code = Code::kNeverGiven, .plan = kPlan, .value = 7},
         "serial number 0x000007 of plan 0x0E00/3 was never given"},
        {{.code = Code::kUnknownState, .plan = kPlan, .value = 7},
         "serial number 0x000007 of plan 0x0E00/3 is in an unknown state"},
        {{.code = Code::kBadWidth, .plan = {0x0E00, 5}, .value = 1},
         "a serial number takes 1 to 4 bytes, not 5"},
        {{.code = Code::kDoesNotFit, .plan = kPlan, .value = 0x1000000},
         "serial number 0x1000000 does not fit in 3 bytes"},
        {{.code = Code::kCounterNotNumber, .plan = kPlan, .count = -1},
         "the counter of plan 0x0E00/3 holds -1, not a serial number"},
        {{.code = Code::kSaveRefused, .detail = "cannot write /c/config.ini: Permission denied"},
         "cannot write /c/config.ini: Permission denied"},
        // Opening the database.
        {{.code = Code::kNewerLayout, .count = 9, .where = "/c/records.sqlite"},
         "/c/records.sqlite was written by a newer loader (layout version 9, this loader knows up "
         "to " +
             newest + ")"},
        {{.code = Code::kForeignTables, .where = "/c/records.sqlite"},
         "/c/records.sqlite holds tables of another program"},
        {{.code = Code::kLayoutStep, .count = 3, .where = "/c/records.sqlite", .detail = "full"},
         "/c/records.sqlite: cannot bring the layout to version 3: full"},
        {{.code = Code::kUnopened,
          .where = "/c/records.sqlite",
          .detail = "file is not a database"},
         "/c/records.sqlite: file is not a database"},
        {{.code = Code::kNoFile}, "no file is named for the download record"},
        {{.code = Code::kPlace, .detail = "/c is writable by others"}, "/c is writable by others"},
        {{.code = Code::kSymbolicLink, .where = "/c/records.sqlite"},
         "/c/records.sqlite is a symbolic link: the record is opened only where it lies"},
        {{.code = Code::kConnection, .detail = "FATAL: role \"x\" does not exist"},
         "FATAL: role \"x\" does not exist"},
        // What the session saw in place of a database's message.
        {{.code = Code::kConnection, .lapse = RecordFailure::Lapse::kNoConnection, .seconds = 5},
         "no connection within 5 s"},
        {{.code = Code::kConnection, .lapse = RecordFailure::Lapse::kNoMemory}, "out of memory"},
        {{.code = Code::kConnection, .lapse = RecordFailure::Lapse::kSilent},
         "no answer from the server"},
        {{.code = Code::kDatabase,
          .action = Action::kEnd,
          .download = 7,
          .lapse = RecordFailure::Lapse::kNoAnswer,
          .seconds = 35},
         "cannot end the record of download #7: no answer from the server within 35 s"},
        {{.code = Code::kDatabase,
          .action = Action::kEnd,
          .download = 7,
          .lapse = RecordFailure::Lapse::kRolledBack},
         "cannot end the record of download #7: the server rolled the transaction back"},
        {{.code = Code::kConnectionString},
         "the PostgreSQL connection string cannot be read (see libpq's \"Connection Strings\")"},
        {{.code = Code::kNoLibPq, .detail = "libpq.so.5: cannot open shared object file"},
         "libpq cannot be loaded (install the package libpq5): libpq.so.5: cannot open shared "
         "object file"},
        {{.code = Code::kNoLibPq},
         "libpq cannot be loaded (install the package libpq5): not found"},
        {{.code = Code::kOldLibPq, .detail = "PQconnectStartParams"},
         "libpq.so.5 has no PQconnectStartParams (a libpq older than PostgreSQL 10?)"},
        {{.code = Code::kNoPostgres}, "this loader was built without PostgreSQL"},
        {{.code = Code::kNoConnectionFree, .count = 200, .where = "records.sqlite"},
         "records.sqlite: no connection to the record free within 200 ms"},
        {{.code = Code::kNoConnectionFree,
          .count = 15000,
          .where = "PostgreSQL server db:5432/p",
          .detail = "sorry, too many clients already"},
         "PostgreSQL server db:5432/p: no connection to the record free within 15000 ms (sorry, "
         "too many clients already)"},
        {{.code = Code::kNoDatabaseNamed,
          .where = "/c/config.ini",
          .detail = "/c/records.sqlite",
          .given = "PostgreSQL server db:5432/p"},
         "PRAVUNE_DATABASE names PostgreSQL server db:5432/p, but /c/config.ini names no "
         "[DATABASE]: its counter and record are in /c/records.sqlite (unset PRAVUNE_DATABASE)"},
        {{.code = Code::kOtherDatabase,
          .where = "/c/config.ini",
          .detail = "PostgreSQL server db:5432/p",
          .given = "PostgreSQL server other:5432/p"},
         "PRAVUNE_DATABASE names PostgreSQL server other:5432/p, but /c/config.ini names "
         "PostgreSQL server db:5432/p (unset PRAVUNE_DATABASE or name the same server in "
         "config.ini)"},
        // The journal.
        {{.code = Code::kLock, .detail = "busy"}, "busy"},
        {{.code = Code::kLock, .where = "/c/config.ini", .detail = "held by another loader"},
         "cannot lock /c/config.ini: held by another loader"},
        {{.code = Code::kJournalUnread, .where = j, .detail = "Permission denied"},
         "cannot read " + j + ": Permission denied"},
        {{.code = Code::kJournalUnread, .where = j}, "cannot read " + j},
        {{.code = Code::kJournalNotFile, .where = j}, j + " is not a file"},
        {{.code = Code::kJournalShared, .where = j, .detail = "mode 0666"},
         j + " is not this user's alone: mode 0666"},
        {{.code = Code::kJournalTooLarge, .count = 67108864, .where = j},
         j + " is larger than 67108864 bytes"},
        {{.code = Code::kJournalForeign, .where = j},
         j + " was written by another program or a newer loader"},
        {{.code = Code::kJournalUnwritten, .where = j, .detail = "No space left on device"},
         "cannot write " + j + ": No space left on device"},
        {{.code = Code::kJournalWouldGrow, .count = 67108864, .where = j},
         "cannot write " + j + ": it would be larger than 67108864 bytes"},
        {{.code = Code::kJournalForeign,
          .where = j,
          .setAside = RecordFailure::Aside::kSetAside,
          .aside = j + ".unreadable-1"},
         "The records kept for later cannot be read (" + j +
             " was written by another program or a newer loader): set aside as " + j +
             ".unreadable-1; a new journal is begun"},
        {{.code = Code::kJournalNotFile,
          .where = j,
          .setAside = RecordFailure::Aside::kNotSetAside,
          .aside = "Permission denied"},
         "The records kept for later cannot be read (" + j +
             " is not a file) nor set aside: Permission denied"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RecordFailureText(c.failure), c.text);
}

// The status texts a catch-up writes into records.
TEST(RecordTexts, WordsTheCatchUpsStatusTexts) {
    const RecordWords& words = StationRecordWords();
    EXPECT_EQ(words.Repeated("The download cannot be recorded", 6, "2026-12-07T16:42:04.123Z"),
              "The download cannot be recorded (refused 6 times for this cause, the last ending "
              "2026-12-07T16:42:04.123Z)");
    EXPECT_EQ(words.Interrupted(4242, "2026-12-07T16:43:00.000Z", 77),
              "interrupted: process 4242 ended before the download's end was recorded (closed "
              "2026-12-07T16:43:00.000Z by process 77)");
}

}  // namespace

// A log too long for a record keeps its first entries and says, last, how many it lost.
TEST(RecordTexts, CutsALogTooLongForARecord) {
    const LogEntry line{"line\n", kLogBlack, false};
    EXPECT_EQ(RecordableLog(std::vector<LogEntry>(kMaxRecordLogEntries, line)).size(),
              kMaxRecordLogEntries);
    const std::vector<LogEntry> cut =
        RecordableLog(std::vector<LogEntry>(kMaxRecordLogEntries + 5, line));
    ASSERT_EQ(cut.size(), kMaxRecordLogEntries);
    EXPECT_EQ(cut[kMaxRecordLogEntries - 2], line);
    EXPECT_EQ(cut.back(), (LogEntry{"(6 more log entries were not recorded)\n", kLogRed}));
}
