#include "image/serial_number.h"

#include "text/hex_digit.h"

#include <algorithm>
#include <cstdio>

std::uint32_t SnMaxValue(int bytes) {
    static constexpr std::uint32_t kMax[] = {0x0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFE};
    return bytes >= 0 && bytes <= 4 ? kMax[bytes] : 0;
}

std::vector<std::uint8_t> SerialBytes(std::uint32_t value, int bytes) {
    std::vector<std::uint8_t> out;
    if (bytes < 1 || bytes > 4)
        return out;
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

std::string SerialText(std::uint32_t value, int bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*X", std::clamp(bytes, 0, 8), static_cast<unsigned>(value));
    return text;
}

std::uint32_t AdvanceSerial(std::uint32_t value, std::uint32_t step) {
    return value > 0xFFFFFFFFu - step ? 0xFFFFFFFFu : value + step;
}

bool ShowsWhole(const std::string& text, std::size_t maxDigits) {
    return !text.empty() && text.size() <= maxDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return HexDigitValue(c) >= 0; });
}

void FilterHexDigits(std::string& text) {
    std::erase_if(text, [](char c) { return !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')); });
}

std::string HexUpper(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

std::string Hex04(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

void ScanHex(const std::string& text, std::uint32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    // An optional 0x or 0X before the digits, as scanf's %X takes it.
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        HexDigitValue(text[i + 2]) >= 0) {
        i += 2;
    }
    std::uint32_t v = 0;
    bool any = false;
    for (; i < text.size(); ++i) {
        const int d = HexDigitValue(text[i]);
        if (d < 0)
            break;
        v = v * 16 + static_cast<std::uint32_t>(d);
        any = true;
    }
    if (any)
        value = v;
}
