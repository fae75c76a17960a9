#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The serial-number plan's rules: the largest number per width, the number's bytes in flash,
// its text after an advance, and the filter the editing applies.

inline constexpr std::uint32_t kSnLowestAddress = 0x0E00;

// The largest serial number for a width of 0 to 4 bytes; 0 for any other width.
std::uint32_t SnMaxValue(int bytes);

// The number's low `bytes` bytes, most significant first (empty for a width outside 1 to 4).
std::vector<std::uint8_t> SerialBytes(std::uint32_t value, int bytes);

// Upper-case hexadecimal, zero-padded to `bytes` digits (not twice that).
std::string SerialText(std::uint32_t value, int bytes);
// The number as production mode shows it: "0x" and two digits for each of its `bytes` (0x0502).
inline std::string SerialNumberText(std::uint32_t value, int bytes) {
    return "0x" + SerialText(value, bytes > 0 ? bytes * 2 : 1);
}

// value + step, held at 0xFFFFFFFF instead of wrapping to numbers earlier modules carry.
std::uint32_t AdvanceSerial(std::uint32_t value, std::uint32_t step);

// "%X": leading hexadecimal digits after white space and an optional 0x or 0X; a text without
// any leaves `value` as it was.
void ScanHex(const std::string& text, std::uint32_t& value);

// True when a stored serial-number text can be shown whole in its field and so means what it
// shows: 1 to `maxDigits` hexadecimal digits and nothing else.
bool ShowsWhole(const std::string& text, std::size_t maxDigits);

// Keeps only the characters 0-9 and A-F, in order.
void FilterHexDigits(std::string& text);

// "%X" of a number, and of the format with a leading "0x" and at least four digits ("%04X").
std::string HexUpper(std::uint32_t value);
std::string Hex04(std::uint32_t value);
