#include "memorydisk.h"

#include <cstring>

CMemoryDisk::CMemoryDisk(int size, int64_t count, std::string diskPath)
    : bytes(size_t(size) * size_t(count))
{
    path = std::move(diskPath);
    blockSize = size;
    blockCount = count;
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t((i * 7 + i / 251) & 0xFF);
}

CMemoryDisk::CMemoryDisk(std::vector<uint8_t> data, int size, std::string diskPath) : bytes(std::move(data))
{
    path = std::move(diskPath);
    blockSize = size;
    blockCount = int64_t(bytes.size() / size_t(size));
}

CMemoryDisk::~CMemoryDisk()
{
    cleanup();
}

bool CMemoryDisk::readBlocks(int64_t block, int count, void* buffer)
{
    ++readCalls;
    if (block < 0 || count < 0 || block + count > blockCount)
        return false;
    for (int64_t b = block; b < block + count; ++b)
        if (failingBlocks.count(b)) {
            // A failing device leaves garbage behind; the cache must not pass it on.
            std::memset(buffer, 0xEE, size_t(count) * size_t(blockSize));
            return false;
        }
    std::memcpy(buffer, bytes.data() + size_t(block) * size_t(blockSize), size_t(count) * size_t(blockSize));
    return true;
}

bool CMemoryDisk::writeBlocks(int64_t, int, const void*)
{
    return false;
}

bool CMemoryDisk::doOpen(bool write)
{
    ++openCalls;
    openedForWrite = openedForWrite || write;
    return true;
}

void CMemoryDisk::doClose()
{
    ++closeCalls;
}
