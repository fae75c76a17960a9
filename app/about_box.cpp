#include "app/about_box.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "app/dialog_units.h"
#include "res/pictures.h"

CAboutBox::CAboutBox(const std::string& settingsFile, const std::string& origin, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kAboutCaption));
    QFont font(QString::fromUtf8("宋体"), 9);
    setFont(font);
    const DialogUnits du(font);
    setFixedSize(du.X(235), du.Y(80));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setGeometry(du.Rect(11, 17, 20, 20));
    icon->setPixmap(Picture(128));
    auto text = [&](const char* caption, QRect rect) {
        auto* label = new QLabel(QString::fromUtf8(caption), this);
        label->setGeometry(rect);
        return label;
    };
    text(kAboutVersion, du.Rect(40, 10, 119, 8));
    text(kAboutCopyright, du.Rect(40, 25, 119, 8));
    text(kAboutCompany, du.Rect(39, 40, 119, 8));
    // The settings file in use, on a line of its own under the maker's lines: shortened in the
    // middle when it is long, whole in its tool tip with the reason it is there, and selectable
    // for a copy.
    text("Settings file:", du.Rect(11, 54, 119, 8));
    const QString file = QString::fromStdString(settingsFile);
    const QRect fileRect = du.Rect(11, 64, 217, 8);
    auto* settings = text("", fileRect);
    settings->setObjectName(QStringLiteral("settingsFile"));
    settings->setText(settings->fontMetrics().elidedText(file, Qt::ElideMiddle, fileRect.width()));
    settings->setToolTip(file + QStringLiteral("\n(") + QString::fromStdString(origin) +
                         QStringLiteral(")"));
    settings->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* ok = new QPushButton(QString::fromUtf8("确定"), this);
    ok->setGeometry(du.Rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
