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
#include "res/pictures.h"
#include "text/log_entry.h"

CLoaderDlg::CLoaderDlg(HidPlatform& platform, const ConfigLocation& where, QWidget* parent)
    : QDialog(parent),
      m_where(where),
      m_settingsOrigin(DescribeConfigOrigin(where.origin)),
      m_controller(platform, where.path, *this) {
    CreateControls();
    ConnectControls();
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

namespace {

// A control of the look as a Qt widget, not placed yet.
QWidget* MakeControl(const ControlLook& look, QWidget* parent) {
    const QString caption = QString::fromUtf8(look.caption);
    switch (look.kind) {
        case ControlKind::kEdit: {
            auto* e = new QLineEdit(parent);
            if (look.maxLength)
                e->setMaxLength(look.maxLength);
            return e;
        }
        case ControlKind::kCheckBox:
            return new QCheckBox(caption, parent);
        case ControlKind::kGlyphButton: {
            auto* b = new CGlyphButton(parent);
            b->setText(caption);
            return b;
        }
        case ControlKind::kGroupBox: {
            auto* g = new QGroupBox(caption, parent);
            g->setFocusPolicy(Qt::NoFocus);
            // A group box only frames: the controls it lies over get every click.
            g->setAttribute(Qt::WA_TransparentForMouseEvents);
            return g;
        }
        case ControlKind::kText: {
            auto* l = new QLabel(caption, parent);
            l->setAttribute(Qt::WA_TransparentForMouseEvents);  // a static text takes no clicks
            return l;
        }
        case ControlKind::kLabel: {
            auto* l = new CLabelControl(parent);
            l->SetCaption(caption);
            l->SetForeColor(look.fore);
            QFont f(QString::fromUtf8(kLoaderDialog.labelFont));
            f.setPointSizeF(look.points);
            l->setFont(f);
            return l;
        }
        case ControlKind::kProgress: {
            auto* p = new QProgressBar(parent);
            p->setTextVisible(false);
            return p;
        }
        case ControlKind::kLink: {
            auto* l = new CLinkLabel(parent);
            l->setText(caption);
            return l;
        }
        case ControlKind::kLog:
            return new CMessageLog(parent);
        case ControlKind::kComboBox: {
            auto* c = new QComboBox(parent);
            for (const char* item : look.items)
                c->addItem(QString::fromUtf8(item));
            c->setCurrentIndex(-1);
            return c;
        }
    }
    return nullptr;
}

}  // namespace

void CLoaderDlg::CreateControls() {
    setWindowTitle(QString::fromUtf8(kWindowCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    const QFont font(QString::fromUtf8(kLoaderDialog.font), kLoaderDialog.fontPoints);
    setFont(font);
    const DialogUnits du(font);
    setFixedSize(du.X(kLoaderDialog.cx), du.Y(kLoaderDialog.cy));

    // In template order, which is also the tab order.
    std::vector<QWidget*> hidden;
    for (const ControlLook& look : LoaderControls()) {
        QWidget* w = MakeControl(look, this);
        w->setGeometry(du.Rect(look.rect.x, look.rect.y, look.rect.cx, look.rect.cy));
        if (look.id > 0) {
            w->setObjectName(QString::number(look.id));
            m_items[look.id] = w;
        }
        if (look.hidden)
            hidden.push_back(w);
        if (look.disabled) {
            w->setEnabled(false);
            // A disabled control is free area: a right click on it reaches the window's menu.
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
        }
    }
    m_editVID = Item<QLineEdit>(IDC_VID);
    m_editPID = Item<QLineEdit>(IDC_PID);
    m_editSnAddr = Item<QLineEdit>(IDC_SN_ADDR);
    m_editSnValue = Item<QLineEdit>(IDC_SN_VALUE);
    m_editSnStep = Item<QLineEdit>(IDC_SN_STEP);
    m_chkAutoReload = Item<QCheckBox>(IDC_AUTO_RELOAD);
    m_btnClear = Item<CGlyphButton>(IDC_CLEAR);
    m_progress = Item<QProgressBar>(IDC_PROGRESS);
    m_link = Item<CLinkLabel>(IDC_LINK);
    m_banner = Item<CGlyphButton>(IDC_BANNER);
    m_chkAutoSN = Item<QCheckBox>(IDC_AUTO_SN);
    m_log = Item<CMessageLog>(IDC_LOG);
    m_editPath = Item<QLineEdit>(IDC_PATH);
    m_lblLengthCaption = Item<CLabelControl>(IDC_LABEL_LENGTH_CAPTION);
    m_lblDateCaption = Item<CLabelControl>(IDC_LABEL_DATE_CAPTION);
    m_lblLength = Item<CLabelControl>(IDC_LABEL_LENGTH);
    m_lblDate = Item<CLabelControl>(IDC_LABEL_DATE);
    m_cmbSnBytes = Item<QComboBox>(IDC_SN_BYTES);
    m_lblStatus = Item<CLabelControl>(IDC_STATUS);
    m_btnOpen = Item<CGlyphButton>(IDC_OPEN);
    m_btnReload = Item<CGlyphButton>(IDC_RELOAD);
    m_btnDownload = Item<CGlyphButton>(IDC_DOWNLOAD);
    m_btnConnection = Item<CGlyphButton>(IDC_CONNECTION);

    // As in a dialog template, an earlier control lies above a later one (the link above the
    // banner, every control above the group box that frames it).
    for (QObject* child : children()) {
        if (auto* w = qobject_cast<QWidget*>(child))
            w->lower();
    }
    for (QWidget* w : hidden)
        w->hide();
}

void CLoaderDlg::ConnectControls() {
    // Every input goes to the controller; a push that fills the controls is not an input.
    WindowController& c = m_controller;
    for (const ControlLook& look : LoaderControls()) {
        if (look.input == ControlInput::kNone)
            continue;
        QWidget* w = m_items.at(look.id);
        const ControlInput input = look.input;
        auto typed = [this, &c, input] {
            if (!m_nPushing)
                c.OnInput(input);
        };
        auto clicked = [&c, input] { c.OnInput(input); };
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            connect(edit, &QLineEdit::textChanged, this, typed);
        else if (auto* list = qobject_cast<QComboBox*>(w))
            connect(list, &QComboBox::currentIndexChanged, this, typed);
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            connect(button, &QAbstractButton::clicked, this, clicked);
    }
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [&c] { c.OnAboutAsked(); });
}

void CLoaderDlg::InitDialog() {
    setWindowIcon(QIcon(Picture(IDR_MAINFRAME)));
    auto pixels = [](int v) { return v; };
    auto text = [](const char* t) { return QString::fromUtf8(t); };
    for (const ControlLook& look : LoaderControls()) {
        if (look.glyph)
            ApplyGlyphLook(*Item<CGlyphButton>(look.id), *look.glyph, pixels, text);
        else if (look.link)
            ApplyLinkLook(*m_link, *look.link, pixels, text);
    }

    // What finding the settings file noticed, the settings, the identifiers, the file and the
    // status refresh.
    m_controller.Start(m_where);

    QPalette logPalette = m_log->palette();
    logPalette.setColor(QPalette::Base, RgbColor(kLogBackground));
    m_log->setPalette(logPalette);

    m_clrButtonFace = ColorRgb(QApplication::palette().color(QPalette::Button));
    QPalette face = palette();
    face.setColor(QPalette::Window, RgbColor(m_clrButtonFace));
    setPalette(face);
    for (const ControlLook& look : LoaderControls()) {
        if (look.kind == ControlKind::kLabel)
            Item<CLabelControl>(look.id)->SetBackColor(m_clrButtonFace);
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
