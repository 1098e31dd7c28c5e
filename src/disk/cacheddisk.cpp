#include "cacheddisk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

namespace {
constexpr size_t kPageSize = 4096;
// Consecutive unreadable blocks after which the rest of a failed read is given up unread.
constexpr int kFailedRunLimit = 8;
} // namespace

CCachedDisk::CCachedDisk(CDisk* inner, int cacheSize, int readAheadSize) : disk(inner)
{
    innerBlockSize = inner ? inner->getBlockSize() : 0;
    if (innerBlockSize > 0) {
        blocksPerRead = std::max(1, readAheadSize / innerBlockSize);
        const int64_t line = int64_t(blocksPerRead) * innerBlockSize;
        cacheLines = int(std::max<int64_t>(2, cacheSize / line));
        lineBytes = size_t(line);
    }
    std::printf("CCachedDisk created - cacheSize=%d, readAheadSize=%d => cacheLines=%d, blocksPerRead=%d\n", cacheSize,
                readAheadSize, cacheLines, blocksPerRead);
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

// Blocks [first, end) become known as unreadable; only blocks not known before are counted.
void CCachedDisk::markFailed(int64_t first, int64_t end)
{
    if (first >= end)
        return;
    int64_t added = end - first;
    // Fold every run that touches or overlaps [first, end) into one, taking its blocks off the count.
    auto run = failedBlocks.upper_bound(first);
    if (run != failedBlocks.begin() && std::prev(run)->second >= first)
        --run;
    while (run != failedBlocks.end() && run->first <= end) {
        added -= std::max<int64_t>(0, std::min(end, run->second) - std::max(first, run->first));
        first = std::min(first, run->first);
        end = std::max(end, run->second);
        run = failedBlocks.erase(run);
    }
    failedBlocks.emplace(first, end);
    disk->readErrorCount += added;
}

// Reads blocks [first, end), none of them known as unreadable, into buffer. When the whole range
// fails, its blocks are read one by one so only the bad ones are lost; but a run of consecutive
// failures means a bad zone, whose every read may take seconds on a failing drive, so the rest of
// the range is given up unread, as disk-rescue tools do on their first pass.
void CCachedDisk::readRange(int64_t first, int64_t end, uint8_t* buffer)
{
    const size_t bs = size_t(innerBlockSize);
    if (disk->readBlocks(first, int(end - first), buffer))
        return;
    if (end - first == 1) {
        std::memset(buffer, 0, bs);
        markFailed(first, end);
        return;
    }
    int failedInARow = 0;
    for (int64_t block = first; block < end; ++block) {
        uint8_t* out = buffer + size_t(block - first) * bs;
        if (failedInARow >= kFailedRunLimit) {
            std::memset(out, 0, size_t(end - block) * bs);
            markFailed(block, end);
            return;
        }
        if (disk->readBlocks(block, 1, out)) {
            failedInARow = 0;
        } else {
            std::memset(out, 0, bs);
            markFailed(block, block + 1);
            ++failedInARow;
        }
    }
}

void CCachedDisk::loadLine(int64_t line, uint8_t* buffer)
{
    const int64_t first = line * blocksPerRead;
    const int64_t available = disk->getBlockCount() - first;
    const int count = int(std::clamp<int64_t>(available, 0, blocksPerRead));
    const int64_t end = first + count;
    const size_t bs = size_t(innerBlockSize);
    // Blocks known to be unreadable are not asked for again: the parts between them are read.
    int64_t block = first;
    auto run = failedRunFrom(block);
    while (block < end) {
        uint8_t* out = buffer + size_t(block - first) * bs;
        if (run != failedBlocks.end() && run->first <= block) {
            const int64_t stop = std::min(end, run->second);
            std::memset(out, 0, size_t(stop - block) * bs);
            block = stop;
            ++run;
            continue;
        }
        const int64_t stop = run == failedBlocks.end() ? end : std::min(end, run->first);
        readRange(block, stop, out);
        block = stop;
        // readRange may have added and merged runs: look again from here.
        run = failedRunFrom(block);
    }
    if (count < blocksPerRead)
        std::memset(buffer + size_t(count) * bs, 0, size_t(blocksPerRead - count) * bs);
}

std::map<int64_t, int64_t>::const_iterator CCachedDisk::failedRunFrom(int64_t block) const
{
    auto run = failedBlocks.upper_bound(block);
    if (run != failedBlocks.begin() && std::prev(run)->second > block)
        --run;
    return run;
}

bool CCachedDisk::touchesFailed(int64_t first, int64_t end) const
{
    if (failedBlocks.empty() || first >= end)
        return false;
    const auto run = failedRunFrom(first);
    return run != failedBlocks.end() && run->first < end;
}

bool CCachedDisk::touchesFailedBytes(int64_t offset, int64_t length) const
{
    return length > 0 && innerBlockSize > 0 &&
           touchesFailed(offset / innerBlockSize, (offset + length - 1) / innerBlockSize + 1);
}

void CCachedDisk::noteRead(int64_t offset, int64_t length)
{
    if (touchesFailedBytes(offset, length))
        ++unreadableReads;
}

bool CCachedDisk::hadReadErrors(int64_t offset, int64_t length)
{
    if (offset < 0 || length <= 0 || offset > INT64_MAX - length)
        return false;
    std::lock_guard<CMutex> guard(lruMutex);
    return touchesFailedBytes(offset, length);
}

int64_t CCachedDisk::getUnreadableReads()
{
    std::lock_guard<CMutex> guard(lruMutex);
    return unreadableReads;
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
    const int64_t firstBlock = block;
    const int blocks = count;
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
    if (touchesFailed(firstBlock, firstBlock + blocks))
        ++unreadableReads;
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
    // One fetch a line: the rest of the line follows the block fetchBlock points at.
    while (position < end) {
        const int64_t block = position / bs;
        const int64_t inBlock = position % bs;
        const int64_t n = std::min(end - position, bs * (blocksPerRead - block % blocksPerRead) - inBlock);
        const uint8_t* source = fetchBlock(block);
        if (!source)
            return false;
        std::memcpy(out, source + inBlock, size_t(n));
        out += n;
        position += n;
    }
    noteRead(offset, length);
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
        noteRead(offset, length);
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
    noteRead(offset, length);
    return true;
}
