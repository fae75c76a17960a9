#include "station/station_settings.h"

#include <tuple>

#include "ledger/record_journal.h"
#include "settings/config_keys.h"
#include "settings/ini_document.h"
#include "settings/settings_store.h"
#include "text/log_entry.h"

namespace {

using config_keys::kSection;
// How old a temporary file of a replace must be to be taken for a killed loader's.
constexpr std::int64_t kStaleTemporarySeconds = 60;

}  // namespace

StationSettings::StationSettings(std::string path, SerialPlan& plan, StationObserver& observer,
                                 LogFn log)
    : m_path(std::move(path)), m_plan(plan), m_observer(observer), m_log(std::move(log)) {}

StoredSettings StationSettings::Read() {
    namespace key = config_keys;
    // What a loader killed in the middle of a replace left beside config.ini and the journal.
    for (const std::string& file : {os_files::ResolveLink(m_path), RecordJournalPathFor(m_path)})
        os_files::RemoveStaleTemporaries(file, kStaleTemporarySeconds);
    // A file that exists but cannot be read is not taken as missing: it stops every download.
    // The file is read once for every key.
    std::string why;
    IniDocument settings;
    m_problem.reset();
    os_files::VersionOf(m_path, m_seen);
    if (!settings_file::ReadDocument(m_path, settings, &why)) {
        m_problem = why;
        m_log("Settings cannot be read from " + m_path + ": " + why +
                  ": no download until the file is mended (it is never rewritten)\r\n",
              kLogRed);
    }
    auto read = [&settings](const char* name, const std::string& fallback) {
        return settings.Get(kSection, name).value_or(fallback);
    };
    auto readInt = [&](const char* name, int fallback) {
        return settings_file::ParseInt(read(name, std::to_string(fallback)), fallback);
    };
    StoredSettings stored;
    stored.vid = read(key::kVid, key::kDefaultVidText);
    stored.pid = read(key::kPid, key::kDefaultPidText);
    stored.path = read(key::kHexPath, "");
    stored.autoReload = readInt(key::kAutoReload, key::kDefaultAutoReload);
    stored.autoSn = readInt(key::kAutoSn, key::kDefaultAutoSn);
    stored.snAddr = read(key::kSnAddress, key::kDefaultSnAddress);
    stored.snValue = read(key::kSnValue, key::kDefaultSnValue);
    stored.snBytes = readInt(key::kSnBytes, key::kDefaultSnBytes);
    const int step = readInt(key::kSnStep, key::kDefaultSnStep);
    stored.snStep = static_cast<unsigned>(step);
    m_hexPath = stored.path;
    m_autoReload = stored.autoReload != 0;
    m_storedNumber = stored.snValue;
    m_plan.TakeStored(stored.autoSn != 0, stored.snAddr, stored.snValue, stored.snBytes,
                      read(key::kSnStep, std::to_string(key::kDefaultSnStep)), step);
    LogPlanProblem();
    m_observer.OnSettingsRead(stored);
    return stored;
}

void StationSettings::LogPlanProblem() {
    if (const std::optional<std::string> problem = m_plan.StoredProblem())
        m_log(*problem + ": no serial number is written until a valid one is entered\r\n", kLogRed);
}

void StationSettings::ShowNumber(const std::string& stored) {
    m_storedNumber = stored;
    m_observer.OnSerialNumber(m_plan.ValueText());
}

StationSettings::Readable StationSettings::Follow(StoredSettings* mended) {
    os_files::FileVersion now;
    os_files::VersionOf(m_path, now);
    if (now == m_seen)
        return Readable::kYes;
    m_seen = now;
    if (m_problem)
        return CheckReadable(mended);
    std::string text;
    if (!settings_file::ReadChecked(m_path, kSection, config_keys::kSnValue,
                                    config_keys::kDefaultSnValue, text, nullptr) ||
        text == m_storedNumber)
        return Readable::kYes;
    // Another front end on this config.ini moved the number on (or the file was edited): the
    // field shows the text as config.ini has it.
    m_plan.TakeStoredValue(text);
    LogPlanProblem();
    m_storedNumber = text;
    m_observer.OnSerialNumber(text);
    return Readable::kYes;
}

StationSettings::Readable StationSettings::CheckReadable(StoredSettings* mended) {
    if (!m_problem)
        return Readable::kYes;
    std::string text;
    if (!settings_file::ReadChecked(m_path, kSection, config_keys::kSnValue,
                                    config_keys::kDefaultSnValue, text, nullptr))
        return Readable::kNo;
    // Mended: take every setting from it, as at a start.
    const StoredSettings stored = Read();
    if (m_problem)
        return Readable::kNo;
    m_log("Settings read again from " + m_path + "\r\n", kLogGreen);
    if (mended)
        *mended = stored;
    return Readable::kMended;
}

void StationSettings::Save(const std::string& key, const std::string& value) {
    std::string reason;
    if (settings_file::Write(m_path, kSection, key, value, &reason)) {
        m_saveFailure.reset();
        return;
    }
    if (m_saveFailure == reason)
        return;
    m_saveFailure = reason;
    m_log("Settings not saved: cannot write " + m_path + ": " + reason + "\r\n", kLogRed);
    m_observer.OnSettingsSaveFailed(m_path, reason);
}

Status StationSettings::SaveNumber(const std::string& text) {
    std::string reason;
    if (!settings_file::Write(m_path, kSection, config_keys::kSnValue, text, &reason))
        return FailedWith(reason);
    m_saveFailure.reset();
    return Succeeded();
}

bool StationSettings::TakeBootloaderId(const std::string& vidText, const std::string& pidText) {
    bool changed = false;
    for (auto [text, number, key] : {std::tuple{&vidText, &m_vid, config_keys::kVid},
                                     std::tuple{&pidText, &m_pid, config_keys::kPid}}) {
        if (text->size() != 4)
            continue;
        unsigned v = *number;
        ParseHex4(*text, v);
        *number = v;
        Save(key, *text);
        changed = true;
    }
    return changed;
}
