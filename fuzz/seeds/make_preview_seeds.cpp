// Writes the seed corpus of the preview worker's fuzz target: one small file of several image
// formats the previews decode (BMP, JPEG, PNG at 8 and 16 bits, ICO, GIF, TIFF, TARGA), a PDF, a
// text file, and the inputs that once crashed the decoders (a Photoshop file's run-length data, a
// GIF cut inside a data block, an icon with an impossible bit count), so that the fuzzer starts
// inside every decoder and goes on from the known faults. Made at fuzz time, not kept as files.
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

#include "imagewriters.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
using imagewriters::Bytes;
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

using imagewriters::put16le;
using imagewriters::put32le;

QByteArray qtEncoded(const QImage& image, const char* format)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return data;
}

// Four grey levels in a diagonal pattern.
Bytes gif()
{
    std::vector<uint8_t> indices;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            indices.push_back(uint8_t((x + y) % 4));
    return imagewriters::gif(kSide, kSide, {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF}, indices);
}

Bytes tiff()
{
    Bytes rgb;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            rgb.insert(rgb.end(), {uint8_t(qRed(colourAt(x, y))), uint8_t(qGreen(colourAt(x, y))),
                                   uint8_t(qBlue(colourAt(x, y)))});
    return imagewriters::tiff(kSide, kSide, rgb);
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

// Found by fuzzing: run-length counts that made the Photoshop plug-in clear a negative length.
const char kPsdRunLengthCrash[] =
    "3842505300010000006f0000000300000008000000080008000300000000000000000000000000010020406080a0c0e0500020406080a0"
    "c0e00020406080a0c0e00020406080a0c0e0002040606080a0c0e000e0e0e0e0e0e0e0e000102030405060701020304050607080203040"
    "506070809030405060708090a0737761728090a0b05060708090a0b0c060708090a0b0c0d0708090a0b0747261696c6572c0d0e0";
// Found by fuzzing: an 8 x 8 GIF frame whose first data block is cut short.
const char kGifCutInABlock[] = "474946383961080008008100ff161d00555555aaaaaaffffff2c0000000008000800000225"
                               "05003b11074605003b05003b074605003b05003b";

// An 8 x 8 icon whose header claims 288 bits a pixel, which overran the icon plug-in's buffers.
Bytes impossibleIcon()
{
    Bytes out = {0, 0, 1, 0, 1, 0, 8, 8, 0, 0, 1, 0, 32, 0};
    for (uint32_t field : {40u + 8 * 8 * 4 * 2, 22u, 40u, 8u, 16u})
        put32le(out, field);
    put16le(out, 1);
    put16le(out, 288);
    out.resize(8192, 0);
    return out;
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
              write(dir + "/seed.pdf", pdf()) && write(dir + "/seed.txt", QByteArray("first line\nsecond\tline\r\n")) &&
              write(dir + "/crash-runlength.psd", QByteArray::fromHex(kPsdRunLengthCrash)) &&
              write(dir + "/crash-cut-block.gif", QByteArray::fromHex(kGifCutInABlock)) &&
              write(dir + "/crash-bitcount.ico", impossibleIcon());
    return ok ? 0 : 1;
}
