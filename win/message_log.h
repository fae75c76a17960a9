#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The message log on Windows, over the dialog's RichEdit control: coloured text appended at
// the end as undoable edits, optionally behind a time stamp in 0x6C35A4, in Arial 10 pt; ten
// lines in view, the newest kept in view; a clear that cannot be undone. Colours are 0xRRGGBB.
class WinMessageLog {
  public:
    static constexpr int kVisibleLines = 10;

    void Attach(HWND richEdit);
    HWND Handle() const { return m_hWnd; }
    void SetBackground(std::uint32_t color);

    // Text is UTF-8; "\r\n", "\n" and "\r" each end a line; the log adds none. `stamp` is the
    // entry's time stamp ("HH:MM:SS:mmm > "), empty for none.
    void AppendLog(const std::string& text, std::uint32_t color, const std::string& stamp);
    void ClearLog();

  private:
    void Insert(const std::wstring& text, std::uint32_t color);

    HWND m_hWnd = nullptr;
};
