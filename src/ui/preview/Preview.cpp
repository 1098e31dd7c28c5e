#include "Preview.h"

#include "logger.h"
#include "resourcedir.h"
#include "volumes.h"

#include <QByteArray>
#include <QFile>
#include <QPainter>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

// Engine reads take 32-bit lengths; larger requests go in pieces of this size.
constexpr uint32_t kReadChunk = 1u << 20;

// Reads length bytes from offset on in pieces; the count of bytes actually read, up to the first
// piece that fails.
uint64_t readItemBytes(CVolumeItem* item, uint64_t offset, void* buffer, uint64_t length)
{
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < length) {
        const uint32_t piece = uint32_t(std::min<uint64_t>(length - done, kReadChunk));
        const uint32_t got = item->read(offset + done, out + done, piece);
        done += std::min(got, piece);
        if (got != piece)
            break;
    }
    return done;
}

// The item's first bytes, at most limit of them, holding only what was actually read. False (with
// the message) when the buffer cannot be allocated.
template <class Buffer>
bool readItemStart(CVolumeItem* item, uint64_t limit, Buffer* bytes)
{
    const uint64_t length = std::min<uint64_t>(item->getSize(), limit);
    try {
        bytes->resize(size_t(length));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "error allocating memory (%.0f)!\n", double(float(length)));
        return false;
    }
    if (length > 0)
        bytes->resize(size_t(readItemBytes(item, 0, bytes->data(), length)));
    return true;
}

QSize atLeastOnePixel(int width, int height)
{
    return QSize(std::clamp(width, 1, kPreviewMaxSide), std::clamp(height, 1, kPreviewMaxSide));
}

// A blank canvas for the text preview; null when it cannot be allocated.
QImage whiteImage(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (!image.isNull())
        image.fill(Qt::white);
    return image;
}

QImage bundleImage(const char* name)
{
    const QString path = QString::fromStdString(resourceDirectory()) + QLatin1Char('/') + QLatin1String(name);
    if (!QFile::exists(path))
        return QImage();
    return QImage(path);
}

std::string upperExtension(const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return std::string();
    std::string ext = name.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return ext;
}

// A request for the worker with the item's first bytes; false when they cannot be held.
bool makeRequest(CVolumeItem* item, PreviewKind kind, int width, int height, uint64_t limit, PreviewRequest* request)
{
    request->kind = kind;
    const QSize size = atLeastOnePixel(width, height);
    request->width = size.width();
    request->height = size.height();
    return readItemStart(item, limit, &request->bytes);
}

PreviewWorkerOptions defaultWorkerOptions()
{
    PreviewWorkerOptions options;
    options.program = previewWorkerPath();
    return options;
}

} // namespace

Preview::Preview() : Preview(defaultWorkerOptions()) {}

Preview::Preview(PreviewWorkerOptions options) : workers_(std::make_unique<PreviewWorkerPool>(std::move(options)))
{
    GLEANER_LOG("Preview init\n");
}

Preview::~Preview()
{
    GLEANER_LOG("Preview dealloc\n");
}

QImage Preview::getFilePreview(CVolumeItem* item, int width, int height)
{
    if (!item)
        return QImage();
    const std::string name = item->getName();
    GLEANER_LOG("getFilePreview: %s\n", name.c_str());
    if (item->isContainer())
        return bundleImage(item->isDeleted() ? "folderclosedbiglost2.png" : "folderclosedbig2.png");
    const std::string ext = upperExtension(name);
    if (ext == "PGM" || ext == "PBM" || ext == "PPM")
        return QImage();
    QImage image;
    if (ext == "PDF")
        image = getPDFPreview(item, width, height);
    // The image request's bytes begin with the text preview's, so the item is read only once.
    PreviewRequest request;
    if (image.isNull())
        image = imagePreview(item, width, height, &request);
    if (image.isNull() && request.bytes.empty()) {
        image = getFileTextPreview(item, width, height);
    } else if (image.isNull()) {
        std::printf("getFileTextPreview\n");
        const size_t length = std::min<size_t>(request.bytes.size(), kPreviewMaxTextBytes);
        image = textPreview(QByteArray(reinterpret_cast<const char*>(request.bytes.data()), qsizetype(length)), width,
                            height);
    }
    if (image.isNull())
        GLEANER_LOG("failed to make preview\n");
    return image;
}

QImage Preview::decodeInWorker(PreviewRequest& request, const std::string& name)
{
    std::string failure;
    const PreviewPicture picture = workers_->decode(request, &failure);
    if (!failure.empty())
        GLEANER_LOG("preview of %s: %s\n", name.c_str(), failure.c_str());
    if (picture.isNull())
        return QImage();
    QImage image(picture.width, picture.height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(image.scanLine(y), picture.pixels.data() + size_t(y) * size_t(picture.width),
                    size_t(picture.width) * sizeof(uint32_t));
    return image;
}

QImage Preview::getFileImagePreview(CVolumeItem* item, int width, int height)
{
    PreviewRequest request;
    return imagePreview(item, width, height, &request);
}

QImage Preview::imagePreview(CVolumeItem* item, int width, int height, PreviewRequest* request)
{
    if (!item)
        return QImage();
    const std::string name = item->getName();
    std::printf("GetFileImagePreview %s\n", name.c_str());
    if (!makeRequest(item, PreviewKind::Image, width, height, kPreviewMaxImageBytes, request))
        return QImage();
    if (request->bytes.empty()) {
        std::printf("freeimage: unknown format\n");
        return QImage();
    }
    return decodeInWorker(*request, name);
}

QImage Preview::getPDFPreview(CVolumeItem* item, int width, int height)
{
    if (!item)
        return QImage();
    GLEANER_LOG("getPDFPreview\n");
    PreviewRequest request;
    if (!makeRequest(item, PreviewKind::Pdf, width, height, kPreviewMaxPDFBytes, &request))
        return QImage();
    return decodeInWorker(request, item->getName());
}

QImage Preview::getFileTextPreview(CVolumeItem* item, int width, int height)
{
    if (!item)
        return QImage();
    std::printf("getFileTextPreview\n");
    QByteArray bytes;
    if (!readItemStart(item, kPreviewMaxTextBytes, &bytes))
        return QImage();
    return textPreview(bytes, width, height);
}

// Lines of the bytes as text on white, from the top down.
QImage Preview::textPreview(const QByteArray& bytes, int width, int height)
{
    const QSize size = atLeastOnePixel(width, height);
    QImage image = whiteImage(size);
    if (image.isNull())
        return image;

    const QStringList lines = QString::fromLocal8Bit(bytes).split(QLatin1Char('\n'));
    QPainter painter(&image);
    painter.setClipRect(QRect(QPoint(0, 0), size));
    painter.setPen(Qt::black);
    // A glyph is at least a pixel wide, so characters past this many never show in one line.
    const qsizetype visible = qsizetype(size.width()) + 16;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype top = i * kPreviewTextLineHeight;
        // The first line always; the others while they fit wholly above the bottom edge.
        if (i > 0 && top + kPreviewTextLineHeight > size.height())
            break;
        QString line = lines[i].left(visible);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        painter.drawText(QRect(0, int(top), size.width(), kPreviewTextLineHeight),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs, line);
    }
    return image;
}
