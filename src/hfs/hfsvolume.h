// The read-only HFS Plus reader: fork extents and their mapping to volume offsets, the Catalog and
// Extents Overflow B-trees with their nodes and key comparators, the volume (mount, allocation
// bitmap, fork reads past the inline extents) and the catalog items. Every on-disk field is checked
// before use: a corrupt structure ends the operation with a message and a failed result, never a
// read outside a node, an unbounded allocation, an endless walk or an exception.
#pragma once

#include "hfsconvert.h"
#include "hfsformat.h"
#include "volumes.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CHFSVolume;

struct ExtentEntry {
    uint32_t startBlock; // allocation block from the volume's start
    uint32_t blockCount;
};

// A fork as the volume sees it: sizes and extents in fork order. Owns only its extent list.
// Mapping fails (with a message) past the last extent, without a volume or with a volume whose
// allocation block size is unusable.
class CHFSForkData {
public:
    CHFSForkData();
    CHFSForkData(CVolume* volume, const HFSPlusForkData* raw);
    CHFSForkData(CVolume* volume, const HFSPlusExtentDescriptor* descriptors, int count);
    ~CHFSForkData();

    void parse(CVolume* volume, const HFSPlusForkData* raw);
    // An extent record of the Extents Overflow file: count descriptors (count x 8 bytes).
    void parseExtents(CVolume* volume, const HFSPlusExtentDescriptor* descriptors, int count);
    bool getVolumeOfs(uint64_t forkOffset, uint64_t* volumeOffset, uint64_t* availableBytes) const;
    void dump() const;

    CVolume* vol = nullptr; // not owned
    std::vector<ExtentEntry> extents;
    int64_t logicalSize = 0;
    int64_t clumpSize = 0;
    int64_t totalBlocks = 0;
};

// A B-tree header record in host order; reserved1 and reserved3 keep their disk bytes.
struct BTHeaderRec {
    uint16_t treeDepth;
    uint32_t rootNode;
    uint32_t leafRecords;
    uint32_t firstLeafNode;
    uint32_t lastLeafNode;
    uint16_t nodeSize;
    uint16_t maxKeyLength;
    uint32_t totalNodes;
    uint32_t freeNodes;
    uint16_t reserved1;
    uint32_t clumpSize;
    uint8_t btreeType;
    uint8_t keyCompareType;
    uint32_t attributes;
    uint32_t reserved3[16];
};

// A node descriptor in host order.
struct BTNodeDescriptor {
    uint32_t fLink;
    uint32_t bLink;
    int8_t kind;
    uint8_t height;
    uint16_t numRecords;
};

// One keyed record of a node. The pointers point into the node's buffer and stay valid until the
// node object reads another node; dataLength is what lies between data and the node's record
// offset table, so a reader of the record data can check its bounds.
struct BTreeRecord {
    uint32_t recNo;
    uint32_t keyLength;
    const uint8_t* key;     // at the keyLength field
    const uint8_t* keyData; // first byte after the keyLength field
    const uint8_t* data;
    uint32_t dataLength = 0;
};

// One B-tree file: owns its fork. A header that cannot be read or is not sound (node size,
// root node outside the tree) leaves the header zeroed, and every search of the tree fails.
class CHFSBTree {
public:
    CHFSBTree(CHFSForkData* fork, uint64_t fileID, const std::string& name);
    ~CHFSBTree();
    CHFSBTree(const CHFSBTree&) = delete;
    CHFSBTree& operator=(const CHFSBTree&) = delete;

    void dump();
    uint64_t getNodeOffset(uint64_t nodeNo) const;
    bool isValid() const { return header.nodeSize != 0; }
    // Nodes numbered at or above this lie outside the tree.
    uint64_t getNodeLimit() const { return nodeLimit; }

    CHFSForkData* fork;
    uint64_t fileID;
    std::string name;
    BTHeaderRec header{};

private:
    uint64_t nodeLimit = 0;
};

// Compares a searched key with a record's key: negative when the searched key is below the
// record's, 0 on a match, positive above. Comparators live on their user's stack.
class CKeyedRecordComparator {
public:
    virtual void setReturnHighestFound(bool value) { returnHighestFound = value; }
    virtual int compare(const BTreeRecord* record) = 0;
    virtual void dump() = 0;

    bool returnHighestFound = false;

protected:
    ~CKeyedRecordComparator() = default;
};

class CExtentsFileComparator : public CKeyedRecordComparator {
public:
    int compare(const BTreeRecord* record) override;
    void dump() override;
    virtual void setKey(uint64_t fileID, int forkType, uint64_t startBlock);

    uint64_t fileID = 0;
    int forkType = 0;
    uint64_t startBlock = 0;
};

class CCatalogFileComparator : public CKeyedRecordComparator {
public:
    ~CCatalogFileComparator() = default;
    int compare(const BTreeRecord* record) override;
    void dump() override;
    virtual void setParentID(uint64_t id);
    virtual void setNodeName(const std::string& text);

    uint64_t parentID = 0;
    std::string nodeName;
};

class CAnyMatchRecordComparator : public CKeyedRecordComparator {
public:
    int compare(const BTreeRecord*) override { return 0; }
    void dump() override {}
};

// Reads nodes of one tree into one buffer (owned, allocated once) and searches the tree. A node
// object carries one search or one iteration: it remembers the nodes it has visited, so a link
// that comes back to one of them ends the search instead of looping.
class CHFSBTreeNode {
public:
    // nesting: how many Extents Overflow searches enclose this one (bounds recursive node reads).
    CHFSBTreeNode(CHFSBTree* tree, uint64_t nodeNo, int nesting = 0);
    ~CHFSBTreeNode();
    CHFSBTreeNode(const CHFSBTreeNode&) = delete;
    CHFSBTreeNode& operator=(const CHFSBTreeNode&) = delete;

    // On failure the node holds nothing (no descriptor, no records), never the previous node.
    bool read(uint64_t nodeNo);
    void getRecords();
    // With *record null: a new search from this node. With *record a record this object returned:
    // continues at the next record, along the leaf chain.
    bool findLeafRecord(CKeyedRecordComparator* comparator, BTreeRecord** record);
    // Walks the chain of leaf nodes from startNode (0: the tree's first leaf) without the index,
    // handing visit every record the comparator matches (in chain order) until one lies past them.
    // For a tree whose index is damaged. True when every leaf on the way was sound; false (and
    // failed set) when the chain breaks or a leaf's records are damaged: records may be missing.
    bool scanLeafChain(CKeyedRecordComparator* comparator, const std::function<void(BTreeRecord*)>& visit,
                       uint64_t startNode = 0);
    // Set once this node object met a damaged or unreadable node (records cut short, a link out of
    // the tree or back to a visited node, an index node without records, a child whose height or
    // kind does not fit its parent, a device read error): its searches may have missed records.
    bool failed = false;
    void dump();

    uint8_t* buffer = nullptr;
    const BTNodeDescriptor* descriptor = nullptr; // null until a read succeeds
    uint64_t nodeNo = 0;
    CHFSBTree* tree;
    std::vector<BTreeRecord> records;

private:
    bool enterNode(uint64_t number);
    bool fail()
    {
        failed = true;
        return false;
    }
    bool childOf(const BTreeRecord& record, uint64_t* child);
    bool fitsBelow(uint8_t parentHeight);

    BTNodeDescriptor nodeDescriptor{};
    uint32_t bufferSize = 0;
    int nesting;
    std::vector<uint64_t> visited; // sorted
};

// An HFS Plus (or HFSX) volume read-only; an HFS volume ("BD") gets its header values and bitmap
// only. Owns the two trees, the allocation file's fork, the allocation bitmap and what it learns
// of the catalog (hard-link targets, where the leaf chain's folders begin, unreadable nodes); a
// new mount releases what an earlier one built. A mount fails only for an unreadable header, an
// unknown signature or an unusable allocation block size.
class CHFSVolume : public CVolume {
public:
    explicit CHFSVolume(CDisk* disk);
    ~CHFSVolume() override;

    bool mount(bool createRoot) override;
    bool isAllocationBlockUsed(uint64_t block) override;
    void reportBlocksPastBitmap() override;
    // Reads length bytes of a fork from fork offset offset; fileID and forkType (0 data, 0xFF
    // resource) key the Extents Overflow searches past the fork's own extents. True only when
    // every byte was read; a length of 0 or less reads nothing and gives true.
    bool readFileAt(uint64_t fileID, int forkType, void* buffer, uint64_t offset, int64_t length,
                    CHFSForkData* fork);
    void markForkDataBlocks(CHFSForkData* fork);
    // True once the mount or a listing met a damaged or unreadable catalog: folders or files may be
    // missing from the listings or shown as damaged. Folders are listed on demand, so this may turn
    // true long after the mount.
    bool isCatalogDamaged() const { return catalogDamaged.load(); }
    // Bytes of the volume that lie past the end of its disk (a cut-short image or partition); 0 when
    // the volume fits on its disk.
    uint64_t bytesPastDisk();

    CHFSBTree* catalogTree = nullptr;
    CHFSBTree* extentsTree = nullptr;
    // False: a mount reads the trees but not the allocation bitmap (enough to name the volume,
    // without reading megabytes of bitmap on a large disk).
    bool readsAllocationFile = true;
    CHFSForkData* allocationFile = nullptr;
    uint8_t* allocationBitmap = nullptr;
    int64_t allocationBitmapSize = 0;

private:
    friend class CHFSBTreeNode;
    friend class CHFSVolumeItem;
    // The file record (kCatalogFileSize bytes) of the private folder's "iNode" + linkID, or null when
    // there is none. The private folder is read once, at the first hard link met.
    const uint8_t* findHardLinkTarget(uint32_t linkID);
    void loadHardLinkTargets();
    // The catalog leaf where a walk of the leaf chain for parentID's records starts: the last leaf
    // whose first record belongs to a lower parent (a leaf whose first key goes back is not
    // counted: the chain is out of order there). The chain is walked once, at the first call,
    // so that listing every folder of a catalog with a damaged index reads each leaf about once.
    uint64_t leafChainStart(uint64_t parentID);
    // Notes a node of the tree fileID whose read met a device error (met = true); true when that
    // node met one in this or any earlier read.
    bool unreadableNode(uint64_t treeID, uint64_t nodeNo, bool met);
    // True when the folder may be listed under parent: the first folder that lists it keeps it.
    bool claimFolder(uint64_t folderID, uint64_t parentID);
    bool readFileAtDepth(uint64_t fileID, int forkType, uint8_t* buffer, uint64_t offset, int64_t length,
                         CHFSForkData* fork, int depth);
    bool validBlockSize(uint32_t size);
    bool mountHFS(const uint8_t* header);
    bool mountHFSPlus(const uint8_t* header);
    void loadAllocationFile();
    void findVolumeName();
    void release();

    // Folder ID -> the folder whose listing first showed it (children are loaded on the main
    // thread only). A corrupt catalog can list one folder under several parents, and every
    // listing would repeat the folder's whole subtree: a few records could make a walk endless.
    std::map<uint64_t, uint64_t> folderParents;
    // Nodes (tree file ID, node number) whose reads met device errors; node reads run on the
    // main thread and, through file reads, on the thumbnail worker.
    std::mutex unreadableMutex;
    std::set<std::pair<uint64_t, uint64_t>> unreadableNodes;
    bool leafStartsLoaded = false;
    std::vector<std::pair<uint64_t, uint64_t>> leafStarts; // (first record's parent ID, leaf) in chain order
    bool hardLinkTargetsLoaded = false;
    std::map<uint32_t, std::array<uint8_t, kCatalogFileSize>> hardLinkTargets; // by link number
    // Questions about blocks past the bitmap since the last report; a scan thread asks them.
    std::atomic<uint64_t> blocksPastBitmap{0};
    std::atomic<bool> catalogDamaged{false};
};

// A file or folder of an HFS Plus catalog. Owns its two forks (files only) and, as every item,
// its children. Reads nothing without a data fork or a volume.
class CHFSVolumeItem : public CVolumeItem {
public:
    CHFSVolumeItem();
    ~CHFSVolumeItem() override;

    std::string getIdString() override;
    uint32_t getDate() override;
    // A damaged file's size is what its extents hold inside the volume, never the recorded one.
    uint64_t getSize() override;
    uint32_t read(uint64_t offset, void* buffer, uint32_t length) override;
    void dump() override;
    // Loads the folder's children from the catalog; false when the listing may be incomplete (a
    // damaged catalog node cut it short, or a record was left out as damaged). A folder record that
    // names this folder or one of its ancestors is left out, so the tree never contains itself, and
    // so is one that names a folder already listed elsewhere (or earlier in this folder), so no
    // folder shows twice. Any damage met marks the volume's catalog damaged.
    // A hard link lists its target's data, size and date under its own name and ID.
    bool addChildren() override;
    bool isCompressed() override { return compressed; }
    // A file whose recorded size is larger than its whole volume: the record is damaged.
    bool isDamaged() override;
    // Takes the file's forks (read through forkVolume) and its compressed flag from a catalog file
    // record of at least kCatalogFileSize bytes. False, with no fork set, when memory runs out.
    bool takeFileFields(CVolume* forkVolume, const uint8_t* fields);

    uint64_t fileID = 0;
    // The catalog ID whose fork extents continue in the Extents Overflow file: a hard link's
    // target; 0 means fileID.
    uint64_t forkFileID = 0;
    bool compressed = false; // the data lies compressed outside the data fork
    uint32_t date = 0; // HFS seconds since 1904; 0 = none
    CHFSForkData* dataFork = nullptr;
    CHFSForkData* resourceFork = nullptr;
};

// The name of the HFS Plus (or HFSX) volume that starts at the first block of disk, read through a
// cache of its own; empty when there is no readable volume there.
std::string readHFSVolumeName(CDisk* disk);
