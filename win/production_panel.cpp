#include "win/production_panel.h"

#include <string>

#include "station/window_look.h"
#include "win/win_text.h"

namespace {

constexpr wchar_t kClassName[] = L"PravuneProductionPanel";

bool RegisterPanelClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSEXW wc{};
    if (GetClassInfoExW(instance, kClassName, &wc))
        return true;
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
}

gdi::Font PanelFont(HWND window, double points, bool bold) {
    UINT dpi = GetDpiForWindow(window);
    if (!dpi)
        dpi = USER_DEFAULT_SCREEN_DPI;
    const int height = -static_cast<int>(points * dpi / 72.0 + 0.5);
    return gdi::Font(CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                                 ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS,
                                 win_text::Wide(kLoaderDialog.labelFont).c_str()));
}

void Text(HDC dc, HWND window, double points, bool bold, const std::string& text, RECT rect,
          UINT format) {
    const gdi::Font font = PanelFont(window, points, bold);
    const gdi::Selection select(dc, font.get());
    std::wstring wide = win_text::Wide(text);
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect, format | DT_NOPREFIX);
}

}  // namespace

bool WinProductionPanel::Create(HWND parent, const RECT& rect, int id) {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    if (!RegisterPanelClass(instance, WindowProc))
        return false;
    m_window.reset(CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_CLIPSIBLINGS, rect.left,
                                   rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                                   this));
    return m_window != nullptr;
}

void WinProductionPanel::Show(const ProductionDisplay& display) {
    if (display == m_display || !m_window)
        return;
    m_display = display;
    SetWindowTextW(m_window.get(), win_text::Wide(display.panel.headline).c_str());
    InvalidateRect(m_window.get(), nullptr, FALSE);
}

LRESULT CALLBACK WinProductionPanel::WindowProc(HWND hWnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    const auto* self =
        reinterpret_cast<const WinProductionPanel*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // the paint covers every pixel
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hWnd, &paint);
            RECT all;
            GetClientRect(hWnd, &all);
            // Drawn off screen, then copied at once: no flicker at each verdict.
            const gdi::Canvas canvas(dc, all.right, all.bottom);
            if (self && canvas.ok()) {
                self->Paint(canvas.dc(), all);
                BitBlt(dc, 0, 0, all.right, all.bottom, canvas.dc(), 0, 0, SRCCOPY);
            }
            EndPaint(hWnd, &paint);
            return 0;
        }
        case WM_PRINTCLIENT:
            if (self) {
                RECT all;
                GetClientRect(hWnd, &all);
                self->Paint(reinterpret_cast<HDC>(wParam), all);
            }
            return 0;
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

void WinProductionPanel::Paint(HDC dc, const RECT& all) const {
    HWND w = m_window.get();
    // The verdict takes the upper three fifths, the count and the release the rest.
    const int split = all.top + (all.bottom - all.top) * 3 / 5;
    const RECT verdict{all.left, all.top, all.right, split};
    const RECT facts{all.left, split, all.right, all.bottom};
    gdi::FillSolid(dc, verdict, win_text::ColorRef(m_display.panel.back));
    gdi::FillSolid(dc, facts, RGB(0xF4, 0xF4, 0xF4));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0xFF, 0xFF, 0xFF));
    const int headline = (verdict.bottom - verdict.top) / 2;
    Text(dc, w, kPanelHeadlinePoints, true, m_display.panel.headline,
         {verdict.left, verdict.top, verdict.right, verdict.top + headline},
         DT_CENTER | DT_BOTTOM | DT_SINGLELINE);
    Text(dc, w, kPanelDetailPoints, true, m_display.panel.detail,
         {verdict.left + 8, verdict.top + headline + 6, verdict.right - 8, verdict.bottom - 6},
         DT_CENTER | DT_TOP | DT_WORDBREAK);
    SetTextColor(dc, RGB(0x20, 0x20, 0x20));
    std::string count = m_display.count;
    for (std::size_t at = count.find("   "); at != std::string::npos; at = count.find("   ", at))
        count.replace(at, 3, "\r\n");
    const RECT inner{facts.left + 8, facts.top + 6, facts.right - 8, facts.bottom - 6};
    Text(dc, w, kPanelCountPoints, true, count, inner, DT_LEFT | DT_TOP | DT_WORDBREAK);
    // The release and the shift at the bottom: measured first, as DrawText aligns a single line
    // only at the bottom.
    const std::string last = m_display.release + "\r\n" + m_display.shift;
    RECT measured = inner;
    {
        const gdi::Font font = PanelFont(w, kPanelCountPoints - 2, false);
        const gdi::Selection select(dc, font.get());
        const std::wstring wide = win_text::Wide(last);
        DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &measured,
                  DT_LEFT | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    }
    Text(dc, w, kPanelCountPoints - 2, false, last,
         {inner.left, inner.bottom - (measured.bottom - measured.top), inner.right, inner.bottom},
         DT_LEFT | DT_TOP | DT_WORDBREAK);
}
