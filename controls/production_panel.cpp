#include "controls/production_panel.h"

#include <QPainter>

#include "station/window_look.h"

namespace {

QColor Rgb(std::uint32_t rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QFont Sized(QFont font, double points, bool bold) {
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

}  // namespace

CProductionPanel::CProductionPanel(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CProductionPanel::Show(const ProductionDisplay& display) {
    if (display == m_display)
        return;
    m_display = display;
    update();
}

void CProductionPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect all = rect();
    // The verdict takes the upper three fifths, the count and the release the rest.
    const QRect verdict(all.left(), all.top(), all.width(), all.height() * 3 / 5);
    const QRect facts(all.left(), verdict.bottom() + 1, all.width(),
                      all.height() - verdict.height());
    p.fillRect(verdict, Rgb(m_display.panel.back));
    p.fillRect(facts, QColor(0xF4, 0xF4, 0xF4));
    p.setPen(Qt::white);
    p.setFont(Sized(font(), kPanelHeadlinePoints, true));
    const int headline = verdict.height() / 2;
    p.drawText(QRect(verdict.left(), verdict.top(), verdict.width(), headline),
               Qt::AlignHCenter | Qt::AlignBottom, Q(m_display.panel.headline));
    p.setFont(Sized(font(), kPanelDetailPoints, true));
    p.drawText(verdict.adjusted(8, headline + 6, -8, -6),
               Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, Q(m_display.panel.detail));
    p.setPen(QColor(0x20, 0x20, 0x20));
    p.setFont(Sized(font(), kPanelCountPoints, true));
    QString count = Q(m_display.count);
    count.replace(QStringLiteral("   "), QStringLiteral("\n"));
    const QRect inner = facts.adjusted(8, 6, -8, -6);
    p.drawText(inner, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, count);
    p.setFont(Sized(font(), kPanelCountPoints - 2, false));
    p.drawText(inner, Qt::AlignLeft | Qt::AlignBottom | Qt::TextWordWrap,
               Q(m_display.release) + "\n" + Q(m_display.shift));
}
