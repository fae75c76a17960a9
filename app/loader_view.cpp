// What the window shows when the controller tells it, the boxes it is asked to show, and the
// window's own events forwarded to the controller.
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QTimerEvent>

#include "app/about_box.h"
#include "app/dialog_units.h"
#include "app/loader_dlg.h"
#include "app/qt_text.h"
#include "controls/production_panel.h"
#include "res/pictures.h"

WindowFields CLoaderDlg::ReadFields() const {
    return {S(m_editVID->text()),     S(m_editPID->text()),         m_chkAutoReload->isChecked(),
            m_chkAutoSN->isChecked(), S(m_editSnAddr->text()),      S(m_editSnValue->text()),
            S(m_editSnStep->text()),  m_cmbSnBytes->currentIndex(), S(m_editPath->text())};
}

void CLoaderDlg::ShowFields(const WindowFields& f) {
    ++m_nPushing;
    m_editVID->setText(Q(f.vid));
    m_editPID->setText(Q(f.pid));
    m_chkAutoReload->setChecked(f.autoReload);
    m_chkAutoSN->setChecked(f.autoSn);
    m_editSnAddr->setText(Q(f.snAddr));
    m_editSnValue->setText(Q(f.snValue));
    m_editSnStep->setText(Q(f.snStep));
    m_cmbSnBytes->setCurrentIndex(f.snWidthIndex);
    m_editPath->setText(Q(f.path));
    --m_nPushing;
}

void CLoaderDlg::ShowEnables(const WindowEnables& e) {
    m_btnDownload->setText(Q(e.downloadCaption));
    for (const ControlLook& look : LoaderControls()) {
        if (look.group != EnableGroup::kFixed)
            m_items.at(look.id)->setEnabled(e.For(look.group));
    }
}

void CLoaderDlg::PutPlanCaretsAtEnd() {
    for (QLineEdit* edit : {m_editSnAddr, m_editSnValue})
        edit->end(false);
}

void CLoaderDlg::SelectStep() {
    m_editSnStep->setFocus();
    m_editSnStep->selectAll();
}

void CLoaderDlg::AppendLog(const LogEntry& entry) {
    m_log->AppendLog(entry.text, entry.color, entry.timeStamp ? Q(entry.stamp) : QString());
}

void CLoaderDlg::ShowProgress(int maximum, int value) {
    if (m_progress->maximum() != maximum || m_progress->minimum() != 0) {
        m_progress->setRange(0, maximum);
        m_progress->setValue(value);
        return;
    }
    const int before = m_progress->value();
    if (value < before || !m_progress->isVisible() ||
        m_progress->style()->name() != QLatin1String("fusion")) {
        m_progress->setValue(value);
        return;
    }
    // A Fusion bar that grows changes only between the old and the new end of its filled part:
    // that strip is repainted (with a few pixels either side for the end's edge), not the whole
    // bar and the log beneath it. (Another style may draw across the whole bar.)
    const int width = m_progress->width();
    auto end = [&](int v) {
        return static_cast<int>(static_cast<long long>(width) * v / std::max(1, maximum));
    };
    const int from = std::max(0, end(before) - 4);
    const int to = std::min(width, end(value) + 4);
    m_progress->setAttribute(Qt::WA_UpdatesDisabled, true);
    m_progress->setValue(value);
    m_progress->setAttribute(Qt::WA_UpdatesDisabled, false);
    m_progress->update(QRect(from, 0, to - from, m_progress->height()));
}

void CLoaderDlg::ShowProgressBar(bool shown) {
    m_progress->setVisible(shown);
}

void CLoaderDlg::ShowStatus(const std::string& text, std::uint32_t color, int icon) {
    m_lblStatus->SetCaption(Q(text));
    m_lblStatus->SetForeColor(color);
    m_btnConnection->LoadIcons(icon, icon);
}

void CLoaderDlg::ShowImageLabels(const std::string& length, const std::string& date) {
    m_lblLength->SetCaption(Q(length));
    m_lblDate->SetCaption(Q(date));
}

void CLoaderDlg::Warn(const std::string& text) {
    QMessageBox::warning(this, QCoreApplication::applicationName(), Q(text));
}

bool CLoaderDlg::Confirm(const std::string& title, const std::string& text) {
    return QMessageBox::question(this, Q(title), Q(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

std::optional<std::string> CLoaderDlg::AskText(const std::string& title, const std::string& prompt,
                                               bool secret) {
    bool ok = false;
    const QString typed = QInputDialog::getText(
        this, Q(title), Q(prompt), secret ? QLineEdit::Password : QLineEdit::Normal, {}, &ok);
    if (!ok)
        return std::nullopt;
    return S(typed);
}

void CLoaderDlg::ShowProduction(const ProductionDisplay& display) {
    const DialogUnits du(font());
    if (display.on && !m_panel) {
        m_panel = new CProductionPanel(this);
        m_panel->setObjectName(QStringLiteral("productionPanel"));
        m_panel->setGeometry(du.Rect(kProductionPanel.x, kProductionPanel.y, kProductionPanel.cx,
                                     kProductionPanel.cy));
    }
    if (m_panel) {
        m_panel->Show(display);
        m_panel->setVisible(display.on);
    }
    setFixedSize(du.X(display.on ? kProductionDialogWidth : kLoaderDialog.cx),
                 du.Y(kLoaderDialog.cy));
}

std::optional<std::string> CLoaderDlg::AskHexFile(const std::string& path) {
    const QString chosen = QFileDialog::getOpenFileName(
        this, QString(), Q(path), QStringLiteral("HEX file (*.[hH][eE][xX])"));
    if (chosen.isEmpty())
        return std::nullopt;
    return S(chosen);
}

void CLoaderDlg::ShowAbout() {
    CAboutBox about(m_where.path, m_settingsOrigin, this);
    about.exec();
}

void CLoaderDlg::StartTimer(WindowTimer id, int ms) {
    StopTimer(id);
    m_timers[id] = startTimer(ms, Qt::PreciseTimer);
}

void CLoaderDlg::StopTimer(WindowTimer id) {
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    killTimer(it->second);
    m_timers.erase(it);
}

void CLoaderDlg::Wake() {
    QMetaObject::invokeMethod(
        this, [this] { m_controller.RunPosted(); }, Qt::QueuedConnection);
}

void CLoaderDlg::timerEvent(QTimerEvent* event) {
    for (const auto& [id, qtId] : m_timers) {
        if (qtId == event->timerId() && m_controller.OnTimer(id))
            return;
    }
    QDialog::timerEvent(event);
}

void CLoaderDlg::closeEvent(QCloseEvent* event) {
    if (!m_controller.OnCloseAsked()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CLoaderDlg::reject() {
    // During a download Escape does nothing: hiding would leave a process waiting unseen.
    if (m_controller.OnEscape())
        QDialog::reject();
}

void CLoaderDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QDialog::keyPressEvent(event);
        return;
    }
    auto* button = qobject_cast<QAbstractButton*>(focusWidget());
    switch (m_controller.OnEnter(button != nullptr)) {
        case EnterAction::kClickFocusedButton:
            button->click();
            break;
        case EnterAction::kCloseWindow:
            accept();
            break;
        case EnterAction::kNothing:
            break;
    }
}

void CLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    for (const MenuItem& item : m_controller.MenuItems()) {
        menu.addAction(QString::fromUtf8(item.text), this,
                       [this, command = item.command] { m_controller.OnMenu(command); });
    }
    menu.exec(event->globalPos());
}
