#include "app/loader_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QStyle>
#include <QTimerEvent>
#include <tuple>

#include "app/about_box.h"
#include "app/dialog_units.h"
#include "app/qt_text.h"
#include "image/load_report.h"
#include "image/serial_number.h"
#include "res/pictures.h"
#include "settings/settings_store.h"

namespace {

// An unsigned decimal number from 0 to 255 with nothing else but white space around it.
std::optional<unsigned> ParseStep(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    for (QChar c : t) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    if (t.size() > 3)
        return 256u;
    return t.toUInt();
}

}  // namespace

CLoaderDlg::CLoaderDlg(HidPlatform& platform, const ConfigLocation& where, QWidget* parent)
    : QDialog(parent),
      m_platform(platform),
      m_station(m_platform, where.path, *this, *this, m_flags),
      m_settingsFile(where.path),
      m_settingsOrigin(DescribeConfigOrigin(where.origin)) {
    CreateControls();
    if (!where.copiedFrom.empty())
        AppendLog("Settings carried over from " + where.copiedFrom + " to " + where.path +
                      " (the serial number goes on from there)\r\n",
                  kLogBlack);
    if (!where.problem.empty())
        AppendLog("Settings at " + where.path + ": " + where.problem + "\r\n", kLogRed);
    InitDialog();
}

CLoaderDlg::CLoaderDlg(HidPlatform& platform, const std::string& settingsFolder, QWidget* parent)
    : CLoaderDlg(platform,
                 ConfigLocation{settingsFolder + "/config.ini", ConfigOrigin::kNamed, {}, {}},
                 parent) {}

CLoaderDlg::~CLoaderDlg() {
    if (m_timer2)
        killTimer(m_timer2);
    if (m_timer1)
        killTimer(m_timer1);
}

void CLoaderDlg::CreateControls() {
    setWindowTitle(QString::fromUtf8(kWindowCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    const QFont font(QStringLiteral("Arial"), 9);
    setFont(font);
    const DialogUnits du(font);
    setFixedSize(du.X(242), du.Y(250));

    auto place = [&](QWidget* w, int id, int x, int y, int cx, int cy) {
        w->setGeometry(du.Rect(x, y, cx, cy));
        if (id) {
            w->setObjectName(QString::number(id));
            m_items[id] = w;
        }
        return w;
    };
    auto edit = [&](int id, int x, int y, int cx, int cy, int maxLength) {
        auto* e = new QLineEdit(this);
        if (maxLength)
            e->setMaxLength(maxLength);
        place(e, id, x, y, cx, cy);
        return e;
    };
    auto group = [&](const char* caption, int x, int y, int cx, int cy) {
        auto* g = new QGroupBox(QString::fromUtf8(caption), this);
        g->setFocusPolicy(Qt::NoFocus);
        // A group box only frames: the controls it lies over get every click.
        g->setAttribute(Qt::WA_TransparentForMouseEvents);
        return place(g, 0, x, y, cx, cy);
    };
    auto text = [&](const char* caption, int x, int y, int cx, int cy) {
        auto* l = new QLabel(QString::fromUtf8(caption), this);
        l->setAttribute(Qt::WA_TransparentForMouseEvents);  // a static text takes no clicks
        return place(l, 0, x, y, cx, cy);
    };
    auto label = [&](int id, const char* caption, std::uint32_t color, double points, int x, int y,
                     int cx, int cy) {
        auto* l = new CLabelControl(this);
        l->SetCaption(QString::fromUtf8(caption));
        l->SetForeColor(color);
        QFont f(QStringLiteral("Arial"));
        f.setPointSizeF(points);
        l->setFont(f);
        place(l, id, x, y, cx, cy);
        return l;
    };
    auto button = [&](int id, const char* caption, int x, int y, int cx, int cy) {
        auto* b = new CGlyphButton(this);
        b->setText(QString::fromUtf8(caption));
        place(b, id, x, y, cx, cy);
        return b;
    };

    // Template order, which is also the tab order.
    m_editVID = edit(IDC_VID, 176, 203, 42, 12, 4);
    m_editPID = edit(IDC_PID, 176, 227, 42, 12, 4);
    m_editSnAddr = edit(IDC_SN_ADDR, 58, 101, 36, 12, 4);
    m_editSnValue = edit(IDC_SN_VALUE, 58, 116, 36, 12, 8);
    m_editSnStep = edit(IDC_SN_STEP, 116, 116, 26, 12, 0);
    m_chkAutoReload = new QCheckBox(QStringLiteral("Auto Reload"), this);
    place(m_chkAutoReload, IDC_AUTO_RELOAD, 136, 139, 51, 8);
    m_btnClear = button(IDC_CLEAR, "Clear", 189, 138, 45, 12);
    QWidget* idGroup = group("Bootloader ID", 161, 182, 66, 63);
    QWidget* vidText = text("VID (hex)", 169, 192, 32, 9);
    QWidget* pidText = text("PID (hex)", 168, 218, 33, 8);
    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    place(m_progress, IDC_PROGRESS, 7, 243, 229, 6);
    m_progressTimer.setSingleShot(true);
    connect(&m_progressTimer, &QTimer::timeout, this, &CLoaderDlg::FlushProgress);
    m_paintTimer.setSingleShot(true);
    connect(&m_paintTimer, &QTimer::timeout, this, &CLoaderDlg::PaintHeldBack);
    m_platform.SetSideWork({[this] { return PaintDueSoon(); }, [this] { PaintHeldBack(); }});
    m_link = new CLinkLabel(this);
    m_link->setText(QString::fromUtf8(kMakerAddress));
    place(m_link, IDC_LINK, 143, 27, 91, 10);
    m_banner = button(IDC_BANNER, "", 7, 4, 228, 34);
    group("Serial number", 7, 80, 140, 52);
    text("Address (hex)", 11, 102, 44, 9);
    text("Bytes", 97, 103, 19, 8);
    m_chkAutoSN = new QCheckBox(QStringLiteral("Enable Auto Serial number"), this);
    place(m_chkAutoSN, IDC_AUTO_SN, 13, 90, 100, 10);
    text("SN (hex)", 11, 117, 38, 9);
    text("Step", 97, 118, 17, 8);
    m_log = new CMessageLog(this);
    place(m_log, IDC_LOG, 7, 152, 228, 93);
    m_editPath = edit(IDC_PATH, 9, 44, 223, 12, 0);
    m_lblLengthCaption =
        label(IDC_LABEL_LENGTH_CAPTION, "Hex Length:", 0x5A674E, 9, 37, 58, 39, 11);
    m_lblDateCaption =
        label(IDC_LABEL_DATE_CAPTION, "Latest Update Time:", 0x5A674E, 9, 10, 67, 66, 9);
    m_lblLength = label(IDC_LABEL_LENGTH, "0 Bytes", 0x0000FF, 9, 79, 58, 82, 8);
    m_lblDate = label(IDC_LABEL_DATE, "2011-07-04 13:40:10", 0x0000FF, 9, 79, 67, 85, 7);
    group("", 7, 37, 228, 42);
    m_cmbSnBytes = new QComboBox(this);
    m_cmbSnBytes->addItems(
        {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4")});
    m_cmbSnBytes->setCurrentIndex(-1);
    place(m_cmbSnBytes, IDC_SN_BYTES, 116, 102, 26, 12);
    m_lblStatus = label(IDC_STATUS, "Disconnected", kStatusAbsent, 15.75, 35, 136, 93, 11);
    group("", 7, 129, 125, 23);
    m_btnOpen = button(IDC_OPEN, "", 188, 57, 21, 18);
    m_btnReload = button(IDC_RELOAD, "", 210, 57, 21, 18);
    m_btnDownload = button(IDC_DOWNLOAD, "Download", 148, 83, 86, 49);
    m_btnConnection = button(IDC_CONNECTION, "", 11, 135, 20, 15);

    // As in a dialog template, an earlier control lies above a later one (the link above the
    // banner, every control above the group box that frames it).
    for (QObject* child : children()) {
        if (auto* w = qobject_cast<QWidget*>(child))
            w->lower();
    }
    for (QWidget* w : {idGroup, vidText, pidText, static_cast<QWidget*>(m_editVID),
                       static_cast<QWidget*>(m_editPID), static_cast<QWidget*>(m_progress)}) {
        w->hide();
    }
    m_banner->setEnabled(false);
    // The disabled banner is free area: a right click on it reaches the window's menu.
    m_banner->setAttribute(Qt::WA_TransparentForMouseEvents);

    connect(m_editVID, &QLineEdit::textChanged, this, [this] {
        if (!m_nPushing)
            ApplyBootloaderId();
    });
    connect(m_editPID, &QLineEdit::textChanged, this, [this] {
        if (!m_nPushing)
            ApplyBootloaderId();
    });
    connect(m_btnClear, &QPushButton::clicked, this, &CLoaderDlg::ClearLog);
    connect(m_chkAutoReload, &QCheckBox::clicked, this, &CLoaderDlg::OnAutoReloadClicked);
    connect(m_btnOpen, &QPushButton::clicked, this, &CLoaderDlg::OnOpen);
    connect(m_chkAutoSN, &QCheckBox::clicked, this, &CLoaderDlg::OnAutoSnClicked);
    connect(m_btnDownload, &QPushButton::clicked, this, &CLoaderDlg::OnDownload);
    for (auto [planEdit, field] :
         {std::pair{m_editSnAddr, SnField::kAddress}, std::pair{m_editSnValue, SnField::kValue},
          std::pair{m_editSnStep, SnField::kStep}}) {
        connect(planEdit, &QLineEdit::textChanged, this, [this, field = field] {
            if (!m_nPushing)
                OnSnFieldsChanged(field);
        });
    }
    connect(m_cmbSnBytes, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_nPushing)
            OnSnFieldsChanged(SnField::kWidth);
    });
    connect(m_btnReload, &QPushButton::clicked, this, &CLoaderDlg::OnReload);
    connect(m_editPath, &QLineEdit::textChanged, this, [this] {
        if (!m_nPushing)
            OnPathChanged();
    });
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &CLoaderDlg::OnAbout);
}

void CLoaderDlg::InitDialog() {
    // The first push fills the controls with the constructor's values.
    UpdateData(false);

    setWindowIcon(QIcon(Picture(IDR_MAINFRAME)));
    m_banner->m_bEmbossDisabledBitmap = false;
    m_banner->LoadBitmaps(IDB_BANNER, 0x000000, 0, 0);
    m_btnConnection->LoadIcons(IDI_DEVICE_ABSENT, 0);
    m_link->m_clrCurrent = 0x326464;
    m_link->m_clrPressed = 0x6464FF;
    m_link->m_clrHover = 0xFF6464;
    m_link->m_clrNormal = 0x323264;
    m_link->m_bTransparent = true;
    m_link->CreateLinkFont(19, 9, 0, 0, 400, 1, 1, 0, 0, 0, 0, 0, 0, QStringLiteral("Arial"));
    m_link->StartHoverTimer();
    m_btnDownload->LoadIcons(IDI_DOWNLOAD, 0);
    m_btnDownload->SetImagePlacement(1);
    m_btnDownload->SetFlatStyle(false);
    m_btnDownload->SetImageMargins(0, 20, 0, 0);
    m_btnDownload->SetStateColor(CGlyphButton::BTNST_COLOR_BK_OUT, 0xC4D89A);
    m_btnDownload->ShadeStateColor(CGlyphButton::BTNST_COLOR_BK_IN, 30);
    m_btnOpen->LoadIcons(IDI_OPEN, 0);
    m_btnOpen->SetTipText(QStringLiteral("Open"), true);
    m_btnReload->LoadIcons(IDI_RELOAD, 0);
    m_btnReload->SetTipText(QStringLiteral("Reload"), true);
    m_btnClear->SetFlatStyle(false);
    m_btnClear->ShadeStateColor(CGlyphButton::BTNST_COLOR_BK_IN, 30);

    // The settings as the window reads them at start: the fields, then the controls.
    ProgrammingStation& st = m_station;
    st.ReadSettings();
    for (QWidget* w : SnFields())
        w->setEnabled(st.m_bAutoSN != 0);
    UpdateData(false);

    ApplyBootloaderId();
    LoadHexFile(st.m_strPath);
    m_timer2 = startTimer(500);

    QPalette logPalette = m_log->palette();
    logPalette.setColor(QPalette::Base, RgbColor(kLogBackground));
    m_log->setPalette(logPalette);

    m_clrButtonFace = ColorRgb(QApplication::palette().color(QPalette::Button));
    QPalette face = palette();
    face.setColor(QPalette::Window, RgbColor(m_clrButtonFace));
    setPalette(face);
    for (CLabelControl* l :
         {m_lblLengthCaption, m_lblDateCaption, m_lblLength, m_lblStatus, m_lblDate}) {
        l->SetBackColor(m_clrButtonFace);
    }
    // The focus goes to the first tab stop that can take it: shown and enabled (the hidden
    // identifier edits would blink a caret nobody sees).
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        if (w->isVisibleTo(this) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
            w->setFocus();
            break;
        }
    }
}

std::vector<QWidget*> CLoaderDlg::SnFields() const {
    return {m_editSnAddr, m_cmbSnBytes, m_editSnValue, m_editSnStep};
}

QWidget* CLoaderDlg::GetDlgItem(int id) const {
    auto it = m_items.find(id);
    return it == m_items.end() ? nullptr : it->second;
}

bool CLoaderDlg::UpdateData(bool saveAndValidate) {
    ProgrammingStation& st = m_station;
    if (!saveAndValidate) {
        ++m_nPushing;
        m_editVID->setText(Q(st.m_strVID));
        m_editPID->setText(Q(st.m_strPID));
        m_chkAutoReload->setChecked(st.m_bAutoReload != 0);
        m_chkAutoSN->setChecked(st.m_bAutoSN != 0);
        m_editSnAddr->setText(Q(st.m_strSnAddr));
        m_editSnValue->setText(Q(st.m_strSnValue));
        m_editSnStep->setText(QString::number(st.m_nSnStep));
        m_cmbSnBytes->setCurrentIndex(
            st.m_nSnBytesIndex >= 0 && st.m_nSnBytesIndex < 4 ? st.m_nSnBytesIndex : -1);
        m_editPath->setText(Q(st.m_strPath));
        --m_nPushing;
        return true;
    }
    // During a download the fields are the station's: a read-back would put back the number it
    // has moved on from (an identifier edit is taken when the download ends).
    if (st.IsBusy())
        return true;
    st.m_strVID = S(m_editVID->text());
    st.m_strPID = S(m_editPID->text());
    st.m_bAutoReload = m_chkAutoReload->isChecked() ? 1 : 0;
    st.m_bAutoSN = m_chkAutoSN->isChecked() ? 1 : 0;
    st.m_strSnAddr = S(m_editSnAddr->text());
    st.m_strSnValue = S(m_editSnValue->text());
    const std::optional<unsigned> step = ParseStep(m_editSnStep->text());
    if (!step || *step > 255) {
        Warn(step ? QStringLiteral("Please enter an integer between 0 and 255.")
                  : QStringLiteral("Please enter a positive integer."));
        m_editSnStep->setFocus();
        m_editSnStep->selectAll();
        return false;
    }
    st.m_nSnStep = *step;
    st.m_nSnBytesIndex = m_cmbSnBytes->currentIndex();
    st.m_strPath = S(m_editPath->text());
    return true;
}

void CLoaderDlg::Warn(const QString& text) {
    QMessageBox::warning(this, QCoreApplication::applicationName(), text);
}

void CLoaderDlg::AppendLog(const std::string& text, std::uint32_t color, bool timeStamp) {
    m_log->AppendLog(text, color, timeStamp);
}

void CLoaderDlg::ClearLog() {
    m_heldLog.clear();  // made before the clear, only not shown yet
    m_log->ClearLog();
}

void CLoaderDlg::OnLog(const LogEntry& entry) {
    // The stamp the station took when it made the entry (the one its record keeps).
    const QString stamp = !entry.timeStamp      ? QString()
                          : entry.stamp.empty() ? CMessageLog::TimeStampPrefix()
                                                : Q(entry.stamp);
    if (!m_station.IsBusy()) {
        m_log->AppendLog(entry.text, entry.color, stamp);
        return;
    }
    // A download's entry is laid out at the next paint, which it would wait for anyway.
    m_heldLog.push_back({entry.text, entry.color, stamp});
    SchedulePaint();
}

void CLoaderDlg::OnWarning(const std::string& text) {
    Warn(Q(text));
}

void CLoaderDlg::ApplyBootloaderId() {
    if (m_station.IsBusy())
        return;  // the port stays on the module being programmed
    UpdateData(true);
    m_station.ApplyBootloaderId();
}

void CLoaderDlg::RefreshStatus() {
    m_station.RefreshStatus();
    m_station.FollowSettings();  // another front end may have moved the number on
}

void CLoaderDlg::OnStatus(const std::string& text, std::uint32_t color, bool present,
                          const std::string&) {
    m_lblStatus->SetCaption(Q(EscapeControls(text)));
    m_lblStatus->SetForeColor(color);
    const int icon = present ? IDI_DEVICE_PRESENT : IDI_DEVICE_ABSENT;
    m_btnConnection->LoadIcons(icon, icon);
}

void CLoaderDlg::OnImageLoaded(const LoadReport& report, bool makerFormat) {
    m_lblLength->SetCaption(Q(report.lengthLabel));
    m_lblDate->SetCaption(Q(report.dateLabel));
    SetSnControlsEnabled(!makerFormat);
}

void CLoaderDlg::SetSnControlsEnabled(bool enable) {
    QWidget* const fields[] = {GetDlgItem(IDC_SN_ADDR), GetDlgItem(IDC_SN_BYTES),
                               GetDlgItem(IDC_SN_VALUE), GetDlgItem(IDC_SN_STEP)};
    if (!enable) {
        m_chkAutoSN->setEnabled(false);
        for (QWidget* w : fields)
            w->setEnabled(false);
        return;
    }
    if (m_station.Image().makerFormat)
        return;
    m_chkAutoSN->setEnabled(true);
    for (QWidget* w : fields)
        w->setEnabled(m_station.m_bAutoSN != 0);
}

void CLoaderDlg::OnOpen() {
    const QString chosen = QFileDialog::getOpenFileName(
        this, QString(), Q(m_station.m_strPath), QStringLiteral("HEX file (*.[hH][eE][xX])"));
    if (chosen.isEmpty())
        return;
    m_station.m_strPath = S(chosen);
    UpdateData(false);
    m_station.SaveSetting("m_strPath_flash", m_station.m_strPath);
    LoadHexFile(m_station.m_strPath);
}

void CLoaderDlg::OnReload() {
    LoadHexFile(m_station.m_strPath);
}

void CLoaderDlg::OnPathChanged() {
    UpdateData(true);
    m_station.SaveSetting("m_strPath_flash", m_station.m_strPath);
    LoadHexFile(m_station.m_strPath);
}

void CLoaderDlg::OnAutoReloadClicked() {
    UpdateData(true);
    m_station.SaveSettingInt("AutoReload", m_station.m_bAutoReload);
}

void CLoaderDlg::OnAbout() {
    CAboutBox about(m_settingsFile, m_settingsOrigin, this);
    about.exec();
}

// Every paint of the window's controls comes to it as one update request, also a control's
// immediate repaint. While a download runs, the first request after a paint starts a period of
// kPaintPeriodMs, and the window paints once when the period is up, with everything that changed
// in it: each change shows within a period, paints come at most once a period, and the
// download's blocks are not slowed down by paints nobody could see.
bool CLoaderDlg::event(QEvent* event) {
    if (event->type() == QEvent::UpdateRequest && m_station.IsBusy() && !m_paintDue) {
        SchedulePaint();
        return true;
    }
    return QDialog::event(event);
}

void CLoaderDlg::ShowHeldBack() {
    for (const HeldLogEntry& e : m_heldLog)
        m_log->AppendLog(e.text, e.color, e.stamp);
    m_heldLog.clear();
    FlushProgress();  // the bar shows where the download is when the window paints
    if (m_heldBarShown) {
        m_progress->setVisible(*m_heldBarShown);
        m_heldBarShown.reset();
    }
}

void CLoaderDlg::SchedulePaint() {
    if (!m_paintTimer.isActive())
        m_paintTimer.start(kPaintPeriodMs);
}

void CLoaderDlg::PaintHeldBack() {
    m_paintTimer.stop();
    ShowHeldBack();
    QEvent paint(QEvent::UpdateRequest);
    m_paintDue = true;
    QCoreApplication::sendEvent(this, &paint);
    m_paintDue = false;
}

bool CLoaderDlg::PaintDueSoon() const {
    return m_paintTimer.isActive() && m_paintTimer.remainingTime() <= kPaintLeadMs && isVisible();
}

void CLoaderDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timer1) {
        m_flags.tick = true;
    } else if (event->timerId() == m_timer2) {
        if (!m_station.IsBusy())
            RefreshStatus();
    }
    QDialog::timerEvent(event);
}

void CLoaderDlg::closeEvent(QCloseEvent* event) {
    m_flags.cancel = true;
    if (m_station.IsBusy()) {
        // The window closes once the running download has returned.
        m_closeRequested = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CLoaderDlg::reject() {
    // During a download Escape does nothing: hiding would leave a process waiting unseen.
    if (!m_station.IsBusy())
        QDialog::reject();
}

void CLoaderDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (m_station.IsBusy())
            return;
        if (auto* button = qobject_cast<QAbstractButton*>(focusWidget())) {
            button->click();
            return;
        }
        if (UpdateData(true))
            accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutMenuText), this, &CLoaderDlg::OnAbout);
    menu.exec(event->globalPos());
}

void CLoaderDlg::PumpOneMessage() {
    QCoreApplication::processEvents();
}

void CLoaderDlg::WaitForEvent() {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void CLoaderDlg::StartTimer(int id, unsigned periodMs) {
    if (id != kHandshakeTimer)
        return;
    if (m_timer1)
        killTimer(m_timer1);
    // Tests and the demo may ask for faster ticks than the protocol's 1000 ms.
    m_timer1 = startTimer(static_cast<int>(periodMs == kHandshakePeriodMs ? m_tickMs : periodMs),
                          Qt::PreciseTimer);
}

void CLoaderDlg::StopTimer(int id) {
    if (id != kHandshakeTimer || !m_timer1)
        return;
    killTimer(m_timer1);
    m_timer1 = 0;
}

void CLoaderDlg::SetProgressRange(std::uint32_t low, std::uint32_t high) {
    m_progressLow = low;
    m_progressHigh = high;
    m_progressTimer.stop();
    // Qt shows a busy bar for an empty range; an empty range shows as an empty bar instead.
    m_progress->setRange(0, high > low ? static_cast<int>(high - low) : 1);
    m_progress->setValue(0);
    m_progressValue = 0;
    m_progressPushed.start();
}

void CLoaderDlg::SetProgressStep(std::uint32_t) {}

void CLoaderDlg::SetProgressPos(std::uint32_t position) {
    // Qt ignores a value outside the range; a position past the end shows a full bar.
    const std::uint32_t clamped = position < m_progressLow    ? m_progressLow
                                  : position > m_progressHigh ? m_progressHigh
                                                              : position;
    PushProgress(m_progressHigh > m_progressLow ? static_cast<int>(clamped - m_progressLow)
                                                : (position > m_progressLow ? 1 : 0));
}

void CLoaderDlg::PushProgress(int value) {
    m_progressValue = value;
    if (m_progress->value() == value) {
        m_progressTimer.stop();
        return;
    }
    if (m_station.IsBusy()) {
        // The download's next paint pushes the position it has reached by then.
        SchedulePaint();
        return;
    }
    const qint64 since = m_progressPushed.isValid() ? m_progressPushed.elapsed() : kPaintPeriodMs;
    if (since >= kPaintPeriodMs) {
        FlushProgress();
    } else if (!m_progressTimer.isActive()) {
        m_progressTimer.start(static_cast<int>(kPaintPeriodMs - since));
    }
}

void CLoaderDlg::FlushProgress() {
    m_progressTimer.stop();
    const int before = m_progress->value();
    if (before == m_progressValue)
        return;
    m_progressPushed.start();
    const int span = m_progress->maximum() - m_progress->minimum();
    if (m_progressValue < before || span <= 0 || !m_progress->isVisible() ||
        m_progress->style()->name() != QLatin1String("fusion")) {
        m_progress->setValue(m_progressValue);
        return;
    }
    // A Fusion bar that grows changes only between the old and the new end of its filled part:
    // that strip is repainted (with a few pixels either side for the end's edge), not the whole
    // bar and the log and the dialog beneath it. (Another style may draw across the whole bar.)
    const int width = m_progress->width();
    auto end = [&](int value) {
        return static_cast<int>(static_cast<long long>(width) * (value - m_progress->minimum()) /
                                span);
    };
    const int from = std::max(0, end(before) - 4);
    const int to = std::min(width, end(m_progressValue) + 4);
    m_progress->setAttribute(Qt::WA_UpdatesDisabled, true);
    m_progress->setValue(m_progressValue);
    m_progress->setAttribute(Qt::WA_UpdatesDisabled, false);
    m_progress->update(QRect(from, 0, to - from, m_progress->height()));
}
