#include "partitiondisk.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "logger.h"
#include "utils.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

CPartitionDisk::CPartitionDisk(CDisk* parentDisk, int64_t first, int64_t last)
    : firstBlock(first), lastBlock(last), parent(parentDisk)
{
    std::printf("CPartitionDisk::CPartitionDisk firstBlock=%" PRId64 ", lastBlock=%" PRId64 "\n", first, last);
}

// A window owns the partitions added to it (a lost volume found while scanning a partition);
// nothing on the parent is closed or deleted.
CPartitionDisk::~CPartitionDisk()
{
    // Give back every open this window made on its parent, so the device does not stay open.
    while (openCount > 0)
        close();
    clearPartitions();
}

int CPartitionDisk::getBlockSize()
{
    return parent ? parent->getBlockSize() : 0;
}

int64_t CPartitionDisk::getBlockCount()
{
    return lastBlock - firstBlock + 1;
}

bool CPartitionDisk::readBlocks(int64_t block, int count, void* buffer)
{
    return parent && parent->readBlocks(firstBlock + block, count, buffer);
}

bool CPartitionDisk::writeBlocks(int64_t block, int count, const void* buffer)
{
    return parent && parent->writeBlocks(firstBlock + block, count, buffer);
}

bool CPartitionDisk::doOpen(bool write)
{
    return parent && parent->open(write);
}

void CPartitionDisk::doClose()
{
    if (parent)
        parent->close();
}

void CPartitionDisk::dump()
{
    double size = double(getBlockCount() * int64_t(getBlockSize()));
    int unit = ' ';
    scaleSize(&size, &unit);
    std::printf("partition name=%s, path=%s, size=%.2f %c\n", escapeControlCharacters(getName()).c_str(),
                escapeControlCharacters(getPath()).c_str(), size, unit);
}

std::string CPartitionDisk::getUniqueID()
{
    const std::string parentID = parent ? parent->getUniqueID() : std::string();
    return parentID + "_Partition_" + getName() + "_" +
           formatString("%" PRId64 "_%" PRId64 "_%d", firstBlock, lastBlock, getBlockSize());
}

namespace {
// Apple partition map entry: the fields read from the first bytes of each map block.
constexpr size_t kMapEntrySize = 512;
constexpr size_t kPmSigOffset = 0;
constexpr size_t kPmPyPartStartOffset = 8;
constexpr size_t kPmPartBlkCntOffset = 12;
constexpr size_t kPmPartNameOffset = 16;
constexpr size_t kPmPartNameSize = 32;
constexpr uint16_t kPartitionMapSignature = 0x504D; // "PM"
static_assert(kPmPartNameOffset + kPmPartNameSize <= kMapEntrySize);
// A map longer than this is not a partition map but a disk full of stray signatures.
constexpr int64_t kMaxMapEntries = 4096;
} // namespace

void CDisk::scanForPartitions()
{
    std::printf("-----------Scanning for Apple partitions (%s)------------\n", getPath().c_str());
    CCachedDisk* cache = new CCachedDisk(this, 20480, 2048);
    if (!cache->open(false)) {
        delete cache;
        return;
    }
    const int64_t diskBytes = getBlockCount() * int64_t(getBlockSize());
    uint8_t entry[kMapEntrySize];
    // The map ends at the first block without an entry, and never runs past the end of the disk.
    for (int64_t n = 1; getBlockSize() > 0 && n * getBlockSize() + int64_t(kMapEntrySize) <= diskBytes; ++n) {
        if (n > kMaxMapEntries) {
            std::printf("CDisk::scanForPartitions - more than %d map entries, the rest is ignored\n",
                        int(kMaxMapEntries));
            break;
        }
        if (!cache->read(n * getBlockSize(), int(kMapEntrySize), entry))
            break;
        const uint16_t signature = loadBig16(entry + kPmSigOffset);
        if (signature != kPartitionMapSignature)
            break;
        uint16_t inMemory;
        std::memcpy(&inMemory, entry + kPmSigOffset, sizeof inMemory);
        std::printf("!!!!!!  block %d, signature: %x\n", int(n), inMemory);
        const int64_t first = loadBig32(entry + kPmPyPartStartOffset);
        const int64_t count = loadBig32(entry + kPmPartBlkCntOffset);
        CPartitionDisk* window = new CPartitionDisk(this, first, first + count - 1);
        const char* nameBytes = reinterpret_cast<const char*>(entry + kPmPartNameOffset);
        window->setName(std::string(nameBytes, strnlen(nameBytes, kPmPartNameSize)));
        if (!addPartition(window))
            delete window;
    }
    cache->close();
    delete cache;
}
