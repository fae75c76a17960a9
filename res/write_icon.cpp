// Writes the application icon as a PNG for the desktop file (run at build time).
#include <QGuiApplication>

#include "res/pictures.h"

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 3)
        return 2;
    return ApplicationIcon(atoi(argv[2])).save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
