#include "hfsvolume.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "logger.h"
#include "partitiondisk.h"
#include "utils.h"

#include "hfsfixtures.h"
#include "hfsimagebuilder.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

namespace {
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

// A disk over the image, the 4 MiB cache the application reads through, and the volume.
struct Mounted {
    explicit Mounted(Bytes image, uint64_t diskOfs = 0, int readAhead = 262144)
        : disk(std::move(image), 512), cache(&disk, 4194304, readAhead), volume((cache.open(false), &cache))
    {
        volume.diskOfs = diskOfs;
    }
    bool mount(bool createRoot, std::string* output = nullptr)
    {
        OutputCapture capture;
        const bool mounted = volume.mount(createRoot);
        if (output)
            *output = capture.finish();
        return mounted;
    }
    // The children of folder id as the catalog lists them, loaded quietly.
    Names list(uint64_t id = kHfsRootFolderID, std::string* output = nullptr, bool* complete = nullptr)
    {
        CHFSVolumeItem folder;
        folder.setContainer(true);
        folder.fileID = id;
        folder.volume = &volume;
        OutputCapture capture;
        const bool whole = folder.addChildren();
        if (complete)
            *complete = whole;
        if (output)
            *output = capture.finish();
        Names names;
        for (CVolumeItem* child : folder.children)
            names.push_back(child->getName());
        return names;
    }
    // Child `index` of the root, once the root's children are loaded.
    CHFSVolumeItem* rootChild(size_t index)
    {
        OutputCapture quiet;
        if (volume.getRoot()->children.empty())
            volume.getRoot()->addChildren();
        return dynamic_cast<CHFSVolumeItem*>(volume.getRoot()->children.at(index));
    }
    CMemoryDisk disk;
    CCachedDisk cache;
    CHFSVolume volume;
};

// "TYPE ID PATH" for every item under the folder, as fls prints them, loading folders on the way.
void listTree(CVolumeItem* folder, const std::string& path, Names* lines,
              std::map<uint64_t, CHFSVolumeItem*>* files = nullptr)
{
    if (folder->children.empty())
        folder->addChildren();
    for (CVolumeItem* child : folder->children) {
        const std::string childPath = path.empty() ? child->getName() : path + "/" + child->getName();
        lines->push_back(std::string(child->isContainer() ? "d/d " : "r/r ") + child->getIdString() + " " + childPath);
        if (child->isContainer())
            listTree(child, childPath, lines, files);
        else if (files)
            (*files)[static_cast<CHFSVolumeItem*>(child)->fileID] = static_cast<CHFSVolumeItem*>(child);
    }
}

HfsImage smallVolume()
{
    HfsImageBuilder builder;
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    builder.addFile(kHfsRootFolderID, "a.txt", Bytes(5, 'a'));
    builder.addFile(docs, "x", Bytes(10000, 'x'));
    return builder.build();
}

// Twenty files in the root, two to a catalog leaf.
HfsImage tenLeaves(Names* names)
{
    HfsImageBuilder builder({.catalog = {.nodeSize = 1024, .maxLeafRecords = 2, .maxIndexRecords = 3}});
    for (int i = 0; i < 20; ++i) {
        names->push_back("n" + std::to_string(10 + i));
        builder.addFile(kHfsRootFolderID, names->back(), Bytes(1, 0));
    }
    return builder.build();
}

Names without(Names names, const Names& left)
{
    for (const std::string& name : left)
        names.erase(std::find(names.begin(), names.end(), name));
    return names;
}

// The names, in order, whose records lie before the given leaf.
Names namesBefore(const HfsImage& image, const Names& names, uint32_t leaf)
{
    Names before;
    for (const std::string& name : names)
        if (image.findCatalogRecord(kHfsRootFolderID, name)->node < leaf)
            before.push_back(name);
    return before;
}

// The reader's diagnostics are muted: deep trees would log every node.
class HFSVolumeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* file : kNoisy)
            CLogger::getInstance()->muteFile(file);
    }
    void TearDown() override
    {
        for (const char* file : kNoisy)
            CLogger::getInstance()->unmuteFile(file);
    }
    static constexpr const char* kNoisy[] = {"hfsvolume.cpp", "volumes.cpp"};
};
} // namespace

// What the first mount built is released (the sanitizer build checks) and the root stays.
TEST_F(HFSVolumeTest, RemountWithoutCreateRootKeepsTheRootAndRebuildsTheTrees)
{
    Mounted m(smallVolume().bytes);
    m.volume.createRoot("Volume 1");
    CVolumeItem* root = m.volume.getRoot();
    ASSERT_TRUE(m.mount(false));
    ASSERT_TRUE(m.mount(false));
    EXPECT_EQ(m.volume.getRoot(), root);
    EXPECT_EQ(m.list(), (Names{"a.txt", "docs"}));
}

// An unknown signature, a header that would end past the disk, or an unusable block size.
TEST_F(HFSVolumeTest, UnusableHeadersFailTheMount)
{
    std::vector<Bytes> images = {Bytes(1536, 0)}; // mounted from byte 512
    HfsImage image = smallVolume();
    image.setVolumeHeader16(0, 0x1234);
    images.push_back(image.bytes);
    for (uint32_t blockSize : {0u, 1000u, 256u, 1536u, 0x7FFFFE00u, 0x80000000u}) {
        image = smallVolume();
        image.setBlockSize(blockSize);
        images.push_back(image.bytes);
    }
    for (size_t i = 0; i < images.size(); ++i) {
        Mounted m(images[i], i == 0 ? 512 : 0);
        EXPECT_FALSE(m.mount(true)) << i;
        EXPECT_EQ(m.volume.allocBlockSize, 512u) << i; // as constructed: the disk's block size
        EXPECT_EQ(m.volume.getRoot(), nullptr) << i;
    }
}

TEST_F(HFSVolumeTest, HFSVolumeGetsItsHeaderValuesAndBitmapOnly)
{
    Bytes image(256 * 512);
    image[1024] = 'B';
    image[1025] = 'D';
    image[1024 + kMDBVBMSt + 1] = 3;      // bitmap in sector 3
    image[1024 + kMDBNmAlBlks + 1] = 100; // 100 blocks
    image[1024 + kMDBAlBlkSiz + 2] = 4;   // of 1024 bytes
    image[3 * 512] = 0xA0;
    Mounted m(image);
    ASSERT_TRUE(m.mount(true));
    EXPECT_EQ(m.volume.allocBlockSize, 1024u);
    EXPECT_EQ(m.volume.catalogTree, nullptr);
    EXPECT_EQ(m.volume.allocationBitmapSize, 13);
    EXPECT_EQ(std::vector<bool>({m.volume.isAllocationBlockUsed(0), m.volume.isAllocationBlockUsed(1),
                                 m.volume.isAllocationBlockUsed(2)}),
              std::vector<bool>({true, false, true}));
}

TEST_F(HFSVolumeTest, HFSVolumeMadeByHfsutilsMountsWithItsGeometry)
{
    if (!toolAvailable("hformat") || !toolAvailable("hcopy"))
        GTEST_SKIP() << "hfsutils (hformat, hcopy) not installed";
    ScratchDir dir;
    const std::string image = dir.path() + "/plain.hfs";
    const std::string file = dir.path() + "/data.bin";
    ASSERT_TRUE(writeFileBytes(file, patternBytes(40000, 3)));
    HfsUtilsVolume maker;
    ASSERT_TRUE(maker.format(image, "Plain", 1440 * 1024)) << maker.error();
    ASSERT_TRUE(maker.copyIn(file, ":data.bin")) << maker.error();

    Mounted m(readFileBytes(image));
    ASSERT_TRUE(m.mount(true));
    EXPECT_EQ(m.volume.catalogTree, nullptr);
    // A 1440 KiB volume of 512-byte allocation blocks: the system files and the copied file take
    // the first blocks, the end of the volume is free.
    EXPECT_EQ(m.volume.allocBlockSize, 512u);
    EXPECT_GT(m.volume.allocBlocks, 2700u);
    EXPECT_LE(m.volume.allocBlocks, 2880u);
    EXPECT_TRUE(m.volume.isAllocationBlockUsed(0));
    EXPECT_FALSE(m.volume.isAllocationBlockUsed(m.volume.allocBlocks - 1));
}

// The allocation file is read in chunks; only the bytes that describe the volume's blocks are kept.
TEST_F(HFSVolumeTest, AllocationBitmapAnswersForEveryBlockAndNoFurther)
{
    HfsImageBuilder builder({.blockSize = 512});
    builder.addFile(kHfsRootFolderID, "a", Bytes(3000, 1));
    builder.addFreeData(Bytes(2000, 2));
    builder.addFile(kHfsRootFolderID, "b", Bytes(700, 3));
    const HfsImage image = builder.build();
    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(false));
    EXPECT_EQ(m.volume.allocationBitmapSize, int64_t((image.totalBlocks + 7) / 8));
    for (uint32_t block = 0; block < image.totalBlocks; ++block)
        ASSERT_EQ(m.volume.isAllocationBlockUsed(block), image.isBlockUsed(block)) << block;
    OutputCapture quiet;
    EXPECT_FALSE(m.volume.isAllocationBlockUsed(m.volume.allocationBitmapSize * 8));
    // A block number past 2^32 is out of range, not block 0 again.
    EXPECT_FALSE(m.volume.isAllocationBlockUsed((uint64_t(1) << 32) + 0));
}

// An 8 MiB volume as a Mac writes it: 2048 blocks of 4 KiB, whose 256-byte bitmap lies in an
// allocation file of one whole block (4096 bytes, twice one bit per 512-byte disk block).
HfsImage smallMacVolume()
{
    HfsImageBuilder builder({.minimumBlocks = 2048, .allocationFileWholeBlocks = true});
    builder.addFile(kHfsRootFolderID, "a", Bytes(9000, 1));
    builder.addFreeData(Bytes(4096, 2));
    builder.addFile(kHfsRootFolderID, "b", Bytes(100, 3));
    return builder.build();
}

// The allocation file is refused only when it cannot describe the volume's blocks or claims more
// bytes than the disk holds; a file rounded up to its block, larger than one bit per disk block, is
// loaded.
TEST_F(HFSVolumeTest, AllocationFileIsRefusedOnlyWhenItCannotCoverTheVolumeOrExceedsTheDisk)
{
    const HfsImage sound = smallMacVolume();
    ASSERT_EQ(uint64_t(sound.totalBlocks) * sound.blockSize, 8u << 20);
    const uint32_t needed = sound.totalBlocks / 8;
    const struct {
        uint64_t logicalSize;
        bool loaded;
        const char* message;
    } cases[] = {
        {4096, true, ""},
        {needed, true, ""},
        {needed - 1, false, "cannot describe 2048 allocation blocks"},
        {sound.bytes.size() + 1, false, "allocation file logicalSize > total disk blocks"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logicalSize);
        HfsImage image = sound;
        image.setVolumeHeader32(kVHAllocationFile + 4, uint32_t(c.logicalSize));
        Mounted m(image.bytes);
        std::string output;
        ASSERT_TRUE(m.mount(false, &output));
        EXPECT_NE(output.find(c.message), std::string::npos);
        ASSERT_EQ(m.volume.allocationBitmap != nullptr, c.loaded);
        if (!c.loaded)
            continue;
        EXPECT_EQ(m.volume.allocationBitmapSize, int64_t(needed));
        for (uint32_t block = 0; block < sound.totalBlocks; ++block)
            ASSERT_EQ(m.volume.isAllocationBlockUsed(block), sound.isBlockUsed(block)) << block;
    }
}

// On a disk twice the volume's size a scan asks about every block past the bitmap: the first
// question prints the out-of-range line, the report counts the rest in one line and starts anew.
TEST_F(HFSVolumeTest, BlocksPastTheBitmapAreReportedOnceAndCountedAtTheEnd)
{
    HfsImage image = smallMacVolume();
    image.bytes.resize(image.bytes.size() * 2);
    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(false));
    for (int scan = 0; scan < 2; ++scan) {
        SCOPED_TRACE(scan);
        OutputCapture capture;
        for (uint64_t block = 0; block < 2 * uint64_t(image.totalBlocks); ++block)
            m.volume.isAllocationBlockUsed(block);
        m.volume.reportBlocksPastBitmap();
        const std::string output = capture.finish();
        EXPECT_EQ(countOccurrences(output, "isAllocationBlockUsed error: index out of range!\n"), 1);
        EXPECT_EQ(countOccurrences(output, "index out of range 2047 more times"), 1);
    }
}

// Two records a leaf and two an index node make a deep tree in which many folders' records begin
// in the last subtree of an index node that has a sibling, or run on across leaves.
TEST_F(HFSVolumeTest, DeepCatalogListsEveryFolderInEitherNameOrderAlsoWithoutItsIndex)
{
    for (HfsFlavor flavor : {HfsFlavor::HfsPlus, HfsFlavor::HfsxCaseSensitive}) {
        HfsImageBuilder builder({.flavor = flavor,
                                 .volumeName = "Deep",
                                 .catalog = {.nodeSize = 512, .maxLeafRecords = 2, .maxIndexRecords = 2}});
        std::map<uint32_t, Names> expected;
        for (int f = 0; f < 12; ++f) {
            const std::string name = "folder" + std::to_string(10 + f);
            const uint32_t id = builder.addFolder(kHfsRootFolderID, name);
            expected[kHfsRootFolderID].push_back(name);
            for (int i = 0; i < f % 5; ++i) {
                expected[id].push_back("f" + std::to_string(i));
                builder.addFile(id, expected[id].back(), Bytes(1, uint8_t(i)));
            }
        }
        const HfsImage image = builder.build();
        ASSERT_GE(image.catalog.depth, 4u);
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(true));
        EXPECT_EQ(m.volume.getName(), "Deep");
        for (const auto& [id, names] : expected)
            EXPECT_EQ(m.list(id), names) << "folder " << id;
        // Without its root index node every folder is found along the chain of leaves, each walk
        // starting at the leaf where the folder's records begin.
        HfsImage lost = image;
        std::fill_n(lost.bytes.begin() + int64_t(lost.nodeOffset(HfsTree::Catalog, lost.catalog.rootNode)),
                    lost.catalog.nodeSize, 0);
        Mounted chain(lost.bytes);
        ASSERT_TRUE(chain.mount(true));
        EXPECT_EQ(chain.volume.getName(), "Deep");
        for (const auto& [id, names] : expected) {
            bool complete = true;
            EXPECT_EQ(chain.list(id, nullptr, &complete), names) << "folder " << id;
            EXPECT_FALSE(complete);
        }
    }
}

// The root lists as built: names of 255 units that differ only at their end (three UTF-8 bytes a
// unit) kept whole; a name whose length claims a unit past its key not filled from the record data
// behind it; a catalog whose extents continue in the overflow file.
TEST_F(HFSVolumeTest, RootListsEveryNameAsBuilt)
{
    const std::u16string stem(251, u'\u6587');
    std::string utf8Stem;
    for (int i = 0; i < 251; ++i)
        utf8Stem += "\xE6\x96\x87";
    Names numbered;
    for (int i = 0; i < 30; ++i)
        numbered.push_back("n" + std::to_string(10 + i));
    const struct {
        const char* what;
        std::function<HfsImage()> build;
        Names listed;
    } cases[] = {
        {"long names",
         [&] {
             HfsImageBuilder builder;
             builder.addFileUtf16(kHfsRootFolderID, stem + u".txt", Bytes(1, 0));
             builder.addFileUtf16(kHfsRootFolderID, stem + u".pdf", Bytes(1, 0));
             return builder.build();
         },
         {utf8Stem + ".pdf", utf8Stem + ".txt"}},
        {"name length past the key",
         [] {
             HfsImageBuilder builder;
             builder.addFile(kHfsRootFolderID, "ab", Bytes(1, 0));
             HfsImage image = builder.build();
             const HfsRecordPlace* place = image.findCatalogRecord(kHfsRootFolderID, "ab");
             image.put16(image.recordOffset(HfsTree::Catalog, place->node, place->index) + kCKNodeName, 3);
             return image;
         },
         {"ab"}},
        {"catalog continued in the overflow file",
         [&] {
             HfsImageBuilder builder(
                 {.blockSize = 512,
                  .catalog = {.nodeSize = 512, .maxLeafRecords = 2, .maxIndexRecords = 3, .extentCount = 12}});
             for (const std::string& name : numbered)
                 builder.addFile(kHfsRootFolderID, name, Bytes(1, 0));
             const HfsImage image = builder.build();
             EXPECT_GT(image.catalog.extents.size(), 8u);
             return image;
         },
         numbered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Mounted m(c.build().bytes);
        ASSERT_TRUE(m.mount(false));
        EXPECT_EQ(m.list(), c.listed);
    }
}

TEST_F(HFSVolumeTest, FolderThatContainsItselfOrAnAncestorIsLeftOut)
{
    HfsImageBuilder builder({.volumeName = "Vol"});
    const uint32_t a = builder.addFolder(kHfsRootFolderID, "a");
    const uint32_t b = builder.addFolder(a, "b");
    // A second thread record under the same ID would repeat a key.
    for (const auto& [name, id] : {std::pair<const char*, uint32_t>{"self", b}, {"up", a}, {"top", kHfsRootFolderID}})
        builder.addFolder(b, name, {.id = id, .thread = false});
    builder.addFile(b, "f", Bytes(1, 0));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    struct Paths : CVolumeItemCallback {
        void nextVolumeItem(CVolumeItem* item, bool*, bool*) override
        {
            seen.push_back(item->getPath() + item->getName());
        }
        Names seen;
    } paths;
    OutputCapture quiet;
    EXPECT_TRUE(m.volume.getRoot()->traverse(&paths, true));
    EXPECT_EQ(paths.seen, (Names{"Vol/a", "Vol/a/b", "Vol/a/b/f"}));
}

// One overflow record a leaf: a read that starts inside a record meets, after that record's leaf,
// a first record above the block it wants, and must take the highest one below from the leaf before.
TEST_F(HFSVolumeTest, FragmentedFileReadsLikeItsDataFromEveryBlock)
{
    HfsImageBuilder builder(
        {.blockSize = 512, .extents = {.nodeSize = 512, .maxLeafRecords = 1, .maxIndexRecords = 2}});
    const Bytes data = patternBytes(40 * 512 + 100, 7);
    builder.addFile(kHfsRootFolderID, "frag", data, {.dataExtents = 40});
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    CHFSVolumeItem* file = m.rootChild(0);
    Bytes whole(data.size());
    OutputCapture quiet;
    ASSERT_EQ(file->read(0, whole.data(), uint32_t(whole.size())), whole.size());
    EXPECT_TRUE(whole == data);
    for (uint32_t block = 0; block < 40; ++block) {
        Bytes piece(300);
        ASSERT_EQ(file->read(block * 512 + 100, piece.data(), 300), 300u) << "block " << block;
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), data.begin() + block * 512 + 100)) << "block " << block;
    }
}

// Past the blocks a fork's own extents hold, the highest overflow record below its key may be
// another file's, or the other fork's of the same file: neither may be used. Block 17 lies in the
// second overflow record of a's data fork.
TEST_F(HFSVolumeTest, OverflowRecordOfAnotherFileOrForkIsNeverUsed)
{
    HfsImageBuilder builder({.blockSize = 512});
    builder.addFile(kHfsRootFolderID, "a", patternBytes(20 * 512, 1),
                    {.dataExtents = 20, .resourceFork = patternBytes(512, 3)});
    builder.addFile(kHfsRootFolderID, "b", patternBytes(512, 2));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    CHFSVolumeItem* a = m.rootChild(0);
    Bytes bytes(512, 0xEE);
    OutputCapture quiet;
    EXPECT_EQ(m.rootChild(1)->read(17 * 512, bytes.data(), 512), 0u);
    EXPECT_FALSE(m.volume.readFileAt(a->fileID, kHfsResourceForkType, bytes.data(), 17 * 512, 512, a->resourceFork));
    EXPECT_EQ(bytes, Bytes(512, 0xEE));
}

TEST_F(HFSVolumeTest, ExtentsFileBlockPastItsOwnExtentsFailsWithoutSearchingTheTree)
{
    Mounted m(smallVolume().bytes);
    ASSERT_TRUE(m.mount(false));
    ASSERT_NE(m.volume.extentsTree, nullptr);
    CHFSForkData* fork = m.volume.extentsTree->fork;
    const uint64_t past = uint64_t(fork->totalBlocks) * m.volume.allocBlockSize;
    CLogger* logger = CLogger::getInstance();
    logger->unmuteFile("hfsvolume.cpp");
    uint8_t buffer[512];
    OutputCapture capture;
    const bool read = m.volume.readFileAt(kHfsExtentsFileID, 0, buffer, past, sizeof buffer, fork);
    const std::string output = capture.finish();
    logger->muteFile("hfsvolume.cpp");
    EXPECT_FALSE(read);
    // Searching the overflow tree for its own blocks reads the tree through itself: never done.
    EXPECT_EQ(output.find("start search"), std::string::npos) << output;
}

TEST_F(HFSVolumeTest, ForkWithoutVolumeReadsNothing)
{
    Bytes raw(kForkDataSize);
    raw[7] = 100;               // logicalSize
    raw[kForkExtents + 3] = 10; // startBlock
    raw[kForkExtents + 7] = 1;  // blockCount
    CHFSVolumeItem item;
    item.dataFork = new CHFSForkData(nullptr, reinterpret_cast<const HFSPlusForkData*>(raw.data()));
    uint8_t byte = 0;
    OutputCapture quiet;
    EXPECT_EQ(item.read(0, &byte, 1), 0u);
    EXPECT_EQ(item.getSize(), 100u);
}

TEST_F(HFSVolumeTest, UnsoundTreeHeaderLeavesAnUnusableTree)
{
    for (int variant = 0; variant < 2; ++variant) {
        HfsImage image = smallVolume();
        if (variant == 0)
            image.setTreeHeader16(HfsTree::Catalog, kBTHNodeSize, 1000);
        else
            image.setTreeHeader32(HfsTree::Catalog, kBTHRootNode, image.catalog.totalNodes);
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(true)) << variant;
        EXPECT_FALSE(m.volume.catalogTree->isValid()) << variant;
        EXPECT_EQ(m.volume.getName(), "Unknown") << variant;
        EXPECT_TRUE(m.list().empty()) << variant;
    }
}

// Damage in one catalog node never reaches outside it and never loops: a link that comes back ends
// the walk with every name listed once, one that leads outside the tree ends it with the names
// listed so far; an index record that leads back to the root leaves the listing to the chain of
// leaves. A bad record table entry loses that leaf's records from there, and the walk goes on in
// the next leaf.
TEST_F(HFSVolumeTest, DamagedCatalogNodesEndTheWalkOrLoseOnlyTheirOwnRecords)
{
    Names names;
    const HfsImage sound = tenLeaves(&names);
    const std::vector<uint32_t>& leaves = sound.catalog.levels[0];
    const uint32_t last = sound.findCatalogRecord(kHfsRootFolderID, names.back())->node;
    const uint32_t root = sound.catalog.rootNode;
    const uint32_t leaf = sound.findCatalogRecord(kHfsRootFolderID, "n15")->node;
    ASSERT_EQ(sound.findCatalogRecord(kHfsRootFolderID, "n14")->node, leaf);
    const Names withoutN15 = without(names, {"n15"});
    const auto link = [](uint32_t from, uint32_t to) {
        return [=](HfsImage& i) { i.setForwardLink(HfsTree::Catalog, from, to); };
    };
    const struct {
        std::function<void(HfsImage&)> patch;
        Names listed;
        const char* message;
    } cases[] = {
        {link(last, last), names, "reached twice"},
        {link(last, leaves[1]), names, "reached twice"},
        {link(leaves[2], sound.catalog.totalNodes + 100), namesBefore(sound, names, leaves[3]),
         "lies outside the tree"},
        {[&](HfsImage& i) { // the first index record's child, behind its key padded to an even offset
             const uint64_t record = i.recordOffset(HfsTree::Catalog, root, 0);
             const uint64_t child = record + 2 + loadBig16(&i.bytes[record]);
             i.put32(child + ((child - i.nodeOffset(HfsTree::Catalog, root)) & 1), root);
         },
         names, "reached twice"},
        {[&](HfsImage& i) { i.setRecordCount(HfsTree::Catalog, leaf, 0xFFFF); }, without(names, {"n14", "n15"}),
         "*** ERROR: invalid node data"},
        {[&](HfsImage& i) { i.setRecordOffset(HfsTree::Catalog, leaf, 1, i.catalog.nodeSize); }, withoutN15,
         "*** ERROR: invalid node data"},
        {[&](HfsImage& i) { i.setRecordOffset(HfsTree::Catalog, leaf, 1, 4); }, withoutN15,
         "*** ERROR: invalid node data"},
        {[&](HfsImage& i) { i.setKeyLength(HfsTree::Catalog, leaf, 1, 0xFFF0); }, withoutN15,
         "*** ERROR: invalid node data"},
        {[&](HfsImage& i) { i.setKeyLength(HfsTree::Catalog, leaf, 1, 2); }, withoutN15,
         "*** ERROR: invalid node data"},
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(c);
        HfsImage image = sound;
        cases[c].patch(image);
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(false));
        std::string output;
        bool complete = true;
        EXPECT_EQ(m.list(kHfsRootFolderID, &output, &complete), cases[c].listed);
        EXPECT_NE(output.find(cases[c].message), std::string::npos);
        EXPECT_FALSE(complete) << "a listing cut short by damage is reported";
    }
    Mounted intact(sound.bytes);
    ASSERT_TRUE(intact.mount(false));
    bool complete = false;
    EXPECT_EQ(intact.list(kHfsRootFolderID, nullptr, &complete), names);
    EXPECT_TRUE(complete);
}

// Damage the index walk meets (an index node without records, a child whose height or kind does
// not fit its parent, a node the disk could not read, a node size below the real one) is reported
// and the listing is incomplete. Where the chain of leaves is sound, every name is still listed
// from it; where it breaks too, the message points to the lost-files scan.
TEST_F(HFSVolumeTest, DamagedCatalogIsReportedAndListedFromTheChainOfLeaves)
{
    Names names;
    const HfsImage sound = tenLeaves(&names);
    ASSERT_GE(sound.catalog.levels.size(), 3u);
    const uint32_t root = sound.catalog.rootNode;
    const uint32_t firstLeaf = sound.catalog.firstLeaf; // where the search for the root's records lands
    const uint32_t middleLeaf = sound.findCatalogRecord(kHfsRootFolderID, "n16")->node;
    const uint32_t index = sound.catalog.levels[1].front();
    // The first root record of the leaf in the middle of the chain, where a search of the leaves'
    // first keys looks first.
    const std::vector<uint32_t>& leaves = sound.catalog.levels[0];
    const uint32_t backwardLeaf = leaves[leaves.size() / 2];
    std::string backwardName;
    for (const std::string& name : names)
        if (backwardName.empty() && sound.findCatalogRecord(kHfsRootFolderID, name)->node == backwardLeaf &&
            sound.findCatalogRecord(kHfsRootFolderID, name)->index == 0)
            backwardName = name;
    ASSERT_FALSE(backwardName.empty()) << "the middle leaf starts with a record of the root";
    const auto zero = [](uint32_t node) {
        return [=](HfsImage& i, CMemoryDisk&) {
            std::fill_n(i.bytes.begin() + int64_t(i.nodeOffset(HfsTree::Catalog, node)), i.catalog.nodeSize, 0);
        };
    };
    const char* fromChain = "was listed from its chain of leaf nodes";
    const char* scan = "run the lost-files scan";
    const struct {
        std::function<void(HfsImage&, CMemoryDisk&)> patch;
        Names listed;
        const char* message;
    } cases[] = {
        {zero(root), names, fromChain},
        {[&](HfsImage& i, CMemoryDisk&) { i.setRecordCount(HfsTree::Catalog, root, 0); }, names, fromChain},
        {[&](HfsImage& i, CMemoryDisk&) { i.setNodeHeight(HfsTree::Catalog, firstLeaf, 3); }, names, fromChain},
        {[&](HfsImage& i, CMemoryDisk&) { i.setNodeKind(HfsTree::Catalog, index, kBTLeafNode); }, names, fromChain},
        {[&](HfsImage& i, CMemoryDisk& d) {
             d.failingBlocks.insert(int64_t(i.nodeOffset(HfsTree::Catalog, root) / 512));
         },
         names, fromChain},
        {zero(middleLeaf), namesBefore(sound, names, middleLeaf), scan},
        // The cache gives zeros for a failed device read: never taken for the leaf before.
        {[&](HfsImage& i, CMemoryDisk& d) {
             d.failingBlocks.insert(int64_t(i.nodeOffset(HfsTree::Catalog, middleLeaf) / 512));
         },
         namesBefore(sound, names, middleLeaf), "not in an index or leaf node"},
        {[&](HfsImage& i, CMemoryDisk&) { i.setTreeHeader16(HfsTree::Catalog, kBTHNodeSize, 512); }, {}, scan},
        // A leaf whose first key goes back (to the volume's own parent) puts the chain out of order:
        // the walk for the root still starts before every leaf holding its records.
        {[&](HfsImage& i, CMemoryDisk& d) {
             zero(root)(i, d);
             const uint64_t node = i.nodeOffset(HfsTree::Catalog, backwardLeaf);
             const uint64_t record = node + loadBig16(i.bytes.data() + node + i.catalog.nodeSize - 2);
             i.put32(record + 2, 1);
         },
         without(names, {backwardName}), fromChain},
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(c);
        HfsImage image = sound;
        CMemoryDisk unused(512, 1);
        cases[c].patch(image, unused);
        Mounted m(image.bytes);
        m.disk.failingBlocks = unused.failingBlocks;
        ASSERT_TRUE(m.mount(false));
        std::string output;
        bool complete = true;
        EXPECT_EQ(m.list(kHfsRootFolderID, &output, &complete), cases[c].listed);
        EXPECT_NE(output.find(cases[c].message), std::string::npos) << output;
        EXPECT_FALSE(complete);
        if (cases[c].listed == names) { // the root folder's own record is found the same way
            EXPECT_EQ(m.volume.getName(), "Untitled");
        }
    }
}

// A sector of a leaf the disk cannot read (here one in the node's free space, which no structure
// check would notice) makes every listing through that leaf incomplete, not only the first: the
// cache keeps its zeros and answers later reads without an error. With one block a read, the
// node's own read meets the error; with the usual read-ahead, the mount's earlier read of the same
// cache line met it, and only the cache's memory of bad blocks tells.
TEST_F(HFSVolumeTest, LeafWithAnUnreadableSectorKeepsItsListingsIncomplete)
{
    const HfsImage image = smallVolume();
    ASSERT_EQ(image.catalog.depth, 1u);
    for (const int readAhead : {512, 262144}) {
        SCOPED_TRACE(readAhead);
        Mounted m(image.bytes, 0, readAhead);
        m.disk.failingBlocks.insert(int64_t(image.nodeOffset(HfsTree::Catalog, image.catalog.rootNode) / 512 + 4));
        ASSERT_TRUE(m.mount(false));
        for (int listing = 0; listing < 2; ++listing) {
            SCOPED_TRACE(listing);
            std::string output;
            bool complete = true;
            EXPECT_EQ(m.list(kHfsRootFolderID, &output, &complete), (Names{"a.txt", "docs"}));
            EXPECT_FALSE(complete);
            EXPECT_NE(output.find("could not read all of node"), std::string::npos);
        }
    }
}

// xorriso writes the volume, with a catalog of several levels (4000 empty files beside those with
// data). Read through a partition window as the application opens it, and from its offset on the
// whole disk, it lists as fls lists it; every file with data reads as icat reads it.
TEST_F(HFSVolumeTest, XorrisoVolumeListsAndReadsLikeTheSleuthKit)
{
    for (const char* tool : {"xorriso", "fls", "icat"})
        if (!toolAvailable(tool))
            GTEST_SKIP() << tool << " is not installed";
    TreeSpec tree;
    tree.folder("empty").file("readme.txt", 6, 1).file("docs/cafe\xCC\x81.txt", 6, 2);
    tree.file("docs/deep/deeper/note", 4, 3).file("docs/big.bin", 300000, 4);
    for (int i = 0; i < 60; ++i)
        tree.file("docs/file" + std::to_string(i) + ".txt", size_t(i) * 100, uint32_t(10 + i));
    for (int d = 0; d < 40; ++d)
        for (int f = 0; f < 100; ++f)
            tree.file("folder" + std::to_string(d) + "/a_rather_long_file_name_" + std::to_string(f) + ".txt", Bytes());
    ScratchDir scratch;
    const std::string path = scratch.file("volume.iso");
    std::string error;
    ASSERT_TRUE(makeDirectory(scratch.file("tree")) && tree.write(scratch.file("tree"), &error)) << error;
    ASSERT_TRUE(makeXorrisoImage(scratch.file("tree"), "GLEANERTEST", path, &error)) << error;
    const std::optional<ApmEntry> entry = findApmPartition(path);
    ASSERT_TRUE(entry.has_value());
    const auto fls = runFls(path, entry->firstBlock);
    ASSERT_TRUE(fls.has_value());
    Names flsLines;
    for (const FlsEntry& e : userEntries(*fls))
        flsLines.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
    std::sort(flsLines.begin(), flsLines.end());

    CMemoryDisk disk(readFileBytes(path), 512);
    CPartitionDisk window(&disk, int64_t(entry->firstBlock), disk.getBlockCount() - 1);
    CCachedDisk cache(&window, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    CHFSVolume volume(&cache);
    Mounted atOffset(disk.bytes, entry->firstBlock * 512);
    std::map<uint64_t, CHFSVolumeItem*> files;
    for (CHFSVolume* v : {&volume, &atOffset.volume}) {
        Names lines;
        OutputCapture quiet;
        ASSERT_TRUE(v->mount(true));
        listTree(v->getRoot(), "", &lines, v == &volume ? &files : nullptr);
        quiet.finish();
        EXPECT_EQ(v->getName(), "GLEANERTEST");
        EXPECT_GE(v->catalogTree->header.treeDepth, 3);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, flsLines);
    }
    ASSERT_EQ(files.size(), 4064u);
    for (const auto& [id, item] : files) {
        SCOPED_TRACE(item->getPath() + item->getName());
        if (item->getPath().find("/folder") != std::string::npos) {
            EXPECT_EQ(item->getSize(), 0u);
            continue;
        }
        const auto expected = runIcat(path, entry->firstBlock, id);
        ASSERT_TRUE(expected.has_value());
        Bytes bytes(expected->size());
        OutputCapture quiet;
        if (!bytes.empty()) {
            ASSERT_EQ(item->read(0, bytes.data(), uint32_t(bytes.size())), bytes.size());
        }
        EXPECT_EQ(item->getSize(), expected->size());
        EXPECT_TRUE(bytes == *expected);
    }
}

// A hard link's record ('hlnk', 'hfs+', its number in the BSD special field) keeps its name and
// place and takes the data, size and date of "iNode" + number in the hidden private folder, also
// past the iNode's inline extents; a link whose iNode is missing or is itself a link stays as it
// is, with one message. A file with the compressed owner flag says so in its listing. The iNode's
// bytes are checked against icat where The Sleuth Kit is installed.
TEST_F(HFSVolumeTest, HardLinksReadTheirINodeAndCompressedFilesAreMarked)
{
    constexpr uint32_t kLinkDate = kHfsDefaultAttributeDate + 1000;
    const HfsItemOptions link{.fileFlags = 0x20, .bsdSpecial = 77, .fileType = 0x686C6E6B, .fileCreator = 0x6866732B};
    HfsItemOptions missing = link, loop = link;
    missing.bsdSpecial = 78;
    loop.bsdSpecial = 79;
    const Bytes data = patternBytes(40000, 7);

    HfsImageBuilder builder({.blockSize = 1024});
    const uint32_t hidden = builder.addFolderUtf16(kHfsRootFolderID, std::u16string(u"\0\0\0\0HFS+ Private Data", 21));
    const uint32_t iNode = builder.addFile(hidden, "iNode77", data, {.attributeModDate = kLinkDate, .dataExtents = 10});
    builder.addFile(hidden, "iNode79", {}, loop);
    builder.addFile(kHfsRootFolderID, "one", {}, link);
    builder.addFile(kHfsRootFolderID, "missing", {}, missing);
    builder.addFile(kHfsRootFolderID, "loop", {}, loop);
    builder.addFile(kHfsRootFolderID, "squeezed\x1b[2J", {}, {.ownerFlags = 0x20});
    builder.addFile(kHfsRootFolderID, "plain", Bytes(10, 1));
    const HfsImage image = builder.build();

    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(true));
    OutputCapture capture;
    ASSERT_TRUE(m.volume.getRoot()->addChildren());
    const std::string output = capture.finish();
    std::map<std::string, CHFSVolumeItem*> byName;
    for (CVolumeItem* child : m.volume.getRoot()->children)
        byName[child->getName()] = static_cast<CHFSVolumeItem*>(child);
    ASSERT_EQ(byName.size(), 5u) << "the private folder stays hidden";

    const struct {
        const char* name;
        uint64_t size;
        bool compressed;
        const char* type;
    } cases[] = {
        {"one", data.size(), false, "File"}, {"missing", 0, false, "File"},
        {"loop", 0, false, "File"},          {"squeezed\x1b[2J", 0, true, "File (compressed)"},
        {"plain", 10, false, "File"},
    };
    CVolumeTableModel model(m.volume.getRoot());
    std::map<std::string, std::string> types;
    for (int row = 0; row < model.getRowCount(); ++row)
        types[model.getCellText(row, 0)] = model.getCellText(row, 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(byName.count(c.name));
        EXPECT_EQ(byName[c.name]->getSize(), c.size);
        EXPECT_EQ(byName[c.name]->isCompressed(), c.compressed);
        EXPECT_EQ(types[c.name], c.type);
    }
    EXPECT_EQ(countOccurrences(output, "iNode78 was not found"), 1);
    EXPECT_EQ(countOccurrences(output, "iNode79 is itself a link"), 1);
    // A name's control characters reach the terminal escaped, never as a command to it.
    EXPECT_EQ(countOccurrences(output, "squeezed\\x1b[2J is stored compressed"), 1);

    CHFSVolumeItem* one = byName["one"];
    EXPECT_NE(one->fileID, iNode) << "the link keeps its own ID";
    EXPECT_EQ(one->getDate(), kLinkDate - kHfsUnixEpochOffset);
    Bytes read(data.size());
    ASSERT_EQ(one->read(0, read.data(), uint32_t(read.size())), read.size());
    EXPECT_TRUE(read == data);

    if (!toolAvailable("icat"))
        GTEST_SKIP() << "icat is not installed: the iNode's bytes were checked against the built data only";
    ScratchDir scratch;
    const std::string path = scratch.file("links.img");
    ASSERT_TRUE(writeFileBytes(path, image.bytes));
    const auto reference = runIcat(path, 0, iNode);
    ASSERT_TRUE(reference.has_value());
    EXPECT_TRUE(read == *reference);
}
