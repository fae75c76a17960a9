// Real-world HEX files from the shared test corpus: each must give the outcome its manifest
// names, and each file that loads must give exactly the reference image made by another tool.
// The same files, damaged in thousands of ways, must read exactly as a plain model of the
// reader's rules reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <string_view>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/load_report.h"
#include "tests/support/hex_text.h"
#include "tests/support/temp_dir.h"
#include "text/hex_digit.h"

namespace {

struct CorpusFile {
    std::string name;
    int outcome;
};

std::string CorpusDir() {
    const char* env = std::getenv("PRAVUNE_SHARED_DIR");
    return std::string(env && *env ? env : PRAVUNE_SHARED_DIR) + "/testdata/hex";
}

// The corpus lies beside the source tree, not in it: a clone elsewhere has none, and its tests
// are skipped. A folder that is there but lacks its manifest or files still fails.
#define SKIP_WITHOUT_CORPUS()                                                                  \
    do {                                                                                       \
        std::error_code absent;                                                                \
        if (!std::filesystem::is_directory(CorpusDir(), absent))                               \
            GTEST_SKIP() << "no HEX corpus at " << CorpusDir()                                 \
                         << " (set PRAVUNE_SHARED_DIR to the folder that holds testdata/hex)"; \
    } while (false)

// Rows of the manifest's summary table: "| NN-name.hex | ... | **C ...** | ... |".
std::vector<CorpusFile> ManifestRows() {
    std::vector<CorpusFile> rows;
    std::string manifest = ReadBytes(CorpusDir() + "/MANIFEST.md");
    std::regex row(R"(^\| *([0-9][0-9]-[^ |]+\.hex) *\|.*\| *\*\*([0-4]) [^*|]*\*\*[^|]*\|)");
    std::size_t pos = 0;
    while (pos < manifest.size()) {
        std::size_t eol = manifest.find('\n', pos);
        if (eol == std::string::npos)
            eol = manifest.size();
        std::string line = manifest.substr(pos, eol - pos);
        std::smatch m;
        if (std::regex_search(line, m, row))
            rows.push_back({m[1], std::stoi(m[2])});
        pos = eol + 1;
    }
    return rows;
}

TEST(HexCorpus, EveryFileGivesItsManifestOutcomeAndImage) {
    SKIP_WITHOUT_CORPUS();
    std::vector<CorpusFile> rows = ManifestRows();
    ASSERT_EQ(rows.size(), 18u) << "manifest not found or changed under " << CorpusDir();
    int images = 0;
    for (const CorpusFile& file : rows) {
        SCOPED_TRACE(file.name);
        std::string path = CorpusDir() + "/" + file.name;
        HexImage image;
        std::string status;
        ASSERT_EQ(ReadHexFile(path, image, status), file.outcome) << status;
        EXPECT_EQ(image.badChecksums, 0u);
        std::string imgPath = path.substr(0, path.size() - 4) + ".img";
        if (file.outcome != kHexOk) {
            EXPECT_FALSE(std::filesystem::exists(imgPath));
            continue;
        }
        std::string reference = ReadBytes(imgPath);
        ASSERT_EQ(reference.size(), image.capacity);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data.data()), image.capacity),
                  reference);
        ++images;
    }
    EXPECT_EQ(images, 8);
}

// What the reader is to make of a text, worked out the plain way: lines split one by one, each
// field parsed on its own up to its first non-digit, the checksum in a pass of its own.
struct ModelRead {
    int code = kHexNoEof;
    std::uint32_t start = 0, end = 0, badChecksums = 0, firstBadChecksumLine = 0;
    bool maker = false;
    std::vector<std::uint8_t> data;
};

ModelRead Model(std::string_view text, std::uint32_t capacity) {
    ModelRead r;
    r.data.assign(capacity, 0xFF);
    std::vector<std::string_view> lines;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t eol = std::min(text.find('\n', pos), text.size());
        std::string_view line = text.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        pos = eol + 1;
    }
    auto field = [](std::string_view line, std::size_t pos, std::size_t width) {
        std::uint32_t v = 0;
        for (std::size_t i = pos; i < pos + width && HexDigitValue(line[i]) >= 0; ++i)
            v = v * 16 + static_cast<std::uint32_t>(HexDigitValue(line[i]));
        return v;
    };
    std::size_t i = 0;
    if (!lines.empty() && lines[0].size() <= kMaxHexLineLength) {
        std::string lower(lines[0]);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        r.maker = lower == "==kavorn app hex==";
        i = r.maker ? 1 : 0;
    }
    std::uint32_t base = 0;
    bool seen = false;
    for (; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.size() > kMaxHexLineLength || line.size() < 9 || line[0] != ':')
            return r.code = kHexTypeError, r;
        const std::uint32_t count = field(line, 1, 2), address = field(line, 3, 4),
                            type = field(line, 7, 2) & 0xFF;
        if (type != 0 && type != 1 && type != 4)
            return r.code = kHexTypeError, r;
        bool right = line.size() >= 1 + 2 * (count + 5);
        unsigned sum = 0;
        for (std::size_t k = 1; right && k < 1 + 2 * (count + 5); k += 2) {
            right = HexDigitValue(line[k]) >= 0 && HexDigitValue(line[k + 1]) >= 0;
            sum += field(line, k, 2);
        }
        if (!right || (sum & 0xFF) != 0) {
            if (r.badChecksums++ == 0)
                r.firstBadChecksumLine = static_cast<std::uint32_t>(i + 1);
        }
        if (type == 1)
            return r.code = kHexOk, r;
        if (type == 4) {
            if (line.size() < 13)
                return r.code = kHexTypeError, r;
            base = field(line, 9, 4) << 16;
            continue;
        }
        if (line.size() < 9 + 2 * count)
            return r.code = kHexTypeError, r;
        std::uint32_t at = base + address;
        if (count == 0 && at > capacity)
            return r.code = kHexOverflow, r;
        r.start = !seen ? at : std::min(r.start, at);
        r.end = !seen ? at : r.end;
        seen = true;
        for (std::uint32_t j = 0; j < count; ++j, ++at) {
            if (at >= capacity)
                return r.code = kHexOverflow, r;
            r.data[at] = static_cast<std::uint8_t>(field(line, 9 + 2 * j, 2));
        }
        r.end = std::max(r.end, at);
    }
    return r;
}

// A text damaged in one to four places: a character replaced (mostly by one a HEX file holds or
// one that ends a field), removed or added, a line doubled, or the text cut short.
std::string Damaged(std::string text, std::mt19937& rng) {
    static const std::string kChars = "0123456789abcdefABCDEF:gGxX \t\r\n\x7f\x80\xff";
    auto pick = [&rng](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (std::size_t n = 1 + pick(4); n > 0 && !text.empty(); --n) {
        std::size_t at = pick(text.size());
        const std::size_t lineStart =
            text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
        switch (pick(7)) {
            case 0:  // in a line's count, address or type, or its first data byte
                at = std::min(lineStart + 1 + pick(12), text.size() - 1);
                [[fallthrough]];
            case 1:
                text[at] = kChars[pick(kChars.size())];
                break;
            case 2:
                text.erase(at, 1);
                break;
            case 3:
                text.insert(at, 1, kChars[pick(kChars.size())]);
                break;
            case 4: {
                const std::size_t to = std::min(text.find('\n', at), text.size() - 1);
                text.insert(lineStart, text.substr(lineStart, to - lineStart + 1));
                break;
            }
            case 5:
                text.resize(at);
                break;
            default:  // a digit where a letter was, or the other way round
                text[at] = "0123456789abcdefABCDEF"[pick(22)];
        }
    }
    return text;
}

TEST(HexCorpus, DamagedFilesReadAsTheModelOfTheRulesReadsThem) {
    SKIP_WITHOUT_CORPUS();
    std::vector<std::string> bases;
    for (const CorpusFile& file : ManifestRows())
        bases.push_back(ReadBytes(CorpusDir() + "/" + file.name));
    ASSERT_EQ(bases.size(), 18u) << "manifest not found under " << CorpusDir();
    bases.push_back(FullImageHex(0x0E00, 0x3BFA));
    bases.push_back(
        Lines({"==KAVORN APP HEX==", Ela(0), Data(0x3BF0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
               Data(0x0E00, {0xAB}), kEof}));
    std::mt19937 rng(20261207);
    TempDir dir;
    for (int n = 0; n < 4000; ++n) {
        const std::string text = Damaged(bases[static_cast<std::size_t>(n) % bases.size()], rng);
        const std::uint32_t capacity = n % 7 == 0 ? 0x0800 : HexImage::kCapacity;
        const ModelRead want = Model(text, capacity);
        HexImage image;
        image.capacity = capacity;
        std::string status;
        // Every 20th through a file, the rest from memory: the parse is the same.
        int code;
        if (n % 20 == 0) {
            // A file left alone for a while: read at once, without the wait for a fresh file.
            const std::string path = dir.Write("x.hex", text);
            std::filesystem::last_write_time(
                path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
            code = ReadHexFile(path, image, status);
        } else {
            code = ReadHexBuffer(text, image, status);
        }
        SCOPED_TRACE("case " + std::to_string(n) + ":\n" + text.substr(0, 2000));
        ASSERT_EQ(code, want.code);
        ASSERT_EQ(image.start, want.start);
        ASSERT_EQ(image.end, want.end);
        ASSERT_EQ(image.makerFormat, want.maker);
        ASSERT_EQ(image.badChecksums, want.badChecksums);
        ASSERT_EQ(image.firstBadChecksumLine, want.firstBadChecksumLine);
        ASSERT_TRUE(std::equal(want.data.begin(), want.data.end(), image.data.begin()));
    }
}

// The sample application that the demo opens: it must load and pass the image check, start at
// the lowest code address with its entry jump in bytes 0 to 2, and leave free the four bytes at
// 0x3BF0 where it reads the serial number that the loader writes.
TEST(HexCorpus, SampleApplicationPassesTheImageCheck) {
    const std::string path = std::string(PRAVUNE_EXAMPLES_DIR) + "/pravune-sample.hex";
    HexImage image;
    std::string status;
    LoadReport report = LoadImageFile(path, image, status);
    ASSERT_TRUE(report.valid) << path << ": " << status;
    EXPECT_EQ(image.badChecksums, 0u);
    EXPECT_EQ(image.start, kCodeStart);
    EXPECT_FALSE(image.bytesMoved);
    EXPECT_EQ(std::vector<int>(image.data.begin(), image.data.begin() + 3),
              (std::vector<int>{0x02, 0x0E, 0x00}));
    EXPECT_LE(image.end, 0x3BF0u);
    EXPECT_EQ(report.log.front(), (LogEntry{"Open Hex\r\n", kLogBlack, true}));
}

}  // namespace
