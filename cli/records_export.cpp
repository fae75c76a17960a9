#include "cli/records_export.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli/exit_code.h"
#include "text/log_entry.h"
#include "text/escape_controls.h"
#include "image/serial_number.h"
#include "ledger/database_config.h"
#include "ledger/record_store.h"

namespace {

// A quoted cell; a control character in a record is shown escaped, never sent to the terminal.
std::string Csv(const std::string& text) {
    std::string out = "\"";
    for (char c : EscapeControls(text)) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

// The record store config.ini chooses, its layout brought up to date.
std::unique_ptr<RecordStore> OpenRecords(const Options& o, std::string& name) {
    const DatabaseChoice choice = ChooseDatabase(ConfigPath(o));
    name = choice.name;
    std::string reason;
    auto store = OpenChosenRecordStore(choice, ConfigPath(o), &reason);
    if (!store)
        std::fprintf(stderr, "pravune-cli: %s: %s\n", EscapeControls(choice.name).c_str(),
                     EscapeControls(reason).c_str());
    return store;
}

// One record of the list: a CSV row, or a `record` event (a line of text, or JSON).
void PrintRecord(const Options& o, Printer& out, const DownloadRecord& r) {
    const std::string state = r.hasSerial ? SerialStateText(r.serialState) : "";
    if (o.csv) {
        std::printf("%lld,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%lld,%s,%s,%s,%s,%s,%s\n",
                    static_cast<long long>(r.id), Csv(r.startUtc).c_str(), Csv(r.endUtc).c_str(),
                    Csv(r.stationHost).c_str(), Csv(r.hexPath).c_str(), Csv(r.imageSha256).c_str(),
                    Csv(r.format).c_str(), Csv(r.moduleUid).c_str(), Csv(r.portPath).c_str(),
                    r.hasSerial ? ("0x" + HexUpper(r.serialPlan.address)).c_str() : "",
                    r.hasSerial ? std::to_string(r.serialPlan.width).c_str() : "",
                    r.hasSerial ? ("0x" + HexUpper(r.serialValue)).c_str() : "", state.c_str(),
                    Csv(r.verdict).c_str(), Csv(r.failedStep).c_str(),
                    static_cast<long long>(r.durationMs), Csv(r.hexFile).c_str(),
                    Csv(r.fileSha256).c_str(), Csv(r.stationConfig).c_str(), Csv(r.outcome).c_str(),
                    Csv(r.loaderVersion).c_str(), Csv(r.statusText).c_str());
        return;
    }
    nlohmann::json event = {{"event", "record"},           {"id", r.id},
                            {"start", r.startUtc},         {"end", r.endUtc},
                            {"station", r.stationHost},    {"config", r.stationConfig},
                            {"version", r.loaderVersion},  {"hex", r.hexPath},
                            {"hex_file", r.hexFile},       {"file_sha256", r.fileSha256},
                            {"sha256", r.imageSha256},     {"format", r.format},
                            {"uid", r.moduleUid},          {"port", r.portPath},
                            {"verdict", r.verdict},        {"outcome", r.outcome},
                            {"failed_step", r.failedStep}, {"status", r.statusText},
                            {"duration_ms", r.durationMs}};
    if (r.hasSerial) {
        event["serial"] = {{"address", r.serialPlan.address},
                           {"width", r.serialPlan.width},
                           {"value", r.serialValue},
                           {"state", state}};
    }
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
    std::string reason, name;
    auto store = OpenRecords(o, name);
    if (!store)
        return kExitNoRecord;
    if (o.show) {
        const std::optional<DownloadRecord> r = store->Get(o.show, &reason);
        if (!r) {
            std::fprintf(stderr, "pravune-cli: %s\n", EscapeControls(reason).c_str());
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
        std::printf(
            "id,start_utc,end_utc,station,hex_path,image_sha256,format,module_uid,"
            "port,sn_address,sn_width,sn_value,sn_state,verdict,failed_step,"
            "duration_ms,hex_file,file_sha256,station_config,outcome,loader_version,"
            "status_text\n");
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
        &reason);
    if (!read) {
        std::fflush(stdout);
        std::fprintf(stderr, "pravune-cli: %s\n", EscapeControls(reason).c_str());
        return kExitNoRecord;
    }
    if (closed || (o.csv && std::fflush(stdout) != 0))
        return kExitOutputClosed;
    return kExitOk;
}
