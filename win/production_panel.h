#pragma once

#include <windows.h>

#include "station/window_controller.h"
#include "win/gdi_handles.h"

// Production mode's panel on Windows, a child window of its own class painted with GDI: the
// verdict large and white on its colour in the upper three fifths, what it means below it, then
// on light grey the shift's count and, at the bottom, the release and the shift's operator. Its
// window text is the verdict's headline.
class WinProductionPanel {
  public:
    WinProductionPanel() = default;
    WinProductionPanel(const WinProductionPanel&) = delete;
    WinProductionPanel& operator=(const WinProductionPanel&) = delete;

    // Makes the panel (hidden) in `parent` at `rect` (pixels); false when it could not be made.
    bool Create(HWND parent, const RECT& rect, int id);
    // Shows `display`; repaints only when it changed.
    void Show(const ProductionDisplay& display);
    HWND Handle() const { return m_window.get(); }

  private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc, const RECT& all) const;

    ProductionDisplay m_display;
    gdi::Window m_window;
};
