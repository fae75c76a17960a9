#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "ledger/record_store.h"

// The operator's shift as the record tells it: the downloads of one station (its host and its
// config.ini) begun since the shift's start, whichever front end ran them. A download counts when
// a module answered it: passed when it succeeded, failed otherwise (a refused file or plan, no
// module and a module that could not be opened are not a module's verdict).
struct ShiftCount {
    int passed = 0;
    int failed = 0;
    int modules = 0;    // the modules (UIDs) counted
    int firstPass = 0;  // of those, the ones whose first download of the shift passed
    // The last serial number written in the shift.
    bool hasSerial = false;
    std::uint32_t lastSerial = 0;
    int lastSerialWidth = 0;

    int Total() const { return passed + failed; }
    bool operator==(const ShiftCount&) const = default;
};

// Counts records one at a time, oldest first.
class ShiftTally {
  public:
    ShiftTally(std::string stationHost, std::string stationConfig)
        : m_host(std::move(stationHost)), m_config(std::move(stationConfig)) {}
    void Add(const DownloadRecord& record);
    const ShiftCount& Count() const { return m_count; }

  private:
    std::string m_host, m_config;
    std::unordered_map<std::string, bool> m_seen;  // a module's UID: whether it was first seen
    ShiftCount m_count;
};

// The shift of the station on `configPath` since `since` (ISO 8601 UTC; empty: every record),
// read from the record that station writes (a page at a time); nothing, with the failure, when
// the record cannot be read.
std::optional<ShiftCount> CountShift(const std::string& configPath, const std::string& since,
                                     RecordFailure* failure);

// The count as a window shows it: "Passed 28   Failed 2   Total 30   First pass 93.3%" and, when
// a number was written, "   Last SN 0x051D" (the number with its width's digits).
std::string ShiftCountText(const ShiftCount& count);
