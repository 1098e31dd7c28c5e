// What the block cache costs and keeps on a failing disk: a disk of 512-byte blocks whose chosen
// 4096-byte pages fail whole, as Linux reads a failing drive through its page cache. Each case
// reads the disk front to back through the recovery scan's cache (4 MiB, 256 KiB lines) in
// 4096-byte CCachedDisk::readData requests, then the three block scans (deleted files, lost
// files, lost volumes) run over the 100 MiB zone as the application runs them. Prints, for each:
// device reads, failed device reads (on a dying drive each may take seconds), blocks counted
// unreadable against the blocks that are, and readable bytes that were not returned.
//
//   cachedisk_failing_bench [--verbose] [--no-scans]
//
// Targets: one bad page loses only its own 4096 bytes; a wholly bad line costs at most 4 failed
// reads; a 100 MiB zone at most 1000 in any scan, every block of it counted. It never fails on a
// figure: a non-zero exit means bad arguments.
#include "cacheddisk.h"
#include "data.h"
#include "disks.h"
#include "logger.h"
#include "quietstdout.h"
#include "recovery.h"
#include "resourcedir.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kBlockSize = 512;
constexpr int64_t kPageBlocks = 4096 / kBlockSize;
constexpr int kRequest = 4096;
constexpr int kCacheSize = 4194304; // the recovery scan's cache
constexpr int kReadAhead = 262144;  // and its line size
constexpr int64_t kLineBlocks = kReadAhead / kBlockSize;
constexpr int64_t kMiBBlocks = 2048;

// The byte at a disk offset: cheap, and different in every 8 bytes so a misplaced block shows.
uint64_t wordAt(int64_t offset)
{
    return uint64_t(offset / 8) * 0x9E3779B97F4A7C15ull ^ 0x5bd1e995ull;
}

// Computes its bytes instead of holding them; a read touching a failing page fails and leaves
// garbage, and every read is counted.
class FailingPageDisk : public CDisk {
public:
    FailingPageDisk(int64_t blocks, std::vector<std::pair<int64_t, int64_t>> failingPages)
        : bad(std::move(failingPages))
    {
        path = "/bench/failing";
        blockSize = kBlockSize;
        blockCount = blocks;
    }
    ~FailingPageDisk() override { cleanup(); }

    bool isBad(int64_t block) const
    {
        const int64_t page = block / kPageBlocks;
        return std::any_of(bad.begin(), bad.end(), [&](const auto& r) { return page >= r.first && page < r.second; });
    }
    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        ++reads;
        if (block < 0 || count < 0 || block + count > blockCount)
            return false;
        const int64_t firstPage = block / kPageBlocks, endPage = (block + count + kPageBlocks - 1) / kPageBlocks;
        for (const auto& [first, end] : bad)
            if (first < endPage && end > firstPage) {
                ++failed;
                std::memset(buffer, 0xEE, size_t(count) * kBlockSize);
                return false;
            }
        auto* out = static_cast<uint8_t*>(buffer);
        for (int64_t at = 0; at < int64_t(count) * kBlockSize; at += 8) {
            const uint64_t word = wordAt(block * kBlockSize + at);
            std::memcpy(out + at, &word, 8);
        }
        return true;
    }
    bool writeBlocks(int64_t, int, const void*) override { return false; }
    bool doOpen(bool) override { return true; }
    void doClose() override {}

    std::vector<std::pair<int64_t, int64_t>> bad; // [first, end) pages
    int64_t reads = 0;
    int64_t failed = 0;
};

struct Case {
    const char* name;
    int64_t blocks;
    std::vector<std::pair<int64_t, int64_t>> pages; // failing [first, end) pages
};

int64_t badBlocks(const Case& c)
{
    int64_t count = 0;
    for (const auto& [first, end] : c.pages)
        count += (end - first) * kPageBlocks;
    return count;
}

struct Figures {
    int64_t reads = 0, failed = 0, counted = 0, lostReadable = -1;
    void take(FailingPageDisk& disk)
    {
        reads = disk.reads;
        failed = disk.failed;
        counted = disk.getReadErrorCount();
    }
};

void printRow(const char* name, const char* how, const Figures& f, int64_t expectedBad)
{
    std::printf("%-30s %-13s %9" PRId64 " %8" PRId64 " %10" PRId64 " %10" PRId64 " %12" PRId64 "\n", name, how, f.reads,
                f.failed, f.counted, expectedBad, f.lostReadable);
}

// Reads the whole disk through the cache and counts the bytes of readable blocks it got wrong.
void readThrough(const Case& c, bool verbose)
{
    Figures figures;
    {
        const QuietStdout quiet(!verbose);
        FailingPageDisk disk(c.blocks, c.pages);
        CCachedDisk cache(&disk, kCacheSize, kReadAhead);
        cache.open(false);
        CData data;
        std::vector<uint8_t> want(kRequest);
        figures.lostReadable = 0;
        for (int64_t offset = 0; offset < c.blocks * kBlockSize; offset += kRequest) {
            if (!cache.readData(offset, kRequest, &data)) {
                figures.lostReadable += kRequest;
                continue;
            }
            for (int at = 0; at < kRequest; at += 8) {
                const uint64_t word = wordAt(offset + at);
                std::memcpy(want.data() + at, &word, 8);
            }
            for (int block = 0; block < kRequest / kBlockSize; ++block) {
                const int64_t number = offset / kBlockSize + block;
                const size_t at = size_t(block) * kBlockSize;
                if (!disk.isBad(number) && std::memcmp(data.getData() + at, want.data() + at, kBlockSize) != 0)
                    figures.lostReadable += kBlockSize;
            }
        }
        cache.close();
        figures.take(disk);
    }
    printRow(c.name, "readData", figures, badBlocks(c));
}

void scanThrough(const Case& c, bool verbose)
{
    const struct {
        int type;
        const char* name;
    } scans[] = {{ScanDeletedFiles, "deleted scan"}, {ScanLostFiles, "lost scan"}, {ScanLostVolumes, "volumes scan"}};
    for (const auto& scan : scans) {
        Figures figures;
        {
            const QuietStdout quiet(!verbose);
            FailingPageDisk disk(c.blocks, c.pages);
            CRecovery recovery;
            recovery.setMagicFilePath(resourceDirectory());
            if (recovery.setDisk(&disk)) {
                recovery.setScanType(scan.type);
                recovery.setScanWorkerCount(1);
                recovery.scan();
                recovery.setDisk(nullptr);
            }
            figures.take(disk);
        }
        printRow(c.name, scan.name, figures, badBlocks(c));
    }
}

} // namespace

int main(int argc, char** argv)
{
    bool verbose = false;
    bool scans = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--no-scans") {
            scans = false;
        } else {
            std::fprintf(stderr, "usage: cachedisk_failing_bench [--verbose] [--no-scans]\n");
            return 2;
        }
    }
    CLogger::getInstance()->setEnabled(verbose);

    const int64_t linePages = kLineBlocks / kPageBlocks;
    const int64_t zonePages = 100 * kMiBBlocks / kPageBlocks;
    const int64_t margin = 8 * kMiBBlocks / kPageBlocks; // pages before and after a zone
    const int64_t disk = 16 * kMiBBlocks;
    const Case cases[] = {
        {"one bad page mid-line", disk, {{5 * linePages + 13, 5 * linePages + 14}}},
        {"bad page at a line's start", disk, {{5 * linePages, 5 * linePages + 1}}},
        {"bad page at a line's end", disk, {{6 * linePages - 1, 6 * linePages}}},
        {"scattered bad pages",
         disk,
         {{5 * linePages + 3, 5 * linePages + 4},
          {5 * linePages + 40, 5 * linePages + 41},
          {9 * linePages + 7, 9 * linePages + 8}}},
        {"wholly bad line", disk, {{5 * linePages, 6 * linePages}}},
        {"100 MiB zone, line-aligned", (2 * margin + zonePages) * kPageBlocks, {{margin, margin + zonePages}}},
        {"100 MiB zone, mid-line", (2 * margin + zonePages) * kPageBlocks, {{margin + 21, margin + 21 + zonePages}}},
    };
    std::printf("cache: %d bytes, %d-byte lines; pages of %d bytes fail whole\n", kCacheSize, kReadAhead,
                int(kPageBlocks * kBlockSize));
    std::printf("%-30s %-13s %9s %8s %10s %10s %12s\n", "case", "read by", "reads", "failed", "counted", "bad blocks",
                "lost bytes");
    for (const Case& c : cases)
        readThrough(c, verbose);
    if (scans)
        scanThrough(cases[std::size(cases) - 1], verbose);
    std::printf("lost bytes: bytes of readable blocks not returned (-1: not measured by the scans)\n");
    std::printf("targets: a bad page loses 0 readable bytes; a wholly bad line at most 4 failed reads; a 100 MiB "
                "zone at most 1000, counted = bad blocks\n");
    return 0;
}
