#include "win/link_label.h"

#include <commctrl.h>
#include <shellapi.h>

#include <vector>

#include "win/win_text.h"

namespace {

constexpr UINT_PTR kSubclassId = 1;

}  // namespace

WinLinkLabel::WinLinkLabel()
    : m_open([](const std::string& address) {
          ShellExecuteW(nullptr, L"open", win_text::Wide(address).c_str(), nullptr, nullptr,
                        SW_SHOWMAXIMIZED);
      }),
      m_clrNormal(win_text::RgbOf(GetSysColor(COLOR_WINDOWTEXT))),
      m_clrCurrent(m_clrNormal) {}

WinLinkLabel::~WinLinkLabel() {
    Detach();
}

void WinLinkLabel::Attach(HWND button) {
    Detach();
    m_hWnd = button;
    if (button)
        SetWindowSubclass(button, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

void WinLinkLabel::Detach() {
    if (!m_hWnd)
        return;
    if (m_bTimerOn) {
        m_bTimerOn = false;
        KillTimer(m_hWnd, kHoverTimerId);
    }
    RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
    m_hWnd = nullptr;
}

bool WinLinkLabel::CreateLinkFont(int height, int width, int escapement, int orientation,
                                  int weight, std::uint8_t italic, std::uint8_t underline,
                                  std::uint8_t strikeOut, std::uint8_t charSet,
                                  std::uint8_t outPrecision, std::uint8_t clipPrecision,
                                  std::uint8_t quality, std::uint8_t pitchAndFamily,
                                  const char* face) {
    const std::wstring wideFace = win_text::Wide(face ? face : "");
    m_font.reset(CreateFontW(height, width, escapement, orientation, weight, italic, underline,
                             strikeOut, charSet, outPrecision, clipPrecision, quality,
                             pitchAndFamily, wideFace.c_str()));
    if (m_hWnd)
        InvalidateRect(m_hWnd, nullptr, TRUE);
    return m_font != nullptr;
}

bool WinLinkLabel::StartHoverTimer() {
    if (!m_bTimerOn && m_hWnd) {
        m_bTimerOn = true;
        SetTimer(m_hWnd, kHoverTimerId, kHoverPeriodMs, nullptr);
    }
    return true;
}

void WinLinkLabel::SetCurrent(std::uint32_t color) {
    if (color == m_clrCurrent)
        return;
    m_clrCurrent = color;
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

LRESULT CALLBACK WinLinkLabel::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR, DWORD_PTR self) {
    auto* link = reinterpret_cast<WinLinkLabel*>(self);
    if (message == WM_NCDESTROY) {
        const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
        link->Detach();
        return result;
    }
    return link->OnMessage(message, wParam, lParam);
}

LRESULT WinLinkLabel::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hWnd = m_hWnd;
    switch (message) {
        case WM_MOUSEMOVE:
            SetCurrent(m_clrHover);
            return 0;
        case WM_LBUTTONDOWN:
            SetCurrent(m_clrPressed);
            if (m_open)
                m_open(win_text::Utf8(win_text::WindowText(hWnd)));
            return 0;
        case WM_LBUTTONUP:
            SetCurrent(m_clrNormal);
            return 0;
        // The second press of a double click opens nothing more; the button never sees it
        // (it would capture the pointer for a release it never gets).
        case WM_LBUTTONDBLCLK:
            return 0;
        // Keyboard activation opens nothing: the button's own press by space or by BM_CLICK
        // (which would come back here as a left press) is not passed on.
        case BM_CLICK:
            return 0;
        case WM_KEYDOWN:
        case WM_KEYUP:
            if (wParam == VK_SPACE)
                return 0;
            break;
        case WM_CHAR:
            if (wParam == L' ')
                return 0;
            break;
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT paints all of it, background too
        case WM_PAINT: {
            PAINTSTRUCT paint;
            if (const HDC dc = BeginPaint(hWnd, &paint)) {
                Paint(dc);
                EndPaint(hWnd, &paint);
            }
            return 0;
        }
        case WM_PRINTCLIENT:
            Paint(reinterpret_cast<HDC>(wParam));
            return 0;
        case WM_TIMER: {
            // A pointer one pixel beyond the last column or row still counts as inside.
            POINT pointer{};
            GetCursorPos(&pointer);
            RECT client{};
            GetClientRect(hWnd, &client);
            MapWindowPoints(hWnd, nullptr, reinterpret_cast<POINT*>(&client), 2);
            if (pointer.x < client.left || pointer.x > client.right || pointer.y < client.top ||
                pointer.y > client.bottom)
                SetCurrent(m_clrNormal);
            break;
        }
        case WM_DESTROY: {
            const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
            if (m_bTimerOn) {
                m_bTimerOn = false;
                KillTimer(hWnd, kHoverTimerId);
            }
            return result;
        }
        default:
            break;
    }
    return DefSubclassProc(hWnd, message, wParam, lParam);
}

void WinLinkLabel::PaintUnder(HDC dc) {
    const HWND parent = GetParent(m_hWnd);
    if (!parent)
        return;
    POINT origin{0, 0};
    MapWindowPoints(m_hWnd, parent, &origin, 1);
    POINT old{};
    SetViewportOrgEx(dc, -origin.x, -origin.y, &old);
    SendMessageW(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    SetViewportOrgEx(dc, old.x, old.y, nullptr);

    // The siblings below this one that it overlaps (the banner), lowest first.
    RECT mine{};
    GetWindowRect(m_hWnd, &mine);
    std::vector<HWND> below;
    for (HWND w = GetWindow(m_hWnd, GW_HWNDNEXT); w; w = GetWindow(w, GW_HWNDNEXT)) {
        RECT theirs{}, common{};
        GetWindowRect(w, &theirs);
        if (IsWindowVisible(w) && IntersectRect(&common, &mine, &theirs))
            below.push_back(w);
    }
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
        POINT at{0, 0};
        MapWindowPoints(*it, m_hWnd, &at, 1);
        SetViewportOrgEx(dc, at.x, at.y, &old);
        SendMessageW(*it, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc),
                     PRF_CLIENT | PRF_ERASEBKGND);
        SetViewportOrgEx(dc, old.x, old.y, nullptr);
    }
}

void WinLinkLabel::Paint(HDC target) {
    RECT client{};
    GetClientRect(m_hWnd, &client);
    if (client.right <= 0 || client.bottom <= 0)
        return;
    // Drawn off screen and copied at once; in place when that cannot be had.
    gdi::Canvas canvas(target, client.right, client.bottom);
    const HDC dc = canvas.ok() ? canvas.dc() : target;
    if (m_bTransparent) {
        PaintUnder(dc);
    } else {
        const auto brush = reinterpret_cast<HBRUSH>(SendMessageW(GetParent(m_hWnd), WM_CTLCOLORBTN,
                                                                 reinterpret_cast<WPARAM>(dc),
                                                                 reinterpret_cast<LPARAM>(m_hWnd)));
        FillRect(dc, &client, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
    }
    const std::wstring text = win_text::WindowText(m_hWnd);
    const HFONT font =
        m_font ? m_font.get() : reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    {
        const gdi::Selection select(dc, font);
        SetTextColor(dc, win_text::ColorRef(m_clrCurrent));
        SetBkMode(dc, m_bTransparent ? TRANSPARENT : OPAQUE);
        RECT place = client;
        DrawTextW(dc, text.c_str(), -1, &place, DT_LEFT | DT_TOP | DT_NOPREFIX);
    }
    if (canvas.ok())
        BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
}
