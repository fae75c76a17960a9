#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/hex_image.h"
#include "text/log_entry.h"

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
