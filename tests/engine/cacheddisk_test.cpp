#include "cacheddisk.h"

#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

namespace {
std::vector<uint8_t> randomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
    return bytes;
}

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

TEST(CCachedDiskShape, LinesHoldAtLeastOneBlockAndTheCacheTwoLines)
{
    CMemoryDisk large(randomBytes(4096 * 12, 1), 4096);
    CCachedDisk halfBlock(&large, 20480, 2048); // read-ahead below one block
    EXPECT_EQ(halfBlock.getBlocksPerRead(), 1);
    EXPECT_EQ(viaRead(halfBlock, 4000, 9000), expected(large.bytes, 4000, 9000));
    CMemoryDisk small(512, 64);
    CCachedDisk tiny(&small, 100, 2048); // cache below one line
    EXPECT_EQ(tiny.getBlocksPerRead(), 4);
    EXPECT_EQ(tiny.getCacheLines(), 2);
    CCachedDisk none(&small, 0, 0);
    EXPECT_EQ(none.getCacheLines(), 2);
    EXPECT_EQ(viaRead(none, 100, 2000), expected(small.bytes, 100, 2000));
}

TEST(CCachedDiskRead, RandomRangesEqualTheImageBytesAndZerosPastTheEnd)
{
    const struct {
        int blockSize, cacheSize, readAhead;
    } shapes[] = {{512, 20480, 2048}, {512, 4194304, 262144}, {4096, 20480, 2048}, {2048, 8192, 4096}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(testing::Message() << shape.blockSize << "/" << shape.cacheSize << "/" << shape.readAhead);
        CMemoryDisk disk(randomBytes(size_t(shape.blockSize) * 1000, 7), shape.blockSize);
        CCachedDisk cache(&disk, shape.cacheSize, shape.readAhead);
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
    CMemoryDisk disk(randomBytes(512 * 1000, 5), 512);
    CCachedDisk cache(&disk, 4194304, 262144); // 512 blocks a line: line 1 holds 488
    EXPECT_EQ(viaReadBlocks(cache, 999, 1), expected(disk.bytes, 999 * 512, 512));
    EXPECT_EQ(disk.readCalls, 1); // the memory disk refuses any read past its end
    EXPECT_EQ(disk.getReadErrorCount(), 0);
}

TEST(CCachedDiskErrors, FailedLineReadIsCountedOnceAndOnlyTheFailingBlockReadsAsZeros)
{
    CMemoryDisk disk(randomBytes(512 * 64, 9), 512);
    disk.failingBlocks = {5};
    CCachedDisk cache(&disk, 20480, 2048); // line 1 holds blocks 4 to 7
    std::vector<uint8_t> want = expected(disk.bytes, 4 * 512, 4 * 512);
    std::fill(want.begin() + 512, want.begin() + 1024, 0);
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    EXPECT_EQ(disk.getReadErrorCount(), 1);
}

TEST(CCachedDiskErrors, ReusedLineShowsNoOldBytesPastTheEndOrAfterAFailedRead)
{
    CMemoryDisk disk(randomBytes(512 * 10, 11), 512);
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
    EXPECT_EQ(disk.getReadErrorCount(), 2);
}

TEST(CCachedDiskReadData, RangeInsideALineIsLentAndOneAcrossLinesIsAnOwnedCopy)
{
    CMemoryDisk disk(randomBytes(512 * 64, 15), 512);
    CCachedDisk cache(&disk, 20480, 2048);
    CData first;
    CData second;
    ASSERT_TRUE(cache.readData(2048 + 10, 100, &first));
    ASSERT_TRUE(cache.readData(2048 + 110, 100, &second));
    EXPECT_FALSE(first.isOwned());
    EXPECT_EQ(first.getData() + 100, second.getData()); // both point into the same line
    EXPECT_EQ(viaReadData(cache, second, 2000, 5000), expected(disk.bytes, 2000, 5000));
    EXPECT_TRUE(second.isOwned());
    EXPECT_EQ(second.getSize(), 5000u);
}

TEST(CCachedDiskReadData, LentLineSurvivesReadsOfOtherLines)
{
    CMemoryDisk disk(randomBytes(512 * 64, 19), 512);
    CCachedDisk cache(&disk, 2 * 2048, 2048);
    CData lent;
    ASSERT_TRUE(cache.readData(100, 1000, &lent));
    for (int line = 1; line < 8; ++line)
        viaRead(cache, line * 2048, 2048);
    EXPECT_EQ(std::vector<uint8_t>(lent.getData(), lent.getData() + 1000), expected(disk.bytes, 100, 1000));
}

TEST(CCachedDiskArguments, ReadAndReadDataRefuseBadArguments)
{
    CMemoryDisk disk(512, 16);
    CCachedDisk cache(&disk, 20480, 2048);
    uint8_t bytes[16] = {};
    CData buffer;
    OutputCapture out;
    EXPECT_FALSE(cache.read(-1, 4, bytes));
    EXPECT_FALSE(cache.read(0, -4, bytes));
    EXPECT_FALSE(cache.read(0, 4, nullptr));
    EXPECT_FALSE(cache.read(INT64_MAX - 2, 16, bytes));
    EXPECT_FALSE(cache.readData(-1, 4, &buffer));
    EXPECT_FALSE(cache.readData(0, -4, &buffer));
    EXPECT_FALSE(cache.readData(0, 4, nullptr));
    EXPECT_EQ(countOccurrences(out.finish(), "CCachedDisk::read parameter mismatch\n"), 7);
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

TEST(CCachedDiskThreads, TwoThreadsReadingAtOnceGetTheImageBytes)
{
    CMemoryDisk disk(randomBytes(512 * 2000, 21), 512);
    CCachedDisk cache(&disk, 8 * 2048, 2048); // few lines: constant eviction
    const int64_t size = int64_t(disk.bytes.size());
    std::atomic<int> mismatches{0};
    // One thread borrows lines with readData: a lent line is safe from the other thread's reads,
    // not from the borrower's own next readData.
    std::thread copier([&] {
        std::mt19937 random(1);
        std::vector<uint8_t> bytes(8192);
        for (int i = 0; i < 3000; ++i) {
            const int64_t offset = int64_t(random() % uint64_t(size));
            const int length = int(random() % 8192);
            const int64_t block = offset / 512;
            const bool ok = i % 2 ? cache.read(offset, length, bytes.data()) &&
                                        std::equal(bytes.begin(), bytes.begin() + length,
                                                   expected(disk.bytes, offset, length).begin())
                                  : cache.readBlocks(block, length / 512, bytes.data()) &&
                                        std::equal(bytes.begin(), bytes.begin() + length / 512 * 512,
                                                   expected(disk.bytes, block * 512, length / 512 * 512).begin());
            mismatches += !ok;
        }
    });
    std::thread borrower([&] {
        std::mt19937 random(2);
        CData buffer;
        for (int i = 0; i < 3000; ++i) {
            const int64_t offset = int64_t(random() % uint64_t(size));
            const int length = int(random() % 4096);
            mismatches += !cache.readData(offset, length, &buffer) || buffer.getSize() != uint32_t(length) ||
                          !std::equal(buffer.getData(), buffer.getData() + length,
                                      expected(disk.bytes, offset, length).begin());
        }
    });
    copier.join();
    borrower.join();
    EXPECT_EQ(mismatches, 0);
}
