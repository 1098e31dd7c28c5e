// Volumes and their item trees: a volume reads byte ranges relative to its own start through the
// block cache and owns its root item and an optional block-marker bitmap; items form the file tree
// every view shows; the folder table model shows one folder's children. Nothing here throws: a
// read beyond the disk or without a disk fails, a failed allocation leaves an empty bitmap.
#pragma once

#include "interfaces.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CDisk;
class CVolumeItem;

enum SortType { SortByName = 1, SortBySize = 2, SortByDate = 3, SortByID = 4 };
enum ItemFlags { ItemDeleted = 1, ItemLost = 2 };

// One bit per block, least significant bit first within a byte. Owns its storage; when that could
// not be allocated, it answers false and ignores writes.
class CMarkerBitmap {
public:
    explicit CMarkerBitmap(uint64_t bits);
    virtual ~CMarkerBitmap();
    CMarkerBitmap(const CMarkerBitmap&) = delete;
    CMarkerBitmap& operator=(const CMarkerBitmap&) = delete;

    void init(uint8_t value);
    virtual bool isBitSet(uint64_t bit);
    virtual void setBit(uint64_t bit, bool value);
    // Works on whole bytes: the start is rounded down to a byte, the count down to whole bytes.
    virtual void setBits(uint64_t startBit, uint64_t count, bool value);
    virtual void dump();

    uint64_t getByteCount() const { return byteCount; }
    uint64_t getBitCount() const { return bitCount; }
    const uint8_t* getBytes() const { return bits; }

private:
    uint8_t* bits = nullptr;
    uint64_t byteCount = 0;
    uint64_t bitCount = 0;
};

// A file system over a cached disk (a CCachedDisk). Owns its root item and marker bitmap, not the
// disk. The base class is a raw volume without file-system knowledge.
class CVolume {
public:
    CVolume();
    explicit CVolume(CDisk* disk);
    virtual ~CVolume();
    CVolume(const CVolume&) = delete;
    CVolume& operator=(const CVolume&) = delete;

    virtual std::string getName();
    virtual void setRoot(CVolumeItem* item);
    virtual bool mount(bool createRoot);
    // Reads length bytes at a byte offset from the volume's start; false when the range does not
    // lie on the disk or the cache read fails.
    virtual bool read(uint64_t offset, uint32_t length, void* buffer);
    virtual void createBitmap();
    virtual void deleteBitmap();
    virtual void setMarking(bool on);
    virtual bool isAllocationBlockUsed(uint64_t block);
    // Prints, once a scan has ended, how many blocks it asked about past the allocation bitmap
    // beyond the first (which isAllocationBlockUsed reported itself), and starts counting anew.
    virtual void reportBlocksPastBitmap() {}
    virtual void setSortType(int type);
    virtual void createRoot(const std::string& rootName);

    CVolumeItem* getRoot() { return root; }
    CDisk* getDisk() { return disk; }
    CMarkerBitmap* getMarkerBitmap() { return markerBitmap; }
    int getSortType() const { return sortType; }
    bool isMarking() const { return marking; }

    // Read and written directly by the recovery engine.
    // Called now and then while a large folder is listed, so that the engine can report progress
    // meanwhile; set only while an engine operation runs on the main thread, empty otherwise.
    std::function<void()> progressPulse;
    uint64_t diskOfs = 0;
    CDisk* disk = nullptr; // not owned
    CVolumeItem* root = nullptr;
    // Items of root's tree already freed by whoever took the tree apart ahead of the root: the
    // root's own count of what it frees starts from it.
    uint64_t freedAheadOfRoot = 0;
    CMarkerBitmap* markerBitmap = nullptr;
    int sortType = 0;
    uint32_t allocBlockSize = 0;
    uint64_t allocBlocks = 0;
    bool marking = false;
    std::string name;
};

int Sign64(int64_t value);

// The size of a file as listings show it: "%.0f KB", or the localized "SizeDamaged" for a file whose
// recorded size is damaged (its size would otherwise read as what can be saved, not as the file's).
std::string itemSizeText(CVolumeItem* item);

// One file or folder of a volume's tree. Owns its children; points to (does not own) its volume
// and parent. Children of a file-system folder are loaded on demand by addChildren.
class CVolumeItem : public CBase {
public:
    CVolumeItem();
    explicit CVolumeItem(bool isContainer);
    ~CVolumeItem() override;
    CVolumeItem(const CVolumeItem&) = delete;
    CVolumeItem& operator=(const CVolumeItem&) = delete;

    virtual void setFlags(char value);
    virtual char getFlags();
    virtual bool isLost();
    virtual bool isDeleted();
    virtual bool isContainer();
    virtual void setContainer(bool value);
    virtual void setName(std::string text);
    virtual std::string getName();
    // The ancestors' names from the top down, each followed by "/"; never the item's own name.
    virtual std::string getPath();
    virtual std::string getIdString();
    // Seconds since 1970 (UTC); 0 means no date.
    virtual uint32_t getDate();
    virtual uint64_t getSize();
    // Bytes read into buffer: length on success, 0 on failure.
    virtual uint32_t read(uint64_t offset, void* buffer, uint32_t length);
    // True for a file whose data the file system stored compressed, which read() cannot return:
    // its listing says so and a save reports it as not recovered.
    virtual bool isCompressed() { return false; }
    // True for a file whose record the file system stored damaged (a size its volume cannot
    // hold): its listing says so, its size is only what can be read, and a save reports it as not
    // recovered whole.
    virtual bool isDamaged() { return false; }
    virtual void dump();
    virtual void setParent(CVolumeItem* item);
    virtual CVolumeItem* getParent();
    // all = true: the child at index; all = false: the index-th folder child. Null when none.
    virtual CVolumeItem* getChild(int index, bool all);
    virtual int getChildCount(bool all);
    virtual void addChild(CVolumeItem* child);
    virtual bool addChildren();
    virtual void deleteChildren();
    // Visits the children (loading an unloaded folder for the walk only); false when stopped.
    virtual bool traverse(CVolumeItemCallback* callback, bool recursive);
    virtual CVolumeItem* findOrCreateChild(const std::string& childName, bool create);
    // -1, 0 or 1 by the sort key of this item's volume, then name, size, ID and date.
    virtual int compare(CVolumeItem* other);
    // Puts the children in lessThan order, reading each child's sort fields once.
    virtual void sortChildren();
    // sortChildren unless the list is already in order; remembers the order it found, so asking
    // again costs nothing until the children or their volume's sort type change.
    void keepChildrenSorted();
    // Forgets that the children are in order: after the child list was edited directly.
    void childrenChanged() { sortedKnown = false; }
    virtual void removeEmptyFolders(bool recursive);
    // Keeps one of each run of equal children; the children of a folder dropped as a duplicate
    // move into the folder that stays. afterFolder, when set, is called after each folder is done
    // (a long pass over a large tree reports progress there).
    virtual void removeDuplicates(bool recursive, const std::function<void()>& afterFolder = {});

    static bool lessThan(CVolumeItem* a, CVolumeItem* b);

    // Written directly by the file systems and the analysers that build trees; whoever edits the
    // child list other than through the operations here calls childrenChanged.
    char flags = 0;
    bool container = false;

private:
    // The children are in order for the sort type sortedBy (kept in what would be padding).
    bool sortedKnown = false;
    int sortedBy = 0;

public:
    std::string name;
    std::vector<CVolumeItem*> children;
    CVolume* volume = nullptr;
    CVolumeItem* parent = nullptr;

private:
    // The sort type the children are compared by: their volume's (the first child's stands for all).
    int childSortType() const;
    bool traverseLevel(CVolumeItemCallback* callback, bool recursive, int depth);
    void removeEmptyFoldersLevel(bool recursive, int depth);
    void removeDuplicatesHere();
};

// A file carved out of raw blocks: firstBlock is a disk block counted from the volume's start.
// Both fields must be set by its creator before it is read or shown.
class CRawVolumeItem : public CVolumeItem {
public:
    CRawVolumeItem();
    ~CRawVolumeItem() override;

    std::string getIdString() override;
    uint64_t getSize() override;
    uint32_t read(uint64_t offset, void* buffer, uint32_t length) override;

    uint64_t firstBlock = 0;
    uint64_t size = 0;
};

// Table data source over one folder's current child list (not owned), sorted by the folder's
// volume's sort key before the first row is handed out.
class CVolumeTableModel : public CAbstractTableModel {
public:
    explicit CVolumeTableModel(CVolumeItem* folder);

    int getRowCount() override;
    void reservedSlot1() override;
    std::string getCellText(int row, int columnId) override;
    std::string reservedSlot3(int value) override;
    int getRowImageIndex(int row) override;

private:
    CVolumeItem* childAt(int row);

    CVolumeItem* folder;
};
