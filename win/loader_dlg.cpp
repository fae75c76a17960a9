// The window's controls: what each is bound to, its look, and which input of each goes to the
// controller.
#include "win/loader_dlg.h"

#include <commctrl.h>
#include <richedit.h>

#include "text/log_entry.h"
#include "station/programming_station.h"
#include "win/resource.h"
#include "win/win_text.h"

namespace {

// What the worker posted waits for this message on the window's thread.
constexpr UINT kRunPosted = WM_APP + 1;

constexpr int kGlyphButtons[] = {IDC_BANNER, IDC_CONNECTION, IDC_DOWNLOAD,
                                 IDC_OPEN,   IDC_RELOAD,     IDC_CLEAR};

struct LabelLook {
    int id;
    std::uint32_t fore;
    double points;
};
constexpr LabelLook kLabels[] = {
    {IDC_LABEL_LENGTH_CAPTION, 0x5A674E, 9}, {IDC_LABEL_DATE_CAPTION, 0x5A674E, 9},
    {IDC_LABEL_LENGTH, 0x0000FF, 9},         {IDC_LABEL_DATE, 0x0000FF, 9},
    {IDC_STATUS, kStatusAbsent, 15.75},
};

UINT DpiOf(HWND window) {
    const UINT dpi = GetDpiForWindow(window);
    return dpi ? dpi : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

WinLoaderDlg::WinLoaderDlg(HidPlatform& platform, const ConfigLocation& where, Options options)
    : m_where(where), m_options(options), m_controller(platform, where.path, *this) {
    for (int id : kGlyphButtons)
        m_buttons[id] = std::make_unique<WinGlyphButton>();
    for (const LabelLook& look : kLabels) {
        Label& label = m_labels[look.id];
        label.fore = look.fore;
        label.back = 0xECE9D8;  // the stored background, replaced at start-up
        label.points = look.points;
    }
}

WinLoaderDlg::~WinLoaderDlg() {
    if (m_hWnd && !m_modal)
        DestroyWindow(m_hWnd);
    if (m_iconLarge)
        DestroyIcon(m_iconLarge);
    if (m_iconSmall)
        DestroyIcon(m_iconSmall);
}

void WinLoaderDlg::RunModal() {
    m_modal = true;
    DialogBoxParamW(m_options.resources, MAKEINTRESOURCEW(IDD_LOADER_DIALOG), nullptr, DialogProc,
                    reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
}

bool WinLoaderDlg::Create(HWND parent) {
    m_modal = false;
    HWND made = CreateDialogParamW(m_options.resources, MAKEINTRESOURCEW(IDD_LOADER_DIALOG), parent,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
    if (!made)
        return false;
    ShowWindow(made, SW_SHOW);
    return true;
}

WinGlyphButton* WinLoaderDlg::GlyphButton(int id) {
    const auto it = m_buttons.find(id);
    return it == m_buttons.end() ? nullptr : it->second.get();
}

INT_PTR CALLBACK WinLoaderDlg::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<WinLoaderDlg*>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        self->m_hWnd = hWnd;
        self->m_postTo = hWnd;
        self->InitDialog();
        return TRUE;  // the focus goes to the first tab stop
    }
    auto* self = reinterpret_cast<WinLoaderDlg*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (!self)
        return FALSE;
    const INT_PTR handled = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        self->m_postTo = nullptr;
        self->m_hWnd = nullptr;
        if (self->onClosed)
            self->onClosed();
    }
    return handled;
}

void WinLoaderDlg::MakeLabelFonts() {
    const UINT dpi = DpiOf(m_hWnd);
    for (auto& [id, label] : m_labels) {
        const int height = -static_cast<int>(label.points * dpi / 72.0 + 0.5);
        gdi::Font font(CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                   OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                   VARIABLE_PITCH | FF_SWISS, L"Arial"));
        SendDlgItemMessageW(m_hWnd, id, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
        label.font = std::move(font);  // the old one goes once the label holds the new one
    }
}

void WinLoaderDlg::InitDialog() {
    HWND dlg = m_hWnd;
    // The system menu's About item.
    wchar_t about[128] = {};
    if (LoadStringW(m_options.resources, IDS_ABOUTBOX, about, 128) > 0) {
        if (HMENU menu = GetSystemMenu(dlg, FALSE)) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    m_iconLarge = static_cast<HICON>(
        LoadImageW(m_options.resources, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                   GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_iconSmall = static_cast<HICON>(
        LoadImageW(m_options.resources, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_iconLarge));
    SendMessageW(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_iconSmall));

    for (auto& [id, button] : m_buttons)
        button->Attach(GetDlgItem(dlg, id), m_options.resources);
    WinGlyphButton& banner = *m_buttons[IDC_BANNER];
    banner.m_bEmbossDisabledBitmap = false;
    banner.LoadBitmaps(IDB_BANNER, 0x000000, 0, 0);
    m_buttons[IDC_CONNECTION]->LoadIcons(IDI_DEVICE_ABSENT, 0);

    m_link.Attach(GetDlgItem(dlg, IDC_LINK));
    m_link.m_clrCurrent = 0x326464;
    m_link.m_clrPressed = 0x6464FF;
    m_link.m_clrHover = 0xFF6464;
    m_link.m_clrNormal = 0x323264;
    m_link.m_bTransparent = true;
    const UINT dpi = DpiOf(dlg);
    m_link.CreateLinkFont(MulDiv(19, static_cast<int>(dpi), 96),
                          MulDiv(9, static_cast<int>(dpi), 96), 0, 0, 400, 1, 1, 0, 0, 0, 0, 0, 0,
                          "Arial");
    m_link.StartHoverTimer();

    WinGlyphButton& download = *m_buttons[IDC_DOWNLOAD];
    download.LoadIcons(IDI_DOWNLOAD, 0);
    download.SetImagePlacement(1);
    download.SetFlatStyle(false);
    download.SetImageMargins(0, MulDiv(20, static_cast<int>(dpi), 96), 0, 0);
    download.SetStateColor(WinGlyphButton::BTNST_COLOR_BK_OUT, 0xC4D89A);
    download.ShadeStateColor(WinGlyphButton::BTNST_COLOR_BK_IN, 30);
    m_buttons[IDC_OPEN]->LoadIcons(IDI_OPEN, 0);
    m_buttons[IDC_OPEN]->SetTipText("Open", true);
    m_buttons[IDC_RELOAD]->LoadIcons(IDI_RELOAD, 0);
    m_buttons[IDC_RELOAD]->SetTipText("Reload", true);
    WinGlyphButton& clear = *m_buttons[IDC_CLEAR];
    clear.SetFlatStyle(false);
    clear.ShadeStateColor(WinGlyphButton::BTNST_COLOR_BK_IN, 30);

    // The edits take no more than their fields hold; the width list's entries.
    using Limits = WindowFieldLimits;
    for (auto [id, limit] :
         {std::pair{IDC_VID, Limits::kVid}, std::pair{IDC_PID, Limits::kPid},
          std::pair{IDC_SN_ADDR, Limits::kSnAddr}, std::pair{IDC_SN_VALUE, Limits::kSnValue},
          std::pair{IDC_SN_STEP, Limits::kSnStep}}) {
        if (limit)
            SendDlgItemMessageW(dlg, id, EM_LIMITTEXT, static_cast<WPARAM>(limit), 0);
    }
    for (const wchar_t* entry : {L"1", L"2", L"3", L"4"})
        SendDlgItemMessageW(dlg, IDC_SN_BYTES, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    m_log.Attach(GetDlgItem(dlg, IDC_LOG));
    MakeLabelFonts();

    if (!m_where.copiedFrom.empty())
        m_controller.AppendLog("Settings carried over from " + m_where.copiedFrom + " to " +
                                   m_where.path + " (the serial number goes on from there)\r\n",
                               kLogBlack);
    if (!m_where.problem.empty())
        m_controller.AppendLog("Settings at " + m_where.path + ": " + m_where.problem + "\r\n",
                               kLogRed);

    // The settings, the identifiers, the file and the status refresh.
    m_controller.Start();

    m_log.SetBackground(kLogBackground);
    const std::uint32_t face = win_text::RgbOf(GetSysColor(COLOR_BTNFACE));
    for (auto& [id, label] : m_labels)
        SetLabelColors(id, label.fore, face);
}

void WinLoaderDlg::SetLabelColors(int id, std::uint32_t fore, std::uint32_t back) {
    Label& label = m_labels[id];
    if (label.brush && label.fore == fore && label.back == back)
        return;
    label.fore = fore;
    if (!label.brush || label.back != back) {
        label.back = back;
        label.brush.reset(CreateSolidBrush(win_text::ColorRef(back)));
    }
    InvalidateRect(GetDlgItem(m_hWnd, id), nullptr, TRUE);
}

INT_PTR WinLoaderDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                m_controller.OnAboutAsked();
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            if (m_controller.OnCloseAsked())
                Close();
            return TRUE;
        case WM_TIMER: {
            const auto id = static_cast<WindowTimer>(wParam);
            const auto it = m_timers.find(id);
            if (it == m_timers.end())
                return FALSE;
            if (it->second)
                StopTimer(id);
            m_controller.OnTimer(id);
            return TRUE;
        }
        case kRunPosted:
            RunPosted();
            return TRUE;
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (WinGlyphButton* button = GlyphButton(static_cast<int>(item.CtlID))) {
                button->DrawItem(item);
                return TRUE;
            }
            return FALSE;
        }
        case WM_CTLCOLORSTATIC: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            const auto it = m_labels.find(id);
            if (it == m_labels.end() || !it->second.brush)
                return FALSE;
            const auto dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, win_text::ColorRef(it->second.fore));
            SetBkColor(dc, win_text::ColorRef(it->second.back));
            return reinterpret_cast<INT_PTR>(it->second.brush.get());
        }
        case WM_CTLCOLORBTN:
            if (GlyphButton(GetDlgCtrlID(reinterpret_cast<HWND>(lParam))))
                return reinterpret_cast<INT_PTR>(GetStockObject(HOLLOW_BRUSH));
            return FALSE;
        case WM_PAINT:
            if (IsIconic(m_hWnd)) {
                PAINTSTRUCT paint;
                HDC dc = BeginPaint(m_hWnd, &paint);
                SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
                RECT client;
                GetClientRect(m_hWnd, &client);
                const int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
                DrawIcon(dc, (client.right - cx + 1) / 2, (client.bottom - cy + 1) / 2,
                         m_iconLarge);
                EndPaint(m_hWnd, &paint);
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_iconLarge);
        case WM_DPICHANGED:
            MakeLabelFonts();
            return FALSE;
        case WM_DESTROY:
            for (const auto& [id, once] : m_timers)
                KillTimer(m_hWnd, static_cast<UINT_PTR>(id));
            m_timers.clear();
            return FALSE;
        default:
            return FALSE;
    }
}

void WinLoaderDlg::OnCommand(int id, int code) {
    WindowController& c = m_controller;
    const bool pushing = m_pushing > 0;
    switch (id) {
        case IDC_VID:
        case IDC_PID:
            if (code == EN_CHANGE && !pushing)
                c.OnIdentifierEdited();
            break;
        case IDC_SN_ADDR:
        case IDC_SN_VALUE:
        case IDC_SN_STEP:
            if (code == EN_CHANGE && !pushing)
                c.OnPlanEdited(id == IDC_SN_ADDR    ? SnField::kAddress
                               : id == IDC_SN_VALUE ? SnField::kValue
                                                    : SnField::kStep);
            break;
        case IDC_SN_BYTES:
            if ((code == CBN_SELCHANGE || code == CBN_EDITCHANGE) && !pushing)
                c.OnPlanEdited(SnField::kWidth);
            break;
        case IDC_PATH:
            if (code == EN_CHANGE && !pushing)
                c.OnPathEdited();
            break;
        case IDC_CLEAR:
            if (code == BN_CLICKED)
                c.OnClearClicked();
            break;
        case IDC_AUTO_RELOAD:
            if (code == BN_CLICKED)
                c.OnAutoReloadClicked();
            break;
        case IDC_AUTO_SN:
            if (code == BN_CLICKED)
                c.OnAutoSnClicked();
            break;
        case IDC_OPEN:
            if (code == BN_CLICKED)
                c.OnOpenClicked();
            break;
        case IDC_RELOAD:
            if (code == BN_CLICKED)
                c.OnReloadClicked();
            break;
        case IDC_DOWNLOAD:
            if (code == BN_CLICKED)
                c.OnDownloadClicked();
            break;
        case IDOK:  // Enter where no push button takes it
            if (c.OnEnter(false) == EnterAction::kCloseWindow)
                Close();
            break;
        case IDCANCEL:  // Escape
            if (c.OnEscape())
                Close();
            break;
        default:
            break;
    }
}

void WinLoaderDlg::Close() {
    if (!m_hWnd)
        return;
    if (m_modal)
        EndDialog(m_hWnd, IDCANCEL);
    else
        DestroyWindow(m_hWnd);
}

void WinLoaderDlg::Post(std::function<void()> work) {
    bool first = false;
    {
        std::lock_guard lock(m_postedMutex);
        first = m_posted.empty();
        m_posted.push_back(std::move(work));
    }
    if (HWND window = m_postTo.load(); first && window)
        PostMessageW(window, kRunPosted, 0, 0);
}

void WinLoaderDlg::RunPosted() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(m_postedMutex);
        work.swap(m_posted);
    }
    for (auto& w : work)
        w();
}

void WinLoaderDlg::DownloadEnded(bool succeeded) {
    if (onDownloadEnded)
        onDownloadEnded(succeeded);
}
