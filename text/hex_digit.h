#pragma once

// The value of one hexadecimal digit of either case, or -1 for any other character.
constexpr int HexDigitValue(char c) {
    return (c >= '0' && c <= '9')   ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
}
