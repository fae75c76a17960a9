#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Texts and colours between the controller (UTF-8, 0xRRGGBB) and Win32 (UTF-16, COLORREF).
namespace win_text {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// A window's whole text, and a dialog control's.
std::wstring WindowText(HWND window);
std::string ItemText(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::string& utf8);

inline COLORREF ColorRef(std::uint32_t rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}
inline std::uint32_t RgbOf(COLORREF color) {
    return (std::uint32_t{GetRValue(color)} << 16) | (std::uint32_t{GetGValue(color)} << 8) |
           GetBValue(color);
}

}  // namespace win_text
