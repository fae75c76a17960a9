// The serial-number plan's controls: an edit is read back and handed to the station's rules,
// then the corrected fields are shown again; the plan switch.
#include <QCheckBox>
#include <QLineEdit>

#include "app/loader_dlg.h"

void CLoaderDlg::OnSnFieldsChanged(SnField edited) {
    const SerialPlanSnapshot before = m_station.PlanSnapshot();
    UpdateData(true);
    m_station.OnSnFieldsChanged(before, edited);
    UpdateData(false);
    for (QLineEdit* edit : {m_editSnAddr, m_editSnValue})
        edit->end(false);
}

void CLoaderDlg::OnAutoSnClicked() {
    UpdateData(true);
    m_station.SaveSettingInt("AutoSN", m_station.m_bAutoSN);
    for (QWidget* w : SnFields())
        w->setEnabled(m_station.m_bAutoSN != 0);
}
