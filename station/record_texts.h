#pragma once

#include <string>
#include <vector>

#include "ledger/record_failure.h"
#include "ledger/record_journal.h"
#include "text/log_entry.h"

// The record's failures in the operator's words: what the ledger (the record, its journal, the
// opening of its database) reports as a code and data is worded once, here. These are the texts
// the log, pravune-cli's messages and the records' status texts show, byte for byte.

// "cannot end the record of download #7: database is locked", "there is no download #9", ...;
// empty for kNone and for kSerialConflict (the conflict has words of its own:
// SerialConflictText).
std::string RecordFailureText(const RecordFailure& failure);

// The status texts a catch-up writes into records: "... (refused 6 times for this cause, the
// last ending 2026-12-07T16:42:04.123Z)", "interrupted: process 4242 ended before the
// download's end was recorded (closed ... by process 77)".
const RecordWords& StationRecordWords();

// The log as a record keeps it: a log longer than kMaxRecordLogEntries keeps its first entries
// and, last, a red one that says how many were not recorded.
std::vector<LogEntry> RecordableLog(const std::vector<LogEntry>& log);
