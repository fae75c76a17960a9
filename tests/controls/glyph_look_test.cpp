// The picture button's look and placement rules, which the Qt and the Win32 buttons share.
#include "controls/glyph_look.h"

#include <gtest/gtest.h>

namespace {

using glyph::Box;
using glyph::Look;
using glyph::Placed;

struct ShadeCase {
    std::uint8_t slot;
    std::uint32_t color;
    int shade;
    int result;
    std::uint32_t expected;
};

class GlyphShade : public testing::TestWithParam<ShadeCase> {};

TEST_P(GlyphShade, MovesAllChannelsByOneStep) {
    const ShadeCase& c = GetParam();
    Look look;
    look.colors.fill(c.color);
    EXPECT_EQ(look.ShadeStateColor(c.slot, c.shade), c.result);
    EXPECT_EQ(look.StateColor(c.slot), c.slot < 6 ? c.expected : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GlyphShade,
    testing::Values(ShadeCase{0, 0xD4D0C8, 30, 0, 0xF2EEE6},   // all channels move fully
                    ShadeCase{0, 0xFA0A0A, 30, 0, 0xFF0F0F},   // the brightest one limits it
                    ShadeCase{2, 0x146464, -30, 0, 0x005050},  // the darkest one limits it
                    ShadeCase{4, 0x808080, 0, 0, 0x808080},
                    ShadeCase{5, 0x000000, 255, 0, 0xFFFFFF},
                    ShadeCase{1, 0xFFFFFF, -255, 0, 0x000000},
                    ShadeCase{3, 0x123456, 256, 5, 0x123456},  // out of range: nothing changes
                    ShadeCase{3, 0x123456, -256, 5, 0x123456},
                    ShadeCase{6, 0x123456, 10, 3, 0}));  // no such slot

TEST(GlyphLook, SettersRefuseWhatIsOutOfRangeAndChangeNothing) {
    Look look;
    EXPECT_EQ(look.SetStateColor(6, 0x123456), glyph::BTNST_INVALIDINDEX);
    EXPECT_EQ(look.SetStateColor(2, 0xFF123456), glyph::BTNST_OK);
    EXPECT_EQ(look.StateColor(2), 0x123456u);  // 24 bits kept
    EXPECT_EQ(look.SetImagePlacement(2), glyph::BTNST_OK);
    EXPECT_EQ(look.SetImagePlacement(3), glyph::BTNST_INVALIDALIGN);
    EXPECT_EQ(look.placement, 2);
    look.ResetStateColors(0xD4D0C8, 0x000001);
    for (std::uint8_t slot = 0; slot < 6; ++slot)
        EXPECT_EQ(look.StateColor(slot), slot % 2 ? 0x000001u : 0xD4D0C8u) << int{slot};
}

struct PlacementCase {
    const char* name;
    bool caption;
    std::uint8_t placement;
    bool pressed;
    Placed want;
};

class GlyphPlacement : public testing::TestWithParam<PlacementCase> {};

// A 32 x 32 image in a 120 x 64 button, margins 5, 7, 9 (and 11, unused).
TEST_P(GlyphPlacement, PutsTheImageAndCaptionApart) {
    const PlacementCase& c = GetParam();
    Look look;
    look.marginLeft = 5;
    look.marginTop = 7;
    look.marginRight = 9;
    look.marginBottom = 11;
    look.placement = c.placement;
    EXPECT_EQ(look.PlaceImage({0, 0, 120, 64}, 32, 32, c.caption, c.pressed), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GlyphPlacement,
    testing::Values(
        PlacementCase{"NoCaptionCentresLeft", false, 0, false, {44, 16, {0, 0, 120, 64}}},
        PlacementCase{"NoCaptionCentresAbove", false, 1, false, {44, 16, {0, 0, 120, 64}}},
        PlacementCase{"NoCaptionCentresRight", false, 2, false, {44, 16, {0, 0, 120, 64}}},
        PlacementCase{"Left", true, 0, false, {5, 16, {37, 0, 120, 64}}},
        // The caption's area starts at the image's height, not at its bottom edge.
        PlacementCase{"Above", true, 1, false, {44, 7, {0, 32, 120, 64}}},
        PlacementCase{"Right", true, 2, false, {79, 16, {9, 0, 79, 64}}},
        PlacementCase{"PressedMovesTheImageOnly", true, 0, true, {6, 17, {37, 0, 120, 64}}}),
    [](const testing::TestParamInfo<PlacementCase>& row) { return row.param.name; });

TEST(GlyphLook, TheActiveImageShowsWhenPressedOrHotUnlessACheckBoxIsOnlyHot) {
    struct {
        bool checkBox, pressed, hot, haveIdle, active;
    } cases[] = {
        {false, false, false, true, false}, {false, true, false, true, true},
        {false, false, true, true, true},   {true, false, true, true, false},
        {true, true, false, true, true},    {false, false, false, false, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(glyph::UsesActiveImage(c.checkBox, c.pressed, c.hot, c.haveIdle), c.active)
            << c.checkBox << c.pressed << c.hot << c.haveIdle;
}

}  // namespace
