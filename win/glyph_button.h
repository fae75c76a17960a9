#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "controls/glyph_look.h"
#include "win/gdi_handles.h"

// The window's picture button on Windows: an owner-drawn push button of the dialog that paints
// itself completely (a background colour per state, a flat look with a border only while hot
// or pressed, or a 3-D bevel; an icon pair or a bitmap pair with a transparent colour beside or
// above a word-wrapped centred caption; the embossed disabled look; a focus rectangle) and has
// an optional tooltip. It tracks the pointer for its hot look. Clicks reach the dialog as
// ordinary BN_CLICKED. Colours are 0xRRGGBB.
class WinGlyphButton {
  public:
    using ColorSlot = glyph::ColorSlot;
    using Result = glyph::Result;
    using enum glyph::ColorSlot;
    using enum glyph::Result;
    static constexpr int kGreyIdle = glyph::kGreyIdle;

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

    std::uint32_t StateColor(std::uint8_t slot) const { return m_look.StateColor(slot); }
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
    // The result, with a repaint when it is BTNST_OK and one is asked for.
    int Repainted(int result, bool repaint);
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
    glyph::Look m_look;
    bool m_hot = false;
    bool m_checkBox = false;
    bool m_default = false;
    bool m_checked = false;
};
