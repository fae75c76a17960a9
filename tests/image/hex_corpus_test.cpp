// Real-world HEX files from the shared test corpus: each must give the outcome its manifest
// names, and each file that loads must give exactly the reference image made by another tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "image/load_report.h"
#include "tests/support/temp_dir.h"

namespace {

struct CorpusFile {
    std::string name;
    int outcome;
};

std::string CorpusDir() {
    const char* env = std::getenv("PRAVUNE_SHARED_DIR");
    return std::string(env && *env ? env : PRAVUNE_SHARED_DIR) + "/testdata/hex";
}

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
