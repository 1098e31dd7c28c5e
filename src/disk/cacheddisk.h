// A disk that wraps another disk with a least-recently-used cache of lines of consecutive blocks.
// It owns its line buffers (not the inner disk). A line the device fails is read again by pages,
// keeping every readable one; unreadable blocks are counted on the inner disk one per block, never
// asked for again and read as zeros, as are bytes past the disk's end. One lock guards it all.
#pragma once

#include "data.h"
#include "disks.h"
#include "threads.h"

#include <cstdint>
#include <map>
#include <vector>

class CCachedDisk : public CDisk {
public:
    // Sizes in bytes; at least one block a line and two lines are used whatever is asked.
    CCachedDisk(CDisk* inner, int cacheSize, int readAheadSize);
    ~CCachedDisk() override;

    int getBlockSize() override;
    int64_t getBlockCount() override;
    bool readBlocks(int64_t block, int count, void* buffer) override;
    bool writeBlocks(int64_t block, int count, const void* buffer) override;
    bool doOpen(bool write) override;
    void doClose() override;

    // Copies length bytes at a byte offset of the disk into buffer.
    virtual bool read(int64_t offset, int length, void* buffer);
    // Like read, but a range inside one line is lent (no copy) until the next readData.
    virtual bool readData(int64_t offset, int length, CData* buffer);

    // True when a block of the byte range could not be read (its bytes were given as zeros).
    bool hadReadErrors(int64_t offset, int64_t length);
    // How many reads so far handed out zeros of an unreadable block, whether the device failed
    // during that read or earlier: a copy that raised it met damage, even from a cached line.
    int64_t getUnreadableReads();
    // The unreadable blocks handed out since the last restart, each once: what one operation met,
    // whether the device failed them during it or before.
    void restartOperationCount();
    int64_t getOperationUnreadableBlocks();

    int getBlocksPerRead() const { return blocksPerRead; }
    int getCacheLines() const { return cacheLines; }

    CDisk* disk; // the inner disk; not owned

private:
    uint8_t* fetchBlock(int64_t block); // lock held
    void loadLine(int64_t line, uint8_t* buffer);
    void readRange(int64_t first, int64_t end, uint8_t* buffer, bool afterFailure);
    bool readPiece(int64_t first, int64_t end, uint8_t* buffer);
    void trimPage(int64_t first, int64_t end, uint8_t* buffer);
    int64_t pageStart(int64_t block) const; // the first block of the device page holding block
    int64_t pageEnd(int64_t block) const;   // the block after that page
    void markFailed(int64_t first, int64_t end);
    // The failed run holding block, else the first one after it. Lock held.
    std::map<int64_t, int64_t>::const_iterator failedRunFrom(int64_t block) const;
    bool touchesFailed(int64_t first, int64_t end) const;          // lock held; blocks [first, end)
    bool touchesFailedBytes(int64_t offset, int64_t length) const; // lock held; bytes
    void noteRead(int64_t offset, int64_t length);                 // lock held; bytes
    void noteUnreadable(int64_t first, int64_t end);               // lock held; blocks, counted if any failed
    bool validRequest(int64_t offset, int length, const void* buffer) const;

    std::map<int64_t, uint8_t*> lines;
    std::vector<int64_t> lruList;
    std::map<int64_t, int64_t> failedBlocks; // first block -> end of a run of unreadable blocks; runs never touch
    int64_t unreadableReads = 0;
    std::map<int64_t, int64_t> operationBlocks; // the failed runs handed out since the restart
    int64_t operationUnreadable = 0;
    int64_t lockedLine = -1;
    int cacheLines = 2;
    CMutex lruMutex;
    int blocksPerRead = 1;
    int innerBlockSize = 0;
    size_t lineBytes = 0;
    int pageBlocks = 1;    // blocks in a device page (4096 bytes, or one block when larger)
    int64_t pageShift = 0; // this disk's block 0 lies this many blocks into a device page
};
