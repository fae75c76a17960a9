#include "station/serial_reservation.h"

#include <cstdio>

#include "image/serial_number.h"
#include "station/record_texts.h"
#include "text/log_entry.h"

namespace {

// "serial number 0x000005 of plan 0x0E00/3": the number as wide as the plan writes it.
std::string NumberText(SerialPlanKey plan, std::uint32_t value) {
    char text[96];
    std::snprintf(text, sizeof text, "serial number 0x%0*X of plan 0x%04X/%d", plan.width * 2,
                  static_cast<unsigned>(value), static_cast<unsigned>(plan.address), plan.width);
    return text;
}

}  // namespace

std::string SerialConflictText(const SerialConflict& conflict) {
    const std::string number = NumberText(conflict.plan, conflict.value);
    const std::string download = "download #" + std::to_string(conflict.download);
    switch (conflict.kind) {
        case SerialConflict::Kind::kNone:
            break;
        case SerialConflict::Kind::kGivenBefore:
            return number + " was already given to download #" + std::to_string(conflict.holder);
        case SerialConflict::Kind::kDownloadHoldsOne:
            return download + " already holds a serial number; " + number + " was not recorded";
        case SerialConflict::Kind::kDownloadEnded:
            return download + " has already ended";
        case SerialConflict::Kind::kNotSaved:
            return number + " was not recorded: the counter could not be saved";
    }
    return {};
}

SerialReservation::SerialReservation(SerialPlan& plan, StationSettings& settings,
                                     DownloadRecorder& recorder, StationObserver& observer,
                                     LogFn log)
    : m_plan(plan),
      m_settings(settings),
      m_recorder(recorder),
      m_observer(observer),
      m_log(std::move(log)) {}

std::optional<std::uint32_t> SerialReservation::Reserve(SerialRefusal& refusal) {
    SerialTakeContext context{
        *m_recorder.Store(), m_recorder.Record().id, m_settings.Path(), m_recorder.Station(),
        [this](SerialState state) { m_recorder.KeepForLater(state, false, nullptr); }};
    const std::optional<TakenNumber> taken =
        m_plan.Take(m_recorder.Database().shared(), context, refusal);
    if (!taken)
        return std::nullopt;
    // The field shows the number being written, then the next one.
    const SerialPlanNumbers& plan = m_plan.Numbers();
    m_plan.TakeNext(taken->value);
    m_observer.OnSerialNumber(m_plan.ValueText());
    m_plan.TakeNext(taken->next);
    m_settings.SetStoredNumber(SerialText(taken->next, plan.width));
    if (taken->mirrorNotSaved.empty())
        m_settings.NoteSaved();
    else
        m_log(taken->mirrorNotSaved, kLogRed);
    return taken->value;
}

void SerialReservation::Settle(std::uint32_t value, bool written) {
    RecordFailure failure;
    const SerialState state = written ? SerialState::kWritten : SerialState::kUsedUp;
    if (!m_recorder.Store()->SetSerialState(m_recorder.Record().id, state, &failure)) {
        // The number stays recorded as reserved, never given again; its state is kept in the
        // journal beside config.ini and recorded at the next download.
        RecordFailure why;
        const bool later = m_recorder.KeepForLater(state, false, &why);
        m_log(
            "\t- The serial number's state was not recorded: " + RecordFailureText(failure) +
                (later ? " (it is recorded at the next download)"
                       : " (and it could not be kept for later: " + RecordFailureText(why) + ")") +
                "\r\n",
            kLogRed);
    }
    if (!written) {
        m_log("\t- Serial number 0x" + HexUpper(value) +
                  " is used up: it is never given to another module\r\n",
              kLogRed);
    }
}
