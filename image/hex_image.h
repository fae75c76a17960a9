#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>

// The firmware image: the module's application flash from address 0 upwards, and what the
// loader derives from it. The window owns exactly one; its buffer is a fixed block of its own,
// reused by every load.

// A fixed byte block that reads like the plain array it stands for: it indexes, iterates,
// and passes as a byte pointer (memcmp, memcpy) without a copy.
template <std::size_t N>
struct FixedBytes : std::array<std::uint8_t, N> {
    template <std::integral I>
    std::uint8_t& operator[](I i) {
        return std::array<std::uint8_t, N>::operator[](static_cast<std::size_t>(i));
    }
    template <std::integral I>
    const std::uint8_t& operator[](I i) const {
        return std::array<std::uint8_t, N>::operator[](static_cast<std::size_t>(i));
    }
    operator std::uint8_t*() { return this->data(); }
    operator const std::uint8_t*() const { return this->data(); }
};

// Where the flash write puts the three bytes the image check takes out of the image.
inline constexpr std::uint32_t kMovedBytesAddress = 0x3BF7;

struct HexImage {
    static constexpr std::uint32_t kCapacity = 15354;  // 0x3BFA

    std::uint32_t capacity = kCapacity;  // usable bytes of data: addresses 0 .. capacity - 1
    std::uint32_t start = 0;  // lowest record address; after the check, the first code address
    std::uint32_t end = 0;    // one past the highest address written
    bool valid = false;       // read without error and passed the image check
    FixedBytes<kCapacity> data{};

    bool makerFormat = false;  // the file began with the maker's header line
    bool bytesMoved = false;   // the check took the bytes at 0x43..0x45 out of the image
    FixedBytes<3> movedBytes{};

    // Records whose checksum is wrong are still accepted; the load report warns about them.
    std::uint32_t badChecksums = 0;
    std::uint32_t firstBadChecksumLine = 0;  // 1-based line number in the file, 0 when none

    // Where and why the last read failed: the 1-based line (0 when the failure is not one
    // line's, as a missing file) and what was wrong with it (empty when the read succeeded).
    std::uint32_t failedLine = 0;
    std::string failure;

    // The number of bytes the reader and the check may use: capacity, but never past the buffer.
    std::uint32_t Usable() const {
        return capacity < kCapacity ? capacity : static_cast<std::uint32_t>(kCapacity);
    }
};
