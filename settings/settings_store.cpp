#include "settings/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "settings/hex_digit.h"
#include "settings/ini_document.h"

namespace {

std::string ErrorText(int error) {
    return std::strerror(error);
}

// Owns one descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    // Closes now and reports whether the close succeeded (a late write error shows here).
    bool Close() {
        int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    void Reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int m_fd;
};

// A temporary file that is removed unless it was renamed into place.
class TempFile {
  public:
    explicit TempFile(std::string path) : m_path(std::move(path)) {}
    ~TempFile() {
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return m_path; }
    void Keep() { m_kept = true; }

  private:
    std::string m_path;
    bool m_kept = false;
};

enum class ReadOutcome { kMissing, kRead, kFailed };

ReadOutcome ReadWhole(const std::string& path, std::string& text, struct stat& st,
                      std::string& reason) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return ReadOutcome::kMissing;
        reason = ErrorText(errno);
        return ReadOutcome::kFailed;
    }
    if (::fstat(fd.get(), &st) != 0) {
        reason = ErrorText(errno);
        return ReadOutcome::kFailed;
    }
    if (S_ISDIR(st.st_mode)) {
        reason = ErrorText(EISDIR);
        return ReadOutcome::kFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return ReadOutcome::kFailed;
    }
    if (static_cast<unsigned long long>(st.st_size) > kMaxSettingsFileSize) {
        reason = "file larger than " + std::to_string(kMaxSettingsFileSize) + " bytes";
        return ReadOutcome::kFailed;
    }
    text.clear();
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = ErrorText(errno);
            return ReadOutcome::kFailed;
        }
        if (n == 0)
            return ReadOutcome::kRead;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > kMaxSettingsFileSize) {
            reason = "file larger than " + std::to_string(kMaxSettingsFileSize) + " bytes";
            return ReadOutcome::kFailed;
        }
    }
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// config.ini may be a link to the real file; the rename must replace the file, not the link.
std::string ResolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return path;
}

mode_t NewFileMode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool Fail(std::string* reason, const std::string& text) {
    if (reason)
        *reason = text;
    return false;
}

}  // namespace

namespace settings_file {

std::string Read(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& defaultValue) {
    std::string text, reason;
    struct stat st {};
    if (path.empty() || ReadWhole(path, text, st, reason) != ReadOutcome::kRead) {
        return defaultValue;
    }
    return IniDocument(text).Get(section, key).value_or(defaultValue);
}

bool ReadChecked(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& defaultValue, std::string& value, std::string* reason) {
    std::string text, why;
    struct stat st {};
    switch (path.empty() ? ReadOutcome::kMissing : ReadWhole(path, text, st, why)) {
        case ReadOutcome::kFailed:
            return Fail(reason, why);
        case ReadOutcome::kMissing:
            value = defaultValue;
            return true;
        case ReadOutcome::kRead:
            value = IniDocument(text).Get(section, key).value_or(defaultValue);
            return true;
    }
    return Fail(reason, "unreadable");
}

bool ReadBytes(const std::string& path, std::string& text, std::string* reason) {
    std::string why;
    struct stat st {};
    switch (ReadWhole(path, text, st, why)) {
        case ReadOutcome::kRead:
            return true;
        case ReadOutcome::kMissing:
            return Fail(reason, ErrorText(ENOENT));
        case ReadOutcome::kFailed:
            break;
    }
    return Fail(reason, why);
}

bool Write(const std::string& path, const std::string& section, const std::string& key,
           const std::string& value, std::string* reason) {
    if (path.empty())
        return Fail(reason, "no settings file path");
    const SettingsLock lock(path);
    if (!lock.held())
        return Fail(reason, lock.reason());
    return WriteHeld(path, section, key, value, reason);
}

bool WriteHeld(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value, std::string* reason) {
    if (path.empty())
        return Fail(reason, "no settings file path");
    const std::string target = ResolveTarget(path);

    std::string text, why;
    struct stat st {};
    ReadOutcome outcome = ReadWhole(target, text, st, why);
    // Never rewrite a file that could not be read whole: that would lose its other settings.
    if (outcome == ReadOutcome::kFailed)
        return Fail(reason, why);
    // The rename below needs only the folder's permission; a file that may not be written (made
    // read-only on purpose) must stay as it is, as with an in-place write.
    if (outcome == ReadOutcome::kRead &&
        ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail(reason, ErrorText(errno));
    IniDocument doc(text);
    if (!doc.Set(section, key, value))
        return Fail(reason, "the value holds a line break");
    const std::string newText = doc.Text();

    // Built whole rather than assigned a literal later: GCC 12 at -O3 warns wrongly
    // (-Wrestrict) on the inlined assignment.
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : target.substr(0, slash);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = folder + (folder == "/" ? "" : "/") + "." + name + ".XXXXXX";

    Fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return Fail(reason, ErrorText(errno));
    TempFile temp(pattern);

    const bool existed = outcome == ReadOutcome::kRead;
    if (::fchmod(fd.get(), existed ? (st.st_mode & 07777) : NewFileMode()) != 0) {
        return Fail(reason, ErrorText(errno));
    }
    if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        // Best effort: keep the owner when we may (running as root for a user's file).
        [[maybe_unused]] int ignored = ::fchown(fd.get(), st.st_uid, st.st_gid);
    }
    if (!WriteAll(fd.get(), newText) || ::fsync(fd.get()) != 0 || !fd.Close()) {
        return Fail(reason, ErrorText(errno));
    }
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        return Fail(reason, ErrorText(errno));
    }
    temp.Keep();
    // Make the rename itself durable.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return true;
}

int ParseInt(const std::string& text, int fallback) {
    std::size_t i = 0;
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size() && space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return fallback;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace settings_file

SettingsLock::SettingsLock(const std::string& configPath, int timeoutMs) {
    if (configPath.empty()) {
        m_reason = "no settings file path";
        return;
    }
    const std::string lockPath = ResolveTarget(configPath) + ".lock";
    // Read access is all flock needs, so a lock file another user created serves every user.
    const int fd =
        ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, NewFileMode());
    if (fd < 0) {
        m_reason = ErrorText(errno);  // the caller names the settings file
        return;
    }
    // Polled rather than blocking, so that a loader that hangs while holding it cannot hang
    // every other one; the pause grows from 50 us so that a short hold costs little.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (useconds_t pause = 50;; pause = std::min<useconds_t>(pause * 2, 2000)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            m_reason = "cannot lock " + lockPath + ": " + ErrorText(errno);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_reason = "another loader has held " + lockPath + " for more than " +
                       std::to_string(timeoutMs) + " ms";
            break;
        }
        ::usleep(pause);
    }
    ::close(fd);
}

SettingsLock::~SettingsLock() {
    if (m_fd >= 0)
        ::close(m_fd);  // closing the descriptor releases the lock
}

std::string ExecutableDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::size_t slash = buffer.rfind('/');
    return slash == std::string::npos ? std::string() : buffer.substr(0, slash);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

int ParseHex4(const std::string& text, unsigned& value) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    unsigned parsed = 0;
    int digits = 0;
    for (; i < text.size() && digits < 4; ++i, ++digits) {
        const int d = HexDigitValue(text[i]);
        if (d < 0)
            break;
        parsed = parsed * 16 + static_cast<unsigned>(d);
    }
    if (digits > 0)
        value = parsed;
    return 1;
}
