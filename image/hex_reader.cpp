#include "image/hex_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "settings/hex_digit.h"
#include "settings/settings_store.h"

namespace {

constexpr std::string_view kMakerHeader = "==KAVORN APP HEX==";

// Hands out the file's lines one by one, without their line ends. A carriage return right
// before the end of a line is dropped, so CR LF and LF files read alike.
class LineSource {
  public:
    enum class Next { kLine, kEnd, kError };
    virtual ~LineSource() = default;
    virtual Next NextLine(std::string_view& line) = 0;

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
    Next NextLine(std::string_view& line) override {
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

// Owns one read-only descriptor.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

  private:
    int m_fd;
};

// FNV-1a over bytes, continued from `hash`.
std::uint64_t Fnv1a(std::uint64_t hash, const char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 0x100000001B3ull;
    }
    return hash;
}
constexpr std::uint64_t kFnvStart = 0xCBF29CE484222325ull;

// Reads a regular file in chunks; holds at most one chunk plus one line. Keeps a hash of every
// byte it read, so that a second look can tell whether the file still holds them.
class FileLines final : public LineSource {
  public:
    explicit FileLines(int fd) : m_fd(fd) {}
    std::uint64_t hash() const { return m_hash; }
    std::uint64_t bytes() const { return m_bytes; }
    Next NextLine(std::string_view& line) override {
        std::size_t scanned = m_begin;
        for (;;) {
            std::size_t eol = m_buffer.find('\n', scanned);
            if (eol != std::string::npos) {
                line = Trim(std::string_view(m_buffer).substr(m_begin, eol - m_begin));
                m_begin = eol + 1;
                return line.size() > kMaxHexLineLength ? Next::kError : Next::kLine;
            }
            // A CR may still follow within the limit; anything longer is refused unread.
            if (m_buffer.size() - m_begin > kMaxHexLineLength + 1) {
                return Next::kError;
            }
            if (m_eof) {
                if (m_begin == m_buffer.size()) {
                    return Next::kEnd;
                }
                line = Trim(std::string_view(m_buffer).substr(m_begin));
                m_begin = m_buffer.size();
                return line.size() > kMaxHexLineLength ? Next::kError : Next::kLine;
            }
            // Only the unfinished line is kept before the next chunk.
            m_buffer.erase(0, m_begin);
            m_begin = 0;
            scanned = m_buffer.size();
            if (!Fill()) {
                return Next::kError;
            }
        }
    }

  private:
    bool Fill() {
        char chunk[16384];
        for (;;) {
            ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                m_eof = true;
            } else {
                m_buffer.append(chunk, static_cast<std::size_t>(n));
                m_hash = Fnv1a(m_hash, chunk, static_cast<std::size_t>(n));
                m_bytes += static_cast<std::uint64_t>(n);
            }
            return true;
        }
    }

    int m_fd;
    std::string m_buffer;
    std::size_t m_begin = 0;  // first byte of the next line
    bool m_eof = false;
    std::uint64_t m_hash = kFnvStart;
    std::uint64_t m_bytes = 0;
};

// True when the first `bytes` bytes of the file still hash to `hash`.
bool StillHolds(int fd, std::uint64_t bytes, std::uint64_t hash) {
    char chunk[16384];
    std::uint64_t h = kFnvStart;
    for (std::uint64_t at = 0; at < bytes;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, bytes - at));
        const ssize_t n = ::pread(fd, chunk, want, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        h = Fnv1a(h, chunk, static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
    return h == hash;
}

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

// True when the record carries well-formed hexadecimal digits up to and including its checksum
// byte, and all its bytes add up to zero.
bool ChecksumIsRight(std::string_view line, std::uint32_t count) {
    std::size_t digits = 2 * (std::size_t{count} + 5);
    if (line.size() < 1 + digits) {
        return false;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i < 1 + digits; i += 2) {
        int hi = HexDigitValue(line[i]);
        int lo = HexDigitValue(line[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        sum += static_cast<unsigned>(hi * 16 + lo);
    }
    return (sum & 0xFF) == 0;
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

// Steps from filling the buffer on: the header line, then the records up to the end record.
int ParseLines(LineSource& source, HexImage& image, std::string& status) {
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
            return Finish(kHexNoEof, status);
        }
        if (next == LineSource::Next::kError || line.size() < 9 || line[0] != ':') {
            return Finish(kHexTypeError, status);
        }
        const std::uint32_t count = HexField(line, 1, 2);
        const std::uint32_t address = HexField(line, 3, 4);
        const std::uint32_t type = HexField(line, 7, 2) & 0xFF;
        if (type != 0 && type != 1 && type != 4) {
            return Finish(kHexTypeError, status);
        }
        if (!ChecksumIsRight(line, count)) {
            if (image.badChecksums++ == 0) {
                image.firstBadChecksumLine = lineNo;
            }
        }
        if (type == 1) {
            return Finish(kHexOk, status);
        }
        if (type == 4) {
            if (line.size() < 13) {
                return Finish(kHexTypeError, status);
            }
            base = HexField(line, 9, 4) << 16;
            continue;
        }
        if (line.size() < 9 + 2 * std::size_t{count}) {
            return Finish(kHexTypeError, status);
        }
        std::uint32_t at = base + address;
        // An empty record above the image would still move `end` past the buffer.
        if (count == 0 && at > usable) {
            return Finish(kHexOverflow, status);
        }
        if (!seenData) {
            image.start = image.end = at;
            seenData = true;
        } else if (at < image.start) {
            image.start = at;
        }
        for (std::uint32_t j = 0; j < count; ++j, ++at) {
            if (at >= usable) {
                return Finish(kHexOverflow, status);
            }
            image.data[at] = static_cast<std::uint8_t>(HexField(line, 9 + 2 * std::size_t{j}, 2));
        }
        image.end = std::max(image.end, at);
    }
}

void Begin(HexImage& image, std::string& status) {
    image.start = 0;
    image.end = 0;
    image.badChecksums = 0;
    image.firstBadChecksumLine = 0;
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

int ReadHexBuffer(std::string_view text, HexImage& image, std::string& status) {
    Begin(image, status);
    BufferLines lines(text);
    return ParseLines(lines, image, status);
}

namespace {

// What tells that a file was written: its size and its modification and change times.
bool SameVersion(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// How long to wait until the file was last written kHexSettleMs ago; 0 when it was (or when its
// time lies ahead of the clock, as on a file from a machine with another clock).
long long SettleWaitMicros(const struct stat& st) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long age = (static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec) * 1000000 +
                          (now.tv_nsec - st.st_mtim.tv_nsec) / 1000;
    return age < 0 || age >= kHexSettleMs * 1000 ? 0 : kHexSettleMs * 1000 - age;
}

}  // namespace

int ReadHexFile(const std::string& path, HexImage& image, std::string& status) {
    // A file rewritten while it is read would give one image of two builds: read it again
    // until one whole read saw the file unchanged. File times may be as coarse as a few
    // milliseconds, so the bytes read are also read a second time and compared.
    for (int attempt = 0; attempt < kHexReadAttempts; ++attempt) {
        Begin(image, status);
        if (!FileExists(path)) {
            return Finish(kHexNoFile, status);
        }
        // Never block: a FIFO or a device at the path must not freeze the window.
        FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        struct stat before {};
        if (fd.get() < 0 || ::fstat(fd.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
            std::fill_n(image.data.begin(), image.Usable(), std::uint8_t{0xFF});
            return Finish(kHexTypeError, status);
        }
        FileLines lines(fd.get());
        const int code = ParseLines(lines, image, status);
        struct stat after {};
        if (::fstat(fd.get(), &after) == 0 && SameVersion(before, after) &&
            StillHolds(fd.get(), lines.bytes(), lines.hash())) {
            // A writer may be paused halfway through the file: only a file left alone for a
            // moment is taken.
            const long long wait = SettleWaitMicros(after);
            if (wait <= 0)
                return code;
            ::usleep(static_cast<useconds_t>(wait));
        }
    }
    image.end = 0;
    return Finish(kHexChanging, status);
}
