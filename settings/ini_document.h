#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An INI text held line by line, so that a rewrite changes only the one key it sets.
// Section and key names match without regard to ASCII letter case; white space around names
// and values is trimmed; lines that are neither a section header nor key=value (comments, blank
// lines, anything else) are kept byte for byte. The first section and the first key of a name
// win, as with private-profile files. Values are taken as written (no quotes, no escapes). A
// leading UTF-8 byte-order mark is not part of the first line.
class IniDocument {
  public:
    IniDocument() = default;
    // Parses any bytes; never fails.
    explicit IniDocument(std::string_view text);

    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

    // Sets the key in the section, adding the section and the key when missing. A value with a
    // line break would split into lines of its own, so it is refused (returns false).
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    // The whole text, each line ended in the file's own style (CR LF or LF; LF for a new text),
    // after the UTF-8 byte-order mark when the parsed text began with one.
    std::string Text() const;

  private:
    struct Line {
        std::string raw;
        enum class Kind { kOther, kSection, kKey } kind = Kind::kOther;
        std::string name;   // section or key name, trimmed
        std::string value;  // key value, trimmed
    };
    static Line ParseLine(std::string raw);
    // Index of the section header line, or npos.
    std::size_t FindSection(std::string_view section) const;
    std::size_t SectionEnd(std::size_t header) const;

    std::vector<Line> m_lines;
    bool m_crlf = false;
    bool m_bom = false;  // the text began with a UTF-8 byte-order mark, kept on output
};
