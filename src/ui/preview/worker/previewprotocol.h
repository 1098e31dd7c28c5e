// The messages between the application and its preview worker process: a request (what to draw,
// at what size, from which bytes) and the answer (the picture's pixels, or none). Owns nothing;
// every read and write reports failure (a closed or broken descriptor, a malformed message) as false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class PreviewKind : uint32_t { Image = 1, Pdf = 2 };

// The largest request size, in pixels on each side, and the most bytes a request carries.
inline constexpr int kPreviewMaxSide = 16384;
inline constexpr uint64_t kPreviewMaxRequestBytes = 64ull * 1024 * 1024;

struct PreviewRequest {
    PreviewKind kind = PreviewKind::Image;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};

// Pixels as 32-bit 0xAARRGGBB values, rows from the top; alpha is always 0xFF (transparency has
// been drawn over white). An empty picture means none.
struct PreviewPicture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    bool isNull() const { return pixels.empty(); }
};

bool writePreviewRequest(int fd, const PreviewRequest& request, int64_t deadline = -1);
// False at the end of the stream (the other side closed it) and on a malformed request.
bool readPreviewRequest(int fd, PreviewRequest* request);
bool writePreviewPicture(int fd, const PreviewPicture& picture);
// Accepts only a picture no larger than maxWidth x maxHeight, so a misbehaving worker cannot make
// the application allocate what it likes.
bool readPreviewPicture(int fd, int maxWidth, int maxHeight, PreviewPicture* picture, int64_t deadline = -1);

// Whole-buffer transfers that continue after short counts and EINTR. With a deadline (a
// CLOCK_MONOTONIC time in milliseconds, -1 for none) they give up when it passes. A write to a
// socket whose reader is gone fails instead of raising SIGPIPE.
bool writeFully(int fd, const void* data, size_t length, int64_t deadline = -1);
bool readFully(int fd, void* data, size_t length, int64_t deadline = -1);
int64_t monotonicMilliseconds();
