// The stored form of the supervisor's passphrase: made, taken apart, checked. The cryptography
// is the system's (posix_passphrase.cpp, win_passphrase.cpp).
#include "os/passphrase.h"

namespace passphrase {

namespace {

constexpr char kSeparator = '$';
constexpr char kHexDigits[] = "0123456789abcdef";

std::string LowerHex(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += kHexDigits[bytes[i] >> 4];
        text += kHexDigits[bytes[i] & 0x0F];
    }
    return text;
}

int LowerHexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Lower-case hex of `minBytes` to `maxBytes` bytes, nothing else.
std::optional<std::vector<std::uint8_t>> ParseLowerHex(std::string_view text, std::size_t minBytes,
                                                       std::size_t maxBytes) {
    if (text.size() % 2 != 0 || text.size() < 2 * minBytes || text.size() > 2 * maxBytes)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = LowerHexValue(text[2 * i]);
        const int low = LowerHexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

// A decimal count within the bounds, without sign, spaces or leading zeros; the digits are
// bounded before they are added up, so no length of text can overflow it.
std::optional<std::uint32_t> ParseIterations(std::string_view text) {
    constexpr std::size_t kMaxDigits = 8;  // kMaxIterations has 8
    if (text.empty() || text.size() > kMaxDigits || text[0] == '0')
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value < kMinIterations || value > kMaxIterations)
        return std::nullopt;
    return value;
}

// The next part up to the separator (or the end), and `text` moved past it.
std::string_view NextPart(std::string_view& text, bool& last) {
    const std::size_t end = text.find(kSeparator);
    last = end == std::string_view::npos;
    const std::string_view part = text.substr(0, end);
    text.remove_prefix(last ? text.size() : end + 1);
    return part;
}

}  // namespace

SecretBytes::~SecretBytes() {
    if (!m_bytes.empty())
        Wipe(m_bytes.data(), m_bytes.size());
}

std::optional<StoredHash> ParseStoredHash(std::string_view stored) {
    bool last = false;
    if (NextPart(stored, last) != kScheme || last)
        return std::nullopt;
    const auto iterations = ParseIterations(NextPart(stored, last));
    if (!iterations || last)
        return std::nullopt;
    auto salt = ParseLowerHex(NextPart(stored, last), kMinSaltBytes, kMaxSaltBytes);
    if (!salt || last)
        return std::nullopt;
    auto key = ParseLowerHex(NextPart(stored, last), kMinKeyBytes, kMaxKeyBytes);
    if (!key || !last)
        return std::nullopt;
    return StoredHash{*iterations, std::move(*salt), std::move(*key)};
}

std::string HashPassphrase(std::string_view text) {
    const std::vector<std::uint8_t> salt = RandomBytes(kSaltBytes);
    if (salt.size() != kSaltBytes)
        return {};
    const SecretBytes key = DerivePbkdf2Sha256(text, salt, kIterations, kKeyBytes);
    if (key.size() != kKeyBytes)
        return {};
    std::string stored(kScheme);
    stored += kSeparator;
    stored += std::to_string(kIterations);
    stored += kSeparator;
    stored += LowerHex(salt.data(), salt.size());
    stored += kSeparator;
    stored += LowerHex(key.data(), key.size());
    return stored;
}

bool PassphraseMatches(std::string_view text, std::string_view stored) {
    const std::optional<StoredHash> hash = ParseStoredHash(stored);
    if (!hash)
        return false;
    const SecretBytes key =
        DerivePbkdf2Sha256(text, hash->salt, hash->iterations, hash->key.size());
    return key.size() == hash->key.size() && SameBytes(key.data(), hash->key.data(), key.size());
}

}  // namespace passphrase
