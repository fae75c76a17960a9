#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "os/os_files.h"
#include "station/serial_plan.h"
#include "station/station_observer.h"
#include "text/result.h"

// A station's settings in config.ini: read at start (every key, in the window's order), followed
// when another front end changes the file, and saved a key at a time. A file that cannot be read
// stops every download until it is mended, and is never rewritten.
class StationSettings {
  public:
    using LogFn = std::function<void(const std::string& text, std::uint32_t color)>;

    StationSettings(std::string path, SerialPlan& plan, StationObserver& observer, LogFn log);

    const std::string& Path() const { return m_path; }

    // Reads every key into these settings and the plan, tells the operator about stored
    // serial-number texts the plan cannot write, and tells the observer (OnSettingsRead).
    StoredSettings Read();
    // Whether config.ini could be read: kMended when it could not before and now can (every
    // setting then read again, as at a start, in `mended`).
    enum class Readable { kYes, kNo, kMended };
    Readable CheckReadable(StoredSettings* mended);
    // The idle refresh's look at config.ini, one stat of the file when nothing changed: the
    // plan's number follows another front end's change, and a file that could not be read is
    // read again once it can be (CheckReadable's answer).
    Readable Follow(StoredSettings* mended);
    bool Unreadable() const { return m_problem.has_value(); }
    // Why config.ini could not be read.
    const std::string& Problem() const { return *m_problem; }

    // Saves one key; a failure is logged once until a save succeeds again.
    void Save(const std::string& key, const std::string& value);
    // A save of the plan's number made elsewhere (under the settings lock) went well.
    void NoteSaved() { m_saveFailure.reset(); }
    // Saves the plan's advanced number; the reason when it could not be.
    Status SaveNumber(const std::string& text);
    // Each identifier text of exactly four characters is parsed and saved; whether any was.
    bool TakeBootloaderId(const std::string& vidText, const std::string& pidText);

    std::uint32_t Vid() const { return m_vid; }
    std::uint32_t Pid() const { return m_pid; }
    const std::string& HexPath() const { return m_hexPath; }
    void SetHexPath(std::string path) { m_hexPath = std::move(path); }
    bool AutoReload() const { return m_autoReload; }
    void SetAutoReload(bool on) { m_autoReload = on; }
    // SN_Current as this station last read or wrote it: the idle refresh follows a change.
    const std::string& StoredNumber() const { return m_storedNumber; }
    void SetStoredNumber(std::string text) { m_storedNumber = std::move(text); }
    // The plan's number changed: config.ini has `stored`, the front end shows the plan's.
    void ShowNumber(const std::string& stored);
    // Tells the operator the first reason a stored serial-number text may not be written.
    void LogPlanProblem();

  private:
    std::string m_path;
    SerialPlan& m_plan;
    StationObserver& m_observer;
    LogFn m_log;
    std::string m_hexPath;
    bool m_autoReload = false;
    std::uint32_t m_vid = 0;
    std::uint32_t m_pid = 0;
    std::string m_storedNumber;
    std::optional<std::string> m_saveFailure;  // reason of the last failed save
    // Why config.ini could not be read, and the version of the file this station last saw.
    std::optional<std::string> m_problem;
    os_files::FileVersion m_seen;
};
