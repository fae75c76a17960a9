// Writes the loader's pictures from the drawings in res/pictures.cpp (run at build time):
//   pravune-write-icon FILE.png SIZE   the application icon as a PNG (for the desktop file)
//   pravune-write-icon --windows DIR   the Windows window's icons and banner (DIR/*.ico,
//                                      DIR/banner.bmp), which win/loader.rc builds in
#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdint>
#include <vector>

#include "res/pictures.h"

namespace {

void Put16(QByteArray& out, unsigned v) {
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(QByteArray& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// One icon image as a DIB: a 40-byte header (height doubled for the mask), 32-bit BGRA rows
// bottom-up with straight alpha, then the 1-bit AND mask (1 = transparent), rows padded to 32 bits.
QByteArray DibEntry(const QImage& picture) {
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    QByteArray out;
    Put32(out, 40);
    Put32(out, static_cast<std::uint32_t>(w));
    Put32(out, static_cast<std::uint32_t>(2 * h));
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, 0);   // BI_RGB
    Put32(out, static_cast<std::uint32_t>(w * h * 4 + maskStride * h));
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(static_cast<char>(qBlue(row[x])));
            out.append(static_cast<char>(qGreen(row[x])));
            out.append(static_cast<char>(qRed(row[x])));
            out.append(static_cast<char>(qAlpha(row[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QByteArray mask(maskStride, '\0');
        for (int x = 0; x < w; ++x)
            if (qAlpha(row[x]) == 0)
                mask[x / 8] = static_cast<char>(mask[x / 8] | (0x80 >> (x % 8)));
        out.append(mask);
    }
    return out;
}

QByteArray PngEntry(const QImage& image) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return out;
}

// The ICO container: a 6-byte header, a 16-byte directory entry per image, then the images.
// Images of 256 px go in as PNG (as Windows' own icons do), smaller ones as DIBs.
QByteArray Ico(const std::vector<QImage>& images) {
    std::vector<QByteArray> data;
    for (const QImage& image : images)
        data.push_back(image.width() >= 256 ? PngEntry(image) : DibEntry(image));
    QByteArray out;
    Put16(out, 0);
    Put16(out, 1);  // icon
    Put16(out, static_cast<unsigned>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        out.append(static_cast<char>(images[i].width() >= 256 ? 0 : images[i].width()));
        out.append(static_cast<char>(images[i].height() >= 256 ? 0 : images[i].height()));
        out.append('\0');  // no palette
        out.append('\0');
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, static_cast<std::uint32_t>(data[i].size()));
        Put32(out, offset);
        offset += static_cast<std::uint32_t>(data[i].size());
    }
    for (const QByteArray& d : data)
        out.append(d);
    return out;
}

// A 24-bit BMP file, the picture composed on black (rows bottom-up, padded to 4 bytes).
QByteArray Bmp(const QImage& picture) {
    QImage image(picture.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter p(&image);
        p.drawImage(0, 0, picture);
    }
    const int w = image.width();
    const int h = image.height();
    const int stride = ((w * 3 + 3) / 4) * 4;
    QByteArray out;
    out.append("BM");
    Put32(out, static_cast<std::uint32_t>(14 + 40 + stride * h));
    Put32(out, 0);
    Put32(out, 14 + 40);
    Put32(out, 40);
    Put32(out, static_cast<std::uint32_t>(w));
    Put32(out, static_cast<std::uint32_t>(h));
    Put16(out, 1);
    Put16(out, 24);
    Put32(out, 0);
    Put32(out, static_cast<std::uint32_t>(stride * h));
    Put32(out, 2835);  // 72 dpi
    Put32(out, 2835);
    Put32(out, 0);
    Put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QByteArray line(stride, '\0');
        for (int x = 0; x < w; ++x) {
            line[3 * x] = static_cast<char>(qBlue(row[x]));
            line[3 * x + 1] = static_cast<char>(qGreen(row[x]));
            line[3 * x + 2] = static_cast<char>(qRed(row[x]));
        }
        out.append(line);
    }
    return out;
}

bool Write(const QDir& dir, const QString& name, const QByteArray& data) {
    QFile file(dir.filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

int WriteWindowsPictures(const QString& dirName) {
    const QDir dir(dirName);
    if (!dir.mkpath(QStringLiteral(".")))
        return 1;
    std::vector<QImage> app;
    for (int size : {16, 24, 32, 48, 256})
        app.push_back(ApplicationIcon(size).toImage());
    const struct {
        int id;
        const char* name;
    } icons[] = {{140, "device_absent.ico"},
                 {141, "device_present.ico"},
                 {149, "reload.ico"},
                 {150, "open.ico"},
                 {151, "download.ico"}};
    bool ok = Write(dir, QStringLiteral("mainframe.ico"), Ico(app));
    for (const auto& icon : icons)
        ok = Write(dir, QString::fromLatin1(icon.name), Ico({Picture(icon.id).toImage()})) && ok;
    ok = Write(dir, QStringLiteral("banner.bmp"), Bmp(Picture(133).toImage())) && ok;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 3)
        return 2;
    if (QByteArray(argv[1]) == "--windows")
        return WriteWindowsPictures(QString::fromLocal8Bit(argv[2]));
    return ApplicationIcon(atoi(argv[2])).save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
