#include "cli/printer.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "settings/os_files.h"

namespace {

std::string ColorText(std::uint32_t color) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(color & 0xFFFFFF));
    return text;
}

// The terminal's colour for a log colour: green and red as such, the stamp dimmed.
const char* Ansi(std::uint32_t color) {
    switch (color) {
        case kLogGreen:
            return "\x1b[32m";
        case kLogRed:
            return "\x1b[31m";
        case kLogStampColor:
            return "\x1b[35m";
        default:
            return "";
    }
}

}  // namespace

// The time stamp of a log heading: local time with milliseconds.
std::string LogStampText() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long milli =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    tm local{};
    os_files::LocalTime(seconds, local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03lld ", local.tm_hour, local.tm_min,
                  local.tm_sec, milli);
    return text;
}

namespace {

// The log's line ends ("\r\n", "\n") as one "\n".
std::string WithoutCr(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r')
            out.push_back(c);
    }
    return out;
}

}  // namespace

void Printer::Write(const std::string& line) {
    std::fputs(line.c_str(), m_out);
    std::fflush(m_out);
}

void Printer::LogPiece(const std::string& module, const LogEntry& entry) {
    const std::lock_guard lock(m_mutex);
    if (m_mode == Mode::kJson) {
        const nlohmann::json event = {{"event", "log"},           {"module", module},
                                      {"text", entry.text},       {"color", ColorText(entry.color)},
                                      {"stamp", entry.timeStamp}, {"stamp_text", entry.stamp}};
        Write(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        return;
    }
    // Lines of several modules are built apart: a line another module started is ended first.
    if (!m_pending.empty() && m_pendingModule != module) {
        Write(m_pending + "\n");
        m_pending.clear();
    }
    if (m_pending.empty())
        m_pending = module.empty() ? std::string() : "[" + module + "] ";
    m_pendingModule = module;
    // A record's log may hold what an older loader did not escape.
    const std::string text = WithoutCr(EscapeControls(entry.text, Controls::kKeepLineEnds));
    // The stamp taken when the piece was made (the station's), else now.
    std::string piece =
        entry.timeStamp ? (entry.stamp.empty() ? LogStampText() : entry.stamp) + text : text;
    if (m_mode == Mode::kTerminal && *Ansi(entry.color))
        piece = Ansi(entry.color) + piece + "\x1b[0m";
    m_pending += piece;
    for (std::size_t eol; (eol = m_pending.find('\n')) != std::string::npos;) {
        Write(m_pending.substr(0, eol + 1));
        m_pending.erase(0, eol + 1);
        if (!m_pending.empty())
            m_pending.insert(0, module.empty() ? std::string() : "[" + module + "] ");
    }
}

void Printer::Progress(const std::string& module, std::uint32_t done, std::uint32_t of) {
    const std::lock_guard lock(m_mutex);
    if (m_mode == Mode::kJson) {
        Write(nlohmann::json{{"event", "progress"}, {"module", module}, {"done", done}, {"of", of}}
                  .dump() +
              "\n");
        return;
    }
    if (m_mode != Mode::kTerminal || !m_pending.empty())
        return;
    // A bar per module, drawn as a line of its own each quarter.
    const unsigned width = 20;
    const unsigned filled = of ? static_cast<unsigned>(std::uint64_t{done} * width / of) : width;
    Write("[" + module + "] [" + std::string(filled, '#') + std::string(width - filled, '.') +
          "] " + std::to_string(of ? std::uint64_t{done} * 100 / of : 100) + "%\n");
}

void Printer::Event(const nlohmann::json& event, const std::string& text) {
    const std::lock_guard lock(m_mutex);
    if (m_mode == Mode::kJson) {
        Write(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    } else {
        if (!m_pending.empty()) {
            Write(m_pending + "\n");
            m_pending.clear();
        }
        Write(EscapeControls(text) + "\n");
    }
}

void ModuleObserver::OnProgressRange(std::uint32_t, std::uint32_t high) {
    m_high = high;
    m_lastShown = 0;
}

void ModuleObserver::OnProgressPos(std::uint32_t position) {
    // Every tenth for JSON, every quarter on a terminal; a block of three bytes shows nothing.
    if (m_high < 8)
        return;
    const std::uint32_t done = std::min(position > 0 ? position - 1 : 0, m_high);
    const std::uint32_t step = m_printer.mode() == Printer::Mode::kJson ? 10 : 25;
    const std::uint32_t percent = done * 100 / m_high;
    if (percent / step == m_lastShown / step && done != m_high)
        return;
    m_lastShown = percent;
    m_printer.Progress(m_module, done, m_high);
}

void ModuleObserver::OnStatus(const std::string& text, std::uint32_t, bool present,
                              const std::string& uid) {
    if (present)
        m_found = true;
    m_printer.Event({{"event", "status"}, {"module", m_module}, {"text", text}, {"uid", uid}},
                    "[" + m_module + "] " + text);
}

void ModuleObserver::OnWarning(const std::string& text) {
    m_printer.Event({{"event", "warning"}, {"module", m_module}, {"text", text}},
                    "[" + m_module + "] warning: " + text);
}
