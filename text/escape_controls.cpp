#include "text/escape_controls.h"

#include <cstdio>

#include "text/utf8.h"

std::string EscapeControls(const std::string& text, Controls lineEnds) {
    std::string out;
    out.reserve(text.size());
    char escaped[8];
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        if (c < 0x80) {
            const bool lineEnd = c == '\t' || c == '\r' || c == '\n';
            if (lineEnd && lineEnds == Controls::kKeepLineEnds) {
                out.push_back(static_cast<char>(c));
            } else {
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
                out += escaped;
            }
            ++i;
            continue;
        }
        std::uint32_t code = 0;
        const std::size_t length = Utf8Sequence(text, i, code);
        if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
            ++i;
        } else if (code <= 0x9F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(code));
            out += escaped;
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}
