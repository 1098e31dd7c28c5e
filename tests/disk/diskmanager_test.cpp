#include "diskmanager.h"
#include "interfaces.h"
#include "partitiondisk.h"

#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <type_traits>

// Models and listeners are deleted through these interfaces.
static_assert(std::has_virtual_destructor_v<CBase> && std::has_virtual_destructor_v<CAbstractTreeModel> &&
              std::has_virtual_destructor_v<CAbstractTableModel> && std::has_virtual_destructor_v<CStatusListener> &&
              std::has_virtual_destructor_v<CVolumeItemCallback>);

namespace {
CMemoryDisk* diskOf(const std::string& path, const std::string& name, int64_t blocks)
{
    CMemoryDisk* disk = new CMemoryDisk(512, 1, path);
    disk->setName(name);
    disk->setBlockCount(blocks);
    return disk;
}

class CountedDisk : public CMemoryDisk {
public:
    CountedDisk(const std::string& path, int* deleted) : CMemoryDisk(512, 4, path), deleted(deleted) {}
    ~CountedDisk() override { ++*deleted; }
    int* deleted;
};
} // namespace

TEST(CDiskManager, SameUniqueIDIsRefusedButCountsAbove2To24AreTellable)
{
    CDiskManager manager;
    EXPECT_TRUE(manager.addDisk(diskOf("/dev/a", "A", 100)));
    CMemoryDisk* again = diskOf("/dev/a", "A", 100);
    OutputCapture quiet;
    EXPECT_FALSE(manager.addDisk(again));
    delete again; // a refused disk stays with the caller
    EXPECT_TRUE(manager.addDisk(diskOf("/dev/b", "B", (int64_t(1) << 24) + 1)));
    EXPECT_TRUE(manager.addDisk(diskOf("/dev/b", "B", int64_t(1) << 24)));
    EXPECT_EQ(manager.getDiskCount(), 3);
}

TEST(CDiskManager, ClearAndDestructorDeleteEveryDisk)
{
    int deleted = 0;
    {
        CDiskManager manager;
        manager.addDisk(new CountedDisk("/dev/a", &deleted));
        manager.addDisk(new CountedDisk("/dev/b", &deleted));
        manager.clear();
        EXPECT_EQ(deleted, 2);
        manager.addDisk(new CountedDisk("/dev/c", &deleted));
    }
    EXPECT_EQ(deleted, 3);
}

TEST(CDiskManagerTreeModel, DisksAndTheirPartitionsAreChildrenAndOutOfRangeIsNull)
{
    CDiskManager manager;
    CMemoryDisk* disk = diskOf("/dev/a", "", int64_t(3) << 20);
    manager.addDisk(disk);
    manager.addDisk(diskOf("/dev/b", "Data", int64_t(1) << 31));
    disk->addPartition(new CPartitionDisk(disk, 10, 20));
    CBase* window = disk->getPartition(0);
    CBase stranger;
    CDiskManagerTreeModel model(&manager);
    EXPECT_EQ(model.getChildCount(&manager), 2);
    EXPECT_EQ(model.getChild(&manager, 0), disk);
    EXPECT_EQ(model.getChild(disk, 0), window);
    EXPECT_FALSE(model.isLeaf(disk));
    EXPECT_TRUE(model.isLeaf(window));
    EXPECT_TRUE(model.isLeaf(&stranger));
    for (auto [item, index] : {std::pair<CBase*, int>{&manager, 2},
                               {&manager, -1},
                               {disk, 1},
                               {disk, -1},
                               {window, 0},
                               {&stranger, 0},
                               {nullptr, 0}})
        EXPECT_EQ(model.getChild(item, index), nullptr) << index;
    EXPECT_EQ(model.getItemText(disk), "Unknown, 1.50 G");
    EXPECT_EQ(model.getItemText(model.getChild(&manager, 1)), "Data, 1.00 T");
}
