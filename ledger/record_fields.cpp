#include "ledger/record_fields.h"

#include <string_view>
#include <type_traits>
#include <variant>

#include "image/serial_number.h"
#include "text/escape_controls.h"

namespace {

using F = RecordField;
using Kind = RecordField::Kind;
using Cell = RecordField::Cell;

template <std::string DownloadRecord::*member>
sql::Value GetText(const DownloadRecord& r) {
    return std::string_view(r.*member);
}

template <std::string DownloadRecord::*member>
bool SetText(DownloadRecord& r, const sql::Value& value) {
    if (const auto* text = std::get_if<std::string_view>(&value))
        r.*member = *text;
    return true;
}

template <auto member>
sql::Value GetNumber(const DownloadRecord& r) {
    return static_cast<std::int64_t>(r.*member);
}

template <auto member>
bool SetNumber(DownloadRecord& r, const sql::Value& value) {
    using Number = std::remove_reference_t<decltype(r.*member)>;
    if (const auto* number = std::get_if<std::int64_t>(&value))
        r.*member = static_cast<Number>(*number);
    return true;
}

// The serial number's parts: NULL without one. Its address says there is one.
template <std::int64_t (*part)(const DownloadRecord&)>
sql::Value GetSerial(const DownloadRecord& r) {
    return r.hasSerial ? sql::Value(part(r)) : sql::Value();
}
std::int64_t SerialAddress(const DownloadRecord& r) {
    return r.serialPlan.address;
}
std::int64_t SerialWidth(const DownloadRecord& r) {
    return r.serialPlan.width;
}
std::int64_t SerialValue(const DownloadRecord& r) {
    return r.serialValue;
}

bool SetSerialAddress(DownloadRecord& r, const sql::Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        r.hasSerial = true;
        r.serialPlan.address = static_cast<std::uint32_t>(*number);
    }
    return true;
}
bool SetSerialWidth(DownloadRecord& r, const sql::Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value))
        r.serialPlan.width = static_cast<int>(*number);
    return true;
}
bool SetSerialValue(DownloadRecord& r, const sql::Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value))
        r.serialValue = static_cast<std::uint32_t>(*number);
    return true;
}

sql::Value GetSerialState(const DownloadRecord& r) {
    return r.hasSerial ? sql::Value(std::string_view(SerialStateText(r.serialState)))
                       : sql::Value();
}
bool SetSerialState(DownloadRecord& r, const sql::Value& value) {
    const auto* text = std::get_if<std::string_view>(&value);
    if (!text)
        return true;
    for (SerialState state :
         {SerialState::kReserved, SerialState::kWritten, SerialState::kUsedUp}) {
        if (*text == SerialStateText(state)) {
            r.serialState = state;
            return true;
        }
    }
    return false;
}

#define PRAVUNE_TEXT(member) Kind::kText, Cell::kQuoted, GetText<member>, SetText<member>
#define PRAVUNE_NUMBER(member) Kind::kInteger, Cell::kDecimal, GetNumber<member>, SetNumber<member>

using R = DownloadRecord;
constexpr unsigned kBeginWhole = F::kBegin | F::kWholeJournal;
constexpr unsigned kFinishEnd = F::kFinish | F::kEndJournal;
constexpr unsigned kOut = F::kExported;

// column, type, select, CSV, JSON, journal, parts, then kind, cell and the accessors.
constexpr RecordField kFields[] = {
    {"id", "{identity}", nullptr, "id", "id", nullptr, kOut, PRAVUNE_NUMBER(&R::id)},
    {"start_utc", "TEXT", nullptr, "start_utc", "start", "start_utc",
     kBeginWhole | kOut | F::kNowWhenEmpty, PRAVUNE_TEXT(&R::startUtc)},
    {"end_utc", "TEXT", nullptr, "end_utc", "end", "end_utc", kFinishEnd | kOut | F::kNowWhenEmpty,
     PRAVUNE_TEXT(&R::endUtc)},
    {"station_host", "TEXT", nullptr, "station", "station", "station_host", kBeginWhole | kOut,
     PRAVUNE_TEXT(&R::stationHost)},
    {"hex_path", "TEXT", nullptr, "hex_path", "hex", "hex_path", kBeginWhole | kOut,
     PRAVUNE_TEXT(&R::hexPath)},
    {"image_sha256", "TEXT", nullptr, "image_sha256", "sha256", "image_sha256", kBeginWhole | kOut,
     PRAVUNE_TEXT(&R::imageSha256)},
    {"format", "TEXT", nullptr, "format", "format", "format", kBeginWhole | kOut,
     PRAVUNE_TEXT(&R::format)},
    {"module_uid", "TEXT", nullptr, "module_uid", "uid", "module_uid",
     F::kBegin | kFinishEnd | kOut, PRAVUNE_TEXT(&R::moduleUid)},
    {"port_path", "TEXT", nullptr, "port", "port", "port_path", F::kBegin | kFinishEnd | kOut,
     PRAVUNE_TEXT(&R::portPath)},
    // The number from the ledger, or else the one written without a ledger row.
    {"sn_address", "BIGINT", "COALESCE(s.address, d.sn_address)", "sn_address", "address",
     "sn_address", kFinishEnd | kOut | F::kInSerial, Kind::kInteger, Cell::kHex,
     GetSerial<SerialAddress>, SetSerialAddress},
    {"sn_width", "BIGINT", "COALESCE(s.width, d.sn_width)", "sn_width", "width", "sn_width",
     kFinishEnd | kOut | F::kInSerial, Kind::kInteger, Cell::kDecimal, GetSerial<SerialWidth>,
     SetSerialWidth},
    {"sn_value", "BIGINT", "COALESCE(s.value, d.sn_value)", "sn_value", "value", "sn_value",
     kFinishEnd | kOut | F::kInSerial, Kind::kInteger, Cell::kHex, GetSerial<SerialValue>,
     SetSerialValue},
    {nullptr, nullptr,
     "CASE WHEN s.address IS NOT NULL THEN s.state WHEN d.sn_address IS NOT NULL THEN 'written' "
     "END",
     "sn_state", "state", "sn_state", F::kEndJournal | kOut | F::kInSerial, Kind::kText,
     Cell::kBare, GetSerialState, SetSerialState},
    {"verdict", "TEXT", nullptr, "verdict", "verdict", "verdict", kFinishEnd | kOut,
     PRAVUNE_TEXT(&R::verdict)},
    {"failed_step", "TEXT", nullptr, "failed_step", "failed_step", "failed_step", kFinishEnd | kOut,
     PRAVUNE_TEXT(&R::failedStep)},
    {"duration_ms", "BIGINT", nullptr, "duration_ms", "duration_ms", "duration_ms",
     kFinishEnd | kOut, PRAVUNE_NUMBER(&R::durationMs)},
    {"hex_file", "TEXT", nullptr, "hex_file", "hex_file", "hex_file", kBeginWhole | kOut,
     PRAVUNE_TEXT(&R::hexFile)},
    {"file_sha256", "TEXT", nullptr, "file_sha256", "file_sha256", "file_sha256",
     kBeginWhole | kOut, PRAVUNE_TEXT(&R::fileSha256)},
    {"station_config", "TEXT", nullptr, "station_config", "config", "station_config",
     kBeginWhole | kOut, PRAVUNE_TEXT(&R::stationConfig)},
    {"outcome", "TEXT", nullptr, "outcome", "outcome", "outcome", kFinishEnd | kOut,
     PRAVUNE_TEXT(&R::outcome)},
    {"loader_version", "TEXT", nullptr, "loader_version", "version", "loader_version",
     kBeginWhole | kOut, PRAVUNE_TEXT(&R::loaderVersion)},
    {"status_text", "TEXT", nullptr, "status_text", "status", "status_text", kFinishEnd | kOut,
     PRAVUNE_TEXT(&R::statusText)},
    {"operator_account", "TEXT", nullptr, "operator", "operator", "operator_account",
     kBeginWhole | kOut, PRAVUNE_TEXT(&R::operatorAccount)},
    {"operator_badge", "TEXT", nullptr, "badge", "badge", "operator_badge", kBeginWhole | kOut,
     PRAVUNE_TEXT(&R::operatorBadge)},
    // Not exported.
    {"station_folder", "TEXT", nullptr, nullptr, nullptr, "station_folder", kBeginWhole,
     PRAVUNE_TEXT(&R::stationFolder)},
    {"image_start", "BIGINT", nullptr, nullptr, nullptr, "image_start", kBeginWhole,
     PRAVUNE_NUMBER(&R::imageStart)},
    {"image_end", "BIGINT", nullptr, nullptr, nullptr, "image_end", kBeginWhole,
     PRAVUNE_NUMBER(&R::imageEnd)},
    {"process_id", "BIGINT", nullptr, nullptr, nullptr, "process_id", kBeginWhole,
     PRAVUNE_NUMBER(&R::processId)},
    {"boot_id", "TEXT", nullptr, nullptr, nullptr, "boot_id", kBeginWhole,
     PRAVUNE_TEXT(&R::bootId)},
    {"record_key", "TEXT", nullptr, nullptr, nullptr, "record_key",
     F::kBegin | F::kEndJournal | F::kNullWhenEmpty, PRAVUNE_TEXT(&R::recordKey)},
    {"process_start", "TEXT", nullptr, nullptr, nullptr, "process_start", kBeginWhole,
     PRAVUNE_TEXT(&R::processStart)},
    {"pid_namespace", "TEXT", nullptr, nullptr, nullptr, "pid_namespace", kBeginWhole,
     PRAVUNE_TEXT(&R::pidNamespace)},
};

#undef PRAVUNE_TEXT
#undef PRAVUNE_NUMBER

// What the list must hold to be read: a label for every exported field and only for those, a
// column or an expression to read, and the journal's own words left to it.
constexpr bool Consistent() {
    for (const RecordField& f : kFields) {
        const bool exported = (f.parts & F::kExported) != 0;
        if (exported != (f.csvLabel != nullptr) || exported != (f.jsonKey != nullptr))
            return false;
        if (!f.column && !f.select)
            return false;
        if (!f.column && (f.parts & (F::kBegin | F::kFinish)))
            return false;
        const bool journaled = (f.parts & (F::kWholeJournal | F::kEndJournal)) != 0;
        if (journaled != (f.journalKey != nullptr))
            return false;
        if (f.journalKey) {
            for (std::string_view own :
                 {"entry", "id", "failures", "state", "repeats", "last_utc", "log"})
                if (own == f.journalKey)
                    return false;
        }
    }
    return true;
}
static_assert(Consistent());

// A quoted cell; a control character in a record is shown escaped, never sent to the terminal.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : EscapeControls(std::string(text))) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

std::string CsvCell(const RecordField& f, const sql::Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        return f.cell == Cell::kHex ? "0x" + HexUpper(static_cast<std::uint32_t>(*number))
                                    : std::to_string(*number);
    }
    if (const auto* text = std::get_if<std::string_view>(&value))
        return f.cell == Cell::kQuoted ? Quoted(*text) : std::string(*text);
    return {};
}

}  // namespace

constinit const std::span<const RecordField> kRecordFields{kFields};

std::string RecordCsvHeader() {
    std::string line;
    for (const RecordField& f : kRecordFields) {
        if (!(f.parts & F::kExported))
            continue;
        if (!line.empty())
            line += ',';
        line += f.csvLabel;
    }
    return line;
}

std::string RecordCsvRow(const DownloadRecord& record) {
    std::string line;
    bool first = true;
    for (const RecordField& f : kRecordFields) {
        if (!(f.parts & F::kExported))
            continue;
        if (!first)
            line += ',';
        first = false;
        line += CsvCell(f, f.get(record));
    }
    return line;
}
