// The window controller's production mode: entered and left from the window's menu, it starts
// each module as it arrives, shows a verdict panel and the shift's count, and keeps the release,
// the plan and the file as the supervisor approved them.
#include <utility>

#include "image/serial_number.h"
#include "ledger/file_sha256.h"
#include "os/os_files.h"
#include "os/passphrase.h"
#include "settings/config_keys.h"
#include "station/record_texts.h"
#include "station/window_controller.h"
#include "text/escape_controls.h"

namespace {

// The longest badge kept: a scanner types a code and Enter.
constexpr std::size_t kMaxBadge = 64;

// A badge as typed or scanned: printable characters only, spaces at its ends dropped.
std::string CleanBadge(const std::string& typed) {
    std::string badge;
    for (char c : typed) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && badge.size() < kMaxBadge)
            badge += c;
    }
    const std::size_t first = badge.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return badge.substr(first, badge.find_last_not_of(' ') + 1 - first);
}

}  // namespace

std::vector<MenuItem> WindowController::MenuItems() const {
    std::vector<MenuItem> items{{MenuCommand::kAbout, kAboutMenuText}};
    items.push_back({MenuCommand::kProductionMode,
                     m_production.on ? "Leave production mode(&P)..." : "Production mode(&P)..."});
    if (m_production.on)
        items.push_back({MenuCommand::kNewShift, "New shift(&N)..."});
    return items;
}

void WindowController::OnMenu(MenuCommand command) {
    switch (command) {
        case MenuCommand::kAbout:
            return OnAboutAsked();
        case MenuCommand::kProductionMode:
            if (m_busy)
                return;
            return m_production.on ? LeaveProduction() : EnterProduction();
        case MenuCommand::kNewShift:
            if (m_production.on && !m_busy)
                NewShift();
            return;
    }
}

void WindowController::ReadProduction() {
    std::string reason;
    // A config.ini that cannot be read keeps the mode as it was: the download refuses anyway.
    if (std::optional<ProductionSettings> read =
            ReadProductionSettings(m_station.SettingsPath(), &reason))
        m_production = std::move(*read);
    // Production mode opens no file dialog: the record may stay open for the next module.
    if (!m_busy)
        m_station.KeepRecordsOpen(m_production.on);
}

void WindowController::EnterProduction() {
    if (!UpdateData(true))
        return;  // the field's own prompt said why
    if (!m_station.Image().valid) {
        m_view.Warn(
            "Load the release's HEX file first: production mode programs the approved "
            "release only.");
        return;
    }
    // A plan every download would refuse is not approved.
    if (!m_station.PlanFits()) {
        m_view.Warn(
            "The serial-number plan does not fit this release (the log says why): production "
            "mode stays off.");
        return;
    }
    const std::string sha = HexFileSha256(m_station.Path(), m_station.Image());
    if (sha.empty()) {
        m_view.Warn("The HEX file changed on disk since it was loaded: load it again first.");
        return;
    }
    const HexImage& image = m_station.Image();
    const SerialPlanNumbers& sn = m_station.Plan().Numbers();
    std::string text =
        "Approve this release for production?\n\nFile: " + EscapeControls(m_station.Path()) +
        "\nSHA-256: " + sha + "\nImage: 0x" + HexUpper(image.start) + " ~ 0x" +
        HexUpper(image.end > 0 ? image.end - 1 : 0) + "\nSerial number: ";
    if (sn.on && !image.makerFormat)
        text += "at 0x" + HexUpper(sn.address) + ", " + std::to_string(sn.width) + " bytes, next " +
                SerialNumberText(sn.value, sn.width) + ", step " + std::to_string(sn.step);
    else
        text += "none is written";
    text +=
        "\n\nThe path, the plan and the release are locked until the supervisor's "
        "passphrase ends production mode.";
    if (!m_view.Confirm("Production mode", text))
        return;
    ReadProduction();
    if (!passphrase::ParseStoredHash(m_production.supervisorHash)) {
        // The first time: the supervisor chooses the passphrase that ends the mode.
        const std::optional<std::string> first =
            m_view.AskText("Production mode", "Choose the supervisor's passphrase:", true);
        if (!first)
            return;
        const std::optional<std::string> again =
            m_view.AskText("Production mode", "Type the passphrase again:", true);
        if (!again)
            return;
        if (first->empty() || *first != *again) {
            m_view.Warn(first->empty() ? "The passphrase is empty: production mode stays off."
                                       : "The two passphrases differ: production mode stays off.");
            return;
        }
        const std::string hash = passphrase::HashPassphrase(*first);
        if (hash.empty()) {
            m_view.Warn("The passphrase cannot be kept: production mode stays off.");
            return;
        }
        m_station.SaveSetting(config_keys::kSupervisorHash, hash);
    }
    m_station.SaveSetting(config_keys::kApprovedSha256, sha);
    m_station.SaveSetting(config_keys::kApprovedFile, FileNameOf(m_station.Path()));
    m_station.SaveSetting(config_keys::kProductionMode, "1");
    ReadProduction();
    if (!m_production.on || m_production.approvedSha256 != sha) {
        AppendLog("Production mode stays off: config.ini cannot be written\r\n", kLogRed);
        return;
    }
    AppendLog("Production mode on: release " + FileNameOf(m_station.Path()) + " (SHA-256 " + sha +
                  ")\r\n",
              kLogGreen, true);
    m_display.panel = NextModulePanel();
    SetEnables();
    WatchArrivals();
    Recount();
    LookForModule();
}

void WindowController::LeaveProduction() {
    const std::optional<std::string> typed =
        m_view.AskText("Leave production mode", "The supervisor's passphrase:", true);
    if (!typed)
        return;
    ReadProduction();
    if (!passphrase::PassphraseMatches(*typed, m_production.supervisorHash)) {
        AppendLog("Wrong passphrase: production mode stays on\r\n", kLogRed, true);
        m_view.Warn("Wrong passphrase: production mode stays on.");
        return;
    }
    m_station.SaveSetting(config_keys::kProductionMode, "0");
    ReadProduction();
    if (m_production.on) {
        AppendLog("Production mode stays on: config.ini cannot be written\r\n", kLogRed);
        return;
    }
    m_arrivals.reset();
    AppendLog("Production mode off\r\n", kLogBlack, true);
    SetEnables();
    ShowProduction();
}

void WindowController::NewShift() {
    const std::optional<std::string> typed =
        m_view.AskText("New shift", "The operator's badge (type or scan it):", false);
    if (!typed)
        return;
    m_station.SaveSetting(config_keys::kOperatorBadge, CleanBadge(*typed));
    m_station.SaveSetting(config_keys::kShiftStart, UtcNowIso());
    ReadProduction();
    AppendLog("New shift" +
                  (m_production.operatorBadge.empty() ? std::string()
                                                      : ": badge " + m_production.operatorBadge) +
                  "\r\n",
              kLogBlack, true);
    Recount();
}

void WindowController::OnModuleArrived() {
    if (m_production.on && !m_busy)
        LookForModule();
}

void WindowController::WatchArrivals() {
    if (!m_production.on || m_arrivals)
        return;
    m_arrivals = m_station.Platform().WatchArrivals(
        [this] { OnWindowThread([this] { OnModuleArrived(); }); });
}

void WindowController::LookForModule() {
    if (!m_production.on || m_busy)
        return;
    m_station.RefreshStatus();
    const std::optional<ModuleIdentity> module = m_station.PresentModule();
    std::optional<EarlierPass> earlier;
    if (m_line.IsNew(module))
        earlier = m_station.FindEarlierPass(Latin1ToUtf8(module->uid), m_production.approvedSha256);
    ProductionLine::Action action = m_line.Look(module, earlier);
    if (action == ProductionLine::Action::kConfirm)
        action = m_line.Confirmed(m_view.Confirm("Production mode", m_line.ConfirmText()));
    switch (action) {
        case ProductionLine::Action::kStart:
            m_programming = module;
            StartDownload();
            return;
        case ProductionLine::Action::kNext:
            m_display.panel = NextModulePanel();
            ShowProduction();
            return;
        case ProductionLine::Action::kConfirm:
        case ProductionLine::Action::kNone:
            return;
    }
}

void WindowController::ProductionDownloadEnded(bool ok) {
    const DownloadRecord& record = m_station.LastRecord();
    DownloadVerdict verdict{ok, record.failedStep, record.statusText, std::nullopt};
    if (const auto& sn = m_station.LastSerial(); sn && sn->state == SerialState::kWritten)
        verdict.serial = SerialNumberText(sn->value, sn->plan.width);
    m_display.panel = VerdictPanelOf(verdict);
    m_line.Ended(m_station.PresentModule() ? m_station.PresentModule() : m_programming);
    m_programming.reset();
    Recount();
}

void WindowController::Recount() {
    ShowProduction();
    if (!m_production.on)
        return;
    // Read off the window's thread: a server may be slow to answer. One count at a time; one
    // asked for meanwhile follows it, so the window never waits for a count.
    if (m_counting) {
        m_recountWanted = true;
        return;
    }
    if (m_counter.joinable())
        m_counter.join();  // it has told its count already
    m_counting = true;
    m_counter =
        std::thread([this, config = m_station.SettingsPath(), since = m_production.shiftStart] {
            RecordFailure failure;
            const std::optional<ShiftCount> count = CountShift(config, since, &failure);
            std::string text =
                count ? ShiftCountText(*count)
                      : "The count cannot be read: " + EscapeControls(RecordFailureText(failure));
            OnWindowThread([this, text = std::move(text)] {
                m_counting = false;
                m_display.count = text;
                ShowProduction();
                if (std::exchange(m_recountWanted, false))
                    Recount();
            });
        });
}

void WindowController::ShowProduction() {
    m_display.on = m_production.on;
    if (m_production.on) {
        m_display.release = "Release " + EscapeControls(m_production.approvedFile) + "  SHA-256 " +
                            m_production.approvedSha256.substr(0, 16) + "...";
        m_display.shift =
            (m_production.shiftStart.empty() ? std::string("Shift: every record")
                                             : "Shift since " + m_production.shiftStart) +
            (m_production.operatorBadge.empty()
                 ? std::string()
                 : "  Badge " + EscapeControls(m_production.operatorBadge));
    }
    m_view.ShowProduction(m_display);
}
