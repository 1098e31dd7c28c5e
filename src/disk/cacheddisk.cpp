#include "cacheddisk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
constexpr size_t kPageSize = 4096;
}

CCachedDisk::CCachedDisk(CDisk* inner, int cacheSize, int readAheadSize) : disk(inner)
{
    innerBlockSize = inner ? inner->getBlockSize() : 0;
    if (innerBlockSize > 0) {
        blocksPerRead = std::max(1, readAheadSize / innerBlockSize);
        const int64_t line = int64_t(blocksPerRead) * innerBlockSize;
        cacheLines = int(std::max<int64_t>(2, cacheSize / line));
        lineBytes = size_t(line);
    }
    std::printf("CCachedDisk created - cacheSize=%d, readAheadSize=%d => cacheLines=%d, blocksPerRead=%d\n",
                cacheSize, readAheadSize, cacheLines, blocksPerRead);
}

CCachedDisk::~CCachedDisk()
{
    std::printf("stopping prefetch thread...\n");
    std::printf("freeing cache\n");
    for (auto& entry : lines)
        std::free(entry.second);
    lines.clear();
    lruList.clear();
    std::printf("done\n");
    cleanup();
}

int CCachedDisk::getBlockSize()
{
    return disk ? disk->getBlockSize() : 0;
}

int64_t CCachedDisk::getBlockCount()
{
    return disk ? disk->getBlockCount() : 0;
}

bool CCachedDisk::writeBlocks(int64_t block, int count, const void* buffer)
{
    return disk && disk->writeBlocks(block, count, buffer);
}

bool CCachedDisk::doOpen(bool write)
{
    return disk && disk->open(write);
}

void CCachedDisk::doClose()
{
    if (disk)
        disk->close();
}

void CCachedDisk::loadLine(int64_t line, uint8_t* buffer)
{
    const int64_t first = line * blocksPerRead;
    const int64_t available = disk->getBlockCount() - first;
    const int count = int(std::clamp<int64_t>(available, 0, blocksPerRead));
    if (count > 0 && !disk->readBlocks(first, count, buffer)) {
        ++disk->readErrorCount;
        // Keep what the device can still give: only the blocks that fail on their own read as zeros.
        for (int i = 0; i < count; ++i) {
            uint8_t* block = buffer + size_t(i) * size_t(innerBlockSize);
            if (!disk->readBlocks(first + i, 1, block))
                std::memset(block, 0, size_t(innerBlockSize));
        }
    }
    if (count < blocksPerRead)
        std::memset(buffer + size_t(count) * size_t(innerBlockSize), 0,
                    size_t(blocksPerRead - count) * size_t(innerBlockSize));
}

uint8_t* CCachedDisk::fetchBlock(int64_t block)
{
    if (block < 0 || lineBytes == 0 || !disk)
        return nullptr;
    const int64_t line = block / blocksPerRead;
    const size_t inLine = size_t(block % blocksPerRead) * size_t(innerBlockSize);

    auto found = lines.find(line);
    if (found != lines.end()) {
        auto position = std::find(lruList.begin(), lruList.end(), line);
        if (position != lruList.end())
            lruList.erase(position);
        lruList.push_back(line);
        return found->second + inLine;
    }

    uint8_t* buffer = nullptr;
    if (int(lines.size()) < cacheLines) {
        std::printf("cache not full - filling cache (%d)\n", int(lines.size()));
        const size_t rounded = (lineBytes + kPageSize - 1) / kPageSize * kPageSize;
        buffer = static_cast<uint8_t*>(std::aligned_alloc(kPageSize, rounded));
        if (!buffer) {
            std::printf("error: memory allocation error (valloc)!\n");
            return nullptr;
        }
    } else {
        auto victim = std::find_if(lruList.begin(), lruList.end(), [&](int64_t n) { return n != lockedLine; });
        if (victim == lruList.end()) {
            std::printf("!! ERROR !! Cache is completely locked!\n");
            victim = lruList.begin();
        }
        const int64_t victimLine = *victim;
        lruList.erase(victim);
        buffer = lines[victimLine];
        lines.erase(victimLine);
        if (victimLine == lockedLine)
            lockedLine = -1;
    }
    loadLine(line, buffer);
    lines[line] = buffer;
    lruList.push_back(line);
    return buffer + inLine;
}

bool CCachedDisk::readBlocks(int64_t block, int count, void* buffer)
{
    if (block < 0 || count < 0 || (count > 0 && !buffer))
        return false;
    std::lock_guard<CMutex> guard(lruMutex);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int left = blocksPerRead - int(block % blocksPerRead);
    while (count > 0) {
        const uint8_t* source = fetchBlock(block);
        if (!source)
            return false;
        const int n = std::min(count, left);
        std::memcpy(out, source, size_t(n) * size_t(innerBlockSize));
        out += size_t(n) * size_t(innerBlockSize);
        block += n;
        count -= n;
        left = blocksPerRead;
    }
    return true;
}

bool CCachedDisk::validRequest(int64_t offset, int length, const void* buffer) const
{
    if (offset < 0 || length < 0 || !buffer || offset > INT64_MAX - length) {
        std::printf("CCachedDisk::read parameter mismatch\n");
        return false;
    }
    return true;
}

bool CCachedDisk::read(int64_t offset, int length, void* buffer)
{
    if (!validRequest(offset, length, buffer))
        return false;
    if (length == 0)
        return true;
    if (innerBlockSize <= 0)
        return false;
    std::lock_guard<CMutex> guard(lruMutex);
    const int64_t bs = innerBlockSize;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int64_t position = offset;
    const int64_t end = offset + length;
    while (position < end) {
        const int64_t block = position / bs;
        const int64_t start = position % bs;
        const int64_t stop = std::min<int64_t>(bs, start + (end - position));
        const uint8_t* source = fetchBlock(block);
        if (!source)
            return false;
        std::memcpy(out, source + start, size_t(stop - start));
        out += stop - start;
        position += stop - start;
    }
    return true;
}

bool CCachedDisk::readData(int64_t offset, int length, CData* buffer)
{
    if (!validRequest(offset, length, buffer))
        return false;
    if (innerBlockSize <= 0)
        return false;
    std::lock_guard<CMutex> guard(lruMutex);
    const int64_t bs = innerBlockSize;
    int64_t block = offset / bs;
    int64_t inBlock = offset % bs;
    int64_t left = blocksPerRead - block % blocksPerRead;

    if (inBlock + length <= bs * left) {
        uint8_t* source = fetchBlock(block);
        if (!source)
            return false;
        buffer->attach(source + inBlock, 1, uint32_t(length));
        lockedLine = block / blocksPerRead;
        return true;
    }

    lockedLine = -1;
    if (buffer->getSize() != uint32_t(length) || !buffer->isOwned()) {
        if (!buffer->realloc(1, uint32_t(length)))
            return false;
    }
    int64_t position = 0;
    while (position < length) {
        const uint8_t* source = fetchBlock(block);
        if (!source)
            return false;
        const int64_t n = std::min<int64_t>(length - position, bs * left - inBlock);
        buffer->initWithData(source + inBlock, uint32_t(position), 1, uint32_t(n));
        position += n;
        block += left;
        left = blocksPerRead;
        inBlock = 0;
    }
    return true;
}
