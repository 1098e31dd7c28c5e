#include "cacheddisk.h"

#include "partitiondisk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

namespace {
// Linux reads a block device through its page cache, so a bad sector fails its whole page.
constexpr size_t kPageSize = 4096;
// Failed pages in a row that mark the start of a bad zone.
constexpr int kFailedPagesInARow = 2;
// Partition windows are followed down to the device to find where its pages start.
constexpr int kMaxWindowDepth = 16;
} // namespace

CCachedDisk::CCachedDisk(CDisk* inner, int cacheSize, int readAheadSize) : disk(inner)
{
    innerBlockSize = inner ? inner->getBlockSize() : 0;
    if (innerBlockSize > 0) {
        blocksPerRead = std::max(1, readAheadSize / innerBlockSize);
        const int64_t line = int64_t(blocksPerRead) * innerBlockSize;
        cacheLines = int(std::max<int64_t>(2, cacheSize / line));
        lineBytes = size_t(line);
        if (innerBlockSize < int(kPageSize) && kPageSize % size_t(innerBlockSize) == 0)
            pageBlocks = int(kPageSize) / innerBlockSize;
        // A window starting inside a device page shifts the page boundaries off its own blocks.
        int64_t start = 0;
        CDisk* level = inner;
        for (int depth = 0; depth < kMaxWindowDepth && level; ++depth) {
            auto* window = dynamic_cast<CPartitionDisk*>(level);
            if (!window)
                break;
            start = ((start + window->getFirstBlock()) % pageBlocks + pageBlocks) % pageBlocks;
            level = window->getParent();
        }
        pageShift = start;
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

namespace {
// Adds blocks [first, end) to a map of runs that never touch; answers how many were not in it.
int64_t addRun(std::map<int64_t, int64_t>& runs, int64_t first, int64_t end)
{
    if (first >= end)
        return 0;
    int64_t added = end - first;
    // Fold every run that touches or overlaps [first, end) into one, taking its blocks off the count.
    auto run = runs.upper_bound(first);
    if (run != runs.begin() && std::prev(run)->second >= first)
        --run;
    while (run != runs.end() && run->first <= end) {
        added -= std::max<int64_t>(0, std::min(end, run->second) - std::max(first, run->first));
        first = std::min(first, run->first);
        end = std::max(end, run->second);
        run = runs.erase(run);
    }
    runs.emplace(first, end);
    return added;
}
} // namespace

// Blocks [first, end) become known as unreadable; only blocks not known before are counted.
void CCachedDisk::markFailed(int64_t first, int64_t end)
{
    disk->readErrorCount += addRun(failedBlocks, first, end);
}

void CCachedDisk::noteUnreadable(int64_t first, int64_t end)
{
    auto run = failedRunFrom(first);
    if (first >= end || run == failedBlocks.end() || run->first >= end)
        return;
    ++unreadableReads;
    for (; run != failedBlocks.end() && run->first < end; ++run)
        operationUnreadable += addRun(operationBlocks, std::max(first, run->first), std::min(end, run->second));
}

void CCachedDisk::restartOperationCount()
{
    std::lock_guard<CMutex> guard(lruMutex);
    operationBlocks.clear();
    operationUnreadable = 0;
}

int64_t CCachedDisk::getOperationUnreadableBlocks()
{
    std::lock_guard<CMutex> guard(lruMutex);
    return operationUnreadable;
}

int64_t CCachedDisk::pageStart(int64_t block) const
{
    return (block + pageShift) / pageBlocks * pageBlocks - pageShift;
}

int64_t CCachedDisk::pageEnd(int64_t block) const
{
    return pageStart(block) + pageBlocks;
}

// Reads blocks [first, end) into buffer; when the device fails them, they read as zeros.
bool CCachedDisk::readPiece(int64_t first, int64_t end, uint8_t* buffer)
{
    if (disk->rereadBlocks(first, int(end - first), buffer))
        return true;
    std::memset(buffer, 0, size_t(end - first) * size_t(innerBlockSize));
    return false;
}

// Blocks [first, end) failed as one page among readable ones. A device that fails single sectors
// may still give some of them: they are read one by one forward until one fails, then backward
// until one fails, and only the blocks between are counted. A device that fails whole pages costs
// two more failed reads here.
void CCachedDisk::trimPage(int64_t first, int64_t end, uint8_t* buffer)
{
    const size_t bs = size_t(innerBlockSize);
    int64_t from = first;
    int64_t to = end;
    if (end - first > 1) {
        while (from < end && disk->rereadBlocks(from, 1, buffer + size_t(from - first) * bs))
            ++from;
        while (to - 1 > from && disk->rereadBlocks(to - 1, 1, buffer + size_t(to - 1 - first) * bs))
            --to;
    }
    if (from >= to)
        return;
    std::memset(buffer + size_t(from - first) * bs, 0, size_t(to - from) * bs);
    markFailed(from, to);
}

// Reads blocks [first, end), none of them known as unreadable, into buffer. A range that fails as
// a whole is read again page by page, as disk-rescue tools do: forward until two pages in a row
// fail (a bad zone begins, and on a failing drive every read inside it may take seconds), then
// backward from the end until a page fails (the zone's far edge). Every page read on the way is
// kept; only what lies between the two stops is given up unread, and counted. A page that failed
// alone is trimmed to its unreadable blocks. A range that follows an unreadable block probably
// continues its zone, so its first page is tried alone: if it fails too, the zone goes on and only
// the backward pass remains.
void CCachedDisk::readRange(int64_t first, int64_t end, uint8_t* buffer, bool afterFailure)
{
    auto out = [&](int64_t block) { return buffer + size_t(block - first) * size_t(innerBlockSize); };
    int64_t block = first;
    int64_t failedFrom = first; // the first of the pages that failed in a row
    int failedInARow = 0;
    if (afterFailure) {
        block = std::min(end, pageEnd(first));
        failedInARow = readPiece(first, block, buffer) ? 0 : kFailedPagesInARow;
    }
    if (failedInARow == 0 && block < end) {
        if (disk->readBlocks(block, int(end - block), out(block)))
            return;
        if (pageEnd(block) >= end) { // one page: nothing smaller to read but its blocks
            trimPage(block, end, out(block));
            return;
        }
    }
    for (; block < end && failedInARow < kFailedPagesInARow; block = std::min(end, pageEnd(block))) {
        if (!readPiece(block, std::min(end, pageEnd(block)), out(block))) {
            failedFrom = failedInARow++ == 0 ? block : failedFrom;
        } else if (failedInARow > 0) {
            trimPage(failedFrom, block, out(failedFrom));
            failedInARow = 0;
        }
    }
    if (failedInARow == 1)
        trimPage(failedFrom, block, out(failedFrom));
    if (failedInARow < kFailedPagesInARow)
        return;
    int64_t zoneEnd = block;
    for (int64_t back = end; back > block;) {
        const int64_t start = std::max(block, pageStart(back - 1));
        if (!readPiece(start, back, out(start))) {
            zoneEnd = back;
            break;
        }
        back = start;
    }
    std::memset(out(block), 0, size_t(zoneEnd - block) * size_t(innerBlockSize));
    markFailed(failedFrom, zoneEnd);
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
        // A line that begins right after an unreadable block may begin inside the same bad zone.
        const bool afterFailure = block == first && block > 0 && touchesFailed(block - 1, block);
        readRange(block, stop, out, afterFailure);
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
    if (length > 0 && innerBlockSize > 0)
        noteUnreadable(offset / innerBlockSize, (offset + length - 1) / innerBlockSize + 1);
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
    noteUnreadable(firstBlock, firstBlock + blocks);
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
