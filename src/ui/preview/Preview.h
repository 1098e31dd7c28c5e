// The preview maker: a picture of one result item at a requested size, from the item's own bytes
// (an image decoded by FreeImage through our read/seek/tell callbacks, page 0 of a PDF, or lines of
// text on white). Owns nothing between calls; a preview that cannot be made is a null QImage.
// Every byte of the item is treated as hostile: image sizes are probed and bounded before decoding.
#pragma once

#include <QImage>
#include <QSize>

#include <cstdint>

class CVolumeItem;

// The largest image, in pixels and in decoded bytes, that an image preview decodes; bigger ones
// fall through to the next preview kind.
constexpr uint64_t kPreviewMaxPixels = 64ull * 1024 * 1024;
constexpr uint64_t kPreviewMaxDecodedBytes = 256ull * 1024 * 1024;
// How much of an item the PDF and the text preview read.
constexpr uint64_t kPreviewMaxPDFBytes = 9000000;
constexpr uint64_t kPreviewMaxTextBytes = 90000;
constexpr int kPreviewTextLineHeight = 16;

// Creating the first Preview of the process initialises FreeImage, destroying the last one
// de-initialises it. Every method may run on any thread at the same time as another.
class Preview {
public:
    Preview();
    ~Preview();
    Preview(const Preview&) = delete;
    Preview& operator=(const Preview&) = delete;

    // The preview chain: a folder's icon, a PDF page, an image, else text. Null for no item, for
    // portable bitmap files (.pgm, .pbm, .ppm) and when nothing could be made.
    QImage getFilePreview(CVolumeItem* item, int width, int height);
    // At most width x height (a power of two wide); null when the item is no decodable image of
    // an allowed format within the size limits.
    QImage getFileImagePreview(CVolumeItem* item, int width, int height);
    // Page 0 drawn into width x height on white; white when the bytes are no readable PDF.
    QImage getPDFPreview(CVolumeItem* item, int width, int height);
    // The item's first bytes as lines of text on white, from the top down.
    QImage getFileTextPreview(CVolumeItem* item, int width, int height);
};

// The size an image of imageWidth x imageHeight is scaled to for a request of width x height: a
// power of two wide, not wider than the image or the request, with the image's proportions
// (computed in single precision), never below 1 x 1 nor higher than the request.
QSize previewScaledSize(uint32_t imageWidth, uint32_t imageHeight, int width, int height);

// FreeImage's I/O callbacks over one item, exposed for the tests. The handle is a PreviewIOHandle.
struct PreviewIOHandle {
    CVolumeItem* item; // not owned
    int64_t position;
};
unsigned ReadProc(void* buffer, unsigned size, unsigned count, void* handle);
unsigned WriteProc(void* buffer, unsigned size, unsigned count, void* handle);
int SeekProc(void* handle, long offset, int origin);
long TellProc(void* handle);
