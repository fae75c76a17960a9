// The core's file, clock and machine calls on Windows: UTF-8 paths become UTF-16 at each call.
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "os/os_files.h"

namespace os_files {

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), units);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty())
        return {};
    const int length = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX));
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), bytes, nullptr,
                              nullptr);
    return text;
}

namespace {

// How long a read and a replace wait for a file another process holds for a moment.
constexpr int kReadHoldMs = 500;
constexpr int kReplaceHoldMs = 2000;

// The errno value closest to a Windows error, so that callers test one kind of code.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EIO;
    }
}

// The last error as errno (set too) and its text.
int LastErrno() {
    const int error = ErrnoOf(::GetLastError());
    errno = error;
    return error;
}

std::string LastErrorText() {
    return ErrorText(LastErrno());
}

// Owns one handle.
class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return handle == INVALID_HANDLE_VALUE || ::CloseHandle(handle);
    }

  private:
    HANDLE m_handle;
};

// Another process may hold a file for a moment (a loader replacing it, a virus scanner or an
// indexer reading it): a call that meets such a hold is tried again for a while.
template <typename Call>
bool WhileHeld(Call call, int withinMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    for (;;) {
        if (call())
            return true;
        const DWORD error = ::GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
             error != ERROR_LOCK_VIOLATION) ||
            std::chrono::steady_clock::now() >= deadline) {
            ::SetLastError(error);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// 100 ns ticks since 1601 to nanoseconds since 1970.
std::int64_t UnixNs(std::int64_t ticks) {
    constexpr std::int64_t kEpochTicks = 116444736000000000LL;
    return (ticks - kEpochTicks) * 100;
}

std::int64_t UnixNs(const FILETIME& time) {
    return UnixNs(static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime));
}

std::string Folder(const std::string& path) {
    const std::size_t slash = LastSeparator(path);
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string Name(const std::string& path) {
    const std::size_t slash = LastSeparator(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(HANDLE handle, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!::WriteFile(handle, text.data() + done, want, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

// A new file beside `path`, named after it and this process, written whole and flushed; removed
// when destroyed unless kept.
class TempFile {
  public:
    ~TempFile() {
        if (!m_path.empty() && !m_kept)
            ::DeleteFileW(m_path.c_str());
    }
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    bool Write(const std::string& beside, const std::string& text, std::string& reason) {
        const std::string stem = Folder(beside) + "\\." + Name(beside) + "." +
                                 std::to_string(::GetCurrentProcessId()) + ".";
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            const std::wstring path = Wide(stem + std::to_string(::GetTickCount64() + attempt));
            Handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.valid()) {
                if (::GetLastError() == ERROR_FILE_EXISTS)
                    continue;
                reason = LastErrorText();
                return false;
            }
            m_path = path;
            if (!WriteAll(file.get(), text) || !::FlushFileBuffers(file.get()) || !file.Close()) {
                reason = LastErrorText();
                return false;
            }
            return true;
        }
        reason = ErrorText(EEXIST);
        return false;
    }
    const std::wstring& path() const { return m_path; }
    void Keep() { m_kept = true; }

  private:
    std::wstring m_path;
    bool m_kept = false;
};

}  // namespace

std::string ErrorText(int error) {
    return std::strerror(error);
}

ReadOnlyFile::~ReadOnlyFile() {
    if (m_handle != -1)
        ::CloseHandle(AsHandle(m_handle));
}

int ReadOnlyFile::Open(const std::string& path, bool /*followLinks*/) {
    // Folders open too (FILE_FLAG_BACKUP_SEMANTICS), so that a caller can say it is one.
    const std::wstring wide = Wide(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const bool opened = WhileHeld(
        [&] {
            handle = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            return handle != INVALID_HANDLE_VALUE;
        },
        kReadHoldMs);
    if (!opened)
        return LastErrno();
    if (m_handle != -1)
        ::CloseHandle(AsHandle(m_handle));
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    return 0;
}

std::string ReadOnlyFile::WritableByOthers() const {
    return {};  // as UntrustedPlace: the folders' access lists decide on Windows
}

bool ReadOnlyFile::Version(FileVersion& version) const {
    if (m_handle == -1)
        return false;
    const HANDLE handle = AsHandle(m_handle);
    FILE_BASIC_INFO basic{};
    LARGE_INTEGER size{};
    const bool disk = ::GetFileType(handle) == FILE_TYPE_DISK;
    if (!disk) {
        version = FileVersion{};  // a pipe or a device: neither a file nor a folder
        return true;
    }
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        LastErrno();
        return false;
    }
    version.folder = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    version.regular = !version.folder && (basic.FileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    version.modifiedNs = UnixNs(basic.LastWriteTime.QuadPart);
    version.changedNs = UnixNs(basic.ChangeTime.QuadPart);
    version.size = 0;
    if (version.regular) {
        if (!::GetFileSizeEx(handle, &size)) {
            LastErrno();
            return false;
        }
        version.size = static_cast<std::uint64_t>(size.QuadPart);
    }
    return true;
}

std::ptrdiff_t ReadOnlyFile::Read(void* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(AsHandle(m_handle), buffer, want, &got, nullptr)) {
        if (::GetLastError() == ERROR_HANDLE_EOF || ::GetLastError() == ERROR_BROKEN_PIPE)
            return 0;
        LastErrno();
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t ReadOnlyFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    // On a handle opened for synchronous reads, the offset travels in an OVERLAPPED (and the
    // file pointer moves past what was read).
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(AsHandle(m_handle), buffer, want, &got, &at)) {
        if (::GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        LastErrno();
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool VersionOf(const std::string& path, FileVersion& version) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() || !::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data))
        return false;
    version = FileVersion{};
    version.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    version.regular = !version.folder && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    version.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    version.modifiedNs = UnixNs(data.ftLastWriteTime);
    version.changedNs = version.modifiedNs;  // not in these attributes
    return true;
}

std::string ResolveLink(const std::string& path) {
    // MoveFileExW replaces a symbolic link itself; the settings file is one seldom on Windows.
    return path;
}

std::string InRealFolder(const std::string& path) {
    return path;
}

std::string UntrustedPlace(const std::string&) {
    // Folders under the user's profile or beside the program carry the system's ACLs; the
    // settings' place is not checked further on Windows.
    return {};
}

bool MayReplace(const std::string& path, std::string& reason) {
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        reason = LastErrorText();
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        reason = ErrorText(EACCES);
        return false;
    }
    return true;
}

bool ReplaceAtomically(const std::string& path, const std::string& text, std::string& reason,
                       bool /*privateFile*/) {
    TempFile temp;
    if (!temp.Write(path, text, reason))
        return false;
    const std::wstring target = Wide(path);
    if (!WhileHeld(
            [&] {
                return ::MoveFileExW(temp.path().c_str(), target.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
            },
            kReplaceHoldMs)) {
        reason = LastErrorText();
        return false;
    }
    temp.Keep();
    return true;
}

std::string CreateWithoutReplacing(const std::string& to, const std::string& text) {
    TempFile temp;
    std::string reason;
    if (!temp.Write(to, text, reason))
        return "cannot create a file beside " + to + ": " + reason;
    // Without MOVEFILE_REPLACE_EXISTING the move fails rather than replace a file another
    // loader made meanwhile.
    if (::MoveFileExW(temp.path().c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        temp.Keep();
        return {};
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return {};
    return "cannot write " + to + ": " + ErrorText(ErrnoOf(error));
}

std::string MakePrivateFolders(const std::string& folder) {
    // New folders inherit the parent's access list: under the user's profile, the user's own.
    std::vector<std::string> missing;
    for (std::string p = folder; !p.empty();) {
        FileVersion version;
        if (VersionOf(p, version)) {
            if (!version.folder)
                return p + " is not a folder";
            break;
        }
        missing.push_back(p);
        const std::size_t slash = LastSeparator(p);
        if (slash == std::string::npos || slash <= 2)
            break;  // "C:\" and the like are never made
        p.resize(slash);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!::CreateDirectoryW(Wide(*it).c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS)
            return "cannot create " + *it + ": " + LastErrorText();
    }
    return {};
}

bool FolderWritable(const std::string& folder) {
    // Access lists decide, and only trying tells: a file that vanishes when closed.
    const std::string probe =
        folder + "\\.pravune-probe-" + std::to_string(::GetCurrentProcessId());
    Handle file(::CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file.valid();
}

LockFile::~LockFile() {
    if (m_handle == -1)
        return;
    OVERLAPPED whole{};
    ::UnlockFileEx(AsHandle(m_handle), 0, 1, 0, &whole);
    ::CloseHandle(AsHandle(m_handle));
}

bool LockFile::Open(const std::string& path, std::string& reason) {
    const HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = LastErrorText();
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

LockFile::Try LockFile::TryLock(std::string& reason) {
    // The first byte, exclusively: every handle (in this process too) is another holder.
    OVERLAPPED first{};
    if (::LockFileEx(AsHandle(m_handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                     0, &first))
        return Try::kLocked;
    if (::GetLastError() == ERROR_LOCK_VIOLATION || ::GetLastError() == ERROR_IO_PENDING)
        return Try::kBusy;
    reason = LastErrorText();
    return Try::kFailed;
}

void SleepMicros(long long micros) {
    // The system's sleep counts in its timer's ticks and may wake a little early: sleep again
    // until the time has passed.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(until - now);
}

std::string ExecutablePath() {
    std::wstring buffer(260, L'\0');
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return Utf8(buffer);
        }
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

std::string Env(const wchar_t* name) {
    const wchar_t* value = ::_wgetenv(name);
    return value ? Utf8(value) : std::string();
}

}  // namespace

std::string HomeFolder() {
    return Env(L"USERPROFILE");
}

std::string UserConfigBase() {
    return Env(L"APPDATA");
}

std::vector<std::string> SystemProgramFolders() {
    std::vector<std::string> folders;
    for (const wchar_t* name :
         {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432", L"SystemRoot", L"windir"}) {
        std::string value = Env(name);
        if (!value.empty())
            folders.push_back(std::move(value));
    }
    // The system's own answer too, should the environment have lost or changed it.
    std::wstring windows(MAX_PATH, L'\0');
    const UINT n = ::GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
    if (n > 0 && n < windows.size()) {
        windows.resize(n);
        folders.push_back(Utf8(windows));
    }
    return folders;
}

std::string ResolvedFullPath(const std::string& path) {
    if (path.empty())
        return path;
    const std::wstring wide = Wide(path);
    std::wstring full(::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
    if (full.empty())
        return path;
    const DWORD n =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size())
        return path;
    full.resize(n);
    // Short names become long ones only for a path that exists; else the full path as it is.
    std::wstring longName(::GetLongPathNameW(full.c_str(), nullptr, 0), L'\0');
    if (!longName.empty()) {
        const DWORD m =
            ::GetLongPathNameW(full.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
        if (m > 0 && m < longName.size()) {
            longName.resize(m);
            return Utf8(longName);
        }
    }
    return Utf8(full);
}

bool IsAbsolute(const std::string& path) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    if (path.size() >= 2 && separator(path[0]) && separator(path[1]))
        return true;  // \\server\share
    return path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
           path[1] == ':' && separator(path[2]);
}

std::size_t LastSeparator(const std::string& path) {
    return path.find_last_of("/\\");
}

std::string HostName() {
    wchar_t name[256] = {};
    DWORD size = 255;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size))
        return {};
    return Utf8(std::wstring(name, size));
}

std::string AccountName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    if (!::GetUserNameW(name, &size) || size == 0)
        return {};
    return Utf8(std::wstring(name, size - 1));  // the size counts the ending zero
}

bool LocalTime(std::time_t when, std::tm& out) {
    return ::localtime_s(&out, &when) == 0;
}

bool UtcTime(std::time_t when, std::tm& out) {
    return ::gmtime_s(&out, &when) == 0;
}

std::uint64_t TickCountMs() {
    return ::GetTickCount64();
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty())
        return {};
    const std::wstring wide = Wide(path);
    const DWORD units = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (units == 0)
        return path;
    std::wstring full(units, L'\0');
    const DWORD written = ::GetFullPathNameW(wide.c_str(), units, full.data(), nullptr);
    if (written == 0 || written >= units)
        return path;
    full.resize(written);
    return Utf8(full);
}

std::int64_t ProcessId() {
    return static_cast<std::int64_t>(::GetCurrentProcessId());
}

bool ProcessAlive(std::int64_t pid) {
    if (pid <= 0 || pid > 0xFFFFFFFF)
        return false;
    const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         static_cast<DWORD>(pid));
    if (!process)
        return ::GetLastError() == ERROR_ACCESS_DENIED;  // there, but another user's
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

std::string BootId() {
    return {};  // Windows keeps no boot identifier; a process's id alone decides
}

int RemoveStaleTemporaries(const std::string&, std::int64_t) {
    return 0;  // named otherwise here (and removed by its writer on every path but a kill)
}

bool Rename(const std::string& from, const std::string& to, std::string& reason) {
    if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH) == 0) {
        reason = LastErrorText();
        return false;
    }
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    const std::wstring first = Wide(ResolvedFullPath(a)), second = Wide(ResolvedFullPath(b));
    return ::GetFileAttributesW(first.c_str()) != INVALID_FILE_ATTRIBUTES &&
           ::CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::string ProcessStart(std::int64_t pid) {
    if (pid <= 0 || pid > 0xFFFFFFFF)
        return {};
    const HANDLE process =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return {};
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool told = ::GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
    ::CloseHandle(process);
    if (!told)
        return {};
    return std::to_string((static_cast<std::uint64_t>(created.dwHighDateTime) << 32) |
                          created.dwLowDateTime);
}

std::string PidNamespace() {
    return {};
}

}  // namespace os_files
