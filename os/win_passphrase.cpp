// The passphrase's cryptography on Windows: CNG (bcrypt.dll).
#include <windows.h>

#include <bcrypt.h>

#include <climits>

#include "os/passphrase.h"

namespace passphrase {

namespace {

// Owns one CNG algorithm provider.
class AlgorithmProvider {
  public:
    AlgorithmProvider(LPCWSTR algorithm, ULONG flags) {
        if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, flags)))
            m_handle = nullptr;
    }
    ~AlgorithmProvider() {
        if (m_handle)
            ::BCryptCloseAlgorithmProvider(m_handle, 0);
    }
    AlgorithmProvider(const AlgorithmProvider&) = delete;
    AlgorithmProvider& operator=(const AlgorithmProvider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return m_handle; }

  private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

}  // namespace

SecretBytes DerivePbkdf2Sha256(std::string_view text, std::span<const std::uint8_t> salt,
                               std::uint32_t iterations, std::size_t length) {
    if (iterations == 0 || length == 0 || length > ULONG_MAX || text.size() > ULONG_MAX ||
        salt.size() > ULONG_MAX)
        return SecretBytes();
    const AlgorithmProvider hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!hmac.get())
        return SecretBytes();
    // CNG takes its inputs as PUCHAR but only reads them; an empty one still needs a pointer.
    UCHAR none = 0;
    auto input = [&none](const void* data, std::size_t size) {
        return size == 0 ? &none : static_cast<PUCHAR>(const_cast<void*>(data));
    };
    SecretBytes key(length);
    const NTSTATUS status = ::BCryptDeriveKeyPBKDF2(
        hmac.get(), input(text.data(), text.size()), static_cast<ULONG>(text.size()),
        input(salt.data(), salt.size()), static_cast<ULONG>(salt.size()), iterations, key.data(),
        static_cast<ULONG>(length), 0);
    if (!BCRYPT_SUCCESS(status))
        return SecretBytes();
    return key;
}

std::vector<std::uint8_t> RandomBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    if (size > ULONG_MAX ||
        !BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(size),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return {};
    return bytes;
}

bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    // Every byte is looked at, wherever the first difference lies.
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < size; ++i)
        difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

void Wipe(void* data, std::size_t size) {
    ::SecureZeroMemory(data, size);
}

}  // namespace passphrase
