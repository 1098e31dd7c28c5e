#include "cacheddisk.h"

#include "hfsfixtures.h"
#include "memorydisk.h"
#include "outputcapture.h"
#include "partitiondisk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <tuple>

namespace {
using Bytes = std::vector<uint8_t>;
using Zones = std::vector<std::pair<int64_t, int64_t>>; // [first, end) blocks
// What a read must give: the image's bytes, then zeros past its end; blocks in zones read as zeros.
Bytes expected(const Bytes& image, int64_t offset, int64_t length, const Zones& zones = {})
{
    Bytes bytes(size_t(length), 0);
    const int64_t inside = std::clamp<int64_t>(int64_t(image.size()) - offset, 0, length);
    if (inside > 0)
        std::memcpy(bytes.data(), image.data() + offset, size_t(inside));
    for (const auto& [first, end] : zones)
        for (int64_t at = std::max(offset, first * 512); at < std::min(offset + length, end * 512); ++at)
            bytes[size_t(at - offset)] = 0;
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
// Reads the whole disk line by line; every block reads as the image, or as zeros where counted.
void expectCountedExactly(CMemoryDisk& disk, CCachedDisk& cache, const Zones& counted)
{
    const int line = cache.getBlocksPerRead() * 512;
    for (int64_t offset = 0; offset < int64_t(disk.bytes.size()); offset += line)
        ASSERT_EQ(viaRead(cache, offset, line), expected(disk.bytes, offset, line, counted)) << offset;
    int64_t blocks = 0;
    for (const auto& [first, end] : counted)
        blocks += end - first;
    EXPECT_EQ(disk.getReadErrorCount(), blocks);
    for (int64_t block = 0; block < disk.getBlockCount(); ++block) {
        const bool bad = std::any_of(counted.begin(), counted.end(),
                                     [&](const auto& zone) { return block >= zone.first && block < zone.second; });
        ASSERT_EQ(cache.hadReadErrors(block * 512, 512), bad) << block;
    }
}
} // namespace
// A read-ahead below one block and caches below two lines are raised to one block and two lines.
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
            ASSERT_TRUE(cache.readData(offset, length, &buffer));
            ASSERT_EQ(Bytes(buffer.getData(), buffer.getData() + length), expected(disk.bytes, offset, length));
            const int64_t block = int64_t(random() % 1003);
            const int count = int(random() % uint64_t(3 * cache.getBlocksPerRead() + 1));
            Bytes blocks(size_t(count) * size_t(shape.blockSize));
            ASSERT_TRUE(cache.readBlocks(block, count, blocks.data()));
            ASSERT_EQ(blocks, expected(disk.bytes, block * shape.blockSize, int64_t(count) * shape.blockSize));
        }
        EXPECT_EQ(disk.getReadErrorCount(), 0);
    }
}
// The device leaves garbage in a failed read; the cache gives zeros for the failed block only.
TEST(CCachedDiskErrors, FailingBlockIsCountedOnceAndAloneReadsAsZeros)
{
    CMemoryDisk disk(patternBytes(512 * 64, 9), 512);
    disk.failingBlocks = {5};
    CCachedDisk cache(&disk, 20480, 2048); // line 1 holds blocks 4 to 7
    const Bytes want = expected(disk.bytes, 4 * 512, 4 * 512, {{5, 6}});
    EXPECT_EQ(viaRead(cache, 4 * 512, 4 * 512), want);
    Bytes blocks(4 * 512);
    EXPECT_TRUE(cache.readBlocks(4, 4, blocks.data()));
    EXPECT_EQ(blocks, want);
    EXPECT_EQ(viaRead(cache, 6 * 512, 512), expected(disk.bytes, 6 * 512, 512));
    EXPECT_EQ(std::tuple(disk.getReadErrorCount(), cache.getUnreadableReads(), disk.readCalls), std::tuple(1, 2, 5));
}
// Whole pages of eight blocks fail, as Linux reads a failing disk; lines are 512 blocks.
TEST(CCachedDiskBadPages, ReadablePagesBesideBadOnesAreKeptAtFewFailedReads)
{
    const struct {
        const char* name;
        Zones failing, counted;
        int maxFailedReads;
    } cases[] = {
        {"one page mid-line", {{600, 608}}, {{600, 608}}, 4},
        {"page at a line's start", {{512, 520}}, {{512, 520}}, 4},
        {"page at a line's end", {{1016, 1024}}, {{1016, 1024}}, 4},
        {"pages apart", {{520, 528}, {536, 544}}, {{520, 528}, {536, 544}}, 7},
        {"wholly bad line", {{512, 1024}}, {{512, 1024}}, 4},
        {"zone across three lines", {{592, 1576}}, {{592, 1576}}, 4 + 2 + 2},
        {"what lies between two zones of a line", {{600, 616}, {704, 712}}, {{600, 712}}, 4},
        {"one bad sector, on a device that fails sectors", {{605, 606}}, {{605, 606}}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<CMemoryDisk> disk;
        makeZonedDisk(disk, 2048, c.failing);
        CCachedDisk cache(&*disk, kCacheBytes, kLineBytes);
        expectCountedExactly(*disk, cache, c.counted);
        EXPECT_LE(disk->failedReads, c.maxFailedReads);
    }
}
// A window starting three blocks into a device page: its pages are the device's, not its own.
TEST(CCachedDiskBadPages, PagesFollowTheDeviceThroughAPartitionWindow)
{
    std::optional<CMemoryDisk> device;
    makeZonedDisk(device, 2048, {{608, 616}});
    CPartitionDisk window(&*device, 3, 2047);
    CCachedDisk cache(&window, kCacheBytes, kLineBytes);
    const Bytes image(device->bytes.begin() + 3 * 512, device->bytes.end());
    for (int64_t offset = 0; offset < int64_t(image.size()); offset += kLineBytes) {
        const int length = int(std::min<int64_t>(kLineBytes, int64_t(image.size()) - offset));
        ASSERT_EQ(viaRead(cache, offset, length), expected(image, offset, length, {{605, 613}})) << offset;
    }
    EXPECT_EQ(window.getReadErrorCount(), 8);
    EXPECT_EQ(device->failedReads, 4);
}
// Reads of a line with a bad page tell damage only when their own bytes include it.
TEST(CCachedDiskBadPages, OnlyReadsTouchingTheBadPageMeetDamage)
{
    std::optional<CMemoryDisk> disk;
    makeZonedDisk(disk, 2048, {{600, 608}});
    CCachedDisk cache(&*disk, kCacheBytes, kLineBytes);
    CData lent;
    const struct {
        int64_t offset;
        int length;
        bool damaged;
    } reads[] = {{512 * 512, 88 * 512, false}, {599 * 512, 512, false},  {599 * 512 + 511, 2, true},
                 {607 * 512 + 511, 2, true},   {608 * 512, 4096, false}, {0, 2 * kLineBytes, true}};
    for (const auto& r : reads) {
        SCOPED_TRACE(r.offset);
        const int64_t before = cache.getUnreadableReads();
        viaRead(cache, r.offset, r.length);
        ASSERT_TRUE(cache.readData(r.offset, r.length, &lent));
        EXPECT_EQ(cache.getUnreadableReads() - before, r.damaged ? 2 : 0);
        EXPECT_EQ(cache.hadReadErrors(r.offset, r.length), r.damaged);
    }
}
// An operation counts the unreadable blocks it was handed, once each, also those an earlier one
// made the device fail; a line's bad page that the operation never asked for is not its damage.
TEST(CCachedDiskBadPages, AnOperationCountsTheBadBlocksItMetOnceEach)
{
    std::optional<CMemoryDisk> disk;
    makeZonedDisk(disk, 2048, {{600, 608}});
    CCachedDisk cache(&*disk, kCacheBytes, kLineBytes);
    const struct {
        const char* operation;
        std::vector<std::pair<int64_t, int>> reads; // offset, length
        int64_t counted;
    } operations[] = {
        {"reads beside the bad page in its line", {{512 * 512, 88 * 512}, {608 * 512, 4096}}, 0},
        {"reads over half the page, twice", {{596 * 512, 8 * 512}, {596 * 512, 8 * 512}}, 4},
        {"reads over the page the device failed before", {{0, 2 * kLineBytes}}, 8},
    };
    for (const auto& op : operations) {
        SCOPED_TRACE(op.operation);
        cache.restartOperationCount();
        for (const auto& [offset, length] : op.reads)
            viaRead(cache, offset, length);
        EXPECT_EQ(cache.getOperationUnreadableBlocks(), op.counted);
    }
    EXPECT_EQ(disk->getReadErrorCount(), 8);
}
// A zone not on page boundaries also costs the readable blocks of the two pages at its edges.
TEST(CCachedDiskBadZone, HundredMiBZoneCostsAtMostAThousandFailedReadsAndCountsEveryBlock)
{
    const int64_t zoneBlocks = 100 * 2048;
    const struct {
        int64_t first;
        int64_t lostGoodBlocks; // readable blocks in the pages at the zone's edges
    } cases[] = {{20 * 512, 0}, {20 * 512 + 40, 0}, {20 * 512 + 37, 5 + 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        std::optional<CMemoryDisk> disk;
        makeZonedDisk(disk, 120 * 2048, {{c.first, c.first + zoneBlocks}});
        CCachedDisk cache(&*disk, kCacheBytes, kLineBytes);
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
        EXPECT_LE(disk->failedReads, 1000);
        const int64_t zoneStart = c.first / 8 * 8;
        EXPECT_FALSE(cache.hadReadErrors(0, zoneStart * 512)) << "the pages before the zone were read";
        EXPECT_FALSE(cache.hadReadErrors((zoneStart + zoneBlocks + 8) * 512, 512)) << "and the pages after it";
    }
}
// An evicted line is read again in the pieces between its known bad blocks; nothing fails twice.
TEST(CCachedDiskBadZone, KnownBadBlocksAreNeverAskedForAgain)
{
    std::optional<CMemoryDisk> disk;
    const Zones zones = {{5, 7}, {20, 32}};
    makeZonedDisk(disk, 64, zones);
    CCachedDisk cache(&*disk, 2 * 8 * 512, 8 * 512); // two lines of eight blocks
    int failedAfterOnePass = 0, readsBefore = 0;
    for (int pass = 0; pass < 3; ++pass) {
        failedAfterOnePass = pass == 1 ? disk->failedReads : failedAfterOnePass;
        readsBefore = disk->readCalls;
        for (int64_t offset = 0; offset < 64 * 512; offset += 8 * 512)
            ASSERT_EQ(viaRead(cache, offset, 8 * 512), expected(disk->bytes, offset, 8 * 512, zones)) << offset;
        EXPECT_EQ(disk->getReadErrorCount(), 2 + 12);
    }
    EXPECT_EQ(disk->failedReads, failedAfterOnePass);
    // Lines 0 and 2 are read in two pieces around their bad blocks, line 3 not at all, the rest whole.
    EXPECT_EQ(disk->readCalls - readsBefore, 2 + 1 + 1 + 0 + 1 + 1 + 1 + 1);
}
// A range inside one line is lent and stays valid while other lines are read; across lines, a copy.
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
    ASSERT_TRUE(cache.readData(2000, 5000, &copy));
    EXPECT_TRUE(copy.isOwned());
}
TEST(CCachedDisk, BadArgumentsAndAMissingDiskAreRefusedWithoutReadingTheDevice)
{
    CMemoryDisk disk(512, 16);
    CCachedDisk cache(&disk, 20480, 2048);
    CCachedDisk orphan(nullptr, 20480, 2048);
    uint8_t bytes[16] = {};
    CData buffer;
    OutputCapture quiet;
    EXPECT_FALSE(cache.read(-1, 4, bytes) || cache.read(0, -4, bytes) || cache.read(0, 4, nullptr) ||
                 cache.read(INT64_MAX - 2, 16, bytes));
    EXPECT_FALSE(cache.readData(-1, 4, &buffer) || cache.readData(0, -4, &buffer) || cache.readData(0, 4, nullptr));
    EXPECT_TRUE(cache.read(0, 0, bytes));
    EXPECT_FALSE(cache.readBlocks(-1, 1, bytes) || cache.readBlocks(0, 1, nullptr));
    EXPECT_FALSE(cache.hadReadErrors(-1, 1) || cache.hadReadErrors(0, 0) || cache.hadReadErrors(INT64_MAX, 2));
    EXPECT_EQ(disk.readCalls, 0);
    EXPECT_FALSE(orphan.readBlocks(0, 1, bytes) || orphan.read(0, 1, bytes) || orphan.open(false));
}
