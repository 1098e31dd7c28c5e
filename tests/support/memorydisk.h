// A disk held in memory: reads touching a failing block fail, and every call is counted.
#pragma once

#include "disks.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

class CMemoryDisk : public CDisk {
public:
    CMemoryDisk(int size, int64_t count, std::string diskPath = "/test/memory")
        : CMemoryDisk(std::vector<uint8_t>(size_t(size) * size_t(count)), size, std::move(diskPath))
    {
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t((i * 7 + i / 251) & 0xFF);
    }
    CMemoryDisk(std::vector<uint8_t> data, int size, std::string diskPath = "/test/memory") : bytes(std::move(data))
    {
        path = std::move(diskPath);
        blockSize = size;
        blockCount = int64_t(bytes.size() / size_t(size));
    }
    ~CMemoryDisk() override { cleanup(); }

    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        ++readCalls;
        if (block < 0 || count < 0 || block + count > blockCount)
            return false;
        const size_t size = size_t(count) * size_t(blockSize);
        for (int64_t b = block; b < block + count; ++b)
            if (failingBlocks.count(b)) {
                ++failedReads;
                std::memset(buffer, 0xEE, size); // a failing device leaves garbage behind
                return false;
            }
        std::memcpy(buffer, bytes.data() + size_t(block) * size_t(blockSize), size);
        return true;
    }
    bool writeBlocks(int64_t, int, const void*) override { return false; }
    bool doOpen(bool write) override
    {
        ++openCalls;
        openedForWrite = openedForWrite || write;
        return true;
    }
    void doClose() override { ++closeCalls; }

    std::vector<uint8_t> bytes;
    std::set<int64_t> failingBlocks;
    int readCalls = 0;
    int failedReads = 0;
    int openCalls = 0;
    int closeCalls = 0;
    bool openedForWrite = false;
};
