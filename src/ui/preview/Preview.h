// The preview maker: a picture of one result item at a requested size, from the item's own bytes
// (an image of any format FreeImage reads, page 0 of a PDF, or lines of text on white). The image
// and PDF decoders never run in this process: the item's first bytes go to a preview worker
// process, and a worker that crashes or runs past its limits costs that one picture, which then
// falls through to the next preview kind. Owns the worker pool; a preview that cannot be made is a
// null QImage.
#pragma once

#include "previewworkerpool.h"

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <memory>

class CVolumeItem;

// How much of an item the image, the PDF and the text preview read.
constexpr uint64_t kPreviewMaxImageBytes = kPreviewMaxRequestBytes;
constexpr uint64_t kPreviewMaxPDFBytes = 9000000;
constexpr uint64_t kPreviewMaxTextBytes = 90000;
constexpr int kPreviewTextLineHeight = 16;

// Every method may run on any thread at the same time as another; each call that decodes uses a
// worker of its own.
class Preview {
public:
    Preview();
    // With other worker options (a smaller memory or time budget, another program), for the tests.
    explicit Preview(PreviewWorkerOptions options);
    ~Preview();
    Preview(const Preview&) = delete;
    Preview& operator=(const Preview&) = delete;

    // The preview chain: a folder's icon, a PDF page, an image, else text. Null for no item, for
    // portable bitmap files (.pgm, .pbm, .ppm) and when nothing could be made.
    QImage getFilePreview(CVolumeItem* item, int width, int height);
    // At most width x height (a power of two wide); null when the item is no decodable image
    // within the size limits, or when its worker failed.
    QImage getFileImagePreview(CVolumeItem* item, int width, int height);
    // Page 0 drawn into width x height on white; white when the bytes are no readable PDF, null
    // when its worker failed.
    QImage getPDFPreview(CVolumeItem* item, int width, int height);
    // The item's first bytes as lines of text on white, from the top down.
    QImage getFileTextPreview(CVolumeItem* item, int width, int height);

    // The workers, for the tests.
    PreviewWorkerPool& workers() { return *workers_; }

private:
    // The worker's picture of the request, null (with one log line) when the worker failed.
    QImage decodeInWorker(PreviewRequest& request, const std::string& name);
    // The image preview; *request keeps the item's first bytes it read, for the text preview after.
    QImage imagePreview(CVolumeItem* item, int width, int height, PreviewRequest* request);
    static QImage textPreview(const QByteArray& bytes, int width, int height);

    std::unique_ptr<PreviewWorkerPool> workers_;
};
