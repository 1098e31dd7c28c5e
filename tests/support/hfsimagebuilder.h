// Builds HFS Plus and HFSX volumes in memory, written field by field from the on-disk format and
// independent of the engine's reader: for what no tool here makes (fragmented files continued in the
// extents overflow file, catalog trees of a chosen shape, free blocks holding chosen bytes, broken
// structures patched after the build). The builder owns only its description of the volume; misuse
// (unknown parent, duplicate key, a shape that cannot be laid out) throws std::invalid_argument.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Seconds since 1904-01-01 00:00:00 UTC, as HFS Plus stores dates.
constexpr uint32_t kHfsUnixEpochOffset = 2082844800u;
constexpr uint32_t kHfsDefaultVolumeDate = 1704164645u + kHfsUnixEpochOffset;    // 2024-01-02 03:04:05
constexpr uint32_t kHfsDefaultContentDate = 1683356889u + kHfsUnixEpochOffset;   // 2023-05-06 07:08:09
constexpr uint32_t kHfsDefaultAttributeDate = 1694862245u + kHfsUnixEpochOffset; // 2023-09-16 11:04:05

// Catalog node IDs the format reserves; user items get IDs from kHfsFirstUserID on.
constexpr uint32_t kHfsRootParentID = 1;
constexpr uint32_t kHfsRootFolderID = 2;
constexpr uint32_t kHfsExtentsFileID = 3;
constexpr uint32_t kHfsCatalogFileID = 4;
constexpr uint32_t kHfsAllocationFileID = 6;
constexpr uint32_t kHfsFirstUserID = 16;

// Fork types in extents overflow keys.
constexpr uint8_t kHfsDataForkType = 0x00;
constexpr uint8_t kHfsResourceForkType = 0xFF;

enum class HfsFlavor {
    HfsPlus,           // "H+", version 4, catalog keyCompareType 0xCF (names fold case)
    HfsxCaseSensitive, // "HX", version 5, keyCompareType 0xBC (names compare as binary UTF-16)
    HfsxCaseFolding,   // "HX", version 5, keyCompareType 0xCF
};

enum class HfsTree { Catalog, Extents };

// The shape of one B-tree file. Leaves and index nodes are filled in key order up to what fits in a
// node or up to the chosen maximum, so small limits give deep trees with few items.
struct HfsTreeShape {
    uint16_t nodeSize = 4096;     // 512 to 32768, a power of two
    uint32_t maxLeafRecords = 0;  // 0: as many as fit
    uint32_t maxIndexRecords = 0; // 0: as many as fit; otherwise at least 2
    uint32_t spareNodes = 0;      // free nodes beyond the used ones (more may come from block rounding)
    uint32_t extentCount = 1;     // pieces of the tree file; the catalog's pieces beyond 8 go to the
                                  // extents overflow file, the extents file itself allows at most 8
};

struct HfsBuildOptions {
    HfsFlavor flavor = HfsFlavor::HfsPlus;
    std::string volumeName = "Untitled"; // the root folder's name, UTF-8
    uint32_t blockSize = 4096;           // allocation block size, a multiple of 512
    HfsTreeShape catalog{};
    HfsTreeShape extents{};
    uint32_t spareBlocks = 8; // free zero blocks after everything else, before the alternate header
    uint32_t volumeDate = kHfsDefaultVolumeDate;
    uint32_t minimumBlocks = 0;             // more spare blocks until the volume has at least this many
    bool allocationFileWholeBlocks = false; // the allocation file's logical size: its whole blocks (as a
                                            // Mac writes it) instead of the bitmap's exact bytes
};

// Per-item choices. The defaults describe a sound item; the others build corrupt catalogs.
struct HfsItemOptions {
    uint32_t id = 0;             // 0: the next free ID. A given ID is taken as it is, even twice
                                 // (a folder listed inside itself: add it with its own ID as parent)
    bool thread = true;          // write the item's thread record (key: its ID and an empty name)
    uint32_t threadParentID = 0; // 0: the real parent; anything else writes a wrong thread
    uint32_t contentModDate = kHfsDefaultContentDate;
    uint32_t attributeModDate = kHfsDefaultAttributeDate;
    // Files only.
    uint32_t dataExtents = 1;            // pieces of the data fork, one free block between two pieces;
                                         // pieces beyond 8 are described in the extents overflow file
    std::vector<uint8_t> resourceFork{}; // bytes of the resource fork
    uint32_t resourceExtents = 1;
    // Catalog file record fields, as written: record flags beside the thread bit, the BSD owner
    // flags and special field, and the Finder type and creator (a hard link: 'hlnk', 'hfs+' and
    // the link number in bsdSpecial).
    uint16_t fileFlags = 0;
    uint8_t ownerFlags = 0;
    uint32_t bsdSpecial = 0;
    uint32_t fileType = 0;
    uint32_t fileCreator = 0;
};

struct HfsExtent {
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
    bool operator==(const HfsExtent&) const = default;
};

// Where one leaf record lies: its node and its index in that node, with its key bytes (from the
// key length field on).
struct HfsRecordPlace {
    uint32_t node = 0;
    uint16_t index = 0;
    std::vector<uint8_t> key;
};

struct HfsTreeLayout {
    uint16_t nodeSize = 0;
    uint32_t totalNodes = 0;
    uint32_t depth = 0;
    uint32_t rootNode = 0;
    uint32_t firstLeaf = 0;
    uint32_t lastLeaf = 0;
    std::vector<std::vector<uint32_t>> levels; // node numbers per level in key order; [0] the leaves
    std::vector<HfsRecordPlace> records;       // every leaf record in key order
    std::vector<HfsExtent> extents;            // the tree file's extents in fork order
};

// A built image and its map. Offsets are byte positions in `bytes`, which hold the volume alone
// (volumeOffset 0) or a partition map with the volume at volumeOffset. The set and zero
// operations corrupt the image in place; they write exactly the field they name.
class HfsImage {
public:
    std::vector<uint8_t> bytes;
    uint64_t volumeOffset = 0;
    uint32_t blockSize = 0;
    uint32_t totalBlocks = 0;
    HfsTreeLayout catalog;
    HfsTreeLayout extents;
    std::vector<HfsExtent> allocationFile;
    std::map<uint32_t, std::vector<HfsExtent>> dataForks;     // every extent of each file's data fork, by ID
    std::map<uint32_t, std::vector<HfsExtent>> resourceForks; // likewise for resource forks
    std::vector<HfsExtent> freeRuns;                          // HfsImageBuilder::addFreeData's runs, by handle

    // The volume alone, copied out of `bytes`.
    std::vector<uint8_t> volumeBytes() const;
    const HfsTreeLayout& tree(HfsTree which) const { return which == HfsTree::Catalog ? catalog : extents; }

    uint64_t blockOffset(uint32_t block) const;
    uint64_t nodeOffset(HfsTree which, uint32_t node) const;
    // From the node's record offset table as it is now in `bytes`.
    uint64_t recordOffset(HfsTree which, uint32_t node, uint16_t index) const;
    // The allocation bitmap as written.
    bool isBlockUsed(uint32_t block) const;

    // The place of a leaf record, or null when there is none with that key.
    const HfsRecordPlace* findCatalogRecord(uint32_t parentID, const std::string& name) const;

    // Big-endian stores at a byte position in `bytes`.
    void put8(uint64_t offset, uint8_t value);
    void put16(uint64_t offset, uint16_t value);
    void put32(uint64_t offset, uint32_t value);

    // Fields of the volume header (and of the alternate header when `both`), by their offset in it.
    void setVolumeHeader16(uint32_t field, uint16_t value, bool both = false);
    void setVolumeHeader32(uint32_t field, uint32_t value, bool both = false);
    void setBlockSize(uint32_t value) { setVolumeHeader32(40, value); }
    void zeroVolumeHeader();

    // The header record of node 0 (BTHeaderRec): fields by their offset in the record, or all zero.
    void setTreeHeader16(HfsTree which, uint32_t field, uint16_t value);
    void setTreeHeader32(HfsTree which, uint32_t field, uint32_t value);
    void zeroTreeHeader(HfsTree which);

    // Node descriptor fields.
    void setForwardLink(HfsTree which, uint32_t node, uint32_t fLink);
    void setNodeKind(HfsTree which, uint32_t node, int8_t kind);
    void setNodeHeight(HfsTree which, uint32_t node, uint8_t height);
    void setRecordCount(HfsTree which, uint32_t node, uint16_t numRecords);
    // Entry `index` of the node's record offset table, and the key length field of that record.
    void setRecordOffset(HfsTree which, uint32_t node, uint16_t index, uint16_t offset);
    void setKeyLength(HfsTree which, uint32_t node, uint16_t index, uint16_t keyLength);

private:
    void checkRange(uint64_t offset, uint64_t size) const;
};

class HfsImageBuilder {
public:
    explicit HfsImageBuilder(HfsBuildOptions options = {});

    // Names are UTF-8, stored as UTF-16 without normalization: give decomposed names (as HFS Plus
    // keeps them) where the test compares with a tool's listing. Returns the item's ID.
    uint32_t addFolder(uint32_t parentID, const std::string& name, const HfsItemOptions& options = {});
    uint32_t addFile(uint32_t parentID, const std::string& name, std::vector<uint8_t> data,
                     const HfsItemOptions& options = {});
    // The same with the UTF-16 units given as they are to be stored (lone surrogates and all).
    uint32_t addFolderUtf16(uint32_t parentID, const std::u16string& name, const HfsItemOptions& options = {});
    uint32_t addFileUtf16(uint32_t parentID, const std::u16string& name, std::vector<uint8_t> data,
                          const HfsItemOptions& options = {});

    // Blocks that the allocation bitmap leaves free, holding these bytes (zero-padded to whole
    // blocks). Data runs and free runs are laid out in the order they were added. Returns the
    // handle of the run in HfsImage::freeRuns.
    size_t addFreeData(std::vector<uint8_t> bytes);

    HfsImage build() const;
    // An image with 512-byte blocks: a partition map at block 1 (a map entry and an Apple_HFS entry)
    // and the volume at startBlock.
    HfsImage buildInPartitionMap(uint32_t startBlock = 64, const std::string& partitionName = "Gleaner") const;

    // Catalog key order of this builder's flavour: negative, zero or positive. Case folding (0xCF)
    // is simplified: it folds ASCII A-Z and the Latin-1 letters without a decomposition (Æ Ð Ø Þ),
    // ignores the code points the format ignores (U+200C-200F, 202A-202E, 206A-206F, FEFF) and sorts
    // U+0000 last; other scripts compare by code unit, so tests should use ASCII or decomposed names.
    int compareNames(const std::u16string& a, const std::u16string& b) const;

    static std::u16string utf16FromUtf8(const std::string& text);

private:
    struct Item {
        uint32_t id = 0;
        uint32_t parentID = 0;
        std::u16string name;
        bool folder = false;
        std::vector<uint8_t> data;
        HfsItemOptions options;
    };
    struct DataRun {
        bool freeRun = false;
        size_t index = 0; // into items or freeData
    };

    uint32_t addItem(uint32_t parentID, const std::u16string& name, bool folder, std::vector<uint8_t> data,
                     const HfsItemOptions& options);

    HfsBuildOptions opts;
    std::vector<Item> items;
    std::vector<std::vector<uint8_t>> freeData;
    std::vector<DataRun> runs;
    uint32_t nextID = kHfsFirstUserID;

    friend class HfsLayoutWriter;
};
