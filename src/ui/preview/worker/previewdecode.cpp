#include "previewdecode.h"

#include <FreeImage.h>
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace {

// The flags the images are loaded with. For TIFF and Photoshop files the low bit means "keep CMYK
// separated", which would hand CMYK samples on as if they were RGB; those load as RGB.
constexpr int kLoadFlags = 0x0801;

// Reads up to this many bytes come back zeroed where the file has no bytes (see ReadProc).
constexpr uint64_t kZeroFilledRead = 64;

void FreeImageErrorHandler(FREE_IMAGE_FORMAT format, const char* message)
{
    const char* name = FreeImage_GetFormatFromFIF(format);
    std::string text = "\n*** FreeImage Error Handler: ";
    text += name ? name : "Unknown";
    text += " Format\n";
    text += message ? message : "";
    text += " ***\n";
    std::fputs(text.c_str(), stdout);
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

uint32_t littleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The size of a GIF's first frame, the one FreeImage decodes as page 0 (its plug-in cannot load
// a header alone): past the header and the global colour table, extensions are skipped up to the
// first image descriptor.
bool gifFirstFrameSize(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height)
{
    if (size < 13 || std::memcmp(data, "GIF", 3) != 0)
        return false;
    uint64_t pos = 13;
    if (data[10] & 0x80)
        pos += 3u << ((data[10] & 7) + 1);
    while (pos < size) {
        const uint8_t type = data[pos++];
        if (type == 0x2C) {
            if (size - pos < 9)
                return false;
            *width = uint32_t(data[pos + 4]) | uint32_t(data[pos + 5]) << 8;
            *height = uint32_t(data[pos + 6]) | uint32_t(data[pos + 7]) << 8;
            return true;
        }
        if (type != 0x21)
            return false;
        ++pos; // the extension's label
        for (;;) {
            if (pos >= size)
                return false;
            const uint8_t length = data[pos++];
            if (length == 0)
                break;
            pos += length;
        }
    }
    return false;
}

// FreeImage's icon plug-in trusts its first icon's header: a resource length beyond the file is
// allocated as it stands, and a bit count other than the bitmap ones overruns its buffers. Such
// icons are refused before the plug-in sees them.
bool icoLooksSound(const uint8_t* data, size_t size)
{
    if (size < 6 + 16)
        return false;
    const uint32_t length = littleEndian32(data + 6 + 8), offset = littleEndian32(data + 6 + 12);
    if (offset >= size || length > size - offset || length < 40)
        return false;
    const uint8_t* header = data + offset;
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

enum class Probe { Refused, Sized, Unknown };

// The image's size as its header gives it, read without decoding any pixels. Unknown for the
// plug-ins that cannot load a header alone: those decode under the worker's memory limit alone.
Probe probeSize(FREE_IMAGE_FORMAT format, FreeImageIO* io, PreviewIOHandle* handle, int flags, uint32_t* width,
                uint32_t* height, unsigned* bpp)
{
    if (format == FIF_GIF) {
        *bpp = 8;
        return gifFirstFrameSize(handle->data, size_t(handle->size), width, height) ? Probe::Sized : Probe::Refused;
    }
    if (format == FIF_ICO && !icoLooksSound(handle->data, size_t(handle->size)))
        return Probe::Refused;
    if (!FreeImage_FIFSupportsNoPixels(format))
        return Probe::Unknown;
    handle->position = 0;
    FIBITMAP* header = FreeImage_LoadFromHandle(format, io, handle, flags | FIF_LOAD_NOPIXELS);
    if (!header)
        return Probe::Refused;
    *width = FreeImage_GetWidth(header);
    *height = FreeImage_GetHeight(header);
    *bpp = FreeImage_GetBPP(header);
    FreeImage_Unload(header);
    return Probe::Sized;
}

// A copy in a standard 8-bit-per-channel type for the types the scaler cannot take (16 bits per
// channel, integer and floating-point samples); null when the bitmap is standard already or the
// conversion failed (see converted).
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
    FIBITMAP* rgba = nullptr;
    ~FreeImageResources()
    {
        for (FIBITMAP* made : {rgba, scaled, standard, bitmap})
            if (made)
                FreeImage_Unload(made);
    }
};

uint32_t overWhite(uint32_t red, uint32_t green, uint32_t blue, uint32_t alpha)
{
    const auto blend = [alpha](uint32_t channel) { return (channel * alpha + 255 * (255 - alpha) + 127) / 255; };
    return 0xFF000000u | blend(red) << 16 | blend(green) << 8 | blend(blue);
}

// The 32-bit bitmap's pixels from the top row down, drawn over white. A picture whose alpha is
// zero everywhere carries no transparency at all (old 32-bit bitmaps leave that byte empty).
PreviewPicture picturePixels(FIBITMAP* rgba, bool transparent)
{
    PreviewPicture picture;
    picture.width = int(FreeImage_GetWidth(rgba));
    picture.height = int(FreeImage_GetHeight(rgba));
    picture.pixels.resize(size_t(picture.width) * size_t(picture.height));
    bool anyAlpha = false;
    for (int y = 0; y < picture.height && transparent && !anyAlpha; ++y) {
        const BYTE* line = FreeImage_GetScanLine(rgba, y);
        for (int x = 0; x < picture.width; ++x)
            if (line[4 * x + FI_RGBA_ALPHA] != 0) {
                anyAlpha = true;
                break;
            }
    }
    for (int y = 0; y < picture.height; ++y) {
        const BYTE* line = FreeImage_GetScanLine(rgba, picture.height - 1 - y);
        uint32_t* out = picture.pixels.data() + size_t(y) * size_t(picture.width);
        for (int x = 0; x < picture.width; ++x) {
            const BYTE* p = line + 4 * x;
            out[x] = overWhite(p[FI_RGBA_RED], p[FI_RGBA_GREEN], p[FI_RGBA_BLUE], anyAlpha ? p[FI_RGBA_ALPHA] : 255);
        }
    }
    return picture;
}

} // namespace

// --- I/O callbacks ------------------------------------------------------------------------------

unsigned ReadProc(void* buffer, unsigned size, unsigned count, void* handleData)
{
    auto* handle = static_cast<PreviewIOHandle*>(handleData);
    if (!handle || !buffer)
        return 0;
    const int64_t total = handle->size;
    const int64_t pos = handle->position;
    if (size == 0 || count == 0)
        return 0;
    const uint64_t asked = uint64_t(size) * count;
    if (pos < 0 || pos >= total) {
        std::printf("freeimage: ReadProc, invalid position - exiting\n");
        if (asked <= kZeroFilledRead)
            std::memset(buffer, 0, size_t(asked));
        return 0;
    }
    const uint64_t left = uint64_t(total - pos);
    // What was not read is zeroed, so a decoder never works on what its buffer held before: a
    // small read (a field, a block length) wholly, so that a plug-in looping until it reads a zero
    // length stops at the end of the file; a large one only as far as the file reaches, never past
    // what a good read would have written (some plug-ins ask for more than their buffer holds).
    const uint64_t fillable = asked <= kZeroFilledRead ? asked : std::min(asked, left);
    if (asked > left) {
        std::printf("freeimage: ReadProc, incorrect count (%u) ", count);
        count = unsigned(left / size);
        std::printf("corrected (%u)\n", count);
    }
    const uint64_t bytes = uint64_t(size) * count;
    if (bytes > 0)
        std::memcpy(buffer, handle->data + pos, size_t(bytes));
    if (bytes < fillable)
        std::memset(static_cast<uint8_t*>(buffer) + bytes, 0, size_t(fillable - bytes));
    handle->position = pos + int64_t(bytes);
    return count;
}

unsigned WriteProc(void*, unsigned, unsigned, void*)
{
    std::printf("_WriteProc\n");
    return 0;
}

int SeekProc(void* handleData, long offset, int origin)
{
    auto* handle = static_cast<PreviewIOHandle*>(handleData);
    if (!handle)
        return -1;
    const int64_t size = handle->size;
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

PreviewSize previewScaledSize(uint32_t imageWidth, uint32_t imageHeight, int width, int height)
{
    const PreviewSize request{std::max(width, 1), std::max(height, 1)};
    if (imageWidth == 0 || imageHeight == 0)
        return {1, 1};
    // Single precision on purpose: 64 / 0.1f is 640 here, 639 in double precision.
    const float aspect = float(imageWidth) / float(imageHeight);
    int nw = int(std::min<uint64_t>(uint64_t(request.width), imageWidth));
    nw = powerOfTwoBelow(nw);
    int nh = truncated(float(nw) / aspect);
    if (nh > request.height) {
        nw = powerOfTwoBelow(std::max(truncated(float(request.height) * aspect), 1));
        nh = truncated(float(nw) / aspect);
    }
    // An image far taller than wide would still be too high at one pixel wide.
    nh = std::clamp(nh, 1, request.height);
    return {nw, nh};
}

// --- Decoding -----------------------------------------------------------------------------------

void initialisePreviewDecoders()
{
    FreeImage_Initialise(FALSE);
    FreeImage_SetOutputMessage(FreeImageErrorHandler);
}

PreviewPicture decodePreview(const PreviewRequest& request)
{
    PreviewPicture picture =
        request.kind == PreviewKind::Pdf
            ? decodePdfPreview(request.bytes.data(), request.bytes.size(), request.width, request.height)
            : decodeImagePreview(request.bytes.data(), request.bytes.size(), request.width, request.height);
    std::fflush(stdout);
    return picture;
}

PreviewPicture decodeImagePreview(const uint8_t* data, size_t size, int width, int height)
{
    FreeImageIO io{ReadProc, WriteProc, SeekProc, TellProc};
    PreviewIOHandle handle{data, int64_t(size), 0};
    FreeImageResources made;
    try {
        const FREE_IMAGE_FORMAT format = size > 0 ? FreeImage_GetFileTypeFromHandle(&io, &handle, 0) : FIF_UNKNOWN;
        if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
            std::printf("freeimage: unknown format\n");
            return {};
        }
        int flags = format == FIF_TIFF || format == FIF_PSD ? (kLoadFlags & ~1) : kLoadFlags;

        uint32_t w = 0, h = 0;
        unsigned bpp = 0;
        const Probe probe = probeSize(format, &io, &handle, flags, &w, &h, &bpp);
        if (probe == Probe::Refused || (probe == Probe::Sized && !withinLimits(w, h, bpp))) {
            std::printf("freeimage: header refused (width=%u, height=%u, bpp=%u)\n", w, h, bpp);
            return {};
        }
        PreviewSize target = previewScaledSize(w, h, width, height);
        // A JPEG smaller on screen than in the file is decoded at a reduced scale by the JPEG
        // library itself (1/2, 1/4 or 1/8, never below the preview's size), then scaled as usual.
        if (format == FIF_JPEG && probe == Probe::Sized)
            flags |= std::max(target.width, target.height) << 16;

        handle.position = 0;
        made.bitmap = FreeImage_LoadFromHandle(format, &io, &handle, flags);
        if (!made.bitmap || !FreeImage_HasPixels(made.bitmap)) {
            std::printf("freeimage: load error\n");
            return {};
        }
        bpp = FreeImage_GetBPP(made.bitmap);
        const uint32_t loadedWidth = FreeImage_GetWidth(made.bitmap);
        const uint32_t loadedHeight = FreeImage_GetHeight(made.bitmap);
        std::printf("width=%d, height=%d, bpp=%d\n", int(loadedWidth), int(loadedHeight), int(bpp));
        if (!withinLimits(loadedWidth, loadedHeight, bpp))
            return {};
        if (probe != Probe::Sized || format != FIF_JPEG)
            target = previewScaledSize(loadedWidth, loadedHeight, width, height);

        bool converted = false;
        made.standard = toStandardType(made.bitmap, &converted);
        if (converted && !made.standard) {
            std::printf("freeimage: conversion error\n");
            return {};
        }
        FIBITMAP* source = made.standard ? made.standard : made.bitmap;
        const bool transparent = FreeImage_IsTransparent(source);

        std::printf("nw=%d, nh=%d\n", target.width, target.height);
        made.scaled = FreeImage_Rescale(source, target.width, target.height, FILTER_BILINEAR);
        if (!made.scaled) {
            std::printf("freeimage: rescale error\n");
            return {};
        }
        made.rgba = FreeImage_ConvertTo32Bits(made.scaled);
        if (!made.rgba) {
            std::printf("freeimage: conversion error\n");
            return {};
        }
        return picturePixels(made.rgba, transparent);
    } catch (...) {
        std::printf("exception\n");
    }
    return {};
}

PreviewPicture decodePdfPreview(const uint8_t* data, size_t size, int width, int height)
{
    PreviewPicture picture;
    picture.width = std::max(width, 1);
    picture.height = std::max(height, 1);
    picture.pixels.assign(size_t(picture.width) * size_t(picture.height), 0xFFFFFFFFu);
    if (size == 0 || size > size_t(std::numeric_limits<int>::max()))
        return picture;
    try {
        std::unique_ptr<poppler::document> document(
            poppler::document::load_from_raw_data(reinterpret_cast<const char*>(data), int(size)));
        if (!document || document->is_locked() || document->pages() < 1)
            return picture;
        std::unique_ptr<poppler::page> page(document->create_page(0));
        if (!page)
            return picture;
        // The page is drawn into the whole rectangle, as an image representation would be: render
        // it at the resolution that makes it width x height pixels, whatever size the file claims.
        const poppler::rectf points = page->page_rect();
        if (!std::isfinite(points.width()) || !std::isfinite(points.height()) || !(points.width() > 0) ||
            !(points.height() > 0))
            return picture;
        const double xres = 72.0 * picture.width / points.width();
        const double yres = 72.0 * picture.height / points.height();
        if (!std::isfinite(xres) || !std::isfinite(yres))
            return picture;
        poppler::page_renderer renderer;
        renderer.set_render_hints(poppler::page_renderer::antialiasing | poppler::page_renderer::text_antialiasing);
        renderer.set_image_format(poppler::image::format_argb32);
        const poppler::image rendered =
            renderer.render_page(page.get(), xres, yres, 0, 0, picture.width, picture.height);
        if (!rendered.is_valid() || rendered.format() != poppler::image::format_argb32)
            return picture;
        const int rows = std::min(rendered.height(), picture.height);
        const int columns = std::min(rendered.width(), picture.width);
        for (int y = 0; y < rows; ++y) {
            const auto* line =
                reinterpret_cast<const uint32_t*>(rendered.const_data() + size_t(y) * rendered.bytes_per_row());
            uint32_t* out = picture.pixels.data() + size_t(y) * size_t(picture.width);
            for (int x = 0; x < columns; ++x) {
                // Drawn on poppler's white paper, so opaque already.
                out[x] = 0xFF000000u | (line[x] & 0xFFFFFFu);
            }
        }
    } catch (...) {
        std::printf("exception\n");
    }
    return picture;
}
