// Checks the test image builder against The Sleuth Kit where no reader test does: the order of names
// in each flavour, deep and full index nodes, a catalog and forks continued in the extents overflow
// file, and free runs in the allocation bitmap.
#include "hfsfixtures.h"
#include "hfsimagebuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {
using Bytes = std::vector<uint8_t>;

bool toolsMissing(std::initializer_list<const char*> tools)
{
    return std::any_of(tools.begin(), tools.end(), [](const char* tool) { return !toolAvailable(tool); });
}

// Every file's bytes through icat, by catalog node ID ("ID-4353" names a resource fork).
void expectContents(const std::string& path, const std::map<std::string, Bytes>& contents)
{
    for (const auto& [id, bytes] : contents) {
        const ToolResult got = runTool({"icat", path, id});
        EXPECT_EQ(got.exitStatus, 0) << id << ": " << got.errors;
        EXPECT_TRUE(got.output == std::string(bytes.begin(), bytes.end())) << id << ": " << got.output.size();
    }
}
} // namespace

// fls lists what was built and icat reads every file. icat finds a file through its thread record
// and then its (parent, name) key through the index nodes: that only works when the keys are sorted
// as the flavour compares names and every node lies where the layout says. Every index node ends
// its records before its record offset table, also when full of long keys.
TEST(HfsImageBuilder, TskListsAndReadsVolumesOfEveryShape)
{
    if (toolsMissing({"fls", "icat"}))
        GTEST_SKIP() << "fls or icat is not installed";
    using Entries = std::vector<std::string>; // a folder ends in '/'
    Entries numbered, longNames;
    for (int i = 0; i < 30; ++i)
        numbered.push_back("file" + std::to_string(100 + i));
    for (char c = 'a'; c <= 'x'; ++c)
        longNames.push_back(std::string(120, c));
    const struct {
        HfsBuildOptions options;
        Entries entries;
        uint32_t minDepth;
    } cases[] = {
        {{.flavor = HfsFlavor::HfsxCaseSensitive,
          .blockSize = 512,
          .catalog = {.nodeSize = 512, .maxLeafRecords = 2, .maxIndexRecords = 2}},
         {"a", "A", "b", "B", "Zeta", "zeta"},
         3},
        {{.blockSize = 512, .catalog = {.nodeSize = 512, .maxLeafRecords = 3, .maxIndexRecords = 2}},
         {"Mixed/", "Mixed/apple", "Mixed/Banana", "Mixed/cherry", "Mixed/Date", "Mixed/elder", "Mixed/Fig",
          "Mixed/grape", "Mixed/Hazel", "Mixed/_under", "Mixed/Zed"},
         3},
        {{.blockSize = 512, .catalog = {.nodeSize = 1024, .maxLeafRecords = 4, .extentCount = 12}}, numbered, 2},
        {{.catalog = {.nodeSize = 1024}}, longNames, 2},
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(c);
        HfsImageBuilder builder(cases[c].options);
        std::map<std::string, uint32_t> folders = {{"", kHfsRootFolderID}};
        std::map<std::string, Bytes> contents;
        std::vector<std::string> expected;
        for (const std::string& path : cases[c].entries) {
            const bool folder = path.back() == '/';
            const std::string bare = folder ? path.substr(0, path.size() - 1) : path;
            const size_t slash = bare.rfind('/');
            const uint32_t parent = folders.at(slash == std::string::npos ? "" : bare.substr(0, slash + 1));
            const std::string name = bare.substr(slash + 1); // the whole path when there is no slash
            const Bytes bytes = patternBytes(300, uint32_t(contents.size()));
            const uint32_t id =
                folder ? folders[path] = builder.addFolder(parent, name) : builder.addFile(parent, name, bytes);
            if (!folder)
                contents[std::to_string(id)] = bytes;
            expected.push_back(std::string(folder ? "d/d " : "r/r ") + std::to_string(id) + " " + bare);
        }
        const HfsImage image = builder.build();
        EXPECT_GE(image.catalog.depth, cases[c].minDepth);
        EXPECT_EQ(image.catalog.extents.size(), c == 2 ? 12u : 1u);
        for (size_t level = 0; level < image.catalog.levels.size(); ++level)
            for (uint32_t node : image.catalog.levels[level]) {
                SCOPED_TRACE(node);
                const uint64_t at = image.nodeOffset(HfsTree::Catalog, node);
                EXPECT_EQ(int8_t(image.bytes[at + 8]), level == 0 ? -1 : 0);
                EXPECT_EQ(image.bytes[at + 9], level + 1);
                const uint16_t count = uint16_t(image.bytes[at + 10] << 8 | image.bytes[at + 11]);
                const uint64_t table = at + image.catalog.nodeSize - 2 - 2 * uint64_t(count); // free space entry
                EXPECT_LE(at + (image.bytes[table] << 8 | image.bytes[table + 1]), table);
                for (uint16_t r = 0; r < count; ++r)
                    EXPECT_LT(image.recordOffset(HfsTree::Catalog, node, r), table);
            }
        ScratchDir dir;
        ASSERT_TRUE(writeFileBytes(dir.file("volume.img"), image.bytes));
        const auto entries = runFls(dir.file("volume.img"), 0);
        ASSERT_TRUE(entries.has_value());
        std::vector<std::string> lines;
        for (const FlsEntry& e : userEntries(*entries))
            lines.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(lines, expected);
        expectContents(dir.file("volume.img"), contents);
    }
}

// 512-byte blocks and overflow leaves of two records: a 40-extent file needs four overflow records
// on two leaves, and its resource fork's records (fork type 0xFF) sort after the data fork's.
// blkstat reads the bitmap itself: the free run's blocks are free, the blocks around it used.
TEST(HfsImageBuilder, TskReadsOverflowExtentsAndSeesFreeRunsAsFree)
{
    if (toolsMissing({"icat", "blkstat"}))
        GTEST_SKIP() << "icat or blkstat is not installed";
    HfsImageBuilder builder({.blockSize = 512, .extents = {.nodeSize = 512, .maxLeafRecords = 2}});
    const Bytes first = patternBytes(60 * 512 + 100, 7);
    const Bytes second = patternBytes(20 * 512, 8);
    const Bytes resource = patternBytes(10 * 512, 9);
    const Bytes lost = patternBytes(3000, 61);
    const uint32_t fragmented = builder.addFile(kHfsRootFolderID, "fragmented.bin", first,
                                                {.dataExtents = 40, .resourceFork = resource, .resourceExtents = 10});
    const size_t run = builder.addFreeData(lost);
    const uint32_t other = builder.addFile(kHfsRootFolderID, "other.bin", second, {.dataExtents = 12});
    const HfsImage image = builder.build();
    ASSERT_EQ(image.dataForks.at(fragmented).size(), 40u);
    EXPECT_EQ(image.extents.depth, 2u);
    const HfsExtent extent = image.freeRuns[run];
    ASSERT_EQ(extent.blockCount, 6u);
    EXPECT_TRUE(
        std::equal(lost.begin(), lost.end(), image.bytes.begin() + int64_t(image.blockOffset(extent.startBlock))));

    ScratchDir dir;
    const std::string path = dir.file("volume.img");
    ASSERT_TRUE(writeFileBytes(path, image.bytes));
    const std::string id = std::to_string(fragmented);
    expectContents(path, {{id, first}, {std::to_string(other), second}, {id + "-4353", resource}});
    for (uint32_t block = extent.startBlock - 1; block <= extent.startBlock + extent.blockCount; ++block) {
        const ToolResult result = runTool({"blkstat", path, std::to_string(block)});
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        const bool free = block >= extent.startBlock && block < extent.startBlock + extent.blockCount;
        EXPECT_EQ(result.output.find("Not Allocated") != std::string::npos, free) << "block " << block;
        EXPECT_EQ(image.isBlockUsed(block), !free) << "block " << block;
    }
}
