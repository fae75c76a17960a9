// The Download button and what the window shows of a running download; the sequence itself is
// the programming station's.
#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>

#include "app/loader_dlg.h"
#include "app/qt_text.h"

void CLoaderDlg::OnBusy(bool busy) {
    m_btnDownload->setText(busy ? QStringLiteral("Stop") : QStringLiteral("Download"));
    for (QWidget* w : {static_cast<QWidget*>(m_btnReload), static_cast<QWidget*>(m_btnOpen),
                       static_cast<QWidget*>(m_chkAutoReload), static_cast<QWidget*>(m_editPath)}) {
        w->setEnabled(!busy);
    }
    SetSnControlsEnabled(!busy);
    if (busy)
        return;
    ShowHeldBack();  // the log and the bar end where the download left them
    // An identifier typed during the download.
    if (S(m_editVID->text()) != m_station.m_strVID || S(m_editPID->text()) != m_station.m_strPID)
        ApplyBootloaderId();
}

void CLoaderDlg::OnProgressShown(bool shown) {
    // Only a download shows or hides the bar: at its next paint, with the position it has then.
    m_heldBarShown = shown;
    SchedulePaint();
}

void CLoaderDlg::OnDownload() {
    UpdateData(true);
    if (m_station.IsBusy()) {
        m_flags.cancel = true;  // Stop
        return;
    }
    m_flags.cancel = false;  // a new download: an earlier Stop is spent
    const bool ok = m_station.Download();
    m_lastDownloadOk = ok;
    emit DownloadFinished(ok);
    if (m_closeRequested)
        close();
}
