#include "controls/link_label.h"

#include <algorithm>
#include <cmath>

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFontMetrics>
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

int CellHeight(const QFont& font) {
    const QFontMetrics fm(font);
    return fm.ascent() + fm.descent();
}

// The rows the painter's underline covers, relative to the baseline: a line of the font's
// thickness centred half a pixel below the rounded-up underline position, kept within the descent.
QRect UnderlineRows(const QFontMetricsF& fm, int width) {
    const qreal position = fm.underlinePos();
    qreal centre = std::ceil(position) + 0.5;
    if (position <= fm.descent())
        centre = std::min(centre, fm.descent() - 0.5);
    const qreal half = std::max(qreal(1), fm.lineWidth()) / 2;
    const int top = static_cast<int>(std::floor(centre - half));
    const int bottom = static_cast<int>(std::ceil(centre + half));
    return QRect(0, top, width, bottom - top);
}

}  // namespace

CLinkLabel::CLinkLabel(QWidget* parent)
    : QPushButton(parent), m_clrNormal(WindowText()), m_clrCurrent(WindowText()) {
    setAutoDefault(false);
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
}

CLinkLabel::~CLinkLabel() {
    if (m_timerId)
        killTimer(m_timerId);
}

bool CLinkLabel::CreateLinkFont(int height, int width, int escapement, int orientation, int weight,
                                std::uint8_t italic, std::uint8_t underline, std::uint8_t strikeOut,
                                std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                                std::uint8_t, const QString& face) {
    (void)escapement;
    (void)orientation;
    QFont font(face);
    font.setWeight(weight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(italic != 0);
    font.setUnderline(underline != 0);
    font.setStrikeOut(strikeOut != 0);
    // A negative height is the character (em) height in pixels; a positive one the cell height,
    // ascent plus descent with the internal leading: the largest size whose cell fits; zero keeps
    // the default size.
    if (height < 0) {
        font.setPixelSize(-height);
    } else if (height > 0) {
        font.setPixelSize(height);
        for (int size = height - 1; size > 0 && CellHeight(font) > height; --size)
            font.setPixelSize(size);
    }
    // The width is the average character width.
    if (width > 0) {
        const QFontMetrics fm(font);
        const int natural = fm.averageCharWidth();
        if (natural > 0)
            font.setStretch(std::clamp(100 * width / natural, 1, 4000));
    }
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
    if (color != m_clrCurrent) {
        m_clrCurrent = color;
        update();
    }
    // Nothing to poll for while the colour is the normal one: the poll rests until it is not.
    if (m_clrCurrent == m_clrNormal && m_timerId) {
        killTimer(m_timerId);
        m_timerId = 0;
    } else if (m_clrCurrent != m_clrNormal && m_bTimerOn && !m_timerId) {
        m_timerId = startTimer(kHoverPeriodMs);
    }
}

// The caption's ink (glyphs and underline) drawn from the top-left corner, then moved right by
// what an italic overhang pushes past the left edge and up by what falls below the bottom edge,
// but never so far up that the top of the ink leaves the control.
QPoint CLinkLabel::CaptionOrigin(const QFont& font, const QStringList& lines) const {
    const QFontMetrics fm(font, this);
    const QFontMetricsF exact(font, this);
    QRect ink;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const int baseline = fm.ascent() + static_cast<int>(i) * fm.lineSpacing();
        ink |= fm.tightBoundingRect(lines[i]).translated(0, baseline);
        if (font.underline())
            ink |= UnderlineRows(exact, fm.horizontalAdvance(lines[i])).translated(0, baseline);
    }
    if (ink.isNull())
        return {};
    const int up = std::min(std::max(0, ink.bottom() + 1 - height()), std::max(0, ink.top()));
    return {std::max(0, -ink.left()), -up};
}

void CLinkLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_haveFont)
        painter.setFont(m_font);
    const QFontMetrics fm(painter.font(), this);
    // A line per line of the caption, no wrapping, no alignment.
    const QStringList lines = text().split(QLatin1Char('\n'));
    const QPoint origin = CaptionOrigin(painter.font(), lines);
    painter.setPen(RgbColor(m_clrCurrent));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int top = origin.y() + static_cast<int>(i) * fm.lineSpacing();
        if (!m_bTransparent) {
            painter.fillRect(QRect(origin.x(), top, fm.horizontalAdvance(lines[i]), fm.height()),
                             palette().color(QPalette::Window));
        }
        painter.drawText(QPoint(origin.x(), top + fm.ascent()), lines[i]);
    }
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

void CLinkLabel::leaveEvent(QEvent* event) {
    SetCurrent(m_clrNormal);
    QPushButton::leaveEvent(event);
}

void CLinkLabel::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_timerId) {
        const QPoint pointer = QCursor::pos();
        const QPoint topLeft = mapToGlobal(QPoint(0, 0));
        const QPoint bottomRight = mapToGlobal(QPoint(width(), height()));
        if (pointer.x() < topLeft.x() || pointer.x() > bottomRight.x() ||
            pointer.y() < topLeft.y() || pointer.y() > bottomRight.y()) {
            SetCurrent(m_clrNormal);
        } else {
            SetCurrent(m_clrCurrent);  // the poll rests if the owner set the normal colour
        }
    }
    QPushButton::timerEvent(event);
}
