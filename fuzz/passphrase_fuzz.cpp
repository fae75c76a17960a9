// Any bytes as the stored passphrase hash (a config.ini value anyone may edit): taking it apart
// never crashes, accepts only the exact form within its bounds (what it accepts is written back
// byte for byte), and a check against it ends.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "os/passphrase.h"

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes)
        text += {kDigits[byte >> 4], kDigits[byte & 15]};
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    using namespace passphrase;
    const std::string_view stored(reinterpret_cast<const char*>(bytes), size);
    const auto hash = ParseStoredHash(stored);
    if (hash) {
        if (hash->iterations < kMinIterations || hash->iterations > kMaxIterations ||
            hash->salt.size() < kMinSaltBytes || hash->salt.size() > kMaxSaltBytes ||
            hash->key.size() < kMinKeyBytes || hash->key.size() > kMaxKeyBytes)
            std::abort();
        if (std::string(kScheme) + "$" + std::to_string(hash->iterations) + "$" + Hex(hash->salt) +
                "$" + Hex(hash->key) !=
            stored)
            std::abort();
    }
    // The whole check, where it costs no more than a fraction of a second: the bound above keeps
    // the rest to a few seconds each, libcrypto's own time.
    if (!hash || hash->iterations <= 20000) {
        if (PassphraseMatches("correct horse", stored) && !hash)
            std::abort();
    }
    return 0;
}
