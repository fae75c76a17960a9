#pragma once
// A plain top-level window holding controls under test: it hands WM_DRAWITEM to the glyph
// buttons it was given and counts the clicks and commands its children send.

#include <windows.h>

#include <map>

#include "win/glyph_button.h"

class TestParent {
  public:
    explicit TestParent(int width = 480, int height = 320) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = L"PravuneControlTestParent";
        RegisterClassExW(&wc);  // an earlier test may have registered it
        m_hwnd = CreateWindowExW(0, wc.lpszClassName, L"controls", WS_POPUP | WS_VISIBLE, 20, 20,
                                 width, height, nullptr, nullptr, wc.hInstance, this);
        SetForegroundWindow(m_hwnd);
        UpdateWindow(m_hwnd);
    }
    ~TestParent() {
        if (IsWindow(m_hwnd))
            DestroyWindow(m_hwnd);
    }
    TestParent(const TestParent&) = delete;
    TestParent& operator=(const TestParent&) = delete;

    HWND hwnd() const { return m_hwnd; }
    HWND Add(const wchar_t* text, DWORD style, int x, int y, int w, int h, int id) {
        return CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                               m_hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleW(nullptr), nullptr);
    }
    // A push button made a glyph button, with the font a dialog would give it.
    HWND AddGlyph(WinGlyphButton& button, const wchar_t* text, DWORD style, int x, int y, int w,
                  int h, int id) {
        const HWND handle = Add(text, style, x, y, w, h, id);
        SendMessageW(handle, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                     FALSE);
        button.Attach(handle, GetModuleHandleW(nullptr));
        m_buttons[id] = &button;
        return handle;
    }
    int Clicks(int id) const {
        const auto it = m_clicks.find(id);
        return it == m_clicks.end() ? 0 : it->second;
    }
    int Commands() const { return m_commands; }

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE)
            SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(
                                  reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        auto* self = reinterpret_cast<TestParent*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self && message == WM_DRAWITEM) {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            const auto it = self->m_buttons.find(static_cast<int>(item.CtlID));
            if (it != self->m_buttons.end()) {
                it->second->DrawItem(item);
                return TRUE;
            }
        }
        if (self && message == WM_COMMAND && lParam) {
            ++self->m_commands;
            if (HIWORD(wParam) == BN_CLICKED)
                ++self->m_clicks[LOWORD(wParam)];
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    HWND m_hwnd = nullptr;
    std::map<int, WinGlyphButton*> m_buttons;
    std::map<int, int> m_clicks;
    int m_commands = 0;
};
