#include "controls/glyph_button.h"

#include <QApplication>
#include <QBitmap>
#include <QFocusEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolTip>
#include <algorithm>

#include "controls/label_control.h"
#include "res/pictures.h"

namespace {

// System colours of the roles the button uses.
QColor Face() {
    return QApplication::palette().color(QPalette::Button);
}
QColor Text() {
    return QApplication::palette().color(QPalette::ButtonText);
}
QColor Highlight() {
    return QApplication::palette().color(QPalette::Light);
}
QColor Light3d() {
    return QApplication::palette().color(QPalette::Midlight);
}
QColor Shadow() {
    return QApplication::palette().color(QPalette::Dark);
}
QColor DarkShadow() {
    return QApplication::palette().color(QPalette::Shadow);
}

// An axis-aligned line from `from` up to but not including `to`.
void LineTo(QPainter& p, QPoint from, QPoint to, const QColor& color) {
    if (from == to)
        return;
    QPoint last = to;
    if (from.x() == to.x())
        last.ry() += to.y() > from.y() ? -1 : 1;
    else
        last.rx() += to.x() > from.x() ? -1 : 1;
    p.setPen(QPen(color, 1));
    p.drawLine(from, last);
}

// A 1-pixel frame on the rectangle's edge in one colour.
void FrameRect(QPainter& p, const QRect& r, const QColor& color) {
    p.fillRect(QRect(r.left(), r.top(), r.width(), 1), color);
    p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), color);
    p.fillRect(QRect(r.left(), r.top(), 1, r.height()), color);
    p.fillRect(QRect(r.right(), r.top(), 1, r.height()), color);
}

// Top and left in one colour, bottom and right in another, as the platform's 3-D rectangle.
void Draw3dRect(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
    const int x = r.x(), y = r.y(), cx = r.width(), cy = r.height();
    p.fillRect(QRect(x, y, cx - 1, 1), topLeft);
    p.fillRect(QRect(x, y, 1, cy - 1), topLeft);
    p.fillRect(QRect(x + cx - 1, y, 1, cy), bottomRight);
    p.fillRect(QRect(x, y + cy - 1, cx, 1), bottomRight);
}

// Grey g = 0.299 R + 0.587 G + 0.114 B (truncated); black stays black; alpha unchanged.
QPixmap GreyCopy(const QPixmap& source) {
    QImage image = source.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = line[x];
            const int r = qRed(c), g = qGreen(c), b = qBlue(c);
            if (r == 0 && g == 0 && b == 0)
                continue;
            const int grey = static_cast<int>(0.299 * r + 0.587 * g + 0.114 * b);
            line[x] = qRgba(grey, grey, grey, qAlpha(c));
        }
    }
    return QPixmap::fromImage(image);
}

// Pixels of the transparent colour become transparent (the mask), the rest stay.
QPixmap WithTransparentColor(const QPixmap& source, std::uint32_t transparent) {
    QPixmap result = source;
    result.setMask(QBitmap::fromImage(
        source.toImage().createMaskFromColor(RgbColor(transparent).rgb(), Qt::MaskInColor)));
    return result;
}

QPixmap Disabled(const QPixmap& pixmap, const QWidget* widget) {
    QStyleOption option;
    option.initFrom(widget);
    return widget->style()->generatedIconPixmap(QIcon::Disabled, pixmap, &option);
}

}  // namespace

CGlyphButton::CGlyphButton(QWidget* parent, bool checkBoxMode)
    : QPushButton(parent), m_bIsCheckBox(checkBoxMode) {
    setAutoDefault(false);
    setMouseTracking(true);
    setCheckable(checkBoxMode);
    setAttribute(Qt::WA_Hover, false);
    ResetStateColors(false);
}

void CGlyphButton::ReleaseImages() {
    m_images = Images{};
    m_activeId = m_idleId = 0;
}

int CGlyphButton::LoadIcons(int activeId, int idleId) {
    if (activeId == m_activeId && idleId == m_idleId && !m_images.bitmaps)
        return BTNST_OK;
    const QPixmap active = Picture(activeId);
    const QPixmap idle = idleId == kGreyIdle ? GreyCopy(active) : Picture(idleId);
    const int result = SetIconPixmaps(active, idle);
    if (!active.isNull()) {
        m_activeId = activeId;
        m_idleId = idleId;
    }
    return result;
}

int CGlyphButton::SetIconPixmaps(const QPixmap& active, const QPixmap& idle) {
    ReleaseImages();
    if (!active.isNull()) {
        m_images.active = active;
        m_images.idle = idle;
    }
    update();
    return BTNST_OK;
}

int CGlyphButton::LoadBitmaps(int activeId, std::uint32_t activeTransparent, int idleId,
                              std::uint32_t idleTransparent) {
    const QPixmap active = Picture(activeId);
    const int result = SetBitmapPixmaps(active, activeTransparent,
                                        idleId ? Picture(idleId) : QPixmap(), idleTransparent);
    if (!active.isNull()) {
        m_activeId = activeId;
        m_idleId = idleId;
    }
    return result;
}

int CGlyphButton::SetBitmapPixmaps(const QPixmap& active, std::uint32_t activeTransparent,
                                   const QPixmap& idle, std::uint32_t idleTransparent) {
    ReleaseImages();
    if (!active.isNull()) {
        m_images.bitmaps = true;
        m_images.active = WithTransparentColor(active, activeTransparent);
        if (!idle.isNull())
            m_images.idle = WithTransparentColor(idle, idleTransparent);
    }
    update();
    return BTNST_OK;
}

int CGlyphButton::Repainted(int result, bool repaint) {
    if (result == BTNST_OK && repaint)
        update();
    return result;
}

int CGlyphButton::SetFlatStyle(bool flat, bool repaint) {
    m_look.flat = flat;
    return Repainted(BTNST_OK, repaint);
}

int CGlyphButton::SetImagePlacement(std::uint8_t placement, bool repaint) {
    return Repainted(m_look.SetImagePlacement(placement), repaint);
}

void CGlyphButton::SetImageMargins(int left, int top, int right, int bottom) {
    m_look.marginLeft = left;
    m_look.marginTop = top;
    m_look.marginRight = right;
    m_look.marginBottom = bottom;
}

int CGlyphButton::SetStateColor(std::uint8_t slot, std::uint32_t color, bool repaint) {
    return Repainted(m_look.SetStateColor(slot, color), repaint);
}

int CGlyphButton::ShadeStateColor(std::uint8_t slot, int shade, bool repaint) {
    return Repainted(m_look.ShadeStateColor(slot, shade), repaint);
}

int CGlyphButton::ResetStateColors(bool repaint) {
    m_look.ResetStateColors(ColorRgb(Face()), ColorRgb(Text()));
    return Repainted(BTNST_OK, repaint);
}

void CGlyphButton::SetTipText(const QString& text, bool activate) {
    if (text.isNull())
        return;
    m_tipText = text;
    m_tipActive = activate;
}

int CGlyphButton::SetChecked(bool checked, bool repaint) {
    if (!m_bIsCheckBox)
        return BTNST_OK;
    setChecked(checked);
    if (repaint)
        update();
    return BTNST_OK;
}

bool CGlyphButton::IsChecked() const {
    return m_bIsCheckBox && isChecked();
}

void CGlyphButton::ClearHot() {
    if (!m_bMouseOnButton)
        return;
    m_bMouseOnButton = false;
    update();
}

void CGlyphButton::mouseMoveEvent(QMouseEvent* event) {
    QPushButton::mouseMoveEvent(event);
    // A drag that enters the button does not make it hot.
    if ((event->buttons() & Qt::LeftButton) && !m_bMouseOnButton)
        return;
    if (rect().contains(event->position().toPoint())) {
        if (!m_bMouseOnButton) {
            m_bMouseOnButton = true;
            update();
        }
    } else {
        ClearHot();
    }
}

void CGlyphButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    ClearHot();
}

void CGlyphButton::focusOutEvent(QFocusEvent* event) {
    QPushButton::focusOutEvent(event);
    ClearHot();
}

void CGlyphButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        ClearHot();
    if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        // The focus moves to the next tab stop after this button, whoever held it.
        QWidget* next = nextInFocusChain();
        while (next && next != this &&
               (!next->isEnabled() || !next->isVisibleTo(window()) ||
                !(next->focusPolicy() & Qt::TabFocus) || next->parentWidget() != parentWidget())) {
            next = next->nextInFocusChain();
        }
        if (next && next != this)
            next->setFocus(Qt::TabFocusReason);
        else if (parentWidget())
            parentWidget()->setFocus();
        ClearHot();
    }
}

bool CGlyphButton::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        if (m_tipActive && !m_tipText.isEmpty()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), m_tipText, this,
                               rect());
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QPushButton::event(event);
}

int CGlyphButton::PaintBackground(QPainter& painter, const QRect& rect) {
    const bool pressed = isDown() || IsChecked();
    const std::uint32_t color = (m_bMouseOnButton || pressed) ? m_look.colors[BTNST_COLOR_BK_IN]
                                : hasFocus()                  ? m_look.colors[BTNST_COLOR_BK_FOCUS]
                                                              : m_look.colors[BTNST_COLOR_BK_OUT];
    painter.fillRect(rect, RgbColor(color));
    return 0;
}

int CGlyphButton::PaintFlatBorder(QPainter& painter, const QRect& rect) {
    const bool pressed = isDown() || IsChecked();
    Draw3dRect(painter, rect, pressed ? Shadow() : Highlight(), pressed ? Highlight() : Shadow());
    return 0;
}

void CGlyphButton::PaintImage(QPainter& painter, const QRect& client, bool pressed,
                              QRect& caption) {
    const bool useActive =
        glyph::UsesActiveImage(m_bIsCheckBox, pressed, m_bMouseOnButton, !m_images.idle.isNull());
    QPixmap image = useActive ? m_images.active : m_images.idle;
    // Qt's right and bottom edges are the last pixel's; the rule's lie one past it.
    const glyph::Placed placed = m_look.PlaceImage(
        {client.left(), client.top(), client.right() + 1, client.bottom() + 1}, image.width(),
        image.height(), !text().isEmpty(), pressed && !m_bIsCheckBox);
    caption.setCoords(placed.caption.left, placed.caption.top, placed.caption.right - 1,
                      placed.caption.bottom - 1);

    if (!isEnabled()) {
        if (m_images.bitmaps && m_bEmbossDisabledBitmap) {
            QPixmap onWhite(image.size());
            onWhite.fill(Qt::white);
            QPainter compose(&onWhite);
            compose.drawPixmap(0, 0, image);
            compose.end();
            image = Disabled(onWhite, this);
        } else if (!m_images.bitmaps) {
            image = Disabled(image, this);
        }
    }
    painter.drawPixmap(placed.x, placed.y, image);
}

void CGlyphButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool pressed = isDown() || IsChecked();
    const bool focused = hasFocus();
    const bool disabled = !isEnabled();
    QRect W = rect();

    if (!m_look.flat && (focused || isDefault())) {
        FrameRect(painter, W, Qt::black);
        W.adjust(1, 1, -1, -1);
    }
    PaintBackground(painter, W);
    if (pressed) {
        if (m_look.flat)
            PaintFlatBorder(painter, W);
        else
            FrameRect(painter, W, Shadow());
    } else if (m_look.flat) {
        if (m_bMouseOnButton)
            PaintFlatBorder(painter, W);
    } else {
        const int L = W.left(), T = W.top(), R = W.left() + W.width(), B = W.top() + W.height();
        LineTo(painter, {L, B - 1}, {L, T}, Highlight());
        LineTo(painter, {L, T}, {R, T}, Highlight());
        LineTo(painter, {L + 1, B - 1}, {L + 1, T + 1}, Light3d());
        LineTo(painter, {L + 1, T + 1}, {R, T + 1}, Light3d());
        LineTo(painter, {L, B - 1}, {R - 1, B - 1}, DarkShadow());
        LineTo(painter, {R - 1, B - 1}, {R - 1, T - 1}, DarkShadow());
        LineTo(painter, {L + 1, B - 2}, {R - 2, B - 2}, Shadow());
        LineTo(painter, {R - 2, B - 2}, {R - 2, T}, Shadow());
    }

    QRect caption = rect();
    if (!m_images.active.isNull())
        PaintImage(painter, rect(), pressed, caption);

    if (!text().isEmpty()) {
        if (pressed && !m_bIsCheckBox)
            caption.translate(1, 1);
        painter.setFont(font());
        const int flags = Qt::TextWordWrap | Qt::AlignHCenter | Qt::AlignTop;
        const QRect block = painter.boundingRect(
            QRect(caption.topLeft(), QSize(caption.width(), 0x7FFF)), flags, text());
        QRect place(caption.left(), caption.top() + (caption.height() - block.height()) / 2,
                    caption.width(), block.height());
        if (disabled) {
            painter.setPen(Highlight());
            painter.drawText(place.translated(1, 1), flags, text());
            painter.setPen(Shadow());
            painter.drawText(place, flags, text());
        } else {
            painter.setPen(RgbColor(m_bMouseOnButton || pressed
                                        ? m_look.colors[BTNST_COLOR_FG_IN]
                                        : m_look.colors[BTNST_COLOR_FG_OUT]));
            painter.drawText(place, flags, text());
        }
    }

    if (!m_look.flat && focused) {
        QPen dotted(Qt::black, 1);
        dotted.setDashPattern({1, 1});
        painter.setPen(dotted);
        painter.setBrush(Qt::NoBrush);
        const QRect focus = W.adjusted(3, 3, -3, -3);
        painter.drawRect(focus.adjusted(0, 0, -1, -1));
    }
}
