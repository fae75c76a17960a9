// The serial-number plan: validation as the operator edits, the plan switch.
#include <QCheckBox>
#include <QLineEdit>
#include <stdexcept>

#include "app/loader_dlg.h"
#include "app/qt_text.h"
#include "image/serial_number.h"
#include "settings/settings_store.h"

void CLoaderDlg::OnSnFieldsChanged() {
    const std::string oldAddrText = m_strSnAddr;
    const std::string oldValueText = m_strSnValue;
    const std::uint32_t oldAddr = m_nSnAddr;
    const std::uint32_t oldValue = m_nSnValue;
    UpdateData(true);
    m_snProblem.reset();  // from here on the numbers are what the fields show

    // Cut with the width in force before this change.
    const std::size_t digits = static_cast<std::size_t>(std::max(0, 2 * m_nSnBytes));
    if (m_strSnValue.size() > digits)
        m_strSnValue.resize(digits);
    for (std::string* text : {&m_strSnAddr, &m_strSnValue}) {
        for (char& c : *text) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        FilterHexDigits(*text);
    }
    m_nSnBytes = m_nSnBytesIndex + 1;
    try {
        ScanHex(m_strSnAddr, m_nSnAddr);
        ScanHex(m_strSnValue, m_nSnValue);
        const std::uint32_t highest = m_image.capacity - static_cast<std::uint32_t>(m_nSnBytes);
        if (m_strSnAddr.size() == 4) {
            if (m_nSnAddr > highest) {
                Warn(Q("SN Address cannot exceed 0x" + Hex04(highest)));
                m_strSnAddr = oldAddrText;
                m_nSnAddr = oldAddr;
            } else if (m_nSnAddr < kSnLowestAddress) {
                Warn(Q("SN Address cannot in reserved Range: 0x" + Hex04(0) + " ~ 0x" +
                       Hex04(kSnLowestAddress - 1)));
                m_strSnAddr = oldAddrText;
                m_nSnAddr = oldAddr;
            }
        }
        if (m_nSnValue > SnMaxValue(m_nSnBytes)) {
            Warn(Q("SN cannot exceed 0x" + Hex04(SnMaxValue(m_nSnBytes))));
            m_strSnValue = oldValueText;
            m_nSnValue = oldValue;
        }
        SaveSetting("SN_StartAddr", m_strSnAddr);
        SaveSetting("SN_Current", m_strSnValue);
        SaveSettingInt("SN_Bytes", m_nSnBytes);
        SaveSettingInt("SN_Step", static_cast<int>(m_nSnStep));
    } catch (const std::exception&) {
        Warn(QStringLiteral("Input invalid!"));
    }
    UpdateData(false);
    for (QLineEdit* edit : {m_editSnAddr, m_editSnValue})
        edit->end(false);
}

void CLoaderDlg::OnAutoSnClicked() {
    UpdateData(true);
    SaveSettingInt("AutoSN", m_bAutoSN);
    for (QWidget* w : SnFields())
        w->setEnabled(m_bAutoSN != 0);
}
