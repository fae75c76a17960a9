// The Windows window's pictures in res/win are kept in git (the MinGW build has no Qt to draw
// them): they must stay what the drawings in res/pictures.cpp draw now.
#include <QImageReader>
#include <QtTest>

#include "res/pictures.h"

namespace {

const char kRegenerate[] =
    "res/win no longer matches the drawings: write it again with "
    "`ninja -C build pravune-win-pictures` and commit it";

std::vector<QImage> ReadAll(const char* name) {
    QImageReader reader(QStringLiteral(PRAVUNE_SOURCE_DIR "/res/win/") + QLatin1String(name));
    std::vector<QImage> images;
    do {
        const QImage image = reader.read();
        if (!image.isNull())
            images.push_back(image);
    } while (reader.jumpToNextImage());
    return images;
}

// Pixels differing by more than a small step in a premultiplied channel (antialiased edges and
// text may round differently between Qt and font versions), at most 1 in `share`.
void ExpectSame(const QImage& file, const QPixmap& drawing, int share) {
    const QImage a = file.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage b = drawing.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QVERIFY2(a.size() == b.size(), kRegenerate);
    int differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb u = a.pixel(x, y), v = b.pixel(x, y);
            differing += qAbs(qRed(u) - qRed(v)) > 12 || qAbs(qGreen(u) - qGreen(v)) > 12 ||
                         qAbs(qBlue(u) - qBlue(v)) > 12 || qAbs(qAlpha(u) - qAlpha(v)) > 12;
        }
    QVERIFY2(differing <= a.width() * a.height() / share,
             qPrintable(QStringLiteral("%1 pixels differ; %2").arg(differing).arg(kRegenerate)));
}

}  // namespace

class WinPicturesTest : public QObject {
    Q_OBJECT

  private slots:
    void pictures_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("id");
        for (auto [file, id] : {std::pair{"device_absent.ico", 140},
                                {"device_present.ico", 141},
                                {"reload.ico", 149},
                                {"open.ico", 150},
                                {"download.ico", 151},
                                {"banner.bmp", 133}})
            QTest::newRow(file) << QByteArray(file) << id;
    }

    void pictures() {
        QFETCH(QByteArray, file);
        QFETCH(int, id);
        const std::vector<QImage> images = ReadAll(file.constData());
        QCOMPARE(images.size(), std::size_t{1});
        ExpectSame(images[0], Picture(id), 50);
    }

    void applicationIcon() {
        const std::vector<QImage> images = ReadAll("mainframe.ico");
        const int sizes[] = {16, 24, 32, 48, 256};
        QCOMPARE(images.size(), std::size(sizes));
        for (std::size_t i = 0; i < images.size(); ++i)
            ExpectSame(images[i], ApplicationIcon(sizes[i]), 50);
    }
};

QTEST_MAIN(WinPicturesTest)
#include "win_pictures_test.moc"
