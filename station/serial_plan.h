#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "image/hex_image.h"
#include "ledger/record_store.h"

// The serial-number plan: its numbers, its rules (limits, steps, the texts its fields show, the
// checks before a module is touched) and where its next number comes from. The station holds
// one; a front end shows its numbers through the texts it gives.

// The plan's field an operator's edit changed: the one whose key the edit saves.
enum class SnField { kAddress, kValue, kWidth, kStep };

// The plan as the station programs it.
struct SerialPlanNumbers {
    bool on = false;            // AutoSN
    std::uint32_t address = 0;  // SN_StartAddr
    std::uint32_t value = 0;    // SN_Current: the next number
    int width = 1;              // SN_Bytes
    unsigned step = 0;          // SN_Step

    SerialPlanKey Key() const { return {address, width}; }
};

// The plan's fields as an operator edits them: the texts of the address and the number, the
// width's list index and the step (as the step's own check has taken it).
struct SerialPlanFields {
    std::string address;
    std::string value;
    int widthIndex = 0;
    unsigned step = 0;
};

// Why no serial number could be taken: the plan cannot be honoured (a number given before, the
// width's numbers used up), or the ledger or config.ini cannot be used.
struct SerialRefusal {
    std::string reason;
    bool plan = false;
};

// A number taken for one module, and the next one the plan then holds.
struct TakenNumber {
    std::uint32_t value = 0;
    std::uint32_t next = 0;
    // A line for the log when the plan's next number could not be kept in config.ini (the
    // number itself is taken all the same).
    std::string mirrorNotSaved;
};

// What taking a number needs of the station: its records, its download's record, its
// config.ini, and a way to keep a number's state that the records could not take now.
struct SerialTakeContext {
    RecordStore& records;
    std::int64_t recordId = 0;
    const std::string& settingsPath;
    CounterStation station;
    std::function<void(SerialState)> keepForLater;
};

// Where the plan's next number comes from, and where each number taken is recorded.
class SerialNumberSource {
  public:
    virtual ~SerialNumberSource() = default;
    // Takes the plan's next number for one download, before anything is sent that changes the
    // module; the number, or nothing with the refusal.
    virtual std::optional<TakenNumber> Take(const SerialPlanNumbers& plan,
                                            SerialTakeContext& context, SerialRefusal& refusal) = 0;
    // The operator set the number; `changed` when it is not the number held before.
    virtual void NoteEdit(std::uint32_t /*value*/, bool /*changed*/) {}
    // Another front end moved the number on in config.ini: an edit not yet used is moot.
    virtual void ForgetEdit() {}
    // After a download that took no number: the next number as the source has it now, when a
    // field should show it instead of `plan.value`.
    virtual std::optional<std::uint32_t> NextToShow(const SerialPlanNumbers& /*plan*/,
                                                    RecordStore* /*records*/) {
        return std::nullopt;
    }
};

// The counter in config.ini (SN_Current, advanced under the settings lock), each number taken
// recorded in the station's ledger (SQLite, or a server's when the step is 0 and nothing is
// taken).
std::unique_ptr<SerialNumberSource> MakeConfigIniSerials();
// The counter on the server that several stations share; config.ini mirrors its next number.
std::unique_ptr<SerialNumberSource> MakeServerSerials();

class SerialPlan {
  public:
    SerialPlan();
    ~SerialPlan();
    SerialPlan(const SerialPlan&) = delete;
    SerialPlan& operator=(const SerialPlan&) = delete;

    const SerialPlanNumbers& Numbers() const { return m_numbers; }
    void SetOn(bool on) { m_numbers.on = on; }
    void SetStep(unsigned step) { m_numbers.step = step; }
    // A plan given for one run (the command line's options): the stored texts' problems stay.
    void SetAddress(std::uint32_t address) { m_numbers.address = address; }
    void SetWidth(int width) { m_numbers.width = width; }

    // The texts config.ini holds: the numbers they give, and why any may not be written (a
    // hand-edited text the field cannot show whole would program another number than the one
    // shown). `stepText` is SN_Step's text, `step` its number.
    void TakeStored(bool on, const std::string& address, const std::string& value, int width,
                    const std::string& stepText, int step);
    // SN_Current changed in config.ini (another front end moved it on, or an edit).
    void TakeStoredValue(const std::string& value);
    // The first reason a stored text may not be written, if any.
    std::optional<std::string> StoredProblem() const;

    // An operator's edit of `edited`: `fields` holds what the controls hold, `before` what they
    // held before, with the numbers then. The texts are brought to the field's form (upper
    // case, hexadecimal digits only, the number cut to the width in force before); a number
    // beyond the plan's limits is put back with a warning. The numbers follow the fields. The
    // setting the edit saves, as key and text (nothing after a warning of invalid input).
    struct SettingEdit {
        std::string key;
        std::string text;
    };
    std::optional<SettingEdit> Edit(SerialPlanFields& fields, const SerialPlanFields& before,
                                    SnField edited, std::uint32_t capacity,
                                    const std::function<void(const std::string&)>& warn);

    // The number's text as its field shows it.
    std::string ValueText() const;

    // The check before the handshake: the plan fits `image`. Each problem is logged in red.
    using LogFn = std::function<void(const std::string& text, std::uint32_t color, bool timeStamp)>;
    bool Check(const HexImage& image, const LogFn& log) const;

    // Takes the next number from the source `shared` chooses; the plan's number becomes the
    // next one only when the front end is told (TakeNext).
    std::optional<TakenNumber> Take(bool shared, SerialTakeContext& context,
                                    SerialRefusal& refusal);
    void TakeNext(std::uint32_t next) { m_numbers.value = next; }
    // The maker's format writes no number; the plan still advances after the run. The advanced
    // number's text.
    std::string AdvanceAfterRun();
    // After a download that took no number: whether the field should show another next number.
    bool FollowSource(bool shared, RecordStore* records);

  private:
    SerialNumberSource& Source(bool shared);

    SerialPlanNumbers m_numbers;
    // Why the texts read from config.ini may not be written, per key: the address, the number
    // and the step. Cleared by an edit of that field.
    std::optional<std::string> m_problem[3];
    std::unique_ptr<SerialNumberSource> m_local;
    std::unique_ptr<SerialNumberSource> m_server;
};

// Why the stored number `text` cannot be written at `width` bytes because of its digits: more
// than the width holds (all of the width's numbers were taken), or no number at all.
std::optional<std::string> StoredNumberProblem(const std::string& text, int width);
