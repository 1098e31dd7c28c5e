#include "previewprotocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRequestMagic = 0x47505251; // "GPRQ"
constexpr uint32_t kPictureMagic = 0x47505043; // "GPPC"

struct RequestHeader {
    uint32_t magic;
    uint32_t kind;
    int32_t width;
    int32_t height;
    uint64_t length;
};

struct PictureHeader {
    uint32_t magic;
    int32_t width;
    int32_t height;
    uint32_t reserved;
};

bool sideInRange(int side)
{
    return side >= 0 && side <= kPreviewMaxSide;
}

// Waits until fd is ready for events or the deadline passes; true when ready (or no deadline).
bool waitReady(int fd, short events, int64_t deadline)
{
    if (deadline < 0)
        return true;
    for (;;) {
        const int64_t left = deadline - monotonicMilliseconds();
        if (left <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, int(std::min<int64_t>(left, 60000)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// Moves length bytes in pieces through step (one write or one read), continuing after short counts,
// EINTR and EAGAIN; false when step fails, the stream ends or the deadline passes.
template <class Byte, class Step>
bool transferFully(int fd, short events, Byte* bytes, size_t length, int64_t deadline, Step step)
{
    while (length > 0) {
        if (!waitReady(fd, events, deadline))
            return false;
        const ssize_t n = step(bytes, length);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

} // namespace

int64_t monotonicMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool writeFully(int fd, const void* data, size_t length, int64_t deadline)
{
    // The application's side (it has a deadline) sends, so a worker that died is an error, not a
    // signal; the worker writes, since its filter allows nothing else.
    bool socket = deadline >= 0;
    return transferFully(fd, POLLOUT, static_cast<const uint8_t*>(data), length, deadline,
                         [&](const uint8_t* bytes, size_t left) {
                             if (socket) {
                                 const ssize_t n = ::send(fd, bytes, left, MSG_NOSIGNAL | MSG_DONTWAIT);
                                 if (n >= 0 || errno != ENOTSOCK)
                                     return n;
                                 socket = false;
                             }
                             return ::write(fd, bytes, left);
                         });
}

bool readFully(int fd, void* data, size_t length, int64_t deadline)
{
    return transferFully(fd, POLLIN, static_cast<uint8_t*>(data), length, deadline,
                         [fd](uint8_t* bytes, size_t left) { return ::read(fd, bytes, left); });
}

bool writePreviewRequest(int fd, const PreviewRequest& request, int64_t deadline)
{
    const RequestHeader header{kRequestMagic, uint32_t(request.kind), request.width, request.height,
                               uint64_t(request.bytes.size())};
    return writeFully(fd, &header, sizeof header, deadline) &&
           writeFully(fd, request.bytes.data(), request.bytes.size(), deadline);
}

bool readPreviewRequest(int fd, PreviewRequest* request)
{
    RequestHeader header{};
    if (!readFully(fd, &header, sizeof header) || header.magic != kRequestMagic)
        return false;
    if ((header.kind != uint32_t(PreviewKind::Image) && header.kind != uint32_t(PreviewKind::Pdf)) ||
        !sideInRange(header.width) || !sideInRange(header.height) || header.length > kPreviewMaxRequestBytes)
        return false;
    request->kind = PreviewKind(header.kind);
    request->width = header.width;
    request->height = header.height;
    request->bytes.resize(size_t(header.length));
    return readFully(fd, request->bytes.data(), request->bytes.size());
}

bool writePreviewPicture(int fd, const PreviewPicture& picture)
{
    const bool none = picture.isNull() || picture.pixels.size() != size_t(picture.width) * size_t(picture.height);
    const PictureHeader header{kPictureMagic, none ? 0 : picture.width, none ? 0 : picture.height, 0};
    if (!writeFully(fd, &header, sizeof header))
        return false;
    return none || writeFully(fd, picture.pixels.data(), picture.pixels.size() * sizeof(uint32_t));
}

bool readPreviewPicture(int fd, int maxWidth, int maxHeight, PreviewPicture* picture, int64_t deadline)
{
    PictureHeader header{};
    if (!readFully(fd, &header, sizeof header, deadline) || header.magic != kPictureMagic)
        return false;
    if (header.width < 0 || header.height < 0 || header.width > maxWidth || header.height > maxHeight ||
        (header.width == 0) != (header.height == 0))
        return false;
    picture->width = header.width;
    picture->height = header.height;
    picture->pixels.resize(size_t(header.width) * size_t(header.height));
    return readFully(fd, picture->pixels.data(), picture->pixels.size() * sizeof(uint32_t), deadline);
}
