#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ledger/record_store.h"
#include "station/download_recorder.h"
#include "station/serial_plan.h"
#include "station/station_observer.h"
#include "station/station_settings.h"

// The record's refusal of a number in the operator's words ("serial number 0x0005 of plan
// 0x0E00/3 was already given to download #1"); empty for kNone.
std::string SerialConflictText(const SerialConflict& conflict);

// The serial number of one download: taken after the handshake and before anything changes the
// module, recorded for the download, and settled at its end (written into the module, or used
// up: never given again).
class SerialReservation {
  public:
    using LogFn = std::function<void(const std::string& text, std::uint32_t color)>;

    SerialReservation(SerialPlan& plan, StationSettings& settings, DownloadRecorder& recorder,
                      StationObserver& observer, LogFn log);

    // Takes the plan's next number for the running download and tells the front end the number
    // taken (then the next one). The number, or nothing with the refusal.
    std::optional<std::uint32_t> Reserve(SerialRefusal& refusal);
    // The number's final state, recorded (or kept for later); a number not written is used up.
    void Settle(std::uint32_t value, bool written);

  private:
    SerialPlan& m_plan;
    StationSettings& m_settings;
    DownloadRecorder& m_recorder;
    StationObserver& m_observer;
    LogFn m_log;
};
