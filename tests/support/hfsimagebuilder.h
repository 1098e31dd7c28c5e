// Builds HFS Plus and HFSX volumes in memory from the on-disk format, independent of the engine's
// reader, with trees of a chosen shape, to patch after the build. Options are taken unchecked.
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
constexpr uint32_t kHfsRootParentID = 1;
constexpr uint32_t kHfsRootFolderID = 2;
enum class HfsFlavor {
    HfsPlus,           // "H+", version 4, names fold case (keyCompareType 0xCF)
    HfsxCaseSensitive, // "HX", version 5, names compare as binary UTF-16 (0xBC)
};
enum class HfsTree { Catalog, Extents };
// Leaves and index nodes are filled in key order up to what fits or up to the chosen maximum.
struct HfsTreeShape {
    uint16_t nodeSize = 4096;     // 512 to 32768, a power of two
    uint32_t maxLeafRecords = 0;  // 0: as many as fit
    uint32_t maxIndexRecords = 0; // 0: as many as fit; otherwise at least 2
    uint32_t extentCount = 1;     // the catalog's pieces beyond 8 go to the extents overflow file
};
struct HfsBuildOptions {
    HfsFlavor flavor = HfsFlavor::HfsPlus;
    std::string volumeName = "Untitled";
    uint32_t blockSize = 4096; // a power of two of at least 512
    HfsTreeShape catalog{};
    HfsTreeShape extents{};
    uint32_t spareBlocks = 8;               // free zero blocks before the alternate header
    uint32_t minimumBlocks = 0;             // more spare blocks until the volume has this many
    bool allocationFileWholeBlocks = false; // the allocation file's size in whole blocks, as a Mac writes it
    // HfsImage::bytes end after the last byte written, for a volume too large to hold in memory
    // (its files given data are best added first); HfsImage::writeFile makes it whole, the blocks
    // never written left as holes of a sparse file.
    bool sparse = false;
};
// The defaults describe a sound item; the others build odd or corrupt catalogs.
struct HfsItemOptions {
    uint32_t id = 0;    // 0: the next free ID; a given ID is taken as it is, even twice
    bool thread = true; // write the item's thread record
    uint32_t attributeModDate = kHfsDefaultAttributeDate;
    // Files only: pieces of each fork, one free block apart; pieces beyond 8 go to the overflow file.
    uint32_t dataExtents = 1;
    // A data fork larger than the data given: its logicalSize and blocks; the blocks past the data
    // are not written (zeros). 0: the data's size.
    uint64_t dataSize = 0;
    std::vector<uint8_t> resourceFork{};
    uint32_t resourceExtents = 1;
    // File record fields as written (a hard link: 'hlnk', 'hfs+' and its number in bsdSpecial).
    uint16_t fileFlags = 0;
    uint8_t ownerFlags = 0;
    uint32_t bsdSpecial = 0;
    uint32_t fileType = 0;
    uint32_t fileCreator = 0;
};
struct HfsExtent {
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
};
// A leaf record's node and index, with its key bytes from the key length field on.
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
    std::vector<std::vector<uint32_t>> levels; // node numbers per level in key order; [0] the leaves
    std::vector<HfsRecordPlace> records;       // every leaf record in key order
    std::vector<HfsExtent> extents;            // the tree file's extents in fork order
};
// A built volume and its map; offsets are byte positions in `bytes`.
class HfsImage {
public:
    std::vector<uint8_t> bytes;
    uint32_t blockSize = 0;
    uint32_t totalBlocks = 0;
    HfsTreeLayout catalog;
    HfsTreeLayout extents;
    std::vector<HfsExtent> allocationFile;
    std::vector<HfsExtent> freeRuns; // HfsImageBuilder::addFreeData's runs, by handle
    std::map<uint32_t, std::vector<HfsExtent>> dataForks; // every file's data fork, by ID
    std::vector<uint8_t> volumeBytes() const { return bytes; }
    uint64_t volumeSize() const { return uint64_t(totalBlocks) * blockSize; }
    // Where a file's data fork holds the byte at forkOffset.
    uint64_t dataOffset(uint32_t fileID, uint64_t forkOffset) const;
    // The whole volume as a file (sparse where nothing was written), with the patches (volume
    // offset -> bytes) written over it; false when it cannot be written.
    bool writeFile(const std::string& path, const std::map<uint64_t, std::vector<uint8_t>>& patches = {}) const;
    const HfsTreeLayout& tree(HfsTree which) const { return which == HfsTree::Catalog ? catalog : extents; }
    uint64_t blockOffset(uint32_t block) const { return uint64_t(block) * blockSize; }
    uint64_t nodeOffset(HfsTree which, uint32_t node) const;
    // From the node's record offset table as it is now in `bytes`.
    uint64_t recordOffset(HfsTree which, uint32_t node, uint16_t index) const;
    bool isBlockUsed(uint32_t block) const; // the allocation bitmap as written
    // A leaf record's place, or null when there is none with that key.
    const HfsRecordPlace* findCatalogRecord(uint32_t parentID, const std::string& name) const;
    // Big-endian stores, for corrupting the image in place.
    void put16(uint64_t offset, uint16_t value);
    void put32(uint64_t offset, uint32_t value);
};
class HfsImageBuilder {
public:
    explicit HfsImageBuilder(HfsBuildOptions options = {});
    // Names are UTF-8, stored as UTF-16 without normalization: give decomposed names where a test
    // compares with a tool's listing. Returns the item's ID.
    uint32_t addFolder(uint32_t parentID, const std::string& name, const HfsItemOptions& options = {});
    uint32_t addFile(uint32_t parentID, const std::string& name, std::vector<uint8_t> data,
                     const HfsItemOptions& options = {});
    // The UTF-16 units as they are to be stored.
    uint32_t addFolderUtf16(uint32_t parentID, const std::u16string& name, const HfsItemOptions& options = {})
    {
        return addItem(parentID, name, true, {}, options);
    }
    uint32_t addFileUtf16(uint32_t parentID, const std::u16string& name, std::vector<uint8_t> data,
                          const HfsItemOptions& options = {})
    {
        return addItem(parentID, name, false, std::move(data), options);
    }
    // Blocks the bitmap leaves free, holding these bytes; laid out in order with the files' data.
    // Returns the run's handle in HfsImage::freeRuns.
    size_t addFreeData(std::vector<uint8_t> bytes);
    HfsImage build() const;

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
    uint32_t nextID = 16; // the first ID the format leaves to user items
    friend class HfsLayoutWriter;
};
