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
CMemoryDisk* diskOf(const std::string& path, const std::string& name, int64_t blocks, int type = DiskTypeFixed)
{
    CMemoryDisk* disk = new CMemoryDisk(512, 1, path);
    disk->setName(name);
    disk->setBlockCount(blocks);
    disk->setType(type);
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
    OutputCapture out;
    EXPECT_FALSE(manager.addDisk(again));
    EXPECT_NE(out.finish().find("CDiskManager::addDisk - disk already in list: Disk_/dev/a_A_100_512\n"),
              std::string::npos);
    delete again; // a refused disk stays with the caller
    EXPECT_TRUE(manager.addDisk(diskOf("/dev/b", "B", (int64_t(1) << 24) + 1)));
    EXPECT_TRUE(manager.addDisk(diskOf("/dev/b", "B", int64_t(1) << 24)));
    EXPECT_EQ(manager.getDiskCount(), 3);
}

TEST(CDiskManager, LookupsAnswerTheFirstMatchOrNull)
{
    CDiskManager manager;
    manager.addDisk(diskOf("/dev/a", "First", 100));
    manager.addDisk(diskOf("/dev/a", "Second", 100));
    EXPECT_EQ(manager.findDiskByPath("/dev/a")->getName(), "First");
    EXPECT_EQ(manager.findDiskByPath("/dev/none"), nullptr);
    EXPECT_EQ(manager.findDiskByUniqueID("Disk_/dev/a_Second_100_512")->getName(), "Second");
    EXPECT_EQ(manager.findDiskByUniqueID("Disk_/dev/a_Third_100_512"), nullptr);
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

TEST(CDiskManagerTreeModel, EmptyManagerIsASingleLeafCalledDisks)
{
    CDiskManager manager;
    CDiskManagerTreeModel model(&manager);
    EXPECT_EQ(model.getRoot(), &manager);
    EXPECT_TRUE(model.isLeaf(&manager));
    EXPECT_EQ(model.getItemText(&manager), "Disks");
    EXPECT_EQ(model.getImageIndex(&manager, false), 3);
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
    EXPECT_TRUE(model.isLeaf(model.getChild(&manager, 1)));
    EXPECT_TRUE(model.isLeaf(&stranger));
    for (auto [item, index] : {std::pair<CBase*, int>{&manager, 2}, {&manager, -1}, {disk, 1}, {disk, -1},
                               {window, 0}, {&stranger, 0}, {nullptr, 0}})
        EXPECT_EQ(model.getChild(item, index), nullptr) << index;
    EXPECT_EQ(model.getItemText(disk), "Unknown, 1.50 G");
    EXPECT_EQ(model.getItemText(model.getChild(&manager, 1)), "Data, 1.00 T");
    EXPECT_EQ(model.getItemText(&stranger), "");
}

TEST(CDiskManagerTreeModel, IconsTellFixedDisksWindowsAndLostVolumes)
{
    CDiskManager manager;
    CMemoryDisk* fixed = diskOf("/dev/a", "A", 1000, DiskTypeFixed);
    manager.addDisk(fixed);
    manager.addDisk(diskOf("/dev/b", "B", 1000, DiskTypeRemovable));
    fixed->addPartition(new CPartitionDisk(fixed, 10, 20));
    CPartitionDisk* lost = new CPartitionDisk(fixed, 30, 40);
    lost->setLost(true);
    fixed->addPartition(lost);
    CDiskManagerTreeModel model(&manager);
    EXPECT_EQ(model.getImageIndex(fixed, false), 8);
    EXPECT_EQ(model.getImageIndex(manager.getDisk(1), true), 10);
    EXPECT_EQ(model.getImageIndex(fixed->getPartition(0), false), 12);
    EXPECT_EQ(model.getImageIndex(lost, false), 13);
    fixed->setLost(true);
    EXPECT_EQ(model.getImageIndex(fixed, false), 9);
}
