#pragma once

#include <string>
#include <string_view>

#include "image/hex_image.h"

// Outcome codes of the HEX reader. Zero means success here, unlike the rest of the loader.
enum HexReadResult : int {
    kHexOk = 0,         // end-of-file record reached
    kHexNoFile = 1,     // nothing exists at the path
    kHexTypeError = 2,  // not a record, unhandled record type, not a regular file, read failure
    kHexOverflow = 3,   // a data byte at or beyond the image's capacity
    kHexNoEof = 4,      // end of file without an end-of-file record
    kHexChanging = 5,   // the file was written to during every one of the read's attempts
};

// How often a file that changes while it is read is read again before the read fails, and how
// long a file must have been left alone before a read of it is taken (a writer paused halfway
// leaves a file that reads as valid).
inline constexpr int kHexReadAttempts = 5;
inline constexpr long long kHexSettleMs = 50;

// The status text that goes with an outcome code (empty for kHexOk).
const char* HexResultText(int code);

// The status text of a failed read with where it failed, for the command line and the record:
// "<status> (line N: <what was wrong>)", or the status alone when the failure is not a line's.
std::string HexFailureText(const std::string& status, const HexImage& image);

// Lines longer than this (without their line end) end the read with kHexTypeError.
inline constexpr std::size_t kMaxHexLineLength = 1024;

// Reads the Intel HEX file at `path` into `image` (records 00, 01 and 04, optionally after the
// maker's header line) and leaves the outcome's text in `status`. Only a regular file is read;
// memory use does not depend on the file's size.
int ReadHexFile(const std::string& path, HexImage& image, std::string& status);

// The same reader over text already in memory, as if it were the whole file.
int ReadHexBuffer(std::string_view text, HexImage& image, std::string& status);
