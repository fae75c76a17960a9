#include "station/programming_station.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string_view>
#include <tuple>
#include <vector>

#include "image/image_check.h"
#include "image/serial_number.h"
#include "ledger/file_sha256.h"
#include "ledger/record_journal.h"
#include "ledger/sha256.h"
#include "ledger/shared_record_store.h"
#include "settings/ini_document.h"
#include "os/os_files.h"
#include "settings/settings_store.h"

namespace {

const std::string kSection = "SETTING";

// Why the stored number `text` cannot be written at `width` bytes because of its digits:
// more than the width holds (all of the width's numbers were taken), or no number at all.
std::optional<std::string> StoredNumberProblem(const std::string& text, int width) {
    const std::size_t digits = width >= 1 && width <= 4 ? 2 * static_cast<std::size_t>(width) : 8;
    if (ShowsWhole(text, digits))
        return std::nullopt;
    std::uint32_t value = 0;
    ScanHex(text, value);
    // Past the largest number by at most one step (255): what an advance from it leaves.
    if (width >= 1 && width <= 4 && ShowsWhole(text, 8) && value > SnMaxValue(width) &&
        value - SnMaxValue(width) <= 255) {
        return "the numbers of this width are used up: SN_Current = 0x" + HexUpper(value) +
               ", max = 0x" + HexUpper(SnMaxValue(width));
    }
    return "SN_Current=" + text + " in config.ini is not 1 to " + std::to_string(digits) +
           " hexadecimal digits";
}

// What a red line says, without its layout: for a step's record.
std::string NoteText(std::string_view text) {
    const std::size_t first = text.find_first_not_of("\r\n\t -");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of("\r\n\t ");
    return std::string(text.substr(first, last + 1 - first));
}

}  // namespace

std::string SentImageSha256(const HexImage& image) {
    // The bytes sent, in the order they are sent.
    Sha256 sha;
    sha.Update({&image.data[0], 3});
    if (image.bytesMoved)
        sha.Update({image.movedBytes.data(), 3});
    const std::uint32_t from = std::max(image.start, kCodeStart);
    if (image.end > from)
        sha.Update({&image.data[from], image.end - from});
    return sha.HexDigest();
}

ProgrammingStation::ProgrammingStation(HidPlatform& platform, std::string settingsPath,
                                       StationObserver& observer, BootHost& host,
                                       StationFlags& flags)
    : m_settingsPath(std::move(settingsPath)),
      m_observer(observer),
      m_flags(flags),
      m_port(platform),
      m_protocol(m_port, host, m_strStatus, flags.cancel, flags.tick) {}

void ProgrammingStation::Log(const std::string& text, std::uint32_t color, bool timeStamp) {
    // Texts of files, modules and the system are shown and recorded without their controls,
    // stamped when made, as the front end shows it: the record keeps the same stamp.
    LogEntry entry{EscapeControls(text, Controls::kKeepLineEnds), color, timeStamp,
                   timeStamp ? m_observer.StampText() : std::string()};
    if (m_recording) {
        if (color == kLogRed && m_stepNote.empty()) {
            if (std::string note = NoteText(entry.text); note != "Fail")
                m_stepNote = std::move(note);
        }
        m_runLog.push_back(entry);
    }
    m_observer.OnLog(entry);
}

void ProgrammingStation::ReadSettings() {
    // A file that exists but cannot be read is not taken as missing: it stops every download.
    // The file is read once for every key.
    std::string why;
    IniDocument settings;
    m_settingsProblem.reset();
    os_files::VersionOf(m_settingsPath, m_seenSettings);
    if (!settings_file::ReadDocument(m_settingsPath, settings, &why)) {
        m_settingsProblem = why;
        Log("Settings cannot be read from " + m_settingsPath + ": " + why +
                ": no download until the file is mended (it is never rewritten)\r\n",
            kLogRed);
    }
    auto read = [&settings](const char* key, const std::string& fallback) {
        return settings.Get(kSection, key).value_or(fallback);
    };
    auto readInt = [&](const char* key, int fallback) {
        return settings_file::ParseInt(read(key, std::to_string(fallback)), fallback);
    };
    m_strVID = read("m_strVID_bt", m_strVID);
    m_strPID = read("m_strPID_bt", m_strPID);
    m_strPath = read("m_strPath_flash", "");
    m_bAutoReload = readInt("AutoReload", 0);
    m_bAutoSN = readInt("AutoSN", 0);
    m_strSnAddr = read("SN_StartAddr", "0");
    m_strSnValue = read("SN_Current", "0");
    m_nSnBytes = readInt("SN_Bytes", 1);
    m_nSnBytesIndex = m_nSnBytes - 1;
    const int step = readInt("SN_Step", 1);
    m_nSnStep = static_cast<unsigned>(step);
    ScanHex(m_strSnAddr, m_nSnAddr);
    ScanHex(m_strSnValue, m_nSnValue);
    m_snProblem[2].reset();
    if (const std::string stored = read("SN_Step", "1");
        step < 0 || step > 255 ||
        (!stored.empty() && settings_file::ParseInt(stored, -1) != step)) {
        // A negative step would wrap to the largest advance; text without a number is no step.
        m_snProblem[2] = "SN_Step=" + stored + " in config.ini is not a number from 0 to 255";
    }
    NoteStoredSerialProblem(false, true);
}

void ProgrammingStation::NoteStoredSerialProblem(bool onlyValue, bool log) {
    // A hand-edited text the field cannot show whole would program another number than the
    // one shown: refuse to write any until the operator enters one.
    if (!onlyValue) {
        m_snProblem[0].reset();
        if (!ShowsWhole(m_strSnAddr, 4))
            m_snProblem[0] =
                "SN_StartAddr=" + m_strSnAddr + " in config.ini is not 1 to 4 hexadecimal digits";
    }
    m_snProblem[1] = StoredNumberProblem(m_strSnValue, m_nSnBytes);
    if (!log)
        return;
    for (const std::optional<std::string>& problem : m_snProblem) {
        if (problem) {
            Log(*problem + ": no serial number is written until a valid one is entered\r\n",
                kLogRed);
            return;
        }
    }
}

void ProgrammingStation::FollowSettings() {
    os_files::FileVersion now;
    os_files::VersionOf(m_settingsPath, now);
    if (now == m_seenSettings)
        return;
    m_seenSettings = now;
    if (m_settingsProblem) {
        SettingsReadable();
        return;
    }
    std::string text;
    if (!settings_file::ReadChecked(m_settingsPath, kSection, "SN_Current", "0", text, nullptr) ||
        text == m_strSnValue)
        return;
    // Another front end on this config.ini moved the number on (or the file was edited).
    m_strSnValue = text;
    ScanHex(m_strSnValue, m_nSnValue);
    m_counterEdit.reset();
    NoteStoredSerialProblem(true, true);
    m_observer.OnFieldsChanged();
}

bool ProgrammingStation::SettingsReadable() {
    if (!m_settingsProblem)
        return true;
    std::string text;
    if (!settings_file::ReadChecked(m_settingsPath, kSection, "SN_Current", "0", text, nullptr))
        return false;
    // Mended: take every setting from it, as at a start.
    ReadSettings();
    if (m_settingsProblem)
        return false;
    Log("Settings read again from " + m_settingsPath + "\r\n", kLogGreen);
    ApplyBootloaderId();
    m_observer.OnFieldsChanged();
    return true;
}

void ProgrammingStation::SaveSetting(const std::string& key, const std::string& value) {
    std::string reason;
    if (settings_file::Write(m_settingsPath, kSection, key, value, &reason)) {
        m_settingsFailure.reset();
        return;
    }
    if (m_settingsFailure == reason)
        return;
    m_settingsFailure = reason;
    Log("Settings not saved: cannot write " + m_settingsPath + ": " + reason + "\r\n", kLogRed);
    m_observer.OnSettingsSaveFailed(m_settingsPath, reason);
}

void ProgrammingStation::SaveSettingInt(const std::string& key, int value) {
    SaveSetting(key, std::to_string(value));
}

void ProgrammingStation::NoteAccessProblem() {
    const std::optional<HidAccessProblem>& problem = m_port.AccessProblem();
    if (problem == m_reportedAccess)
        return;
    m_reportedAccess = problem;
    if (!problem)
        return;
    Log("The module at " + problem->path + " cannot be opened: " + problem->reason +
            ". Install the udev rule 70-pravune-bootloader.rules (see README), then "
            "plug the module in again.\r\n",
        kLogRed);
}

void ProgrammingStation::ApplyBootloaderId() {
    bool changed = false;
    for (auto [text, number, key] : {std::tuple{&m_strVID, &m_nVID, "m_strVID_bt"},
                                     std::tuple{&m_strPID, &m_nPID, "m_strPID_bt"}}) {
        if (text->size() != 4)
            continue;
        unsigned v = *number;
        ParseHex4(*text, v);
        *number = v;
        SaveSetting(key, *text);
        changed = true;
    }
    if (!changed || m_port.IsTarget(m_nPID, m_nVID))
        return;
    m_port.SetTarget(m_nPID, m_nVID);
    NoteAccessProblem();
}

void ProgrammingStation::RefreshStatus() {
    if (m_port.Refresh()) {
        m_strDeviceSN = m_port.GetSerialText();
        const std::string uid = Latin1ToUtf8(m_strDeviceSN);
        m_observer.OnStatus("SN: " + uid, kStatusFound, true, uid);
    } else {
        m_strDeviceSN.clear();
        m_observer.OnStatus("Disconnected", kStatusAbsent, false, {});
    }
    NoteAccessProblem();
}

bool ProgrammingStation::LoadHexFile(const std::string& path) {
    const LoadReport report = LoadImageFile(path, m_image, m_strStatus);
    fileName = report.fileName;
    for (const LogEntry& entry : report.log)
        Log(entry.text, entry.color, entry.timeStamp);
    m_observer.OnImageLoaded(report, m_image.makerFormat);
    return m_image.valid;
}

SerialPlanSnapshot ProgrammingStation::PlanSnapshot() const {
    return {m_strSnAddr, m_strSnValue, m_nSnAddr, m_nSnValue};
}

void ProgrammingStation::OnSnFieldsChanged(const SerialPlanSnapshot& before, SnField edited) {
    // From here on the edited field is what it shows.
    if (edited == SnField::kAddress)
        m_snProblem[0].reset();
    if (edited == SnField::kValue)
        m_snProblem[1].reset();
    if (edited == SnField::kStep)
        m_snProblem[2].reset();
    // A typed number is cut with the width in force before this change. An edit of another
    // field leaves the number as config.ini has it.
    const std::size_t digits = static_cast<std::size_t>(std::max(0, 2 * m_nSnBytes));
    if (edited == SnField::kValue && m_strSnValue.size() > digits)
        m_strSnValue.resize(digits);
    for (std::string* text : {&m_strSnAddr, &m_strSnValue}) {
        for (char& c : *text) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        FilterHexDigits(*text);
    }
    m_nSnBytes = m_nSnBytesIndex + 1;
    try {
        ScanHex(m_strSnAddr, m_nSnAddr);
        ScanHex(m_strSnValue, m_nSnValue);
        const std::uint32_t highest = m_image.capacity - static_cast<std::uint32_t>(m_nSnBytes);
        if (m_strSnAddr.size() == 4) {
            if (m_nSnAddr > highest) {
                m_observer.OnWarning("SN Address cannot exceed 0x" + Hex04(highest));
                m_strSnAddr = before.addrText;
                m_nSnAddr = before.addr;
            } else if (m_nSnAddr < kSnLowestAddress) {
                m_observer.OnWarning("SN Address cannot in reserved Range: 0x" + Hex04(0) +
                                     " ~ 0x" + Hex04(kSnLowestAddress - 1));
                m_strSnAddr = before.addrText;
                m_nSnAddr = before.addr;
            }
        }
        if (m_nSnValue > SnMaxValue(m_nSnBytes)) {
            m_observer.OnWarning("SN cannot exceed 0x" + Hex04(SnMaxValue(m_nSnBytes)));
            m_strSnValue = before.valueText;
            m_nSnValue = before.value;
        }
        switch (edited) {
            case SnField::kAddress:
                SaveSetting("SN_StartAddr", m_strSnAddr);
                break;
            case SnField::kValue:
                if (m_nSnValue != before.value)
                    m_counterEdit = m_nSnValue;
                SaveSetting("SN_Current", m_strSnValue);
                break;
            case SnField::kWidth:
                SaveSettingInt("SN_Bytes", m_nSnBytes);
                break;
            case SnField::kStep:
                SaveSettingInt("SN_Step", static_cast<int>(m_nSnStep));
                break;
        }
    } catch (const std::exception&) {
        m_observer.OnWarning("Input invalid!");
    }
}

void ProgrammingStation::SetBusy(bool busy) {
    // The cancel flag is the front end's: a Stop (Ctrl+C) that came before the download began
    // still stops it.
    m_bBusy = busy;
    m_observer.OnBusy(busy);
}

bool ProgrammingStation::CheckSerialNumber() {
    Log("Check Serial Number ... ", kLogBlack, true);
    for (const std::optional<std::string>& problem : m_snProblem) {
        if (problem) {
            Log("\r\n\t- " + *problem + "\r\n", kLogRed);
            return false;
        }
    }
    // A width outside 1 to 4 (a hand-edited config.ini) has no largest number and no flash form.
    if (m_nSnBytes < 1 || m_nSnBytes > 4) {
        Log("\r\n\t- Width Invalid: bytes = " + std::to_string(m_nSnBytes) + ", allowed 1 ~ 4\r\n",
            kLogRed);
        return false;
    }
    // The number must also end inside the image, not only begin there.
    if (m_nSnAddr >= m_image.capacity || m_nSnAddr < kSnLowestAddress ||
        m_nSnAddr + static_cast<std::uint32_t>(m_nSnBytes) > m_image.capacity) {
        Log("\r\n\t- Address Overrange: address = 0x" + HexUpper(m_nSnAddr) + "\r\n", kLogRed);
        Log("\t- Available Range = 0x" + HexUpper(kSnLowestAddress) + " ~ 0x" +
                HexUpper(m_image.end - 1) + "\r\n",
            kLogRed);
        return false;
    }
    if (m_nSnValue > SnMaxValue(m_nSnBytes)) {
        Log("\r\n\t- Overflow: SN = 0x" + HexUpper(m_nSnValue) + ", max = 0x" +
                HexUpper(SnMaxValue(m_nSnBytes)) + "\r\n",
            kLogRed);
        return false;
    }
    // Flash only clears bits: a number over the image's own bytes would corrupt both.
    const std::uint32_t snEnd = m_nSnAddr + static_cast<std::uint32_t>(m_nSnBytes);
    if (const std::optional<std::uint32_t> at = FirstProgrammedAddress(m_image, m_nSnAddr, snEnd)) {
        Log("\r\n\t- Overlap: the serial number at 0x" + HexUpper(m_nSnAddr) + " ~ 0x" +
                HexUpper(snEnd - 1) + " would be written over the image's byte at 0x" +
                HexUpper(*at) + "\r\n",
            kLogRed);
        return false;
    }
    Log("\tDone\r\n", kLogGreen);
    return true;
}

bool ProgrammingStation::PlanFits() {
    return m_bAutoSN == 0 || m_image.makerFormat || CheckSerialNumber();
}

bool ProgrammingStation::StepResult(bool ok) {
    Log(ok ? "Done\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    return ok;
}

bool ProgrammingStation::OpenRecords(std::string* reason) {
    if (m_records)
        return true;
    if (m_shared) {
        m_database = m_shared->Choice();
        m_records = m_shared->Handle(reason);
        return m_records != nullptr;
    }
    m_database = ChooseDatabase(m_settingsPath);
    m_records = OpenChosenRecordStore(m_database, m_settingsPath, reason);
    return m_records != nullptr;
}

CounterStation ProgrammingStation::Station() const {
    return {m_record.stationHost, m_record.stationFolder};
}

bool ProgrammingStation::KeepForLater(std::int64_t id, std::optional<SerialState> state,
                                      bool finish, std::string* reason) {
    JournalEntry entry{JournalDatabaseKey(m_database), id, state, std::nullopt, 0};
    if (finish)
        entry.finish = m_record;
    if (KeepInJournal(m_settingsPath, entry, reason)) {
        if (m_recordEnd == RecordEnd::kWritten)
            m_recordEnd = RecordEnd::kKeptForLater;
        return true;
    }
    m_recordEnd = RecordEnd::kLost;
    return false;
}

void ProgrammingStation::CatchUpRecords() {
    const Completion done =
        CompleteEarlierRecords(*m_records, m_settingsPath, JournalDatabaseKey(m_database),
                               ThisStationProcess(m_settingsPath), !m_closedInterrupted);
    m_closedInterrupted = m_closedInterrupted || done.closedInterrupted;
    for (const CompletionNote& note : done.notes)
        Log(note.text + "\r\n", note.ok ? kLogGreen : kLogRed);
}

bool ProgrammingStation::BeginRecord() {
    m_record = DownloadRecord{};
    m_recordEnd = RecordEnd::kWritten;
    m_recordRefusal.clear();
    m_record.startUtc = UtcNowIso();
    // The station is its config.ini (every installed station runs from /usr/bin), on its host,
    // in this process and boot.
    const StationProcess self = ThisStationProcess(m_settingsPath);
    m_record.stationHost = self.host;
    m_record.stationConfig = self.config;
    const std::size_t slash = os_files::LastSeparator(self.config);
    m_record.stationFolder =
        slash == std::string::npos ? std::string() : self.config.substr(0, slash);
    m_record.processId = self.processId;
    m_record.bootId = self.bootId;
    m_record.loaderVersion = PRAVUNE_VERSION;
    m_record.hexPath = m_strPath;
    m_record.hexFile = os_files::AbsolutePath(m_strPath);
    // The bytes of the file the image came from, as `sha256sum` shows them.
    m_record.fileSha256 = HexFileSha256(m_strPath, m_image);
    if (m_image.valid) {
        m_record.imageSha256 = SentImageSha256(m_image);
        m_record.imageStart = m_image.start;
        m_record.imageEnd = m_image.end;
    }
    m_record.format = m_image.makerFormat ? "maker" : "plain";
    std::string reason;
    if (OpenRecords(&reason)) {
        CatchUpRecords();
        if ((m_record.id = m_records->BeginDownload(m_record, &reason)) != 0)
            return true;
    }
    // Opened again at the next download, when the database may be back; a connection
    // reconnects by itself.
    if (!m_records || !m_records->LostConnection())
        m_records.reset();
    m_recordRefusal = "The download cannot be recorded in " + m_database.name + ": " + reason;
    Log(m_recordRefusal + "\r\n", kLogRed);
    return false;
}

void ProgrammingStation::FinishRecord(bool ok, const std::string& failedStep,
                                      std::int64_t durationMs) {
    // Filled also when nothing could be recorded: the front end reports the download from it.
    // A download refused for want of its record is recorded whole, later.
    const bool whole = m_record.id == 0 && !m_recordRefusal.empty();
    m_record.endUtc = UtcNowIso();  // the true end, also when the end is written later
    m_record.verdict = ok ? "succeeded" : "failed";
    m_record.outcome = OutcomeClass(ok, failedStep);
    m_record.failedStep = ok ? std::string() : failedStep;
    // The failing step's own text: what it left in the status, else its first red line.
    m_record.statusText = ok ? std::string() : !m_strStatus.empty() ? m_strStatus : m_stepNote;
    m_record.durationMs = durationMs;
    if (!whole && (!m_records || m_record.id == 0))
        return;
    m_record.log = m_runLog;
    if (whole) {
        m_record.failedStep = "record";
        m_record.statusText = NoteText(m_recordRefusal);
        std::string why;
        const JournalEntry entry{JournalDatabaseKey(m_database), 0, std::nullopt, m_record, 0};
        const bool later = KeepInJournal(m_settingsPath, entry, &why);
        m_observer.OnLog(
            {later ? "\t- This refusal is kept for later: it is recorded at the "
                     "next download that reaches " +
                         m_database.name + "\r\n"
                   : "\t- This refusal could not be kept for later either: " + why + "\r\n",
             kLogRed, false});
        return;
    }
    std::string reason;
    if (!m_records->FinishDownload(m_record, &reason)) {
        // Kept in the journal beside config.ini: the next station on it writes it.
        std::string why;
        const bool later = KeepForLater(m_record.id, std::nullopt, true, &why);
        m_observer.OnLog({"\t- The end of this download was not recorded: " + reason +
                              (later ? " (kept for later: it is recorded at the next download)"
                                     : " (and it could not be kept for later: " + why + ")") +
                              "\r\n",
                          kLogRed, false});
    }
}

bool ProgrammingStation::GivenBefore(std::uint32_t value) {
    return m_records->FindSerial({m_nSnAddr, m_nSnBytes}, value, nullptr).has_value();
}

std::string ProgrammingStation::OutcomeClass(bool ok, const std::string& failedStep) const {
    if (ok)
        return "succeeded";
    switch (m_outcome) {
        case DownloadOutcome::kBadInput:
            return "refused";
        case DownloadOutcome::kNotRecorded:
            return "not_recorded";
        case DownloadOutcome::kSucceeded:
        case DownloadOutcome::kFailed:
        case DownloadOutcome::kStopped:
            break;
    }
    // The handshake ends only with an answer or a cancel: without an answer, was a module
    // there to give one?
    if (failedStep == "handshake") {
        if (m_port.AccessProblem())
            return "no_access";
        if (!m_port.IsOpen())
            return "no_module";
    }
    return m_outcome == DownloadOutcome::kStopped ? "stopped" : "failed";
}

std::optional<std::uint32_t> ProgrammingStation::TakeSharedSerial(SerialRefusal& refusal) {
    const SerialPlanKey plan{m_nSnAddr, m_nSnBytes};
    if (m_counterEdit) {
        if (!m_records->SetCounter(plan, *m_counterEdit, m_nSnStep, Station(), &refusal.reason))
            return std::nullopt;
        m_counterEdit.reset();
    }
    const std::optional<TakenSerial> taken =
        m_records->TakeSerial(m_record.id, plan, m_nSnValue, m_nSnStep, Station(), &refusal.reason);
    if (!taken) {
        // The counter's next number given before (an edit set it back) is the plan's fault.
        std::optional<SerialCounter> counter;
        refusal.plan = !m_records->LostConnection() &&
                       m_records->ReadCounter(plan, counter, nullptr) && counter &&
                       GivenBefore(counter->next);
        return std::nullopt;
    }
    if (taken->value > SnMaxValue(m_nSnBytes)) {
        // No module can carry it: given up at once, and the download refused.
        std::string why;
        if (!m_records->SetSerialState(m_record.id, SerialState::kUsedUp, &why))
            KeepForLater(m_record.id, SerialState::kUsedUp, false, &why);
        refusal.reason = "the numbers of this width are used up: the counter gave 0x" +
                         HexUpper(taken->value) + ", max = 0x" + HexUpper(SnMaxValue(m_nSnBytes));
        refusal.plan = true;
        return std::nullopt;
    }
    m_nSnValue = taken->value;
    m_strSnValue = SerialText(taken->value, m_nSnBytes);
    m_observer.OnFieldsChanged();
    m_nSnValue = taken->next;
    m_strSnValue = SerialText(taken->next, m_nSnBytes);
    // config.ini mirrors the counter as this station last left it; the number is recorded on
    // the server whether or not the mirror is saved.
    std::string why;
    if (settings_file::Write(m_settingsPath, kSection, "SN_Current", m_strSnValue, &why)) {
        m_settingsFailure.reset();
    } else {
        Log("\t- The next serial number " + m_strSnValue + " was not saved to " + m_settingsPath +
                ": " + why + "\r\n",
            kLogRed);
    }
    return taken->value;
}

void ProgrammingStation::ShowSharedCounter() {
    if (!m_database.shared() || !m_records || m_records->LostConnection() || m_counterEdit)
        return;
    std::optional<SerialCounter> counter;
    std::string reason;
    if (!m_records->ReadCounter({m_nSnAddr, m_nSnBytes}, counter, &reason) || !counter ||
        counter->next == m_nSnValue || counter->next > SnMaxValue(m_nSnBytes))
        return;
    m_nSnValue = counter->next;
    m_strSnValue = SerialText(counter->next, m_nSnBytes);
    m_observer.OnFieldsChanged();
}

std::optional<std::uint32_t> ProgrammingStation::ReserveSerial(SerialRefusal& refusal) {
    if (m_database.shared() && m_nSnStep != 0)
        return TakeSharedSerial(refusal);
    std::string& reason = refusal.reason;
    const SettingsLock lock(m_settingsPath);
    if (!lock.held()) {
        reason = "cannot lock " + m_settingsPath + ": " + lock.reason();
        return std::nullopt;
    }
    // Another loader on this config.ini may have taken numbers since this one read it.
    std::string text;
    if (!settings_file::ReadChecked(m_settingsPath, kSection, "SN_Current", "0", text, &reason)) {
        reason = "cannot read " + m_settingsPath + ": " + reason;
        return std::nullopt;
    }
    const std::uint32_t max = SnMaxValue(m_nSnBytes);
    std::uint32_t value = 0;
    ScanHex(text, value);
    refusal.plan = true;
    if (std::optional<std::string> problem = StoredNumberProblem(text, m_nSnBytes)) {
        reason = *problem;
        return std::nullopt;
    }
    if (value > max) {
        reason = "Overflow: SN = 0x" + HexUpper(value) + ", max = 0x" + HexUpper(max);
        return std::nullopt;
    }
    refusal.plan = false;
    const std::uint32_t next = AdvanceSerial(value, m_nSnStep);
    const std::string nextText = SerialText(next, m_nSnBytes);
    auto save = [&](std::string* why) {
        if (settings_file::WriteHeld(m_settingsPath, kSection, "SN_Current", nextText, why))
            return true;
        *why = "cannot write " + m_settingsPath + ": " + *why;
        return false;
    };
    // A step of 0 writes one value into every module on purpose: nothing to take.
    if (m_nSnStep != 0 &&
        !m_records->ReserveSerial(m_record.id, {m_nSnAddr, m_nSnBytes}, value, save, &reason)) {
        refusal.plan = !m_records->LostConnection() && GivenBefore(value);
        return std::nullopt;
    }
    m_nSnValue = value;
    m_strSnValue = SerialText(value, m_nSnBytes);
    m_observer.OnFieldsChanged();
    m_nSnValue = next;
    m_strSnValue = nextText;
    return value;
}

bool ProgrammingStation::Download() {
    m_observer.OnClearLog();
    SetBusy(true);
    m_runLog.clear();
    m_recording = true;
    const auto started = std::chrono::steady_clock::now();

    bool ok = true;
    StepName step(*this, "load");
    std::optional<std::string> snNotSaved;
    std::optional<std::uint32_t> taken;
    bool snWritten = false;
    m_outcome = DownloadOutcome::kBadInput;
    m_lastSerial.reset();
    m_changedModule = false;
    // A config.ini that cannot be read has given no plan: nothing is programmed until it can.
    const bool settingsRead = SettingsReadable();
    const bool plan = m_bAutoSN != 0;
    if (settingsRead && (m_bAutoReload || !m_image.valid)) {
        m_image.valid = false;
        ok = LoadHexFile(m_strPath);
    }
    // Every attempt is recorded, and nothing is sent to a module that could not be.
    if (!BeginRecord()) {
        ok = false;
        m_outcome = DownloadOutcome::kNotRecorded;
    }
    if (ok && !settingsRead) {
        step = "settings";
        Log("Settings cannot be read from " + m_settingsPath + ": " + *m_settingsProblem +
                ": no download until the file is mended\r\n",
            kLogRed);
        ok = false;
        m_outcome = DownloadOutcome::kNotRecorded;
    }
    const bool writeSerial = plan && !m_image.makerFormat;
    if (ok && writeSerial) {
        step = "serial number check";
        ok = CheckSerialNumber();
    }
    if (ok)
        m_outcome = DownloadOutcome::kFailed;
    if (ok) {
        step = "handshake";
        Log("Handshake ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.Handshake(m_image.makerFormat ? 1 : 0));
        if (ok) {
            // The module that answered is the one programmed to the end.
            m_port.HoldToOpenModule();
            RefreshStatus();
            Log("\t- Device UID = " + Latin1ToUtf8(m_strDeviceSN) + "\r\n", kLogGreen);
            if (m_port.Held()) {
                m_record.moduleUid = Latin1ToUtf8(m_port.Held()->uid);
                m_record.portPath = m_port.Held()->port;
            }
        }
    }
    if (ok && writeSerial) {
        // Taken before the erase: whatever refuses a number leaves the module untouched.
        step = "take serial number";
        SerialRefusal refusal;
        taken = ReserveSerial(refusal);
        if (!taken) {
            Log("\t- No serial number for this module: " + refusal.reason +
                    " (nothing was written to it)\r\n",
                kLogRed);
            m_outcome = refusal.plan ? DownloadOutcome::kBadInput : DownloadOutcome::kNotRecorded;
            ok = false;
        }
    }
    if (ok) {
        step = "erase";
        m_changedModule = true;
        Log("Erase ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.EraseDevice());
        if (ok)
            m_observer.OnProgressShown(true);
    }
    if (ok) {
        step = "write flash";
        Log("Write Flash ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.WriteFlash(m_image));
    }
    if (ok && writeSerial) {
        step = "write serial number";
        Log("Write Serial Number ... \t", kLogBlack, true);
        const std::vector<std::uint8_t> bytes = SerialBytes(*taken, m_nSnBytes);
        const std::uint32_t end = m_nSnAddr + static_cast<std::uint32_t>(bytes.size());
        ok = StepResult(m_protocol.WriteBlocks(CMD_WRITE, bytes.data(), m_nSnAddr, end));
        // A Stop honoured after the module acknowledged the number leaves it in the module.
        snWritten = m_protocol.HeldEnd() == end;
        if (snWritten && m_nSnStep == 0) {
            // One number for every module: no ledger row, so the record itself holds it.
            m_record.hasSerial = true;
            m_record.serialPlan = {m_nSnAddr, m_nSnBytes};
            m_record.serialValue = *taken;
            m_record.serialState = SerialState::kWritten;
        }
        if (snWritten) {
            Log("\t- Address = 0x" + HexUpper(m_nSnAddr) + ", SN = 0x" + HexUpper(*taken) + "\r\n",
                kLogGreen);
        }
    }
    if (ok) {
        step = "run";
        Log("Run Device ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.RunDevice());
        if (ok)
            m_observer.OnProgressShown(false);
    }
    if (ok && plan && !writeSerial) {
        // The maker's format writes no number; the plan still advances after the run.
        m_nSnValue = AdvanceSerial(m_nSnValue, m_nSnStep);
        m_strSnValue = SerialText(m_nSnValue, m_nSnBytes);
        std::string reason;
        if (settings_file::Write(m_settingsPath, kSection, "SN_Current", m_strSnValue, &reason)) {
            m_settingsFailure.reset();
        } else {
            snNotSaved = reason;
        }
    }
    if (const std::optional<ModuleIdentity>& other = m_port.Replacement(); other && !ok) {
        Log("\t- Another module (" + Latin1ToUtf8(other->uid) + " at " + other->port +
                ") took the place of " + Latin1ToUtf8(m_port.Held()->uid) +
                ": nothing more was written to it\r\n",
            kLogRed);
    } else if (m_port.HeldModuleLeft() && !ok) {
        Log("\t- The module left the bus during the download: nothing more was written to it\r\n",
            kLogRed);
    }
    m_port.Release();
    if (taken) {
        m_lastSerial = TakenSerialNumber{{m_nSnAddr, m_nSnBytes},
                                         *taken,
                                         snWritten ? SerialState::kWritten : SerialState::kUsedUp};
    }
    if (taken && m_nSnStep != 0) {
        std::string reason;
        const SerialState state = snWritten ? SerialState::kWritten : SerialState::kUsedUp;
        if (!m_records->SetSerialState(m_record.id, state, &reason)) {
            // The number stays recorded as reserved, never given again; its state is kept in
            // the journal beside config.ini and recorded at the next download.
            std::string why;
            const bool later = KeepForLater(m_record.id, state, false, &why);
            Log("\t- The serial number's state was not recorded: " + reason +
                    (later ? " (it is recorded at the next download)"
                           : " (and it could not be kept for later: " + why + ")") +
                    "\r\n",
                kLogRed);
        }
        if (!snWritten) {
            Log("\t- Serial number 0x" + HexUpper(*taken) +
                    " is used up: it is never given to another module\r\n",
                kLogRed);
        }
    }
    if ((ok && plan) || taken)
        m_observer.OnFieldsChanged();  // the next number
    else if (plan && writeSerial)
        ShowSharedCounter();
    Log("Download --- \t\t", kLogBlack, true);
    Log(ok ? "Succeed\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    if (snNotSaved) {
        Log("\t- The next serial number " + m_strSnValue + " was not saved to " + m_settingsPath +
                ": " + *snNotSaved + "\r\n",
            kLogRed);
    }
    m_recording = false;
    if (ok)
        m_outcome = DownloadOutcome::kSucceeded;
    else if (m_flags.cancel && m_outcome == DownloadOutcome::kFailed)
        m_outcome = DownloadOutcome::kStopped;
    FinishRecord(ok, step,
                 std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)
                     .count());
    SetBusy(false);
    return ok;
}
