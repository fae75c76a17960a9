#pragma once

#include <memory>
#include <string>

class IniDocument;

namespace os_files {
class LockFile;
}

// The settings file: config.ini beside the executable, section SETTING.

// Largest settings file that is read. A larger one, like one saved as UTF-16, cannot be read:
// Read gives the default, ReadChecked an error, and it is never rewritten.
inline constexpr std::size_t kMaxSettingsFileSize = 16u << 20;

// The folder of the running executable, without a trailing separator.
std::string ExecutableDirectory();

// Parses leading white space and then at most four hexadecimal digits into `value`; leaves
// `value` unchanged when there is no digit. Always returns 1.
int ParseHex4(const std::string& text, unsigned& value);

// The file `name` beside config.ini's resolved file (the link's target when `configPath` is a
// symbolic link): where its lock, its temporary files, records.sqlite and every other file of
// that config.ini lie, so that a link and its target share one ledger. Empty for an empty
// `configPath`.
std::string BesideConfig(const std::string& configPath, const std::string& name);

// Why the settings at `configPath` cannot be trusted (see os_files::UntrustedPlace): config.ini
// or its lock reached through another user's symbolic link, or kept in a folder other users may
// write. Empty when the place is sound. The lock, the record store and the front ends' start
// refuse such a place with this text.
std::string SettingsPlaceProblem(const std::string& configPath);

// An exclusive lock on one settings file, shared by every loader process and thread that uses
// it: a lock on "<config.ini>.lock" beside the file (the link's target when config.ini is a
// link). Every write takes it for its read-modify-write, so two writers never lose each other's
// keys; the serial-number reservation holds it across its re-read, record and save. Waits at
// most `timeoutMs`; released when destroyed. Refused in a place SettingsPlaceProblem refuses.
class SettingsLock {
  public:
    explicit SettingsLock(const std::string& configPath, int timeoutMs = 5000);
    ~SettingsLock();
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;
    bool held() const { return m_file != nullptr; }
    // Why the lock is not held.
    const std::string& reason() const { return m_reason; }

  private:
    std::unique_ptr<os_files::LockFile> m_file;
    std::string m_reason;
};

// Reads and writes the settings file at an explicit path: the key's value (trimmed, whole), or
// `defaultValue` when the file, section or key is missing. A write stores the value keeping
// every other line of the file as it was: the new text goes to a temporary file in the same
// folder, is flushed to disk and renamed over config.ini, so the file is never seen
// half-written; on failure it returns false with the system's reason and leaves the old file.
namespace settings_file {
std::string Read(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& defaultValue);
// Like Read, but a file that exists and cannot be read whole is an error (false with the
// reason), not a default.
bool ReadChecked(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& defaultValue, std::string& value, std::string* reason);
// The whole file as an INI document, for a reader of several keys: empty when the file is
// missing; false with the reason (and an empty document, so every key reads its default) when
// it exists and cannot be read whole.
bool ReadDocument(const std::string& path, IniDocument& document, std::string* reason);
// The whole file as it is (at most kMaxSettingsFileSize bytes of a regular file); false with the
// reason otherwise, a missing file included.
bool ReadBytes(const std::string& path, std::string& text, std::string* reason);
// Takes the settings lock for the write.
bool Write(const std::string& path, const std::string& section, const std::string& key,
           const std::string& value, std::string* reason);
// The same for a caller that holds the settings lock already.
bool WriteHeld(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value, std::string* reason);
// "%d"-style parse of a setting's text; `fallback` when no number is there.
int ParseInt(const std::string& text, int fallback);
}  // namespace settings_file
