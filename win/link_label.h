#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "win/gdi_handles.h"

// The maker's web address as a link on Windows, over a push button of the dialog: it paints its
// caption alone in an underlined italic font, in a colour that follows the pointer (normal,
// hover, pressed); a left press opens the caption as an address through the shell, shown
// maximised, once per press; keyboard activation opens nothing. A 300 ms poll of the pointer
// (timer 11) returns the normal colour once the pointer has left. Colours are 0xRRGGBB.
class WinLinkLabel {
  public:
    static constexpr UINT_PTR kHoverTimerId = 11;
    static constexpr UINT kHoverPeriodMs = 300;

    WinLinkLabel();
    ~WinLinkLabel();
    WinLinkLabel(const WinLinkLabel&) = delete;
    WinLinkLabel& operator=(const WinLinkLabel&) = delete;

    void Attach(HWND button);
    HWND Handle() const { return m_hWnd; }

    bool CreateLinkFont(int height, int width, int escapement, int orientation, int weight,
                        std::uint8_t italic, std::uint8_t underline, std::uint8_t strikeOut,
                        std::uint8_t charSet, std::uint8_t outPrecision, std::uint8_t clipPrecision,
                        std::uint8_t quality, std::uint8_t pitchAndFamily, const char* face);
    bool StartHoverTimer();
    bool TimerOn() const { return m_bTimerOn; }

    // What a press opens the caption with (UTF-8); by default the shell's "open", maximised.
    std::function<void(const std::string& address)> m_open;

    std::uint32_t m_clrHover = 0x140000;
    std::uint32_t m_clrPressed = 0x140000;
    std::uint32_t m_clrNormal;
    std::uint32_t m_clrCurrent;
    bool m_bTransparent = true;

  private:
    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Detach();
    // The colour shown now; a change repaints (the same colour again does not).
    void SetCurrent(std::uint32_t color);
    void Paint(HDC target);
    // What lies under the link: the parent's background and the siblings below it.
    void PaintUnder(HDC dc);

    HWND m_hWnd = nullptr;
    gdi::Font m_font;
    bool m_bTimerOn = false;
};
