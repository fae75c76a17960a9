#pragma once

#include <array>
#include <cstdint>

// What the picture button keeps of its look and the rules that need no toolkit, shared by the
// Qt and the Win32 button: the colour per state and its shade, flat or 3-D, and where the image
// goes beside the caption. Colours are 0xRRGGBB.
namespace glyph {

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
inline constexpr int kGreyIdle = -2;  // LoadIcons: the idle icon is a grey copy

// A rectangle whose right and bottom edges lie one past its last pixel.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const Box&) const = default;
};

// Where an image goes: its top-left corner, and what is left of the caption's rectangle.
struct Placed {
    int x = 0, y = 0;
    Box caption;
    bool operator==(const Placed&) const = default;
};

struct Look {
    // The setters' results; nothing changes unless BTNST_OK.
    int SetStateColor(std::uint8_t slot, std::uint32_t color);
    // Moves all three channels of a slot by one amount, as far as the nearest limit allows.
    int ShadeStateColor(std::uint8_t slot, int shade);
    void ResetStateColors(std::uint32_t face, std::uint32_t text);
    int SetImagePlacement(std::uint8_t newPlacement);
    std::uint32_t StateColor(std::uint8_t slot) const { return slot < 6 ? colors[slot] : 0; }

    // The image of w x h in `client` (the button's rectangle, which the caption starts as);
    // `pressedPush`: pressed, and not in check-box mode.
    Placed PlaceImage(const Box& client, int w, int h, bool hasCaption, bool pressedPush) const;

    std::array<std::uint32_t, 6> colors{};
    bool flat = true;
    std::uint8_t placement = 0;  // 0 image left of the caption, 1 above it, 2 right of it
    int marginLeft = 0, marginTop = 0, marginRight = 0, marginBottom = 0;  // bottom: unused
};

// Which image is shown: the active one, or the idle one.
inline bool UsesActiveImage(bool checkBoxMode, bool pressed, bool hot, bool haveIdle) {
    return (checkBoxMode && pressed) || (!checkBoxMode && (pressed || hot)) || !haveIdle;
}

}  // namespace glyph
