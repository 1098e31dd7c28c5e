// Checks the test image builder against an independent reader: volumes the builder writes must list
// through The Sleuth Kit's fls as built, icat must return every file's bytes, and blkstat must see
// the builder's allocation bitmap. (The xorriso fixture is read back by fls in the readers' tests.)

#include "hfsfixtures.h"
#include "hfsimagebuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

#define REQUIRE_TOOLS(...)                 \
    for (const char* tool : {__VA_ARGS__}) \
        if (!toolAvailable(tool))          \
    GTEST_SKIP() << tool << " is not installed"

using Bytes = std::vector<uint8_t>;

// The image written to a file, with the sector where fls and icat find the volume.
struct ImageFile {
    explicit ImageFile(const HfsImage& image) : sector(image.volumeOffset / 512)
    {
        EXPECT_TRUE(writeFileBytes(path, image.bytes));
    }
    // "TYPE ID PATH" of every user entry fls lists.
    std::vector<std::string> listing() const
    {
        const auto entries = runFls(path, sector);
        EXPECT_TRUE(entries.has_value());
        std::vector<std::string> lines;
        for (const FlsEntry& e : userEntries(entries.value_or(std::vector<FlsEntry>{})))
            lines.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    // Every file's bytes through icat, by catalog node ID.
    void expectContents(const std::map<uint32_t, Bytes>& contents) const
    {
        for (const auto& [id, bytes] : contents) {
            const auto got = runIcat(path, sector, id);
            ASSERT_TRUE(got.has_value()) << "icat failed for " << id;
            EXPECT_TRUE(*got == bytes) << "file " << id << ": " << got->size() << " bytes instead of " << bytes.size();
        }
    }
    ScratchDir dir;
    std::string path = dir.file("volume.img");
    uint64_t sector;
};

} // namespace

// fls must list what was built and icat read every file. icat finds a file through its thread
// record and then its (parent, name) key, searching the index nodes: that only works when the
// builder sorted the keys as the volume's flavour compares names and placed every node (also those
// of a catalog continued in the overflow file) where its layout says.
TEST(HfsImageBuilder, TskListsAndReadsVolumesOfEveryShape)
{
    REQUIRE_TOOLS("fls", "icat");
    using Entries = std::vector<std::pair<std::string, int>>; // path and size; folders end in '/'
    const auto filesIn = [](const std::string& folder, const std::vector<std::string>& names) {
        Entries entries;
        if (!folder.empty())
            entries.push_back({folder, -1});
        for (const std::string& name : names)
            entries.push_back({folder + name, 300});
        return entries;
    };
    std::vector<std::string> numbered;
    for (int i = 0; i < 30; ++i)
        numbered.push_back("file" + std::to_string(100 + i));
    const struct {
        HfsBuildOptions options;
        bool inMap;
        Entries entries;
    } cases[] = {
        {{.volumeName = "Built", .blockSize = 4096},
         true,
         {{"Docs/", -1},
          {"Docs/Deep/", -1},
          {"Empty/", -1},
          {"zero.bin", 0},
          {"Cafe\xCC\x81.txt", 1}, // decomposed, as HFS Plus keeps names
          {"Docs/block-1.bin", 4095},
          {"Docs/block+1.bin", 4097},
          {"Docs/Deep/three.bin", 3 * 4096}}},
        {{.flavor = HfsFlavor::HfsxCaseSensitive,
          .blockSize = 512,
          .catalog = {.nodeSize = 512, .maxLeafRecords = 2, .maxIndexRecords = 2}},
         false,
         filesIn("", {"a", "A", "b", "B", "Zeta", "zeta"})},
        {{.blockSize = 512, .catalog = {.nodeSize = 512, .maxLeafRecords = 3, .maxIndexRecords = 2}},
         false,
         filesIn("Mixed/", {"apple", "Banana", "cherry", "Date", "elder", "Fig", "grape", "Hazel", "_under", "Zed"})},
        {{.blockSize = 512, .catalog = {.nodeSize = 1024, .maxLeafRecords = 4, .extentCount = 12}},
         false,
         filesIn("", numbered)},
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(c);
        HfsImageBuilder builder(cases[c].options);
        std::map<std::string, uint32_t> folders = {{"", kHfsRootFolderID}};
        std::map<uint32_t, Bytes> contents;
        std::vector<std::string> expected;
        for (const auto& [path, size] : cases[c].entries) {
            const std::string bare = size < 0 ? path.substr(0, path.size() - 1) : path;
            const size_t slash = bare.rfind('/');
            const uint32_t parent = folders.at(slash == std::string::npos ? "" : bare.substr(0, slash + 1));
            const std::string name = bare.substr(slash + 1); // the whole path when there is no slash
            uint32_t id = 0;
            if (size < 0) {
                id = folders[path] = builder.addFolder(parent, name);
            } else {
                const Bytes bytes = patternBytes(size_t(size), uint32_t(contents.size()));
                id = builder.addFile(parent, name, bytes);
                contents[id] = bytes;
            }
            expected.push_back(std::string(size < 0 ? "d/d " : "r/r ") + std::to_string(id) + " " + bare);
        }
        const HfsImage image = cases[c].inMap ? builder.buildInPartitionMap(64) : builder.build();
        EXPECT_EQ(image.catalog.depth >= 3, c == 1 || c == 2);
        EXPECT_EQ(image.catalog.extents.size(), c == 3 ? 12u : 1u);
        for (size_t level = 0; level < image.catalog.levels.size(); ++level)
            for (uint32_t node : image.catalog.levels[level]) {
                const uint64_t at = image.nodeOffset(HfsTree::Catalog, node);
                EXPECT_EQ(int8_t(image.bytes[at + 8]), level == 0 ? -1 : 0) << "node " << node;
                EXPECT_EQ(image.bytes[at + 9], level + 1) << "node " << node;
            }
        const ImageFile file(image);
        if (cases[c].inMap) {
            const auto partition = findApmPartition(file.path);
            ASSERT_TRUE(partition.has_value());
            EXPECT_EQ(partition->firstBlock, 64u);
            EXPECT_EQ(uint64_t(partition->blockCount) * 512, uint64_t(image.totalBlocks) * image.blockSize);
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(file.listing(), expected);
        file.expectContents(contents);
    }
}

// 512-byte blocks and overflow leaves of two records: a 40-extent file needs four overflow records
// on two leaves; the resource fork's records (fork type 0xFF) sort after the data fork's.
TEST(HfsImageBuilder, TskReadsForksWhoseExtentsContinueInSeveralOverflowLeaves)
{
    REQUIRE_TOOLS("icat");
    HfsImageBuilder builder({.blockSize = 512, .extents = {.nodeSize = 512, .maxLeafRecords = 2}});
    const Bytes first = patternBytes(60 * 512 + 100, 7);
    const Bytes second = patternBytes(20 * 512, 8);
    const Bytes resource = patternBytes(10 * 512, 9);
    const uint32_t fragmented = builder.addFile(kHfsRootFolderID, "fragmented.bin", first,
                                                {.dataExtents = 40, .resourceFork = resource, .resourceExtents = 10});
    const uint32_t other = builder.addFile(kHfsRootFolderID, "other.bin", second, {.dataExtents = 12});
    const HfsImage image = builder.build();
    ASSERT_EQ(image.dataForks.at(fragmented).size(), 40u);
    EXPECT_EQ(image.extents.depth, 2u);

    const ImageFile file(image);
    file.expectContents({{fragmented, first}, {other, second}});
    const ToolResult rsrc = runTool({"icat", file.path, std::to_string(fragmented) + "-4353"});
    EXPECT_EQ(rsrc.exitStatus, 0) << rsrc.errors;
    EXPECT_TRUE(rsrc.output == std::string(resource.begin(), resource.end()));
}

TEST(HfsImageBuilder, FreeDataLiesInBlocksTheBitmapLeavesFree)
{
    REQUIRE_TOOLS("icat", "blkstat");
    HfsImageBuilder builder({.blockSize = 1024});
    const Bytes before = patternBytes(2048, 60);
    const Bytes lost = patternBytes(3000, 61);
    const uint32_t beforeID = builder.addFile(kHfsRootFolderID, "before", before);
    const size_t run = builder.addFreeData(lost);
    builder.addFile(kHfsRootFolderID, "after", patternBytes(1024, 62));
    const HfsImage image = builder.build();
    const HfsExtent extent = image.freeRuns[run];
    ASSERT_EQ(extent.blockCount, 3u);
    EXPECT_TRUE(
        std::equal(lost.begin(), lost.end(), image.bytes.begin() + int64_t(image.blockOffset(extent.startBlock))));

    const ImageFile file(image);
    // blkstat counts in allocation blocks and reads the bitmap itself.
    for (uint32_t block = extent.startBlock - 1; block <= extent.startBlock + 3; ++block) {
        const ToolResult result =
            runTool({"blkstat", "-o", std::to_string(file.sector), file.path, std::to_string(block)});
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        const bool free = block >= extent.startBlock && block < extent.startBlock + 3;
        EXPECT_EQ(result.output.find("Not Allocated") != std::string::npos, free) << "block " << block;
        EXPECT_EQ(image.isBlockUsed(block), !free) << "block " << block;
    }
    file.expectContents({{beforeID, before}});
}

// Index records hold a key and a 4-byte child number. With 1024-byte nodes and keys of 248 bytes,
// four records fit when the child numbers are forgotten and overrun the record offset table when
// they are written: every index node must end its records before its table.
TEST(HfsImageBuilder, FullIndexNodesKeepTheirRecordOffsetTables)
{
    HfsImageBuilder builder({.catalog = {.nodeSize = 1024}});
    for (char c = 'a'; c <= 'x'; ++c)
        builder.addFile(kHfsRootFolderID, std::string(120, c), Bytes(1, uint8_t(c)), {.thread = false});
    const HfsImage image = builder.build();
    ASSERT_GE(image.catalog.levels.size(), 2u);
    const uint16_t nodeSize = image.catalog.nodeSize;
    for (size_t level = 1; level < image.catalog.levels.size(); ++level)
        for (uint32_t node : image.catalog.levels[level]) {
            SCOPED_TRACE(node);
            const uint64_t at = image.nodeOffset(HfsTree::Catalog, node);
            const uint16_t count = uint16_t(image.bytes[at + 10] << 8 | image.bytes[at + 11]);
            const uint64_t freeEntry = at + nodeSize - 2 - 2 * uint64_t(count);
            const uint16_t freeStart = uint16_t(image.bytes[freeEntry] << 8 | image.bytes[freeEntry + 1]);
            EXPECT_LE(freeStart, nodeSize - 2 - 2 * count);
            for (uint16_t r = 0; r < count; ++r) // every record starts before the table
                EXPECT_LT(image.recordOffset(HfsTree::Catalog, node, r), freeEntry);
        }
}
