#include "station/record_texts.h"

#include <cstdio>

#include "ledger/database_config.h"
#include "ledger/record_store.h"

namespace {

std::string Format(const char* pattern, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// "0x0E00/3".
std::string PlanText(SerialPlanKey plan) {
    return Format("0x%04X/%d", static_cast<unsigned>(plan.address), plan.width);
}

// "serial number 0x000005 of plan 0x0E00/3": the number as wide as the plan writes it.
std::string NumberText(SerialPlanKey plan, std::uint32_t value) {
    return Format("serial number 0x%0*X of plan ", plan.width * 2, static_cast<unsigned>(value)) +
           PlanText(plan);
}

// The database's message, or what the session saw in its place.
std::string MessageText(const RecordFailure& f) {
    using Lapse = RecordFailure::Lapse;
    const std::string seconds = std::to_string(f.seconds) + " s";
    switch (f.lapse) {
        case Lapse::kNone:
            break;
        case Lapse::kLost:
            return "the connection was lost";
        case Lapse::kNoAnswer:
            return "no answer from the server within " + seconds;
        case Lapse::kNoConnection:
            return "no connection within " + seconds;
        case Lapse::kNoMemory:
            return "out of memory";
        case Lapse::kRolledBack:
            return "the server rolled the transaction back";
        case Lapse::kSilent:
            return "no answer from the server";
    }
    return f.detail;
}

// What a call was doing when the database failed: "cannot record serial number ...".
std::string ActionText(const RecordFailure& f) {
    using Action = RecordFailure::Action;
    const std::string download = "download #" + std::to_string(f.download);
    switch (f.action) {
        case Action::kBegin:
            return "cannot start the download's record";
        case Action::kRecordNumber:
            return "cannot record " + NumberText(f.plan, f.value);
        case Action::kTakeNumber:
            return "cannot take a number of the counter of plan " + PlanText(f.plan);
        case Action::kReadCounter:
            return "cannot read the counter of plan " + PlanText(f.plan);
        case Action::kSetCounter:
            return "cannot set the counter of plan " + PlanText(f.plan);
        case Action::kChangeState:
            return "cannot change the serial number's state";
        case Action::kEnd:
            return "cannot end the record of " + download;
        case Action::kReadLog:
            return "cannot read the log of " + download;
        case Action::kReadRunning:
            return "cannot read the running downloads";
        case Action::kClose:
            return "cannot close the record of " + download;
        case Action::kReadDownload:
            return "cannot read " + download;
        case Action::kReadDownloads:
            return "cannot read the downloads";
        case Action::kReadNumber:
            return "cannot read " + NumberText(f.plan, f.value);
    }
    return {};
}

// The failure's own words, before what became of a journal set aside.
std::string CodeText(const RecordFailure& f) {
    using Code = RecordFailure::Code;
    const std::string download = "download #" + std::to_string(f.download);
    const std::string count = std::to_string(f.count);
    switch (f.code) {
        case Code::kNone:
        case Code::kSerialConflict:
            return {};
        case Code::kDatabase:
            return ActionText(f) + ": " + (f.lost ? f.where + ": " : "") + MessageText(f);
        case Code::kKeyTaken:
            return ActionText(f) + ": its key is taken, yet no record holds it";
        case Code::kNoSuchDownload:
            return "there is no " + download;
        case Code::kNoSerialHeld:
            return download + " holds no serial number";
        case Code::kStateFinal:
            return "the serial number of " + download + " is " + f.detail +
                   " already; it does not become " + f.given;
        case Code::kBadVerdict:
            return "a download ends as succeeded or failed, not \"" + f.given + "\"";
        case Code::kBadOutcome:
            return "a download that " + f.detail + " does not end as \"" + f.given + "\"";
        case Code::kAlreadyEnded:
            return download + " has already ended (" + f.detail + ")";
        case Code::kUnknownRecordState:
            return download + " has a serial number in an unknown state";
        case Code::kNotRunning:
            return download + " is not running";
        case Code::kNeverGiven:
            return NumberText(f.plan, f.value) + " was never given";
        case Code::kUnknownState:
            return NumberText(f.plan, f.value) + " is in an unknown state";
        case Code::kBadWidth:
            return "a serial number takes 1 to 4 bytes, not " + std::to_string(f.plan.width);
        case Code::kDoesNotFit:
            return Format("serial number 0x%X does not fit in %d bytes",
                          static_cast<unsigned>(f.value), f.plan.width);
        case Code::kCounterNotNumber:
            return "the counter of plan " + PlanText(f.plan) + " holds " + count +
                   ", not a serial number";
        case Code::kSaveRefused:
        case Code::kPlace:
        case Code::kConnection:
            return MessageText(f);
        case Code::kNoLibPq:
            return "libpq cannot be loaded (install the package libpq5): " +
                   (f.detail.empty() ? std::string("not found") : f.detail);
        case Code::kOldLibPq:
            return "libpq.so.5 has no " + f.detail + " (a libpq older than PostgreSQL 10?)";
        case Code::kNewerLayout:
            return f.where + " was written by a newer loader (layout version " + count +
                   ", this loader knows up to " + std::to_string(NewestRecordSchemaVersion()) + ")";
        case Code::kForeignTables:
            return f.where + " holds tables of another program";
        case Code::kLayoutStep:
            return f.where + ": cannot bring the layout to version " + count + ": " +
                   MessageText(f);
        case Code::kUnopened:
            return f.where + ": " + MessageText(f);
        case Code::kNoFile:
            return "no file is named for the download record";
        case Code::kSymbolicLink:
            return f.where + " is a symbolic link: the record is opened only where it lies";
        case Code::kConnectionString:
            return "the PostgreSQL connection string cannot be read (see libpq's \"Connection "
                   "Strings\")";
        case Code::kNoPostgres:
            return "this loader was built without PostgreSQL";
        case Code::kNoConnectionFree:
            return f.where + ": no connection to the record free within " + count + " ms" +
                   (f.detail.empty() ? std::string() : " (" + f.detail + ")");
        case Code::kNoDatabaseNamed:
            return std::string(kDatabaseEnvironment) + " names " + f.given + ", but " + f.where +
                   " names no [DATABASE]: its counter and record are in " + f.detail + " (unset " +
                   kDatabaseEnvironment + ")";
        case Code::kOtherDatabase:
            return std::string(kDatabaseEnvironment) + " names " + f.given + ", but " + f.where +
                   " names " + f.detail + " (unset " + kDatabaseEnvironment +
                   " or name the same server in config.ini)";
        case Code::kLock:
            return f.where.empty() ? f.detail : "cannot lock " + f.where + ": " + f.detail;
        case Code::kJournalUnread:
            return "cannot read " + f.where + (f.detail.empty() ? "" : ": " + f.detail);
        case Code::kJournalNotFile:
            return f.where + " is not a file";
        case Code::kJournalShared:
            return f.where + " is not this user's alone: " + f.detail;
        case Code::kJournalTooLarge:
            return f.where + " is larger than " + count + " bytes";
        case Code::kJournalForeign:
            return f.where + " was written by another program or a newer loader";
        case Code::kJournalUnwritten:
            return "cannot write " + f.where + ": " + f.detail;
        case Code::kJournalWouldGrow:
            return "cannot write " + f.where + ": it would be larger than " + count + " bytes";
    }
    return {};
}

}  // namespace

std::string RecordFailureText(const RecordFailure& failure) {
    const std::string text = CodeText(failure);
    switch (failure.setAside) {
        case RecordFailure::Aside::kNo:
            break;
        case RecordFailure::Aside::kSetAside:
            return "The records kept for later cannot be read (" + text + "): set aside as " +
                   failure.aside + "; a new journal is begun";
        case RecordFailure::Aside::kNotSetAside:
            return "The records kept for later cannot be read (" + text +
                   ") nor set aside: " + failure.aside;
    }
    return text;
}

namespace {

class StationWords final : public RecordWords {
  public:
    std::string Repeated(const std::string& statusText, int refusals,
                         const std::string& lastUtc) const override {
        return statusText + " (refused " + std::to_string(refusals) +
               " times for this cause, the last ending " + lastUtc + ")";
    }
    std::string Interrupted(std::int64_t processId, const std::string& closedUtc,
                            std::int64_t closedBy) const override {
        return "interrupted: process " + std::to_string(processId) +
               " ended before the download's end was recorded (closed " + closedUtc +
               " by process " + std::to_string(closedBy) + ")";
    }
};

}  // namespace

const RecordWords& StationRecordWords() {
    static const StationWords words;
    return words;
}

std::vector<LogEntry> RecordableLog(const std::vector<LogEntry>& log) {
    if (log.size() <= kMaxRecordLogEntries)
        return log;
    std::vector<LogEntry> kept(log.begin(), log.begin() + (kMaxRecordLogEntries - 1));
    // Appended rather than concatenated: GCC 12 at -O3 warns wrongly (-Wrestrict) on the latter.
    LogEntry lost{std::to_string(log.size() - kept.size()), kLogRed, false};
    lost.text.insert(0, 1, '(');
    lost.text.append(" more log entries were not recorded)\n");
    kept.push_back(std::move(lost));
    return kept;
}
