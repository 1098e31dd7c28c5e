#include "cacheddisk.h"

#include "hfsfixtures.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <random>
#include <thread>

namespace {
using Bytes = std::vector<uint8_t>;
using Zones = std::vector<std::pair<int64_t, int64_t>>; // [first, end) blocks

// What a read must give: the image's bytes, then zeros past its end.
Bytes expected(const Bytes& image, int64_t offset, int64_t length)
{
    Bytes bytes(size_t(length), 0);
    const int64_t inside = std::clamp<int64_t>(int64_t(image.size()) - offset, 0, length);
    if (inside > 0)
        std::memcpy(bytes.data(), image.data() + offset, size_t(inside));
    return bytes;
}

// The byte after the range is a sentinel no read may overwrite.
Bytes viaRead(CCachedDisk& cache, int64_t offset, int length)
{
    Bytes bytes(size_t(length) + 1, 0x5A);
    EXPECT_TRUE(cache.read(offset, length, bytes.data())) << offset;
    EXPECT_EQ(bytes.back(), 0x5A);
    bytes.pop_back();
    return bytes;
}

Bytes viaReadData(CCachedDisk& cache, CData& buffer, int64_t offset, int length)
{
    EXPECT_TRUE(cache.readData(offset, length, &buffer)) << offset;
    return Bytes(buffer.getData(), buffer.getData() + buffer.getSize());
}

Bytes viaReadBlocks(CCachedDisk& cache, int64_t block, int count)
{
    Bytes bytes(size_t(count) * size_t(cache.getBlockSize()) + 1, 0x5A);
    EXPECT_TRUE(cache.readBlocks(block, count, bytes.data())) << block;
    EXPECT_EQ(bytes.back(), 0x5A);
    bytes.pop_back();
    return bytes;
}

// 512-byte blocks, each starting with its own number, whose blocks in the zones fail.
void makeZonedDisk(std::optional<CMemoryDisk>& disk, int64_t blocks, const Zones& zones)
{
    Bytes bytes(size_t(blocks) * 512, 0x11);
    for (int64_t block = 0; block < blocks; ++block)
        std::memcpy(bytes.data() + block * 512, &block, sizeof block);
    disk.emplace(std::move(bytes), 512);
    for (const auto& [first, end] : zones)
        for (int64_t block = first; block < end; ++block)
            disk->failingBlocks.insert(disk->failingBlocks.end(), block);
}

constexpr int kLineBytes = 262144; // the recovery configuration: 512 blocks a line, 16 lines
constexpr int kCacheBytes = 4194304;
} // namespace

// Also with a read-ahead below one block and caches below two lines (or none at all): a line holds
// at least one block and the cache at least two lines. A line reaching past the disk's end is read
// with the shorter count, not failed and read again block by block.
TEST(CCachedDiskRead, RandomRangesEqualTheImageBytesAndZerosPastTheEnd)
{
    const struct {
        int blockSize, cacheSize, readAhead;
    } shapes[] = {{512, 20480, 2048}, {512, 4194304, 262144}, {4096, 20480, 2048},
                  {2048, 8192, 4096}, {512, 100, 2048},       {512, 0, 0}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(testing::Message() << shape.blockSize << "/" << shape.cacheSize << "/" << shape.readAhead);
        CMemoryDisk disk(patternBytes(size_t(shape.blockSize) * 1000, 7), shape.blockSize);
        CCachedDisk cache(&disk, shape.cacheSize, shape.readAhead);
        EXPECT_TRUE(cache.getBlocksPerRead() >= 1 && cache.getCacheLines() >= 2);
        const int64_t size = int64_t(disk.bytes.size());
        const int64_t line = int64_t(cache.getBlocksPerRead()) * shape.blockSize;
        std::mt19937 random(1234);
        CData buffer;
        for (int i = 0; i < 200; ++i) {
            const int64_t offset = int64_t(random() % uint64_t(size + 3 * shape.blockSize));
            const int length = int(random() % uint64_t(3 * line + 1));
            ASSERT_EQ(viaRead(cache, offset, length), expected(disk.bytes, offset, length));
            ASSERT_EQ(viaReadData(cache, buffer, offset, length), expected(disk.bytes, offset, length));
            const int64_t block = int64_t(random() % 1003);
            const int count = int(random() % uint64_t(3 * cache.getBlocksPerRead() + 1));
            ASSERT_EQ(viaReadBlocks(cache, block, count),
                      expected(disk.bytes, block * shape.blockSize, int64_t(count) * shape.blockSize));
        }
        EXPECT_EQ(disk.getReadErrorCount(), 0);
    }
}

TEST(CCachedDiskErrors, FailingBlockIsCountedOnceAndAloneReadsAsZeros)
{
    CMemoryDisk disk(patternBytes(512 * 64, 9), 512);
    disk.failingBlocks = {5};
    CCachedDisk cache(&disk, 20480, 2048); // line 1 holds blocks 4 to 7
    Bytes want = expected(disk.bytes, 4 * 512, 4 * 512);
    std::fill(want.begin() + 512, want.begin() + 1024, 0);
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    EXPECT_EQ(viaRead(cache, 6 * 512, 512), expected(disk.bytes, 6 * 512, 512));
    EXPECT_EQ(disk.getReadErrorCount(), 1);
    EXPECT_EQ(cache.getUnreadableReads(), 2);
    EXPECT_EQ(disk.readCalls, 5); // the line, then each of its blocks
}

TEST(CCachedDiskErrors, ReusedLineShowsNoOldBytesPastTheEndOrAfterAFailedRead)
{
    CMemoryDisk disk(patternBytes(512 * 10, 11), 512);
    disk.failingBlocks = {4, 5, 6, 7};
    CCachedDisk cache(&disk, 2 * 2048, 2048); // two lines of four blocks
    CData buffer;
    viaRead(cache, 0, 2048);
    viaRead(cache, 2048, 2048);
    // Line 2 (blocks 8 and 9, then two past the end) takes over the buffer of line 0.
    EXPECT_EQ(viaRead(cache, 8 * 512, 2048), expected(disk.bytes, 8 * 512, 2048));
    viaRead(cache, 0, 2048);
    // Line 1 fails again, into line 2's buffer, and the device leaves garbage in it.
    EXPECT_EQ(viaReadData(cache, buffer, 4 * 512, 2048), Bytes(2048, 0));
    EXPECT_EQ(viaReadBlocks(cache, 4, 4), Bytes(2048, 0));
    EXPECT_EQ(disk.getReadErrorCount(), 4); // four blocks, however often they are met
}

// A 100 MiB bad zone is counted block by block and costs a few thousand failed device reads, not
// one per block. A zone that does not start or end on a line boundary gives up at most the rest
// of the line it ends in; its blocks before the zone are read.
TEST(CCachedDiskBadZone, HundredMiBZoneIsCountedByBlockAtAFewThousandFailedReads)
{
    const int64_t zoneBlocks = 100 * 2048;
    const struct {
        const char* name;
        int64_t first;
        int64_t lostGoodBlocks; // good blocks after the zone in the line it ends in
    } cases[] = {{"line aligned", 20 * 512, 0}, {"unaligned", 20 * 512 + 37, 512 - 37}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<CMemoryDisk> disk;
        makeZonedDisk(disk, 120 * 2048, {{c.first, c.first + zoneBlocks}});
        CCachedDisk cache(&*disk, kCacheBytes, kLineBytes);
        OutputCapture quiet;
        // Read in line-sized pieces, as the deleted-files scan does: a lost block reads as zeros.
        CData data;
        int64_t wrongBlock = -1;
        for (int64_t block = 0; block < disk->getBlockCount() && wrongBlock < 0; ++block) {
            if (block % 512 == 0 && !cache.readData(block * 512, kLineBytes, &data))
                wrongBlock = block;
            const bool lost = disk->failingBlocks.count(block) || cache.hadReadErrors(block * 512, 512);
            const Bytes want = lost ? Bytes(512) : expected(disk->bytes, block * 512, 512);
            if (wrongBlock < 0 && std::memcmp(data.getData() + block % 512 * 512, want.data(), 512) != 0)
                wrongBlock = block;
        }
        EXPECT_EQ(wrongBlock, -1);
        EXPECT_EQ(disk->getReadErrorCount(), zoneBlocks + c.lostGoodBlocks);
        EXPECT_LE(disk->failedReads, 4000);
        EXPECT_FALSE(cache.hadReadErrors(0, c.first * 512)) << "the blocks before the zone were read";
        EXPECT_TRUE(cache.hadReadErrors(c.first * 512, 1));
    }
}

// Failed runs shorter than the limit lose only their own blocks; from the eighth failure in a row
// the rest of the line is given up without asking the device.
TEST(CCachedDiskBadZone, OnlyALongRunOfFailuresGivesUpTheRestOfTheLine)
{
    const struct {
        const char* name;
        Zones zones;
        int64_t counted;
        int reads; // the line read, then block reads
    } cases[] = {
        {"scattered blocks", {{3, 4}, {10, 11}, {500, 501}}, 3, 1 + 512},
        {"seven in a row", {{100, 107}}, 7, 1 + 512},
        {"eight in a row", {{100, 108}}, 512 - 100, 1 + 108},
        {"eight in a row at the end", {{504, 512}}, 8, 1 + 512},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<CMemoryDisk> disk;
        makeZonedDisk(disk, 2048, c.zones);
        CCachedDisk cache(&*disk, kCacheBytes, kLineBytes);
        OutputCapture quiet;
        EXPECT_TRUE(cache.read(0, kLineBytes, Bytes(kLineBytes).data()));
        EXPECT_EQ(disk->getReadErrorCount(), c.counted);
        EXPECT_EQ(disk->readCalls, c.reads);
        for (const auto& [first, end] : c.zones)
            EXPECT_TRUE(cache.hadReadErrors(first * 512 + 511, 2));
        EXPECT_FALSE(cache.hadReadErrors(2 * 512, 512));
        EXPECT_TRUE(cache.hadReadErrors(0, kLineBytes));
    }
}

// Once evicted, a line is read again, but not its known bad blocks: the parts between them are
// read in one piece each, nothing fails twice and nothing is counted twice.
TEST(CCachedDiskBadZone, KnownBadBlocksAreNeverAskedForAgain)
{
    std::optional<CMemoryDisk> disk;
    makeZonedDisk(disk, 64, {{5, 7}, {20, 32}});
    CCachedDisk cache(&*disk, 2 * 8 * 512, 8 * 512); // two lines of eight blocks
    int failedAfterOnePass = 0, readsBefore = 0;
    for (int pass = 0; pass < 3; ++pass) {
        failedAfterOnePass = pass == 1 ? disk->failedReads : failedAfterOnePass;
        readsBefore = disk->readCalls;
        for (int64_t offset = 0; offset < 64 * 512; offset += 8 * 512) {
            Bytes want = expected(disk->bytes, offset, 8 * 512);
            for (int64_t block = offset / 512; block < offset / 512 + 8; ++block)
                if (disk->failingBlocks.count(block))
                    std::fill_n(want.begin() + (block % 8) * 512, 512, 0);
            ASSERT_EQ(viaRead(cache, offset, 8 * 512), want) << pass << " " << offset;
        }
        EXPECT_EQ(disk->getReadErrorCount(), 2 + 12);
    }
    EXPECT_EQ(disk->failedReads, failedAfterOnePass);
    // Lines 0 and 2 are read in two pieces around their bad blocks, line 3 not at all, the rest whole.
    EXPECT_EQ(disk->readCalls - readsBefore, 2 + 1 + 1 + 0 + 1 + 1 + 1 + 1);
}

// A range inside one line is lent from the cache and stays valid while other lines are read
// (others may be evicted, not a lent one); a range across lines is an owned copy.
TEST(CCachedDiskReadData, LentRangeSurvivesReadsOfOtherLines)
{
    CMemoryDisk disk(patternBytes(512 * 64, 19), 512);
    CCachedDisk cache(&disk, 2 * 2048, 2048);
    CData lent;
    ASSERT_TRUE(cache.readData(1048, 1000, &lent)); // up to the line's last byte
    EXPECT_FALSE(lent.isOwned());
    for (int line = 1; line < 8; ++line)
        viaRead(cache, line * 2048, 2048);
    EXPECT_EQ(Bytes(lent.getData(), lent.getData() + 1000), expected(disk.bytes, 1048, 1000));
    CData copy;
    EXPECT_EQ(viaReadData(cache, copy, 2000, 5000), expected(disk.bytes, 2000, 5000));
    EXPECT_TRUE(copy.isOwned());
}

TEST(CCachedDisk, BadArgumentsAreRefusedAndTheInnerDiskIsOpenedThroughItsCount)
{
    CMemoryDisk disk(512, 16);
    ASSERT_TRUE(disk.open(false)); // someone else holds the device open
    {
        CCachedDisk cache(&disk, 20480, 2048);
        uint8_t bytes[16] = {};
        CData buffer;
        OutputCapture quiet;
        EXPECT_FALSE(cache.read(-1, 4, bytes));
        EXPECT_FALSE(cache.read(0, -4, bytes));
        EXPECT_FALSE(cache.read(0, 4, nullptr));
        EXPECT_FALSE(cache.read(INT64_MAX - 2, 16, bytes));
        EXPECT_FALSE(cache.readData(-1, 4, &buffer));
        EXPECT_FALSE(cache.readData(0, -4, &buffer));
        EXPECT_FALSE(cache.readData(0, 4, nullptr));
        EXPECT_TRUE(cache.read(0, 0, bytes));
        EXPECT_FALSE(cache.readBlocks(-1, 1, bytes));
        EXPECT_FALSE(cache.readBlocks(0, 1, nullptr));
        EXPECT_EQ(disk.readCalls, 0);
        CCachedDisk orphan(nullptr, 20480, 2048);
        EXPECT_FALSE(orphan.readBlocks(0, 1, bytes) || orphan.read(0, 1, bytes) || orphan.open(false));
        ASSERT_TRUE(cache.open(false));
        cache.close();
        EXPECT_EQ(disk.closeCalls, 0);
        ASSERT_TRUE(cache.open(false));
        EXPECT_EQ(disk.getOpenCount(), 2);
    } // the destructor closes what the cache opened
    EXPECT_EQ(disk.getOpenCount(), 1);
    EXPECT_EQ(disk.closeCalls, 0);
    EXPECT_EQ(disk.openCalls, 1);
}

// One thread borrows lines with readData while the other copies with read and readBlocks: the cache
// keeps one lent line, safe from the other thread's reads (not from the borrower's next readData).
TEST(CCachedDiskThreads, TwoThreadsReadingAtOnceGetTheImageBytes)
{
    CMemoryDisk disk(patternBytes(512 * 2000, 21), 512);
    CCachedDisk cache(&disk, 8 * 2048, 2048); // few lines: constant eviction
    std::atomic<int> mismatches{0};
    const auto reader = [&](bool borrow) {
        std::mt19937 random(borrow ? 2 : 1);
        CData buffer;
        for (int i = 0; i < 3000; ++i) {
            const int64_t offset = int64_t(random() % disk.bytes.size());
            const int length = int(random() % 4096);
            const int64_t block = offset / 512;
            if (borrow)
                mismatches += viaReadData(cache, buffer, offset, length) != expected(disk.bytes, offset, length);
            else if (i % 2)
                mismatches += viaRead(cache, offset, length) != expected(disk.bytes, offset, length);
            else
                mismatches +=
                    viaReadBlocks(cache, block, length / 512) != expected(disk.bytes, block * 512, length / 512 * 512);
        }
    };
    std::thread copier(reader, false);
    std::thread borrower(reader, true);
    copier.join();
    borrower.join();
    EXPECT_EQ(mismatches, 0);
}
