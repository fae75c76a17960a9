#include "image/hex_reader.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif
#include "tests/support/case_name.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"

namespace {

struct ReaderCase {
    const char* name;
    std::string text;
    int code;
    std::uint32_t start;
    std::uint32_t end;
    bool maker;
    // Where and why the read failed, as the command line and the record tell it.
    std::string where{};
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kOverflowText = "Open Hex file error -- Memory buffer overflow!";

std::vector<ReaderCase> ReaderCases() {
    const std::string body = Data(0x0E00, {0x55, 0xAA});
    std::string longLine = Data(0x10, {0x42}) + std::string(1024 - 13, 'x');
    return {
        {"plain_from_first_line", Lines({body, kEof}), kHexOk, 0x0E00, 0x0E02, false},
        {"maker_header_any_case", Lines({"==kavorn App HEX==", body, kEof}), kHexOk, 0x0E00, 0x0E02,
         true},
        {"maker_header_crlf", Lines({"==KAVORN APP HEX==", body, kEof}, "\r\n"), kHexOk, 0x0E00,
         0x0E02, true},
        {"header_with_trailing_blank_is_a_bad_record", Lines({"==KAVORN APP HEX== ", body, kEof}),
         kHexTypeError, 0, 0, false, " (line 1: not a record)"},
        {"descending_records",
         Lines({Data(0x2000, {1, 2, 3}), Data(0x1000, {4}), Data(0x1800, {5}), kEof}), kHexOk,
         0x1000, 0x2003, false},
        {"last_byte_of_image", Lines({Data(0x3BF9, {0x12}), kEof}), kHexOk, 0x3BF9, 0x3BFA, false},
        {"byte_at_capacity_overflows", Lines({Data(0x3BFA, {0x12}), kEof}), kHexOverflow, 0x3BFA,
         0x3BFA, false, " (line 1: address 0x3BFA lies beyond the image's 0x3BFA bytes)"},
        {"record_straddling_capacity", Lines({Data(0x3BF8, {1, 2, 3, 4}), kEof}), kHexOverflow,
         0x3BF8, 0x3BF8, false, " (line 1: address 0x3BFA lies beyond the image's 0x3BFA bytes)"},
        {"wrong_checksum_accepted", Lines({":0100100042FF", kEof}), kHexOk, 0x10, 0x11, false},
        {"blank_line_before_eof", Lines({body, "", kEof}), kHexTypeError, 0x0E00, 0x0E02, false,
         " (line 2: not a record)"},
        {"text_after_eof_not_read", Lines({body, kEof, "", "garbage", ":02"}), kHexOk, 0x0E00,
         0x0E02, false},
        {"type_02", Lines({Record(0, 0x02, {0x10, 0x00}), body, kEof}), kHexTypeError, 0, 0, false,
         " (line 1: record type 02 is not handled)"},
        {"type_03", Lines({body, Record(0, 0x03, {0, 0, 0, 0}), kEof}), kHexTypeError, 0x0E00,
         0x0E02, false, " (line 2: record type 03 is not handled)"},
        {"type_05", Lines({body, Record(0, 0x05, {0, 0, 0, 0}), kEof}), kHexTypeError, 0x0E00,
         0x0E02, false, " (line 2: record type 05 is not handled)"},
        {"ela_zero_keeps_base", Lines({Ela(0), body, kEof}), kHexOk, 0x0E00, 0x0E02, false},
        {"ela_one_overflows", Lines({Ela(1), Data(0, {0x01}), kEof}), kHexOverflow, 0x10000,
         0x10000, false, " (line 2: address 0x10000 lies beyond the image's 0x3BFA bytes)"},
        {"ela_then_back_to_zero", Lines({Ela(1), Ela(0), body, kEof}), kHexOk, 0x0E00, 0x0E02,
         false},
        {"ela_base_wraps_address", Lines({Ela(0xFFFF), Data(0xFFFF, {1, 2}), kEof}), kHexOverflow,
         0xFFFFFFFF, 0xFFFFFFFF, false,
         " (line 2: address 0xFFFFFFFF lies beyond the image's 0x3BFA bytes)"},
        {"no_eof_record", Lines({body}), kHexNoEof, 0x0E00, 0x0E02, false,
         " (line 1: the file ends without an end-of-file record)"},
        {"empty_file", "", kHexNoEof, 0, 0, false,
         " (the file ends without an end-of-file record)"},
        {"header_only", Lines({"==KAVORN APP HEX=="}), kHexNoEof, 0, 0, true,
         " (line 1: the file ends without an end-of-file record)"},
        {"eof_without_final_newline", body + "\n" + kEof, kHexOk, 0x0E00, 0x0E02, false},
        {"empty_record_raises_end", Lines({body, Data(0x3000, {}), kEof}), kHexOk, 0x0E00, 0x3000,
         false},
        {"empty_record_at_capacity", Lines({body, Data(0x3BFA, {}), kEof}), kHexOk, 0x0E00, 0x3BFA,
         false},
        {"empty_record_above_capacity", Lines({body, ":00FFFF0001", kEof}), kHexOverflow, 0x0E00,
         0x0E02, false, " (line 2: address 0xFFFF lies beyond the image's 0x3BFA bytes)"},
        {"record_shorter_than_its_count", Lines({":0200100055", kEof}), kHexTypeError, 0, 0, false,
         " (line 1: the record is shorter than its byte count)"},
        {"record_without_fields", Lines({":0000", kEof}), kHexTypeError, 0, 0, false,
         " (line 1: not a record)"},
        {"ela_without_value", Lines({":02000004", kEof}), kHexTypeError, 0, 0, false,
         " (line 1: the address record is too short)"},
        {"line_without_colon", Lines({"0000000001FF"}), kHexTypeError, 0, 0, false,
         " (line 1: not a record)"},
        {"line_of_1024_chars", Lines({longLine, kEof}), kHexOk, 0x10, 0x11, false},
        {"line_of_1025_chars", Lines({longLine + "x", kEof}), kHexTypeError, 0, 0, false,
         " (line 1: longer than 1024 characters)"},
        {"lower_case_digits", Lines({":02100000abcd76", ":00000001ff"}), kHexOk, 0x1000, 0x1002,
         false},
    };
}

class ReaderTable : public ::testing::TestWithParam<ReaderCase> {};

// Every case must come out the same through the file and through the in-memory seam.
TEST_P(ReaderTable, FileAndBufferAgree) {
    const ReaderCase& c = GetParam();
    TempDir dir;
    std::string path = dir.Write("image.hex", c.text);
    for (bool fromFile : {true, false}) {
        SCOPED_TRACE(fromFile ? "file" : "buffer");
        HexImage image;
        image.makerFormat = !c.maker;
        std::string status = "stale";
        int code =
            fromFile ? ReadHexFile(path, image, status) : ReadHexBuffer(c.text, image, status);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(status, HexResultText(c.code));
        EXPECT_EQ(HexFailureText(status, image), status + c.where);
        EXPECT_EQ(image.start, c.start);
        EXPECT_EQ(image.end, c.end);
        EXPECT_EQ(image.makerFormat, c.maker);
        EXPECT_FALSE(image.valid);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderTable, ::testing::ValuesIn(ReaderCases()), CaseName());

TEST(HexReader, StatusTexts) {
    EXPECT_STREQ(HexResultText(kHexOk), "");
    EXPECT_STREQ(HexResultText(kHexNoFile), "Hex file path does not exist!");
    EXPECT_STREQ(HexResultText(kHexTypeError), "Open Hex file error -- Hex Type Error!");
    EXPECT_EQ(HexResultText(kHexOverflow), kOverflowText);
    EXPECT_STREQ(HexResultText(kHexNoEof), "Open Hex file error -- Unkown");
    EXPECT_STREQ(HexResultText(kHexChanging),
                 "Open Hex file error -- the file kept changing while it was read");
}

TEST(HexReader, BytesLandAtTheirAddressesAndLaterRecordsOverwrite) {
    HexImage image;
    image.data.fill(0x11);  // whatever the last load left
    std::string status;
    std::string text =
        Lines({Data(0x0002, {0xA0, 0xA1}), Data(0x3BF8, {0xB0, 0xB1}), Data(0x0003, {0xC0}), Ela(0),
               Data(0x1234, {0x00, 0xFF, 0x7E}), kEof});
    ASSERT_EQ(ReadHexBuffer(text, image, status), kHexOk);
    for (std::uint32_t a = 0; a < image.capacity; ++a) {
        std::uint8_t want = 0xFF;
        switch (a) {
            case 0x0002:
                want = 0xA0;
                break;
            case 0x0003:
                want = 0xC0;
                break;
            case 0x3BF8:
                want = 0xB0;
                break;
            case 0x3BF9:
                want = 0xB1;
                break;
            case 0x1234:
                want = 0x00;
                break;
            case 0x1236:
                want = 0x7E;
                break;
        }
        ASSERT_EQ(image.data[a], want) << "address " << a;
    }
}

// Digits are not validated: a field ends at its first non-digit, an empty field is 0.
TEST(HexReader, FieldsStopAtTheFirstNonDigit) {
    HexImage image;
    std::string status;
    ASSERT_EQ(ReadHexBuffer(Lines({":03001000G15Gzz00", kEof}), image, status), kHexOk);
    EXPECT_EQ(image.data[0x10], 0x00);
    EXPECT_EQ(image.data[0x11], 0x05);
    EXPECT_EQ(image.data[0x12], 0x00);
    EXPECT_EQ(image.badChecksums, 1u);
}

TEST(HexReader, CountsWrongChecksumsAndRemembersTheFirstLine) {
    HexImage image;
    std::string status;
    std::string text = Lines({"==KAVORN APP HEX==", Data(0x0E00, {1}), ":01000E0000FF",
                              Data(0x0E02, {3}), ":010E030000", kEof});
    ASSERT_EQ(ReadHexBuffer(text, image, status), kHexOk);
    EXPECT_EQ(image.badChecksums, 2u);
    EXPECT_EQ(image.firstBadChecksumLine, 3u);

    ASSERT_EQ(ReadHexBuffer(Lines({Data(0x0E00, {1}), kEof}), image, status), kHexOk);
    EXPECT_EQ(image.badChecksums, 0u);
    EXPECT_EQ(image.firstBadChecksumLine, 0u);
}

TEST(HexReader, MissingPathLeavesTheBytesAlone) {
    HexImage image;
    image.data.fill(0x5A);
    image.start = 7;
    image.end = 9;
    image.makerFormat = true;
    std::string status;
    EXPECT_EQ(ReadHexFile("/nonexistent/pravune/x.hex", image, status), kHexNoFile);
    EXPECT_EQ(status, "Hex file path does not exist!");
    EXPECT_EQ(image.start, 0u);
    EXPECT_EQ(image.end, 0u);
    EXPECT_TRUE(image.makerFormat);
    EXPECT_EQ(image.data[0], 0x5A);
    EXPECT_EQ(image.data[image.capacity - 1], 0x5A);
    EXPECT_EQ(ReadHexFile("", image, status), kHexNoFile);
}

// Only a regular file is read; anything else ends the read at once, without blocking.
TEST(HexReader, RefusesWhatIsNotARegularFile) {
    TempDir dir;
#ifdef _WIN32
    const std::vector<std::string> paths = {dir.path()};
#else
    std::string fifo = dir.File("pipe.hex");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> paths = {dir.path(), fifo, "/dev/zero", "/dev/null"};
#endif
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        HexImage image;
        image.makerFormat = true;
        std::string status;
        EXPECT_EQ(ReadHexFile(path, image, status), kHexTypeError);
        EXPECT_EQ(status, "Open Hex file error -- Hex Type Error!");
        EXPECT_TRUE(image.makerFormat);
#ifndef _WIN32
        EXPECT_EQ(HexFailureText(status, image), status + " (it is not a regular file)");
#else
        EXPECT_NE(HexFailureText(status, image), status);
#endif
    }
}

TEST(HexReader, HugeFileWithoutLineEndsStopsAtTheLineLimit) {
    TempDir dir;
    std::string path = dir.Write("huge.hex", ":" + std::string(8 << 20, '0'));
    HexImage image;
    std::string status;
    EXPECT_EQ(ReadHexFile(path, image, status), kHexTypeError);
}

TEST(HexReader, SmallerCapacityIsHonoured) {
    HexImage image;
    image.capacity = 0x20;
    image.data.fill(0x33);
    std::string status;
    EXPECT_EQ(ReadHexBuffer(Lines({Data(0x1F, {1}), kEof}), image, status), kHexOk);
    EXPECT_EQ(image.data[0x20], 0x33);  // past capacity: never filled
    EXPECT_EQ(ReadHexBuffer(Lines({Data(0x20, {1}), kEof}), image, status), kHexOverflow);
}

}  // namespace

namespace {

// A file rewritten in place, again and again, while it is read: every read that succeeds gives
// one of the two builds whole, never a mixture of both. A small file is compared with what was
// read byte for byte, one of more than 128 KiB (every record five times) through a hash.
class RewrittenFile : public ::testing::TestWithParam<int> {};

TEST_P(RewrittenFile, IsNeverReadAsAMixtureOfTwoBuilds) {
    TempDir dir;
    const int copies = GetParam();
    std::string builds[2];
    for (int b = 0; b < 2; ++b) {
        const std::string records = FullImageHex(0x0E00, 0x3BFA, static_cast<std::uint8_t>(b + 1));
        for (int c = 1; c < copies; ++c)
            builds[b] += records.substr(0, records.size() - kEof.size() - 2);
        builds[b] += records;
    }
    ASSERT_EQ(builds[0].size() > 2 * 65536, copies > 1);
    HexImage want[2];
    for (int b = 0; b < 2; ++b) {
        std::string status;
        ASSERT_EQ(ReadHexBuffer(builds[b], want[b], status), kHexOk);
    }
    const std::string path = dir.Write("fw.hex", builds[0]);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        // A build writing over the file in place every few milliseconds: same size, a piece at
        // a time, with pauses halfway.
        for (int i = 1; !stop; ++i) {
            const std::string& text = builds[i % 2];
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            for (std::size_t at = 0; file && at < text.size(); at += 4096) {
                const std::size_t n = std::min<std::size_t>(4096, text.size() - at);
                file.seekp(static_cast<std::streamoff>(at));
                file.write(text.data() + at, static_cast<std::streamsize>(n));
                file.flush();
                std::this_thread::sleep_for(std::chrono::microseconds(i % 3 == 0 ? 2000 : 50));
            }
            file.close();
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 5 == 0 ? 120 : 3));
        }
    });
    int whole = 0, refused = 0;
    for (int i = 0; i < 60; ++i) {
        HexImage image;
        std::string status;
        const int code = ReadHexFile(path, image, status);
        if (code != kHexOk) {
            ++refused;
            continue;
        }
        const bool isA = image.end == want[0].end &&
                         std::memcmp(image.data, want[0].data, HexImage::kCapacity) == 0;
        const bool isB = image.end == want[1].end &&
                         std::memcmp(image.data, want[1].data, HexImage::kCapacity) == 0;
        ASSERT_TRUE(isA || isB) << "read " << i << " mixed the two builds";
        ++whole;
    }
    stop = true;
    writer.join();
    EXPECT_GT(whole + refused, 0);
    // Left alone, the file reads whole.
    HexImage image;
    std::string status;
    ASSERT_EQ(ReadHexFile(path, image, status), kHexOk) << status;
    EXPECT_TRUE(std::memcmp(image.data, want[0].data, HexImage::kCapacity) == 0 ||
                std::memcmp(image.data, want[1].data, HexImage::kCapacity) == 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RewrittenFile, ::testing::Values(1, 5));

}  // namespace
