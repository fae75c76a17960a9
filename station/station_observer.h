#pragma once

#include <cstdint>
#include <string>

#include "image/load_report.h"

// What config.ini holds, as the station read it: each key's text, or its number for the keys a
// station reads as numbers.
struct StoredSettings {
    std::string vid;   // m_strVID_bt
    std::string pid;   // m_strPID_bt
    std::string path;  // m_strPath_flash
    int autoReload = 0;
    int autoSn = 0;
    std::string snAddr;   // SN_StartAddr
    std::string snValue;  // SN_Current
    int snBytes = 1;
    unsigned snStep = 1;
};

// What the station tells the front end that runs it: a window, a command line, a test.
// Every call comes on the thread that runs the station.
class StationObserver {
  public:
    virtual ~StationObserver() = default;

    // The message log: one piece of text (the station ends its own lines), and a clear.
    virtual void OnLog(const LogEntry& entry) = 0;
    // The time stamp of a piece made now, as this front end shows it (by default the window's,
    // LogStampNow); the station puts it in the piece, and the download's record keeps it.
    virtual std::string StampText() { return LogStampNow(); }
    virtual void OnClearLog() {}
    // The download's progress: the logical range, the step, the position, and whether the bar
    // is shown at all (from the erase until the run).
    virtual void OnProgressRange(std::uint32_t /*low*/, std::uint32_t /*high*/) {}
    virtual void OnProgressStep(std::uint32_t /*step*/) {}
    virtual void OnProgressPos(std::uint32_t /*position*/) {}
    virtual void OnProgressShown(bool /*shown*/) {}
    // The connection status: "SN: ..." in green with the module present, or "Disconnected".
    // `uid` is the module's identifier as UTF-8 text, empty when none is present.
    virtual void OnStatus(const std::string& /*text*/, std::uint32_t /*color*/, bool /*present*/,
                          const std::string& /*uid*/) {}
    // A download starts (true) or has ended (false).
    virtual void OnBusy(bool /*busy*/) {}
    // A warning the operator must acknowledge; the station goes on when the call returns.
    virtual void OnWarning(const std::string& /*text*/) {}
    // A file was loaded (or failed to load): the report's labels, and the format that decides
    // which serial-number controls may be used.
    virtual void OnImageLoaded(const LoadReport& /*report*/, bool /*makerFormat*/) {}
    // The station read config.ini (at start, or again once a file that could not be read was
    // mended): what a window's fields show.
    virtual void OnSettingsRead(const StoredSettings& /*stored*/) {}
    // The serial-number plan's number changed (the number being written, the next one, another
    // front end's advance): its text as the number's field shows it.
    virtual void OnSerialNumber(const std::string& /*text*/) {}
    // A setting could not be saved; the station has also put a red line in the log.
    virtual void OnSettingsSaveFailed(const std::string& /*path*/, const std::string& /*reason*/) {}
};
