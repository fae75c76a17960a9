#include "controls/glyph_look.h"

#include <algorithm>

namespace glyph {

int Look::SetStateColor(std::uint8_t slot, std::uint32_t color) {
    if (slot > 5)
        return BTNST_INVALIDINDEX;
    colors[slot] = color & 0xFFFFFF;
    return BTNST_OK;
}

int Look::ShadeStateColor(std::uint8_t slot, int shade) {
    if (slot > 5)
        return BTNST_INVALIDINDEX;
    if (shade < -255 || shade > 255)
        return BTNST_BADPARAM;
    const std::uint32_t c = colors[slot];
    const int r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
    const int d =
        shade > 0 ? std::min({shade, 255 - r, 255 - g, 255 - b}) : std::max({shade, -r, -g, -b});
    colors[slot] = (static_cast<std::uint32_t>(r + d) << 16) |
                   (static_cast<std::uint32_t>(g + d) << 8) | static_cast<std::uint32_t>(b + d);
    return BTNST_OK;
}

void Look::ResetStateColors(std::uint32_t face, std::uint32_t text) {
    colors = {face, text, face, text, face, text};
}

int Look::SetImagePlacement(std::uint8_t newPlacement) {
    if (newPlacement > 2)
        return BTNST_INVALIDALIGN;
    placement = newPlacement;
    return BTNST_OK;
}

Placed Look::PlaceImage(const Box& client, int w, int h, bool hasCaption, bool pressedPush) const {
    Placed p{client.left, client.top, client};
    const int width = client.right - client.left, height = client.bottom - client.top;
    auto centreX = [&] { p.x += (width - w) / 2; };
    auto centreY = [&] { p.y += (height - h) / 2; };
    if (!hasCaption) {
        centreX();
        centreY();
    } else if (placement == 0) {
        p.x += marginLeft;
        p.caption.left += w + marginLeft;
        centreY();
    } else if (placement == 1) {
        centreX();
        p.y = marginTop;
        p.caption.top += h;
    } else {
        p.caption.right -= p.caption.left + marginRight + w;
        p.caption.left = marginRight;
        p.x = width - marginRight - w;
        centreY();
    }
    if (pressedPush) {
        ++p.x;
        ++p.y;
    }
    return p;
}

}  // namespace glyph
