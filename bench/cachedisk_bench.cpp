// Throughput of the block cache on a sequential scan: an image file read front to back in 4096-byte
// requests through CCachedDisk::readData with the recovery scan's configuration (4 MiB cache,
// 256 KiB lines), beside a plain read() loop over the same bytes. Both loops sum every byte they
// get, so neither wins by not touching the data, and the sums must agree.
//
//   cachedisk_bench [--cold] [--verbose] [--rounds N] [--size-mib N] [IMAGE]
//
// Without IMAGE a file of --size-mib MiB (default 1024) of pseudo-random bytes is made in TMPDIR
// (or /tmp) and removed afterwards. By default the page cache is warmed with the whole file before
// every pass, so the figures compare the cost of the two paths rather than the device; --cold
// instead drops the file's pages (posix_fadvise DONTNEED, no root needed) before every pass.
// The engine's own diagnostic lines are hidden unless --verbose.
// Prints MB/s (10^6 bytes a second) of the best pass of each and their ratio; the target is a
// ratio of at least 0.70. It never fails on timing: a non-zero exit means bad arguments, an I/O
// error or differing sums.
#include "cacheddisk.h"
#include "quietstdout.h"
#include "data.h"
#include "disks.h"
#include "macdisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRequest = 4096;
constexpr int kCacheSize = 4194304;   // the recovery scan's cache
constexpr int kReadAhead = 262144;    // and its line size

using Clock = std::chrono::steady_clock;

uint64_t sumBytes(const uint8_t* data, size_t size)
{
    uint64_t sum = 0;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        sum += word;
    }
    return sum;
}

bool makeImage(const std::string& file, int64_t size)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "cannot create %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<uint64_t> chunk(4 << 20 >> 3);
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (int64_t written = 0; written < size;) {
        for (uint64_t& word : chunk) { // xorshift64: incompressible enough, and cheap
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const size_t n = size_t(std::min<int64_t>(size - written, int64_t(chunk.size() * 8)));
        if (::write(fd, chunk.data(), n) != ssize_t(n)) {
            std::fprintf(stderr, "cannot write %s: %s\n", file.c_str(), std::strerror(errno));
            ::close(fd);
            ::unlink(file.c_str());
            return false;
        }
        written += int64_t(n);
    }
    ::fsync(fd);
    ::close(fd);
    return true;
}

// Brings the whole file into the page cache, or drops it, so each pass starts in the same state.
bool preparePageCache(const std::string& file, bool cold)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    if (cold) {
        ::fdatasync(fd);
        ok = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    } else {
        std::vector<char> buffer(1 << 20);
        ssize_t n;
        while ((n = ::read(fd, buffer.data(), buffer.size())) > 0 || (n < 0 && errno == EINTR)) {
        }
        ok = n == 0;
    }
    ::close(fd);
    return ok;
}

struct Pass {
    double seconds = 0;
    uint64_t sum = 0;
    bool ok = false;
};

Pass plainPass(const std::string& file, int64_t total)
{
    Pass pass;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return pass;
    alignas(64) static uint8_t buffer[kRequest];
    const auto start = Clock::now();
    int64_t done = 0;
    while (done < total) {
        const ssize_t n = ::read(fd, buffer, kRequest);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != kRequest)
            break;
        pass.sum += sumBytes(buffer, kRequest);
        done += n;
    }
    pass.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pass.ok = done == total;
    ::close(fd);
    return pass;
}

Pass cachedPass(const std::string& file, int64_t total, bool verbose)
{
    Pass pass;
    const QuietStdout quiet(!verbose);
    CMacDisk disk(file.c_str()); // an image file is a disk of 512-byte blocks
    // Construction and opening stay outside the timing, as the scan opens its disk once.
    CCachedDisk cache(&disk, kCacheSize, kReadAhead);
    if (!cache.open(false))
        return pass;
    CData data;
    const auto start = Clock::now();
    int64_t done = 0;
    while (done < total) {
        if (!cache.readData(done, kRequest, &data) || data.getSize() != uint32_t(kRequest))
            break;
        pass.sum += sumBytes(data.getData(), kRequest);
        done += kRequest;
    }
    pass.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pass.ok = done == total && disk.getReadErrorCount() == 0;
    cache.close();
    return pass;
}

double megabytesPerSecond(int64_t bytes, double seconds)
{
    return seconds > 0 ? double(bytes) / seconds / 1e6 : 0;
}

int usage()
{
    std::fprintf(stderr, "usage: cachedisk_bench [--cold] [--verbose] [--rounds N] [--size-mib N] [IMAGE]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool cold = false;
    bool verbose = false;
    int rounds = 3;
    int64_t sizeMib = 1024;
    std::string image;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cold")
            cold = true;
        else if (arg == "--verbose")
            verbose = true;
        else if (arg == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (arg == "--size-mib" && i + 1 < argc)
            sizeMib = std::atoll(argv[++i]);
        else if (!arg.empty() && arg[0] != '-' && image.empty())
            image = arg;
        else
            return usage();
    }
    if (rounds < 1 || sizeMib < 1 || sizeMib > (int64_t(1) << 20))
        return usage();

    bool made = false;
    if (image.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        image = std::string(tmp && *tmp ? tmp : "/tmp") + "/gleaner-bench-" + std::to_string(::getpid()) + ".img";
        std::printf("making %" PRId64 " MiB image %s\n", sizeMib, image.c_str());
        if (!makeImage(image, sizeMib << 20))
            return 1;
        made = true;
    }

    struct stat info{};
    if (::stat(image.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "%s is not a readable regular file\n", image.c_str());
        return 1;
    }
    // Whole requests only: the cache reads whole 512-byte blocks, so a ragged tail would differ.
    const int64_t total = int64_t(info.st_size) / kRequest * kRequest;
    if (total == 0) {
        std::fprintf(stderr, "%s holds less than one request\n", image.c_str());
        return 1;
    }

    std::printf("image %s: %" PRId64 " bytes in %d-byte requests, %d round(s)\n", image.c_str(), total, kRequest,
                rounds);
    std::printf("page cache: %s before every pass\n",
                cold ? "the file's pages dropped (posix_fadvise DONTNEED)" : "warmed with the whole file");
    std::printf("cache: %d bytes, %d-byte lines (read-ahead)\n", kCacheSize, kReadAhead);

    Pass bestPlain, bestCached;
    bool failed = false;
    for (int round = 1; round <= rounds && !failed; ++round) {
        // Alternate the order so neither path always runs right after the image was written.
        for (int step = 0; step < 2 && !failed; ++step) {
            const bool cachedFirst = round % 2 == 0;
            const bool cached = (step == 0) == cachedFirst;
            if (!preparePageCache(image, cold)) {
                std::fprintf(stderr, "cannot %s the page cache for %s\n", cold ? "drop" : "warm", image.c_str());
                failed = true;
                break;
            }
            const Pass pass = cached ? cachedPass(image, total, verbose) : plainPass(image, total);
            if (!pass.ok) {
                std::fprintf(stderr, "%s pass failed to read %s\n", cached ? "cached" : "plain", image.c_str());
                failed = true;
                break;
            }
            std::printf("round %d %-6s %8.1f MB/s (%.3f s)\n", round, cached ? "cached" : "plain",
                        megabytesPerSecond(total, pass.seconds), pass.seconds);
            Pass& best = cached ? bestCached : bestPlain;
            if (!best.ok || pass.seconds < best.seconds)
                best = pass;
        }
    }
    if (made)
        ::unlink(image.c_str());
    if (failed)
        return 1;
    if (bestPlain.sum != bestCached.sum) {
        std::fprintf(stderr, "sums differ: plain %016" PRIx64 ", cached %016" PRIx64 "\n", bestPlain.sum,
                     bestCached.sum);
        return 1;
    }

    const double plain = megabytesPerSecond(total, bestPlain.seconds);
    const double cached = megabytesPerSecond(total, bestCached.seconds);
    const double ratio = plain > 0 ? cached / plain : 0;
    std::printf("best plain read()          %8.1f MB/s\n", plain);
    std::printf("best CCachedDisk::readData %8.1f MB/s\n", cached);
    std::printf("ratio cached/plain %.2f (target at least 0.70: %s)\n", ratio, ratio >= 0.70 ? "met" : "NOT met");
    return 0;
}
