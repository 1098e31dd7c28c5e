#include "Preview.h"

#include "logger.h"
#include "resourcedir.h"
#include "volumes.h"

#include <FreeImage.h>
#include <poppler-qt6.h>

#include <QByteArray>
#include <QFile>
#include <QPainter>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

// FreeImage keeps one plug-in table per process; its own reference count is not guarded, so the
// first Preview initialises it and the last one releases it, under one lock.
std::mutex freeImageMutex;
int freeImageUsers = 0;

// The flags the images are loaded with. For TIFF the low bit means "keep CMYK separated", which
// would hand CMYK samples to the BMP writer as if they were RGB; TIFF loads as RGB.
constexpr int kLoadFlags = 0x0801;

// The formats decoded at all: the common picture formats whose plug-ins we can bound and fuzz.
// PSD is not among them: its plug-in overruns its buffers on crafted depths, lengths and
// run-length data (found by fuzzing), more than a header check can catch.
constexpr FREE_IMAGE_FORMAT kAllowedFormats[] = {FIF_BMP, FIF_ICO, FIF_JPEG, FIF_PNG, FIF_TARGA, FIF_TIFF, FIF_GIF};

// Reads up to this many bytes come back zeroed where the item has no bytes (see ReadProc).
constexpr uint64_t kZeroFilledRead = 64;

// Engine reads take 32-bit lengths; larger requests go in pieces of this size.
constexpr uint32_t kReadChunk = 1u << 20;

void FreeImageErrorHandler(FREE_IMAGE_FORMAT format, const char* message)
{
    const char* name = FreeImage_GetFormatFromFIF(format);
    // One write, so the lines of two threads' messages do not interleave.
    std::string text = "\n*** FreeImage Error Handler: ";
    text += name ? name : "Unknown";
    text += " Format\n";
    text += message ? message : "";
    text += " ***\n";
    std::fputs(text.c_str(), stdout);
}

int64_t itemSize(CVolumeItem* item)
{
    const uint64_t size = item->getSize();
    return size > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(size);
}

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
bool readItemStart(CVolumeItem* item, uint64_t limit, QByteArray* bytes)
{
    const uint64_t length = std::min<uint64_t>(item->getSize(), limit);
    try {
        bytes->resize(qsizetype(length));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "error allocating memory (%.0f)!\n", double(float(length)));
        return false;
    }
    if (length > 0)
        bytes->resize(qsizetype(readItemBytes(item, 0, bytes->data(), length)));
    return true;
}

QSize atLeastOnePixel(int width, int height)
{
    return QSize(std::max(width, 1), std::max(height, 1));
}

// A blank canvas for the PDF and text previews; null when it cannot be allocated.
QImage whiteImage(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (!image.isNull())
        image.fill(Qt::white);
    return image;
}

// Truncates a single-precision value towards zero into [0, INT_MAX]; NaN gives 0.
int truncated(float value)
{
    if (!(value > 0.0f))
        return 0;
    if (value >= 2147483520.0f) // the largest float below 2^31
        return std::numeric_limits<int>::max();
    return int(value);
}

// The largest power of two not above value (value >= 1).
int powerOfTwoBelow(int value)
{
    int result = 1;
    while (result <= value / 2)
        result *= 2;
    return result;
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

bool readExactly(CVolumeItem* item, uint64_t offset, void* buffer, uint32_t length)
{
    return readItemBytes(item, offset, buffer, length) == length;
}

// The size of a GIF's first frame, the one FreeImage decodes as page 0 (its plug-in cannot load
// a header alone): past the header and the global colour table, extensions are skipped up to the
// first image descriptor.
bool gifFirstFrameSize(CVolumeItem* item, uint32_t* width, uint32_t* height)
{
    uint8_t header[13];
    if (!readExactly(item, 0, header, sizeof header) || std::memcmp(header, "GIF", 3) != 0)
        return false;
    const uint64_t size = item->getSize();
    uint64_t pos = sizeof header;
    if (header[10] & 0x80)
        pos += 3u << ((header[10] & 7) + 1);
    while (pos < size) {
        uint8_t type = 0;
        if (!readExactly(item, pos++, &type, 1))
            return false;
        if (type == 0x2C) {
            uint8_t descriptor[9];
            if (!readExactly(item, pos, descriptor, sizeof descriptor))
                return false;
            *width = uint32_t(descriptor[4]) | uint32_t(descriptor[5]) << 8;
            *height = uint32_t(descriptor[6]) | uint32_t(descriptor[7]) << 8;
            return true;
        }
        if (type != 0x21)
            return false;
        ++pos; // the extension's label
        for (;;) {
            uint8_t length = 0;
            if (!readExactly(item, pos++, &length, 1))
                return false;
            if (length == 0)
                break;
            pos += length;
        }
    }
    return false;
}

uint32_t littleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
// FreeImage's icon plug-in trusts its first icon's header: a resource length beyond the file is
// allocated as it stands, and a bit count other than the bitmap ones overruns its buffers. Such
// icons are refused before the plug-in sees them.
bool icoLooksSound(CVolumeItem* item)
{
    uint8_t dir[6 + 16];
    if (!readExactly(item, 0, dir, sizeof dir))
        return false;
    const uint64_t size = item->getSize();
    const uint32_t length = littleEndian32(dir + 6 + 8), offset = littleEndian32(dir + 6 + 12);
    if (offset >= size || length > size - offset || length < 40)
        return false;
    uint8_t header[40];
    if (!readExactly(item, offset, header, sizeof header))
        return false;
    if (std::memcmp(header, "\x89PNG", 4) == 0)
        return true; // decoded by the PNG plug-in, bounded by the size probe
    const unsigned bitCount = unsigned(header[14]) | unsigned(header[15]) << 8;
    return littleEndian32(header) == 40 &&
           (bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32);
}

bool withinLimits(uint32_t width, uint32_t height, unsigned bpp)
{
    const uint64_t pixels = uint64_t(width) * height;
    return width > 0 && height > 0 && pixels <= kPreviewMaxPixels &&
           pixels * std::max(bpp, 8u) / 8 <= kPreviewMaxDecodedBytes;
}

// The allowed format the item's bytes are, asking only the allowed plug-ins (in FreeImage's own
// order), so no other plug-in ever parses an item's bytes.
FREE_IMAGE_FORMAT allowedFormatOf(FreeImageIO* io, PreviewIOHandle* handle)
{
    for (int fif = 0; fif < FreeImage_GetFIFCount(); ++fif) {
        const auto format = FREE_IMAGE_FORMAT(fif);
        if (std::find(std::begin(kAllowedFormats), std::end(kAllowedFormats), format) == std::end(kAllowedFormats))
            continue;
        handle->position = 0;
        if (FreeImage_FIFSupportsReading(format) && FreeImage_ValidateFromHandle(format, io, handle))
            return format;
    }
    return FIF_UNKNOWN;
}

// The image's size as its header gives it, read without decoding any pixels.
bool probeSize(FREE_IMAGE_FORMAT format, FreeImageIO* io, PreviewIOHandle* handle, int flags, uint32_t* width,
               uint32_t* height, unsigned* bpp)
{
    if (format == FIF_GIF) {
        *bpp = 8;
        return gifFirstFrameSize(handle->item, width, height);
    }
    if (format == FIF_ICO && !icoLooksSound(handle->item))
        return false;
    if (!FreeImage_FIFSupportsNoPixels(format))
        return false;
    handle->position = 0;
    FIBITMAP* header = FreeImage_LoadFromHandle(format, io, handle, flags | FIF_LOAD_NOPIXELS);
    if (!header)
        return false;
    *width = FreeImage_GetWidth(header);
    *height = FreeImage_GetHeight(header);
    *bpp = FreeImage_GetBPP(header);
    FreeImage_Unload(header);
    return true;
}

// A copy in a standard 8-bit-per-channel type for the types the BMP writer cannot take (16 bits
// per channel, integer and floating-point samples); null when the bitmap is standard already or
// the conversion failed (see converted).
FIBITMAP* toStandardType(FIBITMAP* bitmap, bool* converted)
{
    *converted = true;
    switch (FreeImage_GetImageType(bitmap)) {
    case FIT_BITMAP: *converted = false; return nullptr;
    case FIT_RGB16: return FreeImage_ConvertTo24Bits(bitmap);
    case FIT_RGBA16: return FreeImage_ConvertTo32Bits(bitmap);
    case FIT_RGBF:
    case FIT_RGBAF: return FreeImage_ToneMapping(bitmap, FITMO_DRAGO03);
    default: return FreeImage_ConvertToStandardType(bitmap, TRUE);
    }
}

// Releases what one image preview made, on every way out.
struct FreeImageResources {
    FIBITMAP* bitmap = nullptr;
    FIBITMAP* standard = nullptr;
    FIBITMAP* scaled = nullptr;
    FIMEMORY* stream = nullptr;
    ~FreeImageResources()
    {
        if (stream)
            FreeImage_CloseMemory(stream);
        if (scaled)
            FreeImage_Unload(scaled);
        if (standard)
            FreeImage_Unload(standard);
        if (bitmap)
            FreeImage_Unload(bitmap);
    }
};

} // namespace

// --- I/O callbacks ------------------------------------------------------------------------------

unsigned ReadProc(void* buffer, unsigned size, unsigned count, void* handleData)
{
    auto* handle = static_cast<PreviewIOHandle*>(handleData);
    if (!handle || !handle->item || !buffer)
        return 0;
    const int64_t total = itemSize(handle->item);
    const int64_t pos = handle->position;
    if (size == 0 || count == 0)
        return 0;
    if (pos < 0 || pos >= total) {
        std::printf("freeimage: ReadProc, invalid position - exiting\n");
        if (uint64_t(size) * count <= kZeroFilledRead)
            std::memset(buffer, 0, size_t(size) * count);
        return 0;
    }
    const uint64_t left = uint64_t(total - pos);
    const uint64_t asked = uint64_t(size) * count;
    // What was not read is zeroed, so a decoder never works on what its buffer held before: a
    // small read (a field, a block length) wholly, so that a plug-in looping until it reads a zero
    // length stops at the end of the item; a large one only as far as the item reaches, never past
    // what a good read would have written (some plug-ins ask for more than their buffer holds).
    const uint64_t fillable = asked <= kZeroFilledRead ? asked : std::min(asked, left);
    if (asked > left) {
        std::printf("freeimage: ReadProc, incorrect count (%u) ", count);
        count = unsigned(left / size);
        std::printf("corrected (%u)\n", count);
    }
    const uint64_t bytes = uint64_t(size) * count;
    const uint64_t got = bytes ? readItemBytes(handle->item, uint64_t(pos), buffer, bytes) : 0;
    if (got < bytes)
        std::printf("freeimage ReadProc: error reading\n");
    if (got < fillable)
        std::memset(static_cast<uint8_t*>(buffer) + got, 0, size_t(fillable - got));
    const uint64_t items = got / size;
    handle->position = pos + int64_t(items * size);
    return unsigned(items);
}

unsigned WriteProc(void*, unsigned, unsigned, void*)
{
    std::printf("_WriteProc\n");
    return 0;
}

int SeekProc(void* handleData, long offset, int origin)
{
    auto* handle = static_cast<PreviewIOHandle*>(handleData);
    if (!handle || !handle->item)
        return -1;
    const int64_t size = itemSize(handle->item);
    const int64_t delta = int64_t(offset);
    int64_t target = 0;
    bool accepted = false;
    if (origin == SEEK_CUR) {
        accepted = !__builtin_add_overflow(handle->position, delta, &target) && target >= 0 && target < size;
    } else if (origin == SEEK_END) {
        // Only back from the end (the library seeks by 0 to learn the length).
        accepted = size > 0 && delta <= 0 && delta >= -size;
        target = size + delta;
    } else {
        accepted = delta >= 0 && delta < size;
        target = delta;
    }
    if (!accepted) {
        std::printf("freeimage: SeekProc - error (offset %ld, origin %d)\n", offset, origin);
        return -1;
    }
    handle->position = target;
    return 0;
}

long TellProc(void* handleData)
{
    auto* handle = static_cast<PreviewIOHandle*>(handleData);
    return handle ? long(handle->position) : -1;
}

// --- Sizing -------------------------------------------------------------------------------------

QSize previewScaledSize(uint32_t imageWidth, uint32_t imageHeight, int width, int height)
{
    const QSize request = atLeastOnePixel(width, height);
    if (imageWidth == 0 || imageHeight == 0)
        return QSize(1, 1);
    // Single precision on purpose: 64 / 0.1f is 640 here, 639 in double precision.
    const float aspect = float(imageWidth) / float(imageHeight);
    int nw = int(std::min<uint64_t>(uint64_t(request.width()), imageWidth));
    nw = powerOfTwoBelow(nw);
    int nh = truncated(float(nw) / aspect);
    if (nh > request.height()) {
        nw = powerOfTwoBelow(std::max(truncated(float(request.height()) * aspect), 1));
        nh = truncated(float(nw) / aspect);
    }
    // An image far taller than wide would still be too high at one pixel wide.
    nh = std::clamp(nh, 1, request.height());
    return QSize(nw, nh);
}

// --- Preview ------------------------------------------------------------------------------------

Preview::Preview()
{
    GLEANER_LOG("Preview init\n");
    std::lock_guard<std::mutex> lock(freeImageMutex);
    if (freeImageUsers++ == 0) {
        FreeImage_Initialise(FALSE);
        FreeImage_SetOutputMessage(FreeImageErrorHandler);
    }
}

Preview::~Preview()
{
    GLEANER_LOG("Preview dealloc\n");
    std::lock_guard<std::mutex> lock(freeImageMutex);
    if (--freeImageUsers == 0)
        FreeImage_DeInitialise();
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
    if (image.isNull())
        image = getFileImagePreview(item, width, height);
    if (image.isNull())
        image = getFileTextPreview(item, width, height);
    if (image.isNull())
        GLEANER_LOG("failed to make preview\n");
    return image;
}

QImage Preview::getFileImagePreview(CVolumeItem* item, int width, int height)
{
    if (!item)
        return QImage();
    std::printf("GetFileImagePreview %s\n", item->getName().c_str());
    FreeImageIO io{ReadProc, WriteProc, SeekProc, TellProc};
    PreviewIOHandle handle{item, 0};
    FreeImageResources made;
    QImage image;
    try {
        const FREE_IMAGE_FORMAT format = item->getSize() > 0 ? allowedFormatOf(&io, &handle) : FIF_UNKNOWN;
        if (format == FIF_UNKNOWN) {
            std::printf("freeimage: unknown format\n");
            return QImage();
        }
        const int flags = format == FIF_TIFF ? (kLoadFlags & ~1) : kLoadFlags;

        uint32_t w = 0, h = 0;
        unsigned bpp = 0;
        if (!probeSize(format, &io, &handle, flags, &w, &h, &bpp) || !withinLimits(w, h, bpp)) {
            std::printf("freeimage: header refused (width=%u, height=%u, bpp=%u)\n", w, h, bpp);
            return QImage();
        }

        handle.position = 0;
        made.bitmap = FreeImage_LoadFromHandle(format, &io, &handle, flags);
        if (!made.bitmap || !FreeImage_HasPixels(made.bitmap)) {
            std::printf("freeimage: load error\n");
            return QImage();
        }
        bpp = FreeImage_GetBPP(made.bitmap);
        w = FreeImage_GetWidth(made.bitmap);
        h = FreeImage_GetHeight(made.bitmap);
        std::printf("width=%d, height=%d, bpp=%d\n", int(w), int(h), int(bpp));
        if (!withinLimits(w, h, bpp))
            return QImage();

        bool converted = false;
        made.standard = toStandardType(made.bitmap, &converted);
        if (converted && !made.standard) {
            std::printf("freeimage: conversion error\n");
            return QImage();
        }
        FIBITMAP* source = made.standard ? made.standard : made.bitmap;

        const QSize target = previewScaledSize(w, h, width, height);
        std::printf("nw=%d, nh=%d\n", target.width(), target.height());
        made.scaled = FreeImage_Rescale(source, target.width(), target.height(), FILTER_BILINEAR);
        if (!made.scaled) {
            std::printf("freeimage: rescale error\n");
            return QImage();
        }

        made.stream = FreeImage_OpenMemory(nullptr, 0);
        if (!made.stream) {
            std::fprintf(stderr, "freeimage: error opening memory stream\n");
            return QImage();
        }
        BYTE* data = nullptr;
        DWORD size = 0;
        if (!FreeImage_SaveToMemory(FIF_BMP, made.scaled, made.stream, 0)) {
            std::fprintf(stderr, "freeimage: error saving to memory stream\n");
        } else if (!FreeImage_AcquireMemory(made.stream, &data, &size)) {
            std::fprintf(stderr, "freeimage: error aquireing memory stream\n");
        } else if (!data || size == 0 || size > DWORD(std::numeric_limits<int>::max())) {
            std::fprintf(stderr, "freeimage - error aquiring memory: mem_buf is null\n");
        } else {
            std::printf("ok0\n");
            const QByteArray bmp(reinterpret_cast<const char*>(data), qsizetype(size));
            std::printf("ok1\n");
            image = QImage::fromData(bmp, "BMP");
            std::printf("ok2\n");
        }
    } catch (...) {
        std::printf("exception\n");
    }
    return image;
}

QImage Preview::getPDFPreview(CVolumeItem* item, int width, int height)
{
    if (!item)
        return QImage();
    GLEANER_LOG("getPDFPreview\n");
    QByteArray bytes;
    if (!readItemStart(item, kPreviewMaxPDFBytes, &bytes))
        return QImage();
    const QSize size = atLeastOnePixel(width, height);
    QImage image = whiteImage(size);
    if (image.isNull() || bytes.isEmpty())
        return image;

    std::unique_ptr<Poppler::Document> document = Poppler::Document::loadFromData(bytes);
    if (!document || document->isLocked() || document->numPages() < 1)
        return image;
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    std::unique_ptr<Poppler::Page> page = document->page(0);
    if (!page)
        return image;
    // The page is drawn into the whole rectangle, as an image representation would be: render it
    // at the resolution that makes it width x height pixels, whatever size the file claims.
    const QSizeF points = page->pageSizeF();
    if (!std::isfinite(points.width()) || !std::isfinite(points.height()) || !(points.width() > 0) ||
        !(points.height() > 0))
        return image;
    const double xres = 72.0 * size.width() / points.width();
    const double yres = 72.0 * size.height() / points.height();
    if (!std::isfinite(xres) || !std::isfinite(yres))
        return image;
    const QImage rendered = page->renderToImage(xres, yres);
    if (!rendered.isNull()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(QPoint(0, 0), size), rendered);
    }
    return image;
}

QImage Preview::getFileTextPreview(CVolumeItem* item, int width, int height)
{
    if (!item)
        return QImage();
    std::printf("getFileTextPreview\n");
    QByteArray bytes;
    if (!readItemStart(item, kPreviewMaxTextBytes, &bytes))
        return QImage();
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
