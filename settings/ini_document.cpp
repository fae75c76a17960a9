#include "settings/ini_document.h"

#include <algorithm>

namespace {

constexpr std::size_t npos = std::string::npos;

// The UTF-8 byte-order mark some editors put at the start of a text file.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// "[section]": built by appending, as GCC 12's -O3 warns (-Wrestrict, wrongly) on the inlined
// `"[" + std::string(...)`.
std::string SectionLine(std::string_view section) {
    std::string line;
    line.reserve(section.size() + 2);
    line += '[';
    line += section;
    line += ']';
    return line;
}

std::string_view TrimView(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

IniDocument::Line IniDocument::ParseLine(std::string raw) {
    Line line;
    std::string_view t = TrimView(raw);
    if (!t.empty() && t.front() == '[') {
        std::size_t close = t.find(']');
        if (close != npos) {
            line.kind = Line::Kind::kSection;
            line.name = std::string(TrimView(t.substr(1, close - 1)));
        }
    } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
        std::size_t eq = t.find('=');
        if (eq != npos) {
            line.kind = Line::Kind::kKey;
            line.name = std::string(TrimView(t.substr(0, eq)));
            line.value = std::string(TrimView(t.substr(eq + 1)));
        }
    }
    line.raw = std::move(raw);
    return line;
}

IniDocument::IniDocument(std::string_view text) {
    // Without this the mark would be part of the first line and hide its section header.
    m_bom = text.substr(0, kUtf8Bom.size()) == kUtf8Bom;
    if (m_bom)
        text.remove_prefix(kUtf8Bom.size());
    std::size_t first = text.find('\n');
    m_crlf = first != npos && first > 0 && text[first - 1] == '\r';
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        std::size_t stop = eol == npos ? text.size() : eol;
        std::string_view raw = text.substr(pos, stop - pos);
        // Line ends are the file's style, restored on output; stray CRs before them go.
        while (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        m_lines.push_back(ParseLine(std::string(raw)));
        pos = eol == npos ? text.size() : eol + 1;
    }
}

std::size_t IniDocument::FindSection(std::string_view section) const {
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].kind == Line::Kind::kSection && SameName(m_lines[i].name, section)) {
            return i;
        }
    }
    return npos;
}

std::size_t IniDocument::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < m_lines.size() && m_lines[i].kind != Line::Kind::kSection)
        ++i;
    return i;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
    std::size_t header = FindSection(section);
    if (header == npos) {
        return std::nullopt;
    }
    for (std::size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
        if (m_lines[i].kind == Line::Kind::kKey && SameName(m_lines[i].name, key)) {
            return m_lines[i].value;
        }
    }
    return std::nullopt;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (value.find_first_of("\r\n") != npos || key.find_first_of("\r\n=") != npos ||
        section.find_first_of("\r\n]") != npos) {
        return false;
    }
    const std::string text = std::string(key) + "=" + std::string(value);
    std::size_t header = FindSection(section);
    if (header == npos) {
        m_lines.push_back(ParseLine(SectionLine(section)));
        m_lines.push_back(ParseLine(text));
        return true;
    }
    std::size_t end = SectionEnd(header);
    std::size_t insertAt = header + 1;
    for (std::size_t i = header + 1; i < end; ++i) {
        Line& line = m_lines[i];
        if (line.kind != Line::Kind::kKey) {
            continue;
        }
        if (SameName(line.name, key)) {
            // Keep the name as the file spells it; only the value changes.
            line = ParseLine(line.name + "=" + std::string(value));
            return true;
        }
        insertAt = i + 1;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), ParseLine(text));
    return true;
}

std::string IniDocument::Text() const {
    const char* eol = m_crlf ? "\r\n" : "\n";
    std::string out;
    std::size_t size = kUtf8Bom.size();
    for (const Line& line : m_lines)
        size += line.raw.size() + 2;
    out.reserve(size);
    if (m_bom)
        out += kUtf8Bom;
    for (const Line& line : m_lines) {
        out += line.raw;
        out += eol;
    }
    return out;
}
