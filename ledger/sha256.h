#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// SHA-256 (FIPS 180-4) of a byte sequence, fed in one piece or in several.
class Sha256 {
  public:
    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text);
    // The digest of everything fed so far as 64 lower-case hexadecimal digits; more bytes may
    // still be fed afterwards.
    std::string HexDigest() const;

  private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_used = 0;      // bytes waiting in m_block
    std::uint64_t m_length = 0;  // bytes fed in all
};

// The digest of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);
std::string Sha256Hex(std::string_view text);
