#include "diskmanager.h"
#include "disks.h"
#include "interfaces.h"
#include "partitiondisk.h"

#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>
#include <type_traits>

// Models and listeners are deleted through these interfaces.
static_assert(std::has_virtual_destructor_v<CBase> && std::has_virtual_destructor_v<CAbstractTreeModel> &&
              std::has_virtual_destructor_v<CAbstractTableModel> && std::has_virtual_destructor_v<CStatusListener> &&
              std::has_virtual_destructor_v<CVolumeItemCallback>);
namespace {
class CountedDisk : public CMemoryDisk {
public:
    CountedDisk(const std::string& path, int* deleted, const std::string& name = "", int64_t blocks = 4)
        : CMemoryDisk(512, 1, path), deleted(deleted)
    {
        setName(name);
        setBlockCount(blocks);
    }
    ~CountedDisk() override { ++*deleted; }
    int* deleted;
};
} // namespace
// A count gone negative would keep the next open from the device; a deleted window gives back its opens.
TEST(CDiskOpen, OpensAreCountedAndAWindowGivesBackOnlyItsOwnOpensOnTheParent)
{
    CMemoryDisk disk(512, 4);
    disk.close();
    EXPECT_EQ(disk.getOpenCount(), 0);
    EXPECT_TRUE(disk.open(false));
    EXPECT_TRUE(disk.open(true));
    disk.close();
    disk.close();
    EXPECT_EQ(std::tuple(disk.openCalls, disk.closeCalls, disk.openedForWrite), std::tuple(1, 1, false));
    const struct {
        bool parentHeld;
        int windowOpens, windowCloses;
        int parentOpens, parentCloses; // afterwards
    } cases[] = {{true, 1, 1, 1, 0}, {false, 2, 0, 0, 1}, {true, 2, 0, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.parentHeld << c.windowOpens << c.windowCloses);
        CMemoryDisk parent(512, 100);
        ASSERT_TRUE(!c.parentHeld || parent.open(false));
        auto* window = new CPartitionDisk(&parent, 10, 19);
        int deleted = 0;
        ASSERT_TRUE(window->addPartition(new CountedDisk("/dev/p", &deleted)));
        for (int i = 0; i < c.windowOpens; ++i)
            ASSERT_TRUE(window->open(false));
        for (int i = 0; i < c.windowCloses; ++i)
            window->close();
        delete window;
        EXPECT_EQ(deleted, 1) << "a window owns its partitions";
        EXPECT_EQ(parent.getOpenCount(), c.parentOpens);
        EXPECT_EQ(parent.closeCalls, c.parentCloses);
    }
}
// Counts and block numbers rounded through a float would give neighbours past 2^24 one ID.
TEST(CDiskUniqueID, CountsAndBlockNumbersAreExactIntegers)
{
    CMemoryDisk disk(512, 1, "/dev/sdz");
    disk.setName("Data");
    disk.setBlockCount((int64_t(1) << 24) + 1);
    EXPECT_EQ(disk.getUniqueID(), "Disk_/dev/sdz_Data_16777217_512");
    CPartitionDisk high(&disk, (int64_t(1) << 32) + 3, (int64_t(1) << 32) + 5);
    EXPECT_EQ(high.getUniqueID(), disk.getUniqueID() + "_Partition__4294967299_4294967301_512");
}
TEST(CDiskManagerTreeModel, DisksAndTheirPartitionsAreChildrenAndOutOfRangeIsNull)
{
    int deleted = 0;
    std::optional<CDiskManager> manager(std::in_place);
    CDisk* disk = new CountedDisk("/dev/a", &deleted, "", int64_t(3) << 20);
    CDisk* second = new CountedDisk("/dev/b", &deleted, "Data", int64_t(1) << 31);
    manager->addDisk(disk);
    manager->addDisk(second);
    disk->addPartition(new CPartitionDisk(disk, 10, 20));
    second->addPartition(new CPartitionDisk(second, 30, 40));
    second->addPartition(new CPartitionDisk(second, 50, 60));
    CBase* window = disk->getPartition(0);
    CBase stranger;
    CDiskManagerTreeModel model(&*manager);
    EXPECT_TRUE(manager->getDisk(1) == second && !manager->getDisk(2) && !manager->getDisk(-1));
    EXPECT_EQ(model.getChild(&*manager, 0), disk);
    EXPECT_EQ(model.getChild(disk, 0), window);
    EXPECT_EQ(model.getChildCount(second), 2);
    EXPECT_EQ(model.getChild(second, 1), second->getPartition(1)) << "the second disk's own windows";
    EXPECT_TRUE(!model.isLeaf(disk) && model.isLeaf(window) && model.isLeaf(&stranger));
    const std::pair<CBase*, int> outOfRange[] = {{&*manager, 2}, {&*manager, -1}, {disk, 1},   {disk, -1},
                                                 {window, 0},    {&stranger, 0},  {nullptr, 0}};
    for (const auto& [item, index] : outOfRange)
        EXPECT_EQ(model.getChild(item, index), nullptr) << index;
    EXPECT_EQ(model.getItemText(disk), "Unknown, 1.50 G");
    EXPECT_EQ(model.getItemText(second), "Data, 1.00 T");
    // Icons: the list, a removable disk, a partition, a fixed disk, each found whole or lost.
    std::vector<int> icons = {model.getImageIndex(&*manager, false), model.getImageIndex(&stranger, false)};
    second->setType(DiskTypeFixed);
    for (bool lost : {false, true})
        for (CDisk* item : {disk, disk->getPartition(0), second}) {
            item->setLost(lost);
            icons.push_back(model.getImageIndex(item, false));
        }
    EXPECT_EQ(icons, (std::vector<int>{3, 10, 10, 12, 8, 11, 13, 9}));
    manager->clear();
    EXPECT_EQ(deleted, 2);
    manager->addDisk(new CountedDisk("/dev/c", &deleted));
    manager.reset();
    EXPECT_EQ(deleted, 3);
}
