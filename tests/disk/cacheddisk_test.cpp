#include "cacheddisk.h"

#include "hfsfixtures.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

namespace {
// What a read must give: the image's bytes, then zeros past its end.
std::vector<uint8_t> expected(const std::vector<uint8_t>& image, int64_t offset, int64_t length)
{
    std::vector<uint8_t> bytes(size_t(length), 0);
    const int64_t inside = std::clamp<int64_t>(int64_t(image.size()) - offset, 0, length);
    if (inside > 0)
        std::memcpy(bytes.data(), image.data() + offset, size_t(inside));
    return bytes;
}

std::vector<uint8_t> viaRead(CCachedDisk& cache, int64_t offset, int length)
{
    std::vector<uint8_t> bytes(size_t(length), 0x5A);
    EXPECT_TRUE(cache.read(offset, length, bytes.data())) << offset;
    return bytes;
}

std::vector<uint8_t> viaReadData(CCachedDisk& cache, CData& buffer, int64_t offset, int length)
{
    EXPECT_TRUE(cache.readData(offset, length, &buffer)) << offset;
    return std::vector<uint8_t>(buffer.getData(), buffer.getData() + buffer.getSize());
}

std::vector<uint8_t> viaReadBlocks(CCachedDisk& cache, int64_t block, int count)
{
    std::vector<uint8_t> bytes(size_t(count) * size_t(cache.getBlockSize()), 0x5A);
    EXPECT_TRUE(cache.readBlocks(block, count, bytes.data())) << block;
    return bytes;
}
} // namespace

// Also with a read-ahead below one block and caches below two lines (or none at all): a line holds
// at least one block and the cache at least two lines.
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

TEST(CCachedDiskRead, LineReachingPastTheEndIsReadWithTheShorterCount)
{
    CMemoryDisk disk(patternBytes(512 * 1000, 5), 512);
    CCachedDisk cache(&disk, 4194304, 262144); // 512 blocks a line: line 1 holds 488
    EXPECT_EQ(viaReadBlocks(cache, 999, 1), expected(disk.bytes, 999 * 512, 512));
    EXPECT_EQ(disk.readCalls, 1); // the memory disk refuses any read past its end
    EXPECT_EQ(disk.getReadErrorCount(), 0);
}

TEST(CCachedDiskErrors, FailingBlockIsCountedOnceAndAloneReadsAsZeros)
{
    CMemoryDisk disk(patternBytes(512 * 64, 9), 512);
    disk.failingBlocks = {5};
    CCachedDisk cache(&disk, 20480, 2048); // line 1 holds blocks 4 to 7
    std::vector<uint8_t> want = expected(disk.bytes, 4 * 512, 4 * 512);
    std::fill(want.begin() + 512, want.begin() + 1024, 0);
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    EXPECT_EQ(disk.getReadErrorCount(), 1);
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
    EXPECT_EQ(viaReadData(cache, buffer, 4 * 512, 2048), std::vector<uint8_t>(2048, 0));
    EXPECT_EQ(viaReadBlocks(cache, 4, 4), std::vector<uint8_t>(2048, 0));
    EXPECT_EQ(disk.getReadErrorCount(), 4); // four blocks, however often they are met
}

// A range inside one line is lent from the cache and stays valid while other lines are read
// (others may be evicted, not a lent one); a range across lines is an owned copy.
TEST(CCachedDiskReadData, LentRangeSurvivesReadsOfOtherLines)
{
    CMemoryDisk disk(patternBytes(512 * 64, 19), 512);
    CCachedDisk cache(&disk, 2 * 2048, 2048);
    CData lent;
    ASSERT_TRUE(cache.readData(100, 1000, &lent));
    EXPECT_FALSE(lent.isOwned());
    for (int line = 1; line < 8; ++line)
        viaRead(cache, line * 2048, 2048);
    EXPECT_EQ(std::vector<uint8_t>(lent.getData(), lent.getData() + 1000), expected(disk.bytes, 100, 1000));
    CData copy;
    EXPECT_EQ(viaReadData(cache, copy, 2000, 5000), expected(disk.bytes, 2000, 5000));
    EXPECT_TRUE(copy.isOwned());
}

TEST(CCachedDiskArguments, ReadAndReadDataRefuseBadArguments)
{
    CMemoryDisk disk(512, 16);
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
    EXPECT_EQ(disk.readCalls, 0);
}

TEST(CCachedDiskOpen, InnerDiskIsOpenedAndClosedThroughItsCount)
{
    CMemoryDisk disk(512, 16);
    ASSERT_TRUE(disk.open(false)); // someone else holds the device open
    {
        CCachedDisk cache(&disk, 20480, 2048);
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
        std::vector<uint8_t> bytes(4096);
        CData buffer;
        for (int i = 0; i < 3000; ++i) {
            const int64_t offset = int64_t(random() % disk.bytes.size());
            const int length = int(random() % 4096);
            const std::vector<uint8_t> want = expected(disk.bytes, offset, length);
            const int64_t block = offset / 512;
            bool ok;
            if (borrow)
                ok = cache.readData(offset, length, &buffer) && buffer.getSize() == uint32_t(length) &&
                     std::equal(want.begin(), want.end(), buffer.getData());
            else if (i % 2)
                ok = cache.read(offset, length, bytes.data()) && std::equal(want.begin(), want.end(), bytes.begin());
            else
                ok = cache.readBlocks(block, length / 512, bytes.data()) &&
                     std::equal(bytes.begin(), bytes.begin() + length / 512 * 512,
                                expected(disk.bytes, block * 512, length / 512 * 512).begin());
            mismatches += !ok;
        }
    };
    std::thread copier(reader, false);
    std::thread borrower(reader, true);
    copier.join();
    borrower.join();
    EXPECT_EQ(mismatches, 0);
}
