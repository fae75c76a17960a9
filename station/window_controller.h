#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "settings/config_location.h"
#include "station/bus_script.h"
#include "station/production_line.h"
#include "station/programming_station.h"
#include "station/release_approval.h"
#include "station/shift_count.h"
#include "station/thread_host.h"
#include "station/window_look.h"

// The main window's controls as the controller knows them: each control's value as it holds it
// (texts as typed, the list's index, the boxes' checks). The window maps its controls to these
// fields and back.
struct WindowFields {
    std::string vid;
    std::string pid;
    bool autoReload = false;
    bool autoSn = false;
    std::string snAddr;
    std::string snValue;
    std::string snStep;
    int snWidthIndex = -1;  // -1: no entry chosen
    std::string path;
};

// The longest text each edit takes (a window cuts a longer text it is given, as the operator's
// typing stops there); 0 for no limit.
struct WindowFieldLimits {
    static constexpr int kVid = 4;
    static constexpr int kPid = 4;
    static constexpr int kSnAddr = 4;
    static constexpr int kSnValue = 8;
    static constexpr int kSnStep = 0;
};

// Which controls take input, and the Download button's caption.
struct WindowEnables {
    bool download = true;    // always: it is Stop while a download runs
    bool openReload = true;  // Open, Reload, Auto Reload and the path
    bool autoSn = true;
    bool snFields = false;  // address, width, number, step
    std::string downloadCaption = "Download";

    // Whether the controls of `group` take input (kFixed: the window leaves them as they are).
    bool For(EnableGroup group) const;
    bool operator==(const WindowEnables&) const = default;
};

// The window's timers, by the identifiers the window gives them.
enum class WindowTimer { kStatus = 2, kProgress = 3, kBus = 4 };

// What Enter does in the window.
enum class EnterAction { kNothing, kClickFocusedButton, kCloseWindow };

// The progress bar's range 0..maximum and position for the protocol's logical range and
// position: a position outside the range shows an end, and an empty range an empty bar (a full
// one past its start); a bar has no empty range.
struct BarPosition {
    int maximum = 1;
    int value = 0;
    bool operator==(const BarPosition&) const = default;
};
BarPosition ProgressOnBar(std::uint32_t low, std::uint32_t high, std::uint32_t position);

// Production mode as a window shows it: the verdict panel, the shift's count, the approved release
// and the shift's operator.
struct ProductionDisplay {
    bool on = false;
    VerdictPanel panel;
    std::string count;    // ShiftCountText, or why the record could not be read
    std::string release;  // "Release app-1.4.hex  SHA-256 1a2b3c4d5e6f..."
    std::string shift;    // "Shift since 2026-12-09 06:00 UTC  Badge B-0042"
    bool operator==(const ProductionDisplay&) const = default;
};

// The window's menu (the system menu, or the context menu where there is none), in its order.
enum class MenuCommand { kAbout, kProductionMode, kNewShift };
struct MenuItem {
    MenuCommand command;
    std::string text;
    bool operator==(const MenuItem&) const = default;
};

// What the controller asks of its window. Every call comes on the window's thread.
class WindowView {
  public:
    virtual ~WindowView() = default;
    // The field exchange: every control's value, and every field shown without running the
    // controls' change handlers.
    virtual WindowFields ReadFields() const = 0;
    virtual void ShowFields(const WindowFields& fields) = 0;
    virtual void ShowEnables(const WindowEnables& enables) = 0;
    // After an edit of the plan: the caret of the address and the number to their text's end.
    virtual void PutPlanCaretsAtEnd() {}
    // The step's edit takes the focus with its text selected (after its prompt).
    virtual void SelectStep() = 0;
    virtual void AppendLog(const LogEntry& entry) = 0;
    virtual void ClearLog() = 0;
    // The progress bar: its range 0..maximum and position, and whether it is shown.
    virtual void ShowProgress(int maximum, int value) = 0;
    virtual void ShowProgressBar(bool shown) = 0;
    // The connection status: its text and colour, and the connection button's icon.
    virtual void ShowStatus(const std::string& text, std::uint32_t color, int icon) = 0;
    // The HEX file's length and date labels.
    virtual void ShowImageLabels(const std::string& length, const std::string& date) = 0;
    // A warning box with one OK; returns when the operator has closed it.
    virtual void Warn(const std::string& text) = 0;
    // The file-open box for HEX files, starting at `path`; the file chosen, or nothing.
    virtual std::optional<std::string> AskHexFile(const std::string& path) = 0;
    virtual void ShowAbout() = 0;
    // Timers: the window calls WindowController::OnTimer every `ms` until stopped (a timer
    // started again restarts); the controller stops a single shot itself.
    virtual void StartTimer(WindowTimer id, int ms) = 0;
    virtual void StopTimer(WindowTimer id) = 0;
    // Thread-safe: the window calls WindowController::RunPosted on its own thread, after the
    // events already waiting there.
    virtual void Wake() = 0;
    // Ends the window (as its own close would, once the download allows it).
    virtual void CloseWindow() = 0;
    // A download has ended (the window may tell its tests or a demo).
    virtual void DownloadEnded(bool /*succeeded*/) {}
    // Production mode: what the window shows besides the specified controls (nothing while off).
    virtual void ShowProduction(const ProductionDisplay& /*display*/) {}
    // A question with Yes and No; true for Yes.
    virtual bool Confirm(const std::string& /*title*/, const std::string& /*text*/) {
        return false;
    }
    // A line of text the operator types (or scans), hidden as typed when `secret`; nothing when
    // cancelled.
    virtual std::optional<std::string> AskText(const std::string& /*title*/,
                                               const std::string& /*prompt*/, bool /*secret*/) {
        return std::nullopt;
    }
};

// The main window's controller: the window's typed model and every decision a window makes,
// without a toolkit. It owns the programming station, which runs each download on a worker
// thread of its own (its protocol host a ThreadHost); what the station tells comes to the
// window's thread through the view's Post. The window reports each input with one call and is
// told what to show.
class WindowController final : private StationObserver {
  public:
    // `settingsPath`: config.ini. The window calls Start once it has its controls.
    WindowController(HidPlatform& platform, std::string settingsPath, WindowView& view);
    ~WindowController() override;
    WindowController(const WindowController&) = delete;
    WindowController& operator=(const WindowController&) = delete;

    // Start-up: the fields from config.ini, the identifiers, the HEX file, the status timer.
    void Start();
    // The same, after telling in the log what finding the settings file noticed (a copy made,
    // a folder that could not be made).
    void Start(const ConfigLocation& where);

    // A control's input, as the look names it (the window forwards each without choosing).
    void OnInput(ControlInput input);
    // Inputs, one per control.
    void OnIdentifierEdited();  // VID or PID
    void OnPathEdited();
    void OnOpenClicked();
    void OnReloadClicked();
    void OnAutoReloadClicked();
    void OnAutoSnClicked();
    void OnPlanEdited(SnField edited);
    void OnDownloadClicked();  // Download, or Stop while a download runs
    void OnClearClicked();
    void OnAboutAsked();
    // The window's menu as it is now, and a choice from it.
    std::vector<MenuItem> MenuItems() const;
    void OnMenu(MenuCommand command);
    // The platform tells that a device arrived (a window that hears of it; the controller also
    // watches the platform itself where it can).
    void OnModuleArrived();
    bool InProduction() const { return m_production.on; }
    const ProductionDisplay& Production() const { return m_display; }
    // A timer of the window's fired: false for one the controller has not started (or has
    // stopped since).
    bool OnTimer(WindowTimer id);
    // The window goes: every timer stops.
    void StopTimers();
    // What the worker told, taken on the window's thread (after the view's Wake).
    void RunPosted();
    // The window is asked to close: whether it may close now (else it closes after the
    // download). Escape: whether the window may end. Enter: what it does.
    bool OnCloseAsked();
    bool OnEscape() const { return !m_busy; }
    EnterAction OnEnter(bool focusOnButton);

    // The field exchange: true reads every control back (stopping at the first field whose
    // check fails, with its prompt), false shows every field.
    bool UpdateData(bool saveAndValidate);
    // A line the window adds to the log (stamped now when asked).
    void AppendLog(const std::string& text, std::uint32_t color, bool timeStamp = false);

    bool IsBusy() const { return m_busy; }
    bool LastDownloadSucceeded() const { return m_lastOk; }
    // The handshake's tick period (tests and the demo ask for faster ticks).
    void SetHandshakeTickMs(unsigned ms) { m_host.SetTickMs(ms); }
    // A bus that changes by itself between downloads (the demo's), or null.
    void SetBusScript(BusScript* script) { m_busScript = script; }
    // The station, while no download runs.
    ProgrammingStation& Station() { return m_station; }
    const WindowFields& Fields() const { return m_fields; }
    const WindowEnables& Enables() const { return m_enables; }

  private:
    // StationObserver: on the worker thread during a download, on the window's otherwise.
    void OnLog(const LogEntry& entry) override;
    void OnClearLog() override;
    void OnProgressRange(std::uint32_t low, std::uint32_t high) override;
    void OnProgressPos(std::uint32_t position) override;
    void OnProgressShown(bool shown) override;
    void OnStatus(const std::string& text, std::uint32_t color, bool present,
                  const std::string& uid) override;
    void OnWarning(const std::string& text) override;
    void OnImageLoaded(const LoadReport& report, bool makerFormat) override;
    void OnSettingsRead(const StoredSettings& stored) override;
    void OnSerialNumber(const std::string& text) override;

    // Runs `work` now on the window's thread, or there later when called from the worker.
    void OnWindowThread(std::function<void()> work);
    void StartTimer(WindowTimer id, int ms, bool singleShot);
    void StopTimer(WindowTimer id);
    void ApplyBootloaderId();
    void StartDownload();
    // Production mode (window_production.cpp).
    void ReadProduction();
    void EnterProduction();
    void LeaveProduction();
    void NewShift();
    void LookForModule();
    void ProductionDownloadEnded(bool ok);
    void Recount();
    void ShowProduction();
    void WatchArrivals();
    void LoadHexFile();
    void RefreshStatus();
    void SetEnables();
    void DownloadEnded(bool ok);
    // The bus script's next change, `ms` from now (0: none).
    void ScheduleBus(int ms);
    // The progress the worker reached, shown at most once a period.
    void ProgressChanged();
    void ShowProgressNow();

    WindowView& m_view;
    const std::thread::id m_windowThread;
    StationFlags m_flags;
    ThreadHost m_host;
    ProgrammingStation m_station;
    std::thread m_worker;

    WindowFields m_fields;
    WindowEnables m_enables;
    bool m_makerFormat = false;
    bool m_busy = false;
    bool m_closeAsked = false;
    bool m_lastOk = false;
    std::map<WindowTimer, bool> m_timers;  // the running timers: whether each fires once

    // Production mode: its settings, the line's decisions, the module being programmed, what the
    // window shows, the count read off the window's thread, and the platform's arrival news.
    ProductionSettings m_production;
    ProductionLine m_line;
    std::optional<ModuleIdentity> m_programming;
    ProductionDisplay m_display;
    std::thread m_counter;
    bool m_counting = false;       // a count is being read
    bool m_recountWanted = false;  // and another was asked for meanwhile
    std::unique_ptr<ArrivalWatch> m_arrivals;
    BusScript* m_busScript = nullptr;

    // What the worker has told and the window has yet to take.
    std::mutex m_eventsMutex;
    std::vector<std::function<void()>> m_events;
    bool m_eventsPosted = false;  // under m_eventsMutex

    // The progress as the worker set it, and whether the window has yet to show it.
    struct Progress {
        std::uint32_t low = 0, high = 0, position = 0;
        bool set = false;  // a range was set since the window last showed it
    };
    std::mutex m_progressMutex;
    Progress m_progress;
    bool m_progressPosted = false;  // under m_progressMutex
    std::chrono::steady_clock::time_point m_progressShownAt{};
    BarPosition m_shownBar{-1, -1};
};

// While a download runs the window shows a new position at most this often: a repaint per block
// would cost more than the block on the wire.
inline constexpr int kProgressPeriodMs = 50;
// The status refresh's period while idle.
inline constexpr int kStatusPeriodMs = 500;
