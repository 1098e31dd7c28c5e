#include "cacheddisk.h"

#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

// A disk of 512-byte blocks that stores nothing: each block holds its own number followed by a
// byte of it, and a read touching a block of the bad zones fails after leaving garbage behind.
// Counts what reaches the device.
class FailingZoneDisk : public CDisk {
public:
    FailingZoneDisk(int64_t blocks, std::vector<std::pair<int64_t, int64_t>> badZones) : zones(std::move(badZones))
    {
        path = "/test/failing";
        blockSize = 512;
        blockCount = blocks;
    }
    ~FailingZoneDisk() override { cleanup(); }

    static void fillBlock(int64_t block, uint8_t* out)
    {
        std::memset(out, int(block & 0xFF), 512);
        std::memcpy(out, &block, sizeof block);
    }
    bool isBad(int64_t block) const
    {
        for (const auto& [first, end] : zones)
            if (block >= first && block < end)
                return true;
        return false;
    }

    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        ++reads;
        uint8_t* out = static_cast<uint8_t*>(buffer);
        for (int64_t b = block; b < block + count; ++b)
            if (isBad(b)) {
                ++failedReads;
                std::memset(out, 0xEE, size_t(count) * 512);
                return false;
            }
        for (int i = 0; i < count; ++i)
            fillBlock(block + i, out + size_t(i) * 512);
        return true;
    }
    bool writeBlocks(int64_t, int, const void*) override { return false; }
    bool doOpen(bool) override { return true; }
    void doClose() override {}

    std::vector<std::pair<int64_t, int64_t>> zones; // [first, end) blocks
    int64_t reads = 0;
    int64_t failedReads = 0;
};

constexpr int64_t kMiB = 1024 * 1024;
constexpr int kLineBytes = 262144; // the recovery configuration: 512 blocks a line, 16 lines
constexpr int kCacheBytes = 4194304;

// Reads the whole disk in line-sized pieces, as the deleted-files scan does, and checks every
// block: a block outside the zones has its bytes, one counted unreadable reads as zeros. Answers
// the first block that is wrong, -1 when all are right.
int64_t scanWholeDisk(CCachedDisk& cache, FailingZoneDisk& disk)
{
    CData data;
    std::vector<uint8_t> want(512);
    const std::vector<uint8_t> zeros(512, 0);
    for (int64_t offset = 0; offset < disk.getBlockCount() * 512; offset += kLineBytes) {
        if (!cache.readData(offset, kLineBytes, &data))
            return offset / 512;
        for (int i = 0; i < kLineBytes / 512; ++i) {
            const int64_t block = offset / 512 + i;
            const uint8_t* got = data.getData() + size_t(i) * 512;
            FailingZoneDisk::fillBlock(block, want.data());
            const bool lost = disk.isBad(block) || cache.hadReadErrors(block * 512, 512);
            if (std::memcmp(got, lost ? zeros.data() : want.data(), 512) != 0)
                return block;
        }
    }
    return -1;
}

} // namespace

// A 100 MiB bad zone is counted block by block and costs a few thousand failed device reads, not
// one per block. A zone that does not start or end on a line boundary gives up at most the rest
// of the line it ends in; its blocks before the zone are read.
TEST(CCachedDiskBadZone, HundredMiBZoneIsCountedByBlockAtAFewThousandFailedReads)
{
    const int64_t zoneBlocks = 100 * kMiB / 512;
    const struct {
        const char* name;
        int64_t first;
        int64_t lostGoodBlocks; // good blocks after the zone in the line it ends in
    } cases[] = {{"line aligned", 20 * 512, 0}, {"unaligned", 20 * 512 + 37, 512 - 37}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FailingZoneDisk disk(120 * kMiB / 512, {{c.first, c.first + zoneBlocks}});
        CCachedDisk cache(&disk, kCacheBytes, kLineBytes);
        OutputCapture quiet;
        const int64_t wrongBlock = scanWholeDisk(cache, disk);
        quiet.finish();
        EXPECT_EQ(wrongBlock, -1);
        EXPECT_EQ(disk.getReadErrorCount(), zoneBlocks + c.lostGoodBlocks);
        EXPECT_LE(disk.failedReads, 4000);
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
        std::vector<std::pair<int64_t, int64_t>> zones;
        int64_t counted;
        int64_t reads; // the line read, then block reads
    } cases[] = {
        {"scattered blocks", {{3, 4}, {10, 11}, {500, 501}}, 3, 1 + 512},
        {"seven in a row", {{100, 107}}, 7, 1 + 512},
        {"eight in a row", {{100, 108}}, 512 - 100, 1 + 108},
        {"eight in a row at the end", {{504, 512}}, 8, 1 + 512},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FailingZoneDisk disk(2048, c.zones);
        CCachedDisk cache(&disk, kCacheBytes, kLineBytes);
        std::vector<uint8_t> line(kLineBytes);
        OutputCapture quiet;
        const bool read = cache.read(0, kLineBytes, line.data());
        quiet.finish();
        EXPECT_TRUE(read);
        EXPECT_EQ(disk.getReadErrorCount(), c.counted);
        EXPECT_EQ(disk.reads, c.reads);
        for (const auto& [first, end] : c.zones)
            EXPECT_TRUE(cache.hadReadErrors(first * 512 + 511, 2));
        EXPECT_FALSE(cache.hadReadErrors(2 * 512, 512));
    }
}

// Once evicted, a line is read again, but not its known bad blocks: the parts between them are
// read in one piece each, nothing fails twice and nothing is counted twice.
TEST(CCachedDiskBadZone, KnownBadBlocksAreNeverAskedForAgain)
{
    FailingZoneDisk disk(64, {{5, 7}, {20, 32}});
    CCachedDisk cache(&disk, 2 * 8 * 512, 8 * 512); // two lines of eight blocks
    for (int pass = 0; pass < 2; ++pass)
        for (int64_t offset = 0; offset < 64 * 512; offset += 8 * 512) {
            std::vector<uint8_t> bytes(8 * 512);
            ASSERT_TRUE(cache.read(offset, 8 * 512, bytes.data()));
        }
    EXPECT_EQ(disk.getReadErrorCount(), 2 + 12);
    const int64_t failedAfterOnePass = disk.failedReads;
    const int64_t readsBefore = disk.reads;
    for (int64_t offset = 0; offset < 64 * 512; offset += 8 * 512) {
        std::vector<uint8_t> bytes(8 * 512);
        ASSERT_TRUE(cache.read(offset, 8 * 512, bytes.data()));
        for (int i = 0; i < 8; ++i) {
            const int64_t block = offset / 512 + i;
            std::vector<uint8_t> want(512, 0);
            if (!disk.isBad(block))
                FailingZoneDisk::fillBlock(block, want.data());
            ASSERT_EQ(std::memcmp(bytes.data() + i * 512, want.data(), 512), 0) << block;
        }
    }
    EXPECT_EQ(disk.failedReads, failedAfterOnePass);
    // Lines 0 and 2 are read in two pieces around their bad blocks, line 3 not at all, the rest whole.
    EXPECT_EQ(disk.reads - readsBefore, 2 + 1 + 1 + 0 + 1 + 1 + 1 + 1);
    EXPECT_EQ(disk.getReadErrorCount(), 2 + 12);
}
