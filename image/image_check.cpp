#include "image/image_check.h"

#include <algorithm>

bool CheckImage(HexImage& image) {
    image.bytesMoved = false;
    image.start = 0;
    const std::uint32_t limit = std::min(image.end, image.Usable());

    if (image.end > 68 && image.Usable() > kMovedFrom + 2) {
        const std::uint8_t* moved = &image.data[kMovedFrom];
        if (moved[0] != 0xFF || moved[1] != 0xFF || moved[2] != 0xFF) {
            std::copy_n(moved, 3, image.movedBytes.begin());
            image.bytesMoved = true;
            std::fill_n(&image.data[kMovedFrom], 3, std::uint8_t{0xFF});
        }
    }
    for (std::uint32_t a = 3; a < limit; ++a) {
        if (image.data[a] != 0xFF) {
            image.start = a;
            break;
        }
    }
    return image.start >= kCodeStart;
}

std::optional<std::uint32_t> FirstProgrammedAddress(const HexImage& image, std::uint32_t from,
                                                    std::uint32_t to) {
    const std::uint32_t codeFrom = std::max(image.start, kCodeStart);
    const std::uint32_t codeEnd = std::min(image.end, image.Usable());
    for (std::uint32_t a = from; a < to; ++a) {
        const bool low = a < 3 && a < image.Usable() && image.data[a] != 0xFF;
        const bool moved = image.bytesMoved && a >= kMovedBytesAddress &&
                           a < kMovedBytesAddress + 3 &&
                           image.movedBytes[a - kMovedBytesAddress] != 0xFF;
        const bool code = a >= codeFrom && a < codeEnd && image.data[a] != 0xFF;
        if (low || moved || code)
            return a;
    }
    return std::nullopt;
}
