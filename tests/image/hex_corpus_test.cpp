// Real-world HEX files from the shared test corpus: each must give the outcome its manifest
// names, and each file that loads must give exactly the reference image made by another tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "image/hex_reader.h"
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

}  // namespace
