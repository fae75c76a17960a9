// The Windows window's pictures in res/win are kept in git (the MinGW build has no Qt to draw
// them): they must stay what the drawings in res/pictures.cpp draw now. The files are decoded
// here, not with Qt's readers, so a fault in how they were written shows too.
#include <QFile>
#include <QtTest>

#include <cstdint>
#include <vector>

#include "res/pictures.h"

namespace {

const char kRegenerate[] =
    "res/win no longer matches the drawings: write it again with "
    "`ninja -C build pravune-win-pictures` and commit it";

QByteArray ReadPicture(const char* name) {
    QFile file(QStringLiteral(PRAVUNE_SOURCE_DIR "/res/win/") + QString::fromLatin1(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::uint32_t Get(const QByteArray& data, qsizetype at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(data.at(at + i));
    return v;
}

struct IcoImage {
    QImage image;      // straight ARGB
    bool maskMatches;  // the AND mask is set exactly where alpha is 0
};

// One icon image: a PNG, or a 32-bit DIB (height doubled) followed by its AND mask.
IcoImage DecodeEntry(const QByteArray& data) {
    if (data.startsWith("\x89PNG"))
        return {QImage::fromData(data, "PNG").convertToFormat(QImage::Format_ARGB32), true};
    if (data.size() < 40 || Get(data, 0, 4) != 40 || Get(data, 14, 2) != 32)
        return {};
    const int w = static_cast<int>(Get(data, 4, 4));
    const int h = static_cast<int>(Get(data, 8, 4)) / 2;
    const int maskStride = ((w + 31) / 32) * 4;
    const qsizetype maskAt = 40 + qsizetype{w} * h * 4;
    if (w <= 0 || h <= 0 || data.size() < maskAt + qsizetype{maskStride} * h)
        return {};
    IcoImage out{QImage(w, h, QImage::Format_ARGB32), true};
    for (int y = 0; y < h; ++y) {
        const int row = h - 1 - y;
        for (int x = 0; x < w; ++x) {
            const qsizetype at = 40 + (qsizetype{row} * w + x) * 4;
            const int b = static_cast<std::uint8_t>(data[at]);
            const int g = static_cast<std::uint8_t>(data[at + 1]);
            const int r = static_cast<std::uint8_t>(data[at + 2]);
            const int a = static_cast<std::uint8_t>(data[at + 3]);
            out.image.setPixel(x, y, qRgba(r, g, b, a));
            const bool masked =
                (static_cast<std::uint8_t>(data[maskAt + qsizetype{row} * maskStride + x / 8]) &
                 (0x80 >> (x % 8))) != 0;
            out.maskMatches = out.maskMatches && masked == (a == 0);
        }
    }
    return out;
}

std::vector<IcoImage> DecodeIco(const QByteArray& data) {
    std::vector<IcoImage> images;
    if (data.size() < 6 || Get(data, 0, 2) != 0 || Get(data, 2, 2) != 1)
        return images;
    const int count = static_cast<int>(Get(data, 4, 2));
    for (int i = 0; i < count && data.size() >= 6 + 16 * (i + 1); ++i) {
        const qsizetype entry = 6 + 16 * i;
        const qsizetype size = Get(data, entry + 8, 4);
        const qsizetype offset = Get(data, entry + 12, 4);
        if (offset + size > data.size())
            return {};
        IcoImage image = DecodeEntry(data.mid(offset, size));
        const int w = Get(data, entry, 1) == 0 ? 256 : static_cast<int>(Get(data, entry, 1));
        if (image.image.width() != w)  // the directory must say the image's own size
            return {};
        images.push_back(image);
    }
    return images;
}

// A 24-bit bottom-up BMP.
QImage DecodeBmp(const QByteArray& data) {
    if (data.size() < 54 || !data.startsWith("BM") || Get(data, 28, 2) != 24 ||
        Get(data, 30, 4) != 0)
        return {};
    const qsizetype bits = Get(data, 10, 4);
    const int w = static_cast<int>(Get(data, 18, 4));
    const int h = static_cast<int>(Get(data, 22, 4));
    const int stride = ((w * 3 + 3) / 4) * 4;
    if (w <= 0 || h <= 0 || data.size() < bits + qsizetype{stride} * h)
        return {};
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const qsizetype at = bits + qsizetype{h - 1 - y} * stride + 3 * x;
            image.setPixel(
                x, y,
                qRgb(static_cast<std::uint8_t>(data[at + 2]),
                     static_cast<std::uint8_t>(data[at + 1]), static_cast<std::uint8_t>(data[at])));
        }
    return image;
}

// How many pixels differ by more than a small step in a premultiplied channel (antialiased
// edges and text may round differently between Qt builds and font versions).
int Differing(const QImage& a, const QImage& b) {
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int count = 0;
    for (int y = 0; y < pa.height(); ++y)
        for (int x = 0; x < pa.width(); ++x) {
            const QRgb u = pa.pixel(x, y);
            const QRgb v = pb.pixel(x, y);
            if (qAbs(qRed(u) - qRed(v)) > 12 || qAbs(qGreen(u) - qGreen(v)) > 12 ||
                qAbs(qBlue(u) - qBlue(v)) > 12 || qAbs(qAlpha(u) - qAlpha(v)) > 12)
                ++count;
        }
    return count;
}

void ExpectSame(const QImage& file, const QImage& drawn, int allowed) {
    QVERIFY2(!file.isNull(), kRegenerate);
    QVERIFY2(file.size() == drawn.size(), kRegenerate);
    const int differing = Differing(file, drawn);
    QVERIFY2(differing <= allowed,
             qPrintable(QStringLiteral("%1 pixels differ; %2").arg(differing).arg(kRegenerate)));
}

}  // namespace

class WinPicturesTest : public QObject {
    Q_OBJECT

  private slots:
    void icons_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("size");
        QTest::newRow("device absent") << "device_absent.ico" << 140 << 20;
        QTest::newRow("device present") << "device_present.ico" << 141 << 20;
        QTest::newRow("reload") << "reload.ico" << 149 << 16;
        QTest::newRow("open") << "open.ico" << 150 << 16;
        QTest::newRow("download") << "download.ico" << 151 << 32;
    }

    void icons() {
        QFETCH(QString, file);
        QFETCH(int, id);
        QFETCH(int, size);
        const std::vector<IcoImage> images = DecodeIco(ReadPicture(qPrintable(file)));
        QCOMPARE(images.size(), std::size_t{1});
        QCOMPARE(images[0].image.width(), size);
        QVERIFY(images[0].maskMatches);
        ExpectSame(images[0].image, Picture(id).toImage(), size * size / 50);
    }

    void applicationIcon() {
        const std::vector<IcoImage> images = DecodeIco(ReadPicture("mainframe.ico"));
        const int sizes[] = {16, 24, 32, 48, 256};
        QCOMPARE(images.size(), std::size(sizes));
        for (std::size_t i = 0; i < images.size(); ++i) {
            QVERIFY(images[i].maskMatches);
            ExpectSame(images[i].image, ApplicationIcon(sizes[i]).toImage(),
                       sizes[i] * sizes[i] / 50);
        }
    }

    // The banner has text: its font may differ a little from the one it was written with.
    void banner() {
        const QImage drawn = Picture(133).toImage();
        ExpectSame(DecodeBmp(ReadPicture("banner.bmp")), drawn,
                   drawn.width() * drawn.height() / 100);
    }
};

QTEST_MAIN(WinPicturesTest)
#include "win_pictures_test.moc"
