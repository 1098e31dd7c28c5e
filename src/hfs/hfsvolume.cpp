#include "hfsvolume.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "disks.h"
#include "logger.h"
#include "partitiondisk.h"
#include "progresspace.h"
#include "utils.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>

namespace {
// Log lines print 64-bit values through single precision, as every "%.0f" of the engine does.
double f32(uint64_t value)
{
    return double(float(value));
}
double f32s(int64_t value)
{
    return double(float(value));
}

// Extents Overflow searches nested inside one read (a node read is itself a fork read).
constexpr int kMaxSearchNesting = 20;
// Index levels a search descends at most; real trees have fewer than ten.
constexpr int kMaxTreeLevels = 32;
// The allocation file is read in pieces of this size.
constexpr int64_t kAllocationChunk = 1 << 20;
// Bytes a read hands to the volume at once, so no length turns negative on the way.
constexpr int64_t kMaxReadPiece = 1 << 30;
// Folders a catalog item looks through for its ancestors.
constexpr int kMaxAncestors = 1 << 16;

const char* kDashes = "----------------------------------------------------------------------------------------\n";

// The catalog key's name as UTF-8; the name is read from the key only (keyLength - 4 bytes from
// the nodeName field), never from the record data behind it.
void catalogKeyName(const BTreeRecord* record, char* out)
{
    out[0] = 0;
    if (record->keyLength < kCKMinKeyLength)
        return;
    HFSUni2CStr(reinterpret_cast<const HFSUniStr255*>(record->key + kCKNodeName), record->keyLength - 4, out);
}

std::string catalogKeyName(const BTreeRecord* record)
{
    char text[kHFSNameBufferSize];
    catalogKeyName(record, text);
    return text;
}
} // namespace

bool IsValidNodeSize(int size)
{
    switch (size) {
    case 512:
    case 1024:
    case 2048:
    case 4096:
    case 8192:
    case 16384:
    case 32768: return true;
    default: return false;
    }
}

// ------------------------------------------------------------------------------------------------
// CHFSForkData

CHFSForkData::CHFSForkData() = default;

CHFSForkData::CHFSForkData(CVolume* volume, const HFSPlusForkData* raw)
{
    parse(volume, raw);
}

CHFSForkData::CHFSForkData(CVolume* volume, const HFSPlusExtentDescriptor* descriptors, int count)
{
    parseExtents(volume, descriptors, count);
}

CHFSForkData::~CHFSForkData() = default;

void CHFSForkData::parse(CVolume* volume, const HFSPlusForkData* raw)
{
    vol = volume;
    extents.clear();
    logicalSize = clumpSize = totalBlocks = 0;
    if (!raw)
        return;
    const uint8_t* bytes = raw->bytes;
    logicalSize = int64_t(loadBig64(bytes + kForkLogicalSize));
    totalBlocks = int64_t(int32_t(loadBig32(bytes + kForkTotalBlocks)));
    if (logicalSize < 0) {
        std::printf("CHFSForkData::parse correcting negative logical size (%.0f)\n", f32s(logicalSize));
        logicalSize = 0;
    }
    if (totalBlocks < 0) {
        std::printf("CHFSForkData::parse correcting negative total blocks (%.0f)\n", f32s(totalBlocks));
        totalBlocks = 0;
    }
    clumpSize = int64_t(loadBig32(bytes + kForkClumpSize));
    extents.reserve(kExtentsPerRecord);
    int64_t sum = 0;
    for (int i = 0; i < kExtentsPerRecord; ++i) {
        const uint8_t* descriptor = bytes + kForkExtents + size_t(i) * kExtentDescriptorSize;
        const uint32_t start = loadBig32(descriptor + kExtentStartBlock);
        const uint32_t count = loadBig32(descriptor + kExtentBlockCount);
        if (start == 0 || count == 0)
            continue;
        extents.push_back({start, count});
        sum += count;
    }
    if (totalBlocks > sum) {
        std::printf("CHFSForkData::parse correcting totalBlocks (%.0f instead %.0f)\n", f32s(sum), f32s(totalBlocks));
        totalBlocks = sum;
    }
}

void CHFSForkData::parseExtents(CVolume* volume, const HFSPlusExtentDescriptor* descriptors, int count)
{
    vol = volume;
    logicalSize = clumpSize = totalBlocks = 0;
    extents.clear();
    if (!descriptors || count <= 0)
        return;
    const uint8_t* bytes = descriptors->bytes;
    // The dump is diagnostics for this file's log only: a long read of a fragmented file parses a
    // record per overflow extent, and its offset column would otherwise go to stderr every time.
    CLogger* logger = CLogger::getInstance();
    if (logger->isEnabled() && !logger->isMuted(__FILE__))
        hexdump("extents data - parse", bytes, count * int(kExtentDescriptorSize));
    for (int i = 0; i < count; ++i) {
        const uint8_t* descriptor = bytes + size_t(i) * kExtentDescriptorSize;
        const uint32_t start = loadBig32(descriptor + kExtentStartBlock);
        const uint32_t blocks = loadBig32(descriptor + kExtentBlockCount);
        if (start == 0 || blocks == 0)
            continue;
        GLEANER_LOG("startBlock=%.0f, blockCount=%.0f\n", f32(start), f32(blocks));
        extents.push_back({start, blocks});
    }
}

bool CHFSForkData::getVolumeOfs(uint64_t forkOffset, uint64_t* volumeOffset, uint64_t* availableBytes) const
{
    if (!vol) {
        std::printf("CHFSForkData::getVolumeOfs error - fork without a volume\n");
        return false;
    }
    const int32_t s = int32_t(vol->allocBlockSize);
    if (s <= 0) {
        std::printf("CHFSForkData::getVolumeOfs error - incorrect vol->allocBlockSize (%d)\n", s);
        return false;
    }
    uint64_t block = forkOffset / uint64_t(s);
    const uint64_t rem = forkOffset % uint64_t(s);
    for (const ExtentEntry& extent : extents) {
        if (extent.blockCount == 0) {
            std::printf("HFSForkData::getVolumeOfs error - tried to map past physical end of file blockCount==0\n");
            return false;
        }
        if (block < extent.blockCount) {
            *volumeOffset = (uint64_t(extent.startBlock) + block) * uint64_t(s) + rem;
            *availableBytes = (uint64_t(extent.blockCount) - block) * uint64_t(s) - rem;
            GLEANER_LOG("CHFSForkData::getVolumeOfs byteOfs=%.0f, availableBytes=%.0f\n", f32(*volumeOffset),
                        f32(*availableBytes));
            return true;
        }
        block -= extent.blockCount;
    }
    std::printf("HFSForkData::getVolumeOfs error - tried to map past physical end of file (extentOfs=%.0f)\n",
                f32(rem));
    return false;
}

void CHFSForkData::dump() const
{
    GLEANER_LOG("========CHFSForkData::dump=======\n");
    GLEANER_LOG("  logicalSize=%.0f, totalBlocks=%.0f, clumpSize=%.0f, extents:\n", f32s(logicalSize),
                f32s(totalBlocks), f32s(clumpSize));
    for (size_t i = 0; i < extents.size(); ++i)
        GLEANER_LOG("  extent #%d: startBlock %.0f, blockCount %.0f\n", int(i), f32(extents[i].startBlock),
                    f32(extents[i].blockCount));
}

// ------------------------------------------------------------------------------------------------
// CHFSBTree

CHFSBTree::CHFSBTree(CHFSForkData* treeFork, uint64_t treeFileID, const std::string& treeName)
    : fork(treeFork), fileID(treeFileID), name(treeName)
{
    if (!fork)
        return;
    uint64_t offset = 0, available = 0;
    if (!fork->getVolumeOfs(kBTHeaderRecOffset, &offset, &available)) {
        std::printf("CHFSBTree::CHFSBTree forkData->getVolumeOfs failed\n");
        return;
    }
    if (int64_t(offset) < 0 || available < kBTHeaderRecSize) {
        std::printf("CHFSBTree::CHFSBTree parameter mismatch\n");
        return;
    }
    uint8_t raw[kBTHeaderRecSize];
    if (!fork->vol || !fork->vol->read(offset, uint32_t(kBTHeaderRecSize), raw))
        return;
    BTHeaderRec h{};
    h.treeDepth = loadBig16(raw + kBTHTreeDepth);
    h.rootNode = loadBig32(raw + kBTHRootNode);
    h.leafRecords = loadBig32(raw + kBTHLeafRecords);
    h.firstLeafNode = loadBig32(raw + kBTHFirstLeafNode);
    h.lastLeafNode = loadBig32(raw + kBTHLastLeafNode);
    h.nodeSize = loadBig16(raw + kBTHNodeSize);
    h.maxKeyLength = loadBig16(raw + kBTHMaxKeyLength);
    h.totalNodes = loadBig32(raw + kBTHTotalNodes);
    h.freeNodes = loadBig32(raw + kBTHFreeNodes);
    std::memcpy(&h.reserved1, raw + kBTHReserved1, sizeof h.reserved1);
    h.clumpSize = loadBig32(raw + kBTHClumpSize);
    h.btreeType = raw[kBTHBtreeType];
    h.keyCompareType = raw[kBTHKeyCompareType];
    h.attributes = loadBig32(raw + kBTHAttributes);
    std::memcpy(h.reserved3, raw + kBTHReserved3, sizeof h.reserved3);

    // A tree is only usable when its nodes have a valid size and its root lies inside the tree
    // file; the node count is capped by what the fork really holds.
    const uint64_t nodesInFork = IsValidNodeSize(h.nodeSize) ? uint64_t(fork->logicalSize) / h.nodeSize : 0;
    const uint64_t limit = std::min<uint64_t>(h.totalNodes, nodesInFork);
    if (!IsValidNodeSize(h.nodeSize) || h.rootNode >= limit) {
        std::printf("CHFSBTree::CHFSBTree invalid header (nodeSize=%d, rootNode=%.0f, totalNodes=%.0f)\n",
                    int(h.nodeSize), f32(h.rootNode), f32(h.totalNodes));
        return;
    }
    header = h;
    nodeLimit = limit;
}

CHFSBTree::~CHFSBTree()
{
    delete fork;
}

uint64_t CHFSBTree::getNodeOffset(uint64_t nodeNo) const
{
    return nodeNo * header.nodeSize;
}

void CHFSBTree::dump()
{
    GLEANER_LOG("=========CHFSBTree::dump (%s)==========\n", name.c_str());
    GLEANER_LOG("fileID=%.0f\n", f32(fileID));
    GLEANER_LOG("treeDepth=%d\n", int(header.treeDepth));
    GLEANER_LOG("rootNode=%d\n", int(header.rootNode));
    GLEANER_LOG("leafRecords=%d\n", int(header.leafRecords));
    GLEANER_LOG("firstLeafNode=%d\n", int(header.firstLeafNode));
    GLEANER_LOG("lastLeafNode=%d\n", int(header.lastLeafNode));
    GLEANER_LOG("nodeSize=%d\n", int(header.nodeSize));
    GLEANER_LOG("maxKeyLength=%d\n", int(header.maxKeyLength));
    GLEANER_LOG("totalNodes=%d\n", int(header.totalNodes));
    GLEANER_LOG("freeNodes=%d\n", int(header.freeNodes));
    GLEANER_LOG("clumpSize=%d\n", int(header.clumpSize));
}

// ------------------------------------------------------------------------------------------------
// Comparators

void CExtentsFileComparator::setKey(uint64_t id, int type, uint64_t start)
{
    fileID = id;
    forkType = type;
    startBlock = start;
}

int CExtentsFileComparator::compare(const BTreeRecord* record)
{
    if (!record || record->keyLength < kEKMinKeyLength)
        return 1; // a key too short to hold the fields orders before any searched key
    const uint64_t recordFileID = loadBig32(record->key + kEKFileID);
    const int recordForkType = record->key[kEKForkType];
    const uint64_t recordStart = loadBig32(record->key + kEKStartBlock);
    GLEANER_LOG("*compare* search fileID/forkType/startBlock: %.0f/%d/%.0f  --> %.0f/%d/%.0f\n", f32(fileID), forkType,
                f32(startBlock), f32(recordFileID), recordForkType, f32(recordStart));
    if (fileID != recordFileID)
        return fileID < recordFileID ? -1 : 1;
    if (forkType != recordForkType)
        return forkType < recordForkType ? -1 : 1;
    if (startBlock != recordStart)
        return startBlock < recordStart ? -1 : 1;
    return 0;
}

void CExtentsFileComparator::dump()
{
    GLEANER_LOG("CExtentsFileComparator::dump - fileID=%.0f, forkType=%d, startBlock=%.0f\n", f32(fileID), forkType,
                f32(startBlock));
}

void CCatalogFileComparator::setParentID(uint64_t id)
{
    parentID = id;
}

void CCatalogFileComparator::setNodeName(const std::string& text)
{
    nodeName = text;
}

int CCatalogFileComparator::compare(const BTreeRecord* record)
{
    if (!record || record->keyLength < kCKMinKeyLength)
        return 1;
    const uint64_t recordParent = loadBig32(record->key + kCKParentID);
    // The name is converted only for a line that is written or a name that is compared.
    GLEANER_LOG("CCatalogFileComparator::compare key parentID=%.0f, key nodeName=%s\n", f32(recordParent),
                catalogKeyName(record).c_str());
    if (parentID != recordParent)
        return parentID < recordParent ? -1 : 1;
    if (nodeName.empty())
        return 0;
    GLEANER_LOG("comparing name too\n");
    const int r = nodeName.compare(catalogKeyName(record));
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

void CCatalogFileComparator::dump()
{
    GLEANER_LOG("CCatalogFileComparator::dump - parentID=%.0f, nodeName=%s\n", f32(parentID), nodeName.c_str());
}

// ------------------------------------------------------------------------------------------------
// CHFSBTreeNode

CHFSBTreeNode::CHFSBTreeNode(CHFSBTree* nodeTree, uint64_t number, int nestingDepth)
    : tree(nodeTree), nesting(nestingDepth)
{
    read(number);
}

CHFSBTreeNode::~CHFSBTreeNode()
{
    delete[] buffer;
}

bool CHFSBTreeNode::read(uint64_t number)
{
    GLEANER_LOG("CHFSBTreeNode::read nodeNo=%.0f\n", f32(number));
    records.clear();
    descriptor = nullptr;
    nodeNo = number;
    if (!tree || !tree->isValid())
        return false;
    if (number >= tree->getNodeLimit()) {
        std::printf("CHFSBTreeNode::read - error: node %.0f lies outside the tree\n", f32(number));
        return false;
    }
    const uint32_t size = tree->header.nodeSize;
    if (!buffer || bufferSize != size) {
        delete[] buffer;
        bufferSize = 0;
        buffer = new (std::nothrow) uint8_t[size];
        if (!buffer) {
            std::printf("CHFSBTreeNode::read - error allocating memory!\n");
            return false;
        }
        bufferSize = size;
    }
    CHFSVolume* volume = tree->fork ? dynamic_cast<CHFSVolume*>(tree->fork->vol) : nullptr;
    // The block cache answers an unreadable sector with zeros, and counts each read that handed
    // out such zeros, even from a line it read before: a count that grew during the read means the
    // node may hold zeros instead of records. Unreadable sectors elsewhere in the cache's line do not.
    CCachedDisk* cache = volume ? dynamic_cast<CCachedDisk*>(volume->disk) : nullptr;
    const int64_t unreadableBefore = cache ? cache->getUnreadableReads() : 0;
    if (!volume ||
        !volume->readFileAtDepth(tree->fileID, 0, buffer, tree->getNodeOffset(number), size, tree->fork, nesting))
        return false;
    const bool unreadable = cache && cache->getUnreadableReads() != unreadableBefore;
    if (volume->unreadableNode(tree->fileID, number, unreadable)) {
        std::printf("CHFSBTreeNode::read - error: the disk could not read all of node %.0f\n", f32(number));
        failed = true;
    }
    nodeDescriptor.fLink = loadBig32(buffer + kNDFLink);
    nodeDescriptor.bLink = loadBig32(buffer + kNDBLink);
    nodeDescriptor.kind = int8_t(buffer[kNDKind]);
    nodeDescriptor.height = buffer[kNDHeight];
    nodeDescriptor.numRecords = loadBig16(buffer + kNDNumRecords);
    descriptor = &nodeDescriptor;
    GLEANER_LOG("CHFSTreeNode::read bLink=%d, fLink=%d\n", int(nodeDescriptor.bLink), int(nodeDescriptor.fLink));
    getRecords();
    return true;
}

void CHFSBTreeNode::getRecords()
{
    if (!descriptor) {
        std::printf("CHFSBTreeNode::getRecords error: descriptor is NULL\n");
        return;
    }
    records.clear();
    const int kind = descriptor->kind;
    if (kind == kBTHeaderNode || kind == kBTMapNode)
        return;
    if (kind != kBTLeafNode && kind != kBTIndexNode) {
        GLEANER_LOG("CHFSBTreeNode::getRecords warning: unknown kind of node (%d)\n", kind);
        return;
    }
    const uint32_t size = bufferSize;
    const uint32_t count = descriptor->numRecords;
    // The offset table grows backwards from the node's end; it cannot reach into the descriptor.
    if (uint64_t(count) * 2 > size - kNodeDescriptorSize) {
        std::printf("*** ERROR: invalid node data\n");
        failed = true;
        return;
    }
    const uint32_t tableStart = size - 2 * count;
    uint32_t minKeyLength = 0;
    if (tree->fileID == kHFSCatalogFileID)
        minKeyLength = kCKMinKeyLength;
    else if (tree->fileID == kHFSExtentsFileID)
        minKeyLength = kEKMinKeyLength;
    records.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = loadBig16(buffer + size - 2 - 2 * i);
        if (offset < kNodeDescriptorSize || offset + 2 > tableStart) {
            std::printf("*** ERROR: invalid node data\n");
            failed = true;
            return;
        }
        const uint32_t keyLength = loadBig16(buffer + offset);
        const uint32_t keyData = offset + 2;
        uint32_t data = keyData + keyLength;
        if (data & 1)
            ++data;
        if (keyLength < minKeyLength || data > tableStart) {
            std::printf("*** ERROR: invalid node data (key length)\n");
            failed = true;
            return;
        }
        records.push_back({i, keyLength, buffer + offset, buffer + keyData, buffer + data, tableStart - data});
    }
}

bool CHFSBTreeNode::childOf(const BTreeRecord& record, uint64_t* child)
{
    if (record.dataLength < 4) {
        std::printf("*** ERROR: invalid node data\n");
        return false;
    }
    *child = loadBig32(record.data);
    return true;
}

bool CHFSBTreeNode::fitsBelow(uint8_t parentHeight)
{
    // A child sits one level below its parent, and only the nodes of level 1 are leaves.
    const bool fits = descriptor && parentHeight > 1 && descriptor->height == parentHeight - 1 &&
                      (descriptor->kind == kBTLeafNode) == (descriptor->height == 1) &&
                      (descriptor->kind == kBTLeafNode || descriptor->kind == kBTIndexNode);
    if (!fits)
        std::printf("CHFSBTreeNode::findLeafRecord - error: node %.0f (kind %d, height %d) does not fit below a node "
                    "of height %d\n",
                    f32(nodeNo), descriptor ? int(descriptor->kind) : 0, descriptor ? int(descriptor->height) : 0,
                    int(parentHeight));
    return fits;
}

bool CHFSBTreeNode::enterNode(uint64_t number)
{
    auto position = std::lower_bound(visited.begin(), visited.end(), number);
    if (position != visited.end() && *position == number) {
        std::printf("CHFSBTreeNode::findLeafRecord - error: node %.0f reached twice, the tree is corrupt\n",
                    f32(number));
        records.clear();
        descriptor = nullptr;
        return false;
    }
    visited.insert(position, number);
    return read(number);
}

bool CHFSBTreeNode::findLeafRecord(CKeyedRecordComparator* comparator, BTreeRecord** record)
{
    if (!descriptor) {
        std::printf("CHFSBTreeNode::findLeafRecord error: descriptor is NULL\n");
        return fail();
    }
    if (!comparator || !record)
        return false;
    size_t start = 0;
    if (*record) {
        start = size_t((*record)->recNo) + 1;
    } else {
        // A new search: only the node it starts at has been visited.
        visited.assign(1, nodeNo);
    }
    GLEANER_LOG("----------CHFSBTreeNode::findLeafRecord start at nodeNo=%.0f, recNo=%d---------\n", f32(nodeNo),
                *record ? int((*record)->recNo) : -1);
    comparator->dump();
    GLEANER_LOG("---------CHFSBTreeNode::findLeafRecord now starting with recNo=%.0f (count=%d) ----------\n",
                f32(start), int(records.size()));

    // The last leaf record below the searched key, by node and record number: it may lie in an
    // earlier leaf than the one where the scan ends.
    bool haveCandidate = false;
    uint64_t candidateNode = 0;
    size_t candidateRecord = 0;
    int levels = 0;

    for (;;) {
        if (!descriptor || (descriptor->kind != kBTLeafNode && descriptor->kind != kBTIndexNode)) {
            std::printf("CHFSBTreeNode::findLeafRecord - error: not in an index or leaf node!\n");
            return fail();
        }
        const bool leaf = descriptor->kind == kBTLeafNode;
        if (!leaf && records.empty()) {
            std::printf("CHFSBTreeNode::findLeafRecord - error: index node %.0f has no records\n", f32(nodeNo));
            return fail();
        }
        bool haveChild = false;
        uint64_t child = 0;
        size_t i = start;
        bool stopped = false; // a record at or above the key ended the scan of this node
        for (; i < records.size(); ++i) {
            const BTreeRecord& current = records[i];
            GLEANER_LOG("CHFSBTreeNode::findLeafRecord, key %d,  size=%d\n", int(i), int(current.keyLength));
            const int r = comparator->compare(&current);
            GLEANER_LOG("CHFSBTreeNode::findLeafRecord - compare result: %d\n", r);
            if (r > 0) {
                if (leaf) {
                    haveCandidate = true;
                    candidateNode = nodeNo;
                    candidateRecord = i;
                } else {
                    if (!childOf(current, &child))
                        return fail();
                    haveChild = true;
                    GLEANER_LOG("CHFSBTreeNode::findLeafRecord - still in index node - record child node=%.0f\n",
                                f32(child));
                }
                continue;
            }
            if (r == 0 && leaf) {
                *record = &records[i];
                GLEANER_LOG("CHFSBTreeNode::findLeafRecord - !!!rec found at node!!!! %.0f, rec=%d\n", f32(nodeNo),
                            int(i));
                return true;
            }
            if (r == 0) {
                GLEANER_LOG("CHFSBTreeNode::findLeafRecord - in index node (not in leaf node), going down in tree\n");
                if (!haveChild) {
                    if (!childOf(current, &child))
                        return fail();
                    haveChild = true;
                }
            }
            stopped = true;
            break;
        }

        if (!leaf) {
            // Whether the records ran out or one at or above the key was met, the key lies in the
            // subtree of the last record below it; siblings at index level are never followed.
            if (!haveChild) {
                GLEANER_LOG(
                    "CHFSBTreeNode::findLeafRecord error: no child nodes found (could not find matching record)\n");
                break;
            }
            if (++levels > kMaxTreeLevels) {
                std::printf("CHFSBTreeNode::findLeafRecord - error: tree deeper than %d levels\n", kMaxTreeLevels);
                return fail();
            }
            GLEANER_LOG("CHFSBTreeNode::findLeafRecord will go into child node %.0f\n", f32(child));
            const uint8_t parentHeight = descriptor->height;
            if (!enterNode(child) || !fitsBelow(parentHeight))
                return fail();
            start = 0;
            continue;
        }

        if (stopped)
            break; // the first leaf record above the key
        if (descriptor->fLink == 0) {
            GLEANER_LOG("CHFSBTreeNode::findLeafRecord - no forward link - exit\n");
            break;
        }
        GLEANER_LOG("CHFSBTreeNode::findLeafRecord - going forward to node %.0f\n", f32(descriptor->fLink));
        if (!enterNode(descriptor->fLink))
            return fail();
        if (descriptor->kind != kBTLeafNode) {
            std::printf("CHFSBTreeNode::findLeafRecord - error: not in an index or leaf node!\n");
            return fail();
        }
        if (records.empty()) {
            GLEANER_LOG("CHFSBTreeNode::findLeafRecord - no records!\n");
            return fail();
        }
        start = 0;
    }

    if (comparator->returnHighestFound && haveCandidate) {
        if (candidateNode != nodeNo && !read(candidateNode))
            return fail();
        if (candidateRecord >= records.size())
            return fail();
        *record = &records[candidateRecord];
        GLEANER_LOG("CHFSBTreeNode::findLeafRecord - we return highest found\n");
        return true;
    }
    GLEANER_LOG("CHFSBTreeNode::findLeafRecord - we failed\n");
    return false;
}

bool CHFSBTreeNode::scanLeafChain(CKeyedRecordComparator* comparator, const std::function<void(BTreeRecord*)>& visit,
                                  uint64_t startNode)
{
    if (!tree || !tree->isValid() || !comparator)
        return fail();
    visited.clear();
    uint64_t next = startNode ? startNode : tree->header.firstLeafNode;
    while (next != 0) {
        auto position = std::lower_bound(visited.begin(), visited.end(), next);
        if (position != visited.end() && *position == next) {
            std::printf("CHFSBTreeNode::scanLeafChain - error: node %.0f reached twice, the tree is corrupt\n",
                        f32(next));
            return fail();
        }
        visited.insert(position, next);
        if (!read(next))
            return fail();
        if (descriptor->kind != kBTLeafNode) {
            std::printf("CHFSBTreeNode::scanLeafChain - error: node %.0f is not a leaf, the chain of leaves ends "
                        "there\n",
                        f32(next));
            return fail();
        }
        // A leaf whose records are damaged loses those; its link still leads on.
        for (BTreeRecord& record : records) {
            const int r = comparator->compare(&record);
            if (r < 0)
                return !failed;
            if (r == 0)
                visit(&record);
        }
        next = descriptor->fLink;
    }
    return !failed;
}

void CHFSBTreeNode::dump()
{
    if (!descriptor) {
        std::printf("CHFSBTreeNode::dump error: descriptor is NULL\n");
        return;
    }
    const char* kindName = "unknown";
    switch (descriptor->kind) {
    case kBTLeafNode: kindName = "leaf node"; break;
    case kBTIndexNode: kindName = "index node"; break;
    case kBTHeaderNode: kindName = "header node"; break;
    case kBTMapNode: kindName = "map node"; break;
    default: break;
    }
    GLEANER_LOG("========CHFSBTreeNode::dump %.0f==========\n", f32(nodeNo));
    GLEANER_LOG("fLink=%d, bLink=%d, kind=%d (%s), height=%d, numRecords=%d\n", int(descriptor->fLink),
                int(descriptor->bLink), int(descriptor->kind), kindName, int(descriptor->height),
                int(descriptor->numRecords));
    for (const BTreeRecord& record : records) {
        GLEANER_LOG("rec #%d: keyLength=%d\n", int(record.recNo), int(record.keyLength));
        hexdump("CHFSBTreeNode::dump key", record.keyData, int(record.keyLength));
    }
}

// ------------------------------------------------------------------------------------------------
// CHFSVolume

CHFSVolume::CHFSVolume(CDisk* volumeDisk) : CVolume(volumeDisk)
{
    GLEANER_LOG("CHFSVolume::CHFSVolume\n");
    std::printf("PlatformIsLSB=%d\n", int(PlatformIsLSB));
}

CHFSVolume::~CHFSVolume()
{
    GLEANER_LOG("CHFSVolume::~CHFSVolume\n");
    release();
    if (root) {
        delete root; // while root still names it, so the item knows it is the root
        root = nullptr;
    }
}

void CHFSVolume::release()
{
    folderParents.clear();
    hardLinkTargets.clear();
    hardLinkTargetsLoaded = false;
    leafStarts.clear();
    leafStartsLoaded = false;
    catalogDamaged = false;
    {
        std::lock_guard<std::mutex> lock(unreadableMutex);
        unreadableNodes.clear();
    }
    delete[] allocationBitmap;
    allocationBitmap = nullptr;
    allocationBitmapSize = 0;
    delete allocationFile;
    allocationFile = nullptr;
    delete catalogTree;
    catalogTree = nullptr;
    delete extentsTree;
    extentsTree = nullptr;
}

constexpr uint32_t kMaxAllocBlockSize = 1u << 20;

bool CHFSVolume::validBlockSize(uint32_t size)
{
    const int diskBlockSize = disk ? disk->getBlockSize() : 0;
    // A power of two from 512 bytes to 1 MiB and at least a disk block: anything else is a damaged
    // header, and a huge size would make every scan step allocate as much.
    const bool powerOfTwo = size != 0 && (size & (size - 1)) == 0;
    if (!powerOfTwo || size < 512 || size > kMaxAllocBlockSize || int64_t(size) < int64_t(diskBlockSize)) {
        std::printf("CHFSVolume::mount error: invalid allocation block size (%u)\n", size);
        return false;
    }
    return true;
}

bool CHFSVolume::mount(bool createRoot)
{
    GLEANER_LOG("CHFSVolume::mount\n");
    // What an earlier mount built belongs to the volume it found then.
    release();
    uint8_t header[kHFSVolumeHeaderSize];
    if (!read(kHFSVolumeHeaderOffset, uint32_t(kHFSVolumeHeaderSize), header))
        return false;
    const uint16_t signature = loadBig16(header + kVHSignature);
    try {
        if (signature == kHFSSigWord) {
            if (!mountHFS(header))
                return false;
        } else if (signature == kHFSPlusSigWord || signature == kHFSXSigWord) {
            if (!mountHFSPlus(header))
                return false;
            if (!catalogTree || !catalogTree->isValid())
                catalogDamaged = true;
        } else {
            std::printf("error: not an HFS volume!\n");
            return false;
        }
        findVolumeName();
        // The name's listing is no place in the tree: what it met claims no folder.
        folderParents.clear();
        if (createRoot) {
            CHFSVolumeItem* item = new (std::nothrow) CHFSVolumeItem();
            if (item) {
                item->setContainer(true);
                item->setName(name);
                item->fileID = kHFSRootFolderID;
                item->volume = this;
            }
            setRoot(item);
        }
    } catch (const std::bad_alloc&) {
        std::printf("CHFSVolume::mount - error: out of memory\n");
        return false;
    }
    return true;
}

bool CHFSVolume::mountHFS(const uint8_t* header)
{
    const uint32_t blockSize = loadBig32(header + kMDBAlBlkSiz);
    if (!validBlockSize(blockSize))
        return false;
    GLEANER_LOG("================== HFS volume header ====================\n");
    GLEANER_LOG("diskOfs: %.0f\n", f32(diskOfs));
    GLEANER_LOG("signature: 0x%x\n", unsigned(loadBig16(header + kMDBSigWord)));
    allocBlockSize = blockSize;
    GLEANER_LOG("folderCount: %d\n", int(loadBig32(header + kMDBDirCnt)));
    GLEANER_LOG("fileCount: %d\n", int(loadBig32(header + kMDBFilCnt)));
    GLEANER_LOG("allocBlockSize: %d\n", int(allocBlockSize));
    allocBlocks = loadBig16(header + kMDBNmAlBlks);
    const uint32_t bitmapStart = loadBig16(header + kMDBVBMSt);
    GLEANER_LOG("allocBlocks: %.0f\n", f32(allocBlocks));
    GLEANER_LOG("allocationFileFirstBlock: %d\n", int(bitmapStart));
    GLEANER_LOG("----------------------------Allocation File---------------------------------------\n");
    const int64_t diskBlocks = disk ? disk->getBlockCount() : 0;
    if (int64_t(allocBlocks) > diskBlocks) {
        std::printf("CHFSVolume::mount error: allocation file logicalSize > total disk blocks\n");
    } else if (allocBlocks == 0) {
        std::printf("error allocation file size is zero\n");
    } else {
        // The volume bitmap: one bit per allocation block, from its 512-byte sector onwards.
        const int64_t size = int64_t((allocBlocks + 7) / 8);
        allocationBitmap = new (std::nothrow) uint8_t[size_t(size)];
        if (!allocationBitmap) {
            std::printf("error allocating memory for allocation file!\n");
        } else {
            allocationBitmapSize = size;
            if (!read(uint64_t(bitmapStart) * kHFSSectorSize, uint32_t(size), allocationBitmap)) {
                std::memset(allocationBitmap, 0, size_t(size));
                std::printf("error reading allocation file!\n");
            }
        }
    }
    GLEANER_LOG("%s", kDashes);
    return true;
}

bool CHFSVolume::mountHFSPlus(const uint8_t* header)
{
    const uint32_t blockSize = loadBig32(header + kVHBlockSize);
    if (!validBlockSize(blockSize))
        return false;
    GLEANER_LOG("================== HFS Plus volume header ====================\n");
    GLEANER_LOG("diskOfs: %.0f\n", f32(diskOfs));
    GLEANER_LOG("signature: 0x%x\n", unsigned(loadBig16(header + kVHSignature)));
    allocBlockSize = blockSize;
    GLEANER_LOG("folderCount: %d\n", int(loadBig32(header + kVHFolderCount)));
    GLEANER_LOG("fileCount: %d\n", int(loadBig32(header + kVHFileCount)));
    GLEANER_LOG("allocBlockSize: %d\n", int(allocBlockSize));
    allocBlocks = loadBig32(header + kVHTotalBlocks);
    GLEANER_LOG("allocBlocks: %.0f\n", f32(allocBlocks));

    GLEANER_LOG("----------------------------Extents Overflow File---------------------------------------\n");
    CHFSForkData* fork =
        new (std::nothrow) CHFSForkData(this, reinterpret_cast<const HFSPlusForkData*>(header + kVHExtentsFile));
    if (fork) {
        fork->dump();
        extentsTree = new (std::nothrow) CHFSBTree(fork, kHFSExtentsFileID, "ExtentsOverflowFile");
        if (extentsTree)
            extentsTree->dump();
        else
            delete fork;
    }
    GLEANER_LOG("%s", kDashes);

    GLEANER_LOG("---------------------------------Catalog File-------------------------------------------\n");
    fork = new (std::nothrow) CHFSForkData(this, reinterpret_cast<const HFSPlusForkData*>(header + kVHCatalogFile));
    if (fork) {
        fork->dump();
        catalogTree = new (std::nothrow) CHFSBTree(fork, kHFSCatalogFileID, "CatalogFile");
        if (catalogTree)
            catalogTree->dump();
        else
            delete fork;
    }

    GLEANER_LOG("----------------------------Allocation File---------------------------------------\n");
    allocationFile =
        new (std::nothrow) CHFSForkData(this, reinterpret_cast<const HFSPlusForkData*>(header + kVHAllocationFile));
    if (allocationFile) {
        allocationFile->dump();
        std::printf("allocationFile logicalSize=%.0f\n", f32s(allocationFile->logicalSize));
        if (readsAllocationFile)
            loadAllocationFile();
    }
    GLEANER_LOG("%s", kDashes);
    return true;
}

void CHFSVolume::loadAllocationFile()
{
    // A Mac rounds the allocation file up to whole allocation blocks or a clump, so on a small
    // volume it is far larger than one bit per disk block: it is refused only when it cannot
    // describe every block of the volume, or when it claims more bytes than the whole disk holds.
    const int64_t diskBytes =
        disk ? std::max<int64_t>(0, disk->getBlockCount()) * std::max(0, disk->getBlockSize()) : 0;
    const int64_t logicalSize = allocationFile->logicalSize;
    const int64_t needed = int64_t((allocBlocks + 7) / 8);
    if (logicalSize > diskBytes) {
        std::printf("CHFSVolume::mount error: allocation file logicalSize > total disk blocks\n");
        return;
    }
    if (logicalSize > 0 && logicalSize < needed) {
        std::printf("CHFSVolume::mount error: allocation file (%.0f bytes) cannot describe %.0f allocation blocks\n",
                    f32s(logicalSize), f32(allocBlocks));
        return;
    }
    // Only the bytes that describe the volume's blocks are kept, and of those only the ones for
    // blocks that lie on the disk: a damaged block count then cannot claim more memory than the
    // disk's own size / 4096.
    const int64_t onDisk = allocBlockSize ? int64_t((uint64_t(diskBytes) / allocBlockSize + 7) / 8) : 0;
    const int64_t size = std::min({logicalSize, needed, onDisk});
    if (size <= 0) {
        std::printf("error allocation file size is zero\n");
        return;
    }
    allocationBitmap = new (std::nothrow) uint8_t[size_t(size)];
    if (!allocationBitmap) {
        std::printf("error allocating memory for allocation file!\n");
        return;
    }
    allocationBitmapSize = size;
    bool failed = false;
    for (int64_t done = 0; done < size; done += kAllocationChunk) {
        const int64_t piece = std::min(kAllocationChunk, size - done);
        if (!readFileAt(kHFSAllocationFileID, kDataForkType, allocationBitmap + done, uint64_t(done), piece,
                        allocationFile)) {
            // What could not be read counts as free: every block there reads as unused.
            std::memset(allocationBitmap + done, 0, size_t(piece));
            failed = true;
        }
    }
    if (failed)
        std::printf("error reading allocation file!\n");
}

void CHFSVolume::findVolumeName()
{
    // The root folder's own record, under the root's parent ID, carries the volume name.
    CHFSVolumeItem probe;
    probe.fileID = kHFSRootParentID;
    probe.setContainer(true);
    probe.volume = this;
    probe.addChildren();
    if (!probe.children.empty()) {
        name = probe.children.front()->getName();
        std::printf("volume name: %s\n", escapeControlCharacters(name).c_str());
    }
}

namespace {
// The key's name is exactly these UTF-16 units.
bool keyNameIs(const BTreeRecord* record, const std::u16string& units)
{
    if (record->keyLength < kCKMinKeyLength + 2 * units.size())
        return false;
    const uint8_t* name = record->key + kCKNodeName;
    if (loadBig16(name) != units.size())
        return false;
    for (size_t i = 0; i < units.size(); ++i)
        if (loadBig16(name + 2 + 2 * i) != units[i])
            return false;
    return true;
}

// The number of a key named "iNode" followed by decimal digits only.
bool iNodeNumber(const BTreeRecord* record, uint32_t* number)
{
    static const std::u16string prefix = u"iNode";
    const uint8_t* name = record->key + kCKNodeName;
    if (record->keyLength < kCKMinKeyLength)
        return false;
    const uint32_t count = loadBig16(name);
    if (count <= prefix.size() || count > prefix.size() + 10 || record->keyLength < kCKMinKeyLength + 2 * count)
        return false;
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t unit = loadBig16(name + 2 + 2 * i);
        if (i < prefix.size()) {
            if (unit != prefix[i])
                return false;
        } else if (unit < u'0' || unit > u'9') {
            return false;
        } else {
            value = value * 10 + (unit - u'0');
        }
    }
    if (value > UINT32_MAX)
        return false;
    *number = uint32_t(value);
    return true;
}
} // namespace

bool CHFSVolume::unreadableNode(uint64_t treeID, uint64_t nodeNo, bool met)
{
    std::lock_guard<std::mutex> lock(unreadableMutex);
    if (met) {
        unreadableNodes.insert({treeID, nodeNo});
        return true;
    }
    return unreadableNodes.count({treeID, nodeNo}) != 0;
}

uint64_t CHFSVolume::leafChainStart(uint64_t parentID)
{
    if (!catalogTree || !catalogTree->isValid())
        return 0;
    if (!leafStartsLoaded) {
        leafStartsLoaded = true;
        CHFSBTreeNode node(catalogTree, catalogTree->header.firstLeafNode);
        std::set<uint64_t> seen;
        for (uint64_t next = catalogTree->header.firstLeafNode; next != 0 && seen.insert(next).second;) {
            if (!node.read(next) || node.descriptor->kind != kBTLeafNode)
                break;
            // A leaf whose first key goes back is out of order: it is left out, so the list stays
            // sorted for the search below and a walk starts no later than it should.
            if (!node.records.empty() && node.records.front().keyLength >= kCKMinKeyLength) {
                const uint64_t firstParent = loadBig32(node.records.front().key + kCKParentID);
                if (leafStarts.empty() || firstParent >= leafStarts.back().first)
                    leafStarts.emplace_back(firstParent, next);
            }
            next = node.descriptor->fLink;
        }
    }
    const auto after =
        std::lower_bound(leafStarts.begin(), leafStarts.end(), parentID,
                         [](const std::pair<uint64_t, uint64_t>& entry, uint64_t id) { return entry.first < id; });
    return after == leafStarts.begin() ? catalogTree->header.firstLeafNode : std::prev(after)->second;
}

const uint8_t* CHFSVolume::findHardLinkTarget(uint32_t linkID)
{
    if (!hardLinkTargetsLoaded)
        loadHardLinkTargets();
    const auto found = hardLinkTargets.find(linkID);
    return found == hardLinkTargets.end() ? nullptr : found->second.data();
}

void CHFSVolume::loadHardLinkTargets()
{
    hardLinkTargetsLoaded = true;
    if (!catalogTree)
        return;
    static const std::u16string privateFolder(u"\0\0\0\0HFS+ Private Data", 21);
    CCatalogFileComparator comparator;
    comparator.setParentID(kHFSRootFolderID);
    uint64_t privateID = 0;
    {
        CHFSBTreeNode node(catalogTree, catalogTree->header.rootNode);
        BTreeRecord* record = nullptr;
        while (node.findLeafRecord(&comparator, &record))
            if (keyNameIs(record, privateFolder) && record->dataLength >= kCatalogFolderSize &&
                int16_t(loadBig16(record->data + kCRRecordType)) == kHFSPlusFolderRecord) {
                privateID = loadBig32(record->data + kCRFolderID);
                break;
            }
    }
    if (privateID == 0) {
        std::printf("CHFSVolume::loadHardLinkTargets - the private folder of hard-linked files was not found\n");
        return;
    }
    comparator.setParentID(privateID);
    CHFSBTreeNode node(catalogTree, catalogTree->header.rootNode);
    BTreeRecord* record = nullptr;
    uint32_t number = 0;
    while (node.findLeafRecord(&comparator, &record))
        if (iNodeNumber(record, &number) && record->dataLength >= kCatalogFileSize &&
            int16_t(loadBig16(record->data + kCRRecordType)) == kHFSPlusFileRecord)
            std::memcpy(hardLinkTargets[number].data(), record->data, kCatalogFileSize);
    if (node.failed)
        std::printf("CHFSVolume::loadHardLinkTargets - the catalog is damaged: some hard-linked files may show no "
                    "data\n");
}

bool CHFSVolume::claimFolder(uint64_t folderID, uint64_t parentID)
{
    const auto [entry, added] = folderParents.emplace(folderID, parentID);
    return added || entry->second == parentID;
}

bool CHFSVolume::isAllocationBlockUsed(uint64_t block)
{
    if (!allocationBitmap)
        return false;
    const uint64_t index = block;
    const uint64_t byte = index / 8;
    if (byte >= uint64_t(allocationBitmapSize)) {
        // A scan of a disk larger than its volume asks for every block past the bitmap: the
        // first says so, the rest are counted for reportBlocksPastBitmap.
        if (blocksPastBitmap.fetch_add(1) == 0)
            std::printf("isAllocationBlockUsed error: index out of range!\n");
        return false;
    }
    return (allocationBitmap[byte] >> (7 - index % 8)) & 1;
}

void CHFSVolume::reportBlocksPastBitmap()
{
    const uint64_t count = blocksPastBitmap.exchange(0);
    if (count > 1)
        std::printf("isAllocationBlockUsed error: index out of range %llu more times (blocks past the allocation "
                    "bitmap, taken as unused)\n",
                    static_cast<unsigned long long>(count - 1));
}

bool CHFSVolume::readFileAt(uint64_t fileID, int forkType, void* buffer, uint64_t offset, int64_t length,
                            CHFSForkData* fork)
{
    return readFileAtDepth(fileID, forkType, static_cast<uint8_t*>(buffer), offset, length, fork, 0);
}

bool CHFSVolume::readFileAtDepth(uint64_t fileID, int forkType, uint8_t* buffer, uint64_t offset, int64_t length,
                                 CHFSForkData* fork, int depth)
{
    GLEANER_LOG("CHFSVolume::readFileAt - fileID=%.0f, forkType=%d, offset=%.0f, length=%.0f\n", f32(fileID), forkType,
                f32(offset), f32s(length));
    if (length <= 0)
        return true;
    if (!fork || !buffer)
        return false;
    const uint64_t blockSize = allocBlockSize;
    if (blockSize == 0) {
        std::printf("CHFSForkData::getVolumeOfs error - incorrect vol->allocBlockSize (0)\n");
        return false;
    }
    CHFSForkData overflow;
    CHFSForkData* f = fork;
    uint64_t extentStartOfs = 0;
    // Fork blocks [coveredStart, coveredEnd) are mapped by f: the inline extents first, then the
    // overflow record last found, so a long read searches the overflow tree once per record.
    uint64_t coveredStart = 0;
    uint64_t coveredEnd = fork->totalBlocks > 0 ? uint64_t(fork->totalBlocks) : 0;
    while (length > 0) {
        const uint64_t blockIndex = offset / blockSize;
        if (blockIndex < coveredStart || blockIndex >= coveredEnd) {
            if (!extentsTree) {
                std::printf("CHFSVolume::readFileAt no extentsFile!\n");
                return false;
            }
            // The overflow file's own extents all lie in the volume header: searching the tree for
            // them would read the tree through itself, which a crafted tree turns into an endless walk.
            if (fileID == kHFSExtentsFileID) {
                std::printf("CHFSVolume::readFileAt - error: extents file block %.0f lies past its extents\n",
                            f32(blockIndex));
                return false;
            }
            GLEANER_LOG("CHFSVolume::readFileAt - need to use Extents Overflow File\n");
            if (depth >= kMaxSearchNesting) {
                std::printf("CHFSVolume::readFileAt - error! maximum recursion reached! exiting\n");
                return false;
            }
            GLEANER_LOG("---- start search ---------\n");
            CHFSBTreeNode node(extentsTree, extentsTree->header.rootNode, depth + 1);
            CExtentsFileComparator comparator;
            comparator.setKey(fileID, forkType, blockIndex);
            comparator.setReturnHighestFound(true);
            BTreeRecord* record = nullptr;
            const bool found = node.findLeafRecord(&comparator, &record);
            // Only a record of this very fork that starts at or before the block may be used:
            // anything else would read another file's blocks.
            const bool usable =
                found && record && record->keyLength >= kEKMinKeyLength && record->dataLength >= kExtentRecordSize &&
                loadBig32(record->key + kEKFileID) == fileID && record->key[kEKForkType] == uint8_t(forkType) &&
                loadBig32(record->key + kEKStartBlock) <= blockIndex;
            if (!usable) {
                std::printf("CHFSVolume::readFileAt - error finding startBlock in ExtentsFile=%.0f\n", f32(blockIndex));
                std::printf("---- search failed ---------\n");
                return false;
            }
            GLEANER_LOG("---- end search ---------\n");
            overflow.parseExtents(this, reinterpret_cast<const HFSPlusExtentDescriptor*>(record->data),
                                  kExtentsPerRecord);
            overflow.dump();
            f = &overflow;
            const uint64_t recordStart = loadBig32(record->key + kEKStartBlock);
            extentStartOfs = recordStart * blockSize;
            coveredStart = recordStart;
            coveredEnd = recordStart;
            for (const ExtentEntry& extent : overflow.extents)
                coveredEnd += extent.blockCount;
            GLEANER_LOG("extentStartOfs = %.0f, key->startBlock = %.0f\n", f32(extentStartOfs), f32(recordStart));
            GLEANER_LOG("---- continueing ------- \n");
        }
        uint64_t volumeOffset = 0, available = 0;
        if (!f->getVolumeOfs(offset - extentStartOfs, &volumeOffset, &available))
            return false;
        const int64_t chunk = int64_t(std::min<uint64_t>({available, uint64_t(length), uint64_t(kMaxReadPiece)}));
        if (chunk <= 0)
            return false;
        const int diskBlockSize = disk ? disk->getBlockSize() : 0;
        GLEANER_LOG("CHFSVolume::readFileAt will read at ofs %.0f, block %.0f\n", f32(volumeOffset),
                    f32(diskBlockSize > 0 ? volumeOffset / uint64_t(diskBlockSize) : 0));
        if (!read(volumeOffset, uint32_t(chunk), buffer))
            return false;
        length -= chunk;
        offset += uint64_t(chunk);
        buffer += chunk;
    }
    return true;
}

void CHFSVolume::markForkDataBlocks(CHFSForkData* fork)
{
    if (!markerBitmap) {
        std::printf("CHFSVolume:markForkDataBlocks - error: markerBitmap=NULL!\n");
        return;
    }
    if (!marking || !fork)
        return;
    const int diskBlockSize = disk ? disk->getBlockSize() : 0;
    if (diskBlockSize <= 0)
        return;
    const uint64_t ratio = allocBlockSize / uint64_t(diskBlockSize);
    for (const ExtentEntry& extent : fork->extents)
        markerBitmap->setBits(uint64_t(extent.startBlock) * ratio, uint64_t(extent.blockCount) * ratio, true);
}

// ------------------------------------------------------------------------------------------------
// CHFSVolumeItem

CHFSVolumeItem::CHFSVolumeItem() = default;

CHFSVolumeItem::~CHFSVolumeItem()
{
    delete dataFork;
    delete resourceFork;
}

bool CHFSVolumeItem::takeFileFields(CVolume* forkVolume, const uint8_t* fields)
{
    compressed = (fields[kCROwnerFlags] & kUFCompressed) != 0;
    auto* data =
        new (std::nothrow) CHFSForkData(forkVolume, reinterpret_cast<const HFSPlusForkData*>(fields + kCRDataFork));
    auto* resource =
        new (std::nothrow) CHFSForkData(forkVolume, reinterpret_cast<const HFSPlusForkData*>(fields + kCRResourceFork));
    if (!data || !resource) {
        delete data;
        delete resource;
        return false;
    }
    delete dataFork;
    delete resourceFork;
    dataFork = data;
    resourceFork = resource;
    return true;
}

std::string CHFSVolumeItem::getIdString()
{
    return std::to_string(fileID);
}

uint32_t CHFSVolumeItem::getDate()
{
    return HFSDateToUnix(date);
}

namespace {
// Bytes the volume holds; 0 when its header gave no usable size.
uint64_t volumeBytes(const CVolume* volume)
{
    return volume ? volume->allocBlocks * volume->allocBlockSize : 0;
}

// Blocks of the disk that are there: a partition whose map entry runs past the end of its own
// disk (a cut-short image) ends where that disk does.
int64_t existingBlocks(CDisk* disk)
{
    if (auto* cache = dynamic_cast<CCachedDisk*>(disk))
        disk = cache->disk;
    if (!disk)
        return 0;
    int64_t count = disk->getBlockCount();
    for (int depth = 0; depth < kMaxTreeLevels; ++depth) {
        auto* window = dynamic_cast<CPartitionDisk*>(disk);
        if (!window || !window->parent || window->parent->getBlockSize() != window->getBlockSize())
            break;
        count = std::min(count, window->parent->getBlockCount() - window->firstBlock);
        disk = window->parent;
    }
    return std::max<int64_t>(0, count);
}
} // namespace

uint64_t CHFSVolume::bytesPastDisk()
{
    const int64_t diskBytes = disk ? existingBlocks(disk) * std::max(0, disk->getBlockSize()) : 0;
    const uint64_t end = diskOfs + volumeBytes(this);
    return end > uint64_t(diskBytes) ? end - uint64_t(diskBytes) : 0;
}

bool CHFSVolumeItem::isDamaged()
{
    if (isContainer() || !dataFork || !dataFork->vol)
        return false;
    const uint64_t limit = volumeBytes(dataFork->vol);
    return limit > 0 && uint64_t(dataFork->logicalSize) > limit;
}

uint64_t CHFSVolumeItem::getSize()
{
    if (isContainer() || !dataFork)
        return 0;
    if (!isDamaged())
        return uint64_t(dataFork->logicalSize);
    // The recorded size cannot be true: what the fork's own extents hold inside the volume is all
    // that may be read, and a save or preview must never ask for more than the volume has.
    const CVolume* vol = dataFork->vol;
    uint64_t blocks = 0;
    for (const ExtentEntry& extent : dataFork->extents)
        if (extent.startBlock < vol->allocBlocks)
            blocks += std::min<uint64_t>(extent.blockCount, vol->allocBlocks - extent.startBlock);
    return std::min(blocks, vol->allocBlocks) * vol->allocBlockSize;
}

uint32_t CHFSVolumeItem::read(uint64_t offset, void* buffer, uint32_t length)
{
    CHFSVolume* hfs = dataFork ? dynamic_cast<CHFSVolume*>(dataFork->vol) : nullptr;
    if (!hfs)
        return 0;
    return hfs->readFileAt(forkFileID ? forkFileID : fileID, kDataForkType, buffer, offset, int64_t(length), dataFork)
               ? length
               : 0;
}

void CHFSVolumeItem::dump()
{
    CVolumeItem::dump();
}

bool CHFSVolumeItem::addChildren()
{
    GLEANER_LOG("================== CHFSVolumeItem::addChildren: %s (fileID=%.0f) =========================\n",
                name.c_str(), f32(fileID));
    if (!isContainer())
        return false;
    CHFSVolume* hfs = dynamic_cast<CHFSVolume*>(volume);
    if (!hfs || !hfs->catalogTree)
        return false;

    bool complete = true;
    try {
        // This folder and its ancestors: a folder record naming one of them would make the tree
        // contain itself, and walking it would never end.
        std::vector<uint64_t> ancestors{fileID};
        int steps = 0;
        for (CVolumeItem* item = parent; item && steps < kMaxAncestors; item = item->parent, ++steps)
            if (CHFSVolumeItem* folder = dynamic_cast<CHFSVolumeItem*>(item))
                ancestors.push_back(folder->fileID);

        CCatalogFileComparator comparator;
        comparator.setParentID(fileID);
        comparator.setReturnHighestFound(false);
        std::set<uint64_t> listedFolders;
        std::set<std::string> listedNames;
        bool fromChain = false; // a second walk, along the leaves, adds only what the first missed
        CProgressPace pace;
        const auto addRecord = [&](BTreeRecord* record) {
            if (hfs->progressPulse && pace.due())
                hfs->progressPulse();
            char childName[kHFSNameBufferSize];
            catalogKeyName(record, childName);
            // For printed lines only: made when one is printed, not for every record.
            const auto shownName = [&childName] { return escapeControlCharacters(childName); };
            const int recordType = record->dataLength >= 2 ? int16_t(loadBig16(record->data + kCRRecordType)) : 0;
            GLEANER_LOG("found: %s\n", childName);
            if (childName[0] == 0)
                return;
            if (fromChain && listedNames.count(childName) != 0)
                return;
            if (!fromChain)
                listedNames.insert(childName);
            // A record whose type the node's offset table cuts off is left out too, and the listing is not whole.
            if (record->dataLength < 2) {
                std::printf("CHFSVolumeItem::addChildren - record %s is cut short, skipped\n", shownName().c_str());
                complete = false;
                return;
            }
            CHFSVolumeItem* item = nullptr;
            if (recordType == kHFSPlusFolderRecord) {
                GLEANER_LOG("folder\n");
                if (record->dataLength < kCatalogFolderSize) {
                    std::printf("CHFSVolumeItem::addChildren - folder record %s is cut short, skipped\n",
                                shownName().c_str());
                    complete = false;
                    return;
                }
                const uint64_t id = loadBig32(record->data + kCRFolderID);
                if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
                    std::printf("CHFSVolumeItem::addChildren - folder %s (id=%.0f) contains itself, skipped\n",
                                shownName().c_str(), f32(id));
                    complete = false;
                    return;
                }
                if (!hfs->claimFolder(id, fileID) || !listedFolders.insert(id).second) {
                    std::printf("CHFSVolumeItem::addChildren - folder %s (id=%.0f) is listed more than once, skipped\n",
                                shownName().c_str(), f32(id));
                    hfs->catalogDamaged = true;
                    return;
                }
                item = new CHFSVolumeItem();
                item->setContainer(true);
                item->fileID = id;
                item->date = loadBig32(record->data + kCRAttributeModDate);
            } else if (recordType == kHFSPlusFileRecord) {
                GLEANER_LOG("file\n");
                if (record->dataLength < kCatalogFileSize) {
                    std::printf("CHFSVolumeItem::addChildren - file record %s is cut short, skipped\n",
                                shownName().c_str());
                    complete = false;
                    return;
                }
                // A hard link's record holds no data: the bytes, size and dates belong to the file
                // record iNode<number> in the private folder, and the link keeps its name and place.
                const uint8_t* fields = record->data;
                uint64_t forkFileID = 0;
                if (loadBig32(fields + kCRFileType) == kHardLinkFileType &&
                    loadBig32(fields + kCRFileCreator) == kHFSPlusCreator) {
                    const uint32_t linkID = loadBig32(fields + kCRSpecial);
                    const uint8_t* target = hfs->findHardLinkTarget(linkID);
                    if (!target) {
                        std::printf("CHFSVolumeItem::addChildren - hard link %s: its file iNode%u was not found, shown "
                                    "as it is\n",
                                    shownName().c_str(), linkID);
                    } else if (loadBig32(target + kCRFileType) == kHardLinkFileType &&
                               loadBig32(target + kCRFileCreator) == kHFSPlusCreator) {
                        std::printf("CHFSVolumeItem::addChildren - hard link %s: its file iNode%u is itself a link, "
                                    "shown as it is\n",
                                    shownName().c_str(), linkID);
                    } else {
                        fields = target;
                        forkFileID = loadBig32(target + kCRFolderID);
                    }
                }
                item = new CHFSVolumeItem();
                item->setContainer(false);
                item->fileID = loadBig32(record->data + kCRFolderID);
                item->forkFileID = forkFileID;
                item->date = loadBig32(fields + kCRAttributeModDate);
                // A file without its forks would pass for an empty one: out of memory ends the listing.
                if (!item->takeFileFields(volume, fields)) {
                    delete item;
                    throw std::bad_alloc();
                }
                if (item->compressed)
                    std::printf("CHFSVolumeItem::addChildren - %s is stored compressed by the file system; its data "
                                "is not read\n",
                                shownName().c_str());
                if (item->isDamaged()) {
                    std::printf("CHFSVolumeItem::addChildren - %s claims %.0f bytes, more than its volume holds: "
                                "shown as damaged\n",
                                shownName().c_str(), f32s(item->dataFork->logicalSize));
                    hfs->catalogDamaged = true;
                }
            } else if (recordType == kHFSPlusFolderThreadRecord) {
                GLEANER_LOG("folder thread\n");
            } else if (recordType == kHFSPlusFileThreadRecord) {
                GLEANER_LOG("file thread\n");
            } else {
                GLEANER_LOG("unknown (%d)\n", recordType);
            }
            if (!item)
                return;
            try {
                item->setName(childName);
                GLEANER_LOG("adding child...%s , id=%.0f \n", childName, f32(item->fileID));
                addChild(item);
            } catch (const std::bad_alloc&) {
                delete item;
                throw;
            }
            item->volume = volume;
            item->setParent(this);
        };

        CHFSBTreeNode node(hfs->catalogTree, hfs->catalogTree->header.rootNode);
        BTreeRecord* record = nullptr;
        bool found = false;
        while (node.findLeafRecord(&comparator, &record)) {
            found = true;
            addRecord(record);
        }
        // Every folder has its thread record: a walk that meets none went astray in a damaged index.
        if (node.failed || !found) {
            // The index or a node on the walk is damaged: the chain of leaves may still hold the
            // folder's other records. Either way the listing is not known to be whole.
            complete = false;
            fromChain = true;
            const uint64_t start = hfs->leafChainStart(fileID);
            CHFSBTreeNode chain(hfs->catalogTree, start);
            if (chain.scanLeafChain(&comparator, addRecord, start))
                std::printf("CHFSVolumeItem::addChildren - the catalog is damaged: %s was listed from its chain of "
                            "leaf nodes and may be incomplete\n",
                            escapeControlCharacters(name).c_str());
            else
                std::printf("CHFSVolumeItem::addChildren - the catalog is damaged: the listing of %s is incomplete; "
                            "run the lost-files scan to find its files\n",
                            escapeControlCharacters(name).c_str());
        }
        // Out of memory (caught below) is no damage of the catalog; everything that cleared
        // complete before here is.
        if (!complete)
            hfs->catalogDamaged = true;
    } catch (const std::bad_alloc&) {
        std::printf("CHFSVolumeItem::addChildren - error: out of memory\n");
        complete = false;
    }
    GLEANER_LOG("================== CHFSVolumeItem::addChildren done =========================\n");
    return complete;
}

std::string readHFSVolumeName(CDisk* disk)
{
    if (!disk)
        return std::string();
    // The name lies in the catalog's first records: a small cache is plenty.
    CCachedDisk cache(disk, 256 * 1024, 4096);
    if (!cache.open(false))
        return std::string();
    std::string name;
    {
        CHFSVolume volume(&cache);
        volume.readsAllocationFile = false;
        if (volume.mount(false))
            name = volume.getName();
    }
    cache.close();
    return name;
}
