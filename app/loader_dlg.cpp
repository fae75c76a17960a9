// The window's controls: their layout in dialog units, their look, and which input of each goes
// to the controller.
#include "app/loader_dlg.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QShortcut>

#include "app/about_box.h"
#include "app/dialog_units.h"
#include "app/qt_text.h"
#include "text/log_entry.h"
#include "res/pictures.h"

CLoaderDlg::CLoaderDlg(HidPlatform& platform, const ConfigLocation& where, QWidget* parent)
    : QDialog(parent),
      m_settingsFile(where.path),
      m_settingsOrigin(DescribeConfigOrigin(where.origin)),
      m_controller(platform, where.path, *this) {
    CreateControls();
    ConnectControls();
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
    for (const auto& [id, qtId] : m_timers)
        killTimer(qtId);
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
    using Limits = WindowFieldLimits;
    m_editVID = edit(IDC_VID, 176, 203, 42, 12, Limits::kVid);
    m_editPID = edit(IDC_PID, 176, 227, 42, 12, Limits::kPid);
    m_editSnAddr = edit(IDC_SN_ADDR, 58, 101, 36, 12, Limits::kSnAddr);
    m_editSnValue = edit(IDC_SN_VALUE, 58, 116, 36, 12, Limits::kSnValue);
    m_editSnStep = edit(IDC_SN_STEP, 116, 116, 26, 12, Limits::kSnStep);
    m_chkAutoReload = new QCheckBox(QStringLiteral("Auto Reload"), this);
    place(m_chkAutoReload, IDC_AUTO_RELOAD, 136, 139, 51, 8);
    m_btnClear = button(IDC_CLEAR, "Clear", 189, 138, 45, 12);
    QWidget* idGroup = group("Bootloader ID", 161, 182, 66, 63);
    QWidget* vidText = text("VID (hex)", 169, 192, 32, 9);
    QWidget* pidText = text("PID (hex)", 168, 218, 33, 8);
    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    place(m_progress, IDC_PROGRESS, 7, 243, 229, 6);
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
}

void CLoaderDlg::ConnectControls() {
    // Every input goes to the controller; a push that fills the controls is not an input.
    WindowController& c = m_controller;
    auto forward = [this](auto handler) {
        return [this, handler] {
            if (!m_nPushing)
                handler();
        };
    };
    for (QLineEdit* id : {m_editVID, m_editPID})
        connect(id, &QLineEdit::textChanged, this, forward([&c] { c.OnIdentifierEdited(); }));
    connect(m_btnClear, &QPushButton::clicked, this, [&c] { c.OnClearClicked(); });
    connect(m_chkAutoReload, &QCheckBox::clicked, this, [&c] { c.OnAutoReloadClicked(); });
    connect(m_btnOpen, &QPushButton::clicked, this, [&c] { c.OnOpenClicked(); });
    connect(m_chkAutoSN, &QCheckBox::clicked, this, [&c] { c.OnAutoSnClicked(); });
    connect(m_btnDownload, &QPushButton::clicked, this, [&c] { c.OnDownloadClicked(); });
    for (auto [planEdit, field] :
         {std::pair{m_editSnAddr, SnField::kAddress}, std::pair{m_editSnValue, SnField::kValue},
          std::pair{m_editSnStep, SnField::kStep}}) {
        connect(planEdit, &QLineEdit::textChanged, this,
                forward([&c, field = field] { c.OnPlanEdited(field); }));
    }
    connect(m_cmbSnBytes, &QComboBox::currentIndexChanged, this,
            forward([&c] { c.OnPlanEdited(SnField::kWidth); }));
    connect(m_btnReload, &QPushButton::clicked, this, [&c] { c.OnReloadClicked(); });
    connect(m_editPath, &QLineEdit::textChanged, this, forward([&c] { c.OnPathEdited(); }));
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [&c] { c.OnAboutAsked(); });
}

void CLoaderDlg::InitDialog() {
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

    // The settings, the identifiers, the file and the status refresh.
    m_controller.Start();

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

QWidget* CLoaderDlg::GetDlgItem(int id) const {
    auto it = m_items.find(id);
    return it == m_items.end() ? nullptr : it->second;
}
