#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/station_observer.h"

// Where the command line's output goes, shared by every station of one run (one lock, so lines
// of several modules never mix): plain lines, coloured lines on a terminal, or one JSON object
// per event (JSON lines) for factory systems.
class Printer {
  public:
    enum class Mode { kPlain, kTerminal, kJson };
    // `quiet`: no log, progress, status or warning, only the events that give a result.
    explicit Printer(Mode mode, bool quiet = false, std::FILE* out = stdout)
        : m_mode(mode), m_quiet(quiet), m_out(out) {}
    // Ends the lines left unfinished.
    ~Printer();
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    Mode mode() const { return m_mode; }
    // Whether the output was closed (a reader that went away, as `| head -n 1`): nothing more
    // is printed, and the run finishes what it began without taking more. `onClosed` is told
    // once when it happens.
    bool Closed() const { return m_closed; }
    void OnClosed(std::function<void()> onClosed) { m_onClosed = std::move(onClosed); }
    // A finished log line of one module (its pieces joined), or one piece for JSON.
    void LogPiece(const std::string& module, const LogEntry& entry);
    void Progress(const std::string& module, std::uint32_t done, std::uint32_t of);
    // Any other event: printed as the JSON object (with its UTC "time" when it names none), or
    // as `text` otherwise (its control characters escaped: it may hold a module's, a file's or
    // a record's text). A module's event ends that module's unfinished line first.
    void Event(const nlohmann::json& event, const std::string& text);
    // The same with several lines of text, each escaped on its own.
    void Event(const nlohmann::json& event, const std::vector<std::string>& lines);

  private:
    void Write(const std::string& line);
    void EndLine(const std::string& module);

    Mode m_mode;
    bool m_quiet;
    std::FILE* m_out;
    std::atomic<bool> m_closed{false};
    std::function<void()> m_onClosed;
    std::mutex m_mutex;
    // The pieces of the line each module is building (plain and terminal): written only whole,
    // so that another module's line never comes between the pieces of one.
    std::map<std::string, std::string> m_pending;
};

// The command line's time stamp of a log piece made now: local time with milliseconds,
// "HH:MM:SS.mmm ".
std::string LogStampText();

// What one station tells the command line, prefixed with its module (its port or UID).
class ModuleObserver final : public StationObserver {
  public:
    ModuleObserver(Printer& printer, std::string module)
        : m_printer(printer), m_module(std::move(module)) {}
    void SetModule(std::string module) { m_module = std::move(module); }
    // True once the module has answered the handshake.
    bool ModuleFound() const { return m_found; }
    // The first red line the station logged (trimmed): why a check before any download refused.
    const std::string& FirstRedLine() const { return m_firstRed; }

    void OnLog(const LogEntry& entry) override;
    std::string StampText() override { return LogStampText(); }
    void OnProgressRange(std::uint32_t low, std::uint32_t high) override;
    void OnProgressPos(std::uint32_t position) override;
    void OnStatus(const std::string& text, std::uint32_t color, bool present,
                  const std::string& uid) override;
    void OnWarning(const std::string& text) override;

  private:
    Printer& m_printer;
    std::string m_module;
    std::uint32_t m_high = 0;
    std::uint32_t m_lastShown = 0;
    std::atomic<bool> m_found{false};
    std::string m_firstRed;
};
