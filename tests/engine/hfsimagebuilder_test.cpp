// Checks the test image builder and the tool fixtures against third parties: volumes the builder
// writes must read back through The Sleuth Kit (fls lists them, icat returns every file's bytes,
// blkstat sees the builder's bitmap), xorriso images must list as their source tree describes, and
// hfsutils must make HFS volumes.

#include "hfsfixtures.h"
#include "hfsimagebuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <tuple>

namespace {

#define REQUIRE_TOOLS(...)                                   \
    do {                                                     \
        for (const char* tool : {__VA_ARGS__})               \
            if (!toolAvailable(tool))                        \
                GTEST_SKIP() << tool << " is not installed"; \
    } while (0)

struct Expected {
    std::string type;
    uint64_t inode;
    std::string path;
    bool operator<(const Expected& o) const { return path < o.path; }
    bool operator==(const Expected& o) const = default;
};

[[maybe_unused]] std::ostream& operator<<(std::ostream& out, const Expected& e)
{
    return out << e.type << " " << e.inode << " " << e.path;
}

std::vector<Expected> listed(const std::vector<FlsEntry>& entries)
{
    std::vector<Expected> out;
    for (const FlsEntry& e : userEntries(entries))
        out.push_back({e.type, e.inode, e.path});
    return out;
}

// Writes the image to a file and answers the sector where fls and icat find the volume.
struct ImageFile {
    ScratchDir dir;
    std::string path;
    uint64_t sector = 0;

    explicit ImageFile(const HfsImage& image) : path(dir.file("volume.img")), sector(image.volumeOffset / 512)
    {
        EXPECT_TRUE(writeFileBytes(path, image.bytes));
    }
};

// Every file's bytes through icat, by catalog node ID.
void expectContents(const ImageFile& file, const std::map<uint32_t, std::vector<uint8_t>>& contents)
{
    for (const auto& [id, bytes] : contents) {
        const auto got = runIcat(file.path, file.sector, id);
        ASSERT_TRUE(got.has_value()) << "icat failed for " << id;
        EXPECT_TRUE(*got == bytes) << "file " << id << ": " << got->size() << " bytes instead of " << bytes.size();
    }
}

} // namespace

TEST(HfsImageBuilder, TskListsTheBuiltTreeAndReadsEveryFile)
{
    REQUIRE_TOOLS("fls", "icat");
    HfsImageBuilder builder({.volumeName = "Built", .blockSize = 4096});
    std::map<uint32_t, std::vector<uint8_t>> contents;
    std::vector<Expected> expected;
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "Docs");
    const uint32_t deep = builder.addFolder(docs, "Deep");
    const uint32_t empty = builder.addFolder(kHfsRootFolderID, "Empty");
    expected.push_back({"d/d", docs, "Docs"});
    expected.push_back({"d/d", deep, "Docs/Deep"});
    expected.push_back({"d/d", empty, "Empty"});
    const std::vector<std::tuple<uint32_t, std::string, std::string, size_t>> files = {
        {kHfsRootFolderID, "", "zero.bin", 0},
        {kHfsRootFolderID, "", "Cafe\xCC\x81.txt", 1}, // decomposed, as HFS Plus keeps names
        {docs, "Docs/", "block-1.bin", 4095},
        {docs, "Docs/", "block+1.bin", 4097},
        {deep, "Docs/Deep/", "three.bin", 3 * 4096},
    };
    uint32_t seed = 1;
    for (const auto& [parent, prefix, name, size] : files) {
        const std::vector<uint8_t> bytes = patternBytes(size, seed++);
        const uint32_t id = builder.addFile(parent, name, bytes);
        contents[id] = bytes;
        expected.push_back({"r/r", id, prefix + name});
    }
    const HfsImage image = builder.buildInPartitionMap(64);
    const ImageFile file(image);

    const auto partition = findApmPartition(file.path);
    ASSERT_TRUE(partition.has_value());
    EXPECT_EQ(partition->firstBlock, 64u);
    EXPECT_EQ(uint64_t(partition->blockCount) * 512, uint64_t(image.totalBlocks) * image.blockSize);

    const auto entries = runFls(file.path, file.sector);
    ASSERT_TRUE(entries.has_value());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed(*entries), expected);
    expectContents(file, contents);
}

TEST(HfsImageBuilder, TskReadsAFileWhoseExtentsContinueInSeveralOverflowLeaves)
{
    REQUIRE_TOOLS("fls", "icat");
    // 512-byte blocks and overflow leaves of two records: a 40-extent file needs four overflow
    // records on two leaves, and its second record is the last one of the first leaf.
    HfsImageBuilder builder({.blockSize = 512, .extents = {.nodeSize = 512, .maxLeafRecords = 2}});
    const std::vector<uint8_t> first = patternBytes(60 * 512 + 100, 7);
    const std::vector<uint8_t> second = patternBytes(20 * 512, 8);
    const std::vector<uint8_t> resource = patternBytes(10 * 512, 9);
    const uint32_t fragmented = builder.addFile(kHfsRootFolderID, "fragmented.bin", first,
                                                {.dataExtents = 40, .resourceFork = resource, .resourceExtents = 10});
    const uint32_t other = builder.addFile(kHfsRootFolderID, "other.bin", second, {.dataExtents = 12});
    const HfsImage image = builder.build();

    ASSERT_EQ(image.dataForks.at(fragmented).size(), 40u);
    EXPECT_EQ(image.extents.depth, 2u);
    ASSERT_EQ(image.extents.levels[0].size(), 3u); // 4 + 1 + 1 records, two per leaf
    const uint32_t startOfSecond = [&] {
        uint32_t blocks = 0;
        for (int i = 0; i < 16; ++i)
            blocks += image.dataForks.at(fragmented)[size_t(i)].blockCount;
        return blocks;
    }();
    const HfsRecordPlace* place = image.findExtentsRecord(fragmented, 0, startOfSecond);
    ASSERT_NE(place, nullptr);
    EXPECT_EQ(place->node, image.extents.levels[0][0]);
    EXPECT_EQ(place->index, 1);

    const ImageFile file(image);
    expectContents(file, {{fragmented, first}, {other, second}});
    // The resource fork's overflow record (fork type 0xFF) sorts after the data fork's.
    const ToolResult rsrc = runTool({"icat", file.path, std::to_string(fragmented) + "-4353"});
    EXPECT_EQ(rsrc.exitStatus, 0) << rsrc.errors;
    EXPECT_TRUE(rsrc.output == std::string(resource.begin(), resource.end()));
}

TEST(HfsImageBuilder, TskFindsFilesInADeepCaseSensitiveCatalog)
{
    REQUIRE_TOOLS("fls", "icat");
    // Names that differ only in case exist side by side on a case-sensitive HFSX volume; two
    // records per node make a catalog of four levels from a handful of files.
    HfsImageBuilder builder({.flavor = HfsFlavor::HfsxCaseSensitive,
                             .blockSize = 512,
                             .catalog = {.nodeSize = 512, .maxLeafRecords = 2, .maxIndexRecords = 2}});
    std::map<uint32_t, std::vector<uint8_t>> contents;
    std::vector<Expected> expected;
    uint32_t seed = 20;
    for (const char* name : {"a", "A", "b", "B", "Zeta", "zeta"}) {
        const std::vector<uint8_t> bytes = patternBytes(700, seed++);
        const uint32_t id = builder.addFile(kHfsRootFolderID, name, bytes);
        contents[id] = bytes;
        expected.push_back({"r/r", id, name});
    }
    const HfsImage image = builder.build();
    EXPECT_GE(image.catalog.depth, 3u);
    EXPECT_EQ(image.bytes[1024], 'H');
    EXPECT_EQ(image.bytes[1025], 'X');

    const ImageFile file(image);
    const auto entries = runFls(file.path, file.sector);
    ASSERT_TRUE(entries.has_value());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed(*entries), expected);
    expectContents(file, contents);
}

TEST(HfsImageBuilder, TskFindsFilesInADeepCaseFoldingCatalog)
{
    REQUIRE_TOOLS("fls", "icat");
    // icat finds a file through its thread record and then its (parent, name) key, searching the
    // index nodes: that only works when the builder sorted the keys as HFS Plus folds case.
    HfsImageBuilder builder(
        {.blockSize = 512, .catalog = {.nodeSize = 512, .maxLeafRecords = 3, .maxIndexRecords = 2}});
    std::map<uint32_t, std::vector<uint8_t>> contents;
    uint32_t seed = 40;
    const uint32_t folder = builder.addFolder(kHfsRootFolderID, "Mixed");
    for (const char* name : {"apple", "Banana", "cherry", "Date", "elder", "Fig", "grape", "Hazel", "_under", "Zed"}) {
        const std::vector<uint8_t> bytes = patternBytes(300, seed++);
        contents[builder.addFile(folder, name, bytes)] = bytes;
    }
    const HfsImage image = builder.build();
    EXPECT_GE(image.catalog.depth, 3u);

    const ImageFile file(image);
    const auto entries = runFls(file.path, file.sector);
    ASSERT_TRUE(entries.has_value());
    EXPECT_EQ(userEntries(*entries).size(), contents.size() + 1);
    expectContents(file, contents);
}

TEST(HfsImageBuilder, FreeDataLiesInBlocksTheBitmapLeavesFree)
{
    REQUIRE_TOOLS("fls", "icat", "blkstat");
    HfsImageBuilder builder({.blockSize = 1024});
    const std::vector<uint8_t> before = patternBytes(2048, 60);
    const std::vector<uint8_t> lost = patternBytes(3000, 61);
    const std::vector<uint8_t> after = patternBytes(1024, 62);
    const uint32_t beforeID = builder.addFile(kHfsRootFolderID, "before", before);
    const size_t run = builder.addFreeData(lost);
    const uint32_t afterID = builder.addFile(kHfsRootFolderID, "after", after);
    const HfsImage image = builder.build();

    const HfsExtent extent = image.freeRuns[run];
    ASSERT_EQ(extent.blockCount, 3u);
    EXPECT_TRUE(
        std::equal(lost.begin(), lost.end(), image.bytes.begin() + int64_t(image.blockOffset(extent.startBlock))));
    EXPECT_EQ(image.dataForks.at(beforeID).back().startBlock + 2, extent.startBlock);
    EXPECT_EQ(image.dataForks.at(afterID).front().startBlock, extent.startBlock + 3);

    const ImageFile file(image);
    // blkstat counts in allocation blocks and reads the bitmap itself.
    auto allocated = [&](uint32_t block) {
        const ToolResult result =
            runTool({"blkstat", "-o", std::to_string(file.sector), file.path, std::to_string(block)});
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        return result.output.find("Not Allocated") == std::string::npos;
    };
    EXPECT_TRUE(allocated(extent.startBlock - 1));
    for (uint32_t b = extent.startBlock; b < extent.startBlock + 3; ++b) {
        EXPECT_FALSE(image.isBlockUsed(b));
        EXPECT_FALSE(allocated(b)) << "block " << b;
    }
    EXPECT_TRUE(allocated(extent.startBlock + 3));
    expectContents(file, {{beforeID, before}, {afterID, after}});
}

TEST(HfsImageBuilder, NodesOfACatalogContinuedInTheOverflowFileAreWhereTheLayoutSays)
{
    REQUIRE_TOOLS("fls", "icat");
    // Twelve pieces: the catalog's last four extents are described in the extents overflow file.
    HfsImageBuilder builder({.blockSize = 512, .catalog = {.nodeSize = 1024, .maxLeafRecords = 4, .extentCount = 12}});
    std::map<uint32_t, std::vector<uint8_t>> contents;
    for (uint32_t i = 0; i < 30; ++i) {
        const std::vector<uint8_t> bytes = patternBytes(100 + i, 80 + i);
        contents[builder.addFile(kHfsRootFolderID, "file" + std::to_string(100 + i), bytes)] = bytes;
    }
    HfsImage image = builder.build();
    ASSERT_EQ(image.catalog.extents.size(), 12u);
    uint32_t inlineBlocks = 0;
    for (size_t i = 0; i < 8; ++i)
        inlineBlocks += image.catalog.extents[i].blockCount;
    EXPECT_NE(image.findExtentsRecord(kHfsCatalogFileID, 0, inlineBlocks), nullptr);

    // The node locator, which every corruption hook writes through, finds each node's descriptor.
    for (size_t level = 0; level < image.catalog.levels.size(); ++level)
        for (uint32_t node : image.catalog.levels[level]) {
            const uint64_t at = image.nodeOffset(HfsTree::Catalog, node);
            EXPECT_EQ(int8_t(image.bytes[at + 8]), level == 0 ? -1 : 0) << "node " << node;
            EXPECT_EQ(image.bytes[at + 9], level + 1) << "node " << node;
            EXPECT_EQ(image.recordOffset(HfsTree::Catalog, node, 0), at + 14);
        }

    const ImageFile file(image);
    const auto entries = runFls(file.path, file.sector);
    ASSERT_TRUE(entries.has_value());
    EXPECT_EQ(userEntries(*entries).size(), contents.size());
    expectContents(file, contents);
}

TEST(HfsFixtures, XorrisoImageListsAsItsSourceTreeWithDecomposedNames)
{
    REQUIRE_TOOLS("xorriso", "fls", "icat");
    ScratchDir dir;
    TreeSpec tree;
    tree.folder("empty")
        .file("top.txt", std::vector<uint8_t>{'h', 'i'})
        .file("caf\xC3\xA9.txt", 10, 1) // precomposed on the host
        .file("a/b/deep.bin", 5000, 2)
        .file("a/zero", 0, 3)
        .hardLink("a/twin", "top.txt")
        .symlink("a/link", "../top.txt");
    std::string error;
    ASSERT_TRUE(tree.write(dir.file("src"), &error)) << error;
    ASSERT_TRUE(makeXorrisoImage(dir.file("src"), "Made", dir.file("made.iso"), &error)) << error;
    const auto partition = findApmPartition(dir.file("made.iso"));
    ASSERT_TRUE(partition.has_value());

    const auto entries = runFls(dir.file("made.iso"), partition->firstBlock);
    ASSERT_TRUE(entries.has_value());
    std::map<std::string, FlsEntry> byPath;
    for (const FlsEntry& e : userEntries(*entries))
        byPath[e.path] = e;
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& [path, e] : byPath)
        got.push_back({e.type, path});
    const std::vector<std::pair<std::string, std::string>> want = {
        {"d/d", "a"},      {"d/d", "a/b"},    {"r/r", "a/b/deep.bin"},     {"l/l", "a/link"},
        {"r/r", "a/twin"}, {"r/r", "a/zero"}, {"r/r", "cafe\xCC\x81.txt"}, {"d/d", "empty"},
        {"r/r", "top.txt"}};
    EXPECT_EQ(got, want);

    // A hard link becomes a second file record of its own with the same bytes; a symlink's data is its text.
    EXPECT_NE(byPath["a/twin"].inode, byPath["top.txt"].inode);
    EXPECT_EQ(runIcat(dir.file("made.iso"), partition->firstBlock, byPath["a/twin"].inode),
              (std::vector<uint8_t>{'h', 'i'}));
    const std::string target = "../top.txt";
    EXPECT_EQ(runIcat(dir.file("made.iso"), partition->firstBlock, byPath["a/link"].inode),
              std::vector<uint8_t>(target.begin(), target.end()));
    EXPECT_EQ(runIcat(dir.file("made.iso"), partition->firstBlock, byPath["a/b/deep.bin"].inode),
              patternBytes(5000, 2));
}

TEST(HfsFixtures, HfsutilsMakeAnHfsVolumeInAFileAndInAPartition)
{
    REQUIRE_TOOLS("hformat", "hmkdir", "hcopy");
    ScratchDir dir;
    ASSERT_TRUE(writeFileBytes(dir.file("data.bin"), patternBytes(3000, 9)));
    HfsUtilsVolume plain;
    ASSERT_TRUE(plain.format(dir.file("plain.img"), "Plain", 1440 * 1024)) << plain.error();
    ASSERT_TRUE(plain.makeFolder(":Docs")) << plain.error();
    ASSERT_TRUE(plain.copyIn(dir.file("data.bin"), ":Docs:data.bin")) << plain.error();
    const std::vector<uint8_t> bytes = readFileBytes(dir.file("plain.img"));
    ASSERT_EQ(bytes.size(), 1440u * 1024);
    auto big32 = [](const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
    EXPECT_EQ(std::string(bytes.begin() + 1024, bytes.begin() + 1026), "BD");
    EXPECT_EQ(big32(&bytes[1024 + 84]), 1u); // drFilCnt
    EXPECT_EQ(big32(&bytes[1024 + 88]), 1u); // drDirCnt

    // hformat formats the Nth Apple_HFS partition of an image that already has a map.
    std::vector<uint8_t> mapped =
        makeApmImage(512, 64 + 2880, {{1, 63, "Apple", "Apple_partition_map"}, {64, 2880, "Old", "Apple_HFS"}});
    ASSERT_TRUE(writeFileBytes(dir.file("mapped.img"), mapped));
    HfsUtilsVolume inMap;
    ASSERT_TRUE(inMap.format(dir.file("mapped.img"), "InMap", 0, 1)) << inMap.error();
    const std::vector<uint8_t> after = readFileBytes(dir.file("mapped.img"));
    ASSERT_EQ(after.size(), mapped.size());
    EXPECT_EQ(std::string(after.begin() + 64 * 512 + 1024, after.begin() + 64 * 512 + 1026), "BD");
}
