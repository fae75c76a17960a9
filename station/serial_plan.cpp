#include "station/serial_plan.h"

#include <algorithm>
#include <exception>

#include "image/image_check.h"
#include "image/serial_number.h"
#include "settings/config_keys.h"
#include "settings/settings_store.h"
#include "station/record_texts.h"
#include "station/serial_reservation.h"
#include "text/log_entry.h"

namespace {

using config_keys::kSection;

// A refusal of the number itself, in the operator's words, in place of the record's reason;
// whether the number was given before (the plan's fault, not the record's).
bool TakeConflict(const RecordStore& records, std::string& reason) {
    const SerialConflict conflict = records.LastConflict();
    if (conflict.kind == SerialConflict::Kind::kNone)
        return false;
    reason = SerialConflictText(conflict);
    return conflict.kind == SerialConflict::Kind::kGivenBefore;
}

class ConfigIniSerials final : public SerialNumberSource {
  public:
    std::optional<TakenNumber> Take(const SerialPlanNumbers& plan, SerialTakeContext& context,
                                    SerialRefusal& refusal) override {
        std::string& reason = refusal.reason;
        const std::string& path = context.settingsPath;
        const SettingsLock lock(path);
        if (!lock.held()) {
            reason = "cannot lock " + path + ": " + lock.reason();
            return std::nullopt;
        }
        // Another loader on this config.ini may have taken numbers since this one read it.
        std::string text;
        if (!settings_file::ReadChecked(path, kSection, config_keys::kSnValue,
                                        config_keys::kDefaultSnValue, text, &reason)) {
            reason = "cannot read " + path + ": " + reason;
            return std::nullopt;
        }
        const std::uint32_t max = SnMaxValue(plan.width);
        std::uint32_t value = 0;
        ScanHex(text, value);
        refusal.plan = true;
        if (std::optional<std::string> problem = StoredNumberProblem(text, plan.width)) {
            reason = *problem;
            return std::nullopt;
        }
        if (value > max) {
            reason = "Overflow: SN = 0x" + HexUpper(value) + ", max = 0x" + HexUpper(max);
            return std::nullopt;
        }
        refusal.plan = false;
        const std::uint32_t next = AdvanceSerial(value, plan.step);
        const std::string nextText = SerialText(next, plan.width);
        auto save = [&](std::string* why) {
            if (settings_file::WriteHeld(path, kSection, config_keys::kSnValue, nextText, why))
                return true;
            *why = "cannot write " + path + ": " + *why;
            return false;
        };
        // A step of 0 writes one value into every module on purpose: nothing to take.
        RecordFailure failure;
        if (plan.step != 0 &&
            !context.records.ReserveSerial(context.recordId, plan.Key(), value, save, &failure)) {
            reason = RecordFailureText(failure);
            refusal.plan = TakeConflict(context.records, reason);
            return std::nullopt;
        }
        return TakenNumber{value, next, {}};
    }
};

class ServerSerials final : public SerialNumberSource {
  public:
    std::optional<TakenNumber> Take(const SerialPlanNumbers& plan, SerialTakeContext& context,
                                    SerialRefusal& refusal) override {
        RecordStore& records = context.records;
        RecordFailure failure;
        if (m_edit) {
            if (!records.SetCounter(plan.Key(), *m_edit, plan.step, context.station, &failure)) {
                refusal.reason = RecordFailureText(failure);
                return std::nullopt;
            }
            m_edit.reset();
        }
        const std::optional<TakenSerial> taken = records.TakeSerial(
            context.recordId, plan.Key(), plan.value, plan.step, context.station, &failure);
        if (!taken) {
            refusal.reason = RecordFailureText(failure);
            // The counter's next number given before (an edit set it back) is the plan's fault.
            refusal.plan = TakeConflict(records, refusal.reason);
            return std::nullopt;
        }
        if (taken->value > SnMaxValue(plan.width)) {
            // No module can carry it: given up at once, and the download refused.
            if (!records.SetSerialState(context.recordId, SerialState::kUsedUp, nullptr))
                context.keepForLater(SerialState::kUsedUp);
            refusal.reason = "the numbers of this width are used up: the counter gave 0x" +
                             HexUpper(taken->value) + ", max = 0x" +
                             HexUpper(SnMaxValue(plan.width));
            refusal.plan = true;
            return std::nullopt;
        }
        TakenNumber number{taken->value, taken->next, {}};
        // config.ini mirrors the counter as this station last left it; the number is recorded
        // on the server whether or not the mirror is saved.
        const std::string nextText = SerialText(taken->next, plan.width);
        std::string why;
        if (!settings_file::Write(context.settingsPath, kSection, config_keys::kSnValue, nextText,
                                  &why)) {
            number.mirrorNotSaved = "\t- The next serial number " + nextText +
                                    " was not saved to " + context.settingsPath + ": " + why +
                                    "\r\n";
        }
        return number;
    }
    void NoteEdit(std::uint32_t value, bool changed) override {
        // An edit is a stream of keystrokes; the server hears the last, at the next download.
        if (changed)
            m_edit = value;
    }
    void ForgetEdit() override { m_edit.reset(); }
    std::optional<std::uint32_t> NextToShow(const SerialPlanNumbers& plan,
                                            RecordStore* records) override {
        if (!records || records->LostConnection() || m_edit)
            return std::nullopt;
        std::optional<SerialCounter> counter;
        if (!records->ReadCounter(plan.Key(), counter, nullptr) || !counter ||
            counter->next == plan.value || counter->next > SnMaxValue(plan.width))
            return std::nullopt;
        return counter->next;
    }

  private:
    std::optional<std::uint32_t> m_edit;
};

}  // namespace

std::unique_ptr<SerialNumberSource> MakeConfigIniSerials() {
    return std::make_unique<ConfigIniSerials>();
}

std::unique_ptr<SerialNumberSource> MakeServerSerials() {
    return std::make_unique<ServerSerials>();
}

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
    return std::string(config_keys::kSnValue) + "=" + text + " in config.ini is not 1 to " +
           std::to_string(digits) + " hexadecimal digits";
}

SerialPlan::SerialPlan() : m_local(MakeConfigIniSerials()), m_server(MakeServerSerials()) {}

SerialPlan::~SerialPlan() = default;

SerialNumberSource& SerialPlan::Source(bool shared) {
    // A step of 0 takes nothing from a shared counter: one number for every module.
    return shared && m_numbers.step != 0 ? *m_server : *m_local;
}

void SerialPlan::TakeStored(bool on, const std::string& address, const std::string& value,
                            int width, const std::string& stepText, int step) {
    m_numbers.on = on;
    m_numbers.width = width;
    m_numbers.step = static_cast<unsigned>(step);
    ScanHex(address, m_numbers.address);
    ScanHex(value, m_numbers.value);
    m_problem[0].reset();
    if (!ShowsWhole(address, 4))
        m_problem[0] = std::string(config_keys::kSnAddress) + "=" + address +
                       " in config.ini is not 1 to 4 hexadecimal digits";
    m_problem[1] = StoredNumberProblem(value, width);
    m_problem[2].reset();
    if (step < 0 || step > 255 ||
        (!stepText.empty() && settings_file::ParseInt(stepText, -1) != step)) {
        // A negative step would wrap to the largest advance; text without a number is no step.
        m_problem[2] = std::string(config_keys::kSnStep) + "=" + stepText +
                       " in config.ini is not a number from 0 to 255";
    }
}

void SerialPlan::TakeStoredValue(const std::string& value) {
    ScanHex(value, m_numbers.value);
    m_problem[1] = StoredNumberProblem(value, m_numbers.width);
    m_server->ForgetEdit();
}

std::optional<std::string> SerialPlan::StoredProblem() const {
    for (const std::optional<std::string>& problem : m_problem) {
        if (problem)
            return problem;
    }
    return std::nullopt;
}

std::optional<SerialPlan::SettingEdit> SerialPlan::Edit(
    SerialPlanFields& fields, const SerialPlanFields& before, SnField edited,
    std::uint32_t capacity, const std::function<void(const std::string&)>& warn) {
    // From here on the edited field is what it shows.
    if (edited == SnField::kAddress)
        m_problem[0].reset();
    if (edited == SnField::kValue)
        m_problem[1].reset();
    if (edited == SnField::kStep)
        m_problem[2].reset();
    // A typed number is cut with the width in force before this change. An edit of another
    // field leaves the number as config.ini has it.
    const std::size_t digits = static_cast<std::size_t>(std::max(0, 2 * m_numbers.width));
    if (edited == SnField::kValue && fields.value.size() > digits)
        fields.value.resize(digits);
    for (std::string* text : {&fields.address, &fields.value}) {
        for (char& c : *text) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        FilterHexDigits(*text);
    }
    const std::uint32_t valueBefore = m_numbers.value;
    const std::uint32_t addressBefore = m_numbers.address;
    m_numbers.width = fields.widthIndex + 1;
    m_numbers.step = fields.step;
    try {
        ScanHex(fields.address, m_numbers.address);
        ScanHex(fields.value, m_numbers.value);
        const std::uint32_t highest = capacity - static_cast<std::uint32_t>(m_numbers.width);
        if (fields.address.size() == 4) {
            if (m_numbers.address > highest) {
                warn("SN Address cannot exceed 0x" + Hex04(highest));
                fields.address = before.address;
                m_numbers.address = addressBefore;
            } else if (m_numbers.address < kSnLowestAddress) {
                warn("SN Address cannot in reserved Range: 0x" + Hex04(0) + " ~ 0x" +
                     Hex04(kSnLowestAddress - 1));
                fields.address = before.address;
                m_numbers.address = addressBefore;
            }
        }
        if (m_numbers.value > SnMaxValue(m_numbers.width)) {
            warn("SN cannot exceed 0x" + Hex04(SnMaxValue(m_numbers.width)));
            fields.value = before.value;
            m_numbers.value = valueBefore;
        }
        switch (edited) {
            case SnField::kAddress:
                return SettingEdit{config_keys::kSnAddress, fields.address};
            case SnField::kValue:
                // Only the server's counter takes an edit later; config.ini has it already.
                m_server->NoteEdit(m_numbers.value, m_numbers.value != valueBefore);
                return SettingEdit{config_keys::kSnValue, fields.value};
            case SnField::kWidth:
                return SettingEdit{config_keys::kSnBytes, std::to_string(m_numbers.width)};
            case SnField::kStep:
                return SettingEdit{config_keys::kSnStep, std::to_string(m_numbers.step)};
        }
    } catch (const std::exception&) {
        warn("Input invalid!");
    }
    return std::nullopt;
}

std::string SerialPlan::ValueText() const {
    return SerialText(m_numbers.value, m_numbers.width);
}

bool SerialPlan::Check(const HexImage& image, const LogFn& log) const {
    const SerialPlanNumbers& n = m_numbers;
    log("Check Serial Number ... ", kLogBlack, true);
    if (const std::optional<std::string> problem = StoredProblem()) {
        log("\r\n\t- " + *problem + "\r\n", kLogRed, false);
        return false;
    }
    // A width outside 1 to 4 (a hand-edited config.ini) has no largest number and no flash form.
    if (n.width < 1 || n.width > 4) {
        log("\r\n\t- Width Invalid: bytes = " + std::to_string(n.width) + ", allowed 1 ~ 4\r\n",
            kLogRed, false);
        return false;
    }
    const std::uint32_t end = n.address + static_cast<std::uint32_t>(n.width);
    // The number must also end inside the image, not only begin there.
    if (n.address >= image.capacity || n.address < kSnLowestAddress || end > image.capacity) {
        log("\r\n\t- Address Overrange: address = 0x" + HexUpper(n.address) + "\r\n", kLogRed,
            false);
        log("\t- Available Range = 0x" + HexUpper(kSnLowestAddress) + " ~ 0x" +
                HexUpper(image.end - 1) + "\r\n",
            kLogRed, false);
        return false;
    }
    if (n.value > SnMaxValue(n.width)) {
        log("\r\n\t- Overflow: SN = 0x" + HexUpper(n.value) + ", max = 0x" +
                HexUpper(SnMaxValue(n.width)) + "\r\n",
            kLogRed, false);
        return false;
    }
    // Flash only clears bits: a number over the image's own bytes would corrupt both.
    if (const std::optional<std::uint32_t> at = FirstProgrammedAddress(image, n.address, end)) {
        log("\r\n\t- Overlap: the serial number at 0x" + HexUpper(n.address) + " ~ 0x" +
                HexUpper(end - 1) + " would be written over the image's byte at 0x" +
                HexUpper(*at) + "\r\n",
            kLogRed, false);
        return false;
    }
    log("\tDone\r\n", kLogGreen, false);
    return true;
}

std::optional<TakenNumber> SerialPlan::Take(bool shared, SerialTakeContext& context,
                                            SerialRefusal& refusal) {
    return Source(shared).Take(m_numbers, context, refusal);
}

std::string SerialPlan::AdvanceAfterRun() {
    m_numbers.value = AdvanceSerial(m_numbers.value, m_numbers.step);
    return ValueText();
}

bool SerialPlan::FollowSource(bool shared, RecordStore* records) {
    const std::optional<std::uint32_t> next = Source(shared).NextToShow(m_numbers, records);
    if (!next)
        return false;
    m_numbers.value = *next;
    return true;
}
