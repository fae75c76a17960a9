#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "settings/config_location.h"
#include "station/window_controller.h"
#include "win/gdi_handles.h"
#include "win/glyph_button.h"
#include "win/link_label.h"
#include "win/message_log.h"
#include "win/production_panel.h"
#include "win/resource.h"

// The loader's one window on Windows, the Win32 view of the window controller: the dialog
// template 102 from the program's resources; it maps its controls to the controller's fields
// and back, paints what it is told, shows the boxes it is asked to show and forwards every
// input. The station runs its downloads on a worker thread; what it tells comes back to the
// window's thread as a posted message.
class WinLoaderDlg final : private WindowView {
  public:
    struct Options {
        std::string applicationName = "pravune-loader";  // the warning boxes' title
        HINSTANCE resources = nullptr;                   // the dialogs and pictures
    };
    WinLoaderDlg(HidPlatform& platform, const ConfigLocation& where, Options options);
    ~WinLoaderDlg() override;
    WinLoaderDlg(const WinLoaderDlg&) = delete;
    WinLoaderDlg& operator=(const WinLoaderDlg&) = delete;

    // Runs the window modally until it closes.
    void RunModal();
    // Creates the window modeless (shown), for a message loop of the caller's own; false when
    // the dialog could not be made.
    bool Create(HWND parent = nullptr);
    HWND Handle() const { return m_hWnd; }

    // Told when a download has ended (tests and the demo).
    std::function<void(bool succeeded)> onDownloadEnded;
    // Told when the window has closed (its modeless owner ends its loop).
    std::function<void()> onClosed;

    WindowController& Controller() { return m_controller; }
    WinGlyphButton* GlyphButton(int id);
    WinLinkLabel& Link() { return m_link; }
    WinMessageLog& Log() { return m_log; }
    HWND ProductionPanel() const { return m_panel.Handle(); }

    // The system menu's command of a menu item: multiples of 16 from IDM_ABOUTBOX (the system
    // menu keeps the low four bits of a command for itself).
    static UINT MenuCommandId(MenuCommand command) {
        return IDM_ABOUTBOX + 0x10 * static_cast<UINT>(command);
    }

  private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void InitDialog();
    void OnCommand(int id, int code);
    void Close();
    void MakeLabelFonts();
    // A label's text and background colours; it repaints when they change.
    void SetLabelColors(int id, std::uint32_t fore, std::uint32_t back);
    // The controller's menu items after the system menu's separator (they change with the mode).
    void FillSystemMenu();
    // The same items as a context menu at `screen` (a right click in the window).
    void ShowContextMenu(POINT screen);
    // A command of the system menu or the context menu to the controller; false when none is.
    bool OnMenuCommand(UINT id);
    // The client area's width for `units` dialog units wide, the height as the template's.
    void SetClientWidth(int units);

    // WindowView
    WindowFields ReadFields() const override;
    void ShowFields(const WindowFields& fields) override;
    void ShowEnables(const WindowEnables& enables) override;
    void PutPlanCaretsAtEnd() override;
    void SelectStep() override;
    void AppendLog(const LogEntry& entry) override;
    void ClearLog() override;
    void ShowProgress(int maximum, int value) override;
    void ShowProgressBar(bool shown) override;
    void ShowStatus(const std::string& text, std::uint32_t color, int icon) override;
    void ShowImageLabels(const std::string& length, const std::string& date) override;
    void Warn(const std::string& text) override;
    std::optional<std::string> AskHexFile(const std::string& path) override;
    void ShowAbout() override;
    void StartTimer(WindowTimer id, int ms) override;
    void StopTimer(WindowTimer id) override;
    void Wake() override;
    void CloseWindow() override { Close(); }
    void DownloadEnded(bool succeeded) override;
    void ShowProduction(const ProductionDisplay& display) override;
    bool Confirm(const std::string& title, const std::string& text) override;
    std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                       bool secret) override;

    struct DeviceNotifyDeleter {
        void operator()(HDEVNOTIFY notify) const { UnregisterDeviceNotification(notify); }
    };

    const ConfigLocation m_where;
    const Options m_options;
    HWND m_hWnd = nullptr;
    bool m_modal = false;
    HICON m_iconLarge = nullptr;
    HICON m_iconSmall = nullptr;

    std::map<int, std::unique_ptr<WinGlyphButton>> m_buttons;
    WinLinkLabel m_link;
    WinMessageLog m_log;
    struct Label {
        std::uint32_t fore = 0;
        std::uint32_t back = 0;
        double points = 9;
        gdi::Font font;
        gdi::Brush brush;  // of the background
    };
    std::map<int, Label> m_labels;
    WinProductionPanel m_panel;
    // HID arrivals and removals, while the window exists.
    std::unique_ptr<void, DeviceNotifyDeleter> m_arrivals;

    int m_pushing = 0;                    // change handlers do nothing while a push fills controls
    std::atomic<HWND> m_postTo{nullptr};  // the window, while it exists (the controller's Wake)

    // Declared last: its worker thread ends before anything the window holds goes.
    WindowController m_controller;
};
