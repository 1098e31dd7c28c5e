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
#include <memory>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

#define REQUIRE_TOOLS(...)                                                                                             \
    do {                                                                                                               \
        for (const char* tool : {__VA_ARGS__})                                                                         \
            if (!toolAvailable(tool))                                                                                  \
                GTEST_SKIP() << tool << " is not installed";                                                           \
    } while (0)

// A disk over the image, the 4 MiB cache the application reads through, and the volume.
struct Mounted {
    explicit Mounted(Bytes image, uint64_t diskOfs = 0)
        : disk(std::move(image), 512), cache(&disk, 4194304, 262144), volume((cache.open(false), &cache))
    {
        volume.diskOfs = diskOfs;
    }
    bool mount(bool createRoot)
    {
        OutputCapture quiet;
        return volume.mount(createRoot);
    }
    CMemoryDisk disk;
    CCachedDisk cache;
    CHFSVolume volume;
};

std::unique_ptr<CHFSVolumeItem> folderItem(CHFSVolume& volume, uint64_t id)
{
    auto item = std::make_unique<CHFSVolumeItem>();
    item->setContainer(true);
    item->fileID = id;
    item->volume = &volume;
    return item;
}

std::vector<std::string> childNames(CVolumeItem* folder)
{
    std::vector<std::string> names;
    for (CVolumeItem* child : folder->children)
        names.push_back(child->getName());
    return names;
}

// The children of folder id as the catalog lists them, loaded quietly.
std::vector<std::string> listFolder(CHFSVolume& volume, uint64_t id, std::string* output = nullptr)
{
    auto folder = folderItem(volume, id);
    OutputCapture capture;
    folder->addChildren();
    const std::string text = capture.finish();
    if (output)
        *output = text;
    return childNames(folder.get());
}

// "TYPE ID PATH" for every item under the folder, loading folders on the way.
void listTree(CVolumeItem* folder, const std::string& path, std::vector<std::string>* lines,
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

std::vector<std::string> flsLines(const std::vector<FlsEntry>& entries)
{
    std::vector<std::string> lines;
    for (const FlsEntry& e : userEntries(entries))
        lines.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Byte position of an index or leaf record's data, from the node as it is in the image.
uint64_t recordData(const HfsImage& image, HfsTree tree, uint32_t node, uint16_t index)
{
    const uint64_t at = image.recordOffset(tree, node, index);
    uint64_t data = at + 2 + loadBig16(&image.bytes[at]);
    return data + ((data - image.nodeOffset(tree, node)) & 1);
}

class HFSVolumeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CLogger::getInstance()->muteFile("hfsvolume.cpp");
        CLogger::getInstance()->muteFile("volumes.cpp");
    }
    void TearDown() override
    {
        CLogger::getInstance()->unmuteFile("hfsvolume.cpp");
        CLogger::getInstance()->unmuteFile("volumes.cpp");
    }
};

using MountTest = HFSVolumeTest;
using CatalogTest = HFSVolumeTest;
using ForkReadTest = HFSVolumeTest;
using CorruptTreeTest = HFSVolumeTest;
using XorrisoVolumeTest = HFSVolumeTest;

// Build and item options without designated initializers (which would leave fields unnamed).
HfsBuildOptions options(const std::string& volumeName = "Untitled", uint32_t blockSize = 4096)
{
    HfsBuildOptions o;
    o.volumeName = volumeName;
    o.blockSize = blockSize;
    return o;
}

HfsTreeShape shape(uint16_t nodeSize, uint32_t maxLeafRecords, uint32_t maxIndexRecords, uint32_t extentCount = 1)
{
    HfsTreeShape t;
    t.nodeSize = nodeSize;
    t.maxLeafRecords = maxLeafRecords;
    t.maxIndexRecords = maxIndexRecords;
    t.extentCount = extentCount;
    return t;
}

HfsItemOptions withID(uint32_t id)
{
    HfsItemOptions o;
    o.id = id;
    o.thread = false; // a second thread record under the same ID would repeat a key
    return o;
}

HfsItemOptions inPieces(uint32_t dataExtents)
{
    HfsItemOptions o;
    o.dataExtents = dataExtents;
    return o;
}

HfsImage smallVolume(HfsBuildOptions buildOptions = options("Data"))
{
    HfsImageBuilder builder(buildOptions);
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    builder.addFile(kHfsRootFolderID, "a.txt", Bytes(5, 'a'));
    builder.addFile(docs, "x", Bytes(10000, 'x'));
    return builder.build();
}
} // namespace

// --- Mounting ---------------------------------------------------------------------------------

TEST_F(MountTest, MountNamesTheVolumeAndMakesTheRootFolder)
{
    Mounted m(smallVolume().bytes);
    ASSERT_TRUE(m.mount(true));
    EXPECT_EQ(m.volume.getName(), "Data");
    EXPECT_EQ(m.volume.allocBlockSize, 4096u);
    auto* root = dynamic_cast<CHFSVolumeItem*>(m.volume.getRoot());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->fileID, kHfsRootFolderID);
    EXPECT_EQ(root->getName(), "Data");
    root->addChildren();
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a.txt", "docs"}));
    EXPECT_EQ(root->children[0]->getSize(), 5u);
}

TEST_F(MountTest, RemountWithoutCreateRootKeepsTheRootAndRebuildsTheTrees)
{
    Mounted m(smallVolume().bytes);
    m.volume.createRoot("Volume 1");
    CVolumeItem* root = m.volume.getRoot();
    ASSERT_TRUE(m.mount(false));
    ASSERT_TRUE(m.mount(false)); // what the first mount built is released (the sanitizer build checks)
    EXPECT_EQ(m.volume.getRoot(), root);
    EXPECT_EQ(listFolder(m.volume, kHfsRootFolderID), (std::vector<std::string>{"a.txt", "docs"}));
}

TEST_F(MountTest, HFSXWithBinaryNameOrderMountsLikeHFSPlus)
{
    HfsBuildOptions hfsx = options("X");
    hfsx.flavor = HfsFlavor::HfsxCaseSensitive;
    Mounted m(smallVolume(hfsx).bytes);
    ASSERT_TRUE(m.mount(true));
    EXPECT_EQ(m.volume.catalogTree->header.keyCompareType, kHFSBinaryCompare);
    EXPECT_EQ(m.volume.getName(), "X");
    EXPECT_EQ(listFolder(m.volume, kHfsRootFolderID), (std::vector<std::string>{"a.txt", "docs"}));
}

TEST_F(MountTest, UnknownSignatureOrTooShortAVolumeFailsTheMount)
{
    HfsImage image = smallVolume();
    image.setVolumeHeader16(0, 0x1234);
    Mounted m(image.bytes);
    OutputCapture capture;
    EXPECT_FALSE(m.volume.mount(true));
    EXPECT_NE(capture.finish().find("error: not an HFS volume!"), std::string::npos);

    Mounted tooShort(Bytes(1536, 0)); // the header would end past the disk: no message
    tooShort.volume.diskOfs = 512;
    OutputCapture silent;
    EXPECT_FALSE(tooShort.volume.mount(true));
    EXPECT_EQ(silent.finish(), "");
}

TEST_F(MountTest, UnusableBlockSizesFailTheMount)
{
    for (uint32_t blockSize : {0u, 1000u, 256u, 0x80000000u}) {
        HfsImage image = smallVolume();
        image.setBlockSize(blockSize);
        Mounted m(image.bytes);
        OutputCapture capture;
        EXPECT_FALSE(m.volume.mount(true)) << blockSize;
        EXPECT_NE(capture.finish().find("invalid allocation block size"), std::string::npos) << blockSize;
        EXPECT_EQ(m.volume.allocBlockSize, 512u) << blockSize; // as constructed: the disk's block size
        EXPECT_EQ(m.volume.getRoot(), nullptr);
    }
}

TEST_F(MountTest, HFSVolumeGetsItsHeaderValuesAndBitmapOnly)
{
    Bytes image(256 * 512);
    image[1024] = 'B';
    image[1025] = 'D';
    image[1024 + kMDBVBMSt + 1] = 3;   // bitmap in sector 3
    image[1024 + kMDBNmAlBlks + 1] = 100; // 100 blocks
    image[1024 + kMDBAlBlkSiz + 2] = 4;   // of 1024 bytes
    image[3 * 512] = 0xA0;
    Mounted m(image);
    ASSERT_TRUE(m.mount(true));
    EXPECT_EQ(m.volume.allocBlockSize, 1024u);
    EXPECT_EQ(m.volume.allocBlocks, 100u);
    EXPECT_EQ(m.volume.catalogTree, nullptr);
    EXPECT_EQ(m.volume.getName(), "Unknown");
    EXPECT_EQ(m.volume.allocationBitmapSize, 13);
    EXPECT_TRUE(m.volume.isAllocationBlockUsed(0));
    EXPECT_FALSE(m.volume.isAllocationBlockUsed(1));
    EXPECT_TRUE(m.volume.isAllocationBlockUsed(2));
}

// --- Allocation file ------------------------------------------------------------------------

TEST_F(MountTest, AllocationBitmapAnswersForEveryBlockAndNoFurther)
{
    HfsImageBuilder builder(options("Untitled", 512));
    builder.addFile(kHfsRootFolderID, "a", Bytes(3000, 1));
    builder.addFreeData(Bytes(2000, 2));
    builder.addFile(kHfsRootFolderID, "b", Bytes(700, 3));
    const HfsImage image = builder.build();
    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(false));
    // Only the bytes that describe the volume's blocks are kept, not the file's whole last block.
    EXPECT_EQ(m.volume.allocationBitmapSize, int64_t((image.totalBlocks + 7) / 8));
    for (uint32_t block = 0; block < image.totalBlocks; ++block)
        ASSERT_EQ(m.volume.isAllocationBlockUsed(block), image.isBlockUsed(block)) << block;
    EXPECT_EQ(m.volume.isAllocationBlockUsed(uint64_t(1) << 32), image.isBlockUsed(0)); // low 32 bits only
    OutputCapture capture;
    EXPECT_FALSE(m.volume.isAllocationBlockUsed(m.volume.allocationBitmapSize * 8));
    EXPECT_NE(capture.finish().find("isAllocationBlockUsed error: index out of range!"), std::string::npos);
}

TEST_F(MountTest, AllocationFileLargerThanOneBitPerDiskBlockIsRefused)
{
    HfsImage image = smallVolume();
    image.setVolumeHeader32(kVHAllocationFile + 4, uint32_t(image.bytes.size() / 512 / 8 + 1));
    Mounted m(image.bytes);
    OutputCapture capture;
    ASSERT_TRUE(m.volume.mount(false));
    EXPECT_NE(capture.finish().find("allocation file logicalSize > total disk blocks"), std::string::npos);
    EXPECT_EQ(m.volume.allocationBitmap, nullptr);
}

// --- Catalog walks ----------------------------------------------------------------------------

// Two records a leaf and two an index node make a deep tree in which many folders' records begin
// in the last subtree of an index node that has a sibling, or run on across leaves.
TEST_F(CatalogTest, DeepCatalogListsEveryFolder)
{
    HfsBuildOptions deep = options("Deep");
    deep.catalog = shape(512, 2, 2);
    HfsImageBuilder builder(deep);
    std::map<uint32_t, std::vector<std::string>> expected;
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
        EXPECT_EQ(listFolder(m.volume, id), names) << "folder " << id;
}

TEST_F(CatalogTest, NameIsReadFromTheKeyOnly)
{
    HfsImageBuilder builder(options());
    builder.addFile(kHfsRootFolderID, "ab", Bytes(1, 0));
    HfsImage image = builder.build();
    const HfsRecordPlace* place = image.findCatalogRecord(kHfsRootFolderID, "ab");
    ASSERT_NE(place, nullptr);
    // The name's length claims a third unit: the record data behind the key must not supply it.
    image.put16(image.recordOffset(HfsTree::Catalog, place->node, place->index) + kCKNodeName, 3);
    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(false));
    EXPECT_EQ(listFolder(m.volume, kHfsRootFolderID), (std::vector<std::string>{"ab"}));
}

TEST_F(CatalogTest, FolderThatContainsItselfOrAnAncestorIsLeftOut)
{
    HfsImageBuilder builder(options("Vol"));
    const uint32_t a = builder.addFolder(kHfsRootFolderID, "a");
    const uint32_t b = builder.addFolder(a, "b");
    builder.addFolder(b, "self", withID(b));
    builder.addFolder(b, "up", withID(a));
    builder.addFolder(b, "top", withID(kHfsRootFolderID));
    builder.addFile(b, "f", Bytes(1, 0));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    struct Paths : CVolumeItemCallback {
        void nextVolumeItem(CVolumeItem* item, bool*, bool*) override { seen.push_back(item->getPath() + item->getName()); }
        std::vector<std::string> seen;
    } paths;
    OutputCapture quiet;
    EXPECT_TRUE(m.volume.getRoot()->traverse(&paths, true));
    EXPECT_NE(quiet.finish().find("contains itself, skipped"), std::string::npos);
    EXPECT_EQ(paths.seen, (std::vector<std::string>{"Vol/a", "Vol/a/b", "Vol/a/b/f"}));
}

// --- Fork reads and the Extents Overflow file --------------------------------------------------

// One overflow record a leaf: a read that starts inside a record meets, after that record's leaf,
// a first record above the block it wants.
TEST_F(ForkReadTest, FragmentedFileReadsLikeItsDataFromEveryBlock)
{
    HfsBuildOptions fragmented = options("Untitled", 512);
    fragmented.extents = shape(512, 1, 2);
    HfsImageBuilder builder(fragmented);
    const Bytes data = patternBytes(40 * 512 + 100, 7);
    const uint32_t id = builder.addFile(kHfsRootFolderID, "frag", data, inPieces(40));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    m.volume.getRoot()->addChildren();
    auto* file = dynamic_cast<CHFSVolumeItem*>(m.volume.getRoot()->children.at(0));
    ASSERT_EQ(file->fileID, id);
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

TEST_F(ForkReadTest, OverflowRecordOfAnotherFileIsNeverUsed)
{
    HfsImageBuilder builder(options("Untitled", 512));
    builder.addFile(kHfsRootFolderID, "a", patternBytes(20 * 512, 1), inPieces(20));
    builder.addFile(kHfsRootFolderID, "b", patternBytes(512, 2));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    m.volume.getRoot()->addChildren();
    auto* b = dynamic_cast<CHFSVolumeItem*>(m.volume.getRoot()->children.at(1));
    ASSERT_EQ(b->getName(), "b");
    // Past b's only block the highest overflow record below b's key is one of a's.
    Bytes bytes(512, 0xEE);
    OutputCapture capture;
    EXPECT_EQ(b->read(3 * 512, bytes.data(), 512), 0u);
    EXPECT_NE(capture.finish().find("error finding startBlock in ExtentsFile=3"), std::string::npos);
    EXPECT_EQ(bytes, Bytes(512, 0xEE));
}

TEST_F(ForkReadTest, CatalogContinuedInTheOverflowFileIsListed)
{
    HfsBuildOptions split = options("Untitled", 512);
    split.catalog = shape(512, 2, 3, 12);
    HfsImageBuilder builder(split);
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i) {
        names.push_back("n" + std::to_string(10 + i));
        builder.addFile(kHfsRootFolderID, names.back(), Bytes(1, 0));
    }
    const HfsImage image = builder.build();
    ASSERT_GT(image.catalog.extents.size(), 8u);
    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(false));
    OutputCapture quiet;
    EXPECT_EQ(listFolder(m.volume, kHfsRootFolderID), names);
}

TEST_F(ForkReadTest, ForkWithoutVolumeReadsNothing)
{
    Bytes raw(kForkDataSize);
    raw[7] = 100;     // logicalSize
    raw[kForkExtents + 3] = 10; // startBlock
    raw[kForkExtents + 7] = 1;  // blockCount
    CHFSVolumeItem item;
    item.dataFork = new CHFSForkData(nullptr, reinterpret_cast<const HFSPlusForkData*>(raw.data()));
    uint8_t byte = 0;
    OutputCapture quiet;
    EXPECT_EQ(item.read(0, &byte, 1), 0u);
    EXPECT_EQ(item.getSize(), 100u);
}

// --- Corrupt trees ----------------------------------------------------------------------------

namespace {
// A catalog of 20 files in the root, two to a leaf.
HfsImage tenLeaves(std::vector<std::string>* names)
{
    HfsBuildOptions o = options();
    o.catalog = shape(1024, 2, 3);
    HfsImageBuilder builder(o);
    for (int i = 0; i < 20; ++i) {
        names->push_back("n" + std::to_string(10 + i));
        builder.addFile(kHfsRootFolderID, names->back(), Bytes(1, 0));
    }
    return builder.build();
}

bool isPrefix(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// The names, in order, whose records lie before the given leaf.
std::vector<std::string> namesBefore(const HfsImage& image, const std::vector<std::string>& names, uint32_t leaf)
{
    std::vector<std::string> before;
    for (const std::string& name : names)
        if (image.findCatalogRecord(kHfsRootFolderID, name)->node < leaf)
            before.push_back(name);
    return before;
}
} // namespace

TEST_F(CorruptTreeTest, LeafLinksThatComeBackEndTheWalk)
{
    for (bool toItself : {true, false}) {
        std::vector<std::string> names;
        HfsImage image = tenLeaves(&names);
        const uint32_t last = image.findCatalogRecord(kHfsRootFolderID, names.back())->node;
        image.setForwardLink(HfsTree::Catalog, last, toItself ? last : image.catalog.levels[0][1]);
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(false));
        std::string output;
        EXPECT_EQ(listFolder(m.volume, kHfsRootFolderID, &output), names) << toItself;
        EXPECT_NE(output.find("reached twice"), std::string::npos) << toItself;
    }
}

TEST_F(CorruptTreeTest, IndexChildPointingBackAtTheRootEndsTheSearch)
{
    std::vector<std::string> names;
    HfsImage image = tenLeaves(&names);
    const uint32_t root = image.catalog.rootNode;
    image.put32(recordData(image, HfsTree::Catalog, root, 0), root);
    Mounted m(image.bytes);
    OutputCapture capture;
    ASSERT_TRUE(m.volume.mount(true));
    EXPECT_NE(capture.finish().find("reached twice"), std::string::npos);
    EXPECT_EQ(m.volume.getName(), "Unknown");
}

TEST_F(CorruptTreeTest, LinkOutsideTheTreeEndsTheWalk)
{
    std::vector<std::string> names;
    HfsImage image = tenLeaves(&names);
    image.setForwardLink(HfsTree::Catalog, image.catalog.levels[0][2], image.catalog.totalNodes + 100);
    Mounted m(image.bytes);
    ASSERT_TRUE(m.mount(false));
    std::string output;
    const std::vector<std::string> listed = listFolder(m.volume, kHfsRootFolderID, &output);
    EXPECT_NE(output.find("lies outside the tree"), std::string::npos);
    EXPECT_TRUE(isPrefix(listed, names));
    EXPECT_LT(listed.size(), names.size());
}

TEST_F(CorruptTreeTest, UnsoundTreeHeaderLeavesAnUnusableTree)
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
        EXPECT_EQ(m.volume.catalogTree->header.nodeSize, 0) << variant;
        EXPECT_EQ(m.volume.getName(), "Unknown") << variant;
        EXPECT_TRUE(listFolder(m.volume, kHfsRootFolderID).empty()) << variant;
    }
}

// A bad entry ends the leaf's record list there; the walk goes on in the next leaf, so exactly
// the records from the bad one to the end of that leaf are missing.
TEST_F(CorruptTreeTest, HostileRecordTablesNeverReachOutsideTheNode)
{
    const std::vector<std::function<void(HfsImage&, uint32_t)>> patches = {
        [](HfsImage& i, uint32_t n) { i.setRecordCount(HfsTree::Catalog, n, 0xFFFF); },
        [](HfsImage& i, uint32_t n) { i.setRecordOffset(HfsTree::Catalog, n, 1, i.catalog.nodeSize); },
        [](HfsImage& i, uint32_t n) { i.setRecordOffset(HfsTree::Catalog, n, 1, 4); },
        [](HfsImage& i, uint32_t n) { i.setKeyLength(HfsTree::Catalog, n, 1, 0xFFF0); },
        [](HfsImage& i, uint32_t n) { i.setKeyLength(HfsTree::Catalog, n, 1, 2); },
    };
    for (size_t p = 0; p < patches.size(); ++p) {
        std::vector<std::string> names;
        HfsImage image = tenLeaves(&names);
        const uint32_t leaf = image.findCatalogRecord(kHfsRootFolderID, "n15")->node;
        ASSERT_EQ(image.findCatalogRecord(kHfsRootFolderID, "n14")->node, leaf);
        patches[p](image, leaf);
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(false)) << p;
        std::string output;
        const std::vector<std::string> listed = listFolder(m.volume, kHfsRootFolderID, &output);
        EXPECT_NE(output.find("*** ERROR: invalid node data"), std::string::npos) << p;
        std::vector<std::string> expected = names;
        expected.erase(std::find(expected.begin(), expected.end(), p == 0 ? "n14" : "n15"));
        if (p == 0) // a leaf without records ends the walk
            expected = namesBefore(image, names, leaf);
        EXPECT_EQ(listed, expected) << p;
    }
}

TEST_F(CorruptTreeTest, UnreadableLeafIsNeverTakenForTheOneBefore)
{
    std::vector<std::string> names;
    HfsImage image = tenLeaves(&names);
    const uint32_t leaf = image.findCatalogRecord(kHfsRootFolderID, "n16")->node;
    Mounted m(image.bytes);
    m.disk.failingBlocks.insert(int64_t(image.nodeOffset(HfsTree::Catalog, leaf) / 512));
    ASSERT_TRUE(m.mount(false));
    std::string output;
    // The cache gives zeros for a failed device read: a node of the wrong kind ends the walk.
    EXPECT_EQ(listFolder(m.volume, kHfsRootFolderID, &output), namesBefore(image, names, leaf));
    EXPECT_NE(output.find("not in an index or leaf node"), std::string::npos);
}

// --- Real volumes written by xorriso, read back by The Sleuth Kit ------------------------------

namespace {
struct XorrisoImage {
    ScratchDir scratch;
    std::string path;
    uint64_t hfsStart = 0; // first 512-byte block of the Apple_HFS partition
    Bytes bytes;
};

void buildXorrisoImage(XorrisoImage* image, const TreeSpec& tree)
{
    const std::string root = image->scratch.file("tree");
    ASSERT_TRUE(makeDirectory(root));
    std::string error;
    ASSERT_TRUE(tree.write(root, &error)) << error;
    image->path = image->scratch.file("volume.iso");
    ASSERT_TRUE(makeXorrisoImage(root, "GLEANERTEST", image->path, &error)) << error;
    const std::optional<ApmEntry> entry = findApmPartition(image->path);
    ASSERT_TRUE(entry.has_value());
    image->hfsStart = entry->firstBlock;
    image->bytes = readFileBytes(image->path);
}

TreeSpec sampleTree()
{
    TreeSpec tree;
    tree.folder("empty").file("readme.txt", 6, 1).file("docs/cafe\xCC\x81.txt", 6, 2);
    tree.file("docs/deep/deeper/note", 4, 3).file("docs/big.bin", 300000, 4);
    for (int i = 0; i < 60; ++i)
        tree.file("docs/file" + std::to_string(i) + ".txt", size_t(i) * 100, uint32_t(10 + i));
    return tree;
}
} // namespace

TEST_F(XorrisoVolumeTest, ListingAndFilesMatchTheSleuthKit)
{
    REQUIRE_TOOLS("xorriso", "fls", "icat");
    XorrisoImage image;
    ASSERT_NO_FATAL_FAILURE(buildXorrisoImage(&image, sampleTree()));
    // Through the partition window, as the application opens a partition.
    CMemoryDisk disk(image.bytes, 512);
    CPartitionDisk window(&disk, int64_t(image.hfsStart), disk.getBlockCount() - 1);
    CCachedDisk cache(&window, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    CHFSVolume volume(&cache);
    OutputCapture quiet;
    ASSERT_TRUE(volume.mount(true));
    std::vector<std::string> lines;
    std::map<uint64_t, CHFSVolumeItem*> files;
    listTree(volume.getRoot(), "", &lines, &files);
    quiet.finish();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(volume.getName(), "GLEANERTEST");
    const auto fls = runFls(image.path, image.hfsStart);
    ASSERT_TRUE(fls.has_value());
    EXPECT_EQ(lines, flsLines(*fls));
    ASSERT_EQ(files.size(), 64u);
    for (const auto& [id, item] : files) {
        const auto expected = runIcat(image.path, image.hfsStart, id);
        ASSERT_TRUE(expected.has_value()) << id;
        Bytes bytes(expected->size());
        OutputCapture readQuiet;
        if (!bytes.empty()) {
            ASSERT_EQ(item->read(0, bytes.data(), uint32_t(bytes.size())), bytes.size()) << item->getName();
        }
        EXPECT_EQ(item->getSize(), expected->size()) << item->getName();
        EXPECT_TRUE(bytes == *expected) << item->getName();
    }
}

TEST_F(XorrisoVolumeTest, MultiLevelCatalogListsLikeTheSleuthKit)
{
    REQUIRE_TOOLS("xorriso", "fls");
    TreeSpec tree;
    for (int d = 0; d < 40; ++d)
        for (int f = 0; f < 100; ++f)
            tree.file("folder" + std::to_string(d) + "/a_rather_long_file_name_" + std::to_string(f) + ".txt", Bytes());
    XorrisoImage image;
    ASSERT_NO_FATAL_FAILURE(buildXorrisoImage(&image, tree));
    Mounted m(image.bytes, image.hfsStart * 512);
    ASSERT_TRUE(m.mount(true));
    ASSERT_GE(m.volume.catalogTree->header.treeDepth, 3);
    std::vector<std::string> lines;
    OutputCapture quiet;
    listTree(m.volume.getRoot(), "", &lines);
    quiet.finish();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines.size(), 4040u);
    const auto fls = runFls(image.path, image.hfsStart);
    ASSERT_TRUE(fls.has_value());
    EXPECT_EQ(lines, flsLines(*fls));
}
