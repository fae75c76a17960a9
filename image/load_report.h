#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/hex_image.h"

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

// Text from a module, a file or a record as it may be shown on a terminal or in the window:
// every control character written out, so that none can act on the terminal (ESC [2J clearing
// the operator's screen) or fake a line. C0 controls and DEL become \xHH (ESC: \x1B), C1
// controls (U+0080 to U+009F) \u00HH, and a byte that is not part of valid UTF-8 \xHH. With
// kKeepLineEnds the tab and the line ends "\r" and "\n" stay, as the log uses them. Every
// front end prints through it; text it made is left as it is.
enum class Controls { kEscapeAll, kKeepLineEnds };
std::string EscapeControls(const std::string& text, Controls lineEnds = Controls::kEscapeAll);

// What one load of the HEX file tells the operator: the log lines and the two labels.
struct LoadReport {
    bool valid = false;
    std::string fileName;
    std::vector<LogEntry> log;
    std::string lengthLabel;
    std::string dateLabel;
};

// The window's time stamp for a piece of the log made now: "HH:MM:SS:mmm > " in local time,
// where mmm is the system's millisecond tick count modulo 1000.
std::string LogStampNow();

// The last-write time of the entry at `path` in local time as "Y-M-D h:m:s" without leading
// zeros, or empty text when nothing exists there.
std::string FileTimeText(const std::string& path);

// The text after the last path separator, or empty text when there is none.
std::string FileNameOf(const std::string& path);

// The toolkit-free half of loading the HEX file: reads `path` into `image`, checks it, sets
// `image.valid`, and builds the report. On failure `status` holds the reason.
LoadReport LoadImageFile(const std::string& path, HexImage& image, std::string& status);

// The report lines for a checked image, and for a failed load with `status` as its reason.
LoadReport SuccessReport(const HexImage& image, const std::string& fileName,
                         const std::string& fileTime);
LoadReport FailureReport(const std::string& status);
