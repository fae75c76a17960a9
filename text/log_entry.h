#pragma once

#include <cstdint>
#include <string>

// Colours of the message log, 0xRRGGBB.
inline constexpr std::uint32_t kLogBlack = 0x000000;
inline constexpr std::uint32_t kLogGreen = 0x008000;
inline constexpr std::uint32_t kLogRed = 0xFF0000;
inline constexpr std::uint32_t kLogStampColor = 0x6C35A4;
inline constexpr std::uint32_t kLogBackground = 0xEBEBEB;

// One piece of text for the message log; the log adds no line ends of its own. A piece with
// `timeStamp` is shown behind a time stamp: `stamp`, the text taken when the piece was made
// (empty: the front end takes one when it shows the piece).
struct LogEntry {
    std::string text;
    std::uint32_t color = kLogBlack;
    bool timeStamp = false;
    std::string stamp{};

    bool operator==(const LogEntry&) const = default;
};
