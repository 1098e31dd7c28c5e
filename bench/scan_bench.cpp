// Throughput of the three block scans (deleted files, lost files, lost volumes) over one generated
// disk image, run the way the application runs them: the image file as a disk, the engine's 4 MiB
// cache, the real analysers and the program's file-type description.
//
//   scan_bench [--verbose] [--size-mib N] [--workers N] [--keep]
//
// The image (default 512 MiB) is written to TMPDIR (or /tmp) and removed afterwards unless --keep.
// It holds a minimal HFS Plus volume of 4096-byte allocation blocks: a header and an allocation
// bitmap in which about a quarter of the blocks are in use, the rest free and filled with the first
// blocks of common file types, text and pseudo-random continuation data, as free space after
// deletions looks. The deleted-files scan carves that free space, once with one worker (the walk
// classifies every block itself) and once with a worker per core (or --workers N); the two lost scans read the image
// at every 512-byte block. The file is fresh in the page cache, so the figures measure the engine,
// not the device. Prints MB/s (10^6 bytes a second) of each scan and what it found; it never fails
// on timing.
#include "benchtools.h"
#include "bigendian.h"
#include "macdisk.h"
#include "quietstdout.h"
#include "recovery.h"
#include "resourcedir.h"

#include "logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kAllocBlockSize = 4096;

using bench::Random;

// The first bytes of a file of some common type; the rest of the block is left as it is.
void writeFileStart(uint8_t* block, int kind, Random& random)
{
    static const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01};
    static const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D,
                                  'I', 'H', 'D', 'R', 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                                  0x08, 0x02, 0x00, 0x00, 0x00};
    static const char pdf[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n";
    static const uint8_t gif[] = {'G', 'I', 'F', '8', '9', 'a', 0x10, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00};
    switch (kind) {
    case 0: std::memcpy(block, jpeg, sizeof jpeg); break;
    case 1: std::memcpy(block, png, sizeof png); break;
    case 2: std::memcpy(block, pdf, sizeof pdf - 1); break;
    case 3: std::memcpy(block, gif, sizeof gif); break;
    default: {
        // Plain text over the whole block.
        static const char words[] = "the quick brown fox jumps over the lazy dog while recovering lost data ";
        for (uint32_t i = 0; i < kAllocBlockSize; ++i)
            block[i] = uint8_t(words[(i + random.next() % 3) % (sizeof words - 1)]);
        for (uint32_t i = 80; i < kAllocBlockSize; i += 81)
            block[i] = '\n';
        break;
    }
    }
}

// Writes the image; false (with a message) on an I/O error.
bool writeImage(const std::string& path, uint64_t totalBlocks)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        return false;
    }
    Random random;
    const uint64_t bitmapBytes = (totalBlocks + 7) / 8;
    const uint64_t bitmapBlocks = (bitmapBytes + kAllocBlockSize - 1) / kAllocBlockSize;
    const uint64_t firstData = 1 + bitmapBlocks;
    std::vector<uint8_t> bitmap(bitmapBlocks * kAllocBlockSize, 0);
    auto markUsed = [&](uint64_t block) { bitmap[block / 8] |= uint8_t(0x80 >> (block % 8)); };
    for (uint64_t b = 0; b < firstData; ++b)
        markUsed(b);
    // About a quarter in use, in runs of 1 to 64 blocks.
    for (uint64_t b = firstData; b < totalBlocks;) {
        const uint64_t run = 1 + random.next() % 64;
        const bool used = random.next() % 4 == 0;
        for (uint64_t i = 0; i < run && b < totalBlocks; ++i, ++b)
            if (used)
                markUsed(b);
    }

    std::vector<uint8_t> chunk(256 * kAllocBlockSize);
    uint64_t written = 0;
    for (uint64_t first = 0; first < totalBlocks; first += 256) {
        const uint64_t count = std::min<uint64_t>(256, totalBlocks - first);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t block = first + i;
            uint8_t* data = chunk.data() + i * kAllocBlockSize;
            for (uint32_t w = 0; w < kAllocBlockSize; w += 8) {
                const uint64_t value = random.next();
                std::memcpy(data + w, &value, 8);
            }
            if (block == 0) {
                std::memset(data, 0, kAllocBlockSize);
                uint8_t* header = data + 1024;
                storeBig16(header + 0, 0x482B);                    // signature "H+"
                storeBig16(header + 2, 4);                         // version
                storeBig32(header + 40, kAllocBlockSize);          // blockSize
                storeBig32(header + 44, uint32_t(totalBlocks));    // totalBlocks
                storeBig32(header + 48, 0);                        // freeBlocks (not read by the scan)
                uint8_t* allocation = header + 112;           // allocationFile fork data
                storeBig64(allocation + 0, bitmapBytes);           // logicalSize
                storeBig32(allocation + 12, uint32_t(bitmapBlocks)); // totalBlocks
                storeBig32(allocation + 16, 1);                    // extent 0: startBlock
                storeBig32(allocation + 20, uint32_t(bitmapBlocks)); // extent 0: blockCount
            } else if (block < firstData) {
                std::memcpy(data, bitmap.data() + (block - 1) * kAllocBlockSize, kAllocBlockSize);
            } else if (random.next() % 8 == 0) {
                writeFileStart(data, int(random.next() % 6), random);
            }
        }
        const size_t bytes = size_t(count) * kAllocBlockSize;
        size_t done = 0;
        while (done < bytes) {
            const ssize_t n = ::write(fd, chunk.data() + done, bytes - done);
            if (n <= 0) {
                std::perror(path.c_str());
                ::close(fd);
                return false;
            }
            done += size_t(n);
        }
        written += bytes;
    }
    if (::close(fd) != 0) {
        std::perror(path.c_str());
        return false;
    }
    return written == totalBlocks * kAllocBlockSize;
}

int countItems(CVolumeItem* item)
{
    if (!item)
        return 0;
    int count = 0;
    for (CVolumeItem* child : item->children)
        count += child->isContainer() ? countItems(child) : 1;
    return count;
}

} // namespace

int main(int argc, char** argv)
{
    bool verbose = false;
    bool keep = false;
    uint64_t sizeMiB = 512;
    int workers = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--size-mib" && i + 1 < argc) {
            sizeMiB = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--workers" && i + 1 < argc) {
            workers = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: scan_bench [--verbose] [--size-mib N] [--workers N] [--keep]\n");
            return 2;
        }
    }
    if (sizeMiB < 1) {
        std::fprintf(stderr, "scan_bench: the size must be at least 1 MiB\n");
        return 2;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string image = std::string(tmp && *tmp ? tmp : "/tmp") + "/scan_bench_" +
                              std::to_string(::getpid()) + ".img";
    const uint64_t totalBlocks = sizeMiB * 1024 * 1024 / kAllocBlockSize;
    std::printf("writing %llu MiB image %s ...\n", static_cast<unsigned long long>(sizeMiB), image.c_str());
    std::fflush(stdout);
    if (!writeImage(image, totalBlocks)) {
        ::unlink(image.c_str());
        return 1;
    }
    const double megabytes = double(totalBlocks * kAllocBlockSize) / 1e6;

    CLogger::getInstance()->setEnabled(verbose);
    struct Scan {
        int type;
        int workers; // 0: one per core
        std::string name;
    };
    const int cores = int(std::thread::hardware_concurrency());
    const std::string many = workers > 0 ? std::to_string(workers) + " workers"
                                         : "all cores (" + std::to_string(cores) + ")";
    const Scan scans[] = {{ScanDeletedFiles, 1, "deleted files, 1 worker"},
                          {ScanDeletedFiles, std::max(0, workers), "deleted files, " + many},
                          {ScanLostFiles, 0, "lost files"},
                          {ScanLostVolumes, 0, "lost volumes"}};
    int status = 0;
    for (const Scan& scan : scans) {
        double seconds = 0;
        int items = 0;
        bool opened = false;
        {
            const QuietStdout quiet(!verbose);
            CMacDisk disk(image.c_str());
            CRecovery recovery;
            recovery.setMagicFilePath(resourceDirectory());
            opened = recovery.setDisk(&disk);
            if (opened) {
                recovery.setScanType(scan.type);
                recovery.setScanWorkerCount(scan.workers);
                const auto start = std::chrono::steady_clock::now();
                recovery.scan();
                seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                items = countItems(recovery.resultRoot);
            }
            recovery.setDisk(nullptr);
        }
        if (!opened) {
            std::fprintf(stderr, "scan_bench: cannot open %s\n", image.c_str());
            status = 1;
            break;
        }
        std::printf("%-32s %8.1f MB/s  (%.2f s, %d files found)\n", scan.name.c_str(), seconds > 0 ? megabytes / seconds : 0.0,
                    seconds, items);
        std::fflush(stdout);
    }
    if (!keep)
        ::unlink(image.c_str());
    return status;
}
