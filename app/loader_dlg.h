#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <cstdint>
#include <map>
#include <string>

#include "controls/glyph_button.h"
#include "controls/label_control.h"
#include "controls/link_label.h"
#include "controls/production_panel.h"
#include "log/message_log.h"
#include "pravune_version.h"
#include "settings/config_location.h"
#include "station/window_controller.h"
#include "station/window_ids.h"

inline constexpr const char* kWindowCaption = "PRAVUNE Loader (Build: V" PRAVUNE_VERSION ")";
// The loader's one window, the Qt view of the window controller: it lays out the controls,
// maps them to the controller's fields and back, paints what it is told, shows the boxes it is
// asked to show and forwards every input. The station runs its downloads on a worker thread.
class CLoaderDlg : public QDialog, private WindowView {
    Q_OBJECT
  public:
    // The window over the settings file `where` names; its log tells first what finding that
    // file noticed (a copy made, a folder that could not be made).
    CLoaderDlg(HidPlatform& platform, const ConfigLocation& where, QWidget* parent = nullptr);
    // The window over config.ini in `settingsFolder` (tests and benchmarks).
    CLoaderDlg(HidPlatform& platform, const std::string& settingsFolder, QWidget* parent = nullptr);
    ~CLoaderDlg() override;

    // The field exchange (see WindowController::UpdateData).
    bool UpdateData(bool saveAndValidate = true) {
        return m_controller.UpdateData(saveAndValidate);
    }
    // The handshake's tick period; 1000 ms unless a test or the demo asks for faster ticks.
    void SetHandshakeTickMs(unsigned ms) { m_controller.SetHandshakeTickMs(ms); }
    bool LastDownloadSucceeded() const { return m_controller.LastDownloadSucceeded(); }
    bool IsBusy() const { return m_controller.IsBusy(); }
    void AppendLog(const std::string& text, std::uint32_t color, bool timeStamp = false) {
        m_controller.AppendLog(text, color, timeStamp);
    }
    void ClearLog() { m_log->ClearLog(); }

    QWidget* GetDlgItem(int id) const;
    WindowController& Controller() { return m_controller; }
    // The station, while no download runs (tests).
    ProgrammingStation& Station() { return m_controller.Station(); }
    const HexImage& Image() { return Station().Image(); }
    CHidPort& Port() { return Station().Port(); }

  signals:
    // Emitted when a download has ended (tests and the demo wait for it).
    void DownloadFinished(bool succeeded);

  protected:
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void reject() override;

  private:
    // WindowView
    WindowFields ReadFields() const override;
    void ShowFields(const WindowFields& fields) override;
    void ShowEnables(const WindowEnables& enables) override;
    void PutPlanCaretsAtEnd() override;
    void SelectStep() override;
    void AppendLog(const LogEntry& entry) override;
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
    void CloseWindow() override { close(); }
    void DownloadEnded(bool succeeded) override { emit DownloadFinished(succeeded); }
    void ShowProduction(const ProductionDisplay& display) override;
    bool Confirm(const std::string& title, const std::string& text) override;
    std::optional<std::string> AskText(const std::string& title, const std::string& prompt,
                                       bool secret) override;

    void CreateControls();
    template <class T>
    T* Item(int id) const {
        return static_cast<T*>(m_items.at(id));
    }
    void ConnectControls();
    void InitDialog();

    const ConfigLocation m_where;  // the About box shows it
    std::string m_settingsOrigin;  // and why it is there

    // Controls by id, and the typed pointers the window works with.
    std::map<int, QWidget*> m_items;
    CGlyphButton* m_btnConnection = nullptr;
    CGlyphButton* m_btnDownload = nullptr;
    CGlyphButton* m_btnReload = nullptr;
    CGlyphButton* m_btnOpen = nullptr;
    CMessageLog* m_log = nullptr;
    CGlyphButton* m_btnClear = nullptr;
    QLineEdit* m_editSnValue = nullptr;
    QLineEdit* m_editSnAddr = nullptr;
    CLinkLabel* m_link = nullptr;
    CGlyphButton* m_banner = nullptr;
    QProgressBar* m_progress = nullptr;
    QLineEdit* m_editVID = nullptr;
    QLineEdit* m_editPID = nullptr;
    QCheckBox* m_chkAutoReload = nullptr;
    QCheckBox* m_chkAutoSN = nullptr;
    QLineEdit* m_editSnStep = nullptr;
    QComboBox* m_cmbSnBytes = nullptr;
    QLineEdit* m_editPath = nullptr;
    CLabelControl* m_lblStatus = nullptr;
    CLabelControl* m_lblLengthCaption = nullptr;
    CLabelControl* m_lblDateCaption = nullptr;
    CLabelControl* m_lblLength = nullptr;
    CLabelControl* m_lblDate = nullptr;
    CProductionPanel* m_panel = nullptr;  // made when production mode is first shown

    int m_nPushing = 0;  // change handlers do nothing while a push fills the controls
    std::map<WindowTimer, int> m_timers;  // running timers by their Qt ids
    std::uint32_t m_clrButtonFace = 0;
    // Declared last: its worker thread ends before any control goes.
    WindowController m_controller;
};
