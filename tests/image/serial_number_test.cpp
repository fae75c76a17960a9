#include "image/serial_number.h"

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

}  // namespace
