#include "disks.h"
#include "partitiondisk.h"

#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
class CountedDisk : public CMemoryDisk {
public:
    explicit CountedDisk(int* deleted) : CMemoryDisk(512, 1), deleted(deleted) {}
    ~CountedDisk() override { ++*deleted; }
    int* deleted;
};
} // namespace

TEST(CDiskOpen, OpensAreCountedAndACloseTooManyDoesNothing)
{
    CMemoryDisk disk(512, 4);
    disk.close(); // a count gone negative would keep the next open from the device
    EXPECT_EQ(disk.getOpenCount(), 0);
    EXPECT_TRUE(disk.open(false));
    EXPECT_TRUE(disk.open(true));
    disk.close();
    EXPECT_EQ(disk.closeCalls, 0);
    disk.close();
    EXPECT_EQ(disk.openCalls, 1);
    EXPECT_EQ(disk.closeCalls, 1);
    EXPECT_FALSE(disk.openedForWrite); // a later open's flag is not looked at
}

TEST(CDiskPartitions, DuplicateIsRefusedButLosesItsWholeDiskFlag)
{
    CMemoryDisk disk(512, 100);
    EXPECT_TRUE(disk.addPartition(new CPartitionDisk(&disk, 10, 20)));
    CPartitionDisk duplicate(&disk, 10, 20);
    OutputCapture quiet;
    EXPECT_FALSE(disk.addPartition(&duplicate));
    EXPECT_FALSE(duplicate.isWholeDisk());
    EXPECT_EQ(disk.getPartitionCount(), 1);
    EXPECT_EQ(disk.getPartition(1), nullptr);
    EXPECT_EQ(disk.getPartition(-1), nullptr);
}

// Counts rounded through a float would give blocks 2^24 + 1 and 2^24 + 2 one ID.
TEST(CDiskUniqueID, CountsAndBlockNumbersAreExactIntegers)
{
    CMemoryDisk disk(512, 1, "/dev/sdz");
    disk.setName("Data");
    disk.setBlockCount((int64_t(1) << 24) + 1);
    EXPECT_EQ(disk.getUniqueID(), "Disk_/dev/sdz_Data_16777217_512");
    CPartitionDisk high(&disk, (int64_t(1) << 32) + 3, (int64_t(1) << 32) + 5);
    EXPECT_EQ(high.getUniqueID(), disk.getUniqueID() + "_Partition__4294967299_4294967301_512");
    OutputCapture quiet;
    for (int64_t start : {(int64_t(1) << 24) + 1, (int64_t(1) << 24) + 2}) {
        CPartitionDisk* lost = new CPartitionDisk(&disk, start, start + 1000);
        lost->setLost(true);
        EXPECT_TRUE(disk.addPartition(lost)) << start;
    }
}

TEST(CPartitionDisk, ReadsAtItsOffsetOnTheParentWithoutAnEndCheck)
{
    CMemoryDisk disk(512, 100);
    CPartitionDisk window(&disk, 10, 19);
    EXPECT_EQ(window.getBlockCount(), 10);
    EXPECT_EQ(CPartitionDisk(&disk, 50, 49).getBlockCount(), 0);
    uint8_t block[512];
    ASSERT_TRUE(window.readBlocks(15, 1, block));
    EXPECT_EQ(std::memcmp(block, disk.bytes.data() + 25 * 512, 512), 0);
}

TEST(CPartitionDisk, OpenCloseAndDeleteLeaveTheParentsOtherUserAlone)
{
    CMemoryDisk disk(512, 100);
    ASSERT_TRUE(disk.open(false));
    CPartitionDisk* window = new CPartitionDisk(&disk, 10, 19);
    ASSERT_TRUE(window->open(false));
    window->close();
    delete window;
    EXPECT_EQ(disk.getOpenCount(), 1);
    EXPECT_EQ(disk.closeCalls, 0);
    disk.close();
}

TEST(CPartitionDisk, DeletingAWindowDeletesThePartitionsItOwns)
{
    CMemoryDisk disk(512, 100);
    int deleted = 0;
    CPartitionDisk* window = new CPartitionDisk(&disk, 10, 19);
    ASSERT_TRUE(window->addPartition(new CountedDisk(&deleted)));
    delete window;
    EXPECT_EQ(deleted, 1);
}

TEST(CPartitionDisk, DeletingAnOpenWindowGivesBackItsOpensOnTheParent)
{
    CMemoryDisk disk(512, 100);
    CPartitionDisk* window = new CPartitionDisk(&disk, 10, 19);
    ASSERT_TRUE(window->open(false));
    ASSERT_TRUE(window->open(false));
    delete window;
    EXPECT_EQ(disk.getOpenCount(), 0);
    EXPECT_EQ(disk.closeCalls, 1);
}
