// Build-time tool: draws one or more SVG files on top of each other into an image of a given size
// and writes it as PNG, or as GIF when the output name ends in ".gif" (Qt reads GIF but cannot
// write it, so the tool has its own small encoder). Exits non-zero with a message on any failure,
// so a broken drawing stops the build instead of leaving a missing icon.
//
//   render_svg OUTPUT WIDTH HEIGHT LAYER.svg [LAYER.svg ...]
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

int fail(const std::string& message)
{
    std::fprintf(stderr, "render_svg: %s\n", message.c_str());
    return 1;
}

void put16(std::vector<unsigned char>& out, int value)
{
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

// Packs variable-width codes least significant bit first, as GIF stores them.
class CodeWriter {
public:
    void write(int code, int width)
    {
        accumulator |= static_cast<unsigned long>(code) << bits;
        bits += width;
        while (bits >= 8) {
            bytes.push_back(static_cast<unsigned char>(accumulator & 0xFF));
            accumulator >>= 8;
            bits -= 8;
        }
    }
    std::vector<unsigned char> finish()
    {
        if (bits > 0)
            bytes.push_back(static_cast<unsigned char>(accumulator & 0xFF));
        return bytes;
    }

private:
    unsigned long accumulator = 0;
    int bits = 0;
    std::vector<unsigned char> bytes;
};

// A GIF89a of the image: index 0 is transparent (alpha below one half), the other 255 entries are
// the image's most frequent colours, every other colour goes to its nearest entry. The pixel codes
// are written without compression (a clear code before the table would need wider codes), which
// every decoder reads and which costs nothing at icon sizes.
std::vector<unsigned char> encodeGif(const QImage& source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int width = image.width();
    const int height = image.height();

    std::map<QRgb, int> frequency;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) >= 128)
                ++frequency[pixel | 0xFF000000u];
        }
    std::vector<std::pair<int, QRgb>> byCount;
    for (const auto& [colour, count] : frequency)
        byCount.emplace_back(-count, colour);
    std::sort(byCount.begin(), byCount.end());
    std::vector<QRgb> palette(256, 0xFF000000u);
    const size_t used = std::min<size_t>(byCount.size(), 255);
    for (size_t i = 0; i < used; ++i)
        palette[i + 1] = byCount[i].second;

    std::map<QRgb, int> indexOf;
    const auto nearest = [&](QRgb colour) {
        if (auto found = indexOf.find(colour); found != indexOf.end())
            return found->second;
        int best = 1;
        long bestDistance = -1;
        for (size_t i = 1; i <= used; ++i) {
            const long dr = qRed(colour) - qRed(palette[i]);
            const long dg = qGreen(colour) - qGreen(palette[i]);
            const long db = qBlue(colour) - qBlue(palette[i]);
            const long distance = dr * dr + dg * dg + db * db;
            if (bestDistance < 0 || distance < bestDistance) {
                bestDistance = distance;
                best = int(i);
            }
        }
        indexOf[colour] = best;
        return best;
    };

    std::vector<unsigned char> out = {'G', 'I', 'F', '8', '9', 'a'};
    put16(out, width);
    put16(out, height);
    out.insert(out.end(), {0xF7, 0, 0}); // global table of 256 entries, background 0, square pixels
    for (QRgb colour : palette)
        out.insert(out.end(), {static_cast<unsigned char>(qRed(colour)), static_cast<unsigned char>(qGreen(colour)),
                               static_cast<unsigned char>(qBlue(colour))});
    out.insert(out.end(), {0x21, 0xF9, 4, 0x01, 0, 0, 0, 0}); // graphic control: index 0 transparent
    out.push_back(0x2C);
    put16(out, 0);
    put16(out, 0);
    put16(out, width);
    put16(out, height);
    out.push_back(0);
    out.push_back(8); // minimum code size

    constexpr int clearCode = 256;
    constexpr int endCode = 257;
    constexpr int codesPerClear = 250; // keeps the decoder's table below 512 entries: 9-bit codes
    CodeWriter codes;
    int sinceClear = codesPerClear;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (sinceClear == codesPerClear) {
                codes.write(clearCode, 9);
                sinceClear = 0;
            }
            const QRgb pixel = image.pixel(x, y);
            codes.write(qAlpha(pixel) >= 128 ? nearest(pixel | 0xFF000000u) : 0, 9);
            ++sinceClear;
        }
    codes.write(endCode, 9);
    const std::vector<unsigned char> data = codes.finish();
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t length = std::min<size_t>(255, data.size() - at);
        out.push_back(static_cast<unsigned char>(length));
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + length));
    }
    out.push_back(0);    // end of the image data
    out.push_back(0x3B); // trailer
    return out;
}

// Qt's notes about the environment of a GUI program (no runtime folder) say nothing about the
// drawing; everything else, a drawing's unsupported element for one, is still shown.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && message.startsWith("QStandardPaths:"))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5)
        return fail("usage: render_svg OUTPUT WIDTH HEIGHT LAYER.svg [LAYER.svg ...]");
    // Text in a drawing needs the font database, which needs a GUI application; no display is used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietHandler);
    QGuiApplication application(argc, argv);

    const QString output = QString::fromLocal8Bit(argv[1]);
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096)
        return fail("bad size " + std::string(argv[2]) + " x " + argv[3]);

    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        for (int i = 4; i < argc; ++i) {
            QSvgRenderer layer(QString::fromLocal8Bit(argv[i]));
            if (!layer.isValid())
                return fail(std::string("cannot read the drawing ") + argv[i]);
            layer.render(&painter, QRectF(0, 0, width, height));
        }
    }

    if (output.endsWith(".gif", Qt::CaseInsensitive)) {
        const std::vector<unsigned char> gif = encodeGif(image);
        std::FILE* file = std::fopen(argv[1], "wb");
        if (!file || std::fwrite(gif.data(), 1, gif.size(), file) != gif.size() || std::fclose(file) != 0)
            return fail(std::string("cannot write ") + argv[1]);
    } else if (!image.convertToFormat(QImage::Format_ARGB32).save(output, "PNG")) {
        return fail(std::string("cannot write ") + argv[1]);
    }

    // What the program will do with it: read it back by content.
    const QImage check(output);
    if (check.isNull() || check.size() != image.size())
        return fail(std::string("the written image does not read back: ") + argv[1]);
    return 0;
}
