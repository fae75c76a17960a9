// Any bytes as a HEX file: the reader must end with a code, never read or write outside the
// image, tell where a failure happened, and leave `end` within the image whenever it reports
// success.
#include <cstdlib>

#include "image/hex_reader.h"
#include "image/image_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static HexImage image;
    std::string status;
    int code =
        ReadHexBuffer(std::string_view(reinterpret_cast<const char*>(bytes), size), image, status);
    if (code < kHexOk || code > kHexNoEof || status != HexResultText(code))
        std::abort();
    // A failure tells where, a success tells nothing more; a line past the input's is a lie.
    const std::string told = HexFailureText(status, image);
    if (told.rfind(status, 0) != 0 || (code == kHexOk) != image.failure.empty() ||
        image.failedLine > size + 1)
        std::abort();
    if (code == kHexOk) {
        if (image.end > image.capacity || image.start > image.end)
            std::abort();
        CheckImage(image);
    }
    return 0;
}
