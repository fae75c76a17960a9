// The record's fields, listed once (kRecordFields): each survives the database, the CSV export
// and the journal. A field added to the list is covered here without a line of its own.
#include "ledger/record_fields.h"

#include <gtest/gtest.h>

#include <map>

#include "ledger/record_journal.h"
#include "tests/support/record_failure_print.h"
#include "tests/support/sample_record.h"
#include "tests/support/temp_dir.h"

namespace {

// The field's value as text, for messages and comparisons ("NULL" for none).
std::string Shown(const RecordField& f, const DownloadRecord& r) {
    const sql::Value value = f.get(r);
    if (const auto* number = std::get_if<std::int64_t>(&value))
        return std::to_string(*number);
    if (const auto* text = std::get_if<std::string_view>(&value))
        return "'" + std::string(*text) + "'";
    return "NULL";
}

TEST(RecordFields, EveryFieldSurvivesTheDatabase) {
    TempDir dir;
    RecordFailure reason;
    auto store = OpenSqliteRecordStore(dir.File("records.sqlite"), &reason);
    ASSERT_TRUE(store) << reason;
    DownloadRecord sample = SampleRecord();
    sample.id = store->BeginDownload(sample, &reason);
    ASSERT_NE(sample.id, 0) << reason;
    ASSERT_TRUE(store->FinishDownload(sample, &reason)) << reason;
    const std::optional<DownloadRecord> read = store->Get(sample.id, &reason);
    ASSERT_TRUE(read) << reason;
    for (const RecordField& f : kRecordFields)
        EXPECT_EQ(Shown(f, *read), Shown(f, sample)) << (f.column ? f.column : f.select);

    // Each column of the list is the layout's, of the type the list says.
    auto raw = sql::OpenSqlite(dir.File("records.sqlite"), &reason);
    const sql::Result columns = raw->Run("SELECT name, type FROM pragma_table_info('downloads')");
    ASSERT_TRUE(columns.ok()) << columns.error;
    std::map<std::string, std::string> types;
    for (const sql::Row& row : columns.rows)
        types[row.Text(0)] = row.Text(1);
    for (const RecordField& f : kRecordFields) {
        if (f.column && std::string_view(f.sqlType) != "{identity}") {
            EXPECT_EQ(types[f.column], f.sqlType) << f.column;
        }
    }
}

// Today's export, byte for byte: its columns, their order and their forms. Columns are only ever
// added at the end.
TEST(RecordFields, TheCsvExportKeepsItsColumnsAndForms) {
    EXPECT_EQ(RecordCsvHeader(),
              "id,start_utc,end_utc,station,hex_path,image_sha256,format,module_uid,port,"
              "sn_address,sn_width,sn_value,sn_state,verdict,failed_step,duration_ms,hex_file,"
              "file_sha256,station_config,outcome,loader_version,status_text,operator,badge");
    DownloadRecord r;
    r.id = 12;
    r.startUtc = "2026-12-07T16:42:04.123Z";
    r.moduleUid = "\x1B[2J\"q\"";
    r.verdict = r.outcome = "succeeded";
    r.durationMs = 4878;
    r.loaderVersion = "1.5.1";
    EXPECT_EQ(RecordCsvRow(r),
              "12,\"2026-12-07T16:42:04.123Z\",\"\",\"\",\"\",\"\",\"\",\"\\x1B[2J\"\"q\"\"\",\"\","
              ",,,,\"succeeded\",\"\",4878,\"\",\"\",\"\",\"succeeded\",\"1.5.1\",\"\",\"\",\"\"");
    r.hasSerial = true;
    r.serialPlan = {0x3B00, 2};
    r.serialValue = 0x1AF;
    r.serialState = SerialState::kUsedUp;
    EXPECT_NE(RecordCsvRow(r).find(",\"\",0x3B00,2,0x1AF,used_up,\"succeeded\","),
              std::string::npos)
        << RecordCsvRow(r);
}

// Every field the journal keeps comes back from it; an end alone keeps only what
// FinishDownload writes.
TEST(RecordFields, EveryJournaledFieldSurvivesTheJournal) {
    for (const std::int64_t id : {std::int64_t{0}, std::int64_t{7}}) {
        JournalEntry entry{"records.sqlite", id, std::nullopt, SampleRecord(), 0, 0, {}};
        entry.finish->id = id;
        entry.finish->log = {{"Erase ... \t\t", 0, true, "16:42:04.123 "}};
        std::vector<JournalEntry> read;
        ASSERT_TRUE(ParseJournal(JournalText({entry}), read));
        ASSERT_EQ(read.size(), 1u) << id;
        ASSERT_TRUE(read[0].finish);
        const unsigned kept =
            RecordField::kEndJournal | (id == 0 ? RecordField::kWholeJournal : 0u);
        for (const RecordField& f : kRecordFields) {
            if (f.parts & kept) {
                EXPECT_EQ(Shown(f, *read[0].finish), Shown(f, *entry.finish)) << f.journalKey;
            } else if (std::string_view(f.column ? f.column : "") != "id") {
                EXPECT_EQ(Shown(f, *read[0].finish), Shown(f, DownloadRecord{})) << f.column;
            }
        }
        EXPECT_EQ(read[0].finish->id, id);
        EXPECT_EQ(read[0].finish->log, entry.finish->log);
    }
}

}  // namespace
