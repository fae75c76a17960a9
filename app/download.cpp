// The download sequence: programs one module with the loaded image and the next serial number.
#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>

#include "app/loader_dlg.h"
#include "app/qt_text.h"
#include "image/load_report.h"
#include "image/serial_number.h"
#include "settings/settings_store.h"

void CLoaderDlg::SetBusy(bool busy) {
    m_btnDownload->setText(busy ? QStringLiteral("Stop") : QStringLiteral("Download"));
    m_bBusy = busy;
    if (busy)
        m_bCancel = false;
    for (QWidget* w : {static_cast<QWidget*>(m_btnReload), static_cast<QWidget*>(m_btnOpen),
                       static_cast<QWidget*>(m_chkAutoReload), static_cast<QWidget*>(m_editPath)}) {
        w->setEnabled(!busy);
    }
    SetSnControlsEnabled(!busy);
}

bool CLoaderDlg::CheckSerialNumber() {
    AppendLog("Check Serial Number ... ", kLogBlack, true);
    if (m_snProblem) {
        AppendLog("\r\n\t- " + *m_snProblem + "\r\n", kLogRed);
        return false;
    }
    // A width outside 1 to 4 (a hand-edited config.ini) has no largest number and no flash form.
    if (m_nSnBytes < 1 || m_nSnBytes > 4) {
        AppendLog(
            "\r\n\t- Width Invalid: bytes = " + std::to_string(m_nSnBytes) + ", allowed 1 ~ 4\r\n",
            kLogRed);
        return false;
    }
    // The number must also end inside the image, not only begin there.
    if (m_nSnAddr >= m_image.capacity || m_nSnAddr < kSnLowestAddress ||
        m_nSnAddr + static_cast<std::uint32_t>(m_nSnBytes) > m_image.capacity) {
        AppendLog("\r\n\t- Address Overrange: address = 0x" + HexUpper(m_nSnAddr) + "\r\n",
                  kLogRed);
        AppendLog("\t- Available Range = 0x" + HexUpper(kSnLowestAddress) + " ~ 0x" +
                      HexUpper(m_image.end - 1) + "\r\n",
                  kLogRed);
        return false;
    }
    if (m_nSnValue > SnMaxValue(m_nSnBytes)) {
        AppendLog("\r\n\t- Overflow: SN = 0x" + HexUpper(m_nSnValue) + ", max = 0x" +
                      HexUpper(SnMaxValue(m_nSnBytes)) + "\r\n",
                  kLogRed);
        return false;
    }
    AppendLog("\tDone\r\n", kLogGreen);
    return true;
}

bool CLoaderDlg::StepResult(bool ok) {
    AppendLog(ok ? "Done\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    return ok;
}

void CLoaderDlg::OnDownload() {
    UpdateData(true);
    if (m_bBusy) {
        m_bCancel = true;  // Stop
        return;
    }
    ClearLog();
    SetBusy(true);

    const bool plan = m_bAutoSN != 0;
    bool ok = true;
    std::optional<std::string> snNotSaved;
    if (m_bAutoReload || !m_image.valid) {
        m_image.valid = false;
        ok = LoadHexFile(m_strPath);
    }
    const bool writeSerial = plan && !m_image.makerFormat;
    if (ok && writeSerial)
        ok = CheckSerialNumber();
    if (ok) {
        AppendLog("Handshake ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.Handshake(m_image.makerFormat ? 1 : 0));
        if (ok) {
            RefreshStatus();
            AppendLog("\t- Device UID = " + Latin1ToUtf8(m_strDeviceSN) + "\r\n", kLogGreen);
        }
    }
    if (ok) {
        AppendLog("Erase ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.EraseDevice());
        if (ok)
            m_progress->show();
    }
    if (ok) {
        AppendLog("Write Flash ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.WriteFlash(m_image));
    }
    if (ok && writeSerial) {
        AppendLog("Write Serial Number ... \t", kLogBlack, true);
        const std::vector<std::uint8_t> bytes = SerialBytes(m_nSnValue, m_nSnBytes);
        ok = StepResult(
            m_protocol.WriteBlocks(CMD_WRITE, bytes.data(), m_nSnAddr,
                                   m_nSnAddr + static_cast<std::uint32_t>(bytes.size())));
        if (ok) {
            AppendLog("\t- Address = 0x" + HexUpper(m_nSnAddr) + ", SN = 0x" +
                          HexUpper(m_nSnValue) + "\r\n",
                      kLogGreen);
        }
    }
    if (ok) {
        AppendLog("Run Device ... \t\t", kLogBlack, true);
        ok = StepResult(m_protocol.RunDevice());
        if (ok)
            m_progress->hide();
    }
    if (ok && plan) {
        m_nSnValue = AdvanceSerial(m_nSnValue, m_nSnStep);
        m_strSnValue = SerialText(m_nSnValue, m_nSnBytes);
        UpdateData(false);
        std::string reason;
        if (WriteSettingString(kSection, "SN_Current", m_strSnValue, &reason)) {
            m_settingsFailure.reset();
        } else {
            snNotSaved = reason;
        }
    }
    AppendLog("Download --- \t\t", kLogBlack, true);
    AppendLog(ok ? "Succeed\r\n" : "Fail\r\n", ok ? kLogGreen : kLogRed);
    if (snNotSaved) {
        AppendLog("\t- The next serial number " + m_strSnValue + " was not saved to " +
                      SettingsFilePath + ": " + *snNotSaved + "\r\n",
                  kLogRed);
    }

    SetBusy(false);
    m_lastDownloadOk = ok;
    emit DownloadFinished(ok);
    if (m_closeRequested)
        close();
}
