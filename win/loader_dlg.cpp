// The window's controls: what each is bound to, its look, and which input of each goes to the
// controller.
#include "win/loader_dlg.h"

#include <commctrl.h>
#include <dbt.h>
#include <richedit.h>
#include <windowsx.h>

extern "C" {  // MinGW's header declares no C linkage
#include <hidsdi.h>
}

#include "station/programming_station.h"
#include "text/log_entry.h"
#include "win/resource.h"
#include "win/win_text.h"

namespace {

// The controller's wake-up: what the worker told waits for this message on the window's thread.
constexpr UINT kRunPosted = WM_APP + 1;

UINT DpiOf(HWND window) {
    const UINT dpi = GetDpiForWindow(window);
    return dpi ? dpi : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

WinLoaderDlg::WinLoaderDlg(HidPlatform& platform, const ConfigLocation& where, Options options)
    : m_where(where), m_options(options), m_controller(platform, where.path, *this) {
    for (const ControlLook& look : LoaderControls()) {
        if (look.kind == ControlKind::kGlyphButton)
            m_buttons[look.id] = std::make_unique<WinGlyphButton>();
        if (look.kind == ControlKind::kLabel) {
            Label& label = m_labels[look.id];
            label.fore = look.fore;
            label.back = kStoredLabelBack;  // replaced at start-up
            label.points = look.points;
        }
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
                                   VARIABLE_PITCH | FF_SWISS,
                                   win_text::Wide(kLoaderDialog.labelFont).c_str()));
        SendDlgItemMessageW(m_hWnd, id, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
        label.font = std::move(font);  // the old one goes once the label holds the new one
    }
}

void WinLoaderDlg::InitDialog() {
    HWND dlg = m_hWnd;
    // The system menu's About item and the controller's items after it.
    if (HMENU menu = GetSystemMenu(dlg, FALSE))
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    FillSystemMenu();
    // Production mode's panel, hidden until the mode is on.
    RECT panel{kProductionPanel.x, kProductionPanel.y, kProductionPanel.x + kProductionPanel.cx,
               kProductionPanel.y + kProductionPanel.cy};
    MapDialogRect(dlg, &panel);
    m_panel.Create(dlg, panel, IDC_PRODUCTION_PANEL);
    // A module plugged in is started at once in production mode (the status tick finds it too,
    // later).
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    m_arrivals.reset(RegisterDeviceNotificationW(dlg, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
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
    m_link.Attach(GetDlgItem(dlg, IDC_LINK));
    const int dpi = static_cast<int>(DpiOf(dlg));
    auto pixels = [dpi](int v) { return MulDiv(v, dpi, 96); };
    auto text = [](const char* t) { return t; };
    for (const ControlLook& look : LoaderControls()) {
        if (look.glyph)
            ApplyGlyphLook(*m_buttons[look.id], *look.glyph, pixels, text);
        else if (look.link)
            ApplyLinkLook(m_link, *look.link, pixels, text);
        // The edits take no more than their fields hold; the width list's entries.
        if (look.maxLength)
            SendDlgItemMessageW(dlg, look.id, EM_LIMITTEXT, static_cast<WPARAM>(look.maxLength), 0);
        for (const char* item : look.items) {
            SendDlgItemMessageW(dlg, look.id, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(win_text::Wide(item).c_str()));
        }
    }
    m_log.Attach(GetDlgItem(dlg, IDC_LOG));
    MakeLabelFonts();

    // What finding the settings file noticed, the settings, the identifiers, the file and the
    // status refresh.
    m_controller.Start(m_where);

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
            return OnMenuCommand(static_cast<UINT>(wParam & 0xFFF0)) ? TRUE : FALSE;
        case WM_INITMENUPOPUP:  // the system menu's, as it opens
            if (HIWORD(lParam) || reinterpret_cast<HMENU>(wParam) == GetSystemMenu(m_hWnd, FALSE))
                FillSystemMenu();
            return FALSE;
        case WM_CONTEXTMENU:  // the edits keep their own
            ShowContextMenu({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return TRUE;
        case WM_DEVICECHANGE:
            if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE ||
                wParam == DBT_DEVNODES_CHANGED)
                m_controller.OnModuleArrived();
            return FALSE;
        case WM_CLOSE:
            if (m_controller.OnCloseAsked())
                Close();
            return TRUE;
        case WM_TIMER:
            return m_controller.OnTimer(static_cast<WindowTimer>(wParam)) ? TRUE : FALSE;
        case kRunPosted:
            m_controller.RunPosted();
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
            m_arrivals.reset();
            m_controller.StopTimers();
            return FALSE;
        default:
            return FALSE;
    }
}

void WinLoaderDlg::OnCommand(int id, int code) {
    WindowController& c = m_controller;
    switch (id) {
        case IDOK:  // Enter where no push button takes it
            if (c.OnEnter(false) == EnterAction::kCloseWindow)
                Close();
            return;
        case IDCANCEL:  // Escape
            if (c.OnEscape())
                Close();
            return;
        default:
            break;
    }
    const ControlLook* look = FindLoaderControl(id);
    if (!look || look->input == ControlInput::kNone)
        return;
    // A push that fills the controls is not an input.
    const bool pushing = m_pushing > 0;
    bool input = false;
    switch (look->kind) {
        case ControlKind::kEdit:
            input = code == EN_CHANGE && !pushing;
            break;
        case ControlKind::kComboBox:
            input = (code == CBN_SELCHANGE || code == CBN_EDITCHANGE) && !pushing;
            break;
        default:
            input = code == BN_CLICKED;
            break;
    }
    if (input)
        c.OnInput(look->input);
}

void WinLoaderDlg::FillSystemMenu() {
    HMENU menu = GetSystemMenu(m_hWnd, FALSE);
    if (!menu)
        return;
    // Every item of the controller's goes, and comes back as it is now.
    for (int i = GetMenuItemCount(menu) - 1; i >= 0; --i) {
        const UINT id = GetMenuItemID(menu, i);
        if (id >= IDM_ABOUTBOX && id <= MenuCommandId(MenuCommand::kNewShift) && id % 0x10 == 0)
            DeleteMenu(menu, static_cast<UINT>(i), MF_BYPOSITION);
    }
    for (const MenuItem& item : m_controller.MenuItems()) {
        AppendMenuW(menu, MF_STRING, MenuCommandId(item.command),
                    win_text::Wide(item.text).c_str());
    }
}

void WinLoaderDlg::ShowContextMenu(POINT screen) {
    if (screen.x == -1 && screen.y == -1) {  // from the keyboard: at the window's corner
        screen = {0, 0};
        ClientToScreen(m_hWnd, &screen);
    }
    const std::unique_ptr<std::remove_pointer_t<HMENU>, decltype(&DestroyMenu)> menu(
        CreatePopupMenu(), &DestroyMenu);
    if (!menu)
        return;
    for (const MenuItem& item : m_controller.MenuItems()) {
        AppendMenuW(menu.get(), MF_STRING, MenuCommandId(item.command),
                    win_text::Wide(item.text).c_str());
    }
    const UINT chosen = static_cast<UINT>(TrackPopupMenu(
        menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, m_hWnd, nullptr));
    if (chosen)
        OnMenuCommand(chosen);
}

bool WinLoaderDlg::OnMenuCommand(UINT id) {
    for (const MenuItem& item : m_controller.MenuItems()) {
        if (MenuCommandId(item.command) == id) {
            m_controller.OnMenu(item.command);
            return true;
        }
    }
    return false;
}

void WinLoaderDlg::SetClientWidth(int units) {
    RECT client{0, 0, units, kLoaderDialog.cy};
    MapDialogRect(m_hWnd, &client);
    RECT now, window;
    GetClientRect(m_hWnd, &now);
    if (now.right == client.right)
        return;
    GetWindowRect(m_hWnd, &window);
    const int frameX = (window.right - window.left) - now.right;
    const int frameY = (window.bottom - window.top) - now.bottom;
    SetWindowPos(m_hWnd, nullptr, 0, 0, client.right + frameX, client.bottom + frameY,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void WinLoaderDlg::Close() {
    if (!m_hWnd)
        return;
    if (m_modal)
        EndDialog(m_hWnd, IDCANCEL);
    else
        DestroyWindow(m_hWnd);
}

void WinLoaderDlg::Wake() {
    if (HWND window = m_postTo.load())
        PostMessageW(window, kRunPosted, 0, 0);
}

void WinLoaderDlg::DownloadEnded(bool succeeded) {
    if (onDownloadEnded)
        onDownloadEnded(succeeded);
}
