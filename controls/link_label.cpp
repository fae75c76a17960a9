#include "controls/link_label.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QUrl>

CLinkLabel::CLinkLabel(QWidget* parent) : QPushButton(parent) {
    setAutoDefault(false);
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
}

void CLinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        QDesktopServices::openUrl(QUrl(text()));
    }
}

void CLinkLabel::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}
