#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "os/os_files.h"

namespace os_files {

namespace {

// Owns one descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    // Closes now and reports whether the close succeeded (a late write error shows here).
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
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

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The process's umask, read without changing it. umask() reads it only by setting it, so two
// threads probing at once could leave it at 0 for good, and every file made after that writable
// by every user: Linux shows it in /proc/self/status instead. Only where that line is missing
// (a kernel before 4.7, no /proc) is it probed.
mode_t CurrentUmask() {
    const Fd status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char text[4096];
    const ssize_t n = status.get() < 0 ? -1 : ::read(status.get(), text, sizeof text - 1);
    if (n > 0) {
        text[n] = '\0';
        if (const char* line = std::strstr(text, "\nUmask:")) {
            char* end = nullptr;
            const unsigned long mask = std::strtoul(line + 7, &end, 8);
            if (end != line + 7 && mask <= 0777)
                return static_cast<mode_t>(mask);
        }
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

mode_t NewFileMode() {
    return 0666 & ~CurrentUmask();
}

std::int64_t Ns(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileVersion VersionFromStat(const struct stat& st) {
    FileVersion v;
    v.size = static_cast<std::uint64_t>(st.st_size);
    v.modifiedNs = Ns(st.st_mtim);
    v.changedNs = Ns(st.st_ctim);
    v.regular = S_ISREG(st.st_mode);
    v.folder = S_ISDIR(st.st_mode);
    return v;
}

int Handle(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// The folder part of a path: "." without a separator, "/" for a file in the root.
std::string FolderPart(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : path.substr(0, slash);
}

// What the symbolic link at `link` names, relative targets taken from the link's folder; empty
// when it cannot be read.
std::string LinkTarget(const std::string& link) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
        if (n <= 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (buffer.front() == '/')
        return buffer;
    const std::string folder = FolderPart(link);
    return folder == "/" ? "/" + buffer : folder + "/" + buffer;
}

// The owners whose links and folders are trusted: this process's user and root.
bool TrustedOwner(uid_t owner) {
    return owner == ::geteuid() || owner == 0;
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why files in `folder` cannot be trusted to stay what they are: the folder, or one above it,
// may be written by other users, who could then plant a link or swap a file. A sticky folder
// (other users may remove only their own names) is accepted when it is this user's, and above
// it when it is this user's or root's (as /tmp is). `shared` tells that other users may add
// names to the folder itself (sticky and this user's). Empty when the folder cannot be found:
// the open that follows reports that.
std::string FolderProblem(const std::string& folder, bool& shared) {
    shared = false;
    char* real = ::realpath(folder.c_str(), nullptr);
    if (!real)
        return {};
    std::string current(real);
    std::free(real);
    for (bool first = true;; first = false) {
        struct stat st {};
        if (::stat(current.c_str(), &st) != 0)
            return {};
        if (st.st_mode & (S_IWGRP | S_IWOTH)) {
            const bool sticky = (st.st_mode & S_ISVTX) != 0;
            if (sticky && (first ? st.st_uid == ::geteuid() : TrustedOwner(st.st_uid))) {
                shared = shared || first;
            } else {
                return current + " may be written by other users (mode " + ModeText(st.st_mode) +
                       ", owner uid " + std::to_string(st.st_uid) +
                       "): keep config.ini in a folder no other user may write";
            }
        }
        if (current == "/")
            return {};
        current = FolderPart(current);
    }
}

}  // namespace

std::string ErrorText(int error) {
    return std::strerror(error);
}

ReadOnlyFile::~ReadOnlyFile() {
    if (m_handle != -1)
        ::close(Handle(m_handle));
}

int ReadOnlyFile::Open(const std::string& path, bool followLinks) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY |
                                            (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return errno;
    if (m_handle != -1)
        ::close(Handle(m_handle));
    m_handle = fd;
    return 0;
}

std::string ReadOnlyFile::WritableByOthers() const {
    struct stat st {};
    if (m_handle == -1 || ::fstat(Handle(m_handle), &st) != 0)
        return ErrorText(errno);
    if (!TrustedOwner(st.st_uid))
        return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid()))
        return "other users may write it";
    return {};
}

bool ReadOnlyFile::Version(FileVersion& version) const {
    struct stat st {};
    if (m_handle == -1 || ::fstat(Handle(m_handle), &st) != 0)
        return false;
    version = VersionFromStat(st);
    return true;
}

std::ptrdiff_t ReadOnlyFile::Read(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(Handle(m_handle), buffer, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

std::ptrdiff_t ReadOnlyFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::pread(Handle(m_handle), buffer, size, static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool VersionOf(const std::string& path, FileVersion& version) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return false;
    version = VersionFromStat(st);
    return true;
}

std::string ResolveLink(const std::string& path) {
    // Link by link, so that a link whose target does not exist yet names that target too.
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string next = LinkTarget(current);
        if (next.empty())
            return current;
        current = std::move(next);
    }
    return current;
}

std::string InRealFolder(const std::string& path) {
    char* real = ::realpath(FolderPart(path).c_str(), nullptr);
    if (!real)
        return path;
    std::string folder(real);
    std::free(real);
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string UntrustedPlace(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        bool shared = false;
        if (std::string problem = FolderProblem(FolderPart(current), shared); !problem.empty())
            return problem;
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0)
            return {};  // nothing there yet
        if (!S_ISLNK(st.st_mode)) {
            if (shared && !TrustedOwner(st.st_uid)) {
                return current + " belongs to another user (uid " + std::to_string(st.st_uid) +
                       ") in a folder other users may write";
            }
            return {};
        }
        if (!TrustedOwner(st.st_uid)) {
            return current + " is a symbolic link of another user (uid " +
                   std::to_string(st.st_uid) + "): not followed";
        }
        std::string next = LinkTarget(current);
        if (next.empty())
            return {};
        current = std::move(next);
    }
    return path + ": " + ErrorText(ELOOP);
}

bool MayReplace(const std::string& path, std::string& reason) {
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0)
        return true;
    reason = ErrorText(errno);
    return false;
}

bool ReplaceAtomically(const std::string& path, const std::string& text, std::string& reason,
                       bool privateFile) {
    // Built whole rather than assigned a literal later: GCC 12 at -O3 warns wrongly
    // (-Wrestrict) on the inlined assignment.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = folder + (folder == "/" ? "" : "/") + "." + name + ".XXXXXX";

    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    Fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        reason = ErrorText(errno);
        return false;
    }
    TempFile temp(pattern);
    const mode_t mode = privateFile ? 0600 : existed ? (st.st_mode & 07777) : NewFileMode();
    if (::fchmod(fd.get(), mode) != 0) {
        reason = ErrorText(errno);
        return false;
    }
    if (!privateFile && existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        // Best effort: keep the owner when we may (running as root for a user's file).
        [[maybe_unused]] int ignored = ::fchown(fd.get(), st.st_uid, st.st_gid);
    }
    if (!WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0 || !fd.Close()) {
        reason = ErrorText(errno);
        return false;
    }
    if (::rename(temp.path().c_str(), path.c_str()) != 0) {
        reason = ErrorText(errno);
        return false;
    }
    temp.Keep();
    // Make the rename itself durable.
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return true;
}

std::string CreateWithoutReplacing(const std::string& to, const std::string& text) {
    // Through a temporary file in the same folder, flushed, then linked into place: the link
    // fails rather than replace a file another loader made meanwhile.
    std::string temp = to + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return "cannot create a file beside " + to + ": " + ErrorText(errno);
    int error = 0;
    if (::fchmod(fd, 0600) != 0)
        error = errno;
    if (error == 0 && !WriteAll(fd, text))
        error = errno;
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::link(temp.c_str(), to.c_str()) != 0 && errno != EEXIST)
        error = errno;
    ::unlink(temp.c_str());
    return error == 0 ? std::string() : "cannot write " + to + ": " + ErrorText(error);
}

std::string MakePrivateFolders(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return p.string() + " is not a folder";
            break;
        }
        missing.push_back(p);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create " + it->string() + ": " + ErrorText(errno);
    }
    return {};
}

bool FolderWritable(const std::string& folder) {
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

LockFile::~LockFile() {
    if (m_handle != -1)
        ::close(Handle(m_handle));  // closing the descriptor releases the lock
}

bool LockFile::Open(const std::string& path, std::string& reason) {
    // Read access is all flock needs, so a lock file another user created serves every user.
    // Never through a link: one planted there would have the lock made anywhere.
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, NewFileMode());
    if (fd < 0) {
        reason = ErrorText(errno);
        return false;
    }
    m_handle = fd;
    return true;
}

LockFile::Try LockFile::TryLock(std::string& reason) {
    if (::flock(Handle(m_handle), LOCK_EX | LOCK_NB) == 0)
        return Try::kLocked;
    if (errno == EWOULDBLOCK || errno == EINTR)
        return Try::kBusy;
    reason = ErrorText(errno);
    return Try::kFailed;
}

void SleepMicros(long long micros) {
    timespec t{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::string ExecutablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

std::vector<std::string> SystemProgramFolders() {
    return {};
}

std::string ResolvedFullPath(const std::string& path) {
    return path;
}

std::string UserConfigBase() {
    const char* value = std::getenv("XDG_CONFIG_HOME");
    return value ? value : "";
}

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

std::size_t LastSeparator(const std::string& path) {
    return path.rfind('/');
}

std::string HostName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return {};
    return host;
}

std::string AccountName() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : "";
}

bool LocalTime(std::time_t when, std::tm& out) {
    return ::localtime_r(&when, &out) != nullptr;
}

bool UtcTime(std::time_t when, std::tm& out) {
    return ::gmtime_r(&when, &out) != nullptr;
}

std::uint64_t TickCountMs() {
    timespec t{};
    ::clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000u +
           static_cast<std::uint64_t>(t.tv_nsec / 1000000);
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty())
        return {};
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        std::string resolved(real);
        std::free(real);
        return resolved;
    }
    if (IsAbsolute(path))
        return path;
    std::vector<char> folder(4096);
    while (::getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE || folder.size() > (1u << 20))
            return path;
        folder.resize(folder.size() * 2);
    }
    const std::string base(folder.data());
    return base + (base.size() > 1 ? "/" : "") + path;
}

std::int64_t ProcessId() {
    return static_cast<std::int64_t>(::getpid());
}

bool ProcessAlive(std::int64_t pid) {
    if (pid <= 0 || pid != static_cast<pid_t>(pid))
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string BootId() {
    ReadOnlyFile file;
    if (file.Open("/proc/sys/kernel/random/boot_id") != 0)
        return {};
    char text[64] = {};
    const std::ptrdiff_t n = file.Read(text, sizeof text - 1);
    std::string id(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    return id;
}

int RemoveStaleTemporaries(const std::string& path, std::int64_t olderThanSeconds) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    const std::string stem =
        "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return 0;
    const std::time_t now = std::time(nullptr);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        // mkstemp's six characters after the stem, and nothing else.
        const std::string_view name = entry->d_name;
        if (name.size() != stem.size() + 6 || name.substr(0, stem.size()) != stem ||
            name.substr(stem.size())
                    .find_first_not_of(
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") !=
                std::string_view::npos)
            continue;
        const std::string file = folder + "/" + std::string(name);
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            now - st.st_mtime < olderThanSeconds)
            continue;
        if (::unlink(file.c_str()) == 0)
            ++removed;
    }
    return removed;
}

bool Rename(const std::string& from, const std::string& to, std::string& reason) {
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT) {
        reason = to + ": " + ErrorText(EEXIST);
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        reason = ErrorText(errno);
        return false;
    }
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string ProcessStart(std::int64_t pid) {
    if (pid <= 0 || pid != static_cast<pid_t>(pid))
        return {};
    ReadOnlyFile file;
    if (file.Open("/proc/" + std::to_string(pid) + "/stat") != 0)
        return {};
    char text[1024] = {};
    const std::ptrdiff_t n = file.Read(text, sizeof text - 1);
    if (n <= 0)
        return {};
    // "pid (name) state ppid ...": the name may hold spaces and parentheses, so the fields are
    // counted from the last ')'; the start time is the 22nd field, the 20th after it.
    const std::string_view line(text, static_cast<std::size_t>(n));
    std::size_t at = line.rfind(')');
    if (at == std::string_view::npos)
        return {};
    for (int field = 0; field < 20; ++field) {
        at = line.find(' ', at + 1);
        if (at == std::string_view::npos)
            return {};
    }
    const std::size_t end = line.find(' ', at + 1);
    return std::string(line.substr(at + 1, end == std::string_view::npos ? end : end - at - 1));
}

std::string PidNamespace() {
    char target[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/pid", target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace os_files
