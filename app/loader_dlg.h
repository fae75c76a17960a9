#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "controls/glyph_button.h"
#include "controls/label_control.h"
#include "controls/link_label.h"
#include "device/boot_protocol.h"
#include "device/hid_port.h"
#include "device/overlapping_platform.h"
#include "image/hex_image.h"
#include "log/message_log.h"
#include "settings/config_location.h"
#include "station/programming_station.h"

// Control identifiers of the main window.
enum ControlId : int {
    IDC_BANNER = 1001,
    IDC_AUTO_RELOAD = 1003,
    IDC_LINK = 1004,
    IDC_AUTO_SN = 1005,
    IDC_OPEN = 1007,
    IDC_RELOAD = 1008,
    IDC_LOG = 1009,
    IDC_PATH = 1011,
    IDC_LABEL_LENGTH_CAPTION = 1013,
    IDC_LABEL_DATE_CAPTION = 1014,
    IDC_LABEL_LENGTH = 1016,
    IDC_LABEL_DATE = 1017,
    IDC_SN_BYTES = 1025,
    IDC_VID = 1026,
    IDC_PID = 1027,
    IDC_SN_ADDR = 1028,
    IDC_SN_VALUE = 1030,
    IDC_SN_STEP = 1031,
    IDC_STATUS = 1032,
    IDC_DOWNLOAD = 1033,
    IDC_CONNECTION = 1034,
    IDC_PROGRESS = 1051,
    IDC_CLEAR = 1058,
};

// Picture ids of the window.
enum ImageId : int {
    IDR_MAINFRAME = 128,
    IDB_BANNER = 133,
    IDI_DEVICE_ABSENT = 140,
    IDI_DEVICE_PRESENT = 141,
    IDI_RELOAD = 149,
    IDI_OPEN = 150,
    IDI_DOWNLOAD = 151,
};

inline constexpr const char* kWindowCaption = "PRAVUNE Loader (Build: V1.5.1)";
inline constexpr const char* kAboutMenuText = "About PRAVUNE Loader(&A)...";
// While a download runs the window paints at most this often, and its progress bar takes a new
// position at most this often: a repaint per block would cost more than the block on the wire.
inline constexpr int kPaintPeriodMs = 50;
// A paint that is due within this time is made while the module works on its next answer, not
// after it: the download does not wait for the paint.
inline constexpr int kPaintLeadMs = 2;

// The loader's one window: it lays out the controls, moves values between them and the
// programming station's fields, shows what the station tells it, and runs the station's
// protocol on the UI thread (its Qt host). While a download runs, what it shows is gathered and
// painted once a period; a paint that falls due just as the module is to answer is made while a
// helper thread waits for that answer.
class CLoaderDlg : public QDialog, private BootHost, private StationObserver {
    Q_OBJECT
  public:
    // The window over the settings file `where` names; its log tells first what finding that
    // file noticed (a copy made, a folder that could not be made).
    CLoaderDlg(HidPlatform& platform, const ConfigLocation& where, QWidget* parent = nullptr);
    // The window over config.ini in `settingsFolder` (tests and benchmarks).
    CLoaderDlg(HidPlatform& platform, const std::string& settingsFolder, QWidget* parent = nullptr);
    ~CLoaderDlg() override;

    // The field exchange: true reads every control back into its field (stopping at the first
    // field whose check fails, with the standard prompt), false pushes every field into its
    // control without running change handlers.
    bool UpdateData(bool saveAndValidate = true);

    void RefreshStatus();
    void ApplyBootloaderId();
    // The serial-number plan: validation of an edit, and the plan's on/off switch.
    void OnSnFieldsChanged(SnField edited);
    void OnAutoSnClicked();
    // The Download button: programs one module, or asks the running download to stop.
    void OnDownload();
    // The handshake's tick period; 1000 ms unless a test or the demo asks for faster ticks.
    void SetHandshakeTickMs(unsigned ms) { m_tickMs = ms; }
    bool LastDownloadSucceeded() const { return m_lastDownloadOk; }
    bool LoadHexFile(const std::string& path) { return m_station.LoadHexFile(path); }
    void SetSnControlsEnabled(bool enable);
    void AppendLog(const std::string& text, std::uint32_t color, bool timeStamp = false);
    void ClearLog();

    QWidget* GetDlgItem(int id) const;
    ProgrammingStation& Station() { return m_station; }
    const HexImage& Image() const { return m_station.Image(); }
    CHidPort& Port() { return m_station.Port(); }

  signals:
    // Emitted when a download has ended (tests and the demo wait for it).
    void DownloadFinished(bool succeeded);

  protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void reject() override;

  private:
    // BootHost
    void PumpOneMessage() override;
    void WaitForEvent() override;
    void StartTimer(int id, unsigned periodMs) override;
    void StopTimer(int id) override;
    void SetProgressRange(std::uint32_t low, std::uint32_t high) override;
    void SetProgressStep(std::uint32_t step) override;
    void SetProgressPos(std::uint32_t position) override;

    // StationObserver
    void OnLog(const LogEntry& entry) override;
    void OnClearLog() override { ClearLog(); }
    void OnProgressShown(bool shown) override;
    void OnStatus(const std::string& text, std::uint32_t color, bool present,
                  const std::string& uid) override;
    void OnBusy(bool busy) override;
    void OnWarning(const std::string& text) override;
    void OnImageLoaded(const LoadReport& report, bool makerFormat) override;
    void OnFieldsChanged() override { UpdateData(false); }

    void CreateControls();
    void InitDialog();
    void OnOpen();
    void OnReload();
    void OnPathChanged();
    void OnAutoReloadClicked();
    void OnAbout();
    void Warn(const QString& text);
    // Shows `value` on the progress bar now, or when kPaintPeriodMs has passed since the last
    // push; during a download, at the window's next paint. FlushProgress pushes the position
    // held back at once.
    void PushProgress(int value);
    void FlushProgress();
    // The paint a download held back: the log's new entries, the bar's visibility and position,
    // and every control that changed.
    void PaintHeldBack();
    // Shows what a download held back for its next paint (the log's entries, the bar).
    void ShowHeldBack();
    // Makes sure the window paints within kPaintPeriodMs.
    void SchedulePaint();
    // Whether that paint is due now, or within kPaintLeadMs.
    bool PaintDueSoon() const;
    // The serial-number plan's fields (address, width list, value, step).
    std::vector<QWidget*> SnFields() const;

    StationFlags m_flags;
    OverlappingPlatform m_platform;  // the station's, so that paints overlap the module's answers
    ProgrammingStation m_station;
    std::string m_settingsFile;    // the About box shows it
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

    int m_nPushing = 0;  // change handlers do nothing while a push fills the controls
    int m_timer1 = 0;
    int m_timer2 = 0;
    std::uint32_t m_clrButtonFace = 0;
    std::uint32_t m_progressLow = 0, m_progressHigh = 0;
    int m_progressValue = 0;         // the position the bar is to show
    QElapsedTimer m_progressPushed;  // since the bar last took a position
    QTimer m_progressTimer;          // pushes a position held back
    QTimer m_paintTimer;             // paints what a download held back
    bool m_paintDue = false;         // the paint that m_paintTimer sends is carried out
    // A download's log entries and the bar's visibility, shown at its next paint.
    struct HeldLogEntry {
        std::string text;
        std::uint32_t color = 0;
        QString stamp;  // taken when the entry was made
    };
    std::vector<HeldLogEntry> m_heldLog;
    std::optional<bool> m_heldBarShown;
    bool m_closeRequested = false;
    bool m_lastDownloadOk = false;
    unsigned m_tickMs = kHandshakePeriodMs;
};
