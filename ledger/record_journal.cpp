#include "ledger/record_journal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <span>
#include <variant>

#include "ledger/record_fields.h"

#include "os/os_files.h"
#include "settings/settings_store.h"

namespace {

// The journal's versions. 1 and 2 are of earlier loaders, still read: a line per kind of write,
// fields by position separated by tabs; a journal that holds a whole record (a download that got
// no id) says 2, so that a loader that knows only 1 refuses it whole rather than drop the record
// it cannot read when it rewrites the journal. 3, written now: a line per field, "key=value"; a
// key this loader does not know (a later loader's field) is passed over, its entry kept. A field
// that a loader must not pass over raises the version again: an earlier loader then sets the
// whole journal aside, unread and never lost.
constexpr std::string_view kHeaderPlain = "pravune-record-journal\t1";
constexpr std::string_view kHeaderWhole = "pravune-record-journal\t2";
constexpr std::string_view kHeader = "pravune-record-journal\t3";
// How long a journal write waits for the settings lock: another loader's reservation may hold
// it through its database's busy timeouts (three of kRecordBusyTimeout at most) and, on the
// store its process shares, its wait for a connection (as long again).
constexpr int kJournalLockMs = 30000;

// Text of any bytes on one line: backslash, control characters and DEL as escapes.
std::string Escape(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (i + 1 < field.size() && field[i + 1] == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        if (i + 3 >= field.size() || field[i + 1] != 'x')
            return std::nullopt;
        const int high = HexDigit(field[i + 2]), low = HexDigit(field[i + 3]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return out;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string_view::npos ? tab : tab - at));
        if (tab == std::string_view::npos)
            return fields;
        at = tab + 1;
    }
}

std::optional<SerialState> StateNamed(std::string_view text) {
    for (SerialState state : {SerialState::kReserved, SerialState::kWritten, SerialState::kUsedUp})
        if (text == SerialStateText(state))
            return state;
    return std::nullopt;
}

// The field of kRecordFields the journal names `key`; null for a key this loader does not know.
const RecordField* JournalField(std::string_view key) {
    for (const RecordField& f : kRecordFields)
        if (f.journalKey && key == f.journalKey)
            return &f;
    return nullptr;
}

// Sets the field `key` of `record` from its journal text; false when it cannot be read.
// A key this loader does not know is passed over.
bool SetJournalField(DownloadRecord& record, std::string_view key, std::string_view text) {
    const RecordField* f = JournalField(key);
    if (!f)
        return true;
    if (f->kind == RecordField::Kind::kText)
        return f->set(record, text);
    std::int64_t number = 0;
    return ParseNumber(text, number) && f->set(record, number);
}

// The fields of the lines "begin", "finish" and "key" of versions 1 and 2, by position.
constexpr const char* kOldBegin[] = {
    "start_utc",    "station_host", "station_folder", "station_config", "loader_version",
    "process_id",   "boot_id",      "hex_path",       "hex_file",       "file_sha256",
    "image_sha256", "image_start",  "image_end",      "format"};
constexpr const char* kOldFinish[] = {"end_utc",     "verdict",     "outcome",    "failed_step",
                                      "status_text", "duration_ms", "module_uid", "port_path"};
constexpr const char* kOldKey[] = {"record_key", "process_start", "pid_namespace"};

// Sets the fields `keys` of `record` from `values`, one each.
bool SetOldFields(DownloadRecord& record, std::span<const char* const> keys,
                  const std::vector<std::string>& values) {
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!SetJournalField(record, keys[i], values[i]))
            return false;
    return true;
}

// One line of a journal of version 1 or 2 into `entries`; false when it cannot be read (its
// entry is then left out whole).
bool ParseOldLine(const std::vector<std::string_view>& fields, std::vector<JournalEntry>& entries) {
    const std::string_view key = fields[0];
    std::vector<std::string> values;
    for (std::size_t i = 1; i < fields.size(); ++i) {
        std::optional<std::string> value = Unescape(fields[i]);
        if (!value)
            return false;
        values.push_back(std::move(*value));
    }
    if (key == "entry") {
        JournalEntry entry;
        if (values.size() != 3 || !ParseNumber(values[1], entry.id) ||
            !ParseNumber(values[2], entry.failures) || entry.id < 0)
            return false;
        entry.database = values[0];
        entries.push_back(std::move(entry));
        return true;
    }
    if (entries.empty())
        return false;
    JournalEntry& entry = entries.back();
    const bool whole = entry.id == 0;
    if (key == "state") {
        const std::optional<SerialState> state =
            values.size() == 1 ? StateNamed(values[0]) : std::nullopt;
        if (!state || whole)
            return false;
        entry.state = state;
        return true;
    }
    if (key == "begin") {
        // A whole record's start, its first line.
        DownloadRecord r;
        if (!whole || entry.finish || values.size() != std::size(kOldBegin) ||
            !SetOldFields(r, kOldBegin, values))
            return false;
        entry.finish = std::move(r);
        return true;
    }
    if (key == "finish") {
        if (whole && !entry.finish)
            return false;
        // A whole record's end goes onto its start; another record's end is all its own.
        DownloadRecord r = whole ? std::move(*entry.finish) : DownloadRecord{};
        if (values.size() != std::size(kOldFinish) || !SetOldFields(r, kOldFinish, values))
            return false;
        r.id = entry.id;
        entry.finish = std::move(r);
        return true;
    }
    if (key == "key") {
        // The record's own key, and what tells its process apart (a whole record's).
        if (!entry.finish || values.empty() || values[0].empty() || values.size() > 3)
            return false;
        const std::size_t count = values.size() == 3 && whole ? 3 : 1;
        return SetOldFields(*entry.finish, std::span(kOldKey, count), values);
    }
    if (key == "repeat") {
        if (!whole || values.size() != 2 || !ParseNumber(values[0], entry.repeats) ||
            entry.repeats < 0)
            return false;
        entry.lastUtc = values[1];
        return true;
    }
    if (key == "log") {
        LogEntry log;
        int stamped = 0;
        if (!entry.finish || values.size() != 4 || !ParseNumber(values[0], log.color) ||
            !ParseNumber(values[1], stamped) || (stamped != 0 && stamped != 1))
            return false;
        log.timeStamp = stamped == 1;
        log.stamp = values[2];
        log.text = values[3];
        entry.finish->log.push_back(std::move(log));
        return true;
    }
    return true;  // a field of a later loader's: left to it
}

// A log line's value: colour, whether stamped, stamp and text, escaped each and joined by tabs.
std::optional<LogEntry> ParseLog(std::string_view value) {
    const std::vector<std::string_view> parts = Fields(value);
    if (parts.size() != 4)
        return std::nullopt;
    LogEntry log;
    int stamped = 0;
    std::optional<std::string> stamp = Unescape(parts[2]), text = Unescape(parts[3]);
    if (!ParseNumber(parts[0], log.color) || !ParseNumber(parts[1], stamped) ||
        (stamped != 0 && stamped != 1) || !stamp || !text)
        return std::nullopt;
    log.timeStamp = stamped == 1;
    log.stamp = std::move(*stamp);
    log.text = std::move(*text);
    return log;
}

// One "key=value" line of a journal of version 3 into `entries`; false when it cannot be read
// (its entry is then left out whole). What an entry needs whole is checked at its end.
bool ParseKeyLine(std::string_view line, std::vector<JournalEntry>& entries) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view key = line.substr(0, equals), raw = line.substr(equals + 1);
    if (key == "log") {
        if (entries.empty())
            return false;
        std::optional<LogEntry> log = ParseLog(raw);
        if (!log)
            return false;
        JournalEntry& entry = entries.back();
        if (!entry.finish)
            entry.finish.emplace();
        entry.finish->log.push_back(std::move(*log));
        return true;
    }
    const std::optional<std::string> value = Unescape(raw);
    if (!value)
        return false;
    if (key == "entry") {
        entries.emplace_back().database = *value;
        return true;
    }
    if (entries.empty())
        return false;
    JournalEntry& entry = entries.back();
    if (key == "id")
        return ParseNumber(*value, entry.id) && entry.id >= 0;
    if (key == "failures")
        return ParseNumber(*value, entry.failures);
    if (key == "state")
        return (entry.state = StateNamed(*value)).has_value();
    if (key == "repeats")
        return ParseNumber(*value, entry.repeats) && entry.repeats >= 0;
    if (key == "last_utc") {
        entry.lastUtc = *value;
        return true;
    }
    if (!JournalField(key))
        return true;  // a field of a later loader's: passed over
    if (!entry.finish)
        entry.finish.emplace();
    return SetJournalField(*entry.finish, key, *value);
}

// The journal at `path`: empty when there is none; false, with the failure, when it cannot be
// read, is not this loader's, or may have been written by another user. Never through a link.
bool ReadJournal(const std::string& path, std::vector<JournalEntry>& entries,
                 RecordFailure* failure) {
    using Code = RecordFailure::Code;
    entries.clear();
    if (std::string problem = os_files::UntrustedPlace(path); !problem.empty())
        return Fails(failure, {.code = Code::kPlace, .detail = problem});
    os_files::ReadOnlyFile file;
    if (const int error = file.Open(path, false); error != 0) {
        if (error == ENOENT)
            return true;
        return Fails(
            failure,
            {.code = Code::kJournalUnread, .where = path, .detail = os_files::ErrorText(error)});
    }
    os_files::FileVersion version;
    if (!file.Version(version) || !version.regular)
        return Fails(failure, {.code = Code::kJournalNotFile, .where = path});
    if (std::string others = file.WritableByOthers(); !others.empty())
        return Fails(failure, {.code = Code::kJournalShared, .where = path, .detail = others});
    if (version.size > kMaxJournalSize)
        return Fails(failure, {.code = Code::kJournalTooLarge,
                               .count = static_cast<std::int64_t>(kMaxJournalSize),
                               .where = path});
    std::string text;
    char chunk[65536];
    for (std::ptrdiff_t n; (n = file.Read(chunk, sizeof chunk)) != 0;) {
        if (n < 0 || text.size() + static_cast<std::size_t>(n) > kMaxJournalSize)
            return Fails(failure, {.code = Code::kJournalUnread, .where = path});
        text.append(chunk, static_cast<std::size_t>(n));
    }
    if (!ParseJournal(text, entries))
        return Fails(failure, {.code = Code::kJournalForeign, .where = path});
    return true;
}

bool WriteJournal(const std::string& path, const std::vector<JournalEntry>& entries,
                  RecordFailure* failure) {
    using Code = RecordFailure::Code;
    if (std::string problem = os_files::UntrustedPlace(path); !problem.empty())
        return Fails(failure, {.code = Code::kJournalUnwritten, .where = path, .detail = problem});
    const std::string text = JournalText(entries);
    if (text.size() > kMaxJournalSize)
        return Fails(failure, {.code = Code::kJournalWouldGrow,
                               .count = static_cast<std::int64_t>(kMaxJournalSize),
                               .where = path});
    std::string why;
    if (os_files::ReplaceAtomically(path, text, why, true))
        return true;
    return Fails(failure, {.code = Code::kJournalUnwritten, .where = path, .detail = why});
}

// Moves a journal that cannot be read (`why`) out of the way
// ("records.journal.unreadable-<time>"), so that it blocks nothing; `why` with where it went,
// or why it stays (a journal that stays is never written over).
RecordFailure SetAside(const std::string& path, RecordFailure why) {
    std::string stamp = UtcNowIso();
    stamp.erase(std::remove_if(stamp.begin(), stamp.end(),
                               [](char c) { return c == ':' || c == '-' || c == '.'; }),
                stamp.end());
    std::string aside = path + ".unreadable-" + stamp, error;
    // A second one within the same millisecond is numbered.
    for (int n = 1; !os_files::Rename(path, aside, error); ++n) {
        if (n == 10) {
            why.setAside = RecordFailure::Aside::kNotSetAside;
            why.aside = error;
            return why;
        }
        aside = path + ".unreadable-" + stamp + "-" + std::to_string(n);
    }
    why.setAside = RecordFailure::Aside::kSetAside;
    why.aside = aside;
    return why;
}

std::vector<JournalEntry>::iterator Find(std::vector<JournalEntry>& entries,
                                         const std::string& database, std::int64_t id) {
    return std::find_if(entries.begin(), entries.end(), [&](const JournalEntry& e) {
        return e.id == id && e.database == database;
    });
}

// The entry in `entries` that is `entry`: by its id, or a whole record by its key (by its
// start when an older loader kept it without one).
std::vector<JournalEntry>::iterator Find(std::vector<JournalEntry>& entries,
                                         const JournalEntry& entry) {
    if (entry.id != 0 || !entry.finish)
        return Find(entries, entry.database, entry.id);
    const DownloadRecord& r = *entry.finish;
    return std::find_if(entries.begin(), entries.end(), [&](const JournalEntry& e) {
        if (e.id != 0 || e.database != entry.database || !e.finish)
            return false;
        if (!r.recordKey.empty() || !e.finish->recordKey.empty())
            return e.finish->recordKey == r.recordKey;
        return e.finish->startUtc == r.startUtc && e.finish->processId == r.processId &&
               e.finish->stationConfig == r.stationConfig && e.finish->portPath == r.portPath &&
               e.finish->endUtc == r.endUtc;
    });
}

// A whole record in `entries` that `entry` repeats: the same station, module and cause.
std::vector<JournalEntry>::iterator Repeated(std::vector<JournalEntry>& entries,
                                             const JournalEntry& entry) {
    const DownloadRecord& r = *entry.finish;
    return std::find_if(entries.begin(), entries.end(), [&](const JournalEntry& e) {
        return e.id == 0 && e.database == entry.database && e.finish &&
               e.finish->stationConfig == r.stationConfig &&
               e.finish->stationHost == r.stationHost && e.finish->portPath == r.portPath &&
               e.finish->moduleUid == r.moduleUid && e.finish->failedStep == r.failedStep &&
               e.finish->statusText == r.statusText && e.finish->hexFile == r.hexFile &&
               e.finish->imageSha256 == r.imageSha256;
    });
}

// Reads the journal, lets `change` change its entries, and writes it back when `change`
// returns true: all under the settings lock. A journal that cannot be read is set aside (where
// to, in `setAside`) and its place taken by an empty one.
template <typename Change>
bool ChangeJournal(const std::string& configPath, Change change, RecordFailure* failure,
                   RecordFailure* setAside = nullptr) {
    const std::string path = RecordJournalPathFor(configPath);
    const SettingsLock lock(configPath, kJournalLockMs);
    if (!lock.held())
        return Fails(
            failure,
            {.code = RecordFailure::Code::kLock, .where = configPath, .detail = lock.reason()});
    std::vector<JournalEntry> entries;
    if (RecordFailure why; !ReadJournal(path, entries, &why)) {
        const RecordFailure aside = SetAside(path, std::move(why));
        if (setAside)
            *setAside = aside;
        if (aside.setAside != RecordFailure::Aside::kSetAside)
            return Fails(failure, aside);
        entries.clear();
    }
    if (!change(entries))
        return true;
    return WriteJournal(path, entries, failure);
}

// What a catch-up wrote of one entry.
struct Written {
    bool state = false;
    bool finish = false;
    std::int64_t begun = 0;  // a whole record's id, once begun
};

}  // namespace

std::string RecordJournalPathFor(const std::string& configPath) {
    const std::string records = RecordStorePathFor(configPath);
    if (records.empty())
        return {};
    return records.substr(0, records.size() - std::string_view("sqlite").size()) + "journal";
}

std::string JournalDatabaseKey(const DatabaseChoice& choice) {
    return choice.shared() ? choice.name : "records.sqlite";
}

// Appends each piece in turn: a chain of + here makes GCC 12 at -O3 warn wrongly (-Wrestrict).
template <class... Pieces>
void Append(std::string& text, const Pieces&... pieces) {
    (text.append(pieces), ...);
}

// Appends the line "key=value".
void AppendLine(std::string& text, std::string_view key, std::string_view value) {
    Append(text, key, "=", value, "\n");
}

std::string JournalText(const std::vector<JournalEntry>& entries) {
    std::string text(kHeader);
    text += '\n';
    for (const JournalEntry& e : entries) {
        AppendLine(text, "entry", Escape(e.database));
        AppendLine(text, "id", std::to_string(e.id));
        AppendLine(text, "failures", std::to_string(e.failures));
        if (e.state && e.id != 0)
            AppendLine(text, "state", SerialStateText(*e.state));
        if (e.id == 0 && e.repeats > 0) {
            AppendLine(text, "repeats", std::to_string(e.repeats));
            AppendLine(text, "last_utc", Escape(e.lastUtc));
        }
        if (!e.finish)
            continue;
        // A record's end; a whole record's start too.
        const DownloadRecord& r = *e.finish;
        const unsigned kept =
            RecordField::kEndJournal | (e.id == 0 ? RecordField::kWholeJournal : 0u);
        for (const RecordField& f : kRecordFields) {
            if (!(f.parts & kept))
                continue;
            const sql::Value value = f.get(r);
            if (const auto* number = std::get_if<std::int64_t>(&value))
                AppendLine(text, f.journalKey, std::to_string(*number));
            else if (const auto* chars = std::get_if<std::string_view>(&value))
                AppendLine(text, f.journalKey, Escape(*chars));
        }
        for (const LogEntry& log : r.log) {
            Append(text, "log=", std::to_string(log.color), "\t", log.timeStamp ? "1" : "0", "\t",
                   Escape(log.stamp), "\t", Escape(log.text), "\n");
        }
    }
    return text;
}

bool ParseJournal(std::string_view text, std::vector<JournalEntry>& entries) {
    entries.clear();
    if (text.empty())
        return true;
    const std::size_t first = text.find('\n');
    const std::string_view header = text.substr(0, first);
    const bool keyed = header == kHeader;
    if (!keyed && header != kHeaderPlain && header != kHeaderWhole)
        return false;
    bool broken = false;  // the current entry lost a line: it is left out whole
    std::vector<JournalEntry> read;
    // The current entry ended: one broken is left out, and so is a whole record without its
    // start and end, or with what only a record that has an id holds.
    auto ended = [&] {
        if (read.empty()) {
            broken = false;
            return;
        }
        JournalEntry& e = read.back();
        const bool whole = e.id == 0;
        const bool unfinished = whole && (!e.finish || e.finish->verdict.empty());
        const bool misplaced = whole ? e.state.has_value() : e.repeats != 0 || !e.lastUtc.empty();
        if (broken || unfinished || misplaced)
            read.pop_back();
        else if (e.finish)
            e.finish->id = e.id;
        broken = false;
    };
    for (std::size_t at = first; at != std::string_view::npos && at + 1 < text.size();) {
        const std::size_t begin = at + 1;
        at = text.find('\n', begin);
        const std::string_view line =
            text.substr(begin, at == std::string_view::npos ? at : at - begin);
        if (line.empty())
            continue;
        const std::vector<std::string_view> fields = Fields(line);
        const bool starts = keyed ? line.starts_with("entry=") : fields[0] == "entry";
        if (starts)
            ended();
        if (!broken && !(keyed ? ParseKeyLine(line, read) : ParseOldLine(fields, read))) {
            broken = true;
            if (starts)
                read.emplace_back();  // stands for the entry, to be dropped with it
        }
    }
    ended();
    entries = std::move(read);
    return true;
}

bool KeepInJournal(const std::string& configPath, const JournalEntry& entry, RecordFailure* failure,
                   RecordFailure* setAside) {
    return ChangeJournal(
        configPath,
        [&](std::vector<JournalEntry>& entries) {
            if (entry.id == 0) {
                if (!entry.finish)
                    return false;
                const auto same = Repeated(entries, entry);
                if (same == entries.end()) {
                    entries.push_back(entry);
                } else {
                    same->repeats += 1 + entry.repeats;
                    same->lastUtc = entry.lastUtc.empty() ? entry.finish->endUtc : entry.lastUtc;
                }
                return true;
            }
            auto found = Find(entries, entry.database, entry.id);
            if (found == entries.end()) {
                entries.push_back(entry);
                return true;
            }
            if (entry.state)
                found->state = entry.state;
            if (entry.finish)
                found->finish = entry.finish;
            return true;
        },
        failure, setAside);
}

DownloadRecord WholeRecordOf(const JournalEntry& entry, const RecordWords& words) {
    DownloadRecord r = entry.finish.value_or(DownloadRecord{});
    r.id = 0;
    if (entry.repeats > 0) {
        r.endUtc = entry.lastUtc.empty() ? r.endUtc : entry.lastUtc;
        r.statusText = words.Repeated(r.statusText, entry.repeats + 1, r.endUtc);
    }
    return r;
}

namespace {

// Whether a whole record from the journal is a refusal this station's config.ini left: all a
// loader ever keeps whole. Anything else in its place is not the loader's and is not written.
bool OwnRefusal(const JournalEntry& entry, const StationProcess& self) {
    const DownloadRecord& r = *entry.finish;
    return r.verdict == "failed" && r.outcome == "not_recorded" && r.failedStep == "record" &&
           r.stationConfig == self.config && r.stationHost == self.host;
}

}  // namespace

Completion CompleteEarlierRecords(RecordStore& store, const std::string& configPath,
                                  const std::string& databaseKey, const StationProcess& self,
                                  bool closeInterrupted, const RecordWords& words) {
    Completion done;
    const std::string path = RecordJournalPathFor(configPath);
    using Kind = CompletionNote::Kind;
    auto note = [&](Kind kind, std::int64_t id, const RecordFailure& why) {
        done.notes.push_back({kind, id, {}, {}, why, {}, 0});
    };
    // A whole record's entry, by its start.
    auto refused = [&](Kind kind, const JournalEntry& entry, const RecordFailure& why,
                       std::int64_t id = 0) {
        done.notes.push_back(
            {kind, id, entry.finish->startUtc, entry.finish->portPath, why, {}, 0});
    };
    // 1. The journal's entries for this database, written: by one drainer at a time (a station
    // that finds another at it leaves the journal to it), and only when there is a journal.
    std::vector<JournalEntry> entries;
    RecordFailure failure;
    os_files::FileVersion version;
    os_files::LockFile drainer;
    if (os_files::VersionOf(path, version) || os_files::ResolveLink(path) != path) {
        const std::string drainPath = path + ".lock";
        std::string why = os_files::UntrustedPlace(drainPath);
        if (!why.empty()) {
            note(Kind::kNotDrained, 0, {.code = RecordFailure::Code::kPlace, .detail = why});
            return done;
        }
        const RecordFailure::Code lockCode = RecordFailure::Code::kLock;
        if (!drainer.Open(drainPath, why)) {
            note(Kind::kNotDrained, 0, {.code = lockCode, .detail = why});
            return done;
        }
        switch (drainer.TryLock(why)) {
            case os_files::LockFile::Try::kLocked:
                break;
            case os_files::LockFile::Try::kBusy:
                return done;
            case os_files::LockFile::Try::kFailed:
                note(Kind::kNotDrained, 0, {.code = lockCode, .detail = why});
                return done;
        }
        const SettingsLock lock(configPath, kJournalLockMs);
        if (!lock.held()) {
            done.notes.push_back({Kind::kNotLocked,
                                  0,
                                  {},
                                  {},
                                  {.code = lockCode, .detail = lock.reason()},
                                  path,
                                  0});
            return done;
        }
        if (!ReadJournal(path, entries, &failure)) {
            note(Kind::kJournal, 0, SetAside(path, failure));
            entries.clear();
        }
    }
    std::vector<std::pair<JournalEntry, Written>> worked;
    bool lost = false;
    for (JournalEntry& entry : entries) {
        if (entry.database != databaseKey || lost)
            continue;
        Written written;
        if (entry.id == 0 && !OwnRefusal(entry, self)) {
            refused(Kind::kNotOwnRefusal, entry, {});
            written.finish = true;
            worked.emplace_back(entry, written);
            continue;
        }
        bool failed = false;
        // A whole record's fields, with the refusals it stands for.
        DownloadRecord whole = entry.id == 0 ? WholeRecordOf(entry, words) : DownloadRecord{};
        if (entry.id == 0) {
            // A download refused without a record: begun now with its own start and key (a
            // second delivery finds the first), then ended below; should the end fail, the
            // entry becomes that record's pending end.
            written.begun = store.BeginDownload(whole, &failure);
            if (written.begun == 0) {
                if (store.LostConnection()) {
                    lost = true;
                    refused(Kind::kRefusalStillKept, entry, failure);
                    continue;
                }
                failed = true;
            } else {
                whole.id = written.begun;
            }
        }
        if (entry.state) {
            written.state = store.SetSerialState(entry.id, *entry.state, &failure);
            failed = !written.state;
        }
        const std::int64_t id = written.begun != 0 ? written.begun : entry.id;
        if (entry.finish && !failed) {
            RecordFailure why;
            written.finish = store.FinishDownload(entry.id == 0 ? whole : *entry.finish, &why);
            if (!written.finish && !store.LostConnection()) {
                // Ended before, by a drainer that could not take it out of the journal?
                const std::optional<DownloadRecord> now = store.Get(id, nullptr);
                written.finish = now && now->verdict != "running";
            }
            if (!written.finish) {
                failed = true;
                failure = why;
            }
        }
        if (id == 0) {
            // Not even begun: its record refused (a database that refuses the data).
            ++entry.failures;
            const bool givenUp = entry.failures >= kJournalAttempts;
            refused(givenUp ? Kind::kRefusalGivenUp : Kind::kRefusalKept, entry, failure);
            written.finish = givenUp;
            worked.emplace_back(entry, written);
            continue;
        }
        if (failed && store.LostConnection()) {
            lost = true;  // out of reach: everything stays for the next download
            note(Kind::kStillKept, id, failure);
            if (written.begun != 0)
                worked.emplace_back(entry, written);  // now the end of record `id`
            continue;
        }
        if (failed && entry.failures + 1 >= kJournalAttempts) {
            note(Kind::kGivenUp, id, failure);
            written.state = entry.state.has_value();  // given up
            written.finish = entry.finish.has_value();
        } else if (failed) {
            note(Kind::kKept, id, failure);
        } else if (written.begun != 0) {
            refused(Kind::kRefusalWritten, entry, {}, id);
        } else {
            note(Kind::kComplete, id, {});
        }
        if (failed)
            ++entry.failures;
        worked.emplace_back(entry, written);
    }
    // 2. The journal without what was written; entries added meanwhile stay.
    if (!worked.empty()) {
        RecordFailure aside;
        const bool rewritten = ChangeJournal(
            configPath,
            [&](std::vector<JournalEntry>& now) {
                for (const auto& [entry, written] : worked) {
                    auto found = Find(now, entry);
                    if (found == now.end())
                        continue;
                    if (written.state && found->state == entry.state)
                        found->state.reset();
                    if (written.finish && found->id == 0 && found->repeats > entry.repeats) {
                        // Refusals counted meanwhile stay, as a record of their own.
                        found->repeats -= entry.repeats + 1;
                        found->finish->recordKey = NewRecordKey();
                        found->finish->startUtc = entry.lastUtc;
                        found->failures = 0;
                        continue;
                    }
                    if (written.finish) {
                        found->finish.reset();
                    } else if (written.begun != 0) {
                        // Begun: its end waits as any other's, with the refusals it stands for.
                        DownloadRecord end = WholeRecordOf(*found, words);
                        end.id = written.begun;
                        found->finish = std::move(end);
                        found->id = written.begun;
                        found->repeats = 0;
                    }
                    found->failures = entry.failures;
                    if (!found->state && !found->finish)
                        now.erase(found);
                }
                return true;
            },
            &failure, &aside);
        if (!aside.ok())
            note(Kind::kJournal, 0, aside);
        if (!rewritten)
            note(Kind::kJournal, 0, failure);
    }
    if (!closeInterrupted || lost)
        return done;

    // 3. Records left running by processes of this config.ini on this host that are gone. A
    // process found gone writes nothing more: what the journal holds for it now is all it
    // left, and a record with an entry there is completed from it rather than closed.
    const std::optional<std::vector<RunningDownload>> running =
        store.Running(self.host, self.config, &failure);
    if (!running) {
        if (!store.LostConnection())
            note(Kind::kRunningUnread, 0, failure);
        return done;
    }
    std::vector<RunningDownload> gone;
    for (const RunningDownload& r : *running) {
        if (ProcessGone(r, self))
            gone.push_back(r);
    }
    if (!gone.empty()) {
        // A journal that cannot be read now holds nothing that could complete them.
        if (!ReadJournal(path, entries, &failure))
            entries.clear();
    }
    for (const RunningDownload& r : gone) {
        const bool kept = std::any_of(entries.begin(), entries.end(), [&](const JournalEntry& e) {
            return e.database == databaseKey &&
                   (e.id == r.id || (e.id == 0 && e.finish && !r.recordKey.empty() &&
                                     e.finish->recordKey == r.recordKey));
        });
        if (kept)
            continue;
        const std::string text = words.Interrupted(r.processId, UtcNowIso(), self.processId);
        if (store.CloseInterrupted(r.id, text, &failure)) {
            done.notes.push_back({Kind::kInterrupted, r.id, {}, {}, {}, {}, r.processId});
        } else if (store.LostConnection()) {
            return done;
        }
    }
    done.closedInterrupted = true;
    return done;
}
