// What every fuzz target needs: a read-only disk held in memory (the last block padded with zeros)
// and an engine that keeps quiet, since its progress lines would only slow the runs down.
#pragma once

#include "disks.h"
#include "logger.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace fuzzdisk {

constexpr int kBlockSize = 512;

class MemoryDisk : public CDisk {
public:
    explicit MemoryDisk(std::vector<uint8_t> data, int sectorSize = kBlockSize) : bytes(std::move(data))
    {
        bytes.resize((bytes.size() + size_t(sectorSize) - 1) / size_t(sectorSize) * size_t(sectorSize), 0);
        path = "/fuzz/disk";
        blockSize = sectorSize;
        blockCount = int64_t(bytes.size() / size_t(sectorSize));
    }
    ~MemoryDisk() override { cleanup(); }

    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        if (block < 0 || count < 0 || block > blockCount || count > blockCount - block)
            return false;
        std::memcpy(buffer, bytes.data() + size_t(block) * size_t(blockSize), size_t(count) * size_t(blockSize));
        return true;
    }
    bool writeBlocks(int64_t, int, const void*) override { return false; }
    bool doOpen(bool write) override { return !write; }
    void doClose() override {}

private:
    std::vector<uint8_t> bytes;
};

// Turns the log switch off and sends standard output (the engine's progress) to /dev/null;
// libFuzzer reports on standard error.
inline void silenceEngine()
{
    CLogger::getInstance()->setEnabled(false);
    std::FILE* sink = std::freopen("/dev/null", "w", stdout);
    (void)sink;
}

} // namespace fuzzdisk
