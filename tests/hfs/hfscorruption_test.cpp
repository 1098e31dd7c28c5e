// The HFS Plus reader on damaged copies of sound volumes: random bytes over the B-trees, cut-off
// images, zeroed headers and node links that come back. Whatever the damage, mounting, walking the
// whole tree (the engine's own traversal, bounded by the reader's own checks) and reading every
// file end, and what is read is either the file's bytes or a failed read.
#include "hfsvolume.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "logger.h"

#include "hfsfixtures.h"
#include "hfsimagebuilder.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

// A disk over the image, the 4 MiB cache the application reads through, and the volume.
struct Mounted {
    explicit Mounted(Bytes image, uint64_t diskOfs = 0)
        : disk(std::move(image), 512), cache(&disk, 4194304, 262144), volume((cache.open(false), &cache))
    {
        volume.diskOfs = diskOfs;
    }
    CMemoryDisk disk;
    CCachedDisk cache;
    CHFSVolume volume;
};

// Everything one walk saw: the paths of the items in the order met, and each file's bytes when
// the whole file could be read.
struct Walk {
    bool mounted = false;
    std::string name;
    std::vector<std::string> paths;
    std::map<std::string, Bytes> files; // by path below the root, complete reads only
    int failedReads = 0;
};

class ReadingWalker : public CVolumeItemCallback {
public:
    explicit ReadingWalker(Walk* walk) : out(walk) {}
    void nextVolumeItem(CVolumeItem* item, bool*, bool*) override
    {
        // From below the root: a damaged catalog may leave the volume unnamed.
        std::string path = item->getPath() + item->getName();
        path.erase(0, path.find('/') + 1);
        out->paths.push_back(path);
        if (item->isContainer())
            return;
        // A corrupt size may claim terabytes: the read stops at the first piece that fails, and
        // no file of these volumes is larger than the cap.
        const uint64_t size = std::min<uint64_t>(item->getSize(), kMaxFileBytes);
        Bytes bytes(size);
        for (uint64_t offset = 0; offset < size; offset += kPiece) {
            const uint32_t piece = uint32_t(std::min<uint64_t>(kPiece, size - offset));
            if (item->read(offset, bytes.data() + offset, piece) != piece) {
                ++out->failedReads;
                return;
            }
        }
        out->files[path] = std::move(bytes);
    }

private:
    static constexpr uint64_t kMaxFileBytes = 4 << 20;
    static constexpr uint32_t kPiece = 64 << 10;
    Walk* out;
};

// Mounts the image, walks the whole tree with the engine's traversal and reads every file, with
// the engine's standard output and standard error (hex dumps) held back.
Walk walkVolume(Bytes image, uint64_t diskOfs = 0)
{
    Walk walk;
    OutputCapture quietOut(1), quietErr(2);
    Mounted m(std::move(image), diskOfs);
    walk.mounted = m.volume.mount(true);
    if (walk.mounted && m.volume.getRoot()) {
        walk.name = m.volume.getName();
        ReadingWalker walker(&walk);
        m.volume.getRoot()->traverse(&walker, true);
    }
    return walk;
}

// Overwrites 1 to 8 runs of 1 to 4 random bytes inside the given byte ranges of the image.
void scribble(Bytes& image, const std::vector<std::pair<uint64_t, uint64_t>>& ranges, std::mt19937& random)
{
    uint64_t total = 0;
    for (const auto& range : ranges)
        total += range.second;
    const int runs = 1 + int(random() % 8);
    for (int r = 0; r < runs; ++r) {
        uint64_t at = random() % total;
        for (const auto& range : ranges) {
            if (at < range.second) {
                at += range.first;
                break;
            }
            at -= range.second;
        }
        const int length = 1 + int(random() % 4);
        for (int i = 0; i < length && at + uint64_t(i) < image.size(); ++i)
            image[at + uint64_t(i)] = uint8_t(random());
    }
}

// The byte ranges (start, length) of a tree file in a builder image.
std::vector<std::pair<uint64_t, uint64_t>> treeRanges(const HfsImage& image, HfsTree which)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const HfsExtent& extent : image.tree(which).extents)
        ranges.push_back({image.blockOffset(extent.startBlock), uint64_t(extent.blockCount) * image.blockSize});
    return ranges;
}

// Byte position of a catalog leaf record's data, from the node as it is in the image.
uint64_t recordData(const HfsImage& image, const HfsRecordPlace& place)
{
    const uint64_t at = image.recordOffset(HfsTree::Catalog, place.node, place.index);
    const uint64_t data = at + 2 + loadBig16(&image.bytes[at]);
    return data + ((data - image.nodeOffset(HfsTree::Catalog, place.node)) & 1);
}

// Byte positions of the child node numbers of every index record of a tree.
std::vector<uint64_t> indexChildren(const HfsImage& image, HfsTree which)
{
    std::vector<uint64_t> children;
    const HfsTreeLayout& tree = image.tree(which);
    for (size_t level = 1; level < tree.levels.size(); ++level)
        for (uint32_t node : tree.levels[level]) {
            const uint64_t at = image.nodeOffset(which, node);
            for (uint16_t r = 0; r < loadBig16(&image.bytes[at + kNDNumRecords]); ++r) {
                const uint64_t record = image.recordOffset(which, node, r);
                const uint64_t data = record + 2 + loadBig16(&image.bytes[record]);
                children.push_back(data + ((data - at) & 1));
            }
        }
    return children;
}

struct Sample {
    HfsImage image;
    std::map<std::string, Bytes> files; // by path below the root
    std::vector<std::string> paths;     // every item, sorted
};

// Small blocks and nodes and few records a node, so that both trees have several levels: folders
// three deep, files of one block and of many, and a file in 30 pieces whose extents continue in
// three records of the extents overflow file; the catalog itself lies in catalogPieces pieces
// (beyond eight, the rest are in the overflow file too).
Sample sampleVolume(uint32_t catalogPieces = 10)
{
    HfsBuildOptions o;
    o.volumeName = "Sample";
    o.blockSize = 512;
    o.catalog.nodeSize = 512;
    o.catalog.maxLeafRecords = 3;
    o.catalog.maxIndexRecords = 3;
    o.catalog.extentCount = catalogPieces;
    o.extents.nodeSize = 512;
    o.extents.maxLeafRecords = 1;
    o.extents.maxIndexRecords = 2;
    HfsImageBuilder builder(o);
    Sample s;
    auto file = [&](uint32_t parent, const std::string& parentPath, const std::string& name, Bytes data,
                    const HfsItemOptions& options = {}) {
        builder.addFile(parent, name, data, options);
        s.files[parentPath + name] = std::move(data);
    };
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    const uint32_t deep = builder.addFolder(docs, "deep");
    builder.addFolder(kHfsRootFolderID, "empty");
    file(kHfsRootFolderID, "", "readme.txt", patternBytes(40, 1));
    file(docs, "docs/", "report.bin", patternBytes(3000, 2));
    file(deep, "docs/deep/", "note", patternBytes(5, 3));
    file(docs, "docs/", "zero", Bytes());
    for (int i = 0; i < 8; ++i)
        file(deep, "docs/deep/", "f" + std::to_string(i), patternBytes(size_t(100 + i), uint32_t(10 + i)));
    HfsItemOptions pieces;
    pieces.dataExtents = 30;
    file(kHfsRootFolderID, "", "pieces.bin", patternBytes(30 * 512, 4), pieces);
    s.image = builder.build();
    s.paths = {"docs", "docs/deep", "empty"};
    for (const auto& entry : s.files)
        s.paths.push_back(entry.first);
    std::sort(s.paths.begin(), s.paths.end());
    return s;
}

// Every complete read gave the file's own bytes.
void expectNoWrongBytes(const Walk& walk, const Sample& sample, const std::string& context)
{
    for (const auto& [path, bytes] : walk.files) {
        const auto expected = sample.files.find(path);
        ASSERT_NE(expected, sample.files.end()) << context << ": " << path;
        EXPECT_TRUE(bytes == expected->second) << context << ": " << path;
    }
}

class HFSCorruptionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CLogger::getInstance()->muteFile("hfsvolume.cpp");
        CLogger::getInstance()->muteFile("volumes.cpp");
        CLogger::getInstance()->muteFile("utils.cpp");
    }
    void TearDown() override
    {
        CLogger::getInstance()->unmuteFile("hfsvolume.cpp");
        CLogger::getInstance()->unmuteFile("volumes.cpp");
        CLogger::getInstance()->unmuteFile("utils.cpp");
    }
};

using RandomDamageTest = HFSCorruptionTest;
using TruncationTest = HFSCorruptionTest;
using LinkCycleTest = HFSCorruptionTest;
} // namespace

// The sound volume walks whole; with a header zeroed it fails the mount, lists nothing, or (the
// catalog in its eight inline pieces) loses only the file whose extents continue in the overflow file.
TEST_F(HFSCorruptionTest, SoundOrHeaderZeroedVolumeWalksAsFarAsItsHeadersAllow)
{
    enum Damage { None, VolumeHeader, CatalogHeader, ExtentsHeader };
    for (const Damage damage : {None, VolumeHeader, CatalogHeader, ExtentsHeader}) {
        SCOPED_TRACE(int(damage));
        Sample sample = sampleVolume(damage == ExtentsHeader ? 8 : 10);
        ASSERT_GE(sample.image.catalog.depth, 3u);
        ASSERT_GE(sample.image.extents.depth, 2u);
        if (damage == VolumeHeader)
            sample.image.zeroVolumeHeader();
        else if (damage != None)
            sample.image.zeroTreeHeader(damage == CatalogHeader ? HfsTree::Catalog : HfsTree::Extents);
        const Walk walk = walkVolume(sample.image.bytes);
        ASSERT_EQ(walk.mounted, damage != VolumeHeader);
        if (damage == VolumeHeader)
            continue;
        EXPECT_EQ(walk.name, damage == CatalogHeader ? "Unknown" : "Sample");
        std::vector<std::string> paths = walk.paths;
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, damage == CatalogHeader ? std::vector<std::string>{} : sample.paths);
        std::map<std::string, Bytes> expected = damage == CatalogHeader ? std::map<std::string, Bytes>{} : sample.files;
        if (damage == ExtentsHeader)
            expected.erase("pieces.bin");
        EXPECT_EQ(walk.files, expected);
        EXPECT_EQ(walk.failedReads, damage == ExtentsHeader ? 1 : 0);
    }
}

// --- Random bytes -------------------------------------------------------------------------------

// Over the catalog the volume still mounts (its header is intact); over the extents file, with the
// catalog in its eight inline pieces, a file in its inline extents still reads whole.
TEST_F(RandomDamageTest, RandomBytesOverABuiltVolumesTreesNeverBreakTheWalk)
{
    for (const HfsTree which : {HfsTree::Catalog, HfsTree::Extents}) {
        const Sample sample = sampleVolume(which == HfsTree::Catalog ? 10 : 8);
        const auto ranges = treeRanges(sample.image, which);
        for (uint32_t round = 0; round < 300; ++round) {
            SCOPED_TRACE(std::string(which == HfsTree::Catalog ? "catalog" : "extents") + " round " +
                         std::to_string(round));
            std::mt19937 random((which == HfsTree::Catalog ? 1 : 1000) + round);
            Bytes image = sample.image.bytes;
            scribble(image, ranges, random);
            const Walk walk = walkVolume(image);
            ASSERT_TRUE(walk.mounted);
            if (which == HfsTree::Extents) {
                EXPECT_EQ(walk.files.at("docs/report.bin"), sample.files.at("docs/report.bin"));
            }
        }
    }
}

TEST_F(RandomDamageTest, RandomBytesOverARealVolumesCatalogNeverBreakTheWalk)
{
    if (!toolAvailable("xorriso"))
        GTEST_SKIP() << "xorriso is not installed";
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    TreeSpec tree;
    for (int d = 0; d < 6; ++d)
        for (int f = 0; f < 30; ++f)
            tree.file("folder" + std::to_string(d) + "/file_" + std::to_string(f) + ".txt", size_t(f * 50),
                      uint32_t(d * 100 + f));
    std::string error;
    ASSERT_TRUE(tree.write(scratch.file("tree"), &error)) << error;
    const std::string path = scratch.file("volume.iso");
    ASSERT_TRUE(makeXorrisoImage(scratch.file("tree"), "DAMAGED", path, &error)) << error;
    const auto entry = findApmPartition(path);
    ASSERT_TRUE(entry.has_value());
    const Bytes sound = readFileBytes(path);
    const uint64_t volume = uint64_t(entry->firstBlock) * 512;
    // The catalog file's extents, from the volume header.
    const uint8_t* header = sound.data() + volume + kHFSVolumeHeaderOffset;
    const uint64_t blockSize = loadBig32(header + kVHBlockSize);
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (int i = 0; i < kExtentsPerRecord; ++i) {
        const uint8_t* extent = header + kVHCatalogFile + kForkExtents + size_t(i) * kExtentDescriptorSize;
        const uint64_t count = loadBig32(extent + kExtentBlockCount);
        if (count > 0)
            ranges.push_back({volume + loadBig32(extent + kExtentStartBlock) * blockSize, count * blockSize});
    }
    ASSERT_FALSE(ranges.empty());
    const Walk clean = walkVolume(sound, volume);
    ASSERT_EQ(clean.paths.size(), 6u + 6u * 30u);
    for (uint32_t round = 0; round < 100; ++round) {
        std::mt19937 random(2000 + round);
        Bytes image = sound;
        scribble(image, ranges, random);
        const Walk walk = walkVolume(image, volume);
        EXPECT_TRUE(walk.mounted) << "round " << round;
    }
}

// --- Cut-off images -----------------------------------------------------------------------------

TEST_F(TruncationTest, CutOffImagesMountOrFailAndNeverReadWrongBytes)
{
    const Sample sample = sampleVolume();
    const uint64_t size = sample.image.bytes.size();
    std::set<uint64_t> cuts = {0, 512, 1024, 1536, 2048, size - 1024, size - 512};
    for (uint64_t cut = 4096; cut < size; cut += 1536)
        cuts.insert(cut);
    for (uint64_t cut : cuts) {
        Bytes image(sample.image.bytes.begin(), sample.image.bytes.begin() + std::ptrdiff_t(cut));
        const Walk walk = walkVolume(image);
        EXPECT_EQ(walk.mounted, cut >= 1536) << "cut at " << cut;
        ASSERT_NO_FATAL_FAILURE(expectNoWrongBytes(walk, sample, "cut at " + std::to_string(cut)));
    }
}

// --- Links that come back -----------------------------------------------------------------------

// Every leaf's forward link, and every index record's child, pointed in turn at every node of the
// tree (the header node and itself included) and past its end: the walk ends, and no item is
// listed twice.
TEST_F(LinkCycleTest, EveryRedirectedCatalogLinkEndsTheWalk)
{
    const Sample sample = sampleVolume();
    const HfsTreeLayout& catalog = sample.image.catalog;
    std::vector<std::pair<uint64_t, bool>> fields; // byte position, and whether it is a forward link
    for (uint32_t leaf : catalog.levels[0])
        fields.push_back({sample.image.nodeOffset(HfsTree::Catalog, leaf), true});
    for (uint64_t child : indexChildren(sample.image, HfsTree::Catalog))
        fields.push_back({child, false});
    for (const auto& [at, forward] : fields)
        for (uint32_t target = 0; target <= catalog.totalNodes; ++target) {
            HfsImage image = sample.image;
            image.put32(at, target);
            const Walk walk = walkVolume(image.bytes);
            ASSERT_TRUE(walk.mounted);
            const std::set<std::string> unique(walk.paths.begin(), walk.paths.end());
            EXPECT_EQ(unique.size(), walk.paths.size())
                << (forward ? "fLink" : "child") << " at " << at << " -> " << target;
            ASSERT_NO_FATAL_FAILURE(expectNoWrongBytes(walk, sample, "link at " + std::to_string(at)));
        }
}

// The extents overflow file's leaves linked in a ring, and its index children pointed back at
// the root: reads of the fragmented file end, with its bytes or a failure.
TEST_F(LinkCycleTest, ExtentsTreeLinksThatComeBackEndTheRead)
{
    const Sample sample = sampleVolume();
    const HfsTreeLayout& extents = sample.image.extents;
    ASSERT_GE(extents.levels[0].size(), 3u);
    std::vector<HfsImage> images;
    {
        HfsImage ring = sample.image;
        for (size_t i = 0; i < extents.levels[0].size(); ++i)
            ring.setForwardLink(HfsTree::Extents, extents.levels[0][i],
                                extents.levels[0][(i + 1) % extents.levels[0].size()]);
        images.push_back(ring);
    }
    {
        HfsImage toRoot = sample.image;
        for (uint64_t child : indexChildren(sample.image, HfsTree::Extents))
            toRoot.put32(child, extents.rootNode);
        images.push_back(toRoot);
    }
    for (size_t i = 0; i < images.size(); ++i) {
        const Walk walk = walkVolume(images[i].bytes);
        ASSERT_TRUE(walk.mounted) << i;
        ASSERT_NO_FATAL_FAILURE(expectNoWrongBytes(walk, sample, "variant " + std::to_string(i)));
    }
}

// --- Folders listed in more than one place ------------------------------------------------------

// Two folders a level, each listing both folders of the next level: 4 records a level, but as a
// tree 2^levels folders. The walk lists each folder once, under the first folder that lists it.
TEST_F(HFSCorruptionTest, FolderListedUnderTwoParentsIsWalkedOnce)
{
    constexpr int kLevels = 12;
    HfsBuildOptions o;
    o.volumeName = "Lattice";
    o.blockSize = 512;
    o.catalog.nodeSize = 4096;
    HfsImageBuilder builder(o);
    HfsItemOptions again;
    again.thread = false; // the folder's one thread record is written with its first listing
    uint32_t a = builder.addFolder(kHfsRootFolderID, "a0");
    uint32_t b = builder.addFolder(kHfsRootFolderID, "b0");
    for (int level = 1; level < kLevels; ++level) {
        const std::string n = std::to_string(level);
        const uint32_t nextA = builder.addFolder(a, "a" + n);
        const uint32_t nextB = builder.addFolder(a, "b" + n);
        again.id = nextA;
        builder.addFolder(b, "a" + n, again);
        again.id = nextB;
        builder.addFolder(b, "b" + n, again);
        a = nextA;
        b = nextB;
    }
    const Walk walk = walkVolume(builder.build().bytes);
    ASSERT_TRUE(walk.mounted);
    EXPECT_EQ(walk.paths.size(), size_t(2 * kLevels));
}

// The root folder's own record (under the root's parent, read for the volume name) naming another
// folder's ID: that folder still shows in the tree.
TEST_F(HFSCorruptionTest, RootRecordNamingAnotherFolderLeavesItInTheTree)
{
    Sample sample = sampleVolume();
    const HfsRecordPlace* rootRecord = sample.image.findCatalogRecord(kHfsRootParentID, "Sample");
    const HfsRecordPlace* docs = sample.image.findCatalogRecord(kHfsRootFolderID, "docs");
    ASSERT_TRUE(rootRecord && docs);
    const uint32_t docsID = loadBig32(&sample.image.bytes[recordData(sample.image, *docs) + kCRFolderID]);
    sample.image.put32(recordData(sample.image, *rootRecord) + kCRFolderID, docsID);
    const Walk walk = walkVolume(sample.image.bytes);
    ASSERT_TRUE(walk.mounted);
    EXPECT_EQ(walk.name, "Sample");
    std::vector<std::string> paths = walk.paths;
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, sample.paths);
}
