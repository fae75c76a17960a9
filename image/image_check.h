#pragma once

#include <optional>

#include "image/hex_image.h"

// Lowest address at which application code may begin, and the last reserved address.
inline constexpr std::uint32_t kCodeStart = 0x0E00;
inline constexpr std::uint32_t kReservedLast = 0x0DFF;
// The three bytes the check takes out of the image (the flash write puts them at
// kMovedBytesAddress).
inline constexpr std::uint32_t kMovedFrom = 0x43;

// Prepares a freshly read image for programming: takes the bytes at 0x43..0x45 out of it,
// finds the first code address at or above 3 (into `start`), and returns true when that
// address lies outside the bootloader's reserved range. Never looks at or beyond `capacity`.
bool CheckImage(HexImage& image);

// The first address in [from, to) that programming the checked image writes with a byte other
// than 0xFF (bytes 0 to 2, the moved bytes, the code): a serial number there would be written
// over the image's own bytes. Nothing when the image leaves the whole range erased.
std::optional<std::uint32_t> FirstProgrammedAddress(const HexImage& image, std::uint32_t from,
                                                    std::uint32_t to);
