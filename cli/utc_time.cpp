#include "cli/utc_time.h"

#include <cstdint>
#include <cstdio>

namespace {

// Reads exactly `digits` decimal digits at `pos`.
bool Digits(const std::string& text, std::size_t& pos, std::size_t digits, int& value) {
    if (pos + digits > text.size())
        return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    pos += digits;
    return true;
}

bool Take(const std::string& text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

}  // namespace

std::optional<std::string> IsoToUtc(const std::string& text) {
    std::size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    if (!Digits(text, pos, 4, year) || !Take(text, pos, '-') || !Digits(text, pos, 2, month) ||
        !Take(text, pos, '-') || !Digits(text, pos, 2, day))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return std::nullopt;
    int offsetMinutes = 0;
    if (pos < text.size()) {
        if (!Take(text, pos, 'T') && !Take(text, pos, ' '))
            return std::nullopt;
        if (!Digits(text, pos, 2, hour) || !Take(text, pos, ':') || !Digits(text, pos, 2, minute))
            return std::nullopt;
        if (Take(text, pos, ':')) {
            if (!Digits(text, pos, 2, second))
                return std::nullopt;
            if (Take(text, pos, '.') || Take(text, pos, ',')) {
                // Any number of digits; milliseconds kept, the rest dropped.
                std::size_t digits = 0;
                for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
                    if (digits < 3)
                        milli = milli * 10 + (text[pos] - '0');
                }
                if (digits == 0)
                    return std::nullopt;
                for (; digits < 3; ++digits)
                    milli *= 10;
            }
        }
        if (hour > 23 || minute > 59 || second > 59)
            return std::nullopt;
        if (Take(text, pos, 'Z')) {
        } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            const int sign = text[pos++] == '-' ? -1 : 1;
            int oh = 0, om = 0;
            if (!Digits(text, pos, 2, oh))
                return std::nullopt;
            if (pos < text.size()) {
                Take(text, pos, ':');
                if (!Digits(text, pos, 2, om))
                    return std::nullopt;
            }
            if (oh > 23 || om > 59)
                return std::nullopt;
            offsetMinutes = sign * (oh * 60 + om);
        }
        if (pos != text.size())
            return std::nullopt;
    }
    const std::int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 +
                                 minute * 60 + second - std::int64_t{offsetMinutes} * 60;
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    std::int64_t y = 0;
    int m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    if (y < 0 || y > 9999)
        return std::nullopt;
    char out[128];  // room for any int the optimiser cannot bound, so no warning of truncation
    std::snprintf(out, sizeof out, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ",
                  static_cast<long long>(y), m, d, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), milli);
    return std::string(out);
}
