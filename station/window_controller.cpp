#include "station/window_controller.h"

#include <algorithm>

#include "image/load_report.h"
#include "settings/config_keys.h"
#include "text/escape_controls.h"

namespace {

// An unsigned decimal number from 0 to 255 with nothing else but white space around it; 256
// for a longer number.
std::optional<unsigned> ParseStep(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos)
        return std::nullopt;
    const std::size_t last = text.find_last_not_of(" \t\r\n\f\v");
    const std::string t = text.substr(first, last + 1 - first);
    for (char c : t) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    if (t.size() > 3)
        return 256u;
    return static_cast<unsigned>(std::stoul(t));
}

}  // namespace

bool WindowEnables::For(EnableGroup group) const {
    switch (group) {
        case EnableGroup::kOpenReload:
            return openReload;
        case EnableGroup::kAutoSn:
            return autoSn;
        case EnableGroup::kSnFields:
            return snFields;
        case EnableGroup::kFixed:
            break;
    }
    return false;
}

BarPosition ProgressOnBar(std::uint32_t low, std::uint32_t high, std::uint32_t position) {
    if (high <= low)
        return {1, position > low ? 1 : 0};
    return {static_cast<int>(high - low), static_cast<int>(std::clamp(position, low, high) - low)};
}

WindowController::WindowController(HidPlatform& platform, std::string settingsPath,
                                   WindowView& view)
    : m_view(view),
      m_windowThread(std::this_thread::get_id()),
      m_host(m_flags, *this),
      m_station(platform, std::move(settingsPath), *this, m_host, m_flags),
      // The fields before config.ini is read: the station's defaults.
      m_fields{config_keys::kDefaultVidText,
               config_keys::kDefaultPidText,
               false,
               false,
               {},
               {},
               "0",
               -1,
               {}} {}

WindowController::~WindowController() {
    m_arrivals.reset();
    if (m_worker.joinable()) {
        m_host.Cancel();
        m_worker.join();
    }
    if (m_counter.joinable())
        m_counter.join();
}

void WindowController::Start() {
    UpdateData(false);
    // The settings as the window reads them at start: the fields, then the controls.
    m_station.ReadSettings();
    m_enables.snFields = m_fields.autoSn;
    m_view.ShowEnables(m_enables);
    ApplyBootloaderId();
    LoadHexFile();
    StartTimer(WindowTimer::kStatus, kStatusPeriodMs, false);
    ReadProduction();
    if (m_production.on) {
        m_display.panel = NextModulePanel();
        SetEnables();
        WatchArrivals();
        Recount();
        LookForModule();
    }
}

void WindowController::Start(const ConfigLocation& where) {
    if (!where.copiedFrom.empty())
        AppendLog("Settings carried over from " + where.copiedFrom + " to " + where.path +
                      " (the serial number goes on from there)\r\n",
                  kLogBlack);
    if (!where.problem.empty())
        AppendLog("Settings at " + where.path + ": " + where.problem + "\r\n", kLogRed);
    Start();
}

bool WindowController::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        WindowFields shown = m_fields;
        if (shown.snWidthIndex < 0 || shown.snWidthIndex >= 4)
            shown.snWidthIndex = -1;
        m_view.ShowFields(shown);
        return true;
    }
    // During a download the fields are the station's: a read-back would put back the number it
    // has moved on from (an identifier edit is taken when the download ends).
    if (m_busy)
        return true;
    // In the window's order; a field whose check fails stops the exchange there.
    const WindowFields read = m_view.ReadFields();
    m_fields.vid = read.vid;
    m_fields.pid = read.pid;
    m_fields.autoReload = read.autoReload;
    m_fields.autoSn = read.autoSn;
    m_fields.snAddr = read.snAddr;
    m_fields.snValue = read.snValue;
    m_station.SetAutoReload(read.autoReload);
    m_station.Plan().SetOn(read.autoSn);
    const std::optional<unsigned> step = ParseStep(read.snStep);
    if (!step || *step > 255) {
        m_view.Warn(step ? "Please enter an integer between 0 and 255."
                         : "Please enter a positive integer.");
        m_view.SelectStep();
        return false;
    }
    m_station.Plan().SetStep(*step);
    m_fields.snStep = std::to_string(*step);
    m_fields.snWidthIndex = read.snWidthIndex;
    m_fields.path = read.path;
    m_station.SetPath(read.path);
    return true;
}

void WindowController::AppendLog(const std::string& text, std::uint32_t color, bool timeStamp) {
    m_view.AppendLog({text, color, timeStamp, timeStamp ? LogStampNow() : std::string()});
}

void WindowController::OnWindowThread(std::function<void()> work) {
    if (std::this_thread::get_id() == m_windowThread) {
        work();
        return;
    }
    // What the worker tells waits in order; the window takes all that has come at once, so a
    // busy window paints once for several lines.
    {
        const std::lock_guard lock(m_eventsMutex);
        m_events.push_back(std::move(work));
        if (m_eventsPosted)
            return;
        m_eventsPosted = true;
    }
    m_view.Wake();
}

void WindowController::RunPosted() {
    std::vector<std::function<void()>> events;
    {
        const std::lock_guard lock(m_eventsMutex);
        events.swap(m_events);
        m_eventsPosted = false;
    }
    for (std::function<void()>& work : events)
        work();
}

void WindowController::ApplyBootloaderId() {
    if (m_busy)
        return;  // the port stays on the module being programmed
    UpdateData(true);
    m_station.ApplyBootloaderId(m_fields.vid, m_fields.pid);
}

void WindowController::LoadHexFile() {
    m_station.LoadHexFile(m_station.Path());
}

void WindowController::RefreshStatus() {
    m_station.RefreshStatus();
    m_station.FollowSettings();  // another front end may have moved the number on
}

void WindowController::OnInput(ControlInput input) {
    switch (input) {
        case ControlInput::kIdentifier:
            return OnIdentifierEdited();
        case ControlInput::kPath:
            return OnPathEdited();
        case ControlInput::kOpen:
            return OnOpenClicked();
        case ControlInput::kReload:
            return OnReloadClicked();
        case ControlInput::kAutoReload:
            return OnAutoReloadClicked();
        case ControlInput::kAutoSn:
            return OnAutoSnClicked();
        case ControlInput::kPlanAddress:
            return OnPlanEdited(SnField::kAddress);
        case ControlInput::kPlanValue:
            return OnPlanEdited(SnField::kValue);
        case ControlInput::kPlanStep:
            return OnPlanEdited(SnField::kStep);
        case ControlInput::kPlanWidth:
            return OnPlanEdited(SnField::kWidth);
        case ControlInput::kDownload:
            return OnDownloadClicked();
        case ControlInput::kClear:
            return OnClearClicked();
        case ControlInput::kNone:
            break;
    }
}

void WindowController::OnIdentifierEdited() {
    if (m_production.on) {
        UpdateData(false);  // locked
        return;
    }
    ApplyBootloaderId();
}

void WindowController::OnPathEdited() {
    if (m_busy || m_production.on) {
        UpdateData(false);
        return;
    }
    UpdateData(true);
    m_station.SaveSetting(config_keys::kHexPath, m_station.Path());
    LoadHexFile();
}

void WindowController::OnOpenClicked() {
    if (m_busy || m_production.on) {
        UpdateData(false);  // a locked box shows its setting again
        return;
    }
    const std::optional<std::string> chosen = m_view.AskHexFile(m_station.Path());
    if (!chosen || chosen->empty())
        return;
    m_station.SetPath(*chosen);
    m_fields.path = *chosen;
    UpdateData(false);
    m_station.SaveSetting(config_keys::kHexPath, *chosen);
    LoadHexFile();
}

void WindowController::OnReloadClicked() {
    if (!m_busy && !m_production.on)
        LoadHexFile();
}

void WindowController::OnAutoReloadClicked() {
    if (m_busy || m_production.on) {
        UpdateData(false);  // a locked box shows its setting again
        return;
    }
    UpdateData(true);
    m_station.SaveSettingInt(config_keys::kAutoReload, m_station.AutoReload() ? 1 : 0);
}

void WindowController::OnAutoSnClicked() {
    if (m_busy || m_production.on) {
        UpdateData(false);  // a locked box shows its setting again
        return;
    }
    UpdateData(true);
    m_station.SaveSettingInt(config_keys::kAutoSn, m_station.Plan().Numbers().on ? 1 : 0);
    m_enables.snFields = m_station.Plan().Numbers().on;
    m_view.ShowEnables(m_enables);
}

void WindowController::OnPlanEdited(SnField edited) {
    if (m_busy || m_production.on) {
        UpdateData(false);  // the plan is the download's until it ends
        return;
    }
    const SerialPlanFields before{m_fields.snAddr, m_fields.snValue, m_fields.snWidthIndex,
                                  m_station.Plan().Numbers().step};
    UpdateData(true);
    SerialPlanFields fields{m_fields.snAddr, m_fields.snValue, m_fields.snWidthIndex,
                            m_station.Plan().Numbers().step};
    m_station.EditSerialPlan(fields, before, edited);
    m_fields.snAddr = fields.address;
    m_fields.snValue = fields.value;
    UpdateData(false);
    m_view.PutPlanCaretsAtEnd();
}

void WindowController::OnDownloadClicked() {
    UpdateData(true);
    if (m_busy) {
        m_host.Cancel();  // Stop
        return;
    }
    if (m_production.on) {
        // Modules start as they are plugged in; a click after a verdict starts nothing.
        AppendLog("Production mode: plug in the next module, it starts by itself\r\n", kLogBlack);
        return;
    }
    StartDownload();
}

void WindowController::StartDownload() {
    if (m_worker.joinable())
        m_worker.join();
    m_flags.cancel = false;  // a new download: an earlier Stop is spent
    m_busy = true;
    // A module that has just arrived is asked at once, not at the handshake's first tick.
    m_host.SetFirstTickAtOnce(m_production.on);
    if (m_production.on) {
        m_display.panel =
            WorkingPanel(m_programming ? Latin1ToUtf8(m_programming->uid) : std::string(), 0);
        ShowProduction();
    }
    SetEnables();
    m_worker = std::thread([this] {
        const bool ok = m_station.Download();
        OnWindowThread([this, ok] { DownloadEnded(ok); });
    });
}

void WindowController::DownloadEnded(bool ok) {
    if (m_worker.joinable())
        m_worker.join();
    m_busy = false;
    // The mode may have been left while the download ran (a module plugged in while the
    // passphrase was typed): the record is kept open only in production mode.
    m_station.KeepRecordsOpen(m_production.on);
    ShowProgressNow();  // the bar ends where the download left it
    SetEnables();
    // An identifier typed during the download.
    const WindowFields shown = m_view.ReadFields();
    if (shown.vid != m_fields.vid || shown.pid != m_fields.pid)
        ApplyBootloaderId();
    m_lastOk = ok;
    if (m_production.on)
        ProductionDownloadEnded(ok);
    m_view.DownloadEnded(ok);
    if (m_busScript)
        ScheduleBus(m_busScript->DownloadEnded(m_production.on, ok));
    if (m_closeAsked)
        m_view.CloseWindow();
}

void WindowController::SetEnables() {
    m_enables.downloadCaption = m_busy ? "Stop" : "Download";
    m_enables.openReload = !m_busy && !m_production.on;
    if (m_busy || m_production.on) {
        m_enables.autoSn = false;
        m_enables.snFields = false;
    } else if (!m_makerFormat) {
        m_enables.autoSn = true;
        m_enables.snFields = m_fields.autoSn;
    }
    m_view.ShowEnables(m_enables);
}

void WindowController::OnClearClicked() {
    RunPosted();  // what the download logged before the click goes too
    m_view.ClearLog();
}

void WindowController::OnAboutAsked() {
    m_view.ShowAbout();
}

void WindowController::StartTimer(WindowTimer id, int ms, bool singleShot) {
    m_timers[id] = singleShot;
    m_view.StartTimer(id, ms);
}

void WindowController::StopTimer(WindowTimer id) {
    if (m_timers.erase(id))
        m_view.StopTimer(id);
}

void WindowController::StopTimers() {
    while (!m_timers.empty())
        StopTimer(m_timers.begin()->first);
}

bool WindowController::OnTimer(WindowTimer id) {
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return false;
    if (it->second)
        StopTimer(id);
    if (id == WindowTimer::kStatus) {
        // In production mode the refresh also finds the next module (where the platform cannot
        // tell of arrivals), with one look at the bus.
        if (!m_busy && m_production.on) {
            LookForModule();
            m_station.FollowSettings();
        } else if (!m_busy) {
            RefreshStatus();
        }
    } else if (id == WindowTimer::kProgress) {
        ShowProgressNow();
    } else if (id == WindowTimer::kBus && m_busScript) {
        // A download the operator started meanwhile ends first.
        ScheduleBus(m_busy ? kStatusPeriodMs : m_busScript->Advance(m_production.on));
    }
    return true;
}

void WindowController::ScheduleBus(int ms) {
    if (ms > 0)
        StartTimer(WindowTimer::kBus, ms, true);
}

bool WindowController::OnCloseAsked() {
    m_host.Cancel();
    if (m_busy) {
        // The window closes once the running download has returned.
        m_closeAsked = true;
        return false;
    }
    return true;
}

EnterAction WindowController::OnEnter(bool focusOnButton) {
    if (m_busy)
        return EnterAction::kNothing;
    if (focusOnButton)
        return EnterAction::kClickFocusedButton;
    return UpdateData(true) ? EnterAction::kCloseWindow : EnterAction::kNothing;
}

void WindowController::OnLog(const LogEntry& entry) {
    OnWindowThread([this, entry] { m_view.AppendLog(entry); });
}

void WindowController::OnClearLog() {
    OnWindowThread([this] { m_view.ClearLog(); });
}

void WindowController::OnProgressRange(std::uint32_t low, std::uint32_t high) {
    {
        const std::lock_guard lock(m_progressMutex);
        m_progress = {low, high, low, true};
        if (m_progressPosted)
            return;
        m_progressPosted = true;
    }
    OnWindowThread([this] { ProgressChanged(); });  // in order with the lines
}

void WindowController::OnProgressPos(std::uint32_t position) {
    {
        const std::lock_guard lock(m_progressMutex);
        m_progress.position = position;
        if (m_progressPosted)
            return;
        m_progressPosted = true;
    }
    OnWindowThread([this] { ProgressChanged(); });  // in order with the lines
}

void WindowController::ProgressChanged() {
    const auto since = std::chrono::steady_clock::now() - m_progressShownAt;
    const auto period = std::chrono::milliseconds(kProgressPeriodMs);
    if (since >= period) {
        ShowProgressNow();
        return;
    }
    // Shown when the period is up, with the position reached by then.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(period - since);
    StartTimer(WindowTimer::kProgress, static_cast<int>(std::max<long long>(1, left.count())),
               true);
}

void WindowController::ShowProgressNow() {
    StopTimer(WindowTimer::kProgress);
    Progress p;
    {
        const std::lock_guard lock(m_progressMutex);
        p = m_progress;
        m_progress.set = false;
        m_progressPosted = false;
    }
    const BarPosition bar = ProgressOnBar(p.low, p.high, p.position);
    if (!p.set && bar == m_shownBar)
        return;
    m_shownBar = bar;
    m_progressShownAt = std::chrono::steady_clock::now();
    m_view.ShowProgress(bar.maximum, bar.value);
    if (m_production.on && m_busy) {
        m_display.panel =
            WorkingPanel(m_programming ? Latin1ToUtf8(m_programming->uid) : std::string(),
                         bar.maximum > 0 ? bar.value * 100 / bar.maximum : 0);
        ShowProduction();
    }
}

void WindowController::OnProgressShown(bool shown) {
    OnWindowThread([this, shown] {
        ShowProgressNow();
        m_view.ShowProgressBar(shown);
    });
}

void WindowController::OnStatus(const std::string& text, std::uint32_t color, bool present,
                                const std::string&) {
    OnWindowThread([this, text = EscapeControls(text), color, present] {
        m_view.ShowStatus(text, color, ConnectionIcon(present));
    });
}

void WindowController::OnWarning(const std::string& text) {
    OnWindowThread([this, text] { m_view.Warn(text); });
}

void WindowController::OnImageLoaded(const LoadReport& report, bool makerFormat) {
    OnWindowThread([this, length = report.lengthLabel, date = report.dateLabel, makerFormat] {
        m_view.ShowImageLabels(length, date);
        m_makerFormat = makerFormat;
        if (makerFormat) {
            // The maker's format keeps the plan off.
            m_enables.autoSn = false;
            m_enables.snFields = false;
            m_view.ShowEnables(m_enables);
        } else {
            SetEnables();
        }
    });
}

void WindowController::OnSettingsRead(const StoredSettings& stored) {
    OnWindowThread([this, stored] {
        m_fields.vid = stored.vid;
        m_fields.pid = stored.pid;
        m_fields.path = stored.path;
        m_fields.autoReload = stored.autoReload != 0;
        m_fields.autoSn = stored.autoSn != 0;
        m_fields.snAddr = stored.snAddr;
        m_fields.snValue = stored.snValue;
        m_fields.snStep = std::to_string(stored.snStep);
        m_fields.snWidthIndex = stored.snBytes - 1;
        UpdateData(false);
    });
}

void WindowController::OnSerialNumber(const std::string& text) {
    OnWindowThread([this, text] {
        m_fields.snValue = text;
        UpdateData(false);
    });
}
