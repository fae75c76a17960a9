#include "station/download_recorder.h"

#include <algorithm>
#include <utility>

#include "image/image_check.h"
#include "ledger/file_sha256.h"
#include "ledger/sha256.h"
#include "ledger/shared_record_store.h"
#include "os/os_files.h"
#include "pravune_version.h"
#include "settings/settings_store.h"
#include "station/record_texts.h"
#include "text/log_entry.h"

std::string NoteText(std::string_view text) {
    const std::size_t first = text.find_first_not_of("\r\n\t -");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of("\r\n\t ");
    return std::string(text.substr(first, last + 1 - first));
}

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

std::string OutcomeClass(DownloadOutcome outcome, const std::string& failedStep, bool noAccess,
                         bool noModule) {
    switch (outcome) {
        case DownloadOutcome::kSucceeded:
            return "succeeded";
        case DownloadOutcome::kBadInput:
            return "refused";
        case DownloadOutcome::kNotRecorded:
            return "not_recorded";
        case DownloadOutcome::kFailed:
        case DownloadOutcome::kStopped:
            break;
    }
    // The handshake ends only with an answer or a cancel: without an answer, was a module
    // there to give one?
    if (failedStep == "handshake") {
        if (noAccess)
            return "no_access";
        if (noModule)
            return "no_module";
    }
    return outcome == DownloadOutcome::kStopped ? "stopped" : "failed";
}

std::string CompletionNoteText(const CompletionNote& note) {
    using Kind = CompletionNote::Kind;
    const std::string record = "\t- The record of download #" + std::to_string(note.id) + " ";
    const std::string refusal =
        "\t- The record of the download refused at " + note.startUtc + " (" + note.portPath + ") ";
    const std::string reason = RecordFailureText(note.failure);
    switch (note.kind) {
        case Kind::kNotDrained:
            return "\t- The records kept for later cannot be written now: " + reason;
        case Kind::kNotLocked:
            return "\t- The records kept for later in " + note.journal +
                   " cannot be written now: " + reason;
        case Kind::kJournal:
            return "\t- " + reason;
        case Kind::kNotOwnRefusal:
            return refusal + "is not a refusal of this station's: it is not written";
        case Kind::kRefusalStillKept:
            return refusal + "is still kept for later: " + reason;
        case Kind::kRefusalGivenUp:
            return refusal + "cannot be written: " + reason;
        case Kind::kRefusalKept:
            return refusal + "cannot be written yet: " + reason + " (kept for later)";
        case Kind::kRefusalWritten:
            return refusal + "is written now: download #" + std::to_string(note.id);
        case Kind::kStillKept:
            return record + "is still kept for later: " + reason;
        case Kind::kGivenUp:
            return record + "cannot be completed: " + reason;
        case Kind::kKept:
            return record + "cannot be completed yet: " + reason + " (kept for later)";
        case Kind::kComplete:
            return record + "is complete now";
        case Kind::kRunningUnread:
            return "\t- The downloads left running cannot be looked at: " + reason;
        case Kind::kInterrupted:
            return record + "was left running by process " + std::to_string(note.processId) +
                   ", which has ended: recorded as interrupted, its serial number (if any) used "
                   "up";
    }
    return {};
}

bool CompletionNoteOk(const CompletionNote& note) {
    return note.kind == CompletionNote::Kind::kRefusalWritten ||
           note.kind == CompletionNote::Kind::kComplete;
}

DownloadRecorder::DownloadRecorder(std::string settingsPath, StationObserver& observer, LogFn log)
    : m_settingsPath(std::move(settingsPath)), m_observer(observer), m_log(std::move(log)) {}

DownloadRecorder::~DownloadRecorder() = default;

void DownloadRecorder::Tell(const std::string& text) {
    m_observer.OnLog({text, kLogRed, false});
}

bool DownloadRecorder::OpenRecords(RecordFailure* failure) {
    if (m_records)
        return true;
    if (m_shared) {
        m_database = m_shared->Choice();
        m_records = m_shared->Handle(failure);
        return m_records != nullptr;
    }
    m_database = ChooseDatabase(m_settingsPath);
    m_records = OpenChosenRecordStore(m_database, m_settingsPath, failure);
    return m_records != nullptr;
}

void DownloadRecorder::CloseOwnRecords() {
    // A station of its own keeps no connection to the record while it is idle: its front end
    // (a window's file dialog) may then open and close any file of its folder, which on POSIX
    // systems would drop the locks SQLite holds on the record for this process. A store shared
    // with other stations is the front end's to keep.
    if (!m_shared && !m_keepOpen)
        m_records.reset();
}

std::optional<DownloadRecord> DownloadRecorder::LastPass(const std::string& uid,
                                                         const std::string& fileSha256) {
    std::optional<DownloadRecord> found;
    if (!OpenRecords(nullptr) || !m_records->LastPass(uid, fileSha256, found, nullptr))
        found.reset();
    CloseOwnRecords();
    return found;
}

CounterStation DownloadRecorder::Station() const {
    return {m_record.stationHost, m_record.stationFolder};
}

bool DownloadRecorder::KeepForLater(std::optional<SerialState> state, bool finish,
                                    RecordFailure* failure) {
    JournalEntry entry{JournalDatabaseKey(m_database), m_record.id, state, std::nullopt, 0, 0, {}};
    if (finish)
        entry.finish = m_record;
    if (Keep(entry, failure)) {
        if (m_end == RecordEnd::kWritten)
            m_end = RecordEnd::kKeptForLater;
        return true;
    }
    m_end = RecordEnd::kLost;
    return false;
}

bool DownloadRecorder::Keep(const JournalEntry& entry, RecordFailure* failure) {
    RecordFailure aside;
    const bool kept = KeepInJournal(m_settingsPath, entry, failure, &aside);
    if (!aside.ok())
        Tell("\t- " + RecordFailureText(aside) + "\r\n");
    if (!kept)
        Hold(entry);
    return kept;
}

void DownloadRecorder::Hold(JournalEntry entry) {
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

void DownloadRecorder::CatchUp() {
    if (!m_records || m_record.id == 0)
        return;
    // What even the journal could not take (a full disk) goes there first, now that it may.
    std::vector<JournalEntry> held = m_shared ? m_shared->TakeHeld() : std::exchange(m_unkept, {});
    for (JournalEntry& entry : held) {
        if (!KeepInJournal(m_settingsPath, entry, nullptr))
            Hold(std::move(entry));
    }
    const Completion done = CompleteEarlierRecords(
        *m_records, m_settingsPath, JournalDatabaseKey(m_database),
        ThisStationProcess(m_settingsPath), !m_closedInterrupted, StationRecordWords());
    m_closedInterrupted = m_closedInterrupted || done.closedInterrupted;
    for (const CompletionNote& note : done.notes)
        m_log(CompletionNoteText(note) + "\r\n", CompletionNoteOk(note) ? kLogGreen : kLogRed);
}

bool DownloadRecorder::Begin(const std::string& hexPath, const HexImage& image,
                             const std::string& operatorBadge) {
    m_record = DownloadRecord{};
    m_end = RecordEnd::kWritten;
    m_refusal.clear();
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
    m_record.operatorAccount = os_files::AccountName();
    m_record.operatorBadge = operatorBadge;
    m_record.hexPath = hexPath;
    m_record.hexFile = os_files::AbsolutePath(hexPath);
    // The bytes of the file the image came from, as `sha256sum` shows them.
    if (!IsRecordFile(m_settingsPath, hexPath))
        m_record.fileSha256 = HexFileSha256(hexPath, image);
    if (image.valid) {
        m_record.imageSha256 = SentImageSha256(image);
        m_record.imageStart = image.start;
        m_record.imageEnd = image.end;
    }
    m_record.format = image.makerFormat ? "maker" : "plain";
    RecordFailure failure;
    // What earlier downloads kept for later is written after this one (CatchUp), so that it
    // never delays a module waiting for its handshake.
    if (OpenRecords(&failure)) {
        if ((m_record.id = m_records->BeginDownload(m_record, &failure)) != 0)
            return true;
    }
    // Opened again at the next download, when the database may be back; a connection
    // reconnects by itself.
    if (!m_records || !m_records->LostConnection())
        m_records.reset();
    m_refusal =
        "The download cannot be recorded in " + m_database.name + ": " + RecordFailureText(failure);
    m_log(m_refusal + "\r\n", kLogRed);
    return false;
}

void DownloadRecorder::Finish(const DownloadEnding& ending) {
    // Filled also when nothing could be recorded: the front end reports the download from it.
    // A download refused for want of its record is recorded whole, later.
    const bool whole = m_record.id == 0 && !m_refusal.empty();
    m_record.endUtc = UtcNowIso();  // the true end, also when the end is written later
    m_record.verdict = ending.ok ? "succeeded" : "failed";
    m_record.outcome = ending.outcome;
    m_record.failedStep = ending.ok ? std::string() : ending.failedStep;
    m_record.statusText = ending.ok ? std::string() : ending.statusText;
    m_record.durationMs = ending.durationMs;
    if (!whole && (!m_records || m_record.id == 0))
        return;
    m_record.log = RecordableLog(ending.log);
    if (whole) {
        m_record.failedStep = "record";
        m_record.statusText = NoteText(m_refusal);
        RecordFailure why;
        const JournalEntry entry{
            JournalDatabaseKey(m_database), 0, std::nullopt, m_record, 0, 0, {}};
        const bool later = Keep(entry, &why);
        Tell(later ? "\t- This refusal is kept for later: it is recorded at the "
                     "next download that reaches " +
                         m_database.name + "\r\n"
                   : "\t- This refusal could not be kept for later either: " +
                         RecordFailureText(why) + "\r\n");
        return;
    }
    RecordFailure failure;
    if (!m_records->FinishDownload(m_record, &failure)) {
        // Kept in the journal beside config.ini: the next station on it writes it.
        RecordFailure why;
        const bool later = KeepForLater(std::nullopt, true, &why);
        Tell("\t- The end of this download was not recorded: " + RecordFailureText(failure) +
             (later ? " (kept for later: it is recorded at the next download)"
                    : " (and it could not be kept for later: " + RecordFailureText(why) + ")") +
             "\r\n");
    }
}
