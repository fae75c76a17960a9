#include "tests/win/win_ui_support.h"

#include <commctrl.h>
#include <richedit.h>

#include <chrono>
#include <regex>

#include "settings/settings_store.h"
#include "tests/win/control_pixels.h"
#include "win/win_text.h"

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

namespace {

std::wstring RichText(HWND richEdit) {
    GETTEXTLENGTHEX length{GTL_DEFAULT | GTL_NUMCHARS, 1200};
    const auto count =
        SendMessageW(richEdit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
    std::wstring text(static_cast<std::size_t>(count) + 1, L'\0');
    GETTEXTEX get{static_cast<DWORD>((count + 1) * sizeof(wchar_t)), GT_DEFAULT, 1200, nullptr,
                  nullptr};
    const auto got = SendMessageW(richEdit, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&get),
                                  reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(got));
    return text;
}

std::string Stamped(std::string text) {
    static const std::regex stamp(R"(\d\d:\d\d:\d\d:\d\d\d > )");
    return std::regex_replace(text, stamp, "TS ");
}

}  // namespace

std::string LogText(HWND richEdit) {
    std::string text = win_text::Utf8(RichText(richEdit));
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<LogPiece> LogPieces(HWND richEdit) {
    const std::wstring text = RichText(richEdit);
    std::vector<LogPiece> pieces;
    CHARRANGE before{};
    SendMessageW(richEdit, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&before));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool lineEnd = c == L'\r' || c == L'\n';
        if (c == L'\n' && i > 0 && text[i - 1] == L'\r')
            continue;
        if (lineEnd) {
            if (pieces.empty() || pieces.back().text.ends_with('\n'))
                pieces.push_back({"\n", 0});
            else
                pieces.back().text += '\n';
            continue;
        }
        CHARRANGE one{static_cast<LONG>(i), static_cast<LONG>(i + 1)};
        SendMessageW(richEdit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&one));
        CHARFORMAT2W format{};
        format.cbSize = sizeof format;
        SendMessageW(richEdit, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        const std::uint32_t color = win_text::RgbOf(format.crTextColor);
        const std::string utf8 = win_text::Utf8(std::wstring(1, c));
        if (!pieces.empty() && pieces.back().color == color && !pieces.back().text.ends_with('\n'))
            pieces.back().text += utf8;
        else
            pieces.push_back({utf8, color});
    }
    SendMessageW(richEdit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&before));
    for (LogPiece& p : pieces)
        p.text = Stamped(p.text);
    return pieces;
}

std::string PiecesText(const std::vector<LogPiece>& pieces) {
    std::string out;
    char color[8];
    for (const LogPiece& p : pieces) {
        std::snprintf(color, sizeof color, "%06X", static_cast<unsigned>(p.color));
        out += color;
        out += ' ';
        for (char c : p.text) {
            if (c == '\t')
                out += "\\t";
            else if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        out += '\n';
    }
    return out;
}

WinLoaderFixture::WinLoaderFixture(bool modulePresent) {
    platform.AddDecoy(0x046D, 0xC31C);
    platform.AddModule(module);
    if (!modulePresent)
        module.Unplug();
}

WinLoaderFixture::~WinLoaderFixture() {
    dlg.reset();
    control_pixels::Pump(0);
}

void WinLoaderFixture::Write(const std::string& settings, const std::string& hex) {
    std::string ini = "[SETTING]\n";
    if (!hex.empty())
        ini += "m_strPath_flash=" + dir.Write("fw.hex", hex) + "\n";
    dir.Write("config.ini", ini + settings);
}

WinLoaderDlg& WinLoaderFixture::Open() {
    const ConfigLocation where{dir.File("config.ini"), ConfigOrigin::kNamed, {}, {}};
    dlg = std::make_unique<WinLoaderDlg>(
        platform, where, WinLoaderDlg::Options{"pravune-loader", GetModuleHandleW(nullptr)});
    dlg->onDownloadEnded = [this](bool ok) {
        ++ended;
        succeeded = ok;
    };
    dlg->Controller().SetHandshakeTickMs(5);
    dlg->Create();
    return *dlg;
}

bool WinLoaderFixture::Download() {
    const int before = ended;
    SendMessageW(Item(1033), BM_CLICK, 0, 0);
    if (!PumpUntil([&] { return ended > before; }, 30000))
        return false;
    return succeeded;
}

std::string WinLoaderFixture::Config() const {
    std::string text;
    settings_file::ReadBytes(dir.File("config.ini"), text, nullptr);
    return text;
}
