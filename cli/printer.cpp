#include "cli/printer.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "ledger/record_store.h"
#include "os/os_files.h"
#include "text/escape_controls.h"

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

// "[module] ": a module's name is the operator's (--module) or the device's text, escaped as
// any. Appended piece by piece: a chain of + here makes GCC 12 at -O3 warn wrongly
// (-Wrestrict).
std::string Bracketed(const std::string& module) {
    std::string text = "[";
    text.append(EscapeControls(module));
    text.append("] ");
    return text;
}

}  // namespace

void Printer::Write(const std::string& line) {
    if (m_closed)
        return;
    // A pipe whose reader is gone fails with EPIPE (SIGPIPE is ignored by main).
    if (std::fputs(line.c_str(), m_out) >= 0 && std::fflush(m_out) == 0)
        return;
    m_closed = true;
    if (m_onClosed)
        m_onClosed();
}

Printer::~Printer() {
    for (const auto& [module, line] : m_pending) {
        if (!line.empty())
            Write(line + "\n");
    }
}

void Printer::EndLine(const std::string& module) {
    const auto it = m_pending.find(module);
    if (it == m_pending.end())
        return;
    if (!it->second.empty())
        Write(it->second + "\n");
    m_pending.erase(it);
}

void Printer::LogPiece(const std::string& module, const LogEntry& entry) {
    const std::lock_guard lock(m_mutex);
    if (m_quiet)
        return;
    if (m_mode == Mode::kJson) {
        const nlohmann::json event = {{"event", "log"},
                                      {"time", UtcNowIso()},
                                      {"module", module},
                                      {"text", entry.text},
                                      {"color", ColorText(entry.color)},
                                      {"stamp", entry.timeStamp},
                                      {"stamp_text", entry.stamp}};
        Write(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        return;
    }
    const std::string prefix = module.empty() ? std::string() : Bracketed(module);
    std::string& pending = m_pending[module];
    if (pending.empty())
        pending = prefix;
    // A record's log may hold what an older loader did not escape.
    const std::string text = WithoutCr(EscapeControls(entry.text, Controls::kKeepLineEnds));
    // The stamp taken when the piece was made (the station's), else now.
    std::string piece =
        entry.timeStamp ? (entry.stamp.empty() ? LogStampText() : entry.stamp) + text : text;
    if (m_mode == Mode::kTerminal && *Ansi(entry.color))
        piece = Ansi(entry.color) + piece + "\x1b[0m";
    pending += piece;
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
        Write(pending.substr(0, eol + 1));
        pending.erase(0, eol + 1);
        if (!pending.empty())
            pending.insert(0, prefix);
    }
    if (pending == prefix)
        m_pending.erase(module);
}

void Printer::Progress(const std::string& module, std::uint32_t done, std::uint32_t of) {
    const std::lock_guard lock(m_mutex);
    if (m_quiet)
        return;
    if (m_mode == Mode::kJson) {
        Write(nlohmann::json{{"event", "progress"},
                             {"time", UtcNowIso()},
                             {"module", module},
                             {"done", done},
                             {"of", of}}
                  .dump() +
              "\n");
        return;
    }
    if (m_mode != Mode::kTerminal || m_pending.count(module))
        return;
    // A bar per module, drawn as a line of its own each quarter.
    const unsigned width = 20;
    const unsigned filled = of ? static_cast<unsigned>(std::uint64_t{done} * width / of) : width;
    Write(Bracketed(module) + "[" + std::string(filled, '#') + std::string(width - filled, '.') +
          "] " + std::to_string(of ? std::uint64_t{done} * 100 / of : 100) + "%\n");
}

void Printer::Event(const nlohmann::json& event, const std::string& text) {
    Event(event, std::vector<std::string>{text});
}

void Printer::Event(const nlohmann::json& event, const std::vector<std::string>& lines) {
    const std::lock_guard lock(m_mutex);
    const std::string kind = event.value("event", "");
    if (m_quiet && (kind == "status" || kind == "warning"))
        return;
    if (m_mode == Mode::kJson) {
        nlohmann::json stamped = event;
        if (!stamped.contains("time"))
            stamped["time"] = UtcNowIso();
        Write(stamped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        return;
    }
    if (const auto module = event.find("module"); module != event.end() && module->is_string())
        EndLine(module->get<std::string>());
    std::string text;
    for (const std::string& line : lines)
        text += EscapeControls(line) + "\n";
    Write(text);
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

void ModuleObserver::OnLog(const LogEntry& entry) {
    if (entry.color == kLogRed && m_firstRed.empty()) {
        const std::size_t first = entry.text.find_first_not_of("\r\n\t -");
        const std::size_t last = entry.text.find_last_not_of("\r\n\t ");
        if (first != std::string::npos && entry.text.compare(first, last + 1 - first, "Fail") != 0)
            m_firstRed = entry.text.substr(first, last + 1 - first);
    }
    m_printer.LogPiece(m_module, entry);
}
