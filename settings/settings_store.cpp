#include "settings/settings_store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "os/os_files.h"
#include "settings/ini_document.h"
#include "text/hex_digit.h"

namespace {

using os_files::ErrorText;

enum class ReadOutcome { kMissing, kRead, kFailed };

// A file saved as UTF-16 (with its byte-order mark, or ASCII text whose every other byte is 0):
// its keys cannot be read as 8-bit text, and a rewrite would mix two encodings.
bool LooksLikeUtf16(const std::string& text) {
    if (text.size() < 2)
        return false;
    const auto a = static_cast<unsigned char>(text[0]), b = static_cast<unsigned char>(text[1]);
    auto ascii = [](unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r'; };
    return (a == 0xFF && b == 0xFE) || (a == 0xFE && b == 0xFF) || (a == 0 && ascii(b)) ||
           (b == 0 && ascii(a));
}

ReadOutcome ReadWhole(const std::string& path, std::string& text, std::string& reason) {
    os_files::ReadOnlyFile file;
    if (const int error = file.Open(path); error != 0) {
        if (error == ENOENT)
            return ReadOutcome::kMissing;
        reason = ErrorText(error);
        return ReadOutcome::kFailed;
    }
    os_files::FileVersion version;
    if (!file.Version(version)) {
        reason = ErrorText(errno);
        return ReadOutcome::kFailed;
    }
    if (version.folder) {
        reason = ErrorText(EISDIR);
        return ReadOutcome::kFailed;
    }
    if (!version.regular) {
        reason = "not a regular file";
        return ReadOutcome::kFailed;
    }
    const std::string tooLarge =
        "file larger than " + std::to_string(kMaxSettingsFileSize) + " bytes";
    if (version.size > kMaxSettingsFileSize) {
        reason = tooLarge;
        return ReadOutcome::kFailed;
    }
    text.clear();
    char chunk[65536];
    for (;;) {
        const std::ptrdiff_t n = file.Read(chunk, sizeof chunk);
        if (n < 0) {
            reason = ErrorText(errno);
            return ReadOutcome::kFailed;
        }
        if (n == 0) {
            if (LooksLikeUtf16(text)) {
                reason = "UTF-16 text, not 8-bit text (save it as ANSI or UTF-8)";
                return ReadOutcome::kFailed;
            }
            return ReadOutcome::kRead;
        }
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > kMaxSettingsFileSize) {
            reason = tooLarge;
            return ReadOutcome::kFailed;
        }
    }
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
    if (path.empty() || ReadWhole(path, text, reason) != ReadOutcome::kRead) {
        return defaultValue;
    }
    return IniDocument(text).Get(section, key).value_or(defaultValue);
}

bool ReadChecked(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& defaultValue, std::string& value, std::string* reason) {
    std::string text, why;
    switch (path.empty() ? ReadOutcome::kMissing : ReadWhole(path, text, why)) {
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

bool ReadDocument(const std::string& path, IniDocument& document, std::string* reason) {
    std::string text, why;
    const ReadOutcome outcome = path.empty() ? ReadOutcome::kMissing : ReadWhole(path, text, why);
    document = IniDocument(outcome == ReadOutcome::kRead ? text : std::string());
    return outcome != ReadOutcome::kFailed || Fail(reason, why);
}

bool ReadBytes(const std::string& path, std::string& text, std::string* reason) {
    std::string why;
    switch (ReadWhole(path, text, why)) {
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
    const std::string target = os_files::ResolveLink(path);

    std::string text, why;
    const ReadOutcome outcome = ReadWhole(target, text, why);
    // Never rewrite a file that could not be read whole: that would lose its other settings.
    if (outcome == ReadOutcome::kFailed)
        return Fail(reason, why);
    // The rename below needs only the folder's permission; a file that may not be written (made
    // read-only on purpose) must stay as it is, as with an in-place write.
    if (outcome == ReadOutcome::kRead && !os_files::MayReplace(target, why))
        return Fail(reason, why);
    IniDocument doc(text);
    if (!doc.Set(section, key, value))
        return Fail(reason, "the value holds a line break");
    // A key that holds the value already: the file stays as it is (no rewrite, no flush).
    if (outcome == ReadOutcome::kRead && doc.Text() == text)
        return true;
    if (!os_files::ReplaceAtomically(target, doc.Text(), why))
        return Fail(reason, why);
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

std::string BesideConfig(const std::string& configPath, const std::string& name) {
    if (configPath.empty())
        return {};
    const std::string resolved = os_files::ResolveLink(configPath);
    // Joined with the separator the path already uses.
    const std::size_t slash = os_files::LastSeparator(resolved);
    return slash == std::string::npos ? name : resolved.substr(0, slash + 1) + name;
}

std::string SettingsPlaceProblem(const std::string& configPath) {
    if (configPath.empty())
        return {};
    std::string problem = os_files::UntrustedPlace(configPath);
    if (problem.empty())
        problem = os_files::UntrustedPlace(os_files::ResolveLink(configPath) + ".lock");
    return problem;
}

SettingsLock::SettingsLock(const std::string& configPath, int timeoutMs) {
    if (configPath.empty()) {
        m_reason = "no settings file path";
        return;
    }
    if (m_reason = SettingsPlaceProblem(configPath); !m_reason.empty())
        return;
    const std::string lockPath = os_files::ResolveLink(configPath) + ".lock";
    auto file = std::make_unique<os_files::LockFile>();
    if (!file->Open(lockPath, m_reason))
        return;  // the caller names the settings file
    // Polled rather than blocking, so that a loader that hangs while holding it cannot hang
    // every other one; the pause grows from 50 us so that a short hold costs little.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (long long pause = 50;; pause = std::min<long long>(pause * 2, 2000)) {
        std::string why;
        switch (file->TryLock(why)) {
            case os_files::LockFile::Try::kLocked:
                m_file = std::move(file);
                return;
            case os_files::LockFile::Try::kFailed:
                m_reason = "cannot lock " + lockPath + ": " + why;
                return;
            case os_files::LockFile::Try::kBusy:
                break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_reason = "another loader has held " + lockPath + " for more than " +
                       std::to_string(timeoutMs) + " ms";
            return;
        }
        os_files::SleepMicros(pause);
    }
}

SettingsLock::~SettingsLock() = default;

std::string ExecutableDirectory() {
    const std::string path = os_files::ExecutablePath();
    const std::size_t slash = os_files::LastSeparator(path);
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
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
