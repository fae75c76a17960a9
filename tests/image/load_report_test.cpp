#include "image/load_report.h"
#include "text/escape_controls.h"

#include <gtest/gtest.h>

#include "tests/support/case_name.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>

#include "device/hid_port.h"
#include "image/hex_reader.h"
#include "image/image_check.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"
#include "text/utf8.h"

namespace {

// The local time zone, in the form "NAME[-+]HH[:MM]" that POSIX and the Windows C library share.
void SetZone(const char* zone) {
#ifdef _WIN32
    ::_putenv_s("TZ", zone);
    ::_tzset();
#else
    ::setenv("TZ", zone, 1);
    ::tzset();
#endif
}

void SetModified(const std::string& path, std::time_t utc) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::last_write_time(
        fs::path(std::u8string(path.begin(), path.end())),
        std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(utc)), ec);
    ASSERT_FALSE(ec) << ec.message();
}

// Sets the file's last-write time to 4 July 2011 13:40:10 UTC and the zone to UTC.
void StampJuly4(const std::string& path) {
    SetZone("UTC0");
    SetModified(path, 1309786810);
}

struct CheckCase {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> bytes;  // non-0xFF bytes of the image
    std::uint32_t end;
    bool passes;
    std::uint32_t start;
    bool moved;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class ImageCheckTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ImageCheckTable, FindsFirstCodeAndMovesBytes) {
    const CheckCase& c = GetParam();
    HexImage image;
    image.data.fill(0xFF);
    for (auto [address, value] : c.bytes)
        image.data[address] = value;
    image.end = c.end;
    image.movedBytes = {};
    EXPECT_EQ(CheckImage(image), c.passes);
    EXPECT_EQ(image.start, c.start);
    EXPECT_EQ(image.bytesMoved, c.moved);
    if (c.moved) {
        EXPECT_EQ(image.movedBytes[0], 0x12);
        EXPECT_EQ(image.movedBytes[1], 0xFF);
        EXPECT_EQ(image.movedBytes[2], 0x56);
        EXPECT_EQ(image.data[0x43], 0xFF);
        EXPECT_EQ(image.data[0x44], 0xFF);
        EXPECT_EQ(image.data[0x45], 0xFF);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageCheckTable,
    ::testing::ValuesIn(std::vector<CheckCase>{
        {"code_from_0E00", {{0x0E00, 1}, {0x1000, 2}}, 0x1001, true, 0x0E00, false},
        {"bytes_0_to_2_pass",
         {{0, 0x02}, {1, 0x10}, {2, 0}, {0x0F00, 1}},
         0x0F01,
         true,
         0x0F00,
         false},
        {"moved_bytes_pass", {{0x43, 0x12}, {0x45, 0x56}, {0x0E10, 1}}, 0x0E11, true, 0x0E10, true},
        {"byte_at_0x46_fails", {{0x46, 0}, {0x0E00, 1}}, 0x0E01, false, 0x46, false},
        {"byte_at_0DFF_fails", {{0x0DFF, 0}, {0x0E00, 1}}, 0x0E01, false, 0x0DFF, false},
        {"all_ff_fails", {}, 0x2000, false, 0, false},
        {"moved_bytes_ignored_when_end_is_68", {{0x43, 0x12}}, 68, false, 0x43, false},
        {"moved_bytes_taken_when_end_is_69", {{0x43, 0x12}, {0x45, 0x56}}, 69, false, 0, true},
        {"end_beyond_capacity_is_not_read", {{0x3BF9, 1}}, 0xFFFFFFFF, true, 0x3BF9, false},
    }),
    CaseName());

TEST(LoadReport, SuccessLinesAndLabels) {
    TempDir dir;
    std::string path = dir.Write(
        "app.hex", Lines({"==KAVORN APP HEX==", Data(0, {1, 2, 3}), Data(0x43, {0x12, 0x34, 0x56}),
                          Data(0x0E00, std::vector<std::uint8_t>(0x22, 0x00)), kEof}));
    StampJuly4(path);
    HexImage image;
    std::string status = "old";
    LoadReport report = LoadImageFile(path, image, status);
    ASSERT_TRUE(report.valid);
    EXPECT_TRUE(image.valid);
    EXPECT_TRUE(image.bytesMoved);
    EXPECT_EQ(report.fileName, "app.hex");
    std::vector<LogEntry> want = {
        {"Open Hex\r\n", kLogBlack, true},
        {"\t- File Name: app.hex\n", kLogBlack, false},
        {"\t- Length: 34Bytes (0E00 ~ 0E21)\n", kLogBlack, false},
        {"\t- Latest Update: 2011-7-4 13:40:10\n", kLogBlack, false},
        {"\t- Format: KAVORN Application Hex File\n", kLogBlack, false},
    };
    EXPECT_EQ(report.log, want);
    EXPECT_EQ(report.lengthLabel, "34 Bytes");
    EXPECT_EQ(report.dateLabel, "2011-7-4 13:40:10");
}

TEST(LoadReport, WrongChecksumsAddOneRedWarning) {
    TempDir dir;
    std::string path =
        dir.Write("app.hex", Lines({":01100000AA00", ":01100100BB00", Data(0x1002, {1}), kEof}));
    HexImage image;
    std::string status;
    LoadReport report = LoadImageFile(path, image, status);
    ASSERT_TRUE(report.valid);
    ASSERT_EQ(report.log.size(), 5u);
    EXPECT_EQ(report.log.back(),
              (LogEntry{"\t- Warning: 2 records have a wrong checksum (first on line 1)\n", kLogRed,
                        false}));
}

struct FailCase {
    const char* name;
    std::string file;  // empty: nothing at the path
    std::string status;
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class LoadFailureTable : public ::testing::TestWithParam<FailCase> {};

TEST_P(LoadFailureTable, RedReasonAndEmptyLabels) {
    TempDir dir;
    std::string path =
        GetParam().file.empty() ? dir.File("gone.hex") : dir.Write("bad.hex", GetParam().file);
    HexImage image;
    image.valid = true;
    std::string status;
    LoadReport report = LoadImageFile(path, image, status);
    EXPECT_FALSE(report.valid);
    EXPECT_FALSE(image.valid);
    EXPECT_EQ(status, GetParam().status);
    std::vector<LogEntry> want = {{"Open Hex: \r\n", kLogBlack, true},
                                  {"\t" + GetParam().status + "\r\n", kLogRed, false}};
    EXPECT_EQ(report.log, want);
    EXPECT_EQ(report.lengthLabel, "");
    EXPECT_EQ(report.dateLabel, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadFailureTable,
                         ::testing::ValuesIn(std::vector<FailCase>{
                             {"missing", "", "Hex file path does not exist!"},
                             {"reserved", Lines({Data(0x46, {0}), Data(0x0E00, {1}), kEof}),
                              "Error: Code In Reserved Range 0x0000 ~ 0DFF"},
                             {"all_ff", Lines({Data(0x0E00, {0xFF, 0xFF}), kEof}),
                              "Error: Code In Reserved Range 0x0000 ~ 0DFF"},
                             {"overflow", Lines({Data(0x3BFF, {0}), kEof}),
                              "Open Hex file error -- Memory buffer overflow!"},
                             {"no_eof", Lines({Data(0x0E00, {0})}),
                              "Open Hex file error -- Unkown"},
                         }),
                         CaseName());

// What a module, a file or a record says is shown, never obeyed by the terminal.
TEST(LoadReport, ControlCharactersAreShownEscaped) {
    struct Case {
        std::string text, all, keepingLineEnds;
    };
    const Case cases[] = {
        {"MOD001", "MOD001", "MOD001"},
        {"\x1B[2J", "\\x1B[2J", "\\x1B[2J"},
        {std::string("A\0B\x7F", 4), "A\\x00B\\x7F", "A\\x00B\\x7F"},
        {"\tDone\r\n", "\\x09Done\\x0D\\x0A", "\tDone\r\n"},
        // C1 controls (CSI U+009B), as Latin-1 module strings arrive; other text stays.
        {"\xC2\x9B"
         "2J",
         "\\u009B2J", "\\u009B2J"},
        {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x99\x82",
         "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x99\x82",
         "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x99\x82"},
        // Bytes that are no UTF-8: a lone continuation, a cut sequence, an overlong form.
        {"\x9B"
         "2J",
         "\\x9B2J", "\\x9B2J"},
        {"x\xE2\x82", "x\\xE2\\x82", "x\\xE2\\x82"},
        {"\xC0\x9B", "\\xC0\\x9B", "\\xC0\\x9B"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeControls(c.text), c.all) << c.all;
        EXPECT_EQ(EscapeControls(c.text, Controls::kKeepLineEnds), c.keepingLineEnds) << c.all;
        EXPECT_EQ(EscapeControls(c.all), c.all) << "escaped text stays as it is";
    }
    // A module's identifier (Latin-1 bytes) is shown escaped wherever it goes.
    EXPECT_EQ(Latin1ToUtf8("\x1B[2J\x9B"), "\\x1B[2J\\u009B");
}

// The one UTF-8 rule of the escaping and of the PostgreSQL store's text cleaning, at the edges of
// each length: the shortest form only, no surrogate, nothing past U+10FFFF, nothing cut.
TEST(Utf8, SequenceEdges) {
    struct Case {
        std::string_view bytes;
        std::size_t length;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"A", 0, 0},
        {"\x80", 0, 0},
        {"\xC1\xBF", 0, 0},
        {"\xC2\x80", 2, 0x80},
        {"\xDF\xBF", 2, 0x7FF},
        {"\xE0\x9F\xBF", 0, 0},
        {"\xE0\xA0\x80", 3, 0x800},
        {"\xED\x9F\xBF", 3, 0xD7FF},
        {"\xED\xA0\x80", 0, 0},
        {"\xEE\x80\x80", 3, 0xE000},
        {"\xF0\x8F\xBF\xBF", 0, 0},
        {"\xF0\x90\x80\x80", 4, 0x10000},
        {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
        {"\xF4\x90\x80\x80", 0, 0},
        {"\xF5\x80\x80\x80", 0, 0},
        {"\xF0\x9F\x99", 0, 0},
        {"\xE2\x82\x41", 0, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t code = 0;
        EXPECT_EQ(Utf8Sequence(c.bytes, 0, code), c.length) << EscapeControls(std::string(c.bytes));
        if (c.length) {
            EXPECT_EQ(code, c.code) << EscapeControls(std::string(c.bytes));
        }
    }
}

TEST(LoadReport, FileNameIsTheTextAfterTheLastSeparator) {
    EXPECT_EQ(FileNameOf("/home/op/fw/app.hex"), "app.hex");
    EXPECT_EQ(FileNameOf("app.hex"), "");
    EXPECT_EQ(FileNameOf("/home/op/"), "");
    EXPECT_EQ(FileNameOf(""), "");
}

TEST(LoadReport, FileTimeTextIsLocalTimeWithoutLeadingZeros) {
    TempDir dir;
    const std::string path = dir.Write("fw.hex", "");
    // A zone 5 h 30 min east of UTC (POSIX form, no zone database needed).
    const struct {
        std::time_t utc;
        const char* want;
    } cases[] = {{1309750505, "2011-7-4 9:5:5"},    // 2011-07-04 03:35:05 UTC
                 {1309723200, "2011-7-4 1:30:0"}};  // 2011-07-03 20:00:00 UTC: the next day
    SetZone("IST-5:30");
    for (const auto& c : cases) {
        SetModified(path, c.utc);
        EXPECT_EQ(FileTimeText(path), c.want);
    }
    SetZone("UTC0");
}

TEST(LoadReport, FileTimeTextOfMissingPathIsEmpty) {
    EXPECT_EQ(FileTimeText("/nonexistent/pravune"), "");
    EXPECT_EQ(FileTimeText(""), "");
}

}  // namespace
