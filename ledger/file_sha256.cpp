#include "ledger/file_sha256.h"

#include <algorithm>
#include <memory>

#include "image/hex_reader.h"
#include "image/image_check.h"
#include "ledger/sha256.h"
#include "os/os_files.h"

namespace {

// The whole regular file at `path`, at most kMaxHashedFileSize bytes; false otherwise.
bool ReadWhole(const std::string& path, std::string& bytes) {
    os_files::ReadOnlyFile file;
    os_files::FileVersion version;
    if (file.Open(path) != 0 || !file.Version(version) || !version.regular ||
        version.size > kMaxHashedFileSize)
        return false;
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(version.size));
    char chunk[65536];
    for (;;) {
        const std::ptrdiff_t n = file.Read(chunk, sizeof chunk);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxHashedFileSize)
            return false;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
}

bool SameImage(const HexImage& a, const HexImage& b) {
    const std::uint32_t usable = a.Usable();
    return a.valid == b.valid && a.start == b.start && a.end == b.end &&
           a.makerFormat == b.makerFormat && a.bytesMoved == b.bytesMoved &&
           a.movedBytes == b.movedBytes && usable == b.Usable() &&
           std::equal(a.data.begin(), a.data.begin() + usable, b.data.begin());
}

}  // namespace

std::string HexFileSha256(const std::string& path, const HexImage& image) {
    if (!image.valid)
        return {};
    std::string bytes;
    if (!ReadWhole(path, bytes))
        return {};
    // The bytes hashed are the bytes that give the image: read once, parsed and hashed alike.
    auto again = std::make_unique<HexImage>();
    again->capacity = image.capacity;
    std::string status;
    if (ReadHexBuffer(bytes, *again, status) != kHexOk || !CheckImage(*again))
        return {};
    again->valid = true;
    if (!SameImage(image, *again))
        return {};
    return Sha256Hex(bytes);
}

std::string FileSha256(const std::string& path) {
    std::string bytes;
    if (!ReadWhole(path, bytes))
        return {};
    return Sha256Hex(bytes);
}
