#include "controls/link_label.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimerEvent>
#include <QUrl>

#include "controls/label_control.h"

namespace {

std::uint32_t WindowText() {
    return ColorRgb(QApplication::palette().color(QPalette::WindowText));
}

}  // namespace

CLinkLabel::CLinkLabel(QWidget* parent)
    : QPushButton(parent), m_clrNormal(WindowText()), m_clrCurrent(WindowText()) {
    setAutoDefault(false);
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
}

CLinkLabel::~CLinkLabel() {
    if (m_bTimerOn)
        killTimer(m_timerId);
}

bool CLinkLabel::CreateLinkFont(int height, int width, int escapement, int orientation, int weight,
                                std::uint8_t italic, std::uint8_t underline, std::uint8_t strikeOut,
                                std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                                std::uint8_t, const QString& face) {
    (void)escapement;
    (void)orientation;
    QFont font(face);
    // The height is the cell height in pixels; the width, the average character width.
    font.setPixelSize(std::max(1, height < 0 ? -height : height));
    if (width > 0) {
        const QFontMetrics fm(font);
        const int natural = fm.averageCharWidth();
        if (natural > 0)
            font.setStretch(std::clamp(100 * width / natural, 1, 4000));
    }
    font.setWeight(weight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(italic != 0);
    font.setUnderline(underline != 0);
    font.setStrikeOut(strikeOut != 0);
    m_font = font;
    m_haveFont = true;
    update();
    return true;
}

bool CLinkLabel::StartHoverTimer() {
    if (!m_bTimerOn) {
        m_bTimerOn = true;
        m_timerId = startTimer(kHoverPeriodMs);
    }
    return true;
}

void CLinkLabel::SetCurrent(std::uint32_t color) {
    m_clrCurrent = color;
    update();
}

void CLinkLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_haveFont)
        painter.setFont(m_font);
    const QFontMetrics fm = painter.fontMetrics();
    if (!m_bTransparent) {
        painter.fillRect(QRect(0, 0, fm.horizontalAdvance(text()), fm.height()),
                         palette().color(QPalette::Window));
    }
    painter.setPen(RgbColor(m_clrCurrent));
    // From the top-left corner, a line per line of the caption, no wrapping, no alignment.
    painter.drawText(QRect(0, 0, 0x7FFF, 0x7FFF), Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip,
                     text());
}

void CLinkLabel::mouseMoveEvent(QMouseEvent*) {
    SetCurrent(m_clrHover);
}

void CLinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    SetCurrent(m_clrPressed);
    // The caption as the desktop reads a typed address ("pravune.example" is http).
    QDesktopServices::openUrl(QUrl::fromUserInput(text()));
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        SetCurrent(m_clrNormal);
}

// A double click is a press of its own: it opens the address once more, nothing else.
void CLinkLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    mousePressEvent(event);
}

void CLinkLabel::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}

void CLinkLabel::keyReleaseEvent(QKeyEvent* event) {
    event->ignore();
}

void CLinkLabel::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timerId) {
        const QPoint pointer = QCursor::pos();
        const QPoint topLeft = mapToGlobal(QPoint(0, 0));
        const QPoint bottomRight = mapToGlobal(QPoint(width(), height()));
        if (pointer.x() < topLeft.x() || pointer.x() > bottomRight.x() ||
            pointer.y() < topLeft.y() || pointer.y() > bottomRight.y()) {
            SetCurrent(m_clrNormal);
        }
    }
    QPushButton::timerEvent(event);
}
