#include "win/glyph_button.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/win/control_host.h"
#include "tests/win/control_pixels.h"
#include "win/link_label.h"
#include "win/resource.h"

namespace {

using control_pixels::Capture;
using control_pixels::Pixels;
using control_pixels::Pump;
using win_text::RgbOf;

std::uint32_t Sys(int index) {
    return RgbOf(GetSysColor(index));
}

constexpr std::uint32_t kArrowGreen = 0x1A8F3A;  // the Download icon's arrow

// Where the arrow's exact colour lies inside the Download icon itself.
RECT ArrowInIcon() {
    const gdi::Icon icon(static_cast<HICON>(LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_DOWNLOAD), IMAGE_ICON, 0, 0, 0)));
    return control_pixels::Read(32, 32,
                                [&](HDC dc) {
                                    gdi::FillSolid(dc, {0, 0, 32, 32}, RGB(255, 255, 255));
                                    DrawIconEx(dc, 0, 0, icon.get(), 32, 32, 0, nullptr, DI_NORMAL);
                                })
        .Find(kArrowGreen);
}

// The pointer over a control's client point, and the move message that reports it.
void MoveOver(HWND control, int x, int y, WPARAM keys = 0) {
    const POINT p = control_pixels::ScreenPoint(control, x, y);
    SetCursorPos(p.x, p.y);
    SendMessageW(control, WM_MOUSEMOVE, keys, MAKELPARAM(x, y));
}

void MoveAway(HWND control) {
    SetCursorPos(700, 560);
    SendMessageW(control, WM_MOUSEMOVE, 0, MAKELPARAM(-300, -300));
}

struct PlacementCase {
    const char* name;
    const wchar_t* caption;
    std::uint8_t placement;
    bool pressed;
    int x, y;  // where the icon's top-left corner lands (button 120 x 64, icon 32 x 32)
};

class GlyphPlacement : public testing::TestWithParam<PlacementCase> {};

TEST_P(GlyphPlacement, PutsTheImageAndCaptionApart) {
    const PlacementCase& c = GetParam();
    TestParent parent;
    WinGlyphButton button;
    const HWND handle = parent.AddGlyph(button, c.caption, 0, 10, 10, 120, 64, 100);
    ASSERT_EQ(button.LoadIcons(IDI_DOWNLOAD, 0), WinGlyphButton::BTNST_OK);
    button.SetImageMargins(5, 7, 9, 11);
    ASSERT_EQ(button.SetImagePlacement(c.placement), WinGlyphButton::BTNST_OK);
    EXPECT_EQ(button.SetImagePlacement(3), WinGlyphButton::BTNST_INVALIDALIGN);  // kept
    if (c.pressed)
        SendMessageW(handle, BM_SETSTATE, TRUE, 0);
    const Pixels pixels = Capture(handle);
    ASSERT_FALSE(pixels.empty());
    const RECT arrow = pixels.Find(kArrowGreen), inIcon = ArrowInIcon();
    ASSERT_NE(inIcon.right, 0);
    EXPECT_EQ(arrow.left - inIcon.left, c.x);
    EXPECT_EQ(arrow.top - inIcon.top, c.y);
    // The caption (button text colour) stays out of the image's side.
    const RECT text = pixels.Find(Sys(COLOR_BTNTEXT));
    if (*c.caption == 0) {
        EXPECT_EQ(text.right, 0);
    } else {
        ASSERT_NE(text.right, 0);
        if (c.placement == 0) {
            EXPECT_GE(text.left, c.x + 32);
        } else if (c.placement == 1) {
            EXPECT_GE(text.top, c.y + 32 - 7);  // its rectangle starts at the image's height
        } else {
            EXPECT_LE(text.right, c.x);
        }
    }
}

// The rule itself is the shared look's test; here its result on the screen.
INSTANTIATE_TEST_SUITE_P(
    Table, GlyphPlacement,
    testing::Values(PlacementCase{"NoCaptionCentres", L"", 0, false, 44, 16},
                    PlacementCase{"RightOfTheCaption", L"Go", 2, false, 79, 16},
                    PlacementCase{"PressedMovesIt", L"Go", 0, true, 6, 17}),
    [](const testing::TestParamInfo<PlacementCase>& row) { return row.param.name; });

TEST(GlyphButton, GreyIdleIconUntilHot) {
    TestParent parent;
    WinGlyphButton button;
    const HWND handle = parent.AddGlyph(button, L"", 0, 10, 10, 60, 50, 100);
    ASSERT_EQ(button.LoadIcons(IDI_DOWNLOAD, WinGlyphButton::kGreyIdle), WinGlyphButton::BTNST_OK);
    // 0.299 * 0x1A + 0.587 * 0x8F + 0.114 * 0x3A = 98.3, truncated.
    Pixels idle = Capture(handle);
    EXPECT_EQ(idle.Count(kArrowGreen), 0);
    EXPECT_GT(idle.Count(0x626262), 20);
    MoveOver(handle, 30, 25);
    ASSERT_TRUE(button.IsHot());
    EXPECT_GT(Capture(handle).Count(kArrowGreen), 20);
    MoveAway(handle);
    // An id that is no resource's leaves no image, and the one there goes.
    EXPECT_EQ(button.LoadIcons(9999, 0), WinGlyphButton::BTNST_OK);
    EXPECT_EQ(button.ActiveImageId(), 0);
    EXPECT_EQ(Capture(handle).Count(0x626262), 0);
}

TEST(GlyphButton, FlatBorderOnlyWhileHotAndDragsDoNotMakeItHot) {
    TestParent parent;
    WinGlyphButton button;
    const HWND handle = parent.AddGlyph(button, L"", 0, 30, 30, 60, 30, 100);
    const std::uint32_t face = Sys(COLOR_BTNFACE);
    ASSERT_NE(Sys(COLOR_BTNHIGHLIGHT), face);
    ASSERT_NE(Sys(COLOR_BTNSHADOW), face);
    Pixels p = Capture(handle);
    EXPECT_EQ(p.At(0, 0), face);
    EXPECT_EQ(p.At(59, 29), face);
    EXPECT_EQ(p.Count(face), 60 * 30);

    MoveOver(handle, 10, 10, MK_LBUTTON);  // a drag coming in
    EXPECT_FALSE(button.IsHot());
    MoveOver(handle, 10, 10);
    ASSERT_TRUE(button.IsHot());
    p = Capture(handle);
    EXPECT_EQ(p.At(0, 0), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(p.At(0, 28), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(p.At(59, 29), Sys(COLOR_BTNSHADOW));
    EXPECT_EQ(p.At(59, 0), Sys(COLOR_BTNSHADOW));
    MoveOver(handle, 12, 12, MK_LBUTTON);  // held down once hot: stays hot
    EXPECT_TRUE(button.IsHot());

    MoveAway(handle);
    EXPECT_FALSE(button.IsHot());
    EXPECT_EQ(Capture(handle).At(0, 0), face);
    // Losing the focus or a cancelled mode clears it too.
    MoveOver(handle, 10, 10);
    ASSERT_TRUE(button.IsHot());
    SendMessageW(handle, WM_CANCELMODE, 0, 0);
    EXPECT_FALSE(button.IsHot());
    MoveOver(handle, 10, 10);
    ASSERT_TRUE(button.IsHot());
    SendMessageW(parent.hwnd(), WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_FALSE(button.IsHot());
    MoveAway(handle);
}

TEST(GlyphButton, DownloadLookHasItsColoursAndBevel) {
    TestParent parent;
    WinGlyphButton button;
    const HWND handle = parent.AddGlyph(button, L"Download", 0, 20, 20, 150, 80, 100);
    button.LoadIcons(IDI_DOWNLOAD, 0);
    button.SetImagePlacement(1);
    button.SetFlatStyle(false);
    button.SetImageMargins(0, 20, 0, 0);
    button.SetStateColor(WinGlyphButton::BTNST_COLOR_BK_OUT, 0xC4D89A);
    button.ShadeStateColor(WinGlyphButton::BTNST_COLOR_BK_IN, 30);
    // The shade itself is the shared look's test; here the colour it paints.
    const std::uint32_t hotBack = button.StateColor(WinGlyphButton::BTNST_COLOR_BK_IN);
    ASSERT_NE(hotBack, Sys(COLOR_BTNFACE));

    Pixels p = Capture(handle);
    EXPECT_EQ(p.At(5, 75), 0xC4D89Au);
    EXPECT_EQ(p.At(0, 0), Sys(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(p.At(1, 1), Sys(COLOR_3DLIGHT));
    EXPECT_EQ(p.At(149, 79), Sys(COLOR_3DDKSHADOW));
    EXPECT_EQ(p.At(148, 78), Sys(COLOR_BTNSHADOW));
    EXPECT_GT(p.Count(Sys(COLOR_BTNTEXT)), 10);  // the caption
    // The image at the top margin, centred; the caption below it.
    const RECT arrow = p.Find(kArrowGreen), inIcon = ArrowInIcon();
    EXPECT_EQ(arrow.top - inIcon.top, 20);
    EXPECT_EQ(arrow.left - inIcon.left, (150 - 32) / 2);
    EXPECT_GE(p.Find(Sys(COLOR_BTNTEXT)).top, 32);

    MoveOver(handle, 75, 70);
    ASSERT_TRUE(button.IsHot());
    p = Capture(handle);
    EXPECT_EQ(p.At(5, 75), hotBack);
    MoveAway(handle);

    // Focused: a black frame round the bevel, and a focus rectangle.
    SetFocus(handle);
    p = Capture(handle);
    EXPECT_EQ(p.At(0, 0), 0u);
    EXPECT_EQ(p.At(149, 79), 0u);
    EXPECT_EQ(p.At(1, 1), Sys(COLOR_BTNHIGHLIGHT));
}

TEST(GlyphButton, DisabledCaptionIsEmbossed) {
    TestParent parent;
    WinGlyphButton button;
    const HWND handle = parent.AddGlyph(button, L"Clear", 0, 20, 20, 90, 30, 100);
    button.SetFlatStyle(false);
    EXPECT_GT(Capture(handle).Count(Sys(COLOR_BTNTEXT)), 10);
    EnableWindow(handle, FALSE);
    const Pixels p = Capture(handle);
    EXPECT_EQ(p.Count(Sys(COLOR_BTNTEXT)), 0);
    // The shadow-coloured caption, with a highlight copy one pixel right and down. Look only
    // inside the bevel (its own lines have the same colours).
    Pixels inner;
    inner.width = 80;
    inner.height = 20;
    for (int y = 5; y < 25; ++y)
        for (int x = 5; x < 85; ++x)
            inner.rgb.push_back(p.At(x, y));
    const RECT shadow = inner.Find(Sys(COLOR_BTNSHADOW));
    const RECT light = inner.Find(Sys(COLOR_BTNHIGHLIGHT));
    ASSERT_NE(shadow.right, 0);
    ASSERT_NE(light.right, 0);
    EXPECT_EQ(light.right, shadow.right + 1);
    EXPECT_EQ(light.bottom, shadow.bottom + 1);
}

TEST(GlyphButton, BannerLeavesItsBlackTransparent) {
    TestParent parent(500, 200);
    WinGlyphButton banner;
    const HWND handle = parent.AddGlyph(banner, L"", WS_DISABLED, 10, 10, 399, 60, 100);
    banner.m_bEmbossDisabledBitmap = false;
    ASSERT_EQ(banner.LoadBitmaps(IDB_BANNER, 0x000000, 0, 0), WinGlyphButton::BTNST_OK);
    const Pixels p = Capture(handle);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.Count(0x000000), 0);                       // black is never drawn
    EXPECT_GT(p.Count(Sys(COLOR_BTNFACE)), 399 * 60 / 2);  // the dialog shows through
    EXPECT_GT(p.Count(0x2E8B57), 100);                     // the module, not embossed
    // The 420 x 80 picture centred in 399 x 60: its left 10 columns are cut.
    EXPECT_EQ(p.At(0, 0), Sys(COLOR_BTNFACE));

    // With the emboss a disabled bitmap loses its colours.
    banner.m_bEmbossDisabledBitmap = true;
    EXPECT_EQ(Capture(handle).Count(0x2E8B57), 0);
}

TEST(GlyphButton, DoubleClickIsTwoClicksAndAClickTakesTheFocus) {
    TestParent parent;
    WinGlyphButton button;
    const HWND other = parent.Add(L"other", WS_TABSTOP, 200, 10, 60, 30, 101);
    const HWND handle = parent.AddGlyph(button, L"Go", WS_TABSTOP, 10, 10, 60, 30, 100);
    SetFocus(other);
    const LPARAM at = MAKELPARAM(5, 5);
    SendMessageW(handle, WM_LBUTTONDOWN, MK_LBUTTON, at);
    EXPECT_EQ(GetFocus(), handle);
    SendMessageW(handle, WM_LBUTTONUP, 0, at);
    SendMessageW(handle, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    SendMessageW(handle, WM_LBUTTONUP, 0, at);
    EXPECT_EQ(parent.Clicks(100), 2);
    EXPECT_FALSE(button.IsChecked());  // a push button is never checked
    SendMessageW(handle, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(handle, BM_GETCHECK, 0, 0), BST_UNCHECKED);
}

TEST(GlyphButton, CheckBoxModeTogglesOnEachClick) {
    TestParent parent;
    WinGlyphButton box;
    const HWND handle = parent.AddGlyph(box, L"Auto", BS_AUTOCHECKBOX, 10, 10, 60, 30, 100);
    EXPECT_EQ(GetWindowLongPtrW(handle, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    SendMessageW(handle, BM_CLICK, 0, 0);
    EXPECT_TRUE(box.IsChecked());
    EXPECT_EQ(SendMessageW(handle, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageW(handle, BM_CLICK, 0, 0);
    EXPECT_FALSE(box.IsChecked());
    EXPECT_EQ(parent.Clicks(100), 2);
    // Checked shows pressed: the hot background though the pointer is away.
    box.SetStateColor(WinGlyphButton::BTNST_COLOR_BK_IN, 0x3060C0);
    box.SetChecked(true);
    EXPECT_GT(Capture(handle).Count(0x3060C0), 100);
}

TEST(GlyphButton, DefaultStateFollowsTheDialog) {
    TestParent parent;
    WinGlyphButton button;
    const HWND handle = parent.AddGlyph(button, L"OK", BS_DEFPUSHBUTTON, 10, 10, 60, 30, 100);
    button.SetFlatStyle(false);
    EXPECT_EQ(
        SendMessageW(handle, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON),
        DLGC_DEFPUSHBUTTON);
    EXPECT_EQ(Capture(handle).At(0, 0), 0u);  // the default's black frame
    SendMessageW(handle, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    EXPECT_EQ(
        SendMessageW(handle, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON),
        DLGC_UNDEFPUSHBUTTON);
    EXPECT_EQ(GetWindowLongPtrW(handle, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_EQ(Capture(handle).At(0, 0), Sys(COLOR_BTNHIGHLIGHT));
    SendMessageW(handle, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EXPECT_EQ(GetWindowLongPtrW(handle, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
    EXPECT_EQ(Capture(handle).At(0, 0), 0u);
}

struct FocusCase {
    const char* name;
    int focused;   // index of the control holding the focus before, -1 for none
    int disabled;  // index of the glyph button disabled
    std::vector<int> alsoDisabled;
    int expected;  // index of the control with the focus after, -1 for the parent
};

class DisablingMovesFocus : public testing::TestWithParam<FocusCase> {};

TEST_P(DisablingMovesFocus, ToTheNextTabStop) {
    const FocusCase& c = GetParam();
    TestParent parent;
    WinGlyphButton buttons[3];
    HWND handles[3];
    for (int i = 0; i < 3; ++i)
        handles[i] =
            parent.AddGlyph(buttons[i], L"b", WS_TABSTOP, 10 + 70 * i, 10, 60, 30, 100 + i);
    for (int i : c.alsoDisabled)
        EnableWindow(handles[i], FALSE);
    SetFocus(c.focused < 0 ? parent.hwnd() : handles[c.focused]);
    EnableWindow(handles[c.disabled], FALSE);
    EXPECT_EQ(GetFocus(), c.expected < 0 ? parent.hwnd() : handles[c.expected]);
}

INSTANTIATE_TEST_SUITE_P(Table, DisablingMovesFocus,
                         testing::Values(FocusCase{"FocusedGoesToTheNext", 0, 0, {}, 1},
                                         FocusCase{"LastWrapsToTheFirst", 2, 2, {}, 0},
                                         FocusCase{"SkipsDisabledOnes", 0, 0, {1}, 2},
                                         FocusCase{"NoneLeftGoesToTheParent", 1, 1, {0, 2}, -1},
                                         FocusCase{"EvenWhenItHadNoFocus", 2, 0, {}, 1}),
                         [](const testing::TestParamInfo<FocusCase>& row) {
                             return row.param.name;
                         });

}  // namespace
