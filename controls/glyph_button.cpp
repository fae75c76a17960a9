#include "controls/glyph_button.h"

CGlyphButton::CGlyphButton(QWidget* parent) : QPushButton(parent) {
    setAutoDefault(false);
}

int CGlyphButton::LoadIcons(int activeId, int idleId) {
    if (activeId == m_activeId && idleId == m_idleId)
        return 0;
    m_activeId = activeId;
    m_idleId = idleId;
    update();
    return 0;
}

int CGlyphButton::LoadBitmaps(int activeId, std::uint32_t, int idleId, std::uint32_t) {
    m_activeId = activeId;
    m_idleId = idleId;
    update();
    return 0;
}

void CGlyphButton::SetTipText(const QString& text, bool activate) {
    setToolTip(activate ? text : QString());
}
