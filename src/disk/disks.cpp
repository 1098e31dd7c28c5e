#include "disks.h"

#include "logger.h"
#include "utils.h"

#include <cinttypes>
#include <cstdio>

const char* diskTypeText(int type)
{
    switch (type) {
    case DiskTypeRemovable: return "Removable";
    case DiskTypeFixed: return "Fixed";
    case DiskTypeImageFile: return "Imagefile";
    case DiskTypeOptical: return "CD/DVD";
    default: return "Unknown";
    }
}

CDisk::CDisk()
{
    std::printf("CDisk::CDisk\n");
}

CDisk::~CDisk()
{
    std::printf("CDisk::~CDisk\n");
}

void CDisk::cleanup()
{
    close();
    clearPartitions();
}

std::string CDisk::getPath() { return path; }
std::string CDisk::getName() { return name; }
std::string CDisk::getInterface() { return interface; }
void CDisk::setName(const std::string& text) { name = text; }
void CDisk::setInterface(const std::string& text) { interface = text; }
int CDisk::getBlockSize() { return blockSize; }
void CDisk::setBlockSize(int size) { blockSize = size; }
int64_t CDisk::getBlockCount() { return blockCount; }
void CDisk::setBlockCount(int64_t count) { blockCount = count; }
void CDisk::setType(int value) { type = value; }
int CDisk::getType() { return type; }
bool CDisk::isLost() { return lost; }
bool CDisk::isWholeDisk() { return wholeDisk; }
void CDisk::setLost(bool value) { lost = value; }
void CDisk::setWholeDisk(bool value) { wholeDisk = value; }
int64_t CDisk::getReadErrorCount() { return readErrorCount; }

bool CDisk::open(bool write)
{
    if (openCount < 1) {
        if (!doOpen(write))
            return false;
    }
    ++openCount;
    return true;
}

void CDisk::close()
{
    // A close without a matching open does nothing: destructors call cleanup on closed disks.
    if (openCount <= 0)
        return;
    if (--openCount == 0)
        doClose();
}

int CDisk::getPartitionCount()
{
    return int(partitions.size());
}

void CDisk::clearPartitions()
{
    for (CDisk* partition : partitions)
        delete partition;
    partitions.clear();
}

CDisk* CDisk::getPartition(int index)
{
    if (index < 0 || size_t(index) >= partitions.size())
        return nullptr;
    return partitions[size_t(index)];
}

CDisk* CDisk::findPartitionByUniqueID(const std::string& id)
{
    for (CDisk* partition : partitions)
        if (partition->getUniqueID() == id)
            return partition;
    return nullptr;
}

bool CDisk::addPartition(CDisk* partition)
{
    partition->setWholeDisk(false);
    const std::string id = partition->getUniqueID();
    // Names come from the disk (partition map, volume label): no raw control characters on the terminal.
    const std::string shown = escapeControlCharacters(id);
    std::printf("CDiskManager::addPartition %s\n", shown.c_str());
    if (findPartitionByUniqueID(id)) {
        std::printf("CDiskManager::addPartition - partition already in list: %s\n", shown.c_str());
        return false;
    }
    partitions.push_back(partition);
    return true;
}

std::string CDisk::getUniqueID()
{
    // Exact integers: rounded counts would make distinct disks share one ID.
    return "Disk_" + getPath() + "_" + getName() + "_" +
           formatString("%" PRId64 "_%d", getBlockCount(), getBlockSize());
}

void CDisk::dump()
{
    double size = double(getBlockCount() * int64_t(getBlockSize()));
    int unit = ' ';
    scaleSize(&size, &unit);
    std::printf("disk name=%s, path=%s, size=%.2f %c, type=%s, interface=%s\n", escapeControlCharacters(getName()).c_str(),
                escapeControlCharacters(getPath()).c_str(), size, unit, diskTypeText(getType()),
                escapeControlCharacters(getInterface()).c_str());
    for (size_t i = 0; i < partitions.size(); ++i) {
        std::printf("     partition %d: ", int(i));
        partitions[i]->dump();
    }
}
