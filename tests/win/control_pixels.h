#pragma once
// Pixels of one control as it paints itself, and a message pump, for the Win32 window's tests.
// (Printing a whole dialog leaves its children out: capture each control on its own.)

#include <windows.h>

#include <cstdint>
#include <vector>

#include "win/gdi_handles.h"
#include "win/win_text.h"

namespace control_pixels {

// A captured picture; colours are 0xRRGGBB.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> rgb;  // rows top-down

    bool empty() const { return rgb.empty(); }
    std::uint32_t At(int x, int y) const {
        return rgb[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                   static_cast<std::size_t>(x)];
    }
    int Count(std::uint32_t color) const {
        int n = 0;
        for (std::uint32_t c : rgb)
            n += c == color;
        return n;
    }
    // The smallest rectangle (right and bottom exclusive) holding every pixel of `color`;
    // empty (all zero) when there is none.
    RECT Find(std::uint32_t color) const {
        RECT box{width, height, 0, 0};
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (At(x, y) == color) {
                    box.left = x < box.left ? x : box.left;
                    box.top = y < box.top ? y : box.top;
                    box.right = x + 1 > box.right ? x + 1 : box.right;
                    box.bottom = y + 1 > box.bottom ? y + 1 : box.bottom;
                }
        return box.right ? box : RECT{};
    }
};

// Reads a DC's w x h pixels through a 32-bit DIB section, after `paint` drew into it.
template <typename Paint>
Pixels Read(int w, int h, Paint paint) {
    Pixels out;
    if (w <= 0 || h <= 0)
        return out;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const gdi::WindowDc screen(nullptr);
    const gdi::Bitmap dib(CreateDIBSection(screen.get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    const gdi::MemoryDc dc(CreateCompatibleDC(screen.get()));
    if (!dib || !dc || !bits)
        return out;
    {
        const gdi::Selection select(dc.get(), dib.get());
        paint(dc.get());
        GdiFlush();
    }
    out.width = w;
    out.height = h;
    const auto* p = static_cast<const std::uint32_t*>(bits);
    out.rgb.assign(p, p + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (std::uint32_t& c : out.rgb)
        c &= 0xFFFFFF;
    return out;
}

// The control's client area as it paints itself (PrintWindow, client only).
inline Pixels Capture(HWND control) {
    RECT client{};
    GetClientRect(control, &client);
    return Read(client.right, client.bottom,
                [control](HDC dc) { PrintWindow(control, dc, PW_CLIENTONLY); });
}

// Dispatches this thread's messages for `ms` milliseconds (timers, posted paints).
inline void Pump(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// The screen point of a control's client point.
inline POINT ScreenPoint(HWND control, int x, int y) {
    POINT p{x, y};
    ClientToScreen(control, &p);
    return p;
}

}  // namespace control_pixels
