#pragma once

#include <optional>
#include <string>

class IniDocument;

// The production mode's settings as config.ini keeps them (the keys in settings/config_keys.h).
struct ProductionSettings {
    bool on = false;
    std::string approvedSha256;  // the approved release: the SHA-256 of its file's bytes
    std::string approvedFile;    // that file's name when it was approved (shown, never trusted)
    std::string supervisorHash;  // the supervisor's passphrase as its salted slow hash
    std::string shiftStart;      // when the operator's shift began, ISO 8601 UTC ("" for none)
    std::string operatorBadge;   // typed or scanned at the shift's start
};

// The production settings of a document (a value that is no number counts as off).
ProductionSettings ProductionSettingsOf(const IniDocument& settings);
// The production settings of the config.ini at `path` as it is now; nothing, with the reason,
// when the file exists and cannot be read.
std::optional<ProductionSettings> ReadProductionSettings(const std::string& path,
                                                         std::string* reason);

// Whether a file may be programmed in production mode: only the approved release, as its bytes
// are on disk now and as the image was loaded from them.
struct ReleaseCheck {
    enum class Kind {
        kApproved,
        kNoneApproved,  // production mode is on, yet no release was approved
        kOtherFile,     // the file's bytes are not the approved release's
        kChanged,       // the file on disk no longer gives the image loaded from it
    };
    Kind kind = Kind::kApproved;
    std::string approved;  // the approved SHA-256
    std::string file;      // the file's SHA-256 on disk now ("" when it cannot be read)
    bool ok() const { return kind == Kind::kApproved; }
};

// Checks the image loaded from `path` against the approved SHA-256. `loadedSha256` is the file's
// SHA-256 provided its bytes still give the image (HexFileSha256), computed by the caller once.
ReleaseCheck CheckRelease(const std::string& approvedSha256, const std::string& path,
                          const std::string& loadedSha256);

// The one red line (ended with "\r\n") that refuses a file, naming both hashes.
std::string ReleaseRefusalText(const ReleaseCheck& check);
