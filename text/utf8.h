#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The length of the valid UTF-8 sequence of two to four bytes at `i` and its code point in
// `code`; 0 when the bytes there are not one (a lone or ASCII byte, a cut sequence, an overlong
// form, a surrogate, or anything past U+10FFFF). The text escaping of every front end and the
// PostgreSQL store's text cleaning share it, so both take the same bytes as valid.
std::size_t Utf8Sequence(std::string_view text, std::size_t i, std::uint32_t& code);
