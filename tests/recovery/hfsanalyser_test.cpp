// The lost-files and lost-volumes analyser: node and header probes, lost trees, files coming back.
#include "hfsanalyser.h"

#include "recoveryfixture.h"

#include "bigendian.h"
#include "hfsimagebuilder.h"
#include "macdisk.h"
#include "machelpers.h"

#include <gtest/gtest.h>

#include <set>

namespace {
using Bytes = std::vector<uint8_t>;
const auto put16 = [](Bytes& b, size_t at, uint32_t v) { storeBig16(&b.at(at), uint16_t(v)); };
const auto put32 = [](Bytes& b, size_t at, uint32_t v) { storeBig32(&b.at(at), v); };
Bytes catalogKey(uint32_t parent, const std::string& ascii)
{
    Bytes key(8 + 2 * ascii.size());
    put16(key, 0, uint32_t(6 + 2 * ascii.size()));
    put32(key, 2, parent);
    put16(key, 6, uint32_t(ascii.size()));
    for (size_t i = 0; i < ascii.size(); ++i)
        put16(key, 8 + 2 * i, uint8_t(ascii[i]));
    return key;
}
// A folder record (type 1, 88 bytes) or a file record without forks (type 2, 248 bytes).
Bytes itemRecord(uint16_t type, uint32_t id)
{
    Bytes data(type == 1 ? 88 : 248);
    put16(data, 0, type);
    put32(data, 8, id);
    put32(data, 20, kHfsDefaultAttributeDate);
    return data;
}
const auto folderRecord = [](uint32_t id) { return itemRecord(1, id); };
const auto fileRecord = [](uint32_t id) { return itemRecord(2, id); };
// A leaf node: each record's key and data at even offsets from 14 on, the offset table at its end.
Bytes leafNode(const std::vector<std::pair<Bytes, Bytes>>& records, size_t nodeBytes = 512)
{
    Bytes node(14, 0);
    node[8] = 0xFF; // leaf kind, height 1
    node[9] = 1;
    put16(node, 10, uint32_t(records.size()));
    std::vector<size_t> offsets;
    for (const auto& [key, data] : records) {
        offsets.push_back(node.size());
        for (const Bytes* part : {&key, &data}) {
            node.insert(node.end(), part->begin(), part->end());
            node.resize(node.size() + (node.size() & 1));
        }
    }
    offsets.push_back(node.size());
    node.resize(nodeBytes, 0);
    for (size_t i = 0; i < offsets.size(); ++i)
        put16(node, nodeBytes - 2 - 2 * i, uint32_t(offsets[i]));
    return node;
}
// "a/b" for every item below folder (folders "/", compressed files "*"); repeats fail the test.
std::set<std::string> treePaths(CVolumeItem* folder)
{
    std::set<std::string> paths;
    std::set<CVolumeItem*> seen;
    std::function<void(CVolumeItem*, const std::string&)> walk = [&](CVolumeItem* at, const std::string& prefix) {
        for (CVolumeItem* child : at->children) {
            if (!seen.insert(child).second) {
                ADD_FAILURE() << "item met twice: " << child->getName();
                continue;
            }
            const std::string path = prefix + child->getName() +
                                     (child->isContainer()    ? "/"
                                      : child->isCompressed() ? "*"
                                                              : "");
            if (!paths.insert(path).second)
                ADD_FAILURE() << "path listed twice: " << path;
            if (child->isContainer())
                walk(child, path);
        }
    };
    walk(folder, "");
    return paths;
}
struct SampleVolume {
    HfsImage image;
    Bytes a, b, top;
};
// Docs/a.txt, Docs/b.bin and top.txt, with room for four catalog nodes in free blocks (run 0).
SampleVolume sampleVolume(const std::string& name, uint32_t seed = 1, HfsBuildOptions options = {})
{
    options.volumeName = name;
    HfsImageBuilder builder(options);
    SampleVolume v{{}, patternBytes(5000, seed), patternBytes(20000, seed + 1), patternBytes(300, seed + 2)};
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "Docs");
    builder.addFile(docs, "a.txt", v.a);
    builder.addFile(docs, "b.bin", v.b);
    builder.addFile(kHfsRootFolderID, "top.txt", v.top);
    builder.addFreeData(Bytes(4 * 4096, 0));
    v.image = builder.build();
    return v;
}
} // namespace
TEST(LeafNodeProbe, AcceptsANodeWhoseRecordZeroIsAtOffset14AndAPowerOfTwoInsideTheWindow)
{
    const auto one = [](size_t nodeBytes) { return leafNode({{catalogKey(2, "a"), folderRecord(20)}}, nodeBytes); };
    Bytes big = one(4096);
    big.resize(32768, 0);
    const Bytes two = leafNode({{catalogKey(2, "a"), folderRecord(20)}, {catalogKey(2, "b"), folderRecord(21)}});
    const auto broken = [&](size_t at, uint32_t value) {
        Bytes bad = two;
        put16(bad, at, value);
        return bad;
    };
    const struct {
        const char* what;
        Bytes node;
        int length; // bytes the window holds; 0: the whole node
        int units;  // of 512 bytes; 0: not a node
    } cases[] = {
        {"512 bytes", one(512), 0, 1},
        {"4096 bytes in a larger window", big, 0, 8},
        {"two records", two, 0, 1},
        {"1536 bytes", one(1536), 0, 0},
        {"the slot holding 14 beyond the window", big, 2048, 0},
        {"no records", broken(10, 0), 0, 0},
        {"a negative count", broken(10, 0x8001), 0, 0},
        {"offsets not increasing", broken(512 - 4, 14), 0, 0},
        {"an offset table reaching the descriptor", broken(10, 256), 0, 0},
        {"an index node", broken(8, 0x0001), 0, 0},
    };
    CHFSAnalyser analyser;
    for (const auto& c : cases) {
        int units = 0;
        EXPECT_EQ(analyser.isLeafNode(c.node.data(), c.length ? c.length : int(c.node.size()), &units), c.units > 0)
            << c.what;
        EXPECT_EQ(units, c.units) << c.what; // set only for a node
    }
}
TEST(CatalogNodeRecords, RecordsEndWhereTheNextBeginsAndAKeyOrOffsetOutsideTheRecordAreaFailsTheWholeNode)
{
    HandBuiltResults results; // the pending items never built into a tree are freed with the analyser
    CHFSAnalyser analyser;
    analyser.setRecovery(&results.recovery);
    const Bytes node = leafNode({{catalogKey(2, "a"), folderRecord(20)}, {catalogKey(2, "b"), folderRecord(21)}});
    std::vector<BTreeRecord> records;
    ASSERT_TRUE(analyser.getNodeRecords(node.data(), int(node.size()), records));
    EXPECT_TRUE(analyser.addCatalogRecords(records));
    std::vector<std::pair<long, uint32_t>> placed; // data offset and length
    for (const BTreeRecord& record : records)
        placed.emplace_back(record.data - node.data(), record.dataLength);
    EXPECT_EQ(placed, (std::vector<std::pair<long, uint32_t>>{{24, 88}, {122, 512 - 4 - 122}}));
    const size_t second = size_t(node[512 - 4] << 8 | node[512 - 3]);
    Bytes longKey = node;
    put16(longKey, second, uint32_t(512 - second - 4)); // reaches into the offset table
    Bytes offsetInTable = node;
    put16(offsetInTable, 512 - 4, 510);
    for (const Bytes* bad : {&longKey, &offsetInTable}) {
        EXPECT_FALSE(analyser.getNodeRecords(bad->data(), int(bad->size()), records));
        EXPECT_TRUE(records.empty());
    }
}
// Orphans share one folder per missing parent, named by its exact ID (16777216 and 16777217 print
// alike through a float); parent cycles (A and B, S itself) show under the orphans.
TEST(LostTreeBuilding, FoundItemsAreFiledUnderTheirParentOrTheOrphanedFolders)
{
    using Node = std::vector<std::pair<Bytes, Bytes>>;
    const auto F = [](uint32_t parent, const std::string& name, uint32_t id) {
        return std::pair{catalogKey(parent, name), fileRecord(id)};
    };
    const auto D = [](uint32_t parent, const std::string& name, uint32_t id) {
        return std::pair{catalogKey(parent, name), folderRecord(id)};
    };
    const std::string o = localize("OrphanedFolders") + "/";
    Bytes thread(20, 0);
    put16(thread, 0, 3);
    Bytes shortFile = fileRecord(40); // the next record begins where its fork data would be
    shortFile.resize(100);
    Bytes overlongName = catalogKey(2, "abc");
    put16(overlongName, 6, 200);
    Bytes squeezed = fileRecord(21);
    squeezed[41] = 0x20; // BSD owner flags: compressed
    const struct {
        const char* what;
        std::vector<Node> leaves;
        size_t found; // items made before the tree is built
        std::set<std::string> paths;
    } cases[] = {
        {"parent found between its children",
         {{F(20, "inner.txt", 21)}, {D(2, "Folder", 20), F(2, "top.txt", 22)}, {F(20, "later.txt", 23)}},
         4,
         {"Folder/", "Folder/inner.txt", "Folder/later.txt", "top.txt"}},
        {"missing parents",
         {{F(4711, "a", 30), F(4711, "b", 31), F(16777216, "x", 100), F(16777217, "y", 101)}},
         4,
         {o, o + "CNID 4711/", o + "CNID 4711/a", o + "CNID 4711/b", o + "CNID 16777216/", o + "CNID 16777216/x",
          o + "CNID 16777217/", o + "CNID 16777217/y"}},
        {"parent cycles",
         {{D(21, "A", 20), D(20, "B", 21), F(20, "f", 30), F(21, "g", 31), D(40, "S", 40), F(40, "h", 41)}},
         6,
         {o, o + "A/", o + "A/B/", o + "A/f", o + "A/B/g", o + "S/", o + "S/h"}},
        // 16 is the first catalog node ID the format gives to a user's file or folder.
        {"reserved, negative, thread, unnamed, too short and overlong-named records make no items",
         {{D(2, "reserved", 15),
           F(2, "negative", 0x80000001u),
           {catalogKey(20, ""), thread},
           D(2, "", 30),
           {catalogKey(2, "cut"), shortFile},
           {overlongName, folderRecord(41)},
           F(2, "first", 16)}},
         1,
         {"first"}},
        {"compressed", {{F(2, "plain", 20)}, {{catalogKey(2, "squeezed"), squeezed}}}, 2, {"plain", "squeezed*"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HandBuiltResults results;
        CHFSAnalyser analyser;
        analyser.setRecovery(&results.recovery);
        for (const Node& leaf : c.leaves) {
            const Bytes node = leafNode(leaf, 2048);
            std::vector<BTreeRecord> records;
            ASSERT_TRUE(analyser.getNodeRecords(node.data(), int(node.size()), records));
            ASSERT_TRUE(analyser.addCatalogRecords(records));
        }
        EXPECT_EQ(analyser.pending.size(), c.found);
        quietly([&] { analyser.buildTree(); });
        EXPECT_TRUE(analyser.pending.empty());
        ASSERT_EQ(results.recovery.resultRoot->children.size(), 1u);
        CVolumeItem* volume = results.recovery.resultRoot->children[0];
        EXPECT_EQ(volume->getName(), "Volume 1");
        EXPECT_EQ(treePaths(volume), c.paths);
        for (CVolumeItem* item : volume->children)
            EXPECT_TRUE(item->isContainer() || item->isLost()) << item->getName();
    }
}
// Leaves copied to free run 0 (with wipe, only there), or a Mac-written 8 MiB volume as it is.
TEST(LostFilesScan, FoundRecordsBringBackEachFileOnceWithItsFolderAndBytes)
{
    const struct {
        const char* what;
        bool copy, wipe;
        HfsBuildOptions options;
    } cases[] = {{"live leaves wiped", true, true, {}},
                 {"live leaves kept", true, false, {}},
                 {"a small volume", false, false, {.minimumBlocks = 2048, .allocationFileWholeBlocks = true}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SampleVolume v = sampleVolume("Photos", 1, c.options);
        if (c.copy) {
            Bytes leaves;
            for (uint32_t node : v.image.catalog.levels.at(0)) {
                const auto from = v.image.bytes.begin() + long(v.image.nodeOffset(HfsTree::Catalog, node));
                leaves.insert(leaves.end(), from, from + v.image.catalog.nodeSize);
                if (c.wipe)
                    std::fill(from, from + v.image.catalog.nodeSize, 0);
            }
            ASSERT_LE(leaves.size(), uint64_t(v.image.freeRuns.at(0).blockCount) * v.image.blockSize);
            std::copy(leaves.begin(), leaves.end(),
                      v.image.bytes.begin() + long(v.image.blockOffset(v.image.freeRuns[0].startBlock)));
        }
        MemoryScan run(v.image.bytes);
        run.run(ScanLostFiles);
        ASSERT_NE(run.recovery.resultRoot, nullptr);
        EXPECT_EQ(run.recovery.resultRoot->getName(), localize("Lost"));
        ASSERT_EQ(run.recovery.resultRoot->children.size(), 1u);
        CVolumeItem* volume = run.recovery.resultRoot->children[0];
        if (!c.wipe) {
            EXPECT_EQ(volume->getName(), "Photos") << "the name from the live catalog";
        }
        EXPECT_FALSE(run.listener.changed.empty());
        ScratchDir dir;
        quietly([&] { EXPECT_TRUE(run.recovery.save({volume}, dir.path())); });
        EXPECT_EQ(folderSnapshot(dir.file(volume->getName())),
                  (FileTree{{"Docs/", {}}, {"Docs/a.txt", v.a}, {"Docs/b.bin", v.b}, {"top.txt", v.top}}));
    }
}
TEST(LostFilesScan, RecordsBeforeTheFirstHeaderGetAVolumeOfTheirOwnWhoseFilesCannotBeRead)
{
    SampleVolume v = sampleVolume("Later");
    const auto leaf = v.image.bytes.begin() + long(v.image.nodeOffset(HfsTree::Catalog, v.image.catalog.levels[0][0]));
    Bytes disk(leaf, leaf + v.image.catalog.nodeSize);
    disk.resize(16 * 512, 0);
    disk.insert(disk.end(), v.image.bytes.begin(), v.image.bytes.end());
    MemoryScan run(disk);
    run.run(ScanLostFiles);
    ASSERT_EQ(namesOf(run.recovery.resultRoot), (std::vector<std::string>{"Volume 1", "Later"}));
    EXPECT_EQ(treePaths(run.recovery.resultRoot->children[0]), treePaths(run.recovery.resultRoot->children[1]));
    CVolumeItem* top = run.recovery.resultRoot->children[0]->children.back();
    ASSERT_EQ(top->getName(), "top.txt");
    Bytes data(v.top.size());
    quietly([&] { EXPECT_EQ(top->read(0, data.data(), uint32_t(data.size())), 0u); });
}
// Decoy headers lie at byte 0 and, with block size 0 and 1000, at blocks 100 and 200.
TEST(LostVolumesScan, HiddenVolumeBecomesOneLostPartitionWithItsBlocksAndNameAlsoWhenScannedAgainNotDecoys)
{
    SampleVolume v = sampleVolume("Hidden");
    Bytes disk(4096 * 512, 0);
    std::copy(v.image.bytes.begin(), v.image.bytes.end(), disk.begin() + 2048 * 512);
    for (uint32_t decoy : {0, 100, 200})
        std::copy(v.image.bytes.begin() + 1024, v.image.bytes.begin() + 1536, disk.begin() + long(decoy) * 512);
    put32(disk, 100 * 512 + 40, 0);
    put32(disk, 200 * 512 + 40, 1000);
    MemoryScan run(disk);
    run.run(ScanLostVolumes);
    ASSERT_EQ(run.disk.getPartitionCount(), 1);
    auto* partition = dynamic_cast<CPartitionDisk*>(run.disk.getPartition(0));
    ASSERT_NE(partition, nullptr);
    EXPECT_EQ(partition->getFirstBlock(), 2048);
    EXPECT_EQ(partition->getLastBlock(), 2048 + int64_t(v.image.totalBlocks) * 8 - 1);
    EXPECT_EQ(partition->getName(), "Hidden");
    EXPECT_TRUE(partition->isLost() && !partition->isWholeDisk());
    EXPECT_EQ(run.listener.diskListChanges, 1);
    CHFSAnalyser analyser;
    analyser.setRecovery(&run.recovery);
    const Bytes header(v.image.bytes.begin() + 1024, v.image.bytes.begin() + 1536);
    const int64_t at = 2048 * 512 + 1024;
    quietly([&] {
        EXPECT_TRUE(analyser.isVolumeHeader(at, header.data(), 512));
        EXPECT_FALSE(analyser.isVolumeHeader(512, header.data(), 512)) << "its volume would start before the disk";
        EXPECT_FALSE(analyser.isVolumeHeader(at, header.data(), 511));
    });
    ASSERT_NE(run.recovery.resultRoot, nullptr);
    EXPECT_TRUE(run.recovery.resultRoot->children.empty()) << "the result tree receives nothing from this scan";
    quietly([&] { run.recovery.scan(); });
    EXPECT_EQ(run.disk.getPartitionCount(), 1) << "the same volume listed twice";
}
// A volume where a listed partition of its disk begins is that partition's, not a lost one: the
// map's own volume, a whole disk's volume at byte 0, or a partition Linux lists (a device of its
// own that knows where on its disk it begins). Elsewhere it is lost.
TEST(LostVolumesScan, VolumeWhereAListedPartitionBeginsIsNotAddedAgain)
{
    const SampleVolume v = sampleVolume("Listed");
    const struct {
        int64_t volumeAt, listedAt;
        bool byLinux, lost;
    } cases[] = {{64, 64, false, false},
                 {0, 0, false, false},
                 {2048, 64, false, true},
                 {64, 64, true, false},
                 {2048, 64, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "volume at block " << c.volumeAt << ", partition listed at " << c.listedAt
                                        << (c.byLinux ? " by Linux" : ""));
        Bytes disk(4096 * 512, 0);
        std::copy(v.image.bytes.begin(), v.image.bytes.end(), disk.begin() + c.volumeAt * 512);
        MemoryScan run(disk);
        CDisk* listed = nullptr;
        if (c.byLinux) {
            quietly([&] { listed = new CMacDisk("/test/no-such-partition"); });
            static_cast<CMacDisk*>(listed)->setBase(c.listedAt * 512);
        } else {
            listed = new CPartitionDisk(&run.disk, c.listedAt, 4095);
        }
        listed->setName("Apple_HFS");
        listed->setWholeDisk(false);
        ASSERT_TRUE(run.disk.addPartition(listed));
        run.run(ScanLostVolumes);
        EXPECT_EQ(run.disk.getPartitionCount(), c.lost ? 2 : 1);
        EXPECT_EQ(run.listener.diskListChanges, c.lost ? 1 : 0);
    }
}
