#include "partitiondisk.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "logger.h"
#include "utils.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

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

bool CPartitionDisk::rereadBlocks(int64_t block, int count, void* buffer)
{
    return parent && parent->rereadBlocks(firstBlock + block, count, buffer);
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

// The HFS Plus volume header: where it lies and the fields that tell one from stray bytes.
constexpr int64_t kVolumeHeaderOffset = 1024;
constexpr size_t kVolumeHeaderSize = 512;
constexpr size_t kVolumeSignatureOffset = 0;
constexpr size_t kVolumeBlockSizeOffset = 40;
constexpr uint16_t kHFSPlusSignature = 0x482B; // "H+"
constexpr uint16_t kHFSXSignature = 0x4858;    // "HX"
// Disk blocks larger than this are no block size a device reports.
constexpr int kMaxDiskBlockSize = 65536;
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

CPartitionDisk* findWholeDiskVolume(CDisk* disk)
{
    if (!disk)
        return nullptr;
    const int blockSize = disk->getBlockSize();
    const int64_t blockCount = disk->getBlockCount();
    const int64_t headerEnd = kVolumeHeaderOffset + int64_t(kVolumeHeaderSize);
    if (blockSize <= 0 || blockSize > kMaxDiskBlockSize || blockCount <= 0)
        return nullptr;
    const int blocks = int((headerEnd + blockSize - 1) / blockSize);
    if (blocks > blockCount)
        return nullptr;
    std::vector<uint8_t> bytes(size_t(blocks) * size_t(blockSize));
    if (!disk->open(false))
        return nullptr;
    const bool read = disk->readBlocks(0, blocks, bytes.data());
    disk->close();
    if (!read)
        return nullptr;
    const uint8_t* header = bytes.data() + kVolumeHeaderOffset;
    const uint16_t signature = loadBig16(header + kVolumeSignatureOffset);
    const uint32_t allocationBlockSize = loadBig32(header + kVolumeBlockSizeOffset);
    // An allocation block is a power of two of at least 512 bytes.
    const bool sized = allocationBlockSize >= 512 && (allocationBlockSize & (allocationBlockSize - 1)) == 0;
    if ((signature != kHFSPlusSignature && signature != kHFSXSignature) || !sized)
        return nullptr;
    return new CPartitionDisk(disk, 0, blockCount - 1);
}
