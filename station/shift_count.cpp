#include "station/shift_count.h"

#include "image/serial_number.h"

#include "ledger/database_config.h"
#include "ledger/station_process.h"

void ShiftTally::Add(const DownloadRecord& record) {
    if (record.stationHost != m_host || record.stationConfig != m_config ||
        record.moduleUid.empty() || record.verdict == "running")
        return;
    for (const char* notAModule : {"refused", "no_module", "no_access"}) {
        if (record.outcome == notAModule)
            return;
    }
    const bool passed = record.verdict == "succeeded";
    ++(passed ? m_count.passed : m_count.failed);
    if (m_seen.emplace(record.moduleUid, passed).second) {
        ++m_count.modules;
        m_count.firstPass += passed ? 1 : 0;
    }
    if (record.hasSerial && record.serialState == SerialState::kWritten) {
        m_count.hasSerial = true;
        m_count.lastSerial = record.serialValue;
        m_count.lastSerialWidth = record.serialPlan.width;
    }
}

std::optional<ShiftCount> CountShift(const std::string& configPath, const std::string& since,
                                     RecordFailure* failure) {
    const StationProcess self = ThisStationProcess(configPath);
    const std::unique_ptr<RecordStore> store =
        OpenChosenRecordStore(ChooseDatabase(configPath), configPath, failure);
    if (!store)
        return std::nullopt;
    ShiftTally tally(self.host, self.config);
    if (!store->ForEach(
            since, false,
            [&tally](const DownloadRecord& record) {
                tally.Add(record);
                return true;
            },
            failure))
        return std::nullopt;
    return tally.Count();
}

std::string ShiftCountText(const ShiftCount& count) {
    std::string text = "Passed " + std::to_string(count.passed) + "   Failed " +
                       std::to_string(count.failed) + "   Total " + std::to_string(count.Total());
    if (count.modules > 0) {
        // One decimal, rounded half up, from whole numbers: 28 of 30 is 93.3%.
        const long long tenths = (count.firstPass * 2000LL + count.modules) / (2LL * count.modules);
        text += "   First pass " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
                "%";
    }
    if (count.hasSerial)
        text += "   Last SN " + SerialNumberText(count.lastSerial, count.lastSerialWidth);
    return text;
}
