#include "cli/records_export.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "cli/exit_code.h"
#include "image/serial_number.h"
#include "ledger/database_config.h"
#include "ledger/record_fields.h"
#include "ledger/record_store.h"
#include "station/record_texts.h"
#include "text/escape_controls.h"
#include "text/log_entry.h"

namespace {

// The record store config.ini chooses, its layout brought up to date.
std::unique_ptr<RecordStore> OpenRecords(const Options& o, std::string& name) {
    const DatabaseChoice choice = ChooseDatabase(ConfigPath(o));
    name = choice.name;
    RecordFailure failure;
    auto store = OpenChosenRecordStore(choice, ConfigPath(o), &failure);
    if (!store)
        std::fprintf(stderr, "pravune-cli: %s: %s\n", EscapeControls(choice.name).c_str(),
                     EscapeControls(RecordFailureText(failure)).c_str());
    return store;
}

// One record of the list: a CSV row, or a `record` event (a line of text, or JSON).
void PrintRecord(const Options& o, Printer& out, const DownloadRecord& r) {
    if (o.csv) {
        std::printf("%s\n", RecordCsvRow(r).c_str());
        return;
    }
    nlohmann::json event = {{"event", "record"}};
    for (const RecordField& f : kRecordFields) {
        if (!(f.parts & RecordField::kExported))
            continue;
        // NULL (no serial number) is left out, and with it the "serial" object.
        const sql::Value value = f.get(r);
        if (std::holds_alternative<std::monostate>(value))
            continue;
        nlohmann::json& place = f.parts & RecordField::kInSerial ? event["serial"] : event;
        if (const auto* number = std::get_if<std::int64_t>(&value))
            place[f.jsonKey] = *number;
        else
            place[f.jsonKey] = std::string(std::get<std::string_view>(value));
    }
    const std::string state = r.hasSerial ? SerialStateText(r.serialState) : "";
    out.Event(event,
              "#" + std::to_string(r.id) + "  " + r.startUtc + "  " +
                  (r.moduleUid.empty() ? "-" : r.moduleUid) + "  " +
                  (r.hasSerial ? "SN 0x" + HexUpper(r.serialValue) + " " + state : "no SN") + "  " +
                  r.verdict +
                  (r.outcome.empty() || r.outcome == r.verdict ? "" : " (" + r.outcome + ")") +
                  (r.failedStep.empty() ? "" : " at " + r.failedStep));
}

}  // namespace

int DbInit(const Options& o, Printer& out) {
    std::string name;
    auto store = OpenRecords(o, name);
    if (!store)
        return kExitNoRecord;
    out.Event({{"event", "database"}, {"name", name}, {"layout", store->SchemaVersion()}},
              name + ": ready, layout version " + std::to_string(store->SchemaVersion()));
    return kExitOk;
}

int Records(const Options& o, Printer& out) {
    RecordFailure failure;
    std::string name;
    auto store = OpenRecords(o, name);
    if (!store)
        return kExitNoRecord;
    if (o.show) {
        const std::optional<DownloadRecord> r = store->Get(o.show, &failure);
        if (!r) {
            std::fprintf(stderr, "pravune-cli: %s\n",
                         EscapeControls(RecordFailureText(failure)).c_str());
            return kExitUsage;
        }
        for (LogEntry e : r->log) {
            // Each line with its own stamp; a record of a loader before 1.5.1 kept none.
            if (e.timeStamp && e.stamp.empty())
                e.stamp = "--:--:--.--- ";
            out.LogPiece("", e);
        }
        return kExitOk;
    }
    if (o.csv) {
        // Columns are only ever added at the end.
        std::printf("%s\n", RecordCsvHeader().c_str());
    }
    // Each record printed as it is read, without its log: memory does not grow with the store.
    bool closed = false;
    const bool read = store->ForEach(
        o.since, false,
        [&](const DownloadRecord& r) {
            PrintRecord(o, out, r);
            closed = o.csv ? std::ferror(stdout) != 0 : out.Closed();
            return !closed;
        },
        &failure);
    if (!read) {
        std::fflush(stdout);
        std::fprintf(stderr, "pravune-cli: %s\n",
                     EscapeControls(RecordFailureText(failure)).c_str());
        return kExitNoRecord;
    }
    if (closed || (o.csv && std::fflush(stdout) != 0))
        return kExitOutputClosed;
    return kExitOk;
}
