#include "image/serial_number.h"

#include "image/image_check.h"

#include <gtest/gtest.h>

namespace {

TEST(SerialNumber, ScanHexReadsLikePercentX) {
    const struct {
        const char* text;
        std::uint32_t want;
    } cases[] = {{"1234", 0x1234},
                 {" 0x00001234", 0x1234},
                 {"0XaB", 0xAB},
                 {"0x", 0},
                 {"0xG", 0},
                 {"12G4", 0x12},
                 {"zz", 0x77777777u},
                 {"", 0x77777777u},
                 {"1234ABCD9", 0x234ABCD9}};
    for (const auto& c : cases) {
        std::uint32_t value = 0x77777777u;
        ScanHex(c.text, value);
        EXPECT_EQ(value, c.want) << c.text;
    }
}

TEST(SerialNumber, ShowsWholeOnlyPlainDigitsThatFit) {
    EXPECT_TRUE(ShowsWhole("00FF", 4));
    EXPECT_TRUE(ShowsWhole("abcd", 4));
    EXPECT_FALSE(ShowsWhole("", 4));
    EXPECT_FALSE(ShowsWhole("12345", 4));
    EXPECT_FALSE(ShowsWhole("0x12", 4));
    EXPECT_FALSE(ShowsWhole("12 ", 4));
}

// Where a serial number would be written over bytes the image programs: never over a byte the
// image leaves erased.
TEST(SerialNumber, FirstProgrammedAddressFindsTheImagesOwnBytes) {
    HexImage image;
    image.data.fill(0xFF);
    image.data[1] = 0x0E;
    for (std::uint32_t a = 0x0E00; a < 0x0E10; ++a)
        image.data[a] = a == 0x0E05 ? 0xFF : 0x5A;  // one byte of the code left erased
    image.start = 0x0E00;
    image.end = 0x0E10;
    image.bytesMoved = true;
    image.movedBytes = {0xFF, 0x34, 0x56};
    const struct {
        std::uint32_t from, to;
        std::optional<std::uint32_t> want;
    } cases[] = {{0x0E05, 0x0E06, std::nullopt}, {0x0E04, 0x0E06, 0x0E04},
                 {0x0E05, 0x0E07, 0x0E06},       {0x0E10, 0x3BF7, std::nullopt},
                 {0x3BF6, 0x3BF8, std::nullopt}, {0x3BF6, 0x3BFA, 0x3BF8},
                 {0x0000, 0x0003, 0x0001}};
    for (const auto& c : cases)
        EXPECT_EQ(FirstProgrammedAddress(image, c.from, c.to), c.want) << c.from;
}

}  // namespace
