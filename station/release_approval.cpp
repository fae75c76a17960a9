#include "station/release_approval.h"

#include "ledger/file_sha256.h"
#include "settings/config_keys.h"
#include "settings/ini_document.h"
#include "settings/settings_store.h"

ProductionSettings ProductionSettingsOf(const IniDocument& settings) {
    namespace key = config_keys;
    auto read = [&settings](const char* name) {
        return settings.Get(key::kSection, name).value_or(std::string());
    };
    ProductionSettings production;
    production.on = settings_file::ParseInt(read(key::kProductionMode), 0) != 0;
    production.approvedSha256 = read(key::kApprovedSha256);
    production.approvedFile = read(key::kApprovedFile);
    production.supervisorHash = read(key::kSupervisorHash);
    production.shiftStart = read(key::kShiftStart);
    production.operatorBadge = read(key::kOperatorBadge);
    return production;
}

std::optional<ProductionSettings> ReadProductionSettings(const std::string& path,
                                                         std::string* reason) {
    IniDocument settings;
    if (!settings_file::ReadDocument(path, settings, reason))
        return std::nullopt;
    return ProductionSettingsOf(settings);
}

ReleaseCheck CheckRelease(const std::string& approvedSha256, const std::string& path,
                          const std::string& loadedSha256) {
    ReleaseCheck check;
    check.approved = approvedSha256;
    check.file = loadedSha256.empty() ? FileSha256(path) : loadedSha256;
    if (approvedSha256.empty())
        check.kind = ReleaseCheck::Kind::kNoneApproved;
    else if (loadedSha256.empty())
        check.kind = ReleaseCheck::Kind::kChanged;
    else if (loadedSha256 != approvedSha256)
        check.kind = ReleaseCheck::Kind::kOtherFile;
    return check;
}

std::string ReleaseRefusalText(const ReleaseCheck& check) {
    const std::string onDisk = check.file.empty() ? "cannot be read" : check.file;
    switch (check.kind) {
        case ReleaseCheck::Kind::kApproved:
            break;
        case ReleaseCheck::Kind::kNoneApproved:
            return "No release is approved: production mode programs only the approved release "
                   "(nothing was sent)\r\n";
        case ReleaseCheck::Kind::kOtherFile:
            return "Not the approved release: approved SHA-256 " + check.approved + ", this file " +
                   onDisk + " (nothing was sent)\r\n";
        case ReleaseCheck::Kind::kChanged:
            return "The file changed on disk since it was loaded: approved SHA-256 " +
                   check.approved + ", on disk " + onDisk + " (nothing was sent)\r\n";
    }
    return {};
}
