// What the window shows when the controller tells it, and the boxes it is asked to show.
#include "win/loader_dlg.h"

#include <commctrl.h>
#include <commdlg.h>

#include <vector>

#include "win/resource.h"
#include "win/win_text.h"

using win_text::ItemText;
using win_text::SetItemText;
using win_text::Wide;

namespace {

// A text as an edit that takes at most `limit` characters holds it (0: no limit).
std::wstring Cut(const std::string& text, int limit) {
    std::wstring wide = Wide(text);
    if (limit > 0 && wide.size() > static_cast<std::size_t>(limit))
        wide.resize(static_cast<std::size_t>(limit));
    return wide;
}

// A dialog template made in memory: DLGTEMPLATE and its items, each WORD-aligned field after
// the other, each item DWORD-aligned.
class DialogTemplate {
  public:
    DialogTemplate(DWORD style, short cx, short cy, const char* font, WORD points) {
        DLGTEMPLATE head{style, 0, 0, 0, 0, cx, cy};
        Put(&head, sizeof head);
        Word(0);  // no menu
        Word(0);  // the dialog class
        Word(0);  // no caption (the question sets it)
        Word(points);
        Text(font);
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
              const char* text) {
        while (m_bytes.size() % 4)
            m_bytes.push_back(0);
        DLGITEMTEMPLATE item{style | WS_CHILD | WS_VISIBLE, 0, x, y, cx, cy, id};
        Put(&item, sizeof item);
        Word(0xFFFF);
        Word(atom);
        Text(text);
        Word(0);  // no creation data
        auto* head = reinterpret_cast<DLGTEMPLATE*>(m_bytes.data());
        ++head->cdit;
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_bytes.data()); }

  private:
    void Put(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    void Word(WORD w) { Put(&w, sizeof w); }
    void Text(const char* utf8) {
        const std::wstring wide = Wide(utf8);
        Put(wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    }

    std::vector<unsigned char> m_bytes;
};

// The text question's dialog: its title and prompt in, the typed text out.
struct TextQuestion {
    std::wstring title;
    std::wstring prompt;
    std::wstring typed;
};

INT_PTR CALLBACK TextQuestionProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
            const auto* question = reinterpret_cast<const TextQuestion*>(lParam);
            SetWindowTextW(hWnd, question->title.c_str());
            SetDlgItemTextW(hWnd, IDC_ASK_PROMPT, question->prompt.c_str());
            SetFocus(GetDlgItem(hWnd, IDC_ASK_TEXT));
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                auto* question =
                    reinterpret_cast<TextQuestion*>(GetWindowLongPtrW(hWnd, DWLP_USER));
                question->typed = win_text::WindowText(GetDlgItem(hWnd, IDC_ASK_TEXT));
                EndDialog(hWnd, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(hWnd, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

WindowFields WinLoaderDlg::ReadFields() const {
    HWND d = m_hWnd;
    WindowFields f;
    f.vid = ItemText(d, IDC_VID);
    f.pid = ItemText(d, IDC_PID);
    f.autoReload = IsDlgButtonChecked(d, IDC_AUTO_RELOAD) == BST_CHECKED;
    f.autoSn = IsDlgButtonChecked(d, IDC_AUTO_SN) == BST_CHECKED;
    f.snAddr = ItemText(d, IDC_SN_ADDR);
    f.snValue = ItemText(d, IDC_SN_VALUE);
    f.snStep = ItemText(d, IDC_SN_STEP);
    f.snWidthIndex = static_cast<int>(SendDlgItemMessageW(d, IDC_SN_BYTES, CB_GETCURSEL, 0, 0));
    f.path = ItemText(d, IDC_PATH);
    return f;
}

void WinLoaderDlg::ShowFields(const WindowFields& f) {
    HWND d = m_hWnd;
    using Limits = WindowFieldLimits;
    ++m_pushing;
    // Only what changes is written: a rewritten edit would lose its caret and selection.
    auto text = [d](int id, const std::wstring& value) {
        if (win_text::WindowText(GetDlgItem(d, id)) != value)
            SetDlgItemTextW(d, id, value.c_str());
    };
    text(IDC_VID, Cut(f.vid, Limits::kVid));
    text(IDC_PID, Cut(f.pid, Limits::kPid));
    CheckDlgButton(d, IDC_AUTO_RELOAD, f.autoReload ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(d, IDC_AUTO_SN, f.autoSn ? BST_CHECKED : BST_UNCHECKED);
    text(IDC_SN_ADDR, Cut(f.snAddr, Limits::kSnAddr));
    text(IDC_SN_VALUE, Cut(f.snValue, Limits::kSnValue));
    text(IDC_SN_STEP, Cut(f.snStep, Limits::kSnStep));
    SendDlgItemMessageW(d, IDC_SN_BYTES, CB_SETCURSEL, static_cast<WPARAM>(f.snWidthIndex), 0);
    text(IDC_PATH, Wide(f.path));
    --m_pushing;
}

void WinLoaderDlg::ShowEnables(const WindowEnables& e) {
    HWND d = m_hWnd;
    const std::wstring caption = Wide(e.downloadCaption);
    if (win_text::WindowText(GetDlgItem(d, IDC_DOWNLOAD)) != caption)
        SetDlgItemTextW(d, IDC_DOWNLOAD, caption.c_str());
    for (const ControlLook& look : LoaderControls()) {
        if (look.group != EnableGroup::kFixed)
            EnableWindow(GetDlgItem(d, look.id), e.For(look.group));
    }
}

void WinLoaderDlg::PutPlanCaretsAtEnd() {
    for (int id : {IDC_SN_ADDR, IDC_SN_VALUE}) {
        const auto length = GetWindowTextLengthW(GetDlgItem(m_hWnd, id));
        SendDlgItemMessageW(m_hWnd, id, EM_SETSEL, static_cast<WPARAM>(length), length);
    }
}

void WinLoaderDlg::SelectStep() {
    SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(m_hWnd, IDC_SN_STEP)),
                 TRUE);
    SendDlgItemMessageW(m_hWnd, IDC_SN_STEP, EM_SETSEL, 0, -1);
}

void WinLoaderDlg::AppendLog(const LogEntry& entry) {
    m_log.AppendLog(entry.text, entry.color, entry.timeStamp ? entry.stamp : std::string());
}

void WinLoaderDlg::ClearLog() {
    m_log.ClearLog();
}

void WinLoaderDlg::ShowProgress(int maximum, int value) {
    HWND bar = GetDlgItem(m_hWnd, IDC_PROGRESS);
    if (SendMessageW(bar, PBM_GETRANGE, FALSE, 0) != maximum ||
        SendMessageW(bar, PBM_GETRANGE, TRUE, 0) != 0)
        SendMessageW(bar, PBM_SETRANGE32, 0, maximum);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

void WinLoaderDlg::ShowProgressBar(bool shown) {
    ShowWindow(GetDlgItem(m_hWnd, IDC_PROGRESS), shown ? SW_SHOW : SW_HIDE);
}

void WinLoaderDlg::ShowStatus(const std::string& text, std::uint32_t color, int icon) {
    // Every 500 ms while idle: only what changed is written.
    const std::wstring caption = Wide(text);
    HWND status = GetDlgItem(m_hWnd, IDC_STATUS);
    if (win_text::WindowText(status) != caption)
        SetWindowTextW(status, caption.c_str());
    SetLabelColors(IDC_STATUS, color, m_labels[IDC_STATUS].back);
    WinGlyphButton& connection = *m_buttons[IDC_CONNECTION];
    if (connection.ActiveImageId() != icon)
        connection.LoadIcons(icon, icon);
}

void WinLoaderDlg::ShowImageLabels(const std::string& length, const std::string& date) {
    SetItemText(m_hWnd, IDC_LABEL_LENGTH, length);
    SetItemText(m_hWnd, IDC_LABEL_DATE, date);
}

void WinLoaderDlg::Warn(const std::string& text) {
    MessageBoxW(m_hWnd, Wide(text).c_str(), Wide(m_options.applicationName).c_str(),
                MB_OK | MB_ICONWARNING);
}

std::optional<std::string> WinLoaderDlg::AskHexFile(const std::string& path) {
    // Room for the longest path Windows takes.
    std::vector<wchar_t> file(32768, L'\0');
    const std::wstring start = Wide(path);
    if (start.size() < file.size())
        std::copy(start.begin(), start.end(), file.begin());
    OPENFILENAMEW box{};
    box.lStructSize = sizeof box;
    box.hwndOwner = m_hWnd;
    box.lpstrFilter = L"HEX file\0*.hex\0";
    box.nFilterIndex = 1;
    box.lpstrFile = file.data();
    box.nMaxFile = static_cast<DWORD>(file.size());
    box.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_LONGNAMES;
    if (!GetOpenFileNameW(&box))
        return std::nullopt;
    return win_text::Utf8(file.data());
}

void WinLoaderDlg::ShowProduction(const ProductionDisplay& display) {
    m_panel.Show(display);
    if (HWND panel = m_panel.Handle())
        ShowWindow(panel, display.on ? SW_SHOWNA : SW_HIDE);
    SetClientWidth(display.on ? kProductionDialogWidth : kLoaderDialog.cx);
}

bool WinLoaderDlg::Confirm(const std::string& title, const std::string& text) {
    return MessageBoxW(m_hWnd, Wide(text).c_str(), Wide(title).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

std::optional<std::string> WinLoaderDlg::AskText(const std::string& title,
                                                 const std::string& prompt, bool secret) {
    constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;
    DialogTemplate box(DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU,
                       200, 62, kLoaderDialog.font, static_cast<WORD>(kLoaderDialog.fontPoints));
    box.Item(SS_LEFT | SS_NOPREFIX, 7, 7, 186, 10, IDC_ASK_PROMPT, kStatic, "");
    box.Item(WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | (secret ? ES_PASSWORD : 0), 7, 20, 186, 14,
             IDC_ASK_TEXT, kEdit, "");
    box.Item(WS_TABSTOP | BS_DEFPUSHBUTTON, 89, 41, 50, 14, IDOK, kButton, "OK");
    box.Item(WS_TABSTOP | BS_PUSHBUTTON, 143, 41, 50, 14, IDCANCEL, kButton, "Cancel");
    TextQuestion question{Wide(title), Wide(prompt), {}};
    const INT_PTR answer =
        DialogBoxIndirectParamW(m_options.resources, box.Get(), m_hWnd, TextQuestionProc,
                                reinterpret_cast<LPARAM>(&question));
    if (answer != IDOK)
        return std::nullopt;
    return win_text::Utf8(question.typed);
}

void WinLoaderDlg::StartTimer(WindowTimer id, int ms) {
    SetTimer(m_hWnd, static_cast<UINT_PTR>(id), static_cast<UINT>(ms), nullptr);
}

void WinLoaderDlg::StopTimer(WindowTimer id) {
    KillTimer(m_hWnd, static_cast<UINT_PTR>(id));
}
