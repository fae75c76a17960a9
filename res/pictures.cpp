#include "res/pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

QPixmap Blank(int w, int h, const QColor& fill = Qt::transparent) {
    QPixmap pixmap(w, h);
    pixmap.fill(fill);
    return pixmap;
}

// A green circuit module with a USB plug: the application's picture.
void DrawModule(QPainter& p, qreal s) {
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(s / 32.0, s / 32.0);
    p.setPen(QPen(QColor(0x1E, 0x4D, 0x2B), 1.2));
    p.setBrush(QColor(0x2E, 0x8B, 0x57));
    p.drawRoundedRect(QRectF(3, 8, 20, 18), 2.5, 2.5);
    p.setBrush(QColor(0xC0, 0xC0, 0xC0));
    p.setPen(QPen(QColor(0x60, 0x60, 0x60), 1));
    p.drawRect(QRectF(23, 12, 7, 10));  // the USB plug
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.drawRect(QRectF(9, 13, 8, 8));  // the chip
    p.setPen(QPen(QColor(0xF0, 0xD0, 0x60), 1));
    for (int i = 0; i < 3; ++i) {
        p.drawLine(QPointF(10 + 3 * i, 13), QPointF(10 + 3 * i, 10));
        p.drawLine(QPointF(10 + 3 * i, 21), QPointF(10 + 3 * i, 24));
    }
}

// A plug symbol, coloured for absent (grey, crossed) or present (green).
QPixmap Connection(bool present) {
    QPixmap pm = Blank(20, 20);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor body = present ? QColor(0x1F, 0x9D, 0x3A) : QColor(0x8A, 0x8A, 0x8A);
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawEllipse(QRectF(2, 2, 16, 16));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(7, 6, 6, 6));
    p.drawRect(QRectF(8, 4, 1.5, 3));
    p.drawRect(QRectF(10.5, 4, 1.5, 3));
    p.drawRect(QRectF(9.2, 12, 1.6, 4));
    if (!present) {
        p.setPen(QPen(QColor(0xC0, 0x20, 0x20), 2));
        p.drawLine(QPointF(4, 16), QPointF(16, 4));
    }
    return pm;
}

// A folder (Open) or a circular arrow (Reload), 16 px.
QPixmap OpenIcon() {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x9A, 0x6B, 0x10), 1));
    p.setBrush(QColor(0xF2, 0xC1, 0x4E));
    QPainterPath folder;
    folder.moveTo(1.5, 3.5);
    folder.lineTo(6, 3.5);
    folder.lineTo(7.5, 5);
    folder.lineTo(14.5, 5);
    folder.lineTo(14.5, 13.5);
    folder.lineTo(1.5, 13.5);
    folder.closeSubpath();
    p.drawPath(folder);
    p.setBrush(QColor(0xF8, 0xD9, 0x7C));
    p.drawRect(QRectF(1.5, 7, 13, 6.5));
    return pm;
}

QPixmap ReloadIcon() {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x1F, 0x6F, 0xC0), 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 2.5, 11, 11), 60 * 16, 280 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1F, 0x6F, 0xC0));
    QPolygonF head;
    head << QPointF(9, 0.5) << QPointF(14, 3.5) << QPointF(9, 6.5);
    p.drawPolygon(head);
    return pm;
}

// A chip with an arrow into it, 32 px.
QPixmap DownloadIcon() {
    QPixmap pm = Blank(32, 32);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
    p.setBrush(QColor(0x38, 0x38, 0x38));
    p.drawRoundedRect(QRectF(6, 18, 20, 11), 1.5, 1.5);
    p.setPen(QPen(QColor(0xB0, 0xB0, 0xB0), 1.5));
    for (int i = 0; i < 5; ++i)
        p.drawLine(QPointF(8.5 + 4 * i, 29), QPointF(8.5 + 4 * i, 31.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1A, 0x8F, 0x3A));
    p.drawRect(QRectF(13, 1, 6, 10));
    QPolygonF head;
    head << QPointF(8, 10) << QPointF(24, 10) << QPointF(16, 18);
    p.drawPolygon(head);
    return pm;
}

// The banner: the loader's name on black, which the button leaves transparent.
QPixmap Banner() {
    QPixmap pm = Blank(420, 80, Qt::black);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.save();
    p.translate(14, 14);
    DrawModule(p, 52);
    p.restore();
    QFont title(QStringLiteral("Arial"));
    title.setPixelSize(34);
    title.setBold(true);
    p.setFont(title);
    QLinearGradient shade(0, 10, 0, 50);
    shade.setColorAt(0, QColor(0x3D, 0xA5, 0x5D));
    shade.setColorAt(1, QColor(0x1B, 0x5E, 0x34));
    p.setPen(QPen(QBrush(shade), 1));
    p.drawText(QRect(78, 6, 340, 44), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("PRAVUNE"));
    QFont sub(QStringLiteral("Arial"));
    sub.setPixelSize(15);
    p.setFont(sub);
    p.setPen(QColor(0x40, 0x40, 0x48));
    p.drawText(QRect(80, 48, 340, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("USB module loader"));
    return pm;
}

}  // namespace

QPixmap ApplicationIcon(int size) {
    QPixmap pm = Blank(size, size);
    QPainter p(&pm);
    DrawModule(p, size);
    return pm;
}

QPixmap Picture(int id) {
    switch (id) {
        case 128:
            return ApplicationIcon(32);
        case 133:
            return Banner();
        case 140:
            return Connection(false);
        case 141:
            return Connection(true);
        case 149:
            return ReloadIcon();
        case 150:
            return OpenIcon();
        case 151:
            return DownloadIcon();
        default:
            return {};
    }
}
