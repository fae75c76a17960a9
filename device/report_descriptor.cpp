#include "device/report_descriptor.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint64_t kMaxReportBits = 8ull * 0xFFFE;  // the capability is 16 bits wide
constexpr std::size_t kMaxPushDepth = 16;

struct Globals {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

enum ReportType { kInput, kOutput, kFeature, kTypes };

}  // namespace

HidCaps ParseReportDescriptor(std::span<const std::uint8_t> d) {
    // Bits per report id, per report type.
    std::array<std::array<std::uint64_t, 256>, kTypes> bits{};
    Globals globals;
    std::array<Globals, kMaxPushDepth> stack{};
    std::size_t depth = 0;

    std::size_t i = 0;
    while (i < d.size()) {
        const std::uint8_t prefix = d[i];
        if (prefix == 0xFE) {  // long item: size, tag, data; nothing in it concerns lengths
            if (i + 1 >= d.size())
                break;
            i += 3 + std::size_t{d[i + 1]};
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > d.size())
            break;
        std::uint32_t value = 0;
        for (std::size_t b = 0; b < size; ++b)
            value |= std::uint32_t{d[i + 1 + b]} << (8 * b);
        const unsigned type = (prefix >> 2) & 3;
        const unsigned tag = prefix >> 4;
        i += 1 + size;

        if (type == 1) {  // global
            switch (tag) {
                case 7:
                    globals.reportSize = value;
                    break;
                case 8:
                    globals.reportId = static_cast<std::uint8_t>(value);
                    break;
                case 9:
                    globals.reportCount = value;
                    break;
                case 10:
                    if (depth < kMaxPushDepth)
                        stack[depth++] = globals;
                    break;
                case 11:
                    if (depth > 0)
                        globals = stack[--depth];
                    break;
                default:
                    break;
            }
        } else if (type == 0) {  // main
            int report = tag == 8 ? kInput : tag == 9 ? kOutput : tag == 11 ? kFeature : -1;
            if (report >= 0) {
                std::uint64_t& sum = bits[report][globals.reportId];
                sum += std::uint64_t{globals.reportSize} * globals.reportCount;
                sum = std::min(sum, kMaxReportBits);
            }
        }
    }

    auto length = [&](int report) -> std::uint16_t {
        std::uint64_t most = 0;
        bool any = false;
        for (std::uint64_t b : bits[report]) {
            if (b > 0)
                any = true;
            most = std::max(most, b);
        }
        return any ? static_cast<std::uint16_t>((most + 7) / 8 + 1) : 0;
    };
    return {length(kInput), length(kOutput), length(kFeature)};
}
