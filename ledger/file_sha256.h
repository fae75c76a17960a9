#pragma once

#include <cstddef>
#include <string>

#include "image/hex_image.h"

// The largest HEX file whose bytes are hashed for the record.
inline constexpr std::size_t kMaxHashedFileSize = 64u << 20;

// The SHA-256 of the bytes of the HEX file at `path` (64 lower-case hexadecimal digits, what
// `sha256sum` prints for the release file), provided those bytes give `image` as the reader and
// the image check make it. Empty when the file cannot be read whole (a regular file of at most
// kMaxHashedFileSize bytes) or holds another image now than the one loaded from it.
std::string HexFileSha256(const std::string& path, const HexImage& image);

// The SHA-256 of the bytes of the regular file at `path` (at most kMaxHashedFileSize bytes),
// whatever they hold; empty when the file cannot be read whole.
std::string FileSha256(const std::string& path);
