#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The supervisor's passphrase, kept only as a salted, deliberately slow hash: PBKDF2 with
// HMAC-SHA-256 from the system's own cryptography (OpenSSL's libcrypto on POSIX systems,
// posix_passphrase.cpp; CNG on Windows, win_passphrase.cpp), written as one text fit for an INI
// value:
//
//     pbkdf2-sha256$<iterations>$<salt, lower-case hex>$<key, lower-case hex>
namespace passphrase {

inline constexpr std::string_view kScheme = "pbkdf2-sha256";
// What a new hash costs, and the bounds a stored one must keep: the stored text comes from a
// file anyone may edit, and a huge count would freeze whoever checks it.
inline constexpr std::uint32_t kIterations = 600000;
inline constexpr std::uint32_t kMinIterations = 1000;
inline constexpr std::uint32_t kMaxIterations = 10000000;
inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kMinSaltBytes = 8, kMaxSaltBytes = 64;
inline constexpr std::size_t kMinKeyBytes = 16, kMaxKeyBytes = 64;

// Bytes wiped from memory when they go (a derived key).
class SecretBytes {
  public:
    explicit SecretBytes(std::size_t size = 0) : m_bytes(size) {}
    ~SecretBytes();
    SecretBytes(SecretBytes&&) noexcept = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes& operator=(SecretBytes&&) = delete;

    std::uint8_t* data() { return m_bytes.data(); }
    const std::uint8_t* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }

  private:
    std::vector<std::uint8_t> m_bytes;
};

// A stored hash taken apart.
struct StoredHash {
    std::uint32_t iterations = 0;
    std::vector<std::uint8_t> salt;
    std::vector<std::uint8_t> key;
};

// A new hash of `text` under a fresh salt from the system's random source, at kIterations;
// empty when the system could not give either.
std::string HashPassphrase(std::string_view text);

// Whether `text` is the passphrase `stored` was made from. False for a stored text that is not
// exactly of the form above within the bounds above (any other text, a count out of bounds,
// upper-case or odd hex, a part missing or too many), and when the system fails. The key is
// compared in constant time.
bool PassphraseMatches(std::string_view text, std::string_view stored);

// `stored` taken apart by the same strict rules; nothing when it is not of that form.
std::optional<StoredHash> ParseStoredHash(std::string_view stored);

// PBKDF2-HMAC-SHA-256 of `text` over `salt`: `length` bytes, or none when the system fails
// (or `iterations` or `length` is 0).
SecretBytes DerivePbkdf2Sha256(std::string_view text, std::span<const std::uint8_t> salt,
                               std::uint32_t iterations, std::size_t length);

// The system's side (posix_passphrase.cpp, win_passphrase.cpp): `size` bytes from its random
// source (empty on failure), a comparison whose time does not depend on where the bytes differ,
// and the wiping of a buffer that the compiler may not leave out.
std::vector<std::uint8_t> RandomBytes(std::size_t size);
bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size);
void Wipe(void* data, std::size_t size);

}  // namespace passphrase
