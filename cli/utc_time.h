#pragma once

#include <optional>
#include <string>

// A date or time a scripter writes, in ISO 8601: a date ("2026-12-01"), or a date and time
// ("2026-12-01T08:00", seconds and a fraction optional, 'T' or one space between), with 'Z',
// an offset ("+02:00", "-0530", "+02") or nothing (taken as UTC). Returned as the record's own
// form, UTC with milliseconds ("2026-12-01T06:00:00.000Z"), so that text order is time order;
// nothing for anything else (a date that does not exist, a 25th hour, trailing text).
std::optional<std::string> IsoToUtc(const std::string& text);
