#include "hfsanalyser.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "data.h"
#include "macdisk.h"
#include "machelpers.h"
#include "partitiondisk.h"
#include "progresspace.h"
#include "threads.h"
#include "utils.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>

namespace {
// Log lines print 64-bit values through single precision, as every "%.0f" of the engine does.
double f32(int64_t value)
{
    return double(float(value));
}

// Pointers are printed as the low 32 bits, in hex.
unsigned pointerText(const void* pointer)
{
    return unsigned(reinterpret_cast<uintptr_t>(pointer));
}

constexpr int kUnit = 512;                     // node sizes are counted in these
constexpr int kMaxUnits = kMaxNodeSize / kUnit; // 64
// Catalog node IDs 0 to 15 are reserved; user items are numbered from 16 on.
constexpr int64_t kLastReservedID = 15;
} // namespace

CHFSAnalyser::~CHFSAnalyser()
{
    // Items that tree building never attached belong to nobody else.
    dropPending();
}

void CHFSAnalyser::dropPending()
{
    for (PendingItem& entry : pending)
        delete entry.item;
    pending.clear();
    folders.clear();
}

void CHFSAnalyser::scanBegin()
{
    dropPending();
    currentVolume = nullptr;
    nodeSize = 0;
}

void CHFSAnalyser::analyse()
{
    if (!recovery)
        return;
    const CData* buffer = recovery->readBuffer;
    const uint8_t* data = buffer ? buffer->getData() : nullptr;
    const uint32_t size = buffer && data ? buffer->getSize() : 0;
    if (size < uint32_t(kUnit)) {
        std::printf("CHFSAnalyser: dunno, we need at least some data...\n");
        return;
    }
    const int length = int(std::min<uint32_t>(size, INT_MAX));
    try {
        if (recovery->scanType == ScanLostVolumes)
            analyseLostVolume(data, length);
        else
            analyseLostFiles(data, length);
    } catch (const std::bad_alloc&) {
        std::printf("CHFSAnalyser::analyse - error: out of memory\n");
    }
}

void CHFSAnalyser::scanEnd()
{
    if (!recovery || recovery->scanType != ScanLostFiles)
        return;
    try {
        buildTree();
    } catch (const std::bad_alloc&) {
        std::printf("CHFSAnalyser::scanEnd - error: out of memory\n");
        dropPending();
    }
}

// ------------------------------------------------------------------------------------------------
// Probes

bool CHFSAnalyser::isVolumeHeader(int64_t offset, const uint8_t* data, int length)
{
    if (!data || length < int(kHFSVolumeHeaderSize))
        return false;
    const uint16_t signature = loadBig16(data + kVHSignature);
    if (signature != kHFSPlusSigWord && signature != kHFSXSigWord)
        return false;
    // A block size of 0 would leave the volume nothing to divide by.
    const uint32_t blockSize = loadBig32(data + kVHBlockSize);
    if (blockSize == 0 || blockSize % 512 != 0)
        return false;
    // The volume starts 1024 bytes before its header; a header nearer the disk's start has none.
    if (offset < int64_t(kHFSVolumeHeaderOffset))
        return false;
    CCachedDisk* cache = recovery ? recovery->cachedDisk : nullptr;
    if (!cache)
        return false;

    const uint32_t folderCount = loadBig32(data + kVHFolderCount);
    const uint32_t fileCount = loadBig32(data + kVHFileCount);

    CHFSVolume probe(cache);
    probe.diskOfs = uint64_t(offset) - kHFSVolumeHeaderOffset;
    std::printf("potential hfs volume header at %.0f\n", f32(offset));
    if (!probe.mount(false) || !probe.catalogTree || !probe.allocationBitmap ||
        !IsValidNodeSize(probe.catalogTree->header.nodeSize))
        return false;

    std::printf("================== HFS Plus volume header ====================\n");
    std::printf("signature: 0x%x\n", unsigned(signature));
    std::printf("folderCount: %d\n", int(folderCount));
    std::printf("fileCount: %d\n", int(fileCount));
    std::printf("allocBlockSize: %d\n", int(blockSize));
    return true;
}

bool CHFSAnalyser::isLeafNode(const uint8_t* data, int length, int* units)
{
    if (!data || length < kUnit)
        return false;
    if (int8_t(data[kNDKind]) != kBTLeafNode)
        return false;
    const int numRecords = int16_t(loadBig16(data + kNDNumRecords));
    if (numRecords < 1)
        return false;
    // Record 0 begins right after the descriptor: the node ends where its offset slot holds 14.
    int k = 0;
    const int available = std::min(length / kUnit, kMaxUnits);
    for (int u = 1; u <= available; ++u)
        if (loadBig16(data + u * kUnit - 2) == kNodeDescriptorSize) {
            k = u;
            break;
        }
    if (k == 0 || (k & (k - 1)) != 0)
        return false;
    const int bytes = k * kUnit;
    // The offset table must stay clear of the node's first two bytes.
    if (numRecords >= bytes / 2)
        return false;
    uint16_t previous = 0;
    for (int i = 0; i < numRecords; ++i) {
        const uint16_t offset = loadBig16(data + bytes - 2 - 2 * i);
        if (i > 0 && offset <= previous)
            return false;
        previous = offset;
    }
    if (units)
        *units = k;
    return true;
}

bool CHFSAnalyser::getNodeRecords(const uint8_t* node, int nodeBytes, std::vector<BTreeRecord>& records)
{
    records.clear();
    if (!node || nodeBytes < kUnit || nodeBytes > kMaxNodeSize)
        return false;
    const int numRecords = int16_t(loadBig16(node + kNDNumRecords));
    if (numRecords < 0)
        return false;
    // Records lie between the descriptor and the offset table at the node's end.
    const int tableStart = nodeBytes - 2 * numRecords;
    if (tableStart < int(kNodeDescriptorSize))
        return false;
    records.reserve(size_t(numRecords));
    for (int i = 0; i < numRecords; ++i) {
        const int offset = loadBig16(node + nodeBytes - 2 - 2 * i);
        if (offset < int(kNodeDescriptorSize) || offset + 2 > tableStart) {
            records.clear();
            return false;
        }
        const int keyLength = loadBig16(node + offset);
        const int keyData = offset + 2;
        if (keyData + keyLength > tableStart) {
            records.clear();
            return false;
        }
        // A record ends where the next one begins (or at the offset table).
        int limit = tableStart;
        if (i + 1 < numRecords) {
            const int next = loadBig16(node + nodeBytes - 4 - 2 * i);
            if (next > offset)
                limit = std::min(limit, next);
        }
        int dataStart = keyData + keyLength;
        if (dataStart & 1)
            ++dataStart;
        dataStart = std::min(dataStart, limit);
        BTreeRecord record;
        record.recNo = uint32_t(i);
        record.keyLength = uint32_t(keyLength);
        record.key = node + offset;
        record.keyData = node + keyData;
        record.data = node + dataStart;
        record.dataLength = uint32_t(std::max(0, limit - dataStart));
        records.push_back(record);
    }
    return true;
}

bool CHFSAnalyser::addCatalogRecords(const std::vector<BTreeRecord>& records)
{
    bool made = false;
    char name[kHFSNameBufferSize];
    for (const BTreeRecord& record : records) {
        // The key holds the parent ID and the name's length at least; the name fits in the key.
        if (record.keyLength < kCKMinKeyLength || record.dataLength < 2)
            continue;
        const uint32_t nameUnits = loadBig16(record.key + kCKNodeName);
        if (nameUnits > 255 || 2 + 2 * nameUnits > record.keyLength - 4)
            continue;
        const int64_t parentID = int32_t(loadBig32(record.key + kCKParentID));
        const int16_t recordType = int16_t(loadBig16(record.data + kCRRecordType));
        if (recordType != kHFSPlusFolderRecord && recordType != kHFSPlusFileRecord)
            continue;
        const bool folder = recordType == kHFSPlusFolderRecord;
        if (record.dataLength < (folder ? kCatalogFolderSize : kCatalogFileSize))
            continue;
        const int64_t id = int32_t(loadBig32(record.data + kCRFolderID));
        if (id <= kLastReservedID)
            continue;
        HFSUni2CStr(reinterpret_cast<const HFSUniStr255*>(record.key + kCKNodeName), record.keyLength - 4, name);
        if (name[0] == 0)
            continue;

        CHFSVolumeItem* item = new CHFSVolumeItem();
        item->setContainer(folder);
        item->setName(name);
        item->fileID = uint64_t(id);
        item->volume = currentVolume;
        item->date = loadBig32(record.data + kCRAttributeModDate);
        item->setFlags(ItemLost);
        try {
            if (!folder) {
                // Without a volume (records found before the first header) the forks map nothing.
                if (!item->takeFileFields(currentVolume, record.data))
                    throw std::bad_alloc();
            }
            pending.push_back({item, parentID});
        } catch (...) {
            delete item;
            throw;
        }
        if (folder)
            folders[id] = item;
        made = true;
    }
    return made;
}

// ------------------------------------------------------------------------------------------------
// Lost files

void CHFSAnalyser::analyseLostFiles(const uint8_t* data, int length)
{
    if (isVolumeHeader(recovery->currentOffset, data, length)) {
        switchVolume();
        return;
    }
    int units = 0;
    if (!isLeafNode(data, length, &units))
        return;
    const int bytes = units * kUnit;
    if (bytes != nodeSize) {
        std::printf("node size changed to: %d\n", bytes);
        nodeSize = bytes;
    }
    std::vector<BTreeRecord> records;
    if (getNodeRecords(data, bytes, records))
        addCatalogRecords(records);
}

void CHFSAnalyser::switchVolume()
{
    const bool collected = !pending.empty();
    if (collected)
        buildTree(); // what was found so far belongs to the previous volume
    if (collected || !currentVolume) {
        currentVolume = recovery->addVolume(nullptr);
        std::printf("!! currVol=%x\n", pointerText(currentVolume));
    }
    if (!currentVolume)
        return;
    currentVolume->diskOfs = uint64_t(recovery->currentOffset) - kHFSVolumeHeaderOffset;
    if (!currentVolume->mount(false))
        std::printf("CHFSAnalyser - error: the volume at %.0f does not mount\n", f32(recovery->currentOffset));
    if (CVolumeItem* root = currentVolume->getRoot())
        root->setName(currentVolume->getName());
    std::printf("currVolume allocBlockSize=%d\n", int(currentVolume->allocBlockSize));
    if (recovery->listener)
        recovery->listener->itemChanged(recovery->resultRoot);
}

std::set<CHFSVolumeItem*> CHFSAnalyser::findCycleEntries()
{
    // Only folders that the map names can receive children, so a cycle runs through them alone.
    std::map<CHFSVolumeItem*, int64_t> parentOf;
    for (const PendingItem& entry : pending) {
        if (!entry.item || !entry.item->isContainer())
            continue;
        const auto found = folders.find(int64_t(entry.item->fileID));
        if (found != folders.end() && found->second == entry.item)
            parentOf[entry.item] = entry.parentID;
    }
    enum { OnPath = 1, Done = 2 };
    std::map<CHFSVolumeItem*, int> state;
    std::set<CHFSVolumeItem*> entries;
    std::vector<CHFSVolumeItem*> path;
    for (const PendingItem& entry : pending) {
        if (!parentOf.count(entry.item))
            continue;
        path.clear();
        CHFSVolumeItem* current = entry.item;
        for (;;) {
            const auto seen = state.find(current);
            if (seen != state.end()) {
                if (seen->second == OnPath)
                    entries.insert(current); // the chain came back to itself: cut it here
                break;
            }
            state[current] = OnPath;
            path.push_back(current);
            const auto parent = parentOf.find(current);
            if (parent == parentOf.end())
                break;
            const auto next = folders.find(parent->second);
            if (next == folders.end())
                break;
            current = next->second;
        }
        for (CHFSVolumeItem* item : path)
            state[item] = Done;
    }
    return entries;
}

void CHFSAnalyser::buildTree()
{
    if (!currentVolume && recovery)
        currentVolume = recovery->addVolume(nullptr);
    std::printf("sorting %.0f items...\n", f32(int64_t(pending.size())));
    std::printf("currVol=%x\n", pointerText(currentVolume));
    CVolumeItem* root = currentVolume ? currentVolume->getRoot() : nullptr;
    if (!root) {
        std::printf("CHFSAnalyser::buildTree - error: no volume root for %d items\n", int(pending.size()));
        dropPending();
        return;
    }

    try {
        attachPending(root);
    } catch (const std::bad_alloc&) {
        std::printf("CHFSAnalyser::buildTree - error: out of memory\n");
    }
    // Attached entries were cleared; whatever is left could not be attached and is freed.
    dropPending();
    // Each pass over a large tree takes its time: the window is let in between them.
    reportProgress();

    std::printf("removing empty folders\n");
    root->removeEmptyFolders(true);
    reportProgress();
    std::printf("removing duplicates\n");
    // Over a tree of many folders the pass takes long: progress goes out between folders.
    CProgressPace pace;
    root->removeDuplicates(true, [&] {
        if (pace.due())
            reportProgress();
    });
    reportProgress();
    std::printf("done!\n");
}

void CHFSAnalyser::reportProgress()
{
    if (recovery && recovery->listener) {
        bool cancel = false;
        recovery->listener->progressEvent(0, &cancel);
    }
}

void CHFSAnalyser::attachPending(CVolumeItem* root)
{
    const std::set<CHFSVolumeItem*> cycleEntries = findCycleEntries();
    reportProgress();
    CVolumeItem* orphans = nullptr;
    auto orphanFolder = [&]() -> CVolumeItem* {
        if (!orphans)
            orphans = root->findOrCreateChild(localize("OrphanedFolders"), true);
        return orphans ? orphans : root;
    };
    CProgressPace pace;
    int64_t nonOrphanedCount = 0, orphanedCount = 0;
    for (PendingItem& entry : pending) {
        if (pace.due())
            reportProgress();
        CHFSVolumeItem* item = entry.item;
        if (!item)
            continue;
        item->volume = currentVolume;
        CVolumeItem* target = nullptr;
        if (cycleEntries.count(item)) {
            // A folder that would be its own ancestor: shown among the orphans instead.
            target = orphanFolder();
            ++orphanedCount;
        } else if (const auto found = folders.find(entry.parentID); found != folders.end()) {
            target = found->second;
            ++nonOrphanedCount;
        } else if (entry.parentID == kHFSRootFolderID) {
            target = root;
            ++nonOrphanedCount;
        } else {
            CVolumeItem* folder = orphanFolder();
            CHFSVolumeItem* placeholder = new CHFSVolumeItem();
            // The exact ID: names that print alike would merge different folders when saved.
            placeholder->setName(formatString("CNID %u", unsigned(uint32_t(entry.parentID))));
            placeholder->setContainer(true);
            placeholder->volume = currentVolume;
            try {
                folder->addChild(placeholder);
            } catch (...) {
                delete placeholder;
                throw;
            }
            placeholder->setParent(folder);
            folders[entry.parentID] = placeholder;
            target = placeholder;
            ++orphanedCount;
        }
        target->addChild(item);
        item->setParent(target);
        entry.item = nullptr; // the tree owns it now
    }
    std::printf("nonOrphanedItemCount: %.0f\n", f32(nonOrphanedCount));
    std::printf("orphanedItemCount: %.0f\n", f32(orphanedCount));
}

// ------------------------------------------------------------------------------------------------
// Lost volumes

void CHFSAnalyser::analyseLostVolume(const uint8_t* data, int length)
{
    const int64_t offset = recovery->currentOffset;
    if (!isVolumeHeader(offset, data, length))
        return;
    CCachedDisk* cache = recovery->cachedDisk;
    CDisk* disk = cache->disk;
    const int blockSize = cache->getBlockSize();
    const int64_t volumeStart = offset - int64_t(kHFSVolumeHeaderOffset);
    if (!disk || blockSize <= 0) {
        std::printf("CHFSAnalyser - error: no disk to add the lost volume to\n");
        return;
    }
    // A window starts on a disk block; a volume that does not cannot be shown as one.
    if (volumeStart % blockSize != 0) {
        std::printf("CHFSAnalyser - lost volume at byte %.0f does not start on a disk block\n", f32(volumeStart));
        return;
    }

    // A volume where a listed partition of the disk begins is that partition's: it is not lost
    // (the disk's own volume, or an alternate header's volume found again). A partition Linux
    // lists is a device of its own that knows where on the disk it begins.
    for (int i = 0; i < disk->getPartitionCount(); ++i) {
        CDisk* partition = disk->getPartition(i);
        const auto* listed = dynamic_cast<const CPartitionDisk*>(partition);
        const auto* device = dynamic_cast<const CMacDisk*>(partition);
        if ((listed && listed->getFirstBlock() * blockSize == volumeStart) ||
            (device && device->getBase() == volumeStart)) {
            std::printf("CHFSAnalyser - volume at block %.0f is listed as a partition: not lost\n",
                        f32(volumeStart / blockSize));
            return;
        }
    }
    CHFSVolume found(cache);
    found.diskOfs = uint64_t(volumeStart);
    found.mount(true);
    const int64_t firstBlock = volumeStart / blockSize;
    const int64_t blocksPerAllocBlock = int64_t(found.allocBlockSize) / blockSize;
    if (blocksPerAllocBlock <= 0 || found.allocBlocks == 0) {
        std::printf("CHFSAnalyser - lost volume at block %.0f has no blocks\n", f32(firstBlock));
        return;
    }
    // At most 2^32 allocation blocks of at most 2^31 bytes: the product fits in 64 bits.
    const int64_t lastBlock = firstBlock + int64_t(found.allocBlocks) * blocksPerAllocBlock - 1;

    CPartitionDisk* partition = new CPartitionDisk(disk, firstBlock, lastBlock);
    partition->setLost(true);
    partition->setName(found.getName());
    if (!disk->addPartition(partition))
        delete partition; // already listed: nobody else would own it
    std::printf("adding lost volume at block: %.0f\n", f32(recovery->currentDiskBlock));
    if (recovery->listener)
        recovery->listener->diskListChanged();
}
