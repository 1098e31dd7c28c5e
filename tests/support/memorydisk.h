// A disk held in memory for tests: its bytes are a vector the test fills, reads can be made to fail
// from a chosen block on, and every call is counted so tests can see what reached the device.
#pragma once

#include "disks.h"

#include <cstdint>
#include <set>
#include <vector>

class CMemoryDisk : public CDisk {
public:
    CMemoryDisk(int blockSize, int64_t blockCount, std::string path = "/test/memory");
    // A disk over existing bytes; the block count is the whole blocks they hold.
    CMemoryDisk(std::vector<uint8_t> bytes, int blockSize, std::string path = "/test/memory");
    ~CMemoryDisk() override;

    bool readBlocks(int64_t block, int count, void* buffer) override;
    bool writeBlocks(int64_t block, int count, const void* buffer) override;
    bool doOpen(bool write) override;
    void doClose() override;

    std::vector<uint8_t> bytes;
    std::set<int64_t> failingBlocks; // a read that touches one of these fails
    int readCalls = 0;
    int openCalls = 0;
    int closeCalls = 0;
    bool openedForWrite = false;
};
