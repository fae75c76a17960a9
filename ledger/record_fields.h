#pragma once

#include <span>
#include <string>

#include "ledger/record_store.h"
#include "ledger/sql_session.h"

// The fields of a download's record, in one list: where each is stored, how it is exported and
// journaled. The record's SELECT, its INSERT and UPDATE, the reading of its row, the CSV and
// JSON of `records` and the journal's lines are all made from kRecordFields, so that a new
// field is a member of DownloadRecord, a line of the list and a step of the layout.

struct RecordField {
    // Where a field takes part.
    enum Part : unsigned {
        kBegin = 1u << 0,          // written by BeginDownload's INSERT
        kFinish = 1u << 1,         // written by FinishDownload's UPDATE
        kExported = 1u << 2,       // a column of `records --csv` and a key of the `record` event
        kInSerial = 1u << 3,       // exported inside the event's "serial" object
        kWholeJournal = 1u << 4,   // kept in the journal with a whole record (one with no id)
        kEndJournal = 1u << 5,     // kept in the journal with every record's end
        kNowWhenEmpty = 1u << 6,   // stored as the time of writing when empty
        kNullWhenEmpty = 1u << 7,  // stored as NULL when empty
    };
    enum class Kind { kText, kInteger };
    // How an exported field is shown in a CSV cell (NULL: an empty cell).
    enum class Cell { kQuoted, kDecimal, kHex, kBare };

    const char* column;      // its column of the table downloads; null: it has none
    const char* sqlType;     // that column's type as the layout declares it
    const char* select;      // how the record's SELECT reads it; null: d.<column>
    const char* csvLabel;    // its CSV column; null: not exported
    const char* jsonKey;     // its key in the `record` event (inside "serial" for kInSerial)
    const char* journalKey;  // its key in the journal; null: not journaled
    unsigned parts;
    Kind kind;
    Cell cell;
    // The field's value in `record`: a text (a view of the record or of a constant), a number,
    // or NULL where the record does not hold it (no serial number).
    sql::Value (*get)(const DownloadRecord& record);
    // Sets it from a value of its kind; NULL leaves it as it is. False for a value the field
    // cannot take (a serial number's state that is none).
    bool (*set)(DownloadRecord& record, const sql::Value& value);
};

// Every field of a record, in the order of the CSV columns (new ones only ever at the end).
extern const std::span<const RecordField> kRecordFields;

// The CSV export: its header line and a record's row, without the line end.
std::string RecordCsvHeader();
std::string RecordCsvRow(const DownloadRecord& record);
