// The preview worker's decoders: a picture of an image file (FreeImage, from memory through our
// read/seek/tell callbacks) or of a PDF's first page (poppler), scaled for the request and drawn
// over white. Runs only inside the worker process; owns nothing between calls. Every input is
// hostile: image sizes are probed and bounded before decoding, and anything that cannot be drawn
// answers a null picture.
#pragma once

#include "previewprotocol.h"

#include <cstddef>
#include <cstdint>

// The largest image, in pixels and in decoded bytes, that an image preview decodes.
inline constexpr uint64_t kPreviewMaxPixels = 64ull * 1024 * 1024;
inline constexpr uint64_t kPreviewMaxDecodedBytes = 256ull * 1024 * 1024;

// Loads FreeImage's plug-ins and installs its message handler; call once before decoding.
void initialisePreviewDecoders();

// The worker's decode entry: the picture the request asks for, or a null one.
PreviewPicture decodePreview(const PreviewRequest& request);
// At most width x height (a power of two wide) for every format FreeImage identifies and reads.
PreviewPicture decodeImagePreview(const uint8_t* data, size_t size, int width, int height);
// Page 0 drawn into width x height on white; white when the bytes are no readable PDF.
PreviewPicture decodePdfPreview(const uint8_t* data, size_t size, int width, int height);

struct PreviewSize {
    int width = 0;
    int height = 0;
    bool operator==(const PreviewSize&) const = default;
};

// The size an image of imageWidth x imageHeight is scaled to for a request of width x height: a
// power of two wide, not wider than the image or the request, with the image's proportions
// (computed in single precision), never below 1 x 1 nor higher than the request.
PreviewSize previewScaledSize(uint32_t imageWidth, uint32_t imageHeight, int width, int height);

// FreeImage's I/O callbacks over the bytes of one file, exposed for the tests.
struct PreviewIOHandle {
    const uint8_t* data; // not owned
    int64_t size;
    int64_t position;
};
unsigned ReadProc(void* buffer, unsigned size, unsigned count, void* handle);
unsigned WriteProc(void* buffer, unsigned size, unsigned count, void* handle);
int SeekProc(void* handle, long offset, int origin);
long TellProc(void* handle);
