#include "diskmanager.h"

#include "logger.h"
#include "partitiondisk.h"
#include "utils.h"

#include <cstdio>

CDiskManager::CDiskManager()
{
    std::printf("CDiskManager::CDiskManager\n");
}

CDiskManager::~CDiskManager()
{
    std::printf("CDiskManager::~CDiskManager\n");
    CDiskManager::clear();
}

void CDiskManager::scanForDisks() {}

void CDiskManager::scanForPartitions()
{
    std::printf("CDiskManager::scanForPartitions\n");
    for (CDisk* disk : disks)
        disk->scanForPartitions();
}

int CDiskManager::getDiskCount()
{
    return int(disks.size());
}

CDisk* CDiskManager::getDisk(int index)
{
    if (index < 0 || size_t(index) >= disks.size())
        return nullptr;
    return disks[size_t(index)];
}

CDisk* CDiskManager::findDiskByPath(const std::string& path)
{
    for (CDisk* disk : disks)
        if (disk->getPath() == path)
            return disk;
    return nullptr;
}

CDisk* CDiskManager::findDiskByUniqueID(const std::string& id)
{
    for (CDisk* disk : disks)
        if (disk->getUniqueID() == id)
            return disk;
    return nullptr;
}

void CDiskManager::clear()
{
    for (CDisk* disk : disks)
        delete disk;
    disks.clear();
}

bool CDiskManager::addDisk(CDisk* disk)
{
    const std::string id = disk->getUniqueID();
    const bool listed = findDiskByUniqueID(id) != nullptr;
    const std::string shown = escapeControlCharacters(id);
    std::printf("CDiskManager::addDisk %s\n", shown.c_str());
    if (listed) {
        std::printf("CDiskManager::addDisk - disk already in list: %s\n", shown.c_str());
        return false;
    }
    disks.push_back(disk);
    return true;
}

void CDiskManager::dump()
{
    std::printf("---------CDiskManager::dump-----------\n");
    for (size_t i = 0; i < disks.size(); ++i) {
        std::printf("%d: ", int(i));
        disks[i]->dump();
    }
    std::printf("---------------------------------------\n");
}

CBase* CDiskManagerTreeModel::getRoot()
{
    return manager;
}

bool CDiskManagerTreeModel::isLeaf(CBase* item)
{
    return getChildCount(item) == 0;
}

int CDiskManagerTreeModel::getChildCount(CBase* item)
{
    if (item && item == manager)
        return manager->getDiskCount();
    if (dynamic_cast<CPartitionDisk*>(item))
        return 0;
    if (CDisk* disk = dynamic_cast<CDisk*>(item))
        return disk->getPartitionCount();
    return 0;
}

CBase* CDiskManagerTreeModel::getChild(CBase* item, int index)
{
    if (item && item == manager)
        return manager->getDisk(index);
    if (CDisk* disk = dynamic_cast<CDisk*>(item))
        return disk->getPartition(index);
    return nullptr;
}

std::string CDiskManagerTreeModel::getItemText(CBase* item)
{
    if (item && item == manager)
        return "Disks";
    CDisk* disk = dynamic_cast<CDisk*>(item);
    if (!disk)
        return "";
    std::string name = disk->getName();
    if (name.empty())
        name = "Unknown";
    double size = double(disk->getBlockCount() * int64_t(disk->getBlockSize()));
    int unit = ' ';
    scaleSize(&size, &unit);
    return name + formatString(", %.2f %c", size, unit);
}

void CDiskManagerTreeModel::reservedSlot5(CBase*, int) {}

int CDiskManagerTreeModel::getImageIndex(CBase* item, bool)
{
    if (item && item == manager)
        return NoDiskListImage;
    CDisk* disk = dynamic_cast<CDisk*>(item);
    if (!disk)
        return RemovableImage;
    if (!disk->isWholeDisk())
        return disk->isLost() ? VolumeLostImage : VolumeImage;
    if (disk->getType() == DiskTypeFixed)
        return disk->isLost() ? FixedLostImage : FixedImage;
    return disk->isLost() ? RemovableLostImage : RemovableImage;
}
