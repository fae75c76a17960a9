#include "win/glyph_button.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "win/win_text.h"

namespace {

constexpr UINT_PTR kSubclassId = 1;
constexpr UINT_PTR kToolId = 1;
constexpr int kMaxTipWidth = 400;

using win_text::ColorRef;

COLORREF Sys(int index) {
    return GetSysColor(index);
}

// Lines through `points`, each from its first point up to but not including its last.
void Polyline(HDC dc, COLORREF color, std::initializer_list<POINT> points) {
    const gdi::Pen pen(CreatePen(PS_SOLID, 1, color));
    const gdi::Selection select(dc, pen.get());
    auto it = points.begin();
    MoveToEx(dc, it->x, it->y, nullptr);
    for (++it; it != points.end(); ++it)
        LineTo(dc, it->x, it->y);
}

void Frame(HDC dc, const RECT& r, COLORREF color) {
    const gdi::Brush brush = gdi::SolidBrush(color);
    FrameRect(dc, &r, brush.get());
}

// Top and left in one colour, bottom and right in the other.
void Draw3dRect(HDC dc, const RECT& r, COLORREF topLeft, COLORREF bottomRight) {
    const int x = r.left, y = r.top, cx = r.right - r.left, cy = r.bottom - r.top;
    gdi::FillSolid(dc, {x, y, x + cx - 1, y + 1}, topLeft);
    gdi::FillSolid(dc, {x, y, x + 1, y + cy - 1}, topLeft);
    gdi::FillSolid(dc, {x + cx - 1, y, x + cx, y + cy}, bottomRight);
    gdi::FillSolid(dc, {x, y + cy - 1, x + cx, y + cy}, bottomRight);
}

// An icon's size from its description; false when that cannot be read.
bool IconSize(HICON icon, int& width, int& height) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info))
        return false;
    const gdi::Bitmap color(info.hbmColor), mask(info.hbmMask);
    BITMAP bm{};
    if (!GetObjectW(color ? color.get() : mask.get(), sizeof bm, &bm))
        return false;
    width = bm.bmWidth;
    height = color ? bm.bmHeight : bm.bmHeight / 2;
    return width > 0 && height > 0;
}

BITMAPINFO TopDown32(int width, int height) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    return bi;
}

// A grey copy of a colour icon: g = 0.299 R + 0.587 G + 0.114 B (truncated), black stays
// black, transparency (alpha and mask) kept. Null when the icon has no colour image.
gdi::Icon GreyCopy(HICON icon, int width, int height) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info))
        return {};
    const gdi::Bitmap color(info.hbmColor), mask(info.hbmMask);
    if (!color)
        return {};
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    BITMAPINFO bi = TopDown32(width, height);
    const gdi::WindowDc screen(nullptr);
    if (GetDIBits(screen.get(), color.get(), 0, static_cast<UINT>(height), pixels.data(), &bi,
                  DIB_RGB_COLORS) != height)
        return {};
    for (std::uint32_t& p : pixels) {
        const unsigned r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        if (r == 0 && g == 0 && b == 0)
            continue;
        const auto grey = static_cast<std::uint32_t>(0.299 * r + 0.587 * g + 0.114 * b);
        p = (p & 0xFF000000u) | (grey << 16) | (grey << 8) | grey;
    }
    void* bits = nullptr;
    bi = TopDown32(width, height);
    const gdi::Bitmap grey(CreateDIBSection(screen.get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!grey || !bits)
        return {};
    std::copy(pixels.begin(), pixels.end(), static_cast<std::uint32_t*>(bits));
    ICONINFO made{TRUE, 0, 0, mask.get(), grey.get()};
    return gdi::Icon(CreateIconIndirect(&made));
}

// A picture drawn with its transparent-colour pixels left out: where the mask is 0 the
// destination is cleared, then the colours (black where transparent) are added.
void DrawMasked(HDC dc, int x, int y, int w, int h, HBITMAP bitmap, HBITMAP mask) {
    const gdi::MemoryDc source(CreateCompatibleDC(dc));
    if (!source)
        return;
    const COLORREF oldBack = SetBkColor(dc, RGB(255, 255, 255));
    const COLORREF oldText = SetTextColor(dc, RGB(0, 0, 0));
    {
        const gdi::Selection select(source.get(), mask);
        BitBlt(dc, x, y, w, h, source.get(), 0, 0, SRCAND);
    }
    {
        const gdi::Selection select(source.get(), bitmap);
        BitBlt(dc, x, y, w, h, source.get(), 0, 0, SRCPAINT);
    }
    SetBkColor(dc, oldBack);
    SetTextColor(dc, oldText);
}

}  // namespace

WinGlyphButton::WinGlyphButton() {
    ResetStateColors(false);
}

WinGlyphButton::~WinGlyphButton() {
    Detach();
}

void WinGlyphButton::Attach(HWND button, HINSTANCE resources) {
    Detach();
    if (!button)
        return;
    m_hWnd = button;
    m_parent = GetParent(button);
    m_resources = resources;
    const LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    const auto type = static_cast<unsigned>(style & BS_TYPEMASK);
    // The check-box types have the bit of value 2; a button made owner-drawn already (by an
    // earlier Attach, say) is a push button.
    m_checkBox = type != BS_OWNERDRAW && (style & 0x1F & 2) != 0;
    m_default = type == BS_DEFPUSHBUTTON;
    SetWindowSubclass(button, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
    if (m_parent)
        SetWindowSubclass(m_parent, ParentProc, reinterpret_cast<UINT_PTR>(this),
                          reinterpret_cast<DWORD_PTR>(this));
    SetWindowLongPtrW(button, GWL_STYLE, (style & ~LONG_PTR{BS_TYPEMASK}) | BS_OWNERDRAW);
    SetWindowPos(button, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void WinGlyphButton::Detach() {
    if (m_hWnd)
        RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
    if (m_parent)
        RemoveWindowSubclass(m_parent, ParentProc, reinterpret_cast<UINT_PTR>(this));
    m_tooltip.reset();
    m_hWnd = m_parent = nullptr;
    m_hot = false;
}

void WinGlyphButton::ReleaseImages() {
    m_active = Image{};
    m_idle = Image{};
    m_bitmaps = false;
    m_activeId = m_idleId = 0;
}

void WinGlyphButton::Invalidate(bool repaint) {
    if (repaint && m_hWnd)
        InvalidateRect(m_hWnd, nullptr, TRUE);
}

int WinGlyphButton::Repainted(int result, bool repaint) {
    if (result == BTNST_OK)
        Invalidate(repaint);
    return result;
}

namespace {

// An id that is not a resource's (none, or beyond a resource number) loads nothing.
bool Loadable(int id) {
    return id > 0 && id <= 0xFFFF;
}

}  // namespace

int WinGlyphButton::LoadIcons(int activeId, int idleId) {
    ReleaseImages();
    auto load = [this](int id) {
        return gdi::Icon(Loadable(id) ? static_cast<HICON>(LoadImageW(
                                            m_resources, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, 0))
                                      : nullptr);
    };
    Image active;
    active.icon = load(activeId);
    if (active.icon) {
        if (!IconSize(active.icon.get(), active.width, active.height)) {
            Invalidate(true);
            return BTNST_INVALIDRESOURCE;
        }
        Image idle;
        idle.icon = idleId == kGreyIdle ? GreyCopy(active.icon.get(), active.width, active.height)
                                        : load(idleId);
        if (idle.icon && !IconSize(idle.icon.get(), idle.width, idle.height)) {
            Invalidate(true);
            return BTNST_INVALIDRESOURCE;
        }
        m_active = std::move(active);
        m_idle = std::move(idle);
        m_activeId = activeId;
        m_idleId = idleId;
    }
    Invalidate(true);
    return BTNST_OK;
}

namespace {

// Loads a bitmap and builds its mask (1 where the pixel has the transparent colour, whose
// pixels become black). An id that cannot be loaded leaves `image` empty.
int LoadMasked(HINSTANCE resources, int id, std::uint32_t transparent, gdi::Bitmap& bitmap,
               gdi::Bitmap& mask, int& width, int& height) {
    if (!Loadable(id))
        return WinGlyphButton::BTNST_OK;
    gdi::Bitmap loaded(static_cast<HBITMAP>(
        LoadImageW(resources, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    if (!loaded)
        return WinGlyphButton::BTNST_OK;
    BITMAP bm{};
    if (!GetObjectW(loaded.get(), sizeof bm, &bm) || bm.bmWidth <= 0 || bm.bmHeight == 0)
        return WinGlyphButton::BTNST_INVALIDRESOURCE;
    const int w = bm.bmWidth, h = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    const gdi::WindowDc screen(nullptr);
    const gdi::MemoryDc colorDc(CreateCompatibleDC(screen.get()));
    const gdi::MemoryDc maskDc(CreateCompatibleDC(screen.get()));
    gdi::Bitmap made(CreateBitmap(w, h, 1, 1, nullptr));
    if (!colorDc || !maskDc || !made)
        return WinGlyphButton::BTNST_FAILEDMASK;
    {
        const gdi::Selection selectColor(colorDc.get(), loaded.get());
        const gdi::Selection selectMask(maskDc.get(), made.get());
        SetBkColor(colorDc.get(), ColorRef(transparent));
        if (!BitBlt(maskDc.get(), 0, 0, w, h, colorDc.get(), 0, 0, SRCCOPY))
            return WinGlyphButton::BTNST_FAILEDMASK;
        SetBkColor(colorDc.get(), RGB(0, 0, 0));
        SetTextColor(colorDc.get(), RGB(255, 255, 255));
        if (!BitBlt(colorDc.get(), 0, 0, w, h, maskDc.get(), 0, 0, SRCAND))
            return WinGlyphButton::BTNST_FAILEDMASK;
    }
    bitmap = std::move(loaded);
    mask = std::move(made);
    width = w;
    height = h;
    return WinGlyphButton::BTNST_OK;
}

}  // namespace

int WinGlyphButton::LoadBitmaps(int activeId, std::uint32_t activeTransparent, int idleId,
                                std::uint32_t idleTransparent) {
    ReleaseImages();
    Image active, idle;
    int result = LoadMasked(m_resources, activeId, activeTransparent, active.bitmap, active.mask,
                            active.width, active.height);
    if (result == BTNST_OK && active.present() && idleId)
        result = LoadMasked(m_resources, idleId, idleTransparent, idle.bitmap, idle.mask,
                            idle.width, idle.height);
    if (result == BTNST_OK && active.present()) {
        m_active = std::move(active);
        m_idle = std::move(idle);
        m_bitmaps = true;
        m_activeId = activeId;
        m_idleId = idleId;
    }
    Invalidate(true);
    return result;
}

int WinGlyphButton::SetFlatStyle(bool flat, bool repaint) {
    m_look.flat = flat;
    return Repainted(BTNST_OK, repaint);
}

int WinGlyphButton::SetImagePlacement(std::uint8_t placement, bool repaint) {
    return Repainted(m_look.SetImagePlacement(placement), repaint);
}

void WinGlyphButton::SetImageMargins(int left, int top, int right, int bottom) {
    m_look.marginLeft = left;
    m_look.marginTop = top;
    m_look.marginRight = right;
    m_look.marginBottom = bottom;
}

int WinGlyphButton::SetStateColor(std::uint8_t slot, std::uint32_t color, bool repaint) {
    return Repainted(m_look.SetStateColor(slot, color), repaint);
}

int WinGlyphButton::ShadeStateColor(std::uint8_t slot, int shade, bool repaint) {
    return Repainted(m_look.ShadeStateColor(slot, shade), repaint);
}

int WinGlyphButton::ResetStateColors(bool repaint) {
    m_look.ResetStateColors(win_text::RgbOf(Sys(COLOR_BTNFACE)),
                            win_text::RgbOf(Sys(COLOR_BTNTEXT)));
    return Repainted(BTNST_OK, repaint);
}

void WinGlyphButton::SetTipText(const char* text, bool activate) {
    if (!text || !m_hWnd)
        return;
    std::wstring wide = win_text::Wide(text);
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = m_hWnd;
    tool.uId = kToolId;
    tool.lpszText = wide.data();
    if (!m_tooltip) {
        m_tooltip.reset(CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                        m_hWnd, nullptr, nullptr, nullptr));
        if (!m_tooltip)
            return;
        SendMessageW(m_tooltip.get(), TTM_SETMAXTIPWIDTH, 0, kMaxTipWidth);
        tool.uFlags = TTF_SUBCLASS;  // it sees the button's mouse messages itself
        GetClientRect(m_hWnd, &tool.rect);
        SendMessageW(m_tooltip.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    SendMessageW(m_tooltip.get(), TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(m_tooltip.get(), TTM_ACTIVATE, activate ? TRUE : FALSE, 0);
}

int WinGlyphButton::SetChecked(bool checked, bool repaint) {
    if (!m_checkBox)
        return BTNST_OK;
    m_checked = checked;
    Invalidate(repaint);
    return BTNST_OK;
}

void WinGlyphButton::ClearHot() {
    if (!m_hot)
        return;
    m_hot = false;
    Invalidate(true);
}

void WinGlyphButton::TrackHot(WPARAM keys) {
    POINT pointer{};
    GetCursorPos(&pointer);
    const HWND under = WindowFromPoint(pointer);
    // A drag that enters the button does not make it hot.
    if ((keys & MK_LBUTTON) && !m_hot)
        return;
    if (under != m_hWnd) {
        ClearHot();
        return;
    }
    if (m_hot)
        return;
    m_hot = true;
    Invalidate(true);
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_hWnd, 0};
    TrackMouseEvent(&track);
}

void WinGlyphButton::FocusNextAfterDisable() {
    const HWND next = m_parent ? GetNextDlgTabItem(m_parent, m_hWnd, FALSE) : nullptr;
    if (next && next != m_hWnd)
        SetFocus(next);
    else if (m_parent)
        SetFocus(m_parent);
}

LRESULT CALLBACK WinGlyphButton::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam,
                                              UINT_PTR, DWORD_PTR self) {
    auto* button = reinterpret_cast<WinGlyphButton*>(self);
    if (message == WM_NCDESTROY) {
        const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
        button->Detach();
        return result;
    }
    return button->OnMessage(message, wParam, lParam);
}

LRESULT CALLBACK WinGlyphButton::ParentProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR id, DWORD_PTR self) {
    auto* button = reinterpret_cast<WinGlyphButton*>(self);
    switch (message) {
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE)
                button->ClearHot();
            break;
        case WM_COMMAND:
            // A click (by pointer or keyboard) toggles a check box before the owner hears it.
            if (reinterpret_cast<HWND>(lParam) == button->m_hWnd && button->m_hWnd &&
                HIWORD(wParam) == BN_CLICKED && button->m_checkBox) {
                button->m_checked = !button->m_checked;
                button->Invalidate(true);
            }
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(hWnd, ParentProc, id);
            button->m_parent = nullptr;
            break;
        default:
            break;
    }
    return DefSubclassProc(hWnd, message, wParam, lParam);
}

LRESULT WinGlyphButton::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hWnd = m_hWnd;
    switch (message) {
        case WM_MOUSEMOVE: {
            const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
            TrackHot(wParam);
            return result;
        }
        case WM_MOUSELEAVE: {
            const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
            ClearHot();
            return result;
        }
        case WM_KILLFOCUS:
        case WM_CANCELMODE: {
            const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
            ClearHot();
            return result;
        }
        case WM_ENABLE: {
            const LRESULT result = DefSubclassProc(hWnd, message, wParam, lParam);
            if (!wParam) {
                FocusNextAfterDisable();
                ClearHot();
            }
            return result;
        }
        case WM_GETDLGCODE: {
            const LRESULT code = DefSubclassProc(hWnd, message, wParam, lParam);
            return (code & ~LRESULT{DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON}) |
                   (m_default ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
        }
        case BM_SETSTYLE: {
            const auto type = static_cast<unsigned>(wParam & BS_TYPEMASK);
            if (type == BS_DEFPUSHBUTTON)
                m_default = true;
            else if (type == BS_PUSHBUTTON)
                m_default = false;
            return DefSubclassProc(hWnd, message, (wParam & ~WPARAM{BS_TYPEMASK}) | BS_OWNERDRAW,
                                   lParam);
        }
        case BM_SETCHECK:
            SetChecked(wParam == BST_CHECKED || wParam == BST_INDETERMINATE, true);
            return 0;
        case BM_GETCHECK:
            return IsChecked() ? BST_CHECKED : BST_UNCHECKED;
        case WM_LBUTTONDBLCLK:
            // A double click is two presses (two clicks), as for an ordinary push button.
            return DefSubclassProc(hWnd, WM_LBUTTONDOWN, wParam, lParam);
        default:
            return DefSubclassProc(hWnd, message, wParam, lParam);
    }
}

void WinGlyphButton::DrawImage(HDC dc, const RECT& client, bool pressed, bool disabled,
                               RECT& caption) {
    const bool useActive = glyph::UsesActiveImage(m_checkBox, pressed, m_hot, m_idle.present());
    const Image& image = useActive ? m_active : m_idle;
    const int w = image.width, h = image.height;
    const glyph::Placed placed =
        m_look.PlaceImage({client.left, client.top, client.right, client.bottom}, w, h,
                          GetWindowTextLengthW(m_hWnd) > 0, pressed && !m_checkBox);
    caption = {placed.caption.left, placed.caption.top, placed.caption.right,
               placed.caption.bottom};
    const int x = placed.x, y = placed.y;

    if (image.icon) {
        if (disabled)
            DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(image.icon.get()), 0, x, y, w,
                       h, DST_ICON | DSS_DISABLED);
        else
            DrawIconEx(dc, x, y, image.icon.get(), w, h, 0, nullptr, DI_NORMAL);
        return;
    }
    if (!disabled || !m_bEmbossDisabledBitmap) {
        DrawMasked(dc, x, y, w, h, image.bitmap.get(), image.mask.get());
        return;
    }
    // Embossed: the picture on white, then drawn as the platform draws a disabled one.
    const gdi::Bitmap onWhite(CreateCompatibleBitmap(dc, w, h));
    const gdi::MemoryDc compose(CreateCompatibleDC(dc));
    if (!onWhite || !compose)
        return;
    {
        const gdi::Selection select(compose.get(), onWhite.get());
        gdi::FillSolid(compose.get(), {0, 0, w, h}, RGB(255, 255, 255));
        DrawMasked(compose.get(), 0, 0, w, h, image.bitmap.get(), image.mask.get());
    }
    DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(onWhite.get()), 0, x, y, w, h,
               DST_BITMAP | DSS_DISABLED);
}

void WinGlyphButton::DrawCaption(HDC dc, RECT caption, bool pressed, bool disabled) {
    std::wstring text = win_text::WindowText(m_hWnd);
    if (text.empty())
        return;
    if (pressed && !m_checkBox)
        OffsetRect(&caption, 1, 1);
    // Word-wrapped to the caption's width, each line centred, the block centred.
    RECT measure = caption;
    DrawTextW(dc, text.c_str(), -1, &measure, DT_WORDBREAK | DT_CENTER | DT_CALCRECT);
    const int textHeight = measure.bottom - measure.top;
    const int spare = (caption.bottom - caption.top) - textHeight;
    RECT place{caption.left, caption.top + spare / 2, caption.right,
               caption.top + spare / 2 + textHeight};
    if (disabled) {
        OffsetRect(&place, 1, 1);
        SetTextColor(dc, Sys(COLOR_BTNHIGHLIGHT));
        DrawTextW(dc, text.c_str(), -1, &place, DT_WORDBREAK | DT_CENTER);
        OffsetRect(&place, -1, -1);
        SetTextColor(dc, Sys(COLOR_BTNSHADOW));
    } else {
        SetTextColor(
            dc, ColorRef(m_look.colors[m_hot || pressed ? BTNST_COLOR_FG_IN : BTNST_COLOR_FG_OUT]));
    }
    DrawTextW(dc, text.c_str(), -1, &place, DT_WORDBREAK | DT_CENTER);
}

void WinGlyphButton::DrawItem(const DRAWITEMSTRUCT& item) {
    const int width = item.rcItem.right - item.rcItem.left;
    const int height = item.rcItem.bottom - item.rcItem.top;
    if (width <= 0 || height <= 0)
        return;
    // Drawn off screen, then copied at once (no flicker); in place when that cannot be had.
    gdi::Canvas canvas(item.hDC, width, height);
    const HDC dc = canvas.ok() ? canvas.dc() : item.hDC;
    POINT oldOrigin{};
    if (!canvas.ok())
        SetViewportOrgEx(dc, item.rcItem.left, item.rcItem.top, &oldOrigin);
    const RECT client{0, 0, width, height};

    const bool pressed = (item.itemState & ODS_SELECTED) || (m_checkBox && m_checked);
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const auto font = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    const gdi::Selection selectFont(dc, font);
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const COLORREF oldText = GetTextColor(dc);

    RECT w = client;
    if (!m_look.flat && (focused || m_default)) {
        Frame(dc, w, RGB(0, 0, 0));
        InflateRect(&w, -1, -1);
    }
    const std::uint32_t back = (m_hot || pressed) ? m_look.colors[BTNST_COLOR_BK_IN]
                               : focused          ? m_look.colors[BTNST_COLOR_BK_FOCUS]
                                                  : m_look.colors[BTNST_COLOR_BK_OUT];
    gdi::FillSolid(dc, w, ColorRef(back));
    const COLORREF highlight = Sys(COLOR_BTNHIGHLIGHT), shadow = Sys(COLOR_BTNSHADOW);
    if (pressed) {
        if (m_look.flat)
            Draw3dRect(dc, w, shadow, highlight);
        else
            Frame(dc, w, shadow);
    } else if (m_look.flat) {
        if (m_hot)
            Draw3dRect(dc, w, highlight, shadow);
    } else {
        const LONG L = w.left, T = w.top, R = w.right, B = w.bottom;
        Polyline(dc, highlight, {{L, B - 1}, {L, T}, {R, T}});
        Polyline(dc, Sys(COLOR_3DLIGHT), {{L + 1, B - 1}, {L + 1, T + 1}, {R, T + 1}});
        Polyline(dc, Sys(COLOR_3DDKSHADOW), {{L, B - 1}, {R - 1, B - 1}, {R - 1, T - 1}});
        Polyline(dc, shadow, {{L + 1, B - 2}, {R - 2, B - 2}, {R - 2, T}});
    }

    RECT caption = client;
    if (m_active.present())
        DrawImage(dc, client, pressed, disabled, caption);
    DrawCaption(dc, caption, pressed, disabled);
    if (!m_look.flat && focused) {
        RECT focus = w;
        InflateRect(&focus, -3, -3);
        DrawFocusRect(dc, &focus);
    }
    SetTextColor(dc, oldText);
    SetBkMode(dc, oldMode);
    if (canvas.ok())
        BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, dc, 0, 0, SRCCOPY);
    else
        SetViewportOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
}
