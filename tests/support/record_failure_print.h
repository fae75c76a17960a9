#pragma once

#include <ostream>

#include "ledger/record_failure.h"
#include "station/record_texts.h"

// A failure of the record in a test's message, in the operator's words.
inline std::ostream& operator<<(std::ostream& out, const RecordFailure& failure) {
    return out << RecordFailureText(failure);
}
