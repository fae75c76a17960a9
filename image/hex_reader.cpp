#include "image/hex_reader.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "os/os_files.h"
#include "text/hex_digit.h"

namespace {

constexpr std::string_view kMakerHeader = "==KAVORN APP HEX==";

// Hands out the file's lines one by one, without their line ends. A carriage return right
// before the end of a line is dropped, so CR LF and LF files read alike.
// The parser takes its lines from either source as a template argument, so a line costs no call.
class LineSource {
  public:
    enum class Next { kLine, kEnd, kError };

  protected:
    static std::string_view Trim(std::string_view line) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        return line;
    }
};

class BufferLines final : public LineSource {
  public:
    explicit BufferLines(std::string_view text) : m_text(text) {}
    Next NextLine(std::string_view& line) {
        if (m_pos >= m_text.size()) {
            return Next::kEnd;
        }
        std::size_t eol = m_text.find('\n', m_pos);
        std::size_t stop = eol == std::string_view::npos ? m_text.size() : eol;
        line = Trim(m_text.substr(m_pos, stop - m_pos));
        m_pos = eol == std::string_view::npos ? m_text.size() : eol + 1;
        return line.size() > kMaxHexLineLength ? Next::kError : Next::kLine;
    }

  private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// A 64-bit hash of a byte stream that does not depend on how the stream is cut into pieces:
// 32 bytes at a time through four independent multiply-rotate lanes, then the tail and the
// length. It only has to tell whether a file still holds the bytes read before, and it must
// cost little beside the decode.
class StreamHash {
  public:
    void Add(const char* bytes, std::size_t length) {
        m_length += length;
        if (m_pendingSize > 0) {
            const std::size_t take = std::min(length, kBlock - m_pendingSize);
            std::memcpy(m_pending + m_pendingSize, bytes, take);
            m_pendingSize += take;
            bytes += take;
            length -= take;
            if (m_pendingSize < kBlock)
                return;
            Mix(m_pending);
            m_pendingSize = 0;
        }
        // The lanes in locals: the input bytes may alias the object, and the lanes must not
        // go through memory after every word.
        std::uint64_t a = m_lanes[0], b = m_lanes[1], c = m_lanes[2], d = m_lanes[3];
        for (; length >= kBlock; bytes += kBlock, length -= kBlock) {
            a = Round(a, Word(bytes));
            b = Round(b, Word(bytes + 8));
            c = Round(c, Word(bytes + 16));
            d = Round(d, Word(bytes + 24));
        }
        m_lanes[0] = a;
        m_lanes[1] = b;
        m_lanes[2] = c;
        m_lanes[3] = d;
        std::memcpy(m_pending, bytes, length);
        m_pendingSize = length;
    }
    std::uint64_t Value() const {
        std::uint64_t h = m_length * kPrime1;
        for (std::uint64_t lane : m_lanes)
            h = Round(h ^ Round(0, lane), 0) * kPrime1 + kPrime4;
        for (std::size_t i = 0; i < m_pendingSize; ++i)
            h = Rotl((h ^ static_cast<unsigned char>(m_pending[i])) * kPrime5, 11) * kPrime1;
        h ^= h >> 33;
        h *= kPrime2;
        h ^= h >> 29;
        return h;
    }

  private:
    static constexpr std::size_t kBlock = 32;
    static constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
    static constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
    static constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
    static constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

    static std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
    static std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
        return Rotl(lane + word * kPrime2, 31) * kPrime1;
    }
    static std::uint64_t Word(const char* bytes) {
        std::uint64_t word;
        std::memcpy(&word, bytes, sizeof word);
        return word;
    }
    void Mix(const char* block) {
        for (int i = 0; i < 4; ++i) {
            m_lanes[i] = Round(m_lanes[i], Word(block + 8 * i));
        }
    }

    std::uint64_t m_lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
    std::uint64_t m_length = 0;
    char m_pending[kBlock] = {};
    std::size_t m_pendingSize = 0;
};

// Reads a regular file in chunks into one buffer of its own, which holds at most one chunk plus
// one line. Remembers what it read, so that a second look can tell whether the file still holds
// those bytes: a file that fits in the buffer is compared byte for byte, and the bytes of a
// longer one are hashed as they leave the buffer.
class FileLines final : public LineSource {
  public:
    explicit FileLines(os_files::ReadOnlyFile& file)
        : m_file(file), m_buffer(std::make_unique_for_overwrite<char[]>(kCapacity)) {}
    Next NextLine(std::string_view& line) {
        std::size_t scanned = m_begin;
        for (;;) {
            const char* eol = static_cast<const char*>(
                std::memchr(m_buffer.get() + scanned, '\n', m_end - scanned));
            if (eol != nullptr) {
                const std::size_t at = static_cast<std::size_t>(eol - m_buffer.get());
                line = Trim(std::string_view(&m_buffer[m_begin], at - m_begin));
                m_begin = at + 1;
                return line.size() > kMaxHexLineLength ? Next::kError : Next::kLine;
            }
            // A CR may still follow within the limit; anything longer is refused unread.
            if (m_end - m_begin > kMaxHexLineLength + 1) {
                return Next::kError;
            }
            if (m_eof) {
                if (m_begin == m_end) {
                    return Next::kEnd;
                }
                line = Trim(std::string_view(&m_buffer[m_begin], m_end - m_begin));
                m_begin = m_end;
                return line.size() > kMaxHexLineLength ? Next::kError : Next::kLine;
            }
            // Only the unfinished line is kept before the next chunk.
            m_hash.Add(m_buffer.get(), m_begin);
            m_dropped += m_begin;
            std::memmove(m_buffer.get(), &m_buffer[m_begin], m_end - m_begin);
            m_end -= m_begin;
            m_begin = 0;
            scanned = m_end;
            if (!Fill()) {
                return Next::kError;
            }
        }
    }
    // True when the file still begins with the bytes this source read. Ends the line source.
    bool StillHolds() {
        char chunk[16384];
        const std::uint64_t bytes = m_dropped + m_end;
        StreamHash again;
        for (std::uint64_t at = 0; at < bytes;) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, bytes - at));
            const std::ptrdiff_t n = m_file.ReadAt(at, chunk, want);
            if (n <= 0) {
                return false;
            }
            const std::size_t got = static_cast<std::size_t>(n);
            if (m_dropped == 0) {
                if (std::memcmp(chunk, &m_buffer[at], got) != 0) {
                    return false;
                }
            } else {
                again.Add(chunk, got);
            }
            at += got;
        }
        if (m_dropped == 0) {
            return true;
        }
        m_hash.Add(m_buffer.get(), m_end);
        return again.Value() == m_hash.Value();
    }

  private:
    // One read fills the buffer behind the unfinished line: a whole image's file in one go.
    static constexpr std::size_t kChunk = 65536;
    static constexpr std::size_t kCapacity = kChunk + kMaxHexLineLength + 2;

    bool Fill() {
        const std::ptrdiff_t n = m_file.Read(m_buffer.get() + m_end, kCapacity - m_end);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            m_eof = true;
        } else {
            m_end += static_cast<std::size_t>(n);
        }
        return true;
    }

    os_files::ReadOnlyFile& m_file;
    std::unique_ptr<char[]> m_buffer;  // the file's bytes from m_dropped on
    std::size_t m_begin = 0;           // first byte of the next line
    std::size_t m_end = 0;             // one past the last byte read
    bool m_eof = false;
    std::uint64_t m_dropped = 0;  // bytes that left the buffer, all hashed into m_hash
    StreamHash m_hash;
};

// One field of `width` characters at `pos`, parsed as one hexadecimal number that ends at the
// first character that is not a digit. The caller has checked that the characters exist.
std::uint32_t HexField(std::string_view line, std::size_t pos, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        int d = HexDigitValue(line[pos + i]);
        if (d < 0) {
            break;
        }
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
}

// Each character's digit value, or 0x10 for a character that is not a hexadecimal digit.
constexpr std::array<std::uint8_t, 256> kNibble = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const int d = HexDigitValue(static_cast<char>(c));
        table[static_cast<std::size_t>(c)] = d < 0 ? 0x10 : static_cast<std::uint8_t>(d);
    }
    return table;
}();

// A record's characters from 1 on read as digit pairs, each pair once. `pairs` pairs were both
// digits (the decode stops at the first pair with a non-digit, or at the line's end); every field
// that lies within them has the value of its bytes, and any other field is parsed by HexField.
struct RecordBytes {
    std::uint8_t bytes[4 + 255 + 1];
    std::size_t pairs = 0;
    unsigned sum = 0;  // of the pairs decoded

    // Decodes the first pair, the count (the line holds at least nine characters).
    void DecodeCount(std::string_view line) {
        const unsigned hi = kNibble[static_cast<unsigned char>(line[1])];
        const unsigned lo = kNibble[static_cast<unsigned char>(line[2])];
        if (((hi | lo) & 0x10) == 0) {
            bytes[0] = static_cast<std::uint8_t>(hi << 4 | lo);
            sum = bytes[0];
            pairs = 1;
        }
    }
    // Decodes the pairs from the current one up to `upTo` (at most the line's end): four pairs
    // at a time while all eight characters are digits, then one pair at a time.
    void DecodeUpTo(std::string_view line, std::size_t upTo) {
        upTo = std::min(upTo, (line.size() - 1) / 2);
        const char* text = line.data() + 1 + 2 * pairs;
        std::size_t k = pairs;
        unsigned total = sum;
        for (; k + 4 <= upTo; k += 4, text += 8) {
            std::uint64_t chars;
            std::memcpy(&chars, text, sizeof chars);
            std::uint32_t four;
            if (!FourPairs(chars, four, total)) {
                break;
            }
            std::memcpy(bytes + k, &four, sizeof four);
        }
        for (; k < upTo; ++k, text += 2) {
            const unsigned hi = kNibble[static_cast<unsigned char>(text[0])];
            const unsigned lo = kNibble[static_cast<unsigned char>(text[1])];
            if ((hi | lo) & 0x10) {
                break;
            }
            const unsigned byte = hi << 4 | lo;
            bytes[k] = static_cast<std::uint8_t>(byte);
            total += byte;
        }
        pairs = k;
        sum = total;
    }
    // Eight characters, loaded little-endian, as four bytes in memory order, when every one of
    // them is a hexadecimal digit; adds the four to `total`.
    static bool FourPairs(std::uint64_t chars, std::uint32_t& four, unsigned& total) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        constexpr std::uint64_t kHigh = 0x8080808080808080ull;
        // Per byte below 0x80: the high bit of (c + 0x80 - lo) & ~(c + 0x7F - hi) tells
        // lo <= c <= hi; no byte's sum carries into the next.
        auto within = [chars](unsigned lo, unsigned hi) {
            return (chars + kOnes * (0x80 - lo)) & ~(chars + kOnes * (0x7F - hi)) & kHigh;
        };
        const std::uint64_t letters = within('A', 'F') | within('a', 'f');
        if ((chars & kHigh) != 0 || (within('0', '9') | letters) != kHigh) {
            return false;
        }
        // A digit's value is its low nibble, a letter's its low nibble plus 9.
        const std::uint64_t nibbles = (chars & (kOnes * 0x0F)) + (letters >> 7) * 9;
        // High nibbles in the even bytes, low ones in the odd: a byte per 16-bit lane.
        std::uint64_t lanes =
            ((nibbles & 0x000F000F000F000Full) << 4) | ((nibbles >> 8) & 0x000F000F000F000Full);
        total += static_cast<unsigned>((lanes * 0x0001000100010001ull) >> 48);
        lanes = (lanes | (lanes >> 8)) & 0x0000FFFF0000FFFFull;
        lanes = (lanes | (lanes >> 16)) & 0x00000000FFFFFFFFull;
        four = static_cast<std::uint32_t>(lanes);
        return true;
    }
    // The field of `width` characters at character `pos` (odd: on a pair).
    std::uint32_t Field(std::string_view line, std::size_t pos, std::size_t width) const {
        const std::size_t first = (pos - 1) / 2;
        if (first + width / 2 > pairs) {
            return HexField(line, pos, width);
        }
        std::uint32_t value = 0;
        for (std::size_t k = first; k < first + width / 2; ++k) {
            value = value << 8 | bytes[k];
        }
        return value;
    }
    // True when the record holds digits up to and including its checksum byte (the pairs were
    // decoded up to it), and all its bytes add up to zero.
    bool ChecksumIsRight(std::uint32_t count) const {
        return pairs == std::size_t{count} + 5 && (sum & 0xFF) == 0;
    }
};

// A record's few data bytes copied in words, without a call.
void CopyBytes(std::uint8_t* to, const std::uint8_t* from, std::size_t count) {
    for (; count >= 8; count -= 8, to += 8, from += 8) {
        std::memcpy(to, from, 8);
    }
    for (; count > 0; --count) {
        *to++ = *from++;
    }
}

bool IsMakerHeader(std::string_view line) {
    return std::equal(line.begin(), line.end(), kMakerHeader.begin(), kMakerHeader.end(),
                      [](char a, char b) {
                          auto lower = [](char c) {
                              return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
                          };
                          return lower(a) == lower(b);
                      });
}

int Finish(int code, std::string& status) {
    status = HexResultText(code);
    return code;
}

// A failure at line `lineNo`, with what was wrong there.
int FailAt(int code, std::string& status, HexImage& image, std::uint32_t lineNo,
           std::string failure) {
    image.failedLine = lineNo;
    image.failure = std::move(failure);
    return Finish(code, status);
}

std::string BeyondImage(std::uint32_t at, std::uint32_t usable) {
    char text[80];
    std::snprintf(text, sizeof text, "address 0x%04X lies beyond the image's 0x%04X bytes",
                  static_cast<unsigned>(at), static_cast<unsigned>(usable));
    return text;
}

std::string HexByte(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

// Steps from filling the buffer on: the header line, then the records up to the end record.
template <class Source>
int ParseLines(Source& source, HexImage& image, std::string& status) {
    const std::uint32_t usable = image.Usable();
    std::fill_n(image.data.begin(), usable, std::uint8_t{0xFF});

    std::string_view line;
    LineSource::Next next = source.NextLine(line);
    std::uint32_t lineNo = 1;
    image.makerFormat = next == LineSource::Next::kLine && IsMakerHeader(line);
    if (image.makerFormat) {
        next = source.NextLine(line);
        ++lineNo;
    }

    std::uint32_t base = 0;
    bool seenData = false;
    for (;; next = source.NextLine(line), ++lineNo) {
        if (next == LineSource::Next::kEnd) {
            return FailAt(kHexNoEof, status, image, lineNo - 1,
                          "the file ends without an end-of-file record");
        }
        if (next == LineSource::Next::kError) {
            return FailAt(kHexTypeError, status, image, lineNo,
                          "longer than " + std::to_string(kMaxHexLineLength) + " characters");
        }
        if (line.size() < 9 || line[0] != ':') {
            return FailAt(kHexTypeError, status, image, lineNo, "not a record");
        }
        // Every pair is decoded once, up to the checksum; a field beyond the first pair with a
        // non-digit is parsed on its own, stopping at its first non-digit.
        RecordBytes record;
        record.DecodeCount(line);
        const std::uint32_t count = record.Field(line, 1, 2);
        if (record.pairs == 1) {
            record.DecodeUpTo(line, std::size_t{count} + 5);  // after a bad count, nothing more
        }
        const std::uint32_t address = record.Field(line, 3, 4);
        const std::uint32_t type = record.Field(line, 7, 2) & 0xFF;
        if (type != 0 && type != 1 && type != 4) {
            return FailAt(kHexTypeError, status, image, lineNo,
                          "record type " + HexByte(type) + " is not handled");
        }
        if (!record.ChecksumIsRight(count)) {
            if (image.badChecksums++ == 0) {
                image.firstBadChecksumLine = lineNo;
            }
        }
        if (type == 1) {
            return Finish(kHexOk, status);
        }
        if (type == 4) {
            if (line.size() < 13) {
                return FailAt(kHexTypeError, status, image, lineNo,
                              "the address record is too short");
            }
            base = record.Field(line, 9, 4) << 16;
            continue;
        }
        if (line.size() < 9 + 2 * std::size_t{count}) {
            return FailAt(kHexTypeError, status, image, lineNo,
                          "the record is shorter than its byte count");
        }
        std::uint32_t at = base + address;
        // An empty record above the image would still move `end` past the buffer.
        if (count == 0 && at > usable) {
            return FailAt(kHexOverflow, status, image, lineNo, BeyondImage(at, usable));
        }
        if (!seenData) {
            image.start = image.end = at;
            seenData = true;
        } else if (at < image.start) {
            image.start = at;
        }
        std::uint32_t j = 0;
        // Every data byte decoded and all of them inside the image: copied in one go.
        if (count > 0 && record.pairs >= 4 + std::size_t{count} && at < usable &&
            count <= usable - at) {
            CopyBytes(image.data.data() + at, record.bytes + 4, count);
            j = count;
            at += count;
        }
        for (; j < count; ++j, ++at) {
            if (at >= usable) {
                return FailAt(kHexOverflow, status, image, lineNo, BeyondImage(at, usable));
            }
            image.data[at] =
                static_cast<std::uint8_t>(record.Field(line, 9 + 2 * std::size_t{j}, 2));
        }
        image.end = std::max(image.end, at);
    }
}

void Begin(HexImage& image, std::string& status) {
    image.start = 0;
    image.end = 0;
    image.badChecksums = 0;
    image.firstBadChecksumLine = 0;
    image.failedLine = 0;
    image.failure.clear();
    status.clear();
}

}  // namespace

const char* HexResultText(int code) {
    switch (code) {
        case kHexOk:
            return "";
        case kHexNoFile:
            return "Hex file path does not exist!";
        case kHexTypeError:
            return "Open Hex file error -- Hex Type Error!";
        case kHexOverflow:
            return "Open Hex file error -- Memory buffer overflow!";
        case kHexChanging:
            return "Open Hex file error -- the file kept changing while it was read";
        default:
            return "Open Hex file error -- Unkown";
    }
}

std::string HexFailureText(const std::string& status, const HexImage& image) {
    if (image.failure.empty())
        return status;
    if (image.failedLine == 0)
        return status + " (" + image.failure + ")";
    return status + " (line " + std::to_string(image.failedLine) + ": " + image.failure + ")";
}

int ReadHexBuffer(std::string_view text, HexImage& image, std::string& status) {
    Begin(image, status);
    BufferLines lines(text);
    return ParseLines(lines, image, status);
}

namespace {

// How long to wait until the file was last written kHexSettleMs ago; 0 when it was (or when its
// time lies ahead of the clock, as on a file from a machine with another clock).
long long SettleWaitMicros(const os_files::FileVersion& version) {
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const long long age = (now - version.modifiedNs) / 1000;
    return age < 0 || age >= kHexSettleMs * 1000 ? 0 : kHexSettleMs * 1000 - age;
}

}  // namespace

int ReadHexFile(const std::string& path, HexImage& image, std::string& status) {
    // A file rewritten while it is read would give one image of two builds: read it again
    // until one whole read saw the file unchanged. File times may be as coarse as a few
    // milliseconds, so the bytes read are also read a second time and compared.
    // The version that was already left alone for the settle time: the wait is measured once,
    // as a clock coarser than the file's times would otherwise ask for more waits.
    std::optional<os_files::FileVersion> settled;
    for (int attempt = 0; attempt < kHexReadAttempts; ++attempt) {
        Begin(image, status);
        if (!os_files::FileExists(path)) {
            return Finish(kHexNoFile, status);
        }
        // Never block: a FIFO or a device at the path must not freeze the window.
        os_files::ReadOnlyFile file;
        os_files::FileVersion before;
        const int openError = file.Open(path);
        if (openError != 0 || !file.Version(before) || !before.regular) {
            std::fill_n(image.data.begin(), image.Usable(), std::uint8_t{0xFF});
            return FailAt(kHexTypeError, status, image, 0,
                          openError != 0 ? "it cannot be opened: " + os_files::ErrorText(openError)
                          : before.regular ? "it cannot be read"
                                           : "it is not a regular file");
        }
        FileLines lines(file);
        const int code = ParseLines(lines, image, status);
        os_files::FileVersion after;
        if (file.Version(after) && after == before && lines.StillHolds()) {
            // A writer may be paused halfway through the file: only a file left alone for a
            // moment is taken.
            const long long wait = SettleWaitMicros(after);
            if (wait <= 0 || settled == after)
                return code;
            settled = after;
            os_files::SleepMicros(wait);
        }
    }
    image.end = 0;
    return Finish(kHexChanging, status);
}
