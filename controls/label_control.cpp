#include "controls/label_control.h"

#include <QPalette>

QColor RgbColor(std::uint32_t rgb) {
    return QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>(rgb & 0xFF));
}

std::uint32_t ColorRgb(const QColor& color) {
    return (static_cast<std::uint32_t>(color.red()) << 16) |
           (static_cast<std::uint32_t>(color.green()) << 8) |
           static_cast<std::uint32_t>(color.blue());
}

CLabelControl::CLabelControl(QWidget* parent) : QLabel(parent) {
    // The background colour is kept as the label's palette; the label itself stays transparent
    // so that overlapping labels never hide each other's text (the window's background is the
    // same button-face colour).
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetBackColor(m_clrBack);
    SetForeColor(m_clrFore);
}

void CLabelControl::SetBackColor(std::uint32_t color) {
    if ((color & 0xFFFFFF) == m_clrBack && palette().color(QPalette::Window) == RgbColor(m_clrBack))
        return;  // the status refresh sets the same colour twice a second
    m_clrBack = color & 0xFFFFFF;
    QPalette p = palette();
    p.setColor(QPalette::Window, RgbColor(m_clrBack));
    setPalette(p);
}

void CLabelControl::SetCaption(const QString& caption) {
    if (caption != text())
        setText(caption);
}

void CLabelControl::SetForeColor(std::uint32_t color) {
    if ((color & 0xFFFFFF) == m_clrFore &&
        palette().color(QPalette::WindowText) == RgbColor(m_clrFore))
        return;
    m_clrFore = color & 0xFFFFFF;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, RgbColor(m_clrFore));
    setPalette(p);
}
