#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

// Owners of GDI and USER handles: each frees its handle when it goes (a null handle is none).
namespace gdi {

struct ObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
struct IconDeleter {
    void operator()(HICON icon) const { DestroyIcon(icon); }
};
struct DcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
// A window may have gone with its owner already (owned popups go before their owner).
struct WindowDeleter {
    void operator()(HWND window) const {
        if (IsWindow(window))
            DestroyWindow(window);
    }
};

template <typename Handle, typename Deleter = ObjectDeleter>
using Owned = std::unique_ptr<std::remove_pointer_t<Handle>, Deleter>;

using Bitmap = Owned<HBITMAP>;
using Brush = Owned<HBRUSH>;
using Pen = Owned<HPEN>;
using Font = Owned<HFONT>;
using Region = Owned<HRGN>;
using Icon = Owned<HICON, IconDeleter>;
using MemoryDc = Owned<HDC, DcDeleter>;
using Window = Owned<HWND, WindowDeleter>;

// A window's DC from GetDC, released on leaving.
class WindowDc {
  public:
    explicit WindowDc(HWND window) : m_window(window), m_dc(GetDC(window)) {}
    ~WindowDc() {
        if (m_dc)
            ReleaseDC(m_window, m_dc);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return m_dc; }

  private:
    HWND m_window;
    HDC m_dc;
};

// An object selected into a DC until leaving, when the one it replaced comes back.
class Selection {
  public:
    Selection(HDC dc, HGDIOBJ object)
        : m_dc(dc), m_old(object ? SelectObject(dc, object) : nullptr) {}
    ~Selection() {
        if (m_old)
            SelectObject(m_dc, m_old);
    }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

  private:
    HDC m_dc;
    HGDIOBJ m_old;
};

// A memory DC compatible with `like` holding a bitmap of its own of w x h (of `like`'s format).
class Canvas {
  public:
    Canvas(HDC like, int w, int h)
        : m_dc(CreateCompatibleDC(like)),
          m_bitmap(CreateCompatibleBitmap(like, w, h)),
          m_select(m_dc.get(), m_bitmap.get()) {}
    bool ok() const { return m_dc && m_bitmap; }
    HDC dc() const { return m_dc.get(); }

  private:
    MemoryDc m_dc;
    Bitmap m_bitmap;
    Selection m_select;
};

inline Brush SolidBrush(COLORREF color) {
    return Brush(CreateSolidBrush(color));
}

inline void FillSolid(HDC dc, const RECT& rect, COLORREF color) {
    const Brush brush = SolidBrush(color);
    FillRect(dc, &rect, brush.get());
}

}  // namespace gdi
