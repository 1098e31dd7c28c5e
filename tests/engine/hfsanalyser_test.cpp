#include "hfsanalyser.h"

#include "cacheddisk.h"
#include "apmimage.h"
#include "hfsfixtures.h"
#include "hfsimagebuilder.h"
#include "logger.h"
#include "machelpers.h"
#include "memorydisk.h"
#include "outputcapture.h"
#include "partitiondisk.h"
#include "recovery.h"
#include "scratchdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}
void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, uint16_t(v >> 16));
    put16(b, at + 2, uint16_t(v));
}
void put64(Bytes& b, size_t at, uint64_t v)
{
    put32(b, at, uint32_t(v >> 32));
    put32(b, at + 4, uint32_t(v));
}

// --- Catalog leaf nodes written by hand from the format -----------------------------------------

Bytes catalogKey(uint32_t parent, const std::string& ascii)
{
    Bytes key(8 + 2 * ascii.size());
    put16(key, 0, uint16_t(6 + 2 * ascii.size()));
    put32(key, 2, parent);
    put16(key, 6, uint16_t(ascii.size()));
    for (size_t i = 0; i < ascii.size(); ++i)
        put16(key, 8 + 2 * i, uint8_t(ascii[i]));
    return key;
}

Bytes folderRecord(uint32_t id)
{
    Bytes data(88);
    put16(data, 0, 1);
    put32(data, 8, id);
    put32(data, 20, kHfsDefaultAttributeDate);
    return data;
}

// A file whose data fork is one extent.
Bytes fileRecord(uint32_t id, uint64_t logicalSize = 0, uint32_t startBlock = 0, uint32_t blockCount = 0)
{
    Bytes data(248);
    put16(data, 0, 2);
    put32(data, 8, id);
    put32(data, 20, kHfsDefaultAttributeDate);
    put64(data, 88, logicalSize);
    put32(data, 88 + 12, blockCount);
    put32(data, 88 + 16, startBlock);
    put32(data, 88 + 20, blockCount);
    return data;
}

struct NodeRecord {
    Bytes key;
    Bytes data;
};

// A leaf node: records from offset 14 at even offsets, the offset table (with the free-space
// offset after the records') at the node's end.
Bytes leafNode(const std::vector<NodeRecord>& records, int nodeBytes = 512)
{
    Bytes node(size_t(nodeBytes), 0);
    node[8] = 0xFF;
    node[9] = 1;
    put16(node, 10, uint16_t(records.size()));
    size_t at = 14;
    for (size_t i = 0; i < records.size(); ++i) {
        put16(node, size_t(nodeBytes) - 2 - 2 * i, uint16_t(at));
        const NodeRecord& r = records[i];
        if (at + r.key.size() + r.data.size() + 2 > size_t(nodeBytes))
            throw std::invalid_argument("the records do not fit in the node");
        std::copy(r.key.begin(), r.key.end(), node.begin() + std::ptrdiff_t(at));
        at += r.key.size() + (r.key.size() & 1);
        std::copy(r.data.begin(), r.data.end(), node.begin() + std::ptrdiff_t(at));
        at += r.data.size() + (r.data.size() & 1);
    }
    if (at + 2 * (records.size() + 1) > size_t(nodeBytes))
        throw std::invalid_argument("the records do not fit in the node");
    put16(node, size_t(nodeBytes) - 2 - 2 * records.size(), uint16_t(at));
    return node;
}

// --- Looking at result trees ----------------------------------------------------------------------

CVolumeItem* childNamed(CVolumeItem* folder, const std::string& name)
{
    if (!folder)
        return nullptr;
    for (CVolumeItem* child : folder->children)
        if (child->getName() == name)
            return child;
    return nullptr;
}

// "a/b" for every item below folder, folders with a trailing "/". Fails on an item met twice.
std::set<std::string> treePaths(CVolumeItem* folder)
{
    std::set<std::string> paths;
    std::set<CVolumeItem*> seen;
    std::vector<std::pair<CVolumeItem*, std::string>> stack{{folder, ""}};
    while (!stack.empty()) {
        auto [item, prefix] = stack.back();
        stack.pop_back();
        for (CVolumeItem* child : item->children) {
            if (!seen.insert(child).second) {
                ADD_FAILURE() << "item met twice: " << child->getName();
                continue;
            }
            const std::string path = prefix + child->getName() + (child->isContainer() ? "/" : "");
            paths.insert(path);
            if (child->isContainer())
                stack.push_back({child, path});
        }
    }
    return paths;
}

Bytes readItem(CVolumeItem* item)
{
    if (!item) {
        ADD_FAILURE() << "no such item";
        return {};
    }
    Bytes data(size_t(item->getSize()));
    if (data.empty() || item->read(0, data.data(), uint32_t(data.size())) != data.size())
        return {};
    return data;
}

class RecordingListener : public CStatusListener {
public:
    void progressEvent(double, bool*) override { ++progress; }
    void fileSaving(std::string) override {}
    void askOverwrite(std::string, bool* overwrite, bool* skip, bool* cancel) override
    {
        *overwrite = true;
        *skip = false;
        *cancel = false;
    }
    void diskListChanged() override { ++diskListChanges; }
    void itemChanged(CVolumeItem*) override { ++itemChanges; }

    int progress = 0;
    int diskListChanges = 0;
    int itemChanges = 0;
};

// A scan of the given disk bytes (512-byte blocks) through the engine, its output kept quiet.
struct ScanRun {
    std::unique_ptr<CMemoryDisk> disk;
    RecordingListener listener;
    std::unique_ptr<CRecovery> recovery;

    ScanRun(Bytes bytes, int type) : disk(std::make_unique<CMemoryDisk>(std::move(bytes), 512))
    {
        recovery = std::make_unique<CRecovery>();
        OutputCapture quiet;
        recovery->setStatusListener(&listener);
        recovery->setDisk(disk.get());
        scan(type);
    }
    ~ScanRun()
    {
        OutputCapture quiet;
        recovery.reset();
    }
    void scan(int type)
    {
        OutputCapture quiet;
        recovery->setScanType(type);
        recovery->scan();
    }
    CVolumeItem* volumeRoot(size_t index) const
    {
        CVolumeItem* root = recovery->resultRoot;
        return root && index < root->children.size() ? root->children[index] : nullptr;
    }
};

// An analyser wired to an engine whose result root is ready, as a lost-files scan has it, for
// feeding nodes by hand.
struct AnalyserBench {
    CMemoryDisk disk{512, 64};
    CRecovery recovery;
    CHFSAnalyser analyser;

    AnalyserBench()
    {
        OutputCapture quiet;
        recovery.setDisk(&disk);
        recovery.setScanType(ScanLostFiles);
        recovery.volume = new CHFSVolume(recovery.cachedDisk);
        recovery.volume->createRoot("Lost");
        recovery.resultRoot = recovery.volume->getRoot();
        analyser.setRecovery(&recovery);
        analyser.scanBegin();
    }
    ~AnalyserBench()
    {
        OutputCapture quiet;
        recovery.setDisk(nullptr);
    }
    bool feed(const Bytes& node)
    {
        std::vector<BTreeRecord> records;
        return analyser.getNodeRecords(node.data(), int(node.size()), records) &&
               analyser.addCatalogRecords(records);
    }
    CVolumeItem* build()
    {
        OutputCapture quiet;
        analyser.buildTree();
        return recovery.resultRoot->children.empty() ? nullptr : recovery.resultRoot->children.back();
    }
};

class HFSAnalyserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wasEnabled = CLogger::getInstance()->isEnabled();
        CLogger::getInstance()->setEnabled(false);
    }
    void TearDown() override { CLogger::getInstance()->setEnabled(wasEnabled); }

    bool wasEnabled = true;
};

// --- Volumes made with the image builder ------------------------------------------------------------

struct SampleVolume {
    HfsImage image;
    Bytes a, b, top;
};

// Docs/a.txt, Docs/b.bin and top.txt, with room for four catalog nodes in free blocks (run 0).
SampleVolume sampleVolume(const std::string& name, uint32_t seed = 1)
{
    HfsBuildOptions options;
    options.volumeName = name;
    HfsImageBuilder builder(options);
    SampleVolume v;
    v.a = patternBytes(5000, seed);
    v.b = patternBytes(20000, seed + 1);
    v.top = patternBytes(300, seed + 2);
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "Docs");
    builder.addFile(docs, "a.txt", v.a);
    builder.addFile(docs, "b.bin", v.b);
    builder.addFile(kHfsRootFolderID, "top.txt", v.top);
    builder.addFreeData(Bytes(4 * 4096, 0));
    v.image = builder.build();
    return v;
}

// Copies the catalog's leaf nodes into free run 0; with wipe, the live leaves are zeroed, so the
// records survive only in the copies.
void copyLeavesToFreeBlocks(HfsImage& image, bool wipe)
{
    const HfsTreeLayout& catalog = image.catalog;
    const uint64_t target = image.blockOffset(image.freeRuns.at(0).startBlock);
    ASSERT_LE(catalog.levels.at(0).size() * catalog.nodeSize, uint64_t(image.freeRuns[0].blockCount) * image.blockSize);
    uint64_t at = target;
    for (uint32_t node : catalog.levels[0]) {
        const uint64_t from = image.nodeOffset(HfsTree::Catalog, node);
        std::memcpy(image.bytes.data() + at, image.bytes.data() + from, catalog.nodeSize);
        if (wipe)
            std::memset(image.bytes.data() + from, 0, catalog.nodeSize);
        at += catalog.nodeSize;
    }
}

const std::set<std::string> kSamplePaths{"Docs/", "Docs/a.txt", "Docs/b.bin", "top.txt"};
} // namespace

// ------------------------------------------------------------------------------------------------
// Leaf-node test

using LeafNodeProbe = HFSAnalyserTest;

TEST_F(LeafNodeProbe, NodeSizeIsWhereRecordZeroIsOffset14AndAPowerOfTwoInsideTheWindow)
{
    CHFSAnalyser analyser;
    int units = 0;
    const Bytes small = leafNode({{catalogKey(2, "a"), folderRecord(20)}}, 512);
    EXPECT_TRUE(analyser.isLeafNode(small.data(), int(small.size()), &units));
    EXPECT_EQ(units, 1);
    Bytes big = leafNode({{catalogKey(2, "a"), folderRecord(20)}}, 4096);
    big.resize(32768, 0);
    EXPECT_TRUE(analyser.isLeafNode(big.data(), int(big.size()), &units));
    EXPECT_EQ(units, 8);
    const Bytes three = leafNode({{catalogKey(2, "a"), folderRecord(20)}}, 1536);
    EXPECT_FALSE(analyser.isLeafNode(three.data(), int(three.size()), &units));
    // The slot holding 14 lies beyond the bytes the window holds.
    EXPECT_FALSE(analyser.isLeafNode(big.data(), 2048, &units));
}

TEST_F(LeafNodeProbe, CountsAndOffsetTablesThatCannotBeANodeAreRejected)
{
    CHFSAnalyser analyser;
    int units = 0;
    Bytes node = leafNode({{catalogKey(2, "a"), folderRecord(20)}, {catalogKey(2, "b"), folderRecord(21)}});
    ASSERT_TRUE(analyser.isLeafNode(node.data(), int(node.size()), &units));

    Bytes empty = node;
    put16(empty, 10, 0);
    EXPECT_FALSE(analyser.isLeafNode(empty.data(), int(empty.size()), &units));
    Bytes negative = node;
    put16(negative, 10, 0x8001);
    EXPECT_FALSE(analyser.isLeafNode(negative.data(), int(negative.size()), &units));
    Bytes notIncreasing = node;
    put16(notIncreasing, 512 - 4, 14);
    EXPECT_FALSE(analyser.isLeafNode(notIncreasing.data(), int(notIncreasing.size()), &units));
    Bytes tableTooLong = node;
    put16(tableTooLong, 10, 256);
    EXPECT_FALSE(analyser.isLeafNode(tableTooLong.data(), int(tableTooLong.size()), &units));
    Bytes indexNode = node;
    indexNode[8] = 0;
    EXPECT_FALSE(analyser.isLeafNode(indexNode.data(), int(indexNode.size()), &units));
}

// ------------------------------------------------------------------------------------------------
// Record list

using CatalogNodeRecords = HFSAnalyserTest;

TEST_F(CatalogNodeRecords, RecordDataFollowTheKeyAtAnEvenOffsetAndEndAtTheNextRecord)
{
    CHFSAnalyser analyser;
    const Bytes node = leafNode({{catalogKey(2, "ab"), folderRecord(20)}, {catalogKey(2, "c"), folderRecord(21)}});
    std::vector<BTreeRecord> records;
    ASSERT_TRUE(analyser.getNodeRecords(node.data(), int(node.size()), records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].keyLength, 10u);
    EXPECT_EQ(records[0].data - node.data(), 14 + 12);
    EXPECT_EQ(records[0].dataLength, 88u);
    EXPECT_EQ(records[1].data - node.data(), 14 + 12 + 88 + 10);
}

TEST_F(CatalogNodeRecords, KeyOrOffsetOutsideTheRecordAreaFailsTheWholeNode)
{
    CHFSAnalyser analyser;
    const Bytes node = leafNode({{catalogKey(2, "a"), folderRecord(20)}, {catalogKey(2, "b"), folderRecord(21)}});
    std::vector<BTreeRecord> records;

    Bytes longKey = node;
    const uint16_t second = uint16_t(longKey[512 - 4] << 8 | longKey[512 - 3]);
    put16(longKey, second, uint16_t(512 - second - 4)); // reaches into the offset table
    EXPECT_FALSE(analyser.getNodeRecords(longKey.data(), int(longKey.size()), records));
    EXPECT_TRUE(records.empty());

    Bytes offsetInTable = node;
    put16(offsetInTable, 512 - 4, 510);
    EXPECT_FALSE(analyser.getNodeRecords(offsetInTable.data(), int(offsetInTable.size()), records));
    EXPECT_TRUE(records.empty());
}

// ------------------------------------------------------------------------------------------------
// Catalog records and tree building

using LostTreeBuilding = HFSAnalyserTest;

TEST_F(LostTreeBuilding, ReservedNegativeAndThreadRecordsMakeNoItems)
{
    AnalyserBench bench;
    Bytes thread(20, 0);
    put16(thread, 0, 3);
    EXPECT_FALSE(bench.feed(leafNode({{catalogKey(2, "reserved"), folderRecord(15)},
                                      {catalogKey(2, "negative"), fileRecord(0x80000001u)},
                                      {catalogKey(20, ""), thread},
                                      {catalogKey(2, ""), folderRecord(30)}},
                                     1024)));
    // 16 is the first catalog node ID the format gives to a user's file or folder.
    EXPECT_TRUE(bench.feed(leafNode({{catalogKey(2, "first"), fileRecord(16)}})));
    ASSERT_EQ(bench.analyser.pending.size(), 1u);
    EXPECT_EQ(bench.analyser.pending[0].item->getName(), "first");
    EXPECT_TRUE(bench.analyser.pending[0].item->isLost());
}

TEST_F(LostTreeBuilding, RecordsTooShortForTheirTypeOrWithNamesLongerThanTheKeyAreSkipped)
{
    AnalyserBench bench;
    // A file record of 100 bytes: the next record begins where its fork data would be.
    Bytes shortFile = fileRecord(40);
    shortFile.resize(100);
    Bytes overlongName = catalogKey(2, "abc");
    put16(overlongName, 6, 200);
    EXPECT_TRUE(bench.feed(leafNode({{catalogKey(2, "cut"), shortFile},
                                     {overlongName, folderRecord(41)},
                                     {catalogKey(2, "whole"), folderRecord(42)}},
                                    1024)));
    ASSERT_EQ(bench.analyser.pending.size(), 1u);
    EXPECT_EQ(bench.analyser.pending[0].item->getName(), "whole");
}

TEST_F(LostTreeBuilding, ItemsGoUnderTheirFoundParentWhicheverOrderTheyWereFound)
{
    AnalyserBench bench;
    bench.feed(leafNode({{catalogKey(20, "inner.txt"), fileRecord(21)}}));
    bench.feed(leafNode({{catalogKey(2, "Folder"), folderRecord(20)}, {catalogKey(2, "top.txt"), fileRecord(22)}}));
    bench.feed(leafNode({{catalogKey(20, "later.txt"), fileRecord(23)}}));
    CVolumeItem* volume = bench.build();
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(treePaths(volume), (std::set<std::string>{"Folder/", "Folder/inner.txt", "Folder/later.txt", "top.txt"}));
    EXPECT_EQ(volume->getName(), "Volume 1");
}

TEST_F(LostTreeBuilding, OrphansOfOneMissingParentShareOnePlaceholder)
{
    AnalyserBench bench;
    bench.feed(leafNode({{catalogKey(4711, "a"), fileRecord(30)},
                         {catalogKey(4711, "b"), fileRecord(31)},
                         {catalogKey(4711, "c"), fileRecord(32)}},
                        1024));
    OutputCapture output;
    bench.analyser.buildTree();
    const std::string text = output.finish();
    const std::string orphans = localize("OrphanedFolders");
    EXPECT_EQ(treePaths(bench.recovery.resultRoot->children.at(0)),
              (std::set<std::string>{orphans + "/", orphans + "/CNID 4711/", orphans + "/CNID 4711/a",
                                     orphans + "/CNID 4711/b", orphans + "/CNID 4711/c"}));
    EXPECT_NE(text.find("nonOrphanedItemCount: 2\n"), std::string::npos);
    EXPECT_NE(text.find("orphanedItemCount: 1\n"), std::string::npos);
}

TEST_F(LostTreeBuilding, PlaceholdersOfLargeParentIDsKeepExactDistinctNamesAndTheirItems)
{
    AnalyserBench bench;
    // 16777216 and 16777217 print alike through single precision.
    bench.feed(leafNode({{catalogKey(16777216, "x"), fileRecord(100)}, {catalogKey(16777217, "y"), fileRecord(101)}},
                        1024));
    CVolumeItem* volume = bench.build();
    ASSERT_NE(volume, nullptr);
    const std::string orphans = localize("OrphanedFolders");
    EXPECT_EQ(treePaths(volume),
              (std::set<std::string>{orphans + "/", orphans + "/CNID 16777216/", orphans + "/CNID 16777216/x",
                                     orphans + "/CNID 16777217/", orphans + "/CNID 16777217/y"}));
}

TEST_F(LostTreeBuilding, ParentCyclesAreShownUnderOrphanedFolders)
{
    AnalyserBench bench;
    // A and B name each other as parent; S names itself.
    bench.feed(leafNode({{catalogKey(21, "A"), folderRecord(20)},
                         {catalogKey(20, "B"), folderRecord(21)},
                         {catalogKey(20, "f"), fileRecord(30)},
                         {catalogKey(21, "g"), fileRecord(31)},
                         {catalogKey(40, "S"), folderRecord(40)},
                         {catalogKey(40, "h"), fileRecord(41)}},
                        2048));
    CVolumeItem* volume = bench.build();
    ASSERT_NE(volume, nullptr);
    const std::string o = localize("OrphanedFolders") + "/";
    EXPECT_EQ(treePaths(volume), (std::set<std::string>{o, o + "A/", o + "A/B/", o + "A/f", o + "A/B/g", o + "S/",
                                                         o + "S/h"}));
    EXPECT_TRUE(bench.analyser.pending.empty());
}



// ------------------------------------------------------------------------------------------------
// Volume-header probe

using VolumeHeaderProbe = HFSAnalyserTest;

TEST_F(VolumeHeaderProbe, AcceptsAHeaderWhoseVolumeMountsAndRefusesDecoys)
{
    SampleVolume v = sampleVolume("Probe");
    CMemoryDisk disk(v.image.bytes, 512);
    CRecovery recovery;
    CHFSAnalyser analyser;
    analyser.setRecovery(&recovery);
    OutputCapture quiet;
    recovery.setDisk(&disk);
    Bytes header(v.image.bytes.begin() + 1024, v.image.bytes.begin() + 1536);
    EXPECT_TRUE(analyser.isVolumeHeader(1024, header.data(), int(header.size())));

    // The same header taken as lying at the disk's start, where no volume can begin before it.
    EXPECT_FALSE(analyser.isVolumeHeader(0, header.data(), int(header.size())));
    EXPECT_FALSE(analyser.isVolumeHeader(512, header.data(), int(header.size())));
    Bytes zeroBlockSize = header;
    put32(zeroBlockSize, 40, 0);
    EXPECT_FALSE(analyser.isVolumeHeader(1024, zeroBlockSize.data(), int(zeroBlockSize.size())));
    Bytes oddBlockSize = header;
    put32(oddBlockSize, 40, 1000);
    EXPECT_FALSE(analyser.isVolumeHeader(1024, oddBlockSize.data(), int(oddBlockSize.size())));
    EXPECT_FALSE(analyser.isVolumeHeader(1024, header.data(), 511));
}


// ------------------------------------------------------------------------------------------------
// Lost-files scan

using LostFilesScan = HFSAnalyserTest;

TEST_F(LostFilesScan, LeafNodesInFreeBlocksComeBackWithNamesFoldersAndBytes)
{
    SampleVolume v = sampleVolume("Photos");
    ASSERT_NO_FATAL_FAILURE(copyLeavesToFreeBlocks(v.image, true));
    ScanRun run(v.image.bytes, ScanLostFiles);
    ASSERT_NE(run.recovery->resultRoot, nullptr);
    EXPECT_EQ(run.recovery->resultRoot->getName(), localize("Lost"));
    ASSERT_EQ(run.recovery->resultRoot->children.size(), 1u);
    CVolumeItem* volume = run.volumeRoot(0);
    EXPECT_EQ(treePaths(volume), kSamplePaths);
    CVolumeItem* docs = childNamed(volume, "Docs");
    OutputCapture quiet;
    EXPECT_EQ(readItem(childNamed(docs, "a.txt")), v.a);
    EXPECT_EQ(readItem(childNamed(docs, "b.bin")), v.b);
    EXPECT_EQ(readItem(childNamed(volume, "top.txt")), v.top);
}

TEST_F(LostFilesScan, SavedLostFilesEqualTheOriginals)
{
    SampleVolume v = sampleVolume("Photos");
    ASSERT_NO_FATAL_FAILURE(copyLeavesToFreeBlocks(v.image, true));
    ScanRun run(v.image.bytes, ScanLostFiles);
    CVolumeItem* volume = run.volumeRoot(0);
    ASSERT_NE(volume, nullptr);
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    {
        OutputCapture quiet;
        EXPECT_TRUE(run.recovery->save({volume}, dir.path()));
    }
    const std::string base = dir.file(volume->getName());
    EXPECT_EQ(readFileBytes(base + "/Docs/a.txt"), v.a);
    EXPECT_EQ(readFileBytes(base + "/Docs/b.bin"), v.b);
    EXPECT_EQ(readFileBytes(base + "/top.txt"), v.top);
}

TEST_F(LostFilesScan, LiveCatalogAndItsCopyYieldEachItemOnceUnderTheVolumeName)
{
    SampleVolume v = sampleVolume("Photos");
    ASSERT_NO_FATAL_FAILURE(copyLeavesToFreeBlocks(v.image, false));
    ScanRun run(v.image.bytes, ScanLostFiles);
    CVolumeItem* volume = run.volumeRoot(0);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->getName(), "Photos");
    EXPECT_EQ(treePaths(volume), kSamplePaths);
    EXPECT_GE(run.listener.itemChanges, 1);
}

TEST_F(LostFilesScan, CatalogLeftBehindAZeroedHeaderKeepsNamesButReadsNothing)
{
    SampleVolume v = sampleVolume("Photos");
    v.image.zeroVolumeHeader();
    v.image.zeroTreeHeader(HfsTree::Catalog);
    ScanRun run(v.image.bytes, ScanLostFiles);
    ASSERT_NE(run.recovery->resultRoot, nullptr);
    ASSERT_EQ(run.recovery->resultRoot->children.size(), 1u);
    CVolumeItem* volume = run.volumeRoot(0);
    EXPECT_EQ(volume->getName(), "Volume 1");
    EXPECT_EQ(treePaths(volume), kSamplePaths);
    // No volume header tells where the files' blocks lie: their forks map nothing.
    CVolumeItem* a = childNamed(childNamed(volume, "Docs"), "a.txt");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->getSize(), v.a.size());
    Bytes buffer(v.a.size());
    OutputCapture quiet;
    EXPECT_EQ(a->read(0, buffer.data(), uint32_t(buffer.size())), 0u);
}

TEST_F(LostFilesScan, RecordsBeforeTheFirstHeaderGetAVolumeOfTheirOwn)
{
    SampleVolume early = sampleVolume("Early", 10);
    SampleVolume later = sampleVolume("Later", 20);
    // The early volume's catalog leaves, then the later volume whole.
    Bytes disk;
    for (uint32_t node : early.image.catalog.levels.at(0)) {
        const uint64_t from = early.image.nodeOffset(HfsTree::Catalog, node);
        disk.insert(disk.end(), early.image.bytes.begin() + int64_t(from),
                    early.image.bytes.begin() + int64_t(from + early.image.catalog.nodeSize));
    }
    disk.resize(16 * 512, 0);
    disk.insert(disk.end(), later.image.bytes.begin(), later.image.bytes.end());
    ScanRun run(disk, ScanLostFiles);
    ASSERT_EQ(run.recovery->resultRoot->children.size(), 2u);
    CVolumeItem* first = run.volumeRoot(0);
    CVolumeItem* second = run.volumeRoot(1);
    EXPECT_EQ(first->getName(), "Volume 1");
    EXPECT_EQ(second->getName(), "Later");
    EXPECT_EQ(treePaths(first), kSamplePaths);
    EXPECT_EQ(treePaths(second), kSamplePaths);
    OutputCapture quiet;
    CVolumeItem* earlyTop = childNamed(first, "top.txt");
    ASSERT_NE(earlyTop, nullptr);
    Bytes buffer(earlyTop->getSize());
    EXPECT_EQ(earlyTop->read(0, buffer.data(), uint32_t(buffer.size())), 0u);
    EXPECT_EQ(readItem(childNamed(second, "top.txt")), later.top);
}


TEST_F(LostFilesScan, DiskWithoutHeadersOrNodesYieldsOneEmptyVolume)
{
    ScanRun run(Bytes(64 * 512, 0), ScanLostFiles);
    ASSERT_NE(run.recovery->resultRoot, nullptr);
    ASSERT_EQ(run.recovery->resultRoot->children.size(), 1u);
    EXPECT_EQ(run.volumeRoot(0)->getName(), "Volume 1");
    EXPECT_TRUE(run.volumeRoot(0)->children.empty());
}

// ------------------------------------------------------------------------------------------------
// Lost-volumes scan

using LostVolumesScan = HFSAnalyserTest;

namespace {
// A zeroed disk of `blocks` 512-byte blocks with the volume's bytes at firstBlock, and three decoy
// headers: one at byte 0, one with block size 0, one with block size 1000.
Bytes diskWithHiddenVolume(const HfsImage& image, uint32_t firstBlock, uint32_t blocks)
{
    Bytes disk(size_t(blocks) * 512, 0);
    std::copy(image.bytes.begin(), image.bytes.end(), disk.begin() + int64_t(firstBlock) * 512);
    const auto header = image.bytes.begin() + 1024;
    std::copy(header, header + 512, disk.begin());
    std::copy(header, header + 512, disk.begin() + 100 * 512);
    put32(disk, 100 * 512 + 40, 0);
    std::copy(header, header + 512, disk.begin() + 200 * 512);
    put32(disk, 200 * 512 + 40, 1000);
    return disk;
}
} // namespace

TEST_F(LostVolumesScan, HiddenVolumeBecomesALostPartitionWithItsBlocksAndName)
{
    SampleVolume v = sampleVolume("Hidden");
    ScanRun run(diskWithHiddenVolume(v.image, 2048, 4096), ScanLostVolumes);
    ASSERT_EQ(run.disk->getPartitionCount(), 1);
    auto* partition = dynamic_cast<CPartitionDisk*>(run.disk->getPartition(0));
    ASSERT_NE(partition, nullptr);
    EXPECT_EQ(partition->getFirstBlock(), 2048);
    EXPECT_EQ(partition->getLastBlock(), 2048 + int64_t(v.image.totalBlocks) * (4096 / 512) - 1);
    EXPECT_EQ(partition->getName(), "Hidden");
    EXPECT_TRUE(partition->isLost());
    EXPECT_FALSE(partition->isWholeDisk());
    EXPECT_EQ(run.listener.diskListChanges, 1);
    // The result root receives nothing from this scan.
    ASSERT_NE(run.recovery->resultRoot, nullptr);
    EXPECT_TRUE(run.recovery->resultRoot->children.empty());
}


TEST_F(LostVolumesScan, VolumeThatThePartitionMapNoLongerListsIsFound)
{
    SampleVolume listed = sampleVolume("Listed", 1);
    SampleVolume hidden = sampleVolume("Hidden", 2);
    // The map lists the first volume only; the second lies after it, on blocks the map leaves out.
    Bytes disk = makeApmImage(512, 64 + uint32_t(listed.image.bytes.size() / 512) + 4096,
                              {{1, 63, "Apple", "Apple_partition_map"},
                               {64, uint32_t(listed.image.bytes.size() / 512), "Data", "Apple_HFS"}});
    std::copy(listed.image.bytes.begin(), listed.image.bytes.end(), disk.begin() + 64 * 512);
    const int64_t hiddenStart = 64 + int64_t(listed.image.bytes.size() / 512) + 1024;
    std::copy(hidden.image.bytes.begin(), hidden.image.bytes.end(), disk.begin() + hiddenStart * 512);
    ScanRun run(disk, ScanLostVolumes);
    std::vector<std::string> lost;
    for (int i = 0; i < run.disk->getPartitionCount(); ++i) {
        auto* partition = dynamic_cast<CPartitionDisk*>(run.disk->getPartition(i));
        lost.push_back(partition->getName() + "@" + std::to_string(partition->getFirstBlock()));
    }
    EXPECT_NE(std::find(lost.begin(), lost.end(), "Hidden@" + std::to_string(hiddenStart)), lost.end());
}

TEST_F(LostVolumesScan, ScanningTheDiskAgainKeepsOnePartitionPerVolume)
{
    SampleVolume v = sampleVolume("Hidden");
    ScanRun run(diskWithHiddenVolume(v.image, 2048, 4096), ScanLostVolumes);
    run.scan(ScanLostVolumes);
    EXPECT_EQ(run.disk->getPartitionCount(), 1);
}


namespace {
// Paths as fls -r -p lists them, folders with a trailing "/", without TSK's special files.
std::set<std::string> flsPaths(const std::vector<FlsEntry>& entries)
{
    std::set<std::string> paths;
    for (const FlsEntry& entry : userEntries(entries))
        paths.insert(entry.path + (entry.type == "d/d" ? "/" : ""));
    return paths;
}

// Every item under folder, loading catalog folders on the way.
std::set<std::string> browsedPaths(CVolumeItem* folder, const std::string& prefix = "", int depth = 0)
{
    std::set<std::string> paths;
    if (depth > 64)
        return paths;
    if (folder->children.empty())
        folder->addChildren();
    for (CVolumeItem* child : folder->children) {
        const std::string path = prefix + child->getName() + (child->isContainer() ? "/" : "");
        paths.insert(path);
        if (child->isContainer())
            paths.merge(browsedPaths(child, path, depth + 1));
    }
    return paths;
}
} // namespace

TEST_F(LostVolumesScan, XorrisoVolumeHiddenInALargerDiskListsWhatFlsLists)
{
    for (const char* tool : {"xorriso", "fls"})
        if (!toolAvailable(tool))
            GTEST_SKIP() << tool << " is not installed";
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    const std::string tree = scratch.file("tree");
    std::filesystem::create_directories(tree);
    TreeSpec spec;
    spec.file("readme.txt", 1200, 1).file("docs/report.pdf", 70000, 2).file("docs/deep/note.txt", 10, 3).folder("empty");
    ASSERT_TRUE(spec.write(tree));
    const std::string iso = scratch.file("volume.iso");
    std::string error;
    ASSERT_TRUE(makeXorrisoImage(tree, "LOSTONE", iso, &error)) << error;
    const std::optional<ApmEntry> hfs = findApmPartition(iso);
    ASSERT_TRUE(hfs.has_value());

    // Only the Apple_HFS partition's bytes, at block 3000 of a zeroed disk without a map.
    const Bytes image = readFileBytes(iso);
    ASSERT_GE(image.size(), (uint64_t(hfs->firstBlock) + hfs->blockCount) * 512);
    constexpr uint32_t kStart = 3000;
    Bytes disk(size_t(kStart + hfs->blockCount + 500) * 512, 0);
    std::copy(image.begin() + int64_t(hfs->firstBlock) * 512,
              image.begin() + int64_t(hfs->firstBlock + hfs->blockCount) * 512, disk.begin() + int64_t(kStart) * 512);
    const std::string hidden = scratch.file("hidden.img");
    ASSERT_TRUE(writeFileBytes(hidden, disk));
    const auto fls = runFls(hidden, kStart);
    ASSERT_TRUE(fls.has_value());

    const uint8_t* header = disk.data() + size_t(kStart) * 512 + 1024;
    const uint32_t blockSize = uint32_t(header[40] << 24 | header[41] << 16 | header[42] << 8 | header[43]);
    const uint32_t totalBlocks = uint32_t(header[44] << 24 | header[45] << 16 | header[46] << 8 | header[47]);
    ScanRun run(disk, ScanLostVolumes);
    ASSERT_EQ(run.disk->getPartitionCount(), 1);
    auto* partition = dynamic_cast<CPartitionDisk*>(run.disk->getPartition(0));
    EXPECT_EQ(partition->getFirstBlock(), kStart);
    EXPECT_EQ(partition->getLastBlock(), kStart + int64_t(totalBlocks) * (blockSize / 512) - 1);
    EXPECT_EQ(partition->getName(), "LOSTONE");

    CRecovery browser;
    std::set<std::string> paths;
    {
        OutputCapture quiet;
        ASSERT_TRUE(browser.setDisk(partition));
        browser.openExistingVolume();
        ASSERT_NE(browser.resultRoot, nullptr);
        paths = browsedPaths(browser.resultRoot);
        browser.setDisk(nullptr);
    }
    EXPECT_EQ(paths, flsPaths(*fls));
    EXPECT_TRUE(paths.count("docs/deep/note.txt"));
}
