// The preview maker and its worker: sizing, the decoder's callbacks, a real volume's files, every
// format the image library reads, hostile files, and workers that crash, hang or run out of memory.
#include "Preview.h"
#include "previewdecode.h"
#include "previewsandbox.h"

#include "imagewriters.h"
#include "recoveryfixture.h"

#include <QBuffer>
#include <QDir>
#include <QImageWriter>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
namespace {
using Bytes = std::vector<uint8_t>;
using imagewriters::put16le;
using imagewriters::put32le;
constexpr int kImageWidth = 400, kImageHeight = 200;
const QRgb kQuadrants[4] = {qRgb(220, 30, 30), qRgb(30, 180, 60), qRgb(40, 60, 200), qRgb(230, 200, 40)};
// Four flat quadrants: survives JPEG and palette coding, and shows a flipped or stretched preview.
QImage quadrantImage()
{
    QImage image(kImageWidth, kImageHeight, QImage::Format_RGB32);
    for (int y = 0; y < kImageHeight; ++y)
        for (int x = 0; x < kImageWidth; ++x)
            image.setPixel(x, y, kQuadrants[(y >= kImageHeight / 2) * 2 + (x >= kImageWidth / 2)]);
    return image;
}
Bytes bytesOfHex(const char* hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return Bytes(bytes.begin(), bytes.end());
}
Bytes encoded(const QImage& image, const char* format, int quality = -1)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    EXPECT_TRUE(writer.write(image)) << format << ": " << writer.errorString().toStdString();
    return Bytes(data.begin(), data.end());
}
// The four-colour picture as a GIF and as an RGB TIFF (Qt writes neither); either may claim a size.
Bytes gifOf(uint16_t claimedWidth = 0, uint16_t claimedHeight = 0)
{
    const QImage indexed =
        quadrantImage().convertToFormat(QImage::Format_Indexed8, QList<QRgb>(kQuadrants, kQuadrants + 4));
    const std::array<uint32_t, 4> palette = {kQuadrants[0] & 0xFFFFFF, kQuadrants[1] & 0xFFFFFF,
                                             kQuadrants[2] & 0xFFFFFF, kQuadrants[3] & 0xFFFFFF};
    return imagewriters::gif(kImageWidth, kImageHeight, palette,
                             Bytes(indexed.constBits(), indexed.constBits() + indexed.sizeInBytes()), claimedWidth,
                             claimedHeight);
}
Bytes tiffOf(uint32_t claimedWidth = 0, uint32_t claimedHeight = 0)
{
    const QImage rgb = quadrantImage().convertToFormat(QImage::Format_RGB888); // rows of 1200 bytes, unpadded
    return imagewriters::tiff(kImageWidth, kImageHeight, Bytes(rgb.constBits(), rgb.constBits() + rgb.sizeInBytes()),
                              claimedWidth, claimedHeight);
}
// Headers with valid checksums that claim 65535 x 65535 pixels.
Bytes hugePng()
{
    Bytes out = {0x89, 'P',  'N',  'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I',  'H',  'D',  'R', 0,
                 0,    0xFF, 0xFF, 0,   0,    0xFF, 0xFF, 8,    6, 0, 0, 0,  0xB6, 0x05, 0xD9, 0x50};
    const Bytes filler = patternBytes(4000, 9);
    out.insert(out.end(), filler.begin(), filler.end());
    return out;
}
Bytes hugeBmp()
{
    Bytes out = {'B', 'M', 0xA0, 0x0F, 0,    0, 0, 0,    0,    0, 54, 0, 0, 0,  40,
                 0,   0,   0,    0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0,  1, 0, 24, 0};
    out.resize(54, 0);
    out.resize(4000, 0x55);
    return out;
}
Bytes withHugeJpegFrame(Bytes jpeg)
{
    for (size_t i = 0; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            std::fill(jpeg.begin() + long(i) + 5, jpeg.begin() + long(i) + 9, 0xFF);
            break;
        }
    return jpeg;
}
// An 8 x 8 icon whose directory gives the resource's length and offset, and its header a bit count.
Bytes icoFile(uint32_t length, uint32_t offset, uint16_t bitCount)
{
    Bytes out = {0, 0, 1, 0, 1, 0, 8, 8, 0, 0, 1, 0, 32, 0};
    for (uint32_t field : {length, offset, 40u, 8u, 16u})
        put32le(out, field);
    put16le(out, 1);
    put16le(out, bitCount);
    out.resize(8192, 0);
    return out;
}
Bytes pdfDocument()
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        QPainter painter(&writer);
        const QRect page = painter.viewport();
        painter.fillRect(QRect(0, 0, page.width() / 2, page.height()), QColor(200, 0, 0));
        painter.fillRect(QRect(page.width() / 2, 0, page.width() - page.width() / 2, page.height()), QColor(0, 0, 200));
    }
    return Bytes(data.begin(), data.end());
}
const char kText[] = "Alpha line\nBeta line\r\nGamma line\nDelta line\nEpsilon line\n";
double meanDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32), y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}
bool rowsAreWhite(const QImage& image, int from, int to)
{
    for (int y = from; y < to; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return false;
    return true;
}
int colourDistance(QRgb pixel, QRgb expected)
{
    return std::max({std::abs(qRed(pixel) - qRed(expected)), std::abs(qGreen(pixel) - qGreen(expected)),
                     std::abs(qBlue(pixel) - qBlue(expected))});
}
} // namespace
TEST(PreviewSizing, ScaledSizeIsAPowerOfTwoWideInTheImagesProportions)
{
    struct Case {
        uint32_t imageWidth, imageHeight;
        int width, height;
        PreviewSize expected;
    };
    const Case cases[] = {
        {1000, 500, 300, 300, {256, 128}},
        {1000, 500, 2000, 2000, {512, 256}}, // never wider than the image
        {100, 1000, 300, 300, {16, 160}},    // too high: 300 x 0.1 = 30, down to 16
        {1000, 500, 0, 0, {1, 1}},           // an empty request is one pixel, never log(0)
        {1000, 500, -20, 64, {1, 1}},
        {1, 65535, 300, 300, {1, 300}}, // a needle stays within the requested height
        {65535, 1, 300, 300, {256, 1}},
        {0, 0, 300, 300, {1, 1}},
        {4096, 4096, INT_MAX, INT_MAX, {4096, 4096}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.imageWidth << "x" << c.imageHeight << " at " << c.width << "x"
                                        << c.height);
        const PreviewSize size = previewScaledSize(c.imageWidth, c.imageHeight, c.width, c.height);
        EXPECT_EQ(QSize(size.width, size.height), QSize(c.expected.width, c.expected.height));
    }
}
TEST(PreviewIO, ReadProcAnswersWholeItemsWithinTheFile)
{
    struct Case {
        const char* what;
        int64_t start;
        unsigned size, count;
        unsigned expectedItems;
        int64_t expectedPosition;
    };
    const Case cases[] = {
        {"inside", 0, 4, 2, 2, 8},
        {"cut to the items that fit", 4, 4, 3, 1, 8},
        {"a part of an item at the end", 8, 4, 1, 0, 8},
        {"at the end", 10, 1, 1, 0, 10},
        {"size x count beyond 32 bits", 0, 65536, 65537, 0, 0},
        {"zero items", 2, 4, 0, 0, 2},
    };
    const Bytes data = patternBytes(10, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PreviewIOHandle handle{data.data(), int64_t(data.size()), c.start};
        Bytes buffer(16, 0xAA);
        unsigned items = 0;
        quietly([&] { items = ReadProc(buffer.data(), c.size, c.count, &handle); });
        EXPECT_EQ(items, c.expectedItems);
        EXPECT_EQ(TellProc(&handle), c.expectedPosition);
        // What was read is the file's; the rest is zero, never stale (a decoder loops until it reads 0).
        const int64_t asked = int64_t(c.size) * c.count;
        const size_t span = size_t(asked <= 64 ? asked : std::min<int64_t>(asked, std::max<int64_t>(10 - c.start, 0)));
        for (size_t i = 0; i < std::min<size_t>(span, buffer.size()); ++i)
            EXPECT_EQ(buffer[i], i < size_t(items) * c.size ? data[size_t(c.start) + i] : 0) << "byte " << i;
    }
}
TEST(PreviewIO, SeekProcAcceptsOnlyPositionsInsideTheItem)
{
    struct Case {
        const char* what;
        size_t itemSize;
        long offset;
        int origin;
        int expected;
        int64_t expectedPosition; // from 3
    };
    const Case cases[] = {
        {"end by 0 learns the length", 10, 0, SEEK_END, 0, 10},
        {"back from the end", 10, -10, SEEK_END, 0, 0},
        {"before the start from the end", 10, -11, SEEK_END, -1, 3},
        {"past the end from the end", 10, 1, SEEK_END, -1, 3},
        {"the end of an empty item", 0, 0, SEEK_END, -1, 3},
        {"to the size from the start", 10, 10, SEEK_SET, -1, 3},
        {"to the last byte from the start", 10, 9, SEEK_SET, 0, 9},
        {"negative from the start", 10, -1, SEEK_SET, -1, 3},
        {"forward from here", 10, 6, SEEK_CUR, 0, 9},
        {"to the size from here", 10, 7, SEEK_CUR, -1, 3},
        {"before the start from here", 10, -4, SEEK_CUR, -1, 3},
        {"overflowing from here", 10, LONG_MAX, SEEK_CUR, -1, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes data(c.itemSize, 7);
        PreviewIOHandle handle{data.data(), int64_t(data.size()), 3};
        int answer = 0;
        const std::string text = quietly([&] { answer = SeekProc(&handle, c.offset, c.origin); });
        EXPECT_EQ(answer, c.expected);
        EXPECT_EQ(TellProc(&handle), c.expectedPosition);
        EXPECT_EQ(text.find("freeimage: SeekProc - error") != std::string::npos, c.expected != 0) << text;
    }
}
// The preview of a file of one xorriso volume, made once.
QImage volumePreview(const std::string& name, int width, int height)
{
    static XorrisoDisk disk;
    static std::unique_ptr<BrowsedRecovery> recovery;
    if (!disk.partition) {
        const QImage picture = quadrantImage();
        makeXorrisoDisk(&disk, TreeSpec()
                                   .file("photo.jpg", encoded(picture, "jpeg", 95))
                                   .file("plain.png", encoded(picture, "png"))
                                   .file("deep.png", encoded(picture.convertToFormat(QImage::Format_RGBX64), "png"))
                                   .file("anim.gif", gifOf())
                                   .file("scan.tif", tiffOf())
                                   .file("paper.pdf", pdfDocument())
                                   .file("notes.txt", Bytes(kText, kText + sizeof kText - 1)));
        if (!disk.partition)
            return {};
        recovery = std::make_unique<BrowsedRecovery>(disk.partition);
        quietly([] { recovery->resultRoot->addChildren(); });
    }
    Preview preview;
    for (CVolumeItem* child : recovery->resultRoot->children)
        if (child->getName() == name) {
            QImage image;
            quietly([&] { image = preview.getFilePreview(child, width, height); });
            return image;
        }
    ADD_FAILURE() << name << " is not on the volume";
    return {};
}
TEST(PreviewOfVolume, ImagesPreviewAsTheirPixelsAtThePreviewSize)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    const std::pair<const char*, double> cases[] = {
        {"plain.png", 3}, {"deep.png", 3}, {"photo.jpg", 6}, {"anim.gif", 3}, {"scan.tif", 3}};
    const PreviewSize scaled = previewScaledSize(kImageWidth, kImageHeight, 300, 300);
    const QSize expectedSize(scaled.width, scaled.height);
    const QImage reference = quadrantImage().scaled(expectedSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (const auto& [name, tolerance] : cases) {
        SCOPED_TRACE(name);
        const QImage image = volumePreview(name, 300, 300); // text previews would be 300 x 300
        ASSERT_EQ(image.size(), expectedSize);
        EXPECT_LT(meanDifference(image, reference), tolerance); // per channel, 0-255
    }
}
TEST(PreviewOfVolume, PdfAndTextPreviewOnWhiteThePdfsFirstPageStretchedTheTextsLinesThatFit)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    QImage image = volumePreview("paper.pdf", 200, 300);
    ASSERT_EQ(image.size(), QSize(200, 300));
    EXPECT_LE(colourDistance(image.pixel(40, 290), qRgb(200, 0, 0)), 40);
    EXPECT_LE(colourDistance(image.pixel(160, 10), qRgb(0, 0, 200)), 40);
    image = volumePreview("notes.txt", 160, 40);
    ASSERT_EQ(image.size(), QSize(160, 40));
    EXPECT_FALSE(rowsAreWhite(image, 0, 16));
    EXPECT_FALSE(rowsAreWhite(image, 16, 32));
    EXPECT_TRUE(rowsAreWhite(image, 32, 40)) << "the third line would reach below the bottom edge";
    image = volumePreview("notes.txt", 160, 10);
    ASSERT_EQ(image.size(), QSize(160, 10));
    EXPECT_FALSE(rowsAreWhite(image, 0, 10));
}
// Damaged or lying headers are refused (or decoded as far as they hold) and previewed as text; the
// inputs that once crashed the application end in the worker, and the next file previews.
TEST(PreviewGuards, HostileFilesAreRefusedOrDecodedAsFarAsTheyHoldAndTheNextFileStillPreviews)
{
    const QImage picture = quadrantImage();
    const Bytes png = encoded(picture, "png"), jpeg = encoded(picture, "jpeg", 95), gif = gifOf();
    Bytes garbage(png.begin(), png.begin() + 8);
    const Bytes noise = patternBytes(3000, 5);
    garbage.insert(garbage.end(), noise.begin(), noise.end());
    QImage icon(32, 32, QImage::Format_ARGB32);
    icon.fill(kQuadrants[0]);
    // A plain 8 x 8 RGB Photoshop file of raw samples, red 200 and green and blue 20.
    Bytes psd = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 8, 0, 0, 0, 8, 0, 8, 0, 3};
    psd.resize(40, 0); // no colour-mode data, resources or layers; raw samples
    psd.resize(104, 200);
    psd.resize(232, 20);
    // Found by the fuzzer: run-length counts that made the PSD plug-in clear a negative length.
    const Bytes psdRunLengthCrash = bytesOfHex(
        "3842505300010000006f0000000300000008000000080008000300000000000000000000000000010020406080a0c0e0500020406080a0"
        "c0e00020406080a0c0e00020406080a0c0e0002040606080a0c0e000e0e0e0e0e0e0e0e000102030405060701020304050607080203040"
        "506070809030405060708090a0737761728090a0b05060708090a0b0c060708090a0b0c0d0708090a0b0747261696c6572c0d0e0");
    // Found by the fuzzer: an 8 x 8 GIF frame whose first 37-byte data block is cut short. The GIF
    // plug-in reads block lengths until one is zero: at the end of the item that read must give 0.
    const Bytes gifCutInABlock = bytesOfHex("474946383961080008008100ff161d00555555aaaaaaffffff2c0000000008000800000225"
                                            "05003b11074605003b05003b074605003b05003b");
    const struct {
        const char* name;
        Bytes content;
        QSize decoded;        // the preview's size and top left colour when (part of) the picture decodes
        QRgb topLeft;
    } cases[] = {
        {"corrupt.png", Bytes(png.begin(), png.begin() + 40), {}, 0},
        {"garbage.png", garbage, {}, 0},
        {"truncated.jpg", Bytes(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 3)), {128, 64}, kQuadrants[0]},
        {"truncated.gif", Bytes(gif.begin(), gif.begin() + long(gif.size() / 2)), {}, 0},
        {"cut.gif", gifCutInABlock, {8, 8}, qRgb(0x16, 0x1d, 0)},
        {"huge.png", hugePng(), {}, 0},
        {"huge.jpg", withHugeJpegFrame(jpeg), {}, 0},
        {"huge.gif", gifOf(65535, 65535), {}, 0},
        {"huge.bmp", hugeBmp(), {}, 0},
        {"huge.tif", tiffOf(65535, 65535), {}, 0},
        {"empty.jpg", {}, {}, 0},
        {"picture.psd", psd, {8, 8}, qRgb(200, 20, 20)},
        {"crash.psd", psdRunLengthCrash, {}, 0},
        {"sound.ico", encoded(icon, "ico"), {32, 32}, kQuadrants[0]},
        {"bitcount288.ico", icoFile(40 + 8 * 8 * 4 * 2, 22, 288), {}, 0}, // overran its buffers
        {"length past the end.ico", icoFile(8192 - 21, 22, 32), {}, 0},
        {"length to the end.ico", icoFile(8192 - 22, 22, 32), {8, 8}, qRgb(0, 0, 0)},
        {"24 bits.ico", icoFile(8192 - 22, 22, 24), {8, 8}, qRgb(0, 0, 0)},
        {"offset at the end.ico", icoFile(40, 8192, 32), {}, 0},
        {"length below a header.ico", icoFile(39, 22, 32), {}, 0},
    };
    Preview preview;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFileItem file(c.name, c.content);
        QImage image;
        const std::string text = quietly([&] { image = preview.getFilePreview(&file, 128, 96); });
        if (c.decoded.isValid()) {
            EXPECT_EQ(image.size(), c.decoded) << text;
            EXPECT_LE(colourDistance(image.pixel(2, 2), c.topLeft), 8) << text;
        } else {
            EXPECT_NE(text.find("getFileTextPreview"), std::string::npos) << text;
            EXPECT_EQ(image.size(), QSize(128, 96)) << text;
            EXPECT_LE(file.reads, 1) << "the text preview reads what the image preview read again";
        }
    }
}
TEST(PreviewChain, FoldersShowTheirIconAndPortableBitmapsNothing)
{
    ScratchDir resources;
    QImage closed(8, 8, QImage::Format_RGB32), lost(8, 8, QImage::Format_RGB32);
    closed.fill(Qt::blue);
    lost.fill(Qt::red);
    closed.save(QString::fromStdString(resources.file("folderclosedbig2.png")));
    lost.save(QString::fromStdString(resources.file("folderclosedbiglost2.png")));
    setenv("GLEANER_RESOURCES", resources.path().c_str(), 1);
    Preview preview;
    const std::pair<char, QRgb> folders[] = {
        {0, qRgb(0, 0, 255)}, {ItemDeleted, qRgb(255, 0, 0)}, {ItemLost, qRgb(0, 0, 255)}};
    for (const auto& [flags, expected] : folders) {
        SCOPED_TRACE(int(flags));
        CVolumeItem folder(true);
        folder.setName("Folder");
        folder.setFlags(flags);
        QImage image;
        quietly([&] { image = preview.getFilePreview(&folder, 300, 300); });
        ASSERT_EQ(image.size(), QSize(8, 8)); // at its own size
        EXPECT_EQ(image.pixel(0, 0), expected);
    }
    unsetenv("GLEANER_RESOURCES");
    const Bytes ppm = {'P', '6', '\n', '1', ' ', '1', '\n', '2', '5', '5', '\n', 1, 2, 3};
    for (const char* name : {"a.pgm", "b.PBM", "c.pPm"}) {
        SCOPED_TRACE(name);
        MemoryFileItem file(name, ppm);
        QImage image;
        const std::string text = quietly([&] { image = preview.getFilePreview(&file, 64, 64); });
        EXPECT_TRUE(image.isNull());
        EXPECT_EQ(text.find("failed to make preview"), std::string::npos) << text;
        EXPECT_EQ(file.reads, 0);
    }
    MemoryFileItem notPdf("letter.pdf", encoded(quadrantImage(), "png"));
    QImage image;
    const std::string text = quietly([&] { image = preview.getFilePreview(&notPdf, 50, 70); });
    ASSERT_EQ(image.size(), QSize(50, 70));
    EXPECT_TRUE(rowsAreWhite(image, 0, 70));
    EXPECT_EQ(text.find("GetFileImagePreview"), std::string::npos) << text;
}
// The four-colour picture converted by ImageMagick into every kind the image library reads beyond
// the common ones; each previews as its pixels. HDR and EXR hold light, not colours: they are tone
// mapped, so only their layout is compared.
TEST(PreviewFormats, EveryKindTheImageLibraryReadsPreviewsAsItsPixels)
{
    RECOVERY_REQUIRE_TOOLS("convert");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("source.png"));
    ASSERT_TRUE(quadrantImage().save(source));
    const struct {
        const char* name;
        const char* options;
        double tolerance; // mean per channel, 0-255; negative: layout only
    } cases[] = {
        {"picture.psd", "", 3},         {"picture.webp", "-quality 95", 8},
        {"picture.jp2", "", 8},         {"picture.pcx", "", 3},
        {"picture.sgi", "-depth 8", 3}, {"picture.xpm", "", 6},
        {"picture.ras", "", 3},         {"picture.exr", "", -1},
        {"picture.hdr", "", -1},        {"picture.dds", "", 6},
        {"picture.pict", "", 3},
    };
    const PreviewSize scaled = previewScaledSize(kImageWidth, kImageHeight, 300, 300);
    const QSize expectedSize(scaled.width, scaled.height);
    const QImage reference = quadrantImage().scaled(expectedSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    Preview preview;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString target = dir.filePath(QString::fromLatin1(c.name));
        QStringList arguments = QString::fromLatin1(c.options).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        arguments.prepend(source);
        arguments.append(target);
        if (QProcess::execute(QStringLiteral("convert"), arguments) != 0 || !QFile::exists(target)) {
            std::printf("convert cannot write %s here; not checked\n", c.name);
            continue;
        }
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        MemoryFileItem item(QFileInfo(target).fileName().toStdString(), Bytes(bytes.begin(), bytes.end()));
        QImage image;
        const std::string text = quietly([&] { image = preview.getFilePreview(&item, 300, 300); });
        ASSERT_EQ(image.size(), expectedSize) << text; // a text preview would be 300 x 300
        if (c.tolerance >= 0) {
            EXPECT_LT(meanDifference(image, reference), c.tolerance);
        } else {
            const QRgb topLeft = image.pixel(10, 10), bottomLeft = image.pixel(10, expectedSize.height() - 10);
            EXPECT_GT(qRed(topLeft), qBlue(topLeft));
            EXPECT_GT(qBlue(bottomLeft), qRed(bottomLeft));
        }
    }
}
TEST(PreviewFormats, TransparentPixelsAreDrawnOverWhite)
{
    QImage picture(64, 32, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    for (int y = 0; y < 32; ++y)
        for (int x = 32; x < 64; ++x)
            picture.setPixel(x, y, x < 48 ? qRgba(0, 0, 200, 255) : qRgba(0, 0, 0, 128));
    for (const char* format : {"png", "ico"}) {
        SCOPED_TRACE(format);
        MemoryFileItem item(std::string("clear.") + format, encoded(picture, format));
        Preview preview;
        QImage image;
        quietly([&] { image = preview.getFilePreview(&item, 64, 64); });
        ASSERT_EQ(image.size(), QSize(64, 32));
        EXPECT_LE(colourDistance(image.pixel(8, 16), qRgb(255, 255, 255)), 2);
        EXPECT_LE(colourDistance(image.pixel(40, 16), qRgb(0, 0, 200)), 2);
        EXPECT_LE(colourDistance(image.pixel(60, 16), qRgb(127, 127, 127)), 3);
    }
}
// A picture of 64 megapixels: within the size probe's limits, but seconds of work and 256 MB.
constexpr QRgb kHugeColour = qRgb(10, 200, 30);
Bytes hugeButValidPng()
{
    QImage picture(8192, 8192, QImage::Format_ARGB32);
    picture.fill(kHugeColour);
    return encoded(picture, "png");
}
// Runs the two previews; the first is expected to cost its picture only. Its preview is returned.
QImage expectFirstLostAndSecondShown(Preview& preview, const Bytes& first)
{
    MemoryFileItem costly("costly.png", first);
    MemoryFileItem next("next.png", encoded(quadrantImage(), "png"));
    QImage lost, image;
    quietly([&] { lost = preview.getFilePreview(&costly, 128, 128); });
    EXPECT_EQ(lost.size(), QSize(128, 128)) << "the chain goes on to the text preview";
    quietly([&] { image = preview.getFilePreview(&next, 128, 128); });
    EXPECT_EQ(image.size(), QSize(128, 64));
    if (image.size() == QSize(128, 64)) {
        EXPECT_LE(colourDistance(image.pixel(4, 4), kQuadrants[0]), 8);
    }
    return lost;
}
// The huge picture decoded would be as large as its text preview: only its colour tells them apart.
void expectHugePictureLost(Preview& preview)
{
    const QImage lost = expectFirstLostAndSecondShown(preview, hugeButValidPng());
    if (lost.size() == QSize(128, 128)) {
        EXPECT_GT(colourDistance(lost.pixel(64, 64), kHugeColour), 40) << "the picture was decoded after all";
    }
}
TEST(PreviewWorker, ARequestPastItsCpuTimeCostsThatPictureOnly)
{
    PreviewWorkerOptions options;
    options.program = previewWorkerPath();
    options.cpuMillisecondsPerRequest = 20;
    Preview preview(options);
    expectHugePictureLost(preview);
}
TEST(PreviewWorker, ARequestPastItsMemoryCostsThatPictureOnly)
{
    if (!previewAddressLimitAvailable())
        GTEST_SKIP() << "this build cannot limit the worker's address space (AddressSanitizer)";
    PreviewWorkerOptions options;
    options.program = previewWorkerPath();
    options.addressSpaceBytes = 192ull << 20;
    Preview preview(options);
    expectHugePictureLost(preview);
}
TEST(PreviewWorker, AWorkerThatCrashesInARequestCostsThatPictureOnly)
{
    // The first worker reads the request's header and crashes; the ones after are the real one.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString script = dir.filePath(QStringLiteral("crashing-worker"));
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\nif [ -e \"$0.done\" ]; then exec '%1' \"$@\"; fi\n: > \"$0.done\"\n"
                              "head -c 24 <&3 > /dev/null\nkill -SEGV $$\n")
                   .arg(QString::fromStdString(previewWorkerPath()))
                   .toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    PreviewWorkerOptions options;
    options.program = script.toStdString();
    Preview preview(options);
    expectFirstLostAndSecondShown(preview, encoded(quadrantImage(), "png"));
}
TEST(PreviewWorker, AWorkerKilledWhileIdleIsReplacedWithoutLosingAPicture)
{
    Preview preview;
    MemoryFileItem item("first.png", encoded(quadrantImage(), "png"));
    QImage image;
    quietly([&] { image = preview.getFileImagePreview(&item, 64, 64); });
    ASSERT_FALSE(image.isNull());
    const std::vector<pid_t> idle = preview.workers().idleWorkers();
    ASSERT_EQ(idle.size(), 1u);
    ::kill(idle[0], SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, id_t(idle[0]), &info, WEXITED | WNOWAIT); // dead, not yet reaped
    quietly([&] { image = preview.getFileImagePreview(&item, 64, 64); });
    EXPECT_EQ(image.size(), QSize(64, 32));
}
// The filter ends the process at the first call decoding does not need, and a font lookup of the
// PDF renderer may read files but never write them. Decoders may start threads (the WebP one
// does), never processes.
TEST(PreviewSandbox, OpeningAFileKillsTheImageWorkerAndWritingOneIsRefusedToThePdfWorker)
{
    constexpr int kThread = -1, kProcess = -2; // instead of open flags
    const struct {
        PreviewSandboxKind kind;
        int flags;
        int expectedSignal; // 0: the process exits with the errno of the call (0 when it worked)
        int expectedErrno;
    } cases[] = {
        {PreviewSandboxKind::NoFiles, O_RDONLY, SIGSYS, 0},
        {PreviewSandboxKind::ReadOnlyFiles, O_RDONLY, 0, 0},
        {PreviewSandboxKind::ReadOnlyFiles, O_WRONLY | O_APPEND, 0, EACCES},
        {PreviewSandboxKind::ReadOnlyFiles, O_RDONLY | O_CREAT, 0, EACCES},
        {PreviewSandboxKind::NoFiles, kThread, 0, 0},
        {PreviewSandboxKind::NoFiles, kProcess, SIGSYS, 0},
    };
    ScratchDir scratch;
    const std::string path = scratch.file("file");
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        std::fflush(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (!enterPreviewSandbox(c.kind, PreviewLimits{}, 3))
                _exit(200);
            if (c.flags == kThread) {
                std::thread([] {}).join();
                _exit(0);
            }
            if (c.flags == kProcess)
                _exit(::fork() >= 0 ? 0 : errno);
            const int fd = ::open(path.c_str(), c.flags, 0600);
            _exit(fd >= 0 ? 0 : errno);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (c.expectedSignal != 0) {
            ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
            EXPECT_EQ(WTERMSIG(status), c.expectedSignal);
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status), c.expectedErrno);
        }
    }
}
