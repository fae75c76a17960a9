#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One Intel HEX record line (without line end) with a correct checksum.
inline std::string Record(std::uint16_t address, std::uint8_t type,
                          const std::vector<std::uint8_t>& data = {}) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size()),
                                       static_cast<std::uint8_t>(address >> 8),
                                       static_cast<std::uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char hex[3];
    for (std::uint8_t b : bytes) {
        sum += b;
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + hex;
}

inline std::string Data(std::uint16_t address, const std::vector<std::uint8_t>& data) {
    return Record(address, 0x00, data);
}
inline std::string Ela(std::uint16_t upper) {
    return Record(0, 0x04,
                  {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper & 0xFF)});
}
inline const std::string kEof = ":00000001FF";

// Lines joined with LF, each ended.
inline std::string Lines(const std::vector<std::string>& lines, const char* eol = "\n") {
    std::string text;
    for (const std::string& l : lines)
        text += l + eol;
    return text;
}

// A whole image's worth of records: `bytes` from `from` on, 16 per record, then the end record.
inline std::string FullImageHex(std::uint32_t from, std::uint32_t to, std::uint8_t seed = 1) {
    std::string text;
    for (std::uint32_t a = from; a < to; a += 16) {
        std::vector<std::uint8_t> row;
        for (std::uint32_t i = a; i < to && i < a + 16; ++i)
            row.push_back(static_cast<std::uint8_t>((i * 7 + seed) % 251));
        text += Data(static_cast<std::uint16_t>(a), row) + "\r\n";
    }
    return text + kEof + "\r\n";
}
