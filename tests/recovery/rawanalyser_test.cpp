// The deleted-files analyser: files carved from free blocks by content type, their folders, names
// and sizes, the size cap, the text filter with its keywords, a cancelled scan, a description file
// that does not load, deleted files of a real xorriso volume coming back byte for byte, and the
// scan with its blocks classified on worker threads giving what the one-thread scan gives.
#include "rawanalyser.h"

#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "machelpers.h"
#include "samplefiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {
using Bytes = std::vector<uint8_t>;

// "Category folder/subtype" as the scan names the folder of a content type.
std::string folderOf(const std::string& type)
{
    const size_t slash = type.find('/');
    const std::string key = "Category_" + type.substr(0, slash);
    const std::string major = localize(key) != key ? localize(key) : type.substr(0, slash);
    return major + "/" + type.substr(slash + 1);
}

std::string png(uint64_t endBlock)
{
    return folderOf("image/png") + "/" + std::to_string(endBlock) + ".png";
}

std::string textFile(uint64_t endBlock)
{
    return folderOf("text/plain") + "/" + std::to_string(endBlock);
}

// Every carved file under the result root by "folder/subfolder/name".
std::map<std::string, CRawVolumeItem*> carvedFiles(CVolumeItem* folder, const std::string& prefix = "")
{
    std::map<std::string, CRawVolumeItem*> files;
    if (!folder)
        return files;
    for (CVolumeItem* child : folder->children) {
        if (child->isContainer())
            files.merge(carvedFiles(child, prefix + child->getName() + "/"));
        else
            files[prefix + child->getName()] = dynamic_cast<CRawVolumeItem*>(child);
    }
    return files;
}

// Text for a block of its own. libmagic drops trailing NULs in pairs (UTF-16 keeps its parity), so
// an odd-length text followed by NUL slack keeps one NUL and reads as binary; these stay even.
Bytes words(std::string s)
{
    if (s.size() % 2)
        s.insert(s.size() - 1, " ");
    return Bytes(s.begin(), s.end());
}

// Places each piece at the start of its own disk block.
Bytes blocks(const std::vector<Bytes>& pieces, size_t blockSize = 512)
{
    Bytes disk;
    for (const Bytes& piece : pieces) {
        const size_t at = disk.size();
        disk.resize(at + std::max<size_t>(1, (piece.size() + blockSize - 1) / blockSize) * blockSize);
        std::copy(piece.begin(), piece.end(), disk.begin() + long(at));
    }
    return disk;
}

// A deleted-files scan through the engine over a disk held in memory. Bytes without an HFS Plus
// volume are walked in disk blocks, all free.
struct Scan {
    explicit Scan(Bytes bytes, int blockSize = 512, int workers = 0) : disk(std::move(bytes), blockSize)
    {
        recovery.setStatusListener(&listener);
        recovery.magicFilePath = GLEANER_RESOURCE_DIR;
        recovery.setScanWorkerCount(workers);
    }
    ~Scan()
    {
        quietly([&] { recovery.setDisk(nullptr); });
    }
    std::string run()
    {
        return quietly([&] {
            recovery.setDisk(&disk);
            recovery.setScanType(ScanDeletedFiles);
            recovery.scan();
        });
    }
    std::map<std::string, CRawVolumeItem*> files() { return carvedFiles(recovery.resultRoot); }

    SlowMemoryDisk disk;
    CRecovery recovery;
    ScriptedListener listener;
};
} // namespace

TEST(RawAnalyserAnswer, SplitReadsTypeBeforeTheFirstTabAndExtensionWithoutFurtherTabs)
{
    const char* cases[][3] = {{"image/png\tpng", "image/png", "png"},
                              {"text/plain", "text/plain", ""},
                              {"a/b\tc\td\t", "a/b", "cd"},
                              {"", "", ""}};
    for (const auto& [answer, type, extension] : cases) {
        std::string gotType = "old", gotExtension = "old";
        splitMagicAnswer(answer, gotType, gotExtension);
        EXPECT_EQ(gotType, type) << answer;
        EXPECT_EQ(gotExtension, extension) << answer;
    }
}

TEST(RawAnalyserCarving, EveryMajorTypeOfTheDescriptionHasACategoryFolderText)
{
    for (const char* major : {"application", "audio", "image", "text", "video"}) {
        const std::string key = std::string("Category_") + major;
        EXPECT_NE(localize(key), key) << key;
    }
}

TEST(RawAnalyserCarving, FileRunsOverUnrecognisedBlocksUntilTheNextStartAndItsFolderIsAnnounced)
{
    // Block 0 holds no known start and belongs to no file; two PNG starts in a row give two files.
    Scan scan(
        blocks({patternBytes(512, 5), samplePng(), patternBytes(1024, 6), samplePng(), samplePng(), sampleGif()}));
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 4u);
    ASSERT_EQ(files.count(png(4)), 1u);
    EXPECT_EQ(files.at(png(4))->firstBlock, 1u);
    EXPECT_EQ(files.at(png(4))->getSize(), 3u * 512);
    EXPECT_EQ(files.at(png(5))->getSize(), 512u);
    EXPECT_EQ(files.at(png(6))->getSize(), 512u);
    // The last file ends with the scanned range.
    const std::string gif = folderOf("image/gif") + "/7.gif";
    ASSERT_EQ(files.count(gif), 1u);
    EXPECT_EQ(files.at(gif)->firstBlock, 6u);
    // The listener hears of the folder of every filed item.
    std::multiset<CVolumeItem*> folders;
    for (const auto& [path, item] : files)
        folders.insert(item->getParent());
    EXPECT_EQ(std::multiset<CVolumeItem*>(scan.listener.changed.begin(), scan.listener.changed.end()), folders);
}

TEST(RawAnalyserCarving, BlockInsideABinaryFileThatReadsAsTextDoesNotCutIt)
{
    // A PNG over three blocks whose middle block is plain text (as a PDF's object streams are);
    // only after the zero slack of its last block does text start a file of its own.
    Bytes start = samplePng();
    start.resize(512, 0xAB);
    const std::string prose(512, 'a');
    Scan scan(blocks({start, Bytes(prose.begin(), prose.end()), Bytes(100, 0xCD), words("needle after it\n")}));
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"needle"};
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.count(png(3)), 1u);
    EXPECT_EQ(files.at(png(3))->getSize(), 3u * 512);
    EXPECT_EQ(files.count(textFile(4)), 1u);
}

TEST(RawAnalyserCarving, OfficeDocumentIsToldByAPartNameLaterInTheFirstBlock)
{
    // Writers put the parts of an Office Open XML archive in any order.
    auto localHeader = [](const std::string& name) {
        Bytes header(30, 0);
        header[0] = 'P', header[1] = 'K', header[2] = 3, header[3] = 4;
        header[26] = uint8_t(name.size());
        header.insert(header.end(), name.begin(), name.end());
        header.resize(header.size() + 40, 'z');
        return header;
    };
    Bytes zip = localHeader("docProps/app.xml");
    const Bytes second = localHeader("xl/workbook.xml");
    zip.insert(zip.end(), second.begin(), second.end());
    Scan scan(blocks({zip}));
    scan.run();
    const std::string type = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    EXPECT_EQ(scan.files().count(folderOf(type) + "/1.xlsx"), 1u);
}

TEST(RawAnalyserCarving, UsedBlockEndsTheFileAfterOneAllocationBlock)
{
    HfsBuildOptions options;
    options.blockSize = 4096;
    HfsImageBuilder builder(options);
    builder.addFreeData(samplePng());
    builder.addFile(kHfsRootFolderID, "used.bin", patternBytes(4096, 3));
    builder.addFreeData(patternBytes(8192, 4)); // free but unrecognised, after the used block
    const HfsImage image = builder.build();
    Scan scan(image.bytes);
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->second->getSize(), 4096u);
    EXPECT_EQ(files.begin()->first, png(uint64_t(image.freeRuns[0].startBlock + 1) * 8));
}

TEST(RawAnalyserCarving, FolderComesFromTheTypeAndNameFromTheExactEndBlock)
{
    // 16777217 has no single-precision float: a name made through one would say 16777216 and
    // collide with the file that ends a block earlier. Types without a slash or a category text
    // keep their own folder names.
    const struct {
        uint64_t first, end;
        const char* answer;
        std::string path;
    } cases[] = {{16777215, 16777216, "image/png\tpng", png(16777216)},
                 {16777216, 16777217, "image/png\tpng", png(16777217)},
                 {1, 3, "weird\text", "weird/3.ext"},
                 {1, 3, "model/stl\tstl", "model/stl/3.stl"}};
    HandBuiltResults results;
    CRawAnalyser analyser;
    analyser.setRecovery(&results.recovery);
    for (const auto& c : cases) {
        auto* item = new CRawVolumeItem();
        item->volume = results.recovery.volume;
        item->firstBlock = c.first;
        EXPECT_TRUE(analyser.finishItem(item, int64_t(c.end), c.answer)) << c.path;
    }
    const auto files = carvedFiles(results.recovery.resultRoot);
    for (const auto& c : cases)
        EXPECT_EQ(files.count(c.path), 1u) << c.path;
    EXPECT_EQ(files.size(), 4u);
    EXPECT_EQ(files.at("weird/3.ext")->getSize(), 2u * 512);
}

TEST(RawAnalyserCap, FileAtTheCapKeepsItsSizeAndOneBlockMoreIsCutWithACorrectionLine)
{
    Scan scan(blocks({samplePng(), Bytes(1536, 0), sampleGif(), Bytes(2048, 0)}));
    scan.recovery.maxItemSize = 2048;
    const std::string output = scan.run();
    const auto files = scan.files();
    const std::string gif = folderOf("image/gif") + "/9.gif";
    ASSERT_EQ(files.count(png(4)), 1u);
    ASSERT_EQ(files.count(gif), 1u);
    EXPECT_EQ(files.at(png(4))->getSize(), 2048u);
    EXPECT_EQ(files.at(gif)->getSize(), 2048u);
    EXPECT_EQ(countOccurrences(output, "correcting item"), 1);
    EXPECT_NE(output.find("correcting item 9.gif, size: 2560 -> 2048\n"), std::string::npos);
}

TEST(RawAnalyserText, TextBlocksInARowAreSeparateFilesKeptOnlyWithAKeyword)
{
    Scan scan(blocks({words("first block says hello\n"), words("second block has the needle\n"), words("third\n")}));
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"", "absent", "needle"};
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files.count(textFile(2)), 1u);
    EXPECT_EQ(files.at(textFile(2))->firstBlock, 1u);
}

TEST(RawAnalyserText, TextIsKeptOnlyWithTheSwitchOnAndAKeywordWithinTheFileAndTheCap)
{
    std::string lines(4096, 'x'); // the keyword covers bytes 2046 to 2051, across the first chunk
    for (size_t i = 80; i < lines.size(); i += 81)
        lines[i] = '\n';
    lines.replace(2046, 6, "needle");
    std::string late(4096, 'y');
    late.replace(3000, 6, "needle");
    const std::vector<std::string> needle = {"needle"}, none;
    const struct {
        const char* what;
        Bytes disk;
        int blockSize;
        bool searchText;
        const std::vector<std::string>& keywords;
        int64_t cap;
        bool kept;
    } cases[] = {
        {"the switch off", words(lines), 4096, false, needle, 4096, false},
        {"no keywords", words(lines), 4096, true, none, 4096, false},
        {"across a chunk boundary", words(lines), 4096, true, needle, 4096, true},
        {"inside the cap", words(late), 4096, true, needle, 4096, true},
        {"beyond the cap", words(late), 4096, true, needle, 2048, false},
        // One 512-byte block, the disk's last: a 2048-byte chunk would run off the disk.
        {"short file at the disk's end", blocks({samplePng(), words("the needle is here\n")}), 512, true, needle, 4096,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scan scan(c.disk, c.blockSize);
        scan.recovery.enableSearchText = c.searchText;
        scan.recovery.keywords = c.keywords;
        scan.recovery.maxItemSize = c.cap;
        const std::string output = scan.run();
        EXPECT_EQ(scan.files().count(textFile(c.disk.size() / size_t(c.blockSize))), c.kept ? 1u : 0u);
        EXPECT_EQ(output.find("read error"), std::string::npos);
    }
}

TEST(RawAnalyserFailure, MissingDescriptionClassifiesNothingSaysSoOnceAndTellsTheCaller)
{
    ScratchDir empty;
    Scan scan(blocks({samplePng(), words("needle\n"), sampleGif(), words("needle again\n")}));
    scan.recovery.magicFilePath = empty.path();
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"needle"};
    const std::string output = scan.run();
    EXPECT_TRUE(scan.files().empty());
    EXPECT_EQ(countOccurrences(output, "ERROR: "), 1) << output;
    EXPECT_NE(output.find("done\n"), std::string::npos);
    EXPECT_FALSE(scan.recovery.scanFailure.empty()) << "the engine's caller must learn why nothing was found";

    scan.recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    scan.run();
    EXPECT_EQ(scan.recovery.scanFailure, "");
    EXPECT_EQ(scan.files().size(), 4u);
}

// --- Deleted files of a real volume ----------------------------------------------------------------------

namespace {
// Big-endian fields of `width` bytes.
uint32_t get(const Bytes& b, size_t at, int width = 4)
{
    uint32_t v = 0;
    for (int i = 0; i < width; ++i)
        v = v << 8 | b.at(at + size_t(i));
    return v;
}
void set(Bytes& b, size_t at, uint32_t v, int width = 4)
{
    for (int i = width - 1; i >= 0; --i, v >>= 8)
        b.at(at + size_t(i)) = uint8_t(v);
}

struct DeletedFile {
    uint32_t startBlock = 0; // allocation blocks
    uint32_t blockCount = 0;
};

// The records of the B-tree node at byte `at`, by its offset table.
std::vector<Bytes> nodeRecords(const Bytes& image, size_t at, uint32_t nodeSize)
{
    std::vector<Bytes> records;
    auto offset = [&](uint32_t i) { return at + get(image, at + nodeSize - 2 * (i + 1), 2); };
    for (uint32_t i = 0; i < get(image, at + 10, 2); ++i)
        records.emplace_back(image.begin() + long(offset(i)), image.begin() + long(offset(i + 1)));
    return records;
}

// Writes the records back into the node, packed after its descriptor, with a new offset table.
void setNodeRecords(Bytes& image, size_t at, uint32_t nodeSize, const std::vector<Bytes>& records)
{
    std::fill(image.begin() + long(at + 14), image.begin() + long(at + nodeSize), 0);
    set(image, at + 10, uint32_t(records.size()), 2);
    size_t put = 14;
    for (size_t i = 0; i < records.size(); put += records[i++].size()) {
        set(image, at + nodeSize - 2 * (i + 1), uint32_t(put), 2);
        std::copy(records[i].begin(), records[i].end(), image.begin() + long(at + put));
    }
    set(image, at + nodeSize - 2 * (records.size() + 1), uint32_t(put), 2);
}

// Deletes every file of the HFS Plus volume at byte `volume` of the image the way a file system
// would: the file and file-thread records leave the catalog, whose remaining records (the root
// folder's) go into its first leaf, now the tree's only node; the root folder's valence, the tree's
// header and node map follow, and the files' blocks are marked free in the allocation bitmap.
// Written from the on-disk format for single-extent catalog and allocation files, as xorriso
// writes them. Returns the files that were deleted, by name.
std::map<std::string, DeletedFile> deleteAllFiles(Bytes& image, size_t volume)
{
    std::map<std::string, DeletedFile> deleted;
    const size_t header = volume + 1024;
    const uint32_t blockSize = get(image, header + 40);
    auto forkStart = [&](size_t fork) {
        EXPECT_EQ(get(image, fork + 12), get(image, fork + 16 + 4)) << "fork in more than one extent";
        return volume + size_t(get(image, fork + 16)) * blockSize;
    };
    const size_t catalog = forkStart(header + 272), bitmap = forkStart(header + 112);
    const size_t treeHeader = catalog + 14; // the header record of node 0
    const uint32_t nodeSize = get(image, treeHeader + 18, 2), leaf = get(image, treeHeader + 10);
    auto nodeAt = [&](uint32_t node) { return catalog + size_t(node) * nodeSize; };

    std::vector<Bytes> kept;
    for (uint32_t node = leaf; node != 0; node = get(image, nodeAt(node))) {
        for (Bytes& record : nodeRecords(image, nodeAt(node), nodeSize)) {
            const size_t data = 2 + get(record, 0, 2);
            const uint32_t type = get(record, data, 2);
            if (type == 2) { // a file: the first extent of its data fork lies at 88 + 16
                std::string name;
                for (size_t c = 0; c < get(record, 6, 2); ++c)
                    name.push_back(char(get(record, 8 + 2 * c, 2)));
                deleted[name] = {get(record, data + 104), get(record, data + 108)};
                EXPECT_EQ(get(record, data + 112 + 4), 0u) << name << " is fragmented";
            }
            if (type == 1 && get(record, data + 8) == kHfsRootFolderID)
                set(record, data + 4, 0); // the root folder's valence: it holds no file now
            if (type != 2 && type != 4)
                kept.push_back(std::move(record));
        }
    }
    const size_t map = catalog + get(image, catalog + nodeSize - 6, 2); // header node, record 2
    uint32_t freedNodes = 0;
    for (uint32_t node = 1; node < get(image, treeHeader + 22); ++node) {
        const uint8_t bit = uint8_t(0x80u >> (node % 8));
        if (node != leaf && (image.at(map + node / 8) & bit)) {
            image.at(map + node / 8) &= uint8_t(~bit);
            std::fill(image.begin() + long(nodeAt(node)), image.begin() + long(nodeAt(node) + nodeSize), 0);
            ++freedNodes;
        }
    }
    set(image, nodeAt(leaf), 0); // no siblings
    set(image, nodeAt(leaf) + 4, 0);
    setNodeRecords(image, nodeAt(leaf), nodeSize, kept);
    set(image, treeHeader, 1, 2); // depth, root, leaf records, last leaf, free nodes
    set(image, treeHeader + 2, leaf);
    set(image, treeHeader + 6, uint32_t(kept.size()));
    set(image, treeHeader + 14, leaf);
    set(image, treeHeader + 26, get(image, treeHeader + 26) + freedNodes);

    uint32_t freed = 0;
    for (const auto& [name, file] : deleted)
        for (uint32_t block = file.startBlock; block < file.startBlock + file.blockCount; ++block, ++freed)
            image.at(bitmap + block / 8) &= uint8_t(~(0x80u >> (block % 8)));
    set(image, header + 48, get(image, header + 48) + freed);
    return deleted;
}

// An xorriso volume of every sample file, all of them then deleted (use with ASSERT_NO_FATAL_FAILURE).
void makeDeletedSampleVolume(XorrisoDisk* x, std::map<std::string, DeletedFile>* deleted)
{
    const std::vector<SampleFile> all = sampleFiles();
    TreeSpec tree;
    for (const SampleFile& sample : all)
        tree.file(sample.file, sample.bytes);
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(x, tree));
    Bytes image = readFileBytes(x->image);
    *deleted = deleteAllFiles(image, x->hfsStart * 512);
    ASSERT_EQ(deleted->size(), all.size());
    ASSERT_TRUE(writeFileBytes(x->image, image));
}
} // namespace

TEST(RawAnalyserVolume, DeletedFilesOfAnXorrisoVolumeComeBackByteIdenticalInCategoryFolders)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    const std::vector<SampleFile> all = sampleFiles();
    XorrisoDisk x;
    std::map<std::string, DeletedFile> deleted;
    ASSERT_NO_FATAL_FAILURE(makeDeletedSampleVolume(&x, &deleted));
    if (toolAvailable("fls")) {
        // An independent reader agrees that the files are gone and the catalog is sound.
        const auto listed = runFls(x.image, x.hfsStart);
        ASSERT_TRUE(listed.has_value());
        EXPECT_TRUE(userEntries(*listed).empty());
    }

    Scan scan({});
    quietly([&] {
        ASSERT_TRUE(scan.recovery.setDisk(x.partition));
        scan.recovery.setScanType(ScanDeletedFiles);
        scan.recovery.scan();
    });
    const uint64_t perAllocBlock = uint64_t(scan.recovery.blocksPerAllocBlock);
    ASSERT_GT(perAllocBlock, 0u);
    const auto files = scan.files();
    EXPECT_EQ(files.size(), all.size());
    for (const SampleFile& sample : all) {
        SCOPED_TRACE(sample.file);
        ASSERT_EQ(deleted.count(sample.file), 1u);
        const DeletedFile& file = deleted.at(sample.file);
        const uint64_t end = (file.startBlock + file.blockCount) * perAllocBlock;
        const std::string path = folderOf(sample.type) + "/" + std::to_string(end) + "." + sample.extension;
        ASSERT_EQ(files.count(path), 1u) << "not at " << path;
        CRawVolumeItem* item = files.at(path);
        EXPECT_EQ(item->getIdString(), std::to_string(file.startBlock * perAllocBlock));
        EXPECT_TRUE(item->isDeleted() && item->getParent()->isDeleted() && item->getParent()->getParent()->isDeleted());
        ASSERT_EQ(item->getSize(), file.blockCount * perAllocBlock * 512);
        Bytes content(item->getSize());
        ASSERT_EQ(item->read(0, content.data(), uint32_t(content.size())), content.size());
        EXPECT_TRUE(std::equal(sample.bytes.begin(), sample.bytes.end(), content.begin()));
        EXPECT_TRUE(std::all_of(content.begin() + long(sample.bytes.size()), content.end(), [](uint8_t b) {
            return !b;
        })) << "the block tail";
    }
}

// An 8 MiB volume as a Mac writes it keeps its allocation bitmap although its allocation file is
// a whole 4 KiB block: the live picture is never carved as deleted, the free one is.
TEST(RawAnalyserCarving, SmallVolumeCarvesOnlyItsFreeBlocks)
{
    HfsImageBuilder builder({.minimumBlocks = 2048, .allocationFileWholeBlocks = true});
    builder.addFile(kHfsRootFolderID, "live.png", samplePng());
    builder.addFreeData(samplePng());
    const HfsImage image = builder.build();
    ASSERT_EQ(image.bytes.size(), 8u << 20);
    Scan scan(image.bytes);
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->second->firstBlock, uint64_t(image.freeRuns[0].startBlock) * 8);

    // On a disk twice the volume's size the walk asks about every block past the bitmap: one line
    // says so, and the scan's end counts the rest in one more.
    Bytes doubled = image.bytes;
    doubled.resize(doubled.size() * 2);
    Scan wide(doubled);
    const std::string output = wide.run();
    EXPECT_EQ(countOccurrences(output, "isAllocationBlockUsed error: index out of range!\n"), 1);
    EXPECT_EQ(countOccurrences(output, " more times (blocks past the allocation bitmap"), 1);
}

// --- Blocks classified on worker threads --------------------------------------------------------

namespace {
// Every item of the result tree in tree order: its path, and for a file its size and first block.
std::vector<std::string> resultTree(CVolumeItem* folder, const std::string& prefix = "")
{
    std::vector<std::string> lines;
    if (!folder)
        return lines;
    for (CVolumeItem* child : folder->children) {
        const std::string path = prefix + child->getName();
        if (child->isContainer()) {
            lines.push_back(path + "/");
            const std::vector<std::string> inner = resultTree(child, path + "/");
            lines.insert(lines.end(), inner.begin(), inner.end());
        } else {
            lines.push_back(path + " size " + std::to_string(child->getSize()) + " from " + child->getIdString());
        }
    }
    return lines;
}

// What a deleted-files scan of disk with this many workers found, and what it printed.
struct ScanOutcome {
    std::vector<std::string> tree;
    int64_t readErrors = -1;
    std::string output;
};

ScanOutcome scanWithWorkers(CDisk* disk, int workers, bool searchText)
{
    Scan scan({}, 512, workers);
    scan.recovery.enableSearchText = searchText;
    scan.recovery.keywords = {"needle"};
    ScanOutcome outcome;
    outcome.output = quietly([&] {
        scan.recovery.setDisk(disk);
        scan.recovery.setScanType(ScanDeletedFiles);
        scan.recovery.scan();
    });
    outcome.tree = resultTree(scan.recovery.resultRoot);
    outcome.readErrors = scan.recovery.scanReadErrors;
    return outcome;
}

// Free space as it looks after deletions, over several MiB so that the read-ahead window fills and
// wraps many times: every sample type, text files (some with the keyword), text and zero blocks
// inside binary files, binary files cut short by the next start, and unrecognised runs.
Bytes mixedFreeSpace()
{
    const std::vector<SampleFile> samples = sampleFiles();
    std::string prose(512, 'a');
    for (size_t i = 60; i < prose.size(); i += 61)
        prose[i] = '\n';
    std::vector<Bytes> pieces;
    for (uint32_t round = 0; round < 32; ++round) {
        for (const SampleFile& sample : samples) {
            Bytes start = sample.bytes;
            start.resize(std::max<size_t>(start.size(), 512), 0xAB); // no zero slack: the file goes on
            pieces.push_back(start);
            pieces.push_back(Bytes(prose.begin(), prose.end())); // text inside the binary file
            pieces.push_back(Bytes(512, 0));
            pieces.push_back(patternBytes(1024 + 512 * (round % 5), round));
            pieces.push_back(sample.bytes); // this time with zero slack, and text after it
            pieces.push_back(words(round % 3 ? "a text file without the keyword\n" : "a needle in a text file\n"));
            pieces.push_back(words("and a second text block\n"));
        }
    }
    return blocks(pieces);
}
} // namespace

namespace {
// A volume's used blocks end files in the middle of the window; 4096-byte blocks make eight disk
// blocks a step.
Bytes volumeWithUsedBlocks()
{
    HfsImageBuilder builder({.blockSize = 4096});
    uint32_t seed = 1;
    for (int round = 0; round < 40; ++round) {
        for (const SampleFile& sample : sampleFiles()) {
            builder.addFreeData(sample.bytes);
            if (++seed % 3 == 0)
                builder.addFile(kHfsRootFolderID, "kept" + std::to_string(seed), patternBytes(5000, seed));
            else
                builder.addFreeData(patternBytes(4096 * (seed % 4), seed));
        }
    }
    return builder.build().bytes;
}
} // namespace

TEST(RawAnalyserWorkers, ResultTreeIsTheOneWorkerTreeOnMixedFreeSpaceWithReadErrorsAndOnAVolume)
{
    CMemoryDisk mixed(mixedFreeSpace(), 512);
    ASSERT_GT(mixed.bytes.size(), 4u << 20) << "the window must fill and wrap";
    for (int64_t block = 37; block < mixed.getBlockCount(); block += 1501)
        mixed.failingBlocks.insert(block);
    CMemoryDisk volume(volumeWithUsedBlocks(), 512);
    const struct {
        const char* what;
        CDisk* disk;
        bool searchText;
        size_t minimumItems;
    } cases[] = {{"free space, text discarded", &mixed, false, 600},
                 {"free space, text kept with the keyword", &mixed, true, 600},
                 {"volume with used blocks", &volume, false, 400}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScanOutcome alone = scanWithWorkers(c.disk, 1, c.searchText);
        EXPECT_EQ(alone.output.find("classifying on"), std::string::npos);
        ASSERT_GT(alone.tree.size(), c.minimumItems);
        EXPECT_EQ(alone.readErrors > 0, c.disk == &mixed);
        for (const int workers : {2, 5}) {
            SCOPED_TRACE(workers);
            const ScanOutcome parallel = scanWithWorkers(c.disk, workers, c.searchText);
            EXPECT_NE(parallel.output.find("classifying on " + std::to_string(workers) + " threads"),
                      std::string::npos);
            EXPECT_EQ(parallel.tree, alone.tree);
            EXPECT_EQ(parallel.readErrors, alone.readErrors);
        }
    }
}

TEST(RawAnalyserWorkers, ResultTreeIsTheOneWorkerTreeOnADeletedXorrisoVolume)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    XorrisoDisk x;
    std::map<std::string, DeletedFile> deleted;
    ASSERT_NO_FATAL_FAILURE(makeDeletedSampleVolume(&x, &deleted));
    const ScanOutcome alone = scanWithWorkers(x.partition, 1, false);
    EXPECT_EQ(size_t(std::count_if(alone.tree.begin(), alone.tree.end(),
                                   [](const std::string& line) { return line.back() != '/'; })),
              deleted.size());
    EXPECT_EQ(scanWithWorkers(x.partition, 3, false).tree, alone.tree);
}

TEST(RawAnalyserWorkers, CancelEndsTheOpenFileAtTheCancelledBlock)
{
    // The cancel comes with the report after the slow read of the line that starts at block 1024;
    // reports before it (a second can end at any read) go on. Blocks read ahead of the analyser
    // must not change where the file ends.
    class CancelAtSlowRead : public ScriptedListener {
    public:
        explicit CancelAtSlowRead(const SlowMemoryDisk& slowDisk) : disk(slowDisk) {}
        void progressEvent(double percent, bool* cancel) override
        {
            ScriptedListener::progressEvent(percent, cancel);
            *cancel = disk.slept;
        }
        const SlowMemoryDisk& disk;
    };
    Bytes bytes = samplePng();
    bytes.resize(3000 * 512);
    // 0: as many workers as the machine has cores, as the application scans.
    for (const int workers : {0, 1, 4}) {
        SCOPED_TRACE(workers);
        Scan scan(bytes, 512, workers);
        scan.disk.slowFrom = 1024;
        CancelAtSlowRead listener(scan.disk);
        scan.recovery.setStatusListener(&listener);
        scan.run();
        EXPECT_EQ(scan.recovery.scanEndDiskBlock, 1024);
        EXPECT_EQ(scan.recovery.currentDiskBlock, 1024);
        const auto files = scan.files();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files.begin()->first, png(1024));
        EXPECT_EQ(files.begin()->second->getSize(), 1024u * 512);
        EXPECT_EQ(listener.progress.back(), double(int(100.0 * double(1024.0f / 3000.0f))));
    }
}

TEST(RawAnalyserWorkers, ScanReportsTheSectorsItCouldNotReadThisTime)
{
    CMemoryDisk disk(blocks({samplePng(), patternBytes(64 * 512, 3), sampleGif()}), 512);
    disk.failingBlocks = {3, 40};
    const ScanOutcome first = scanWithWorkers(&disk, 4, false);
    const int64_t afterFirst = disk.getReadErrorCount();
    EXPECT_GT(first.readErrors, 0);
    EXPECT_EQ(first.readErrors, afterFirst);
    EXPECT_NE(first.output.find("unreadable sectors: " + std::to_string(afterFirst) + "\n"), std::string::npos);
    // A second scan counts its own errors, not those of the scans before it.
    const ScanOutcome second = scanWithWorkers(&disk, 1, false);
    EXPECT_EQ(second.readErrors, disk.getReadErrorCount() - afterFirst);
    EXPECT_GT(second.readErrors, 0);

    disk.failingBlocks.clear();
    const ScanOutcome clean = scanWithWorkers(&disk, 4, false);
    EXPECT_EQ(clean.readErrors, 0);
    EXPECT_NE(clean.output.find("unreadable sectors: 0\n"), std::string::npos);
}
