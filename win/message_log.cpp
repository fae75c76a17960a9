#include "win/message_log.h"

#include <richedit.h>

#include "text/escape_controls.h"
#include "text/log_entry.h"
#include "win/win_text.h"

namespace {

// RichEdit keeps one character, CR, for each line end.
std::wstring LineEnds(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
            ++i;
        out += text[i] == L'\n' ? L'\r' : text[i];
    }
    return out;
}

}  // namespace

void WinMessageLog::Attach(HWND richEdit) {
    m_hWnd = richEdit;
    // No limit but memory: the log grows until the operator clears it.
    SendMessageW(m_hWnd, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
}

void WinMessageLog::SetBackground(std::uint32_t color) {
    SendMessageW(m_hWnd, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(win_text::ColorRef(color)));
}

void WinMessageLog::Insert(const std::wstring& text, std::uint32_t color) {
    // At the end, any selection there collapsed, in the log's own format.
    CHARRANGE end{-1, -1};
    SendMessageW(m_hWnd, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
    CHARFORMAT2W format{};
    format.cbSize = sizeof format;
    format.dwMask = CFM_FACE | CFM_SIZE | CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_STRIKEOUT |
                    CFM_PROTECTED | CFM_COLOR | CFM_CHARSET;
    format.dwEffects = 0;  // no bold, italic, underline, strike-out or protection; no auto colour
    format.yHeight = 200;  // twips: 10 pt
    format.bCharSet = DEFAULT_CHARSET;
    lstrcpynW(format.szFaceName, L"Arial", LF_FACESIZE);
    format.crTextColor = win_text::ColorRef(color);
    SendMessageW(m_hWnd, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    SendMessageW(m_hWnd, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

void WinMessageLog::AppendLog(const std::string& text, std::uint32_t color,
                              const std::string& stamp) {
    if (!m_hWnd)
        return;
    if (!stamp.empty())
        Insert(win_text::Wide(stamp), kLogStampColor);
    Insert(LineEnds(win_text::Wide(EscapeControls(text, Controls::kKeepLineEnds))), color);
    // Down by the lines beyond ten from where the view stands (never past the last line).
    const auto lines = static_cast<int>(SendMessageW(m_hWnd, EM_GETLINECOUNT, 0, 0));
    if (lines > kVisibleLines)
        SendMessageW(m_hWnd, EM_LINESCROLL, 0, lines - kVisibleLines);
}

void WinMessageLog::ClearLog() {
    if (!m_hWnd)
        return;
    SETTEXTEX all{ST_DEFAULT, 1200};  // replaces everything; not an undo step
    SendMessageW(m_hWnd, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&all),
                 reinterpret_cast<LPARAM>(L""));
    SendMessageW(m_hWnd, EM_EMPTYUNDOBUFFER, 0, 0);
}
