#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "win/gdi_handles.h"

// The window's picture button on Windows: an owner-drawn push button of the dialog that paints
// itself completely (a background colour per state, a flat look with a border only while hot
// or pressed, or a 3-D bevel; an icon pair or a bitmap pair with a transparent colour beside or
// above a word-wrapped centred caption; the embossed disabled look; a focus rectangle) and has
// an optional tooltip. It tracks the pointer for its hot look. Clicks reach the dialog as
// ordinary BN_CLICKED. Colours are 0xRRGGBB.
class WinGlyphButton {
  public:
    enum ColorSlot : std::uint8_t {
        BTNST_COLOR_BK_IN = 0,     // hot background
        BTNST_COLOR_FG_IN = 1,     // hot text
        BTNST_COLOR_BK_OUT = 2,    // normal background
        BTNST_COLOR_FG_OUT = 3,    // normal text
        BTNST_COLOR_BK_FOCUS = 4,  // focused background
        BTNST_COLOR_FG_FOCUS = 5,  // focused text (kept, never drawn)
    };
    enum Result : int {
        BTNST_OK = 0,
        BTNST_INVALIDRESOURCE = 1,
        BTNST_FAILEDMASK = 2,
        BTNST_INVALIDINDEX = 3,
        BTNST_INVALIDALIGN = 4,
        BTNST_BADPARAM = 5,
    };
    static constexpr int kGreyIdle = -2;  // LoadIcons: the idle icon is a grey copy

    WinGlyphButton();
    ~WinGlyphButton();
    WinGlyphButton(const WinGlyphButton&) = delete;
    WinGlyphButton& operator=(const WinGlyphButton&) = delete;

    // Takes over a push button of a dialog (subclassing it): reads the type it was created with
    // (check-box mode, default), makes it owner-drawn. Pictures come from `resources`.
    void Attach(HWND button, HINSTANCE resources);
    HWND Handle() const { return m_hWnd; }

    int LoadIcons(int activeId, int idleId);
    int LoadBitmaps(int activeId, std::uint32_t activeTransparent, int idleId,
                    std::uint32_t idleTransparent);
    int SetFlatStyle(bool flat, bool repaint = true);
    int SetImagePlacement(std::uint8_t placement, bool repaint = true);
    void SetImageMargins(int left, int top, int right, int bottom);
    int SetStateColor(std::uint8_t slot, std::uint32_t color, bool repaint = true);
    int ShadeStateColor(std::uint8_t slot, int shade, bool repaint = true);
    int ResetStateColors(bool repaint = true);
    // A null text does nothing; UTF-8.
    void SetTipText(const char* text, bool activate);
    int SetChecked(bool checked, bool repaint = true);
    bool IsChecked() const { return m_checked; }

    std::uint32_t StateColor(std::uint8_t slot) const { return slot < 6 ? m_colors[slot] : 0; }
    bool IsHot() const { return m_hot; }
    int ActiveImageId() const { return m_activeId; }

    // The dialog hands on WM_DRAWITEM for this button.
    void DrawItem(const DRAWITEMSTRUCT& item);

    bool m_bEmbossDisabledBitmap = true;

  private:
    struct Image {
        gdi::Icon icon;
        gdi::Bitmap bitmap;
        gdi::Bitmap mask;  // 1 where the bitmap had its transparent colour (now black there)
        int width = 0, height = 0;
        bool present() const { return icon || bitmap; }
    };

    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
    // The parent's messages, seen before it: its deactivation, and this button's clicks.
    static LRESULT CALLBACK ParentProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Detach();
    void ClearHot();
    void ReleaseImages();
    void Invalidate(bool repaint);
    void TrackHot(WPARAM keys);
    void FocusNextAfterDisable();
    void DrawImage(HDC dc, const RECT& client, bool pressed, bool disabled, RECT& caption);
    void DrawCaption(HDC dc, RECT caption, bool pressed, bool disabled);

    HWND m_hWnd = nullptr;
    HWND m_parent = nullptr;
    HINSTANCE m_resources = nullptr;
    gdi::Window m_tooltip;
    Image m_active, m_idle;
    bool m_bitmaps = false;
    int m_activeId = 0;
    int m_idleId = 0;
    bool m_flat = true;
    std::uint8_t m_placement = 0;
    int m_marginLeft = 0, m_marginTop = 0, m_marginRight = 0, m_marginBottom = 0;
    std::array<std::uint32_t, 6> m_colors{};
    bool m_hot = false;
    bool m_checkBox = false;
    bool m_default = false;
    bool m_checked = false;
};
