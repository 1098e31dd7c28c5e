// Fuzzes the HFS Plus reader: each input is a whole volume (volume header at byte 1024) on a disk
// of 512-byte blocks read through the block cache, as the application reads a partition. The
// target mounts it, loads every folder of the tree and reads every file's data, within budgets of
// its own (items, folders, depth, bytes) so that one input stays fast whatever the catalog claims;
// the blocks of every fork are marked as the scans mark them.
// Seeds: fuzz/seeds/make_hfs_seeds.cpp (sound volumes from the test image builder and xorriso).
#include "cacheddisk.h"
#include "disks.h"
#include "fuzzsupport.h"
#include "hfsvolume.h"
#include "logger.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {
constexpr size_t kMaxInput = 4 << 20;
constexpr int kCacheSize = 1 << 20;
constexpr int kReadAhead = 64 << 10;
// Budgets of one walk: a 4 MiB catalog lists tens of thousands of items, every folder a search.
constexpr size_t kMaxFolders = 512;
constexpr size_t kMaxItems = 8192;
constexpr size_t kMaxDepth = 64;
constexpr uint64_t kMaxBytesPerFile = 256 << 10;
constexpr uint64_t kMaxBytesTotal = 4 << 20;
constexpr uint32_t kReadPiece = 64 << 10;

// Reads the file's data fork as the views do, its resource fork straight from the volume, and
// marks both forks' blocks as the scans do.
void readFile(CHFSVolume& volume, CVolumeItem* file, uint64_t* budget, std::vector<uint8_t>& buffer)
{
    const uint64_t size = std::min({file->getSize(), kMaxBytesPerFile, *budget});
    for (uint64_t offset = 0; offset < size;) {
        const uint32_t piece = uint32_t(std::min<uint64_t>(kReadPiece, size - offset));
        *budget -= piece;
        if (file->read(offset, buffer.data(), piece) != piece)
            break;
        offset += piece;
    }
    CHFSVolumeItem* item = dynamic_cast<CHFSVolumeItem*>(file);
    if (!item || !item->resourceFork)
        return;
    const uint64_t resource =
        std::min({uint64_t(std::max<int64_t>(0, item->resourceFork->logicalSize)), uint64_t(kReadPiece), *budget});
    *budget -= resource;
    (void)volume.readFileAt(item->fileID, kResourceForkType, buffer.data(), 0, int64_t(resource), item->resourceFork);
    volume.markForkDataBlocks(item->dataFork);
    volume.markForkDataBlocks(item->resourceFork);
}

void walk(CHFSVolume& volume)
{
    std::vector<std::pair<CVolumeItem*, size_t>> pending{{volume.getRoot(), 0}};
    std::vector<uint8_t> buffer(kReadPiece);
    size_t folders = 0, items = 0;
    uint64_t budget = kMaxBytesTotal;
    while (!pending.empty() && folders < kMaxFolders) {
        auto [folder, depth] = pending.back();
        pending.pop_back();
        if (folder->children.empty())
            folder->addChildren();
        ++folders;
        for (CVolumeItem* child : folder->children) {
            if (++items > kMaxItems)
                return;
            // Every item is asked what the views ask of it.
            (void)child->getName();
            (void)child->getIdString();
            (void)child->getDate();
            (void)child->getPath();
            if (child->isContainer()) {
                if (depth + 1 < kMaxDepth)
                    pending.push_back({child, depth + 1});
            } else if (budget > 0) {
                readFile(volume, child, &budget, buffer);
            }
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzdisk::silenceEngine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    // Some inputs run with the log switch on, so that the diagnostic lines (names, keys, node
    // fields) are formatted too; their output goes to the discarded standard output.
    CLogger::getInstance()->setEnabled(size % 8 == 1);
    fuzzdisk::MemoryDisk disk(std::vector<uint8_t>(data, data + size));
    CCachedDisk cache(&disk, kCacheSize, kReadAhead);
    if (!cache.open(false))
        return 0;
    {
        CHFSVolume volume(&cache);
        volume.createBitmap();
        volume.setMarking(true);
        if (volume.mount(true) && volume.getRoot()) {
            (void)volume.getName();
            for (uint64_t block = 0; block < 64; ++block)
                (void)volume.isAllocationBlockUsed(block * 977);
            walk(volume);
        }
    }
    cache.close();
    return 0;
}
