#include "win/link_label.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/win/control_host.h"
#include "tests/win/control_pixels.h"
#include "win/resource.h"

namespace {

using control_pixels::Capture;
using win_text::RgbOf;

constexpr std::uint32_t kNormal = 0x323264, kHover = 0xFF6464, kPressed = 0x6464FF;

// A link set up as the window sets up its own, whose opener only records.
struct Link {
    explicit Link(TestParent& parent, int x = 40, int y = 40, int w = 160, int h = 20) {
        handle = parent.Add(L"pravune.example", WS_CLIPSIBLINGS | WS_TABSTOP, x, y, w, h, 200);
        link.Attach(handle);
        link.m_clrCurrent = 0x326464;
        link.m_clrPressed = kPressed;
        link.m_clrHover = kHover;
        link.m_clrNormal = kNormal;
        link.m_bTransparent = true;
        created = link.CreateLinkFont(19, 9, 0, 0, 400, 1, 1, 0, 0, 0, 0, 0, 0, "Arial");
        link.m_open = [this](const std::string& address) { opened.push_back(address); };
    }
    WinLinkLabel link;
    HWND handle = nullptr;
    bool created = false;
    std::vector<std::string> opened;
};

TEST(LinkLabel, ColoursFollowThePointerAndAPressOpensOnce) {
    TestParent parent;
    Link l(parent);
    EXPECT_TRUE(l.created);
    SendMessageW(l.handle, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(l.link.m_clrCurrent, kHover);
    SendMessageW(l.handle, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    EXPECT_EQ(l.link.m_clrCurrent, kPressed);
    ASSERT_EQ(l.opened, std::vector<std::string>{"pravune.example"});
    SendMessageW(l.handle, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(4, 3));
    SendMessageW(l.handle, WM_LBUTTONUP, 0, MAKELPARAM(4, 3));
    EXPECT_EQ(l.link.m_clrCurrent, kNormal);
    // The second press of a double click opens nothing more.
    SendMessageW(l.handle, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(l.handle, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(l.opened.size(), 1u);
    EXPECT_NE(GetCapture(), l.handle);
    EXPECT_EQ(parent.Commands(), 0);  // the parent hears no click
}

TEST(LinkLabel, KeyboardOpensNothing) {
    TestParent parent;
    Link l(parent);
    SetFocus(l.handle);
    SendMessageW(l.handle, BM_CLICK, 0, 0);
    SendMessageW(l.handle, WM_KEYDOWN, VK_SPACE, 0);
    SendMessageW(l.handle, WM_CHAR, L' ', 0);
    SendMessageW(l.handle, WM_KEYUP, VK_SPACE, 0);
    control_pixels::Pump(50);
    EXPECT_TRUE(l.opened.empty());
    EXPECT_EQ(parent.Commands(), 0);
}

struct TimerCase {
    const char* name;
    int dx, dy;  // from the client area's top-left (0) or bottom-right edge (1) in pixels
    bool fromRight, fromBottom;
    bool inside;
};

class LinkTimer : public testing::TestWithParam<TimerCase> {};

// Each tick looks where the pointer is: outside, the normal colour comes back.
TEST_P(LinkTimer, ReturnsToNormalOnlyOutside) {
    const TimerCase& c = GetParam();
    TestParent parent;
    Link l(parent);
    RECT client{};
    GetClientRect(l.handle, &client);
    const POINT p = control_pixels::ScreenPoint(l.handle, (c.fromRight ? client.right : 0) + c.dx,
                                                (c.fromBottom ? client.bottom : 0) + c.dy);
    SendMessageW(l.handle, WM_MOUSEMOVE, 0, 0);
    ASSERT_EQ(l.link.m_clrCurrent, kHover);
    SetCursorPos(p.x, p.y);
    // On Wine's virtual desktop the pointer gets there a moment later.
    POINT at{};
    for (int i = 0; i < 100 && GetCursorPos(&at) && (at.x != p.x || at.y != p.y); ++i)
        control_pixels::Pump(5);
    ASSERT_EQ(at.x, p.x);
    ASSERT_EQ(at.y, p.y);
    SendMessageW(l.handle, WM_TIMER, WinLinkLabel::kHoverTimerId, 0);
    EXPECT_EQ(l.link.m_clrCurrent, c.inside ? kHover : kNormal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LinkTimer,
    testing::Values(TimerCase{"TopLeft", 0, 0, false, false, true},
                    TimerCase{"OneBeyondTheLastColumnAndRow", 0, 0, true, true, true},
                    TimerCase{"LeftOfIt", -1, 0, false, false, false},
                    TimerCase{"AboveIt", 0, -1, false, false, false},
                    TimerCase{"TwoBeyondTheLastColumn", 1, -1, true, true, false},
                    TimerCase{"TwoBelowTheLastRow", -1, 1, true, true, false}),
    [](const testing::TestParamInfo<TimerCase>& row) { return row.param.name; });

TEST(LinkLabel, HoverTimerRunsOnceAndStopsWithTheWindow) {
    TestParent parent;
    Link l(parent);
    EXPECT_TRUE(l.link.StartHoverTimer());
    EXPECT_TRUE(l.link.StartHoverTimer());
    EXPECT_TRUE(l.link.TimerOn());
    // It really ticks: the pointer far away brings the normal colour back.
    SendMessageW(l.handle, WM_MOUSEMOVE, 0, 0);
    SetCursorPos(700, 560);
    control_pixels::Pump(450);
    EXPECT_EQ(l.link.m_clrCurrent, kNormal);
    DestroyWindow(l.handle);
    EXPECT_FALSE(l.link.TimerOn());
    EXPECT_FALSE(KillTimer(l.handle, WinLinkLabel::kHoverTimerId));
    EXPECT_EQ(l.link.Handle(), nullptr);
}

TEST(LinkLabel, PaintsItsTextOverWhatLiesUnder) {
    TestParent parent(500, 200);
    // The link above the banner, as in the window (first in the z-order).
    Link over(parent, 20, 30, 60, 20);
    Link apart(parent, 20, 120, 160, 20);
    WinGlyphButton banner;
    const HWND bannerHandle =
        parent.AddGlyph(banner, L"", WS_DISABLED | WS_CLIPSIBLINGS, 0, 0, 420, 80, 100);
    SetWindowPos(bannerHandle, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    banner.m_bEmbossDisabledBitmap = false;
    ASSERT_EQ(banner.LoadBitmaps(IDB_BANNER, 0, 0, 0), WinGlyphButton::BTNST_OK);

    const control_pixels::Pixels plain = Capture(apart.handle);
    const std::uint32_t face = RgbOf(GetSysColor(COLOR_BTNFACE));
    EXPECT_GT(plain.Count(0x326464), 20);  // the text, in the current colour
    EXPECT_GT(plain.Count(face), 160 * 20 / 2);
    EXPECT_EQ(plain.At(159, 0), face);

    // Over the banner's module picture: its green shows round the text.
    const control_pixels::Pixels onBanner = Capture(over.handle);
    EXPECT_GT(onBanner.Count(0x2E8B57), 50);
    EXPECT_GT(onBanner.Count(0x326464), 5);
}

}  // namespace
