#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "station/station_observer.h"

// Where the command line's output goes, shared by every station of one run (one lock, so lines
// of several modules never mix): plain lines, coloured lines on a terminal, or one JSON object
// per event (JSON lines) for factory systems.
class Printer {
  public:
    enum class Mode { kPlain, kTerminal, kJson };
    explicit Printer(Mode mode, std::FILE* out = stdout) : m_mode(mode), m_out(out) {}

    Mode mode() const { return m_mode; }
    // A finished log line of one module (its pieces joined), or one piece for JSON.
    void LogPiece(const std::string& module, const LogEntry& entry);
    void Progress(const std::string& module, std::uint32_t done, std::uint32_t of);
    // Any other event: printed as the JSON object, or as `text` otherwise (its control
    // characters escaped: it may hold a module's, a file's or a record's text).
    void Event(const nlohmann::json& event, const std::string& text);

  private:
    void Write(const std::string& line);

    Mode m_mode;
    std::FILE* m_out;
    std::mutex m_mutex;
    std::string m_pending;  // pieces of the line being built, per module (plain and terminal)
    std::string m_pendingModule;
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

    void OnLog(const LogEntry& entry) override { m_printer.LogPiece(m_module, entry); }
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
};
