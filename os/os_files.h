#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// The few system calls the core makes on files, clocks and the machine, with one implementation
// for POSIX systems (posix_files.cpp) and one for Windows (win_files.cpp). Paths are UTF-8; on
// Windows they become UTF-16 at each call, and both separators are accepted.
namespace os_files {

// The system's text for an errno value.
std::string ErrorText(int error);

// What tells that a file was written: its size and its modification and change times.
struct FileVersion {
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;  // since 1970-01-01 UTC
    std::int64_t changedNs = 0;
    bool regular = false;
    bool folder = false;
    bool operator==(const FileVersion&) const = default;
};

// One file opened for reading, without blocking (a FIFO or a device at the path must not freeze
// the caller) and without becoming the process's terminal. Closed when destroyed.
class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    // 0, or the errno value of the failure (ENOENT for a missing file). Without `followLinks`
    // a symbolic link at the path is not followed (ELOOP, on POSIX systems).
    int Open(const std::string& path, bool followLinks = true);
    bool IsOpen() const { return m_handle != -1; }
    bool Version(FileVersion& version) const;
    // Why another user may have written the open file: it belongs to another user than this
    // process's or root, or others (or a group other than this process's) may write it. Empty
    // when only this user could; always empty on Windows.
    std::string WritableByOthers() const;
    // Bytes read, 0 at the end, -1 on failure (errno set); retries interrupted calls. After a
    // ReadAt, where Read goes on is not defined (Windows moves the file's position).
    std::ptrdiff_t Read(void* buffer, std::size_t size);
    std::ptrdiff_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size);

  private:
    std::intptr_t m_handle = -1;
};

// The version of the file at `path`; false when nothing is there.
bool VersionOf(const std::string& path, FileVersion& version);
// True when an entry (a directory too) exists at the path; false for an empty path.
inline bool FileExists(const std::string& path) {
    FileVersion version;
    return VersionOf(path, version);
}

// The file a symbolic link at `path` names (link after link, to the end of the chain, whether
// that end exists or not), or `path` itself.
std::string ResolveLink(const std::string& path);

// Why the file at `path` (or its link's target) may have been planted or swapped by another
// user, as OpenSSH's StrictModes sees it: a symbolic link on the way owned by another user than
// this process's or root, a folder on the way (or above it) that other users may write unless
// it is sticky and this user's (above: this user's or root's), or, in such a sticky folder, a
// file of another user. Empty when the place is sound or nothing is there yet; always empty on
// Windows.
std::string UntrustedPlace(const std::string& path);

// `path` with its folder replaced by the folder's real path (no symbolic link in it), for an
// open that refuses links; `path` itself when the folder cannot be resolved, and on Windows.
std::string InRealFolder(const std::string& path);

// Whether this process may replace the existing file at `path` (a read-only file says no); the
// reason when it may not.
bool MayReplace(const std::string& path, std::string& reason);

// Replaces the file at `path` (or creates it) with `text`, so that it is never seen half
// written: the text goes to a temporary file in the same folder, is flushed to disk and renamed
// over the file. An existing file keeps its permissions (and owner, where the process may).
// With `privateFile` the file is readable and writable by the user only, whatever it was.
bool ReplaceAtomically(const std::string& path, const std::string& text, std::string& reason,
                       bool privateFile = false);

// Renames the entry at `from` (a file, a folder, a link itself) to `to`, which must not exist.
bool Rename(const std::string& from, const std::string& to, std::string& reason);

// Whether the two paths name one existing file (the same file system entry, links followed).
bool SameFile(const std::string& a, const std::string& b);

// Removes what ReplaceAtomically left of its temporary files for `path` when a process was
// killed in the middle of a replace: this user's files of that name pattern in the same folder,
// untouched for `olderThanSeconds` (a replace running now is never that old). Returns how many
// were removed. Only listed and removed, never opened.
int RemoveStaleTemporaries(const std::string& path, std::int64_t olderThanSeconds);

// Creates the file at `to` holding `text`, readable by the user only, unless a file is there
// already (made by another process meanwhile): that one is kept. Returns the error, empty on
// success or when the file exists.
std::string CreateWithoutReplacing(const std::string& to, const std::string& text);

// Makes the folder and its missing parents, each new one private to the user. Returns the
// error of the first that could not be made.
std::string MakePrivateFolders(const std::string& folder);

// Whether the process may create and replace files in the folder.
bool FolderWritable(const std::string& folder);

// A lock file beside a shared file: opened (made when missing, never through a symbolic link)
// once, then tried without blocking. Closing it releases the lock.
class LockFile {
  public:
    LockFile() = default;
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    bool Open(const std::string& path, std::string& reason);
    enum class Try { kLocked, kBusy, kFailed };
    Try TryLock(std::string& reason);

  private:
    std::intptr_t m_handle = -1;
};

void SleepMicros(long long micros);

// The running executable's path, empty when it cannot be told.
std::string ExecutablePath();
// The user's home folder, from the environment or the account.
std::string HomeFolder();
// Where the user's programs keep their settings when the environment names no other place
// ($XDG_CONFIG_HOME on POSIX systems, %APPDATA% on Windows); empty when unknown.
std::string UserConfigBase();
// The folders where the system keeps its own and installed programs (%ProgramFiles%,
// %ProgramFiles(x86)%, %ProgramW6432%, %SystemRoot%, %windir% on Windows); empty on POSIX
// systems, whose shared program folders are fixed names.
std::vector<std::string> SystemProgramFolders();
// The path as the system resolves it for comparing: absolute, with short (8.3) names made long
// as far as the path exists on Windows; unchanged on POSIX systems and when it cannot be told.
std::string ResolvedFullPath(const std::string& path);
// True for an absolute path of this system ("/x"; "C:\x", "C:/x" or "\\server\x" on Windows).
bool IsAbsolute(const std::string& path);
// The position of the last path separator, or std::string::npos.
std::size_t LastSeparator(const std::string& path);

// This machine's network name, empty when unknown.
std::string HostName();
// The name of the account this process runs as, empty when unknown.
std::string AccountName();
// Broken-down local and UTC time; false when the time cannot be converted.
bool LocalTime(std::time_t when, std::tm& out);
bool UtcTime(std::time_t when, std::tm& out);
// Milliseconds since the system started, as the system's tick counter counts them.
std::uint64_t TickCountMs();

// The path of an entry as an absolute path: links and "." and ".." resolved when the entry
// exists, else joined to the working folder as written. Empty for an empty path.
std::string AbsolutePath(const std::string& path);

// This process's id, whether a process of that id runs on this machine now (one this process
// may not signal counts as running), and what tells this boot of the machine from the others:
// Linux's /proc/sys/kernel/random/boot_id; empty where there is none (Windows).
std::int64_t ProcessId();
bool ProcessAlive(std::int64_t pid);
std::string BootId();
// When the process `pid` started, as the system counts it (an opaque text, the same for the
// same process, another for a later process given the same id); empty when no such process can
// be seen or the system does not tell. And the PID namespace this process sees process ids in
// (Linux's "pid:[N]"): ids of another namespace say nothing here; empty where there is none.
std::string ProcessStart(std::int64_t pid);
std::string PidNamespace();

#ifdef _WIN32
// UTF-8 to UTF-16 and back, for the system's wide calls.
std::wstring Wide(const std::string& text);
std::string Utf8(const std::wstring& wide);
#endif

}  // namespace os_files
