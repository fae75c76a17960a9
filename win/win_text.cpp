#include "win/win_text.h"

#include "os/os_files.h"

namespace win_text {

std::wstring Wide(const std::string& utf8) {
    return os_files::Wide(utf8);
}

std::string Utf8(const std::wstring& wide) {
    return os_files::Utf8(wide);
}

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return text;
}

std::string ItemText(HWND dialog, int id) {
    return Utf8(WindowText(GetDlgItem(dialog, id)));
}

void SetItemText(HWND dialog, int id, const std::string& utf8) {
    SetDlgItemTextW(dialog, id, Wide(utf8).c_str());
}

}  // namespace win_text
