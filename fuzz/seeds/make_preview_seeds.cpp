// Writes the seed corpus of the preview chain's fuzz target: one small file of each image format
// the previews decode (BMP, JPEG, PNG at 8 and 16 bits, ICO, GIF, TIFF, TARGA), a PDF and a
// text file, so that the fuzzer starts inside every decoder. Made at fuzz time, not kept as files.
//
//   make_preview_seeds OUTDIR
//
// Exits 1 when a file cannot be written.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPdfWriter>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;
constexpr int kSide = 8;

QRgb colourAt(int x, int y)
{
    return qRgb(x * 32, y * 32, (x + y) * 16);
}

QImage picture()
{
    QImage image(kSide, kSide, QImage::Format_RGB32);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            image.setPixel(x, y, colourAt(x, y));
    return image;
}

void put16le(Bytes& out, uint32_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32le(Bytes& out, uint32_t v)
{
    put16le(out, v & 0xFFFF);
    put16le(out, v >> 16);
}
QByteArray qtEncoded(const QImage& image, const char* format)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return data;
}

// Four grey levels, every LZW code a literal (a clear code before each pair keeps 3-bit codes).
Bytes gif()
{
    Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    put16le(out, kSide);
    put16le(out, kSide);
    out.insert(out.end(), {0x81, 0, 0, 0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255, 0x2C});
    put32le(out, 0);
    put16le(out, kSide);
    put16le(out, kSide);
    out.insert(out.end(), {0, 2});
    Bytes codes;
    uint32_t bits = 0;
    int used = 0;
    auto putCode = [&](uint32_t code) {
        bits |= code << used;
        for (used += 3; used >= 8; used -= 8, bits >>= 8)
            codes.push_back(uint8_t(bits));
    };
    for (int i = 0; i < kSide * kSide; ++i) {
        if (i % 2 == 0)
            putCode(4);
        putCode(uint32_t((i % kSide + i / kSide) % 4));
    }
    putCode(5);
    if (used > 0)
        codes.push_back(uint8_t(bits));
    out.push_back(uint8_t(codes.size()));
    out.insert(out.end(), codes.begin(), codes.end());
    out.insert(out.end(), {0, 0x3B});
    return out;
}

Bytes tiff()
{
    Bytes out = {'I', 'I', 42, 0};
    put32le(out, 8);
    const uint32_t bitsAt = 8 + 2 + 10 * 12 + 4, pixelsAt = bitsAt + 6;
    put16le(out, 10);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16le(out, tag);
        put16le(out, type);
        put32le(out, count);
        put32le(out, value);
    };
    entry(256, 4, 1, kSide);
    entry(257, 4, 1, kSide);
    entry(258, 3, 3, bitsAt);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 2);
    entry(273, 4, 1, pixelsAt);
    entry(277, 3, 1, 3);
    entry(278, 4, 1, kSide);
    entry(279, 4, 1, kSide * kSide * 3);
    entry(284, 3, 1, 1);
    put32le(out, 0);
    for (int i = 0; i < 3; ++i)
        put16le(out, 8);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            out.insert(out.end(), {uint8_t(qRed(colourAt(x, y))), uint8_t(qGreen(colourAt(x, y))),
                                   uint8_t(qBlue(colourAt(x, y)))});
    return out;
}

// Uncompressed true-colour TARGA, bottom-up, with the version 2 footer the format is told by.
Bytes targa()
{
    Bytes out = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16le(out, kSide);
    put16le(out, kSide);
    out.insert(out.end(), {24, 0});
    for (int y = kSide - 1; y >= 0; --y)
        for (int x = 0; x < kSide; ++x)
            out.insert(out.end(), {uint8_t(qBlue(colourAt(x, y))), uint8_t(qGreen(colourAt(x, y))),
                                   uint8_t(qRed(colourAt(x, y)))});
    put32le(out, 0);
    put32le(out, 0);
    const char signature[] = "TRUEVISION-XFILE.";
    out.insert(out.end(), signature, signature + sizeof signature);
    return out;
}

QByteArray pdf()
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    {
        QPainter painter(&writer);
        painter.fillRect(QRect(0, 0, 200, 300), Qt::red);
        painter.drawText(QPoint(400, 400), QStringLiteral("Seed"));
    }
    return data;
}

bool write(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}
bool write(const QString& path, const Bytes& data)
{
    return write(path, QByteArray(reinterpret_cast<const char*>(data.data()), qsizetype(data.size())));
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_preview_seeds OUTDIR\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(dir))
        return 1;
    const QImage image = picture();
    bool ok = write(dir + "/seed.bmp", qtEncoded(image, "bmp")) && write(dir + "/seed.jpg", qtEncoded(image, "jpeg")) &&
              write(dir + "/seed.png", qtEncoded(image, "png")) &&
              write(dir + "/seed16.png", qtEncoded(image.convertToFormat(QImage::Format_RGBA64), "png")) &&
              write(dir + "/seed.ico", qtEncoded(image, "ico")) && write(dir + "/seed.gif", gif()) &&
              write(dir + "/seed.tif", tiff()) && write(dir + "/seed.tga", targa()) &&
              write(dir + "/seed.pdf", pdf()) && write(dir + "/seed.txt", QByteArray("first line\nsecond\tline\r\n"));
    return ok ? 0 : 1;
}
