// A window of consecutive blocks of a parent disk shown as a disk of its own: an Apple partition
// map entry or a lost volume. It owns nothing on the parent; opening and closing go through the
// parent's counted open and close, and reads are passed on at the window's offset.
#pragma once

#include "disks.h"

#include <cstdint>

class CPartitionDisk : public CDisk {
public:
    CPartitionDisk(CDisk* parent, int64_t firstBlock, int64_t lastBlock);
    ~CPartitionDisk() override;

    int getBlockSize() override;
    int64_t getBlockCount() override;
    bool readBlocks(int64_t block, int count, void* buffer) override;
    bool rereadBlocks(int64_t block, int count, void* buffer) override;
    bool writeBlocks(int64_t block, int count, const void* buffer) override;
    bool doOpen(bool write) override;
    void doClose() override;
    void dump() override;
    std::string getUniqueID() override;

    int64_t getFirstBlock() const { return firstBlock; }
    int64_t getLastBlock() const { return lastBlock; }
    CDisk* getParent() const { return parent; }

    int64_t firstBlock;
    int64_t lastBlock;
    CDisk* parent; // not owned: the parent owns its windows
};

// A window over the whole of disk when an HFS Plus or HFSX volume header lies at byte 1024, that
// is, a volume written without a partition map; null when there is none or the disk cannot be read.
// The window is unnamed and not yet attached to the disk.
CPartitionDisk* findWholeDiskVolume(CDisk* disk);
