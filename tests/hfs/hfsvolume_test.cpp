// The HFS Plus reader on built, xorriso-made and damaged volumes.
#include "hfsvolume.h"

#include "bigendian.h"
#include "cacheddisk.h"
#include "logger.h"
#include "macdisk.h"
#include "machelpers.h"
#include "partitiondisk.h"
#include "utils.h"

#include "fakepaceclock.h"
#include "hfsfixtures.h"
#include "hfsimagebuilder.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>

namespace {
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;
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
    CMemoryDisk disk;
    CCachedDisk cache;
    CHFSVolume volume;
};
// A volume too large for memory, written as a sparse file (with patches over it) and mounted from it.
struct MountedFile {
    explicit MountedFile(const HfsImage& image, const std::map<uint64_t, Bytes>& patches = {})
    {
        if (!image.writeFile(scratch.file("volume.img"), patches))
            return;
        OutputCapture quiet;
        disk = std::make_unique<CMacDisk>(scratch.file("volume.img").c_str());
        cache = std::make_unique<CCachedDisk>(disk.get(), 4194304, 262144);
        cache->open(false);
        volume = std::make_unique<CHFSVolume>(cache.get());
        mounted = volume->mount(true) && volume->getRoot() && volume->getRoot()->addChildren();
    }
    ~MountedFile()
    {
        OutputCapture quiet;
        volume.reset();
        cache.reset();
        disk.reset();
    }
    CHFSVolumeItem* child(const std::string& name) const
    {
        for (CVolumeItem* item : volume->getRoot()->children)
            if (item->getName() == name)
                return static_cast<CHFSVolumeItem*>(item);
        return nullptr;
    }
    ScratchDir scratch;
    std::unique_ptr<CMacDisk> disk;
    std::unique_ptr<CCachedDisk> cache;
    std::unique_ptr<CHFSVolume> volume;
    bool mounted = false;
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
// What one traversal saw: paths below the root in order, and the bytes of each file read whole.
struct Walk : CVolumeItemCallback {
    void nextVolumeItem(CVolumeItem* item, bool*, bool*) override
    {
        std::string path = item->getPath() + item->getName();
        path.erase(0, path.find('/') + 1); // a damaged catalog may leave the volume unnamed
        paths.push_back(path);
        if (item->isContainer())
            return;
        // A corrupt size may claim terabytes: no file of these volumes is larger than 4 MiB.
        Bytes bytes(std::min<uint64_t>(item->getSize(), 4 << 20));
        for (uint64_t offset = 0; offset < bytes.size(); offset += 65536) {
            const uint32_t piece = uint32_t(std::min<uint64_t>(65536, bytes.size() - offset));
            if (item->read(offset, bytes.data() + offset, piece) != piece)
                return;
        }
        files[path] = std::move(bytes);
    }
    bool mounted = false;
    std::string name;
    Names paths;
    std::map<std::string, Bytes> files;
};
Walk walkVolume(Bytes image)
{
    Walk walk;
    OutputCapture quietOut(1), quietErr(2);
    Mounted m(std::move(image));
    walk.mounted = m.volume.mount(true);
    if (walk.mounted && m.volume.getRoot()) {
        walk.name = m.volume.getName();
        m.volume.getRoot()->traverse(&walk, true);
    }
    return walk;
}
HfsImage smallVolume()
{
    HfsImageBuilder builder;
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    builder.addFile(kHfsRootFolderID, "a.txt", Bytes(5, 'a'));
    builder.addFile(docs, "x", Bytes(10000, 'x'));
    return builder.build();
}
// Twenty files in the root, two to a catalog leaf, on a case-sensitive volume.
HfsImage tenLeaves(Names* names)
{
    HfsImageBuilder builder({.flavor = HfsFlavor::HfsxCaseSensitive,
                             .catalog = {.nodeSize = 1024, .maxLeafRecords = 2, .maxIndexRecords = 3}});
    for (int i = 0; i < 20; ++i) {
        names->push_back("n" + std::to_string(10 + i));
        builder.addFile(kHfsRootFolderID, names->back(), Bytes(1, 0));
    }
    return builder.build();
}
// Small blocks, nodes and fan-out: both trees several levels deep, a file in 30 pieces, and the
// catalog in catalogPieces pieces (beyond eight, in the overflow file too).
HfsImage sampleVolume(uint32_t catalogPieces = 10)
{
    HfsImageBuilder builder(
        {.volumeName = "Sample",
         .blockSize = 512,
         .catalog = {.nodeSize = 512, .maxLeafRecords = 3, .maxIndexRecords = 3, .extentCount = catalogPieces},
         .extents = {.nodeSize = 512, .maxLeafRecords = 1, .maxIndexRecords = 2}});
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    const uint32_t deep = builder.addFolder(docs, "deep");
    builder.addFolder(kHfsRootFolderID, "empty");
    builder.addFile(kHfsRootFolderID, "readme.txt", patternBytes(40, 1));
    builder.addFile(docs, "report.bin", patternBytes(3000, 2));
    builder.addFile(deep, "note", patternBytes(5, 3));
    builder.addFile(docs, "zero", Bytes());
    for (int i = 0; i < 8; ++i)
        builder.addFile(deep, "f" + std::to_string(i), patternBytes(size_t(100 + i), uint32_t(10 + i)));
    builder.addFile(kHfsRootFolderID, "pieces.bin", patternBytes(30 * 512, 4), {.dataExtents = 30});
    return builder.build();
}
// Byte positions of the data of every record of the nodes, behind keys padded to even offsets.
std::vector<uint64_t> recordData(const HfsImage& image, HfsTree which, const std::vector<uint32_t>& nodes)
{
    std::vector<uint64_t> positions;
    for (uint32_t node : nodes) {
        const uint64_t at = image.nodeOffset(which, node);
        for (uint16_t r = 0; r < loadBig16(&image.bytes[at + kNDNumRecords]); ++r) {
            const uint64_t record = image.recordOffset(which, node, r);
            const uint64_t data = record + 2 + loadBig16(&image.bytes[record]);
            positions.push_back(data + ((data - at) & 1));
        }
    }
    return positions;
}
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
    static constexpr const char* kNoisy[] = {"hfsvolume.cpp", "volumes.cpp", "utils.cpp"};
};
} // namespace
// An unknown signature, a header that would end past the disk, or an unusable block size.
TEST_F(HFSVolumeTest, UnusableHeadersFailTheMount)
{
    std::vector<Bytes> images = {Bytes(1536, 0)}; // mounted from byte 512
    HfsImage image = smallVolume();
    image.put16(kHFSVolumeHeaderOffset + kVHSignature, 0x1234);
    images.push_back(image.bytes);
    for (uint32_t blockSize : {0u, 1000u, 256u, 1536u, 0x7FFFFE00u, 0x80000000u}) {
        image = smallVolume();
        image.put32(kHFSVolumeHeaderOffset + kVHBlockSize, blockSize);
        images.push_back(image.bytes);
    }
    for (size_t i = 0; i < images.size(); ++i) {
        Mounted m(images[i], i == 0 ? 512 : 0);
        EXPECT_FALSE(m.mount(true)) << i;
        EXPECT_EQ(m.volume.allocBlockSize, 512u) << i; // as constructed: the disk's block size
        EXPECT_EQ(m.volume.getRoot(), nullptr) << i;
    }
}
// An HFS ("BD") volume made by hfsutils gives its geometry and bitmap only.
TEST_F(HFSVolumeTest, HFSVolumeGetsItsHeaderValuesAndBitmapOnly)
{
    if (!toolAvailable("hformat") || !toolAvailable("hcopy"))
        GTEST_SKIP() << "hfsutils (hformat, hcopy) not installed";
    // hfsutils keep their current volume in $HOME: a private one for these commands.
    ScratchDir dir;
    const std::vector<std::string> home = {"HOME=" + dir.path()};
    ASSERT_TRUE(writeFileBytes(dir.file("data.bin"), patternBytes(40000, 3)));
    ASSERT_TRUE(writeFileBytes(dir.file("plain.hfs"), Bytes(1440 * 1024))); // hformat makes no file
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"hformat", "-l", "Plain", dir.file("plain.hfs")},
          {"hcopy", "-r", dir.file("data.bin"), ":data.bin"}}) {
        const ToolResult result = runTool(command, home);
        ASSERT_EQ(result.exitStatus, 0) << command[0] << ": " << result.errors;
    }
    Mounted made(readFileBytes(dir.file("plain.hfs")));
    ASSERT_TRUE(made.mount(true));
    EXPECT_EQ(made.volume.catalogTree, nullptr);
    EXPECT_EQ(made.volume.allocBlockSize, 512u);
    EXPECT_GT(made.volume.allocBlocks, 2700u);
    EXPECT_LE(made.volume.allocBlocks, 2880u);
    EXPECT_TRUE(made.volume.isAllocationBlockUsed(0));
    EXPECT_FALSE(made.volume.isAllocationBlockUsed(made.volume.allocBlocks - 1));
}
// An 8 MiB volume as a Mac writes it: 2048 blocks of 4 KiB, its bitmap in one whole allocation block.
HfsImage smallMacVolume()
{
    HfsImageBuilder builder({.minimumBlocks = 2048, .allocationFileWholeBlocks = true});
    builder.addFile(kHfsRootFolderID, "a", Bytes(9000, 1));
    builder.addFreeData(Bytes(4096, 2));
    builder.addFile(kHfsRootFolderID, "b", Bytes(100, 3));
    return builder.build();
}
// A loaded allocation file answers for every block and no further.
TEST_F(HFSVolumeTest, AllocationFileIsRefusedOnlyWhenItCannotCoverTheVolumeOrExceedsTheDisk)
{
    const HfsImage sound = smallMacVolume();
    const uint32_t needed = sound.totalBlocks / 8;
    const struct {
        uint64_t logicalSize; // 0: as built
        bool loaded;
        const char* message;
    } cases[] = {
        {0, true, ""},
        {needed, true, ""},
        {needed - 1, false, "cannot describe 2048 allocation blocks"},
        {sound.bytes.size() + 1, false, "allocation file logicalSize > total disk blocks"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logicalSize);
        HfsImage image = sound;
        if (c.logicalSize)
            image.put32(kHFSVolumeHeaderOffset + kVHAllocationFile + 4, uint32_t(c.logicalSize));
        Mounted m(image.bytes);
        std::string output;
        ASSERT_TRUE(m.mount(false, &output));
        EXPECT_NE(output.find(c.message), std::string::npos);
        ASSERT_EQ(m.volume.allocationBitmap != nullptr, c.loaded);
        if (!c.loaded)
            continue;
        EXPECT_EQ(m.volume.allocationBitmapSize, int64_t((image.totalBlocks + 7) / 8));
        for (uint32_t block = 0; block < image.totalBlocks; ++block)
            ASSERT_EQ(m.volume.isAllocationBlockUsed(block), image.isBlockUsed(block)) << block;
        OutputCapture quiet;
        EXPECT_FALSE(m.volume.isAllocationBlockUsed(m.volume.allocationBitmapSize * 8));
        // A block number past 2^32 is out of range, not block 0 again.
        EXPECT_FALSE(m.volume.isAllocationBlockUsed((uint64_t(1) << 32) + 0));
    }
}
// A scan past the bitmap prints the out-of-range line once and counts the rest at the end, each scan.
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
// 2^16 blocks and more (the larger bitmap takes more than one read of 1 MiB), and blocks of 64 KiB
// and 1 MiB: every block answers as the bitmap says up to the last one (the alternate header's), and
// the files read whole.
TEST_F(HFSVolumeTest, VolumeOfManyOrLargeBlocksAnswersForEveryBlockAndReadsItsFiles)
{
    const struct {
        uint32_t blockSize, blocks;
    } cases[] = {{512, (1u << 16) + 8}, {512, (8u << 20) + 4096}, {1u << 16, 64}, {1u << 20, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.blocks) + " blocks of " + std::to_string(c.blockSize));
        HfsImageBuilder builder({.blockSize = c.blockSize, .minimumBlocks = c.blocks, .sparse = true});
        builder.addFile(kHfsRootFolderID, "a", patternBytes(3000, 1));
        builder.addFreeData(Bytes(512, 1));
        builder.addFile(kHfsRootFolderID, "b", Bytes(10, 2));
        const HfsImage image = builder.build();
        ASSERT_EQ(image.totalBlocks, c.blocks);
        ASSERT_TRUE(image.isBlockUsed(c.blocks - 1));
        MountedFile m(image);
        ASSERT_TRUE(m.mounted);
        EXPECT_EQ(m.volume->allocBlockSize, c.blockSize);
        EXPECT_EQ(m.volume->allocBlocks, c.blocks);
        EXPECT_EQ(m.volume->allocationBitmapSize, int64_t(c.blocks / 8));
        for (uint32_t block = 0; block < c.blocks; ++block)
            ASSERT_EQ(m.volume->isAllocationBlockUsed(block), image.isBlockUsed(block)) << block;
        Bytes a(3000), b(10);
        OutputCapture quiet;
        const bool read = m.child("a") && m.child("a")->read(0, a.data(), 3000) == 3000 && m.child("b") &&
                          m.child("b")->read(0, b.data(), 10) == 10;
        const bool past = m.volume->isAllocationBlockUsed(c.blocks);
        quiet.finish();
        EXPECT_TRUE(read && a == patternBytes(3000, 1) && b == Bytes(10, 2));
        EXPECT_FALSE(past);
    }
}
// Catalog IDs of 2^31 and more are unsigned: in the folder's key, the file's record and the keys of
// the file's overflow extents.
TEST_F(HFSVolumeTest, CatalogIDsFromTwoToThe31AreUnsigned)
{
    HfsImageBuilder builder({.blockSize = 512});
    const uint32_t folder = builder.addFolder(kHfsRootFolderID, "high", {.id = 0x80000000u});
    const Bytes data = patternBytes(12 * 512, 5);
    builder.addFile(folder, "f", data, {.id = 0xFFFFFF00u, .dataExtents = 12});
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    Names lines;
    std::map<uint64_t, CHFSVolumeItem*> files;
    listTree(m.volume.getRoot(), "", &lines, &files);
    EXPECT_EQ(lines, (Names{"d/d 2147483648 high", "r/r 4294967040 high/f"}));
    ASSERT_EQ(files.count(0xFFFFFF00u), 1u);
    Bytes read(data.size());
    OutputCapture quiet;
    const uint32_t got = files[0xFFFFFF00u]->read(0, read.data(), uint32_t(read.size()));
    quiet.finish();
    EXPECT_EQ(got, read.size());
    EXPECT_TRUE(read == data);
}
// Forks of 2 GiB and more on a sparse volume: the size listed, shown and sorted by, and the bytes at
// the far end and across 4 GiB (marked there after the build).
TEST_F(HFSVolumeTest, ForksOfFourGibibytesAndMoreKeepTheirSizeAndReadAtTheirFarEnd)
{
    constexpr uint64_t k4G = uint64_t(1) << 32;
    const struct {
        const char* name;
        uint64_t size;
        const char* shown;
        uint32_t pieces = 1; // beyond 8, its last piece, past 5 GiB, is found in the overflow file
    } files[] = {
        {"six", 3 * (k4G / 2), "6291456 KB", 9}, {"four", k4G, "4194304 KB"}, {"four+", k4G + 4097, "4194308 KB"},
        {"two+", k4G / 2 + 1, "2097152 KB"},     {"small", 30000, "29 KB"},
    };
    HfsImageBuilder builder({.sparse = true});
    std::map<std::string, uint32_t> ids;
    for (const auto& file : files)
        ids[file.name] =
            builder.addFile(kHfsRootFolderID, file.name, {}, {.dataExtents = file.pieces, .dataSize = file.size});
    const HfsImage image = builder.build();
    std::map<uint64_t, Bytes> marks; // the first 3000 and last 100 bytes of each fork, 100 around 4 GiB
    for (size_t i = 0; i < std::size(files); ++i) {
        const uint32_t id = ids[files[i].name];
        marks[image.dataOffset(id, 0)] = patternBytes(3000, uint32_t(i));
        marks[image.dataOffset(id, files[i].size - 100)] = patternBytes(100, 100 + uint32_t(i));
        if (files[i].size > k4G + 50)
            marks[image.dataOffset(id, k4G - 50)] = patternBytes(100, 200 + uint32_t(i));
    }
    MountedFile m(image, marks);
    ASSERT_TRUE(m.mounted);
    CVolumeTableModel model(m.volume->getRoot());
    std::map<std::string, std::string> shown;
    for (int row = 0; row < model.getRowCount(); ++row)
        shown[model.getCellText(row, 0)] = model.getCellText(row, 1);
    // What was read, gathered quietly and compared after.
    Names found, expected;
    {
        OutputCapture quiet;
        for (size_t i = 0; i < std::size(files); ++i) {
            CHFSVolumeItem* file = m.child(files[i].name);
            const std::string name = files[i].name;
            if (!file) {
                found.push_back(name + " missing");
                continue;
            }
            found.push_back(name + " " + std::to_string(file->getSize()) + " " + shown[name]);
            expected.push_back(name + " " + std::to_string(files[i].size) + " " + files[i].shown);
            std::vector<std::pair<uint64_t, Bytes>> reads = {
                {0, patternBytes(3000, uint32_t(i))}, {files[i].size - 100, patternBytes(100, 100 + uint32_t(i))}};
            if (files[i].size > k4G + 50)
                reads.push_back({k4G - 50, patternBytes(100, 200 + uint32_t(i))});
            for (const auto& [offset, bytes] : reads) {
                Bytes read(bytes.size());
                const bool whole = file->read(offset, read.data(), uint32_t(read.size())) == read.size();
                found.push_back(name + " at " + std::to_string(offset) +
                                (whole && read == bytes ? " as marked" : " wrong"));
                expected.push_back(name + " at " + std::to_string(offset) + " as marked");
            }
        }
    }
    EXPECT_EQ(found, expected);
    m.volume->setSortType(SortBySize);
    m.volume->getRoot()->sortChildren();
    Names order;
    for (CVolumeItem* child : m.volume->getRoot()->children)
        order.push_back(child->getName());
    EXPECT_EQ(order, (Names{"small", "two+", "four", "four+", "six"}));
}
// Past the inline extents each fork reads through its own overflow records: never through a record of
// the other fork of the same file, whose blocks it would read instead.
TEST_F(HFSVolumeTest, EachForkReadsThroughItsOwnOverflowRecordsOnly)
{
    HfsImageBuilder builder(
        {.blockSize = 512, .extents = {.nodeSize = 512, .maxLeafRecords = 2, .maxIndexRecords = 2}});
    const Bytes data = patternBytes(40 * 512, 1), resource = patternBytes(25 * 512, 2);
    builder.addFile(kHfsRootFolderID, "both", data,
                    {.dataExtents = 40, .resourceFork = resource, .resourceExtents = 25});
    builder.addFile(kHfsRootFolderID, "data", data, {.dataExtents = 40, .resourceFork = Bytes(512, 3)});
    builder.addFile(kHfsRootFolderID, "resource", Bytes(512, 4), {.resourceFork = resource, .resourceExtents = 25});
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    Names lines;
    std::map<uint64_t, CHFSVolumeItem*> files;
    listTree(m.volume.getRoot(), "", &lines, &files);
    ASSERT_EQ(files.size(), 3u);
    Names wrong; // reads that failed or gave other bytes than the fork's, gathered quietly
    OutputCapture quiet;
    for (const auto& [id, file] : files) {
        for (const int type : {int(kDataForkType), int(kResourceForkType)}) {
            const std::string fork = file->getName() + (type == kDataForkType ? " data" : " resource");
            CHFSForkData* forkData = type == kDataForkType ? file->dataFork : file->resourceFork;
            const Bytes& expected = type == kDataForkType ? (file->getName() == "resource" ? Bytes(512, 4) : data)
                                                          : (file->getName() == "data" ? Bytes(512, 3) : resource);
            Bytes bytes(expected.size());
            if (!m.volume.readFileAt(id, type, bytes.data(), 0, int64_t(bytes.size()), forkData) || bytes != expected)
                wrong.push_back(fork + " whole");
            // Each block of the fork, and past its end blocks that the other fork has.
            const uint64_t blocks = expected.size() / 512;
            for (uint64_t block = 0; block < 48; ++block) {
                Bytes piece(100, 0xEE);
                const bool read = m.volume.readFileAt(id, type, piece.data(), block * 512 + 3, 100, forkData);
                const bool right = read ? block < blocks && std::equal(piece.begin(), piece.end(),
                                                                       expected.begin() + int64_t(block * 512 + 3))
                                        : block >= blocks && piece == Bytes(100, 0xEE);
                if (!right)
                    wrong.push_back(fork + " block " + std::to_string(block));
            }
        }
    }
    quiet.finish();
    EXPECT_EQ(wrong, Names{});
}
// Names of 255 units kept whole, and a name length past its key not filled from the record behind it.
TEST_F(HFSVolumeTest, RootListsEveryNameAsBuilt)
{
    const std::u16string stem(251, u'\u6587');
    std::string utf8Stem;
    for (int i = 0; i < 251; ++i)
        utf8Stem += "\xE6\x96\x87";
    HfsImageBuilder longNames, shortKey;
    longNames.addFileUtf16(kHfsRootFolderID, stem + u".txt", Bytes(1, 0));
    longNames.addFileUtf16(kHfsRootFolderID, stem + u".pdf", Bytes(1, 0));
    shortKey.addFile(kHfsRootFolderID, "ab", Bytes(1, 0));
    HfsImage shortKeyImage = shortKey.build();
    const HfsRecordPlace* place = shortKeyImage.findCatalogRecord(kHfsRootFolderID, "ab");
    shortKeyImage.put16(shortKeyImage.recordOffset(HfsTree::Catalog, place->node, place->index) + kCKNodeName, 3);
    const std::pair<HfsImage, Names> cases[] = {
        {longNames.build(), {utf8Stem + ".pdf", utf8Stem + ".txt"}},
        {shortKeyImage, {"ab"}},
    };
    for (const auto& [image, listed] : cases) {
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(false));
        EXPECT_EQ(m.list(), listed);
    }
}
// Listing a large folder takes its time: while the engine asks for it, it is told as time passes.
TEST_F(HFSVolumeTest, ListingPulsesAsTimePassesOnlyWhenAskedTo)
{
    constexpr int kFiles = 60;
    HfsImageBuilder builder;
    for (int i = 0; i < kFiles; ++i)
        builder.addFile(kHfsRootFolderID, "f" + std::to_string(i), Bytes(1, 0));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(false));
    int pulses = 0;
    FakePaceClock clock(2 * CProgressPace::kInterval);
    EXPECT_EQ(m.list().size(), size_t(kFiles));
    m.volume.progressPulse = [&pulses] { ++pulses; };
    EXPECT_EQ(m.list().size(), size_t(kFiles));
    EXPECT_GE(pulses, kFiles);
    FakePaceClock::step = 0;
    pulses = 0;
    m.list();
    EXPECT_EQ(pulses, 0);
}
// Past a fork's blocks, another file's or fork's overflow record is never used.
TEST_F(HFSVolumeTest, FragmentedFileReadsLikeItsDataFromEveryBlockAndNeverThroughAnotherFork)
{
    HfsImageBuilder builder(
        {.blockSize = 512, .extents = {.nodeSize = 512, .maxLeafRecords = 1, .maxIndexRecords = 2}});
    const Bytes data = patternBytes(40 * 512 + 100, 7);
    const uint32_t frag =
        builder.addFile(kHfsRootFolderID, "frag", data, {.dataExtents = 40, .resourceFork = patternBytes(512, 3)});
    const uint32_t other = builder.addFile(kHfsRootFolderID, "other", patternBytes(512, 2));
    Mounted m(builder.build().bytes);
    ASSERT_TRUE(m.mount(true));
    Names lines;
    std::map<uint64_t, CHFSVolumeItem*> files;
    listTree(m.volume.getRoot(), "", &lines, &files);
    CHFSVolumeItem* file = files.at(frag);
    Bytes whole(data.size());
    OutputCapture quiet;
    ASSERT_EQ(file->read(0, whole.data(), uint32_t(whole.size())), whole.size());
    EXPECT_TRUE(whole == data);
    for (uint32_t block = 0; block < 40; ++block) {
        Bytes piece(300);
        ASSERT_EQ(file->read(block * 512 + 100, piece.data(), 300), 300u) << "block " << block;
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), data.begin() + block * 512 + 100)) << "block " << block;
    }
    Bytes bytes(512, 0xEE);
    EXPECT_EQ(files.at(other)->read(17 * 512, bytes.data(), 512), 0u);
    EXPECT_FALSE(m.volume.readFileAt(file->fileID, kResourceForkType, bytes.data(), 17 * 512, 512, file->resourceFork));
    EXPECT_EQ(bytes, Bytes(512, 0xEE));
    EXPECT_TRUE(m.volume.readFileAt(frag, kDataForkType, nullptr, 0, 0, file->dataFork)); // nothing to read
    EXPECT_FALSE(m.volume.readFileAt(frag, kDataForkType, nullptr, 0, 512, file->dataFork));
}
// The extents file's blocks past its own extents are never searched for in its own tree.
TEST_F(HFSVolumeTest, ForkPastItsBlocksOrWithoutVolumeOrBlockSizeReadsNothing)
{
    Mounted m(smallVolume().bytes);
    ASSERT_TRUE(m.mount(false));
    CHFSForkData* fork = m.volume.extentsTree->fork;
    const uint64_t past = uint64_t(fork->totalBlocks) * m.volume.allocBlockSize;
    uint8_t buffer[512];
    CLogger::getInstance()->unmuteFile("hfsvolume.cpp");
    OutputCapture capture;
    const bool read = m.volume.readFileAt(kHFSExtentsFileID, 0, buffer, past, sizeof buffer, fork);
    const std::string output = capture.finish();
    CLogger::getInstance()->muteFile("hfsvolume.cpp");
    EXPECT_FALSE(read);
    EXPECT_EQ(output.find("start search"), std::string::npos) << output;
    Bytes raw(kForkDataSize);
    raw[7] = 100;                                         // logicalSize
    raw[kForkExtents + 3] = 10;                           // startBlock
    raw[kForkExtents + 7] = 1;                            // blockCount
    std::fill_n(raw.begin() + kForkTotalBlocks, 4, 0xFF); // negative as the reader takes it: none
    CHFSVolumeItem item;
    item.dataFork = new CHFSForkData(nullptr, reinterpret_cast<const HFSPlusForkData*>(raw.data()));
    OutputCapture quiet;
    EXPECT_EQ(item.read(0, buffer, 1), 0u);
    EXPECT_EQ(item.getSize(), 100u);
    EXPECT_EQ(item.dataFork->totalBlocks, 0);
    m.volume.allocBlockSize = 0;
    uint64_t at = 0, available = 0;
    EXPECT_FALSE(
        CHFSForkData(&m.volume, reinterpret_cast<const HFSPlusForkData*>(raw.data())).getVolumeOfs(0, &at, &available));
}
// Damage in one catalog node never loops nor reaches outside it; every such listing is incomplete.
TEST_F(HFSVolumeTest, DamagedCatalogIsReportedAndListedAsFarAsTheDamageAllows)
{
    Names names;
    const HfsImage sound = tenLeaves(&names);
    ASSERT_GE(sound.catalog.levels.size(), 3u);
    const std::vector<uint32_t>& leaves = sound.catalog.levels[0];
    const uint32_t last = sound.findCatalogRecord(kHfsRootFolderID, names.back())->node;
    const uint32_t root = sound.catalog.rootNode;
    const uint32_t leaf = sound.findCatalogRecord(kHfsRootFolderID, "n15")->node;
    ASSERT_EQ(sound.findCatalogRecord(kHfsRootFolderID, "n14")->node, leaf);
    const uint32_t middleLeaf = sound.findCatalogRecord(kHfsRootFolderID, "n16")->node;
    const uint32_t backwardLeaf = leaves[leaves.size() / 2];
    std::string backwardName;
    for (const std::string& name : names) {
        const HfsRecordPlace* place = sound.findCatalogRecord(kHfsRootFolderID, name);
        if (backwardName.empty() && place->node == backwardLeaf && place->index == 0)
            backwardName = name;
    }
    ASSERT_FALSE(backwardName.empty()) << "the middle leaf starts with a record of the root";
    auto namesBefore = [&](uint32_t node) {
        Names before;
        for (const std::string& name : names)
            if (sound.findCatalogRecord(kHfsRootFolderID, name)->node < node)
                before.push_back(name);
        return before;
    };
    auto without = [&](const Names& left) {
        Names kept = names;
        for (const std::string& name : left)
            kept.erase(std::find(kept.begin(), kept.end(), name));
        return kept;
    };
    using Patch = std::function<void(HfsImage&, std::set<int64_t>&)>;
    // A field of the node (of the header record in node 0), as wide as the value's type.
    auto at = [](uint32_t node, size_t field, auto value) -> Patch {
        return [=](HfsImage& i, std::set<int64_t>&) {
            const uint64_t offset = node == 0 ? kBTHeaderRecOffset : 0;
            if constexpr (sizeof(value) == 2)
                i.put16(i.nodeOffset(HfsTree::Catalog, node) + offset + field, value);
            else
                i.put32(i.nodeOffset(HfsTree::Catalog, node) + offset + field, value);
        };
    };
    auto zero = [](uint32_t node) -> Patch {
        return [=](HfsImage& i, std::set<int64_t>&) {
            std::fill_n(i.bytes.begin() + int64_t(i.nodeOffset(HfsTree::Catalog, node)), i.catalog.nodeSize, 0);
        };
    };
    auto unreadable = [](uint32_t node) -> Patch {
        return [=](HfsImage& i, std::set<int64_t>& failing) {
            failing.insert(int64_t(i.nodeOffset(HfsTree::Catalog, node) / 512));
        };
    };
    const size_t entry1 = sound.catalog.nodeSize - 4; // the record offset of leaf record 1
    auto keyLength = [&](uint16_t value) -> Patch {
        return [=](HfsImage& i, std::set<int64_t>&) { i.put16(i.recordOffset(HfsTree::Catalog, leaf, 1), value); };
    };
    // n15, the leaf's last record, moved towards the node's end until its data runs `into` bytes
    // into the offset table (which cuts those off).
    const uint32_t tableStart = sound.catalog.nodeSize - 4; // two records
    const uint32_t record1 =
        uint32_t(sound.recordOffset(HfsTree::Catalog, leaf, 1) - sound.nodeOffset(HfsTree::Catalog, leaf));
    auto movedInto = [=](uint32_t into) -> Patch {
        return [=](HfsImage& i, std::set<int64_t>&) {
            const uint64_t node = i.nodeOffset(HfsTree::Catalog, leaf);
            const uint32_t length = 2 + loadBig16(&i.bytes[node + record1]) + kCatalogFileSize; // an even key
            const uint32_t to = tableStart + into - length;
            std::memmove(&i.bytes[node + to], &i.bytes[node + record1], length - into);
            i.put16(node + sound.catalog.nodeSize - 4, uint16_t(to));
        };
    };
    // The root's first record moved to the node's end, its child's node number cut in half by the table.
    const Patch childCut = [=](HfsImage& i, std::set<int64_t>&) {
        const uint64_t node = i.nodeOffset(HfsTree::Catalog, root);
        const uint32_t table = i.catalog.nodeSize - 2 * loadBig16(&i.bytes[node + kNDNumRecords]);
        const uint32_t first = uint32_t(i.recordOffset(HfsTree::Catalog, root, 0) - node);
        const uint32_t key = 2 + loadBig16(&i.bytes[node + first]);
        std::memmove(&i.bytes[node + table - key - 2], &i.bytes[node + first], key + 2);
        i.put16(node + i.catalog.nodeSize - 2, uint16_t(table - key - 2));
    };
    const char* twice = "reached twice";
    const char* invalid = "*** ERROR: invalid node data";
    const char* invalidOffset = "*** ERROR: invalid node data\n";
    const char* outside = "lies outside the tree";
    const char* fromChain = "was listed from its chain of leaf nodes";
    const char* scan = "run the lost-files scan";
    const struct {
        Patch patch;
        Names listed;
        const char* message;
        const char* name = nullptr; // the volume's name, when checked
    } cases[] = {
        {at(last, kNDFLink, last), names, twice},
        {at(last, kNDFLink, leaves[1]), names, twice},
        {[&](HfsImage& i, std::set<int64_t>& failing) { // back to a leaf the chain skipped
             at(leaves[2], kNDFLink, leaves[4])(i, failing);
             at(leaves[4], kNDFLink, leaves[3])(i, failing);
         },
         {"n10", "n11", "n12", "n13", "n16", "n17", "n14", "n15"},
         twice},
        {at(leaves[2], kNDFLink, sound.catalog.totalNodes + 100), namesBefore(leaves[3]), "lies outside the tree"},
        {[&](HfsImage& i, std::set<int64_t>&) { i.put32(recordData(i, HfsTree::Catalog, {root}).front(), root); },
         names, twice},
        {[&](HfsImage& i, std::set<int64_t>&) { i.put32(recordData(i, HfsTree::Catalog, {root}).front(), 0); }, names,
         "does not fit below a node of height"},
        {[&](HfsImage& i, std::set<int64_t>&) {
             i.put32(recordData(i, HfsTree::Catalog, {root}).front(), sound.catalog.totalNodes + 100);
         },
         names, "lies outside the tree"},
        {[&](HfsImage& i, std::set<int64_t>&) { i.bytes.resize(i.nodeOffset(HfsTree::Catalog, middleLeaf)); },
         namesBefore(middleLeaf), scan},
        {at(leaf, kNDNumRecords, uint16_t(0xFFFF)), without({"n14", "n15"}), invalid},
        {at(leaf, entry1, sound.catalog.nodeSize), without({"n15"}), invalid},
        {at(leaf, entry1, uint16_t(4)), without({"n15"}), invalid},
        {at(leaf, entry1, uint16_t(tableStart - 1)), without({"n15"}), invalidOffset},
        {at(leaf, entry1, uint16_t(kNodeDescriptorSize - 1)), without({"n15"}), invalidOffset},
        {keyLength(uint16_t(tableStart + 1 - record1 - 2)), without({"n15"}), "invalid node data (key length)"},
        {keyLength(uint16_t(tableStart - record1 - 2)), without({"n15"}), "record n15 is cut short"},
        {movedInto(2), without({"n15"}), "file record n15 is cut short"},
        {childCut, names, invalidOffset},
        {at(leaves[2], kNDFLink, sound.catalog.totalNodes), namesBefore(leaves[3]), outside},
        {[&](HfsImage& i, std::set<int64_t>& failing) { // the header claims more nodes than the file holds
             at(0, kBTHTotalNodes, sound.catalog.totalNodes + 100)(i, failing);
             at(leaves[2], kNDFLink, sound.catalog.totalNodes)(i, failing);
         },
         namesBefore(leaves[3]), outside},
        {[&](HfsImage& i, std::set<int64_t>&) {
             i.put32(recordData(i, HfsTree::Catalog, {root}).front(), sound.catalog.totalNodes);
         },
         names, outside},
        {keyLength(0xFFF0), without({"n15"}), invalid},
        {keyLength(2), without({"n15"}), invalid},
        {zero(root), names, fromChain, "Untitled"},
        {at(root, kNDNumRecords, uint16_t(0)), names, fromChain, "Untitled"},
        {at(leaves[0], kNDKind, uint16_t(0xFF03)), names, fromChain, "Untitled"}, // a leaf of height 3
        {at(sound.catalog.levels[1].front(), kNDKind, uint16_t(0xFF02)), names, fromChain, "Untitled"}, // a leaf kind
        {unreadable(root), names, fromChain, "Untitled"},
        {zero(middleLeaf), namesBefore(middleLeaf), scan},
        // The cache gives zeros for a failed device read: never taken for the leaf before.
        {unreadable(middleLeaf), namesBefore(middleLeaf), "not in an index or leaf node"},
        {at(0, kBTHNodeSize, uint16_t(512)), {}, scan},
        {at(0, kBTHNodeSize, uint16_t(1000)), {}, "", "Unknown"},
        {at(0, kBTHRootNode, sound.catalog.totalNodes), {}, "", "Unknown"},
        // A leaf whose first key goes back (to the volume's own parent) puts the chain out of order:
        // the walk for the root still starts before every leaf holding its records.
        {[&](HfsImage& i, std::set<int64_t>& failing) {
             zero(root)(i, failing);
             i.put32(i.recordOffset(HfsTree::Catalog, backwardLeaf, 0) + kCKParentID, 1);
         },
         without({backwardName}), fromChain},
        // A flipped bit in the index puts its first key above every record of the root: the walk
        // finds not even the root's thread record.
        {[&](HfsImage& i, std::set<int64_t>&) {
             i.put32(i.recordOffset(HfsTree::Catalog, root, 0) + kCKParentID, 0x7FFF0000);
         },
         names, fromChain},
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(c);
        HfsImage image = sound;
        std::set<int64_t> failing;
        cases[c].patch(image, failing);
        Mounted m(image.bytes);
        m.disk.failingBlocks = failing;
        ASSERT_TRUE(m.mount(false));
        std::string output;
        bool complete = true;
        EXPECT_EQ(m.list(kHfsRootFolderID, &output, &complete), cases[c].listed);
        EXPECT_NE(output.find(cases[c].message), std::string::npos) << output;
        EXPECT_FALSE(complete);
        EXPECT_TRUE(m.volume.isCatalogDamaged());
        if (cases[c].name) {
            EXPECT_EQ(m.volume.getName(), cases[c].name);
            EXPECT_EQ(m.volume.catalogTree->isValid(), std::string(cases[c].name) != "Unknown");
        }
    }
    // Intact, with n15's data ending right at the offset table, and with n15's key one byte longer
    // (its data then starts at the next even offset).
    HfsImage fitting = sound, oddKey = sound;
    std::set<int64_t> none;
    movedInto(0)(fitting, none);
    const uint64_t n15 = sound.recordOffset(HfsTree::Catalog, leaf, 1);
    oddKey.put16(n15, uint16_t(loadBig16(&sound.bytes[n15]) + 1));
    const auto n15Data = oddKey.bytes.begin() + int64_t(n15 + 2 + loadBig16(&sound.bytes[n15]));
    std::copy_backward(n15Data, n15Data + kCatalogFileSize, n15Data + kCatalogFileSize + 2);
    for (const Bytes& bytes : {sound.bytes, fitting.bytes, oddKey.bytes}) {
        Mounted intact(bytes);
        ASSERT_TRUE(intact.mount(false));
        bool complete = false;
        EXPECT_EQ(intact.list(kHfsRootFolderID, nullptr, &complete), names);
        EXPECT_TRUE(complete);
        EXPECT_FALSE(intact.volume.isCatalogDamaged());
    }
}
// Whether the node's own read or the mount's read-ahead met the error, the listing stays incomplete.
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
// A page the disk cannot read inside a file costs that file those 4096 bytes only, and the catalog
// in the same cache line still lists whole.
TEST_F(HFSVolumeTest, BadPageInAFileCostsItsOwnBytesOnly)
{
    HfsImageBuilder builder;
    const Bytes data = patternBytes(200 * 1024, 23);
    const uint32_t big = builder.addFile(kHfsRootFolderID, "big.bin", data);
    builder.addFile(kHfsRootFolderID, "a.txt", Bytes(5, 'a'));
    const HfsImage image = builder.build();
    const auto found = std::search(image.bytes.begin(), image.bytes.end(), data.begin(), data.begin() + 512);
    ASSERT_NE(found, image.bytes.end());
    const uint64_t dataStart = uint64_t(found - image.bytes.begin());
    const uint64_t badPage = (dataStart + 50000) / 4096 * 4096;
    ASSERT_EQ(badPage / 262144, image.nodeOffset(HfsTree::Catalog, image.catalog.rootNode) / 262144);
    Mounted m(image.bytes);
    for (uint64_t block = badPage / 512; block < (badPage + 4096) / 512; ++block)
        m.disk.failingBlocks.insert(int64_t(block));
    ASSERT_TRUE(m.mount(true));
    bool complete = false;
    EXPECT_EQ(m.list(kHfsRootFolderID, nullptr, &complete), (Names{"a.txt", "big.bin"}));
    EXPECT_TRUE(complete);
    EXPECT_EQ(m.cache.getUnreadableReads(), 0);
    Names lines;
    std::map<uint64_t, CHFSVolumeItem*> files;
    OutputCapture quiet;
    listTree(m.volume.getRoot(), "", &lines, &files);
    Bytes read(data.size());
    ASSERT_EQ(files.at(big)->read(0, read.data(), uint32_t(read.size())), read.size());
    Bytes want = data;
    std::fill_n(want.begin() + int64_t(badPage - dataStart), 4096, 0);
    EXPECT_TRUE(read == want);
    EXPECT_GT(m.cache.getUnreadableReads(), 0);
    EXPECT_EQ(m.disk.getReadErrorCount(), 8);
}
// Leaves two to a 1024-byte node and 8192-byte cache lines: the leaf whose read fills the line is
// sound although the line's second page, four later leaves, cannot be read.
TEST_F(HFSVolumeTest, LeafBesideAnUnreadablePageOfItsLineIsNotCalledUnreadable)
{
    Names names;
    const HfsImage image = tenLeaves(&names);
    const uint64_t line = image.nodeOffset(HfsTree::Catalog, 4);
    ASSERT_EQ(line % 8192, 0u);
    Mounted m(image.bytes, 0, 8192);
    for (uint64_t block = (line + 4096) / 512; block < (line + 8192) / 512; ++block)
        m.disk.failingBlocks.insert(int64_t(block));
    ASSERT_TRUE(m.mount(false));
    std::string output;
    EXPECT_EQ(m.list(kHfsRootFolderID, &output), Names(names.begin(), names.begin() + 12));
    EXPECT_NE(output.find("could not read all of node 8\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("could not read all of node 4\n"), std::string::npos) << output;
}
// Through a partition window and at its offset, an xorriso volume lists and reads as fls and icat do.
TEST_F(HFSVolumeTest, XorrisoVolumeListsAndReadsLikeTheSleuthKit)
{
    if (!toolAvailable("xorriso") || !toolAvailable("fls") || !toolAvailable("icat"))
        GTEST_SKIP() << "xorriso, fls or icat is not installed";
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
    Names listed; // fls's user entries as "TYPE ID PATH"
    for (const FlsEntry& e : userEntries(runFls(path, entry->firstBlock).value_or(std::vector<FlsEntry>{})))
        listed.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
    std::sort(listed.begin(), listed.end());
    ASSERT_FALSE(listed.empty());
    CMemoryDisk disk(readFileBytes(path), 512);
    CPartitionDisk window(&disk, int64_t(entry->firstBlock), disk.getBlockCount() - 1);
    CCachedDisk cache(&window, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    CHFSVolume volume(&cache);
    Mounted atOffset(disk.bytes, entry->firstBlock * 512);
    // The partition cut out of the image, as dd makes it: a volume without a map, found on the whole disk.
    const std::string carvedPath = scratch.file("carved.img");
    const Bytes carvedBytes(disk.bytes.begin() + std::ptrdiff_t(entry->firstBlock * 512),
                            disk.bytes.begin() + std::ptrdiff_t((entry->firstBlock + entry->blockCount) * 512));
    ASSERT_TRUE(writeFileBytes(carvedPath, carvedBytes));
    Names carvedListed;
    for (const FlsEntry& e : userEntries(runFls(carvedPath, 0).value_or(std::vector<FlsEntry>{})))
        carvedListed.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
    std::sort(carvedListed.begin(), carvedListed.end());
    EXPECT_EQ(carvedListed, listed);
    CMemoryDisk carved(carvedBytes, 512);
    std::unique_ptr<CPartitionDisk> whole(findWholeDiskVolume(&carved));
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::pair(whole->getFirstBlock(), whole->getBlockCount()), std::pair(int64_t(0), carved.getBlockCount()));
    EXPECT_EQ(std::unique_ptr<CPartitionDisk>(findWholeDiskVolume(&disk)), nullptr) << "a map is no volume";
    {
        OutputCapture quiet;
        EXPECT_EQ(readHFSVolumeName(whole.get()), "GLEANERTEST");
    }
    CCachedDisk carvedCache(whole.get(), 4194304, 262144);
    ASSERT_TRUE(carvedCache.open(false));
    CHFSVolume wholeVolume(&carvedCache);
    std::map<uint64_t, CHFSVolumeItem*> files;
    for (CHFSVolume* v : {&volume, &atOffset.volume, &wholeVolume}) {
        Names lines;
        OutputCapture quiet;
        ASSERT_TRUE(v->mount(true));
        listTree(v->getRoot(), "", &lines, v == &volume ? &files : nullptr);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(v->getName(), "GLEANERTEST");
        EXPECT_EQ(lines, listed);
    }
    OutputCapture quiet;
    for (const auto& [id, item] : files) {
        if (item->getPath().find("/folder") != std::string::npos)
            continue; // empty files
        Bytes bytes(item->getSize());
        EXPECT_EQ(item->read(0, bytes.data(), uint32_t(bytes.size())), bytes.size());
        EXPECT_EQ(runIcat(path, entry->firstBlock, id), bytes) << item->getName();
    }
}
// A link to a missing or linked iNode stays as it is with one message.
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
    CVolumeTableModel model(m.volume.getRoot());
    Names rows; // the private folder stays hidden
    for (int row = 0; row < model.getRowCount(); ++row) {
        const std::string name = model.getCellText(row, 0);
        rows.push_back(name + "|" + std::to_string(byName.at(name)->getSize()) + "|" + model.getCellText(row, 2));
    }
    EXPECT_EQ(rows, (Names{"loop|0|File", "missing|0|File", "one|40000|File", "plain|10|File",
                           "squeezed\x1b[2J|0|File (compressed)"}));
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
    ASSERT_TRUE(writeFileBytes(scratch.file("links.img"), image.bytes));
    EXPECT_EQ(runIcat(scratch.file("links.img"), 0, iNode), read);
}
// Random bytes over either tree never break the walk; a file in its inline extents still reads.
TEST_F(HFSVolumeTest, RandomBytesOverABuiltVolumesTreesNeverBreakTheWalk)
{
    for (const HfsTree which : {HfsTree::Catalog, HfsTree::Extents}) {
        const HfsImage sample = sampleVolume(which == HfsTree::Catalog ? 10 : 8);
        const std::vector<HfsExtent>& extents = sample.tree(which).extents;
        for (uint32_t round = 0; round < 300; ++round) {
            SCOPED_TRACE(std::to_string(int(which)) + " round " + std::to_string(round));
            std::mt19937 random((which == HfsTree::Catalog ? 1 : 1000) + round);
            Bytes image = sample.bytes;
            for (int runs = 1 + int(random() % 8); runs > 0; --runs) {
                const HfsExtent& extent = extents[random() % extents.size()];
                const uint64_t at = sample.blockOffset(extent.startBlock) +
                                    random() % (uint64_t(extent.blockCount) * sample.blockSize - 3);
                for (int i = int(random() % 4); i >= 0; --i)
                    image[at + uint64_t(i)] = uint8_t(random());
            }
            const Walk walk = walkVolume(image);
            ASSERT_TRUE(walk.mounted);
            if (which == HfsTree::Extents) {
                EXPECT_EQ(walk.files.at("docs/report.bin"), patternBytes(3000, 2));
            }
        }
    }
}
// 2^12 paths from 24 folders, the root's own record naming a folder, or a folder listing the root.
TEST_F(HFSVolumeTest, FolderListedInTwoPlacesIsWalkedOnce)
{
    HfsImageBuilder builder({.volumeName = "Lattice", .blockSize = 512});
    uint32_t a = builder.addFolder(kHfsRootFolderID, "a0");
    uint32_t b = builder.addFolder(kHfsRootFolderID, "b0");
    for (int level = 1; level < 12; ++level) {
        const std::string n = std::to_string(level);
        const uint32_t nextA = builder.addFolder(a, "a" + n);
        const uint32_t nextB = builder.addFolder(a, "b" + n);
        // The folder's one thread record is written with its first listing.
        builder.addFolder(b, "a" + n, {.id = nextA, .thread = false});
        builder.addFolder(b, "b" + n, {.id = nextB, .thread = false});
        a = nextA;
        b = nextB;
    }
    const Walk lattice = walkVolume(builder.build().bytes);
    ASSERT_TRUE(lattice.mounted);
    EXPECT_EQ(lattice.paths.size(), 24u);
    HfsImageBuilder loop;
    loop.addFolder(loop.addFolder(kHfsRootFolderID, "a"), "top", {.id = kHfsRootFolderID, .thread = false});
    EXPECT_EQ(walkVolume(loop.build().bytes).paths, Names{"a"});
    HfsImage sample = sampleVolume();
    const Walk sound = walkVolume(sample.bytes);
    const HfsRecordPlace* rootRecord = sample.findCatalogRecord(kHfsRootParentID, "Sample");
    const HfsRecordPlace* docs = sample.findCatalogRecord(kHfsRootFolderID, "docs");
    const uint64_t docsID = recordData(sample, HfsTree::Catalog, {docs->node})[docs->index] + kCRFolderID;
    const uint64_t rootID = recordData(sample, HfsTree::Catalog, {rootRecord->node})[rootRecord->index] + kCRFolderID;
    sample.put32(rootID, loadBig32(&sample.bytes[docsID]));
    const Walk walk = walkVolume(sample.bytes);
    EXPECT_EQ(walk.name, "Sample");
    EXPECT_EQ(walk.paths, sound.paths);
}
// What a browse must be told: a catalog that cannot be read or that lists a folder inside itself, a
// file claiming more than its volume holds (marked, and sized by what its extents hold there), and a
// volume cut short by the end of its disk.
TEST_F(HFSVolumeTest, DamageMetByAListingIsKnownToTheVolumeAndAFileLargerThanItsVolumeIsMarked)
{
    const HfsImage sound = smallVolume();
    const auto dataOf = [&](const char* name) {
        const HfsRecordPlace* place = sound.findCatalogRecord(kHfsRootFolderID, name);
        return recordData(sound, HfsTree::Catalog, {place->node})[place->index];
    };
    const uint64_t aFork = dataOf("a.txt") + kCRDataFork;
    const uint32_t aStart = loadBig32(&sound.bytes[aFork + kForkExtents]);
    const uint64_t volumeBytes = uint64_t(sound.totalBlocks) * sound.blockSize;
    const struct {
        const char* name;
        std::function<void(HfsImage&)> patch;
        bool damaged;
        uint64_t pastDisk;
        uint64_t aSize; // what a.txt's size reads as
    } cases[] = {
        {"intact", [](HfsImage&) {}, false, 0, 5},
        {"a.txt claims 2^63 bytes in an extent of 2^32 blocks",
         [&](HfsImage& i) {
             i.put32(aFork, 0x7FFFFFFF);
             i.put32(aFork + 4, 0xFFFFFFFF);
             i.put32(aFork + kForkExtents + kExtentBlockCount, 0xFFFFFFFF);
         },
         true, 0, volumeBytes - uint64_t(aStart) * sound.blockSize},
        {"a catalog header of node size 1000",
         [&](HfsImage& i) { i.put16(i.nodeOffset(HfsTree::Catalog, 0) + kBTHeaderRecOffset + kBTHNodeSize, 1000); },
         true, 0, 0},
        {"docs posing as the root", [&](HfsImage& i) { i.put32(dataOf("docs") + kCRFolderID, kHfsRootFolderID); }, true,
         0, 5},
        {"the image cut two blocks short", [&](HfsImage& i) { i.bytes.resize(i.bytes.size() - 2 * i.blockSize); },
         false, 2 * uint64_t(sound.blockSize), 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HfsImage image = sound;
        c.patch(image);
        Mounted m(image.bytes);
        ASSERT_TRUE(m.mount(true));
        CVolumeItem* root = m.volume.getRoot();
        {
            OutputCapture quiet;
            root->addChildren();
        }
        EXPECT_EQ(m.volume.isCatalogDamaged(), c.damaged);
        EXPECT_EQ(m.volume.bytesPastDisk(), c.pastDisk);
        CVolumeItem* a = root->findOrCreateChild("a.txt", false);
        if (!c.aSize) {
            EXPECT_EQ(a, nullptr);
            continue;
        }
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->getSize(), c.aSize);
        const bool marked = c.aSize != 5;
        EXPECT_EQ(a->isDamaged(), marked);
        CVolumeTableModel table(root);
        const int row = table.getCellText(0, NameColumn) == "a.txt" ? 0 : 1;
        EXPECT_EQ(table.getCellText(row, SizeColumn), marked ? localize("SizeDamaged") : "0 KB");
        EXPECT_EQ(table.getCellText(row, TypeColumn), localize(marked ? "File (damaged)" : "File"));
    }
    // A partition map entry of the whole volume on an image cut short: the partition ends there.
    CMemoryDisk image(Bytes(sound.bytes.begin(), sound.bytes.end() - 3 * 512), 512);
    CPartitionDisk window(&image, 0, int64_t(sound.bytes.size() / 512) - 1);
    CCachedDisk cache(&window, 4194304, 262144);
    ASSERT_TRUE(cache.open(false));
    CHFSVolume volume(&cache);
    OutputCapture quiet;
    ASSERT_TRUE(volume.mount(false));
    EXPECT_EQ(volume.bytesPastDisk(), 3 * 512u);
}
