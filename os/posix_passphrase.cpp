// The passphrase's cryptography on POSIX systems: OpenSSL's libcrypto.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "os/passphrase.h"

namespace passphrase {

SecretBytes DerivePbkdf2Sha256(std::string_view text, std::span<const std::uint8_t> salt,
                               std::uint32_t iterations, std::size_t length) {
    if (iterations == 0 || iterations > INT_MAX || length == 0 || length > INT_MAX ||
        text.size() > INT_MAX || salt.size() > INT_MAX)
        return SecretBytes();
    SecretBytes key(length);
    // An empty salt still needs a pointer that is not null.
    static constexpr unsigned char kNoSalt = 0;
    const int done = PKCS5_PBKDF2_HMAC(text.data(), static_cast<int>(text.size()),
                                       salt.empty() ? &kNoSalt : salt.data(),
                                       static_cast<int>(salt.size()), static_cast<int>(iterations),
                                       EVP_sha256(), static_cast<int>(length), key.data());
    if (done != 1)
        return SecretBytes();
    return key;
}

std::vector<std::uint8_t> RandomBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    if (size > INT_MAX || RAND_bytes(bytes.data(), static_cast<int>(size)) != 1)
        return {};
    return bytes;
}

bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    return CRYPTO_memcmp(a, b, size) == 0;
}

void Wipe(void* data, std::size_t size) {
    OPENSSL_cleanse(data, size);
}

}  // namespace passphrase
