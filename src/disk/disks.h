// The engine's abstract block device: a named device read in whole blocks, opened with a reference
// count, owning the partitions found on it and identified by a unique ID text. Subclasses supply
// the device itself; read failures are reported as false, never thrown.
#pragma once

#include "interfaces.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

enum CDiskType { DiskTypeRemovable = 1, DiskTypeFixed = 2, DiskTypeImageFile = 3, DiskTypeOptical = 4 };

class CDisk : public CBase {
public:
    CDisk();
    ~CDisk() override;
    CDisk(const CDisk&) = delete;
    CDisk& operator=(const CDisk&) = delete;

    virtual void cleanup();
    virtual std::string getPath();
    virtual std::string getName();
    virtual std::string getInterface();
    virtual void setName(const std::string& text);
    virtual void setInterface(const std::string& text);
    virtual int getBlockSize();
    virtual void setBlockSize(int size);
    virtual int64_t getBlockCount();
    virtual void setBlockCount(int64_t count);
    virtual void setType(int value);
    virtual int getType();
    // Reads count whole blocks starting at block into buffer (count x getBlockSize bytes).
    virtual bool readBlocks(int64_t block, int count, void* buffer) = 0;
    // Reads blocks where a read failed, or beside them: a device read through the page cache fails
    // a whole page for one bad sector, so a disk that can read past that cache does so here.
    virtual bool rereadBlocks(int64_t block, int count, void* buffer) { return readBlocks(block, count, buffer); }
    virtual bool writeBlocks(int64_t block, int count, const void* buffer) = 0;
    virtual bool open(bool write);
    virtual void close();
    virtual bool doOpen(bool write) = 0;
    virtual void doClose() = 0;
    virtual void dump();
    virtual int getPartitionCount();
    virtual void clearPartitions();
    // Null for an index out of range.
    virtual CDisk* getPartition(int index);
    virtual CDisk* findPartitionByUniqueID(const std::string& id);
    // Takes ownership on success; a refused partition stays with the caller.
    virtual bool addPartition(CDisk* partition);
    virtual void scanForPartitions();
    virtual bool isLost();
    virtual bool isWholeDisk();
    virtual void setLost(bool value);
    virtual void setWholeDisk(bool value);
    virtual std::string getUniqueID();
    // Blocks of this disk that a block cache over it could not read.
    virtual int64_t getReadErrorCount();

    int getOpenCount() const { return openCount; }

protected:
    friend class CCachedDisk; // counts the unreadable blocks of the device it wraps

    std::string path;
    std::string name;
    std::string interface;
    int blockSize = 0;
    int64_t blockCount = 0;
    int type = 0;
    std::vector<CDisk*> partitions;
    int openCount = 0;
    bool lost = false;
    bool wholeDisk = true;
    std::atomic<int64_t> readErrorCount{0};
};

// Type text of a CDiskType value as dumps print it.
const char* diskTypeText(int type);
