#include "volumes.h"

#include "cacheddisk.h"
#include "logger.h"
#include "machelpers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
// Log lines print 64-bit counts through single precision, as every "%.0f" of the engine does.
double f32(uint64_t value)
{
    return double(float(value));
}

// Deeper trees than this are not walked further: a corrupt file system can make a folder contain
// one of its ancestors, and a chain that long cannot be a real path anyway.
constexpr int kMaxTreeDepth = 1024;
// Parent chains are walked at most this far (a chain longer than the deepest tree is a cycle).
constexpr int kMaxParentChain = 1 << 20;

// Items destroyed since the last root began to go; only the root's destructor message uses it.
std::atomic<uint64_t> destroyedItems{0};

// Byte-wise comparison as -1, 0, 1.
int compareBytes(const std::string& a, const std::string& b)
{
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// The first eight bytes of text as a big-endian number, zero-padded: two such numbers compare as
// the texts' byte-wise comparison does whenever they differ (a padding zero past the end of a
// shorter text orders it first, as the comparison does).
uint64_t prefixOf(const std::string& text)
{
    uint64_t prefix = 0;
    for (size_t i = 0; i < 8; ++i)
        prefix = (prefix << 8) | (i < text.size() ? uint8_t(text[i]) : 0u);
    return prefix;
}

// What a comparison reads of one item, read once per sort instead of twice per comparison. The
// identifier is read again only where names and sizes tie, which is rare.
struct SortKey {
    uint64_t size = 0;
    uint32_t date = 0;
    int sortType = SortByName; // of the item's own volume, as CVolumeItem::compare uses it
    bool container = false;
    std::string name;
    CVolumeItem* item = nullptr;
};

SortKey sortKeyOf(CVolumeItem* item)
{
    SortKey key;
    key.item = item;
    key.sortType = item->volume ? item->volume->sortType : SortByName;
    key.date = item->getDate();
    key.size = item->getSize();
    key.container = item->isContainer();
    key.name = item->getName();
    return key;
}

int sizeTerm(const SortKey& a, const SortKey& b)
{
    if (a.size != b.size)
        return a.size < b.size ? -1 : 1;
    return int(b.container) - int(a.container);
}

int dateTerm(const SortKey& a, const SortKey& b)
{
    return a.date < b.date ? -1 : (a.date > b.date ? 1 : 0);
}

int idTerm(const SortKey& a, const SortKey& b)
{
    return compareBytes(a.item->getIdString(), b.item->getIdString());
}

// The order of items: the chosen field first, then name, size, ID and date in that order (without a
// valid choice, the same order from the name on). CVolumeItem::compare and the keyed sort share it.
int compareKeys(const SortKey& a, const SortKey& b)
{
    int term = 0;
    switch (a.sortType) {
    case SortBySize: term = sizeTerm(a, b); break;
    case SortByDate: term = dateTerm(a, b); break;
    case SortByID: term = idTerm(a, b); break;
    case SortByName: break;
    default: std::printf("error: invalid sortType!\n"); break;
    }
    if (term != 0 || (term = compareBytes(a.name, b.name)) != 0)
        return term;
    if (a.sortType != SortBySize && (term = sizeTerm(a, b)) != 0)
        return term;
    if (a.sortType != SortByID && (term = idTerm(a, b)) != 0)
        return term;
    return a.sortType != SortByDate ? dateTerm(a, b) : 0;
}

// One child in the sort: a number that decides most comparisons alone (the leading field of the
// order, or the leading bytes of a text field), and its key for the rest.
struct SortEntry {
    uint64_t lead = 0;
    uint32_t index = 0;
};

uint64_t leadOf(const SortKey& key)
{
    switch (key.sortType) {
    case SortBySize: return key.size;
    case SortByDate: return key.date;
    case SortByID: return prefixOf(key.item->getIdString());
    default: return prefixOf(key.name);
    }
}
} // namespace

// ------------------------------------------------------------------------------------------------
// CMarkerBitmap

CMarkerBitmap::CMarkerBitmap(uint64_t bitTotal) : byteCount((bitTotal + 7) / 8), bitCount(bitTotal)
{
    GLEANER_LOG("CMarkerBitmap::CMarkerBitmap bits = %.0f\n", f32(bitTotal));
    if (bitTotal > UINT64_MAX - 7)
        byteCount = UINT64_MAX / 8 + 1;
    if (byteCount > 0 && byteCount <= SIZE_MAX)
        bits = new (std::nothrow) uint8_t[size_t(byteCount)];
    if (!bits && byteCount > 0)
        std::printf("CMarkerBitmap - error allocating bitmap (size=%d bytes)\n", int(byteCount));
    init(0);
}

CMarkerBitmap::~CMarkerBitmap()
{
    if (bits) {
        GLEANER_LOG("CMarkerBitmap::~CMarkerBitmap\n");
        delete[] bits;
    }
}

void CMarkerBitmap::init(uint8_t value)
{
    if (!bits)
        return;
    GLEANER_LOG("CMarkerBitmap::init - value = %d\n", int(value));
    std::memset(bits, value, size_t(byteCount));
}

bool CMarkerBitmap::isBitSet(uint64_t bit)
{
    if (!bits)
        return false;
    if (bit / 8 >= byteCount) {
        std::printf("isBitSet error: bit out of range\n");
        return false;
    }
    return (bits[bit / 8] >> (bit % 8)) & 1;
}

void CMarkerBitmap::setBit(uint64_t bit, bool value)
{
    if (!bits || bit / 8 >= byteCount)
        return;
    const uint8_t mask = uint8_t(1u << (bit % 8));
    if (value)
        bits[bit / 8] |= mask;
    else
        bits[bit / 8] &= uint8_t(~mask);
}

void CMarkerBitmap::setBits(uint64_t startBit, uint64_t count, bool value)
{
    if (!bits)
        return;
    const uint64_t startByte = startBit / 8;
    if (startByte >= byteCount) {
        std::printf("CMarkerBitmap error - startbit out of range\n");
        return;
    }
    // The end is tested without forming startBit + count, which could wrap.
    if (count > UINT64_MAX - startBit || (startBit + count) / 8 > byteCount) {
        std::printf("CMarkerBitmap warning - startbit+count out of range\n");
        count = (byteCount - startByte) * 8;
    }
    std::memset(bits + startByte, value ? 0xFF : 0, size_t(count / 8));
}

void CMarkerBitmap::dump()
{
    std::printf("CMarkerBitmap::dump\n");
    std::printf("size (bytes) = %.0f, bitcount = %.0f\n", f32(byteCount), f32(bitCount));
    uint64_t set = 0;
    for (uint64_t bit = 0; bit < bitCount; ++bit)
        if (isBitSet(bit))
            ++set;
    const float percent = bitCount ? 100.0f * float(set) / float(bitCount) : 0.0f;
    std::printf("bitsetcount = %.0f, percent set: %.2f\n", f32(set), double(percent));
}

// ------------------------------------------------------------------------------------------------
// CVolume

CVolume::CVolume()
{
}

CVolume::CVolume(CDisk* theDisk) : disk(theDisk), sortType(SortByName), name("Unknown")
{
    GLEANER_LOG("CVolume::CVolume\n");
    if (disk) {
        allocBlockSize = uint32_t(std::max(0, disk->getBlockSize()));
        allocBlocks = uint64_t(std::max<int64_t>(0, disk->getBlockCount()));
    }
}

CVolume::~CVolume()
{
    GLEANER_LOG("CVolume::~CVolume\n");
    if (root) {
        delete root;
        root = nullptr;
    }
    deleteBitmap();
}

std::string CVolume::getName()
{
    return name;
}

void CVolume::setRoot(CVolumeItem* item)
{
    if (root && root != item)
        delete root;
    root = item;
}

bool CVolume::mount(bool)
{
    GLEANER_LOG("CVolume::mount\n");
    return true;
}

bool CVolume::read(uint64_t offset, uint32_t length, void* buffer)
{
    if (!disk) {
        std::printf("CVolume::read - error: no disk assigned!\n");
        return false;
    }
    CCachedDisk* cache = dynamic_cast<CCachedDisk*>(disk);
    const int blockSize = disk->getBlockSize();
    if (!cache || blockSize <= 0 || (length > 0 && !buffer))
        return false;
    // The whole range must lie on the disk: the cache would hand out zeros past its end.
    const uint64_t diskBytes = uint64_t(std::max<int64_t>(0, disk->getBlockCount())) * uint64_t(blockSize);
    if (offset > UINT64_MAX - diskOfs)
        return false;
    const uint64_t start = offset + diskOfs;
    if (start > diskBytes || length > diskBytes - start || start > uint64_t(INT64_MAX))
        return false;
    // The cache takes int lengths: large reads go in pieces that never turn negative.
    constexpr uint32_t kPiece = 1u << 30;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(kPiece, length - done);
        if (!cache->read(int64_t(start + done), int(piece), out + done))
            return false;
        done += piece;
    }
    if (markerBitmap && marking)
        markerBitmap->setBit(start / uint64_t(blockSize), true);
    return true;
}

void CVolume::createBitmap()
{
    deleteBitmap();
    const int64_t blocks = disk ? disk->getBlockCount() : 0;
    markerBitmap = new (std::nothrow) CMarkerBitmap(uint64_t(std::max<int64_t>(0, blocks)));
}

void CVolume::deleteBitmap()
{
    delete markerBitmap;
    markerBitmap = nullptr;
}

void CVolume::setMarking(bool on)
{
    marking = on;
}

bool CVolume::isAllocationBlockUsed(uint64_t)
{
    return false;
}

void CVolume::setSortType(int type)
{
    sortType = type;
}

void CVolume::createRoot(const std::string& rootName)
{
    if (root) {
        delete root;
        root = nullptr;
    }
    CVolumeItem* item = new (std::nothrow) CVolumeItem();
    if (!item)
        return;
    item->setParent(nullptr);
    item->setName(rootName);
    item->setContainer(true);
    item->volume = this;
    root = item;
}

std::string itemSizeText(CVolumeItem* item)
{
    if (item->isDamaged())
        return localize("SizeDamaged");
    char text[64];
    std::snprintf(text, sizeof text, "%.0f KB", double(float(item->getSize()) / 1024.0f));
    return text;
}

int Sign64(int64_t value)
{
    return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

// ------------------------------------------------------------------------------------------------
// CVolumeItem

CVolumeItem::CVolumeItem() = default;

CVolumeItem::CVolumeItem(bool isContainer) : container(isContainer) {}

CVolumeItem::~CVolumeItem()
{
    // Items never outlive their volume: the engine frees a result tree before the volumes it came from.
    const bool isRoot = volume && volume->root == this;
    if (isRoot) {
        std::printf("CVolumeItem::~CVolumeItem rootitem\n");
        destroyedItems = volume->freedAheadOfRoot;
    }
    deleteChildren();
    ++destroyedItems;
    if (isRoot)
        std::printf("CVolumeItem::~CVolumeItem frees:%.0f\n", f32(destroyedItems));
}

void CVolumeItem::setFlags(char value) { flags = value; }
char CVolumeItem::getFlags() { return flags; }
bool CVolumeItem::isLost() { return (flags & ItemLost) != 0; }
bool CVolumeItem::isDeleted() { return (flags & ItemDeleted) != 0; }
bool CVolumeItem::isContainer() { return container; }
void CVolumeItem::setContainer(bool value) { container = value; }
void CVolumeItem::setName(std::string text) { name = std::move(text); }
std::string CVolumeItem::getName() { return name; }
std::string CVolumeItem::getIdString() { return "n/a"; }
uint32_t CVolumeItem::getDate() { return 0; }
uint64_t CVolumeItem::getSize() { return 0; }
uint32_t CVolumeItem::read(uint64_t, void*, uint32_t) { return 0; }
CVolumeItem* CVolumeItem::getParent() { return parent; }

std::string CVolumeItem::getPath()
{
    std::string path;
    int steps = 0;
    for (CVolumeItem* item = parent; item && steps < kMaxParentChain; item = item->getParent(), ++steps)
        path = item->getName() + "/" + path;
    return path;
}

void CVolumeItem::dump()
{
    if (container) {
        GLEANER_LOG("CVolumeItem::dump - folder name: %s (%d items)\n", name.c_str(), int(children.size()));
        for (CVolumeItem* child : children)
            child->dump();
    } else {
        GLEANER_LOG("CVolumeItem::dump - file name: %s\n", name.c_str());
    }
}

void CVolumeItem::setParent(CVolumeItem* item)
{
    if (!item)
        GLEANER_LOG("CVolumeItem::setParent - parent=NULL!\n");
    parent = item;
}

CVolumeItem* CVolumeItem::getChild(int index, bool all)
{
    if (all) {
        if (index < 0 || size_t(index) >= children.size()) {
            GLEANER_LOG("CVolumeItem::getChild - index out of range!\n");
            return nullptr;
        }
        return children[size_t(index)];
    }
    if (index < 0)
        return nullptr;
    int folders = 0;
    for (CVolumeItem* child : children)
        if (child->isContainer() && folders++ == index)
            return child;
    return nullptr;
}

int CVolumeItem::getChildCount(bool all)
{
    if (all)
        return int(std::min<size_t>(children.size(), INT_MAX));
    int folders = 0;
    for (CVolumeItem* child : children)
        if (child->isContainer())
            ++folders;
    return folders;
}

void CVolumeItem::addChild(CVolumeItem* child)
{
    if (!child) {
        std::printf("CVolumeItem::addChild - child=NULL!\n");
        return;
    }
    GLEANER_LOG("CVolumeItem::addChild %s\n", child->name.c_str());
    children.push_back(child);
    childrenChanged();
}

bool CVolumeItem::addChildren()
{
    GLEANER_LOG("CVolumeItem::addChildren\n");
    return container;
}

void CVolumeItem::deleteChildren()
{
    // Subtrees are taken apart level by level rather than by recursion, so a very deep tree built
    // from a corrupt disk cannot exhaust the stack while it is freed.
    std::vector<CVolumeItem*> pending;
    pending.swap(children);
    childrenChanged();
    while (!pending.empty()) {
        CVolumeItem* item = pending.back();
        pending.pop_back();
        try {
            pending.insert(pending.end(), item->children.begin(), item->children.end());
            item->children.clear();
        } catch (const std::bad_alloc&) {
            // Without room for the list the item frees its own subtree.
        }
        delete item;
    }
}

// ------------------------------------------------------------------------------------------------
// Tree operations

int CVolumeItem::compare(CVolumeItem* other)
{
    if (!other)
        return 0;
    return compareKeys(sortKeyOf(this), sortKeyOf(other));
}

bool CVolumeItem::lessThan(CVolumeItem* a, CVolumeItem* b)
{
    return a && a->compare(b) < 0;
}

int CVolumeItem::childSortType() const
{
    const CVolumeItem* first = children.empty() ? nullptr : children.front();
    return first && first->volume ? first->volume->sortType : SortByName;
}

namespace {
// Puts children in lessThan order, or only checks it when sortAlways is false and leaves a list
// already in order as it is. Each child's keys are read once; the permutation is the one std::sort
// gives over lessThan, since the same comparisons decide it.
void orderChildren(std::vector<CVolumeItem*>& children, bool sortAlways)
{
    std::vector<SortKey> keys;
    std::vector<SortEntry> entries;
    // Children of volumes with different sort types, or null ones, are compared as they are.
    bool keyed =
        std::find(children.begin(), children.end(), nullptr) == children.end() && children.size() <= UINT32_MAX;
    if (keyed) {
        try {
            keys.reserve(children.size());
            entries.reserve(children.size());
            for (CVolumeItem* child : children) {
                keys.push_back(sortKeyOf(child));
                keyed = keyed && keys.back().sortType == keys.front().sortType;
                entries.push_back(SortEntry{leadOf(keys.back()), uint32_t(entries.size())});
            }
        } catch (const std::bad_alloc&) {
            keyed = false; // without room for the keys the comparison reads the items themselves
        }
    }
    if (!keyed) {
        if (sortAlways || !std::is_sorted(children.begin(), children.end(), CVolumeItem::lessThan))
            std::sort(children.begin(), children.end(), CVolumeItem::lessThan);
        return;
    }
    // The lead decides exactly when it differs: it is the first field compared, or its first bytes.
    const bool invalid = !keys.empty() && (keys.front().sortType < SortByName || keys.front().sortType > SortByID);
    auto less = [&keys, invalid](const SortEntry& a, const SortEntry& b) {
        if (a.lead != b.lead && !invalid)
            return a.lead < b.lead;
        return compareKeys(keys[a.index], keys[b.index]) < 0;
    };
    if (!sortAlways && std::is_sorted(entries.begin(), entries.end(), less))
        return;
    std::sort(entries.begin(), entries.end(), less);
    for (size_t i = 0; i < entries.size(); ++i)
        children[i] = keys[entries[i].index].item;
}
} // namespace

void CVolumeItem::sortChildren()
{
    orderChildren(children, true);
    sortedKnown = true;
    sortedBy = childSortType();
}

void CVolumeItem::keepChildrenSorted()
{
    const int type = childSortType();
    if (sortedKnown && sortedBy == type)
        return;
    orderChildren(children, false);
    sortedKnown = true;
    sortedBy = type;
}

bool CVolumeItem::traverse(CVolumeItemCallback* callback, bool recursive)
{
    return traverseLevel(callback, recursive, 0);
}

bool CVolumeItem::traverseLevel(CVolumeItemCallback* callback, bool recursive, int depth)
{
    if (!isContainer())
        return true;
    if (depth >= kMaxTreeDepth) {
        GLEANER_LOG("CVolumeItem::traverse - tree deeper than %d levels, not descending\n", kMaxTreeDepth);
        return true;
    }
    bool loaded = false;
    if (children.empty()) {
        addChildren();
        loaded = true;
    }
    bool result = true;
    for (size_t i = 0; i < children.size();) {
        CVolumeItem* child = children[i];
        bool stop = false, keep = false;
        if (callback)
            callback->nextVolumeItem(child, &stop, &keep);
        bool taken = false;
        if (loaded && keep) {
            children.erase(children.begin() + std::ptrdiff_t(i));
            childrenChanged();
            taken = true;
        }
        if (stop) {
            result = false;
            break;
        }
        if (recursive && !child->traverseLevel(callback, true, depth + 1)) {
            result = false;
            break;
        }
        if (!taken)
            ++i;
    }
    if (loaded)
        deleteChildren();
    return result;
}

CVolumeItem* CVolumeItem::findOrCreateChild(const std::string& childName, bool create)
{
    for (CVolumeItem* child : children)
        if (child->getName() == childName)
            return child;
    if (!create)
        return nullptr;
    CVolumeItem* item = new (std::nothrow) CVolumeItem();
    if (!item)
        return nullptr;
    item->setContainer(true);
    item->setName(childName);
    item->volume = volume;
    addChild(item);
    item->setParent(this);
    return item;
}

void CVolumeItem::removeEmptyFolders(bool recursive)
{
    removeEmptyFoldersLevel(recursive, 0);
}

void CVolumeItem::removeEmptyFoldersLevel(bool recursive, int depth)
{
    if (!isContainer())
        return;
    for (size_t i = 0; i < children.size();) {
        CVolumeItem* child = children[i];
        if (recursive && depth + 1 < kMaxTreeDepth && !(child->isContainer() && child->children.empty()))
            child->removeEmptyFoldersLevel(true, depth + 1);
        if (child->isContainer() && child->children.empty()) {
            children.erase(children.begin() + std::ptrdiff_t(i));
            childrenChanged();
            delete child;
        } else {
            ++i;
        }
    }
}

void CVolumeItem::removeDuplicates(bool recursive, const std::function<void()>& afterFolder)
{
    // Each folder before its subfolders, which may have gained the children of a dropped
    // duplicate. A list, not recursion, so a deep tree cannot exhaust the stack.
    try {
        std::vector<CVolumeItem*> folders{this};
        while (!folders.empty()) {
            CVolumeItem* folder = folders.back();
            folders.pop_back();
            folder->removeDuplicatesHere();
            if (afterFolder)
                afterFolder();
            if (recursive)
                for (auto child = folder->children.rbegin(); child != folder->children.rend(); ++child)
                    if ((*child)->isContainer())
                        folders.push_back(*child);
        }
    } catch (const std::bad_alloc&) {
        std::printf("CVolumeItem::removeDuplicates - error: out of memory, duplicates left in place\n");
    }
}

void CVolumeItem::removeDuplicatesHere()
{
    if (volume)
        volume->setSortType(SortByName);
    sortChildren();
    for (size_t i = 0; i + 1 < children.size();) {
        CVolumeItem* current = children[i];
        CVolumeItem* next = children[i + 1];
        if (current->compare(next) != 0) {
            ++i;
            continue;
        }
        // The duplicate's own children go to the item that stays, so nothing found is lost.
        for (CVolumeItem* grandchild : current->children) {
            next->addChild(grandchild);
            grandchild->setParent(next);
        }
        current->children.clear();
        children.erase(children.begin() + std::ptrdiff_t(i));
        childrenChanged();
        delete current;
    }
}

// ------------------------------------------------------------------------------------------------
// CRawVolumeItem

CRawVolumeItem::CRawVolumeItem() = default;
CRawVolumeItem::~CRawVolumeItem() = default;

std::string CRawVolumeItem::getIdString()
{
    return std::to_string(firstBlock);
}

uint64_t CRawVolumeItem::getSize()
{
    return size;
}

uint32_t CRawVolumeItem::read(uint64_t offset, void* buffer, uint32_t length)
{
    const int blockSize = volume && volume->disk ? volume->disk->getBlockSize() : 0;
    const uint64_t bs = uint64_t(std::max(0, blockSize));
    // A start that would not fit in 64 bits is a read error like any other.
    const bool fits = bs > 0 && firstBlock <= (UINT64_MAX - offset) / bs;
    if (!fits || !volume->read(firstBlock * bs + offset, length, buffer)) {
        std::printf("CRawVolumeItem - read error\n");
        return 0;
    }
    return length;
}

// ------------------------------------------------------------------------------------------------
// CVolumeTableModel

CVolumeTableModel::CVolumeTableModel(CVolumeItem* shown) : folder(shown) {}

int CVolumeTableModel::getRowCount()
{
    return folder ? folder->getChildCount(true) : 0;
}

void CVolumeTableModel::reservedSlot1() {}

std::string CVolumeTableModel::reservedSlot3(int)
{
    return std::string();
}

CVolumeItem* CVolumeTableModel::childAt(int row)
{
    if (!folder || row < 0 || row >= folder->getChildCount(true))
        return nullptr;
    // The first row is asked for whenever the view redraws from the top: the list is put in order
    // then, before any child is handed out, so row 0 is always the first of the sorted list. The
    // folder remembers that it is in order, so a redraw does not check a long list again.
    if (row == 0)
        folder->keepChildrenSorted();
    return folder->getChild(row, true);
}

std::string CVolumeTableModel::getCellText(int row, int columnId)
{
    CVolumeItem* child = childAt(row);
    if (!child)
        return std::string();
    switch (columnId) {
    case NameColumn: return child->getName();
    case SizeColumn: {
        if (child->isContainer())
            return std::string();
        return itemSizeText(child);
    }
    case TypeColumn:
        // A compressed file's data is not read, a damaged one's only in part: the listing says so
        // before anyone saves it.
        if (child->isContainer())
            return localize("Folder");
        if (child->isDamaged())
            return localize("File (damaged)");
        return localize(child->isCompressed() ? "File (compressed)" : "File");
    case DateColumn: {
        const uint32_t date = child->getDate();
        return date == 0 ? localize("n/a") : formatDate(date);
    }
    case IdColumn: return child->getIdString();
    default:
        return std::string();
    }
}

int CVolumeTableModel::getRowImageIndex(int row)
{
    CVolumeItem* child = childAt(row);
    if (!child)
        return NoRowImage;
    if (child->isContainer())
        return child->isDeleted() ? FolderClosedDeletedImage : FolderClosedImage;
    return child->isDeleted() ? FileDeletedImage : FileImage;
}
