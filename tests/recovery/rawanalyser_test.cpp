// The deleted-files analyser: carving by type, names, sizes, the cap, the text filter, workers.
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
const auto png = [](uint64_t end) { return folderOf("image/png") + "/" + std::to_string(end) + ".png"; };
const auto gif = [](uint64_t end) { return folderOf("image/gif") + "/" + std::to_string(end) + ".gif"; };
const auto textFile = [](uint64_t end) { return folderOf("text/plain") + "/" + std::to_string(end); };
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
// Text for a block of its own, of even length: libmagic drops trailing NULs in pairs.
Bytes words(std::string s)
{
    if (s.size() % 2)
        s.insert(s.size() - 1, " ");
    return Bytes(s.begin(), s.end());
}
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
// A deleted-files scan over a disk in memory; bytes without a volume are all free disk blocks.
struct Scan : MemoryScan {
    explicit Scan(Bytes bytes, int blockSize = 512, int workers = 0) : MemoryScan(std::move(bytes), blockSize, workers)
    {
        recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    }
    std::string run(CDisk* other = nullptr) { return MemoryScan::run(ScanDeletedFiles, other); }
    std::map<std::string, CRawVolumeItem*> files() { return carvedFiles(recovery.resultRoot); }
};
} // namespace
// Carved files by path, first block and size; the listener hears of every filed item's folder.
TEST(RawAnalyserCarving, FilesRunFromTheirStartToTheNextStartAUsedBlockOrTheCap)
{
    // The part of an Office Open XML archive that tells the type may come later in the block.
    const auto member = [](const std::string& name) { // a local file header, its name and data
        return std::string("PK\x03\x04", 4) + std::string(22, '\0') + char(name.size()) + std::string(3, '\0') + name +
               std::string(40, 'z');
    };
    const std::string zip = member("docProps/app.xml") + member("xl/workbook.xml");
    const std::string xlsx = folderOf("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet") + "/1.xlsx";
    Bytes start = samplePng();
    start.resize(512, 0xAB);
    const std::string proseText(512, 'a');
    const Bytes prose(proseText.begin(), proseText.end());
    // Free, then used, then free unrecognised blocks of a volume with 4096-byte allocation blocks.
    HfsImageBuilder builder({.blockSize = 4096});
    builder.addFreeData(samplePng());
    builder.addFile(kHfsRootFolderID, "used.bin", patternBytes(4096, 3));
    builder.addFreeData(patternBytes(8192, 4));
    const HfsImage volume = builder.build();
    const uint64_t free = uint64_t(volume.freeRuns[0].startBlock) * 8;
    // A Mac-written 8 MiB volume keeps its bitmap although its allocation file is a whole block.
    HfsImageBuilder smallBuilder({.minimumBlocks = 2048, .allocationFileWholeBlocks = true});
    smallBuilder.addFile(kHfsRootFolderID, "live.png", samplePng());
    smallBuilder.addFreeData(samplePng());
    const HfsImage small = smallBuilder.build();
    const uint64_t smallFree = uint64_t(small.freeRuns[0].startBlock) * 8;
    const uint64_t smallEnd = small.bytes.size() / 512 - 8; // the last allocation block is used
    const std::pair<uint64_t, uint64_t> smallFile{smallFree, (smallEnd - smallFree) * 512};
    // On a disk twice its size the walk's questions past the bitmap are printed in two lines.
    Bytes doubled = small.bytes;
    doubled.resize(doubled.size() * 2);
    // 4096 bytes of lines; the keyword covers bytes 2046 to 2051, across the first chunk.
    std::string lines(4096, 'x');
    for (size_t i = 80; i < lines.size(); i += 81)
        lines[i] = '\n';
    lines.replace(2046, 6, "needle");
    std::string late(4096, 'y');
    late.replace(3000, 6, "needle");
    std::string last(4096, 'z'); // the chunks are bytes 0 to 2047, 2043 to 4090 and 4086 to 4095
    last.replace(4090, 6, "needle");
    using Files = std::map<std::string, std::pair<uint64_t, uint64_t>>; // path: first block, size
    const std::vector<std::string> needle = {"needle"};
    const struct {
        const char* what;
        Bytes disk;
        Files files;
        bool text = false;
        std::vector<std::string> keywords = {};
        int64_t cap = 104857600;
        std::vector<std::pair<std::string, int>> printed = {}; // and how often
        int blockSize = 512;
        bool limitToKeywords = true;
    } cases[] = {
        {"unrecognised blocks belong to the file before them",
         blocks({patternBytes(512, 5), samplePng(), patternBytes(1024, 6), samplePng(), samplePng(), sampleGif()}),
         {{png(4), {1, 1536}}, {png(5), {4, 512}}, {png(6), {5, 512}}, {gif(7), {6, 512}}}},
        {"a block inside a binary file that reads as text does not cut it",
         blocks({start, prose, Bytes(100, 0xCD), words("needle after it\n")}),
         {{png(3), {0, 1536}}, {textFile(4), {3, 512}}},
         true,
         needle},
        {"text after unended text continues it",
         blocks({prose, words("needle\n")}),
         {{textFile(2), {0, 1024}}},
         true,
         needle},
        {"an office document told by a later part name", blocks({Bytes(zip.begin(), zip.end())}), {{xlsx, {0, 512}}}},
        {"a used block ends the file", volume.bytes, {{png(free + 8), {free, 4096}}}},
        {"the file at the cap keeps its size, one block more is cut",
         blocks({samplePng(), Bytes(1536, 0), sampleGif(), Bytes(2048, 0)}),
         {{png(4), {0, 2048}}, {gif(9), {4, 2048}}},
         false,
         {},
         2048,
         {{"correcting item", 1}, {"correcting item 9.gif, size: 2560 -> 2048\n", 1}}},
        {"a small volume with a rounded allocation file", small.bytes, {{png(smallEnd), smallFile}}},
        {"a disk larger than the volume",
         doubled,
         {{png(smallEnd), smallFile}},
         false,
         {},
         104857600,
         {{"isAllocationBlockUsed error: index out of range!\n", 1},
          {" more times (blocks past the allocation bitmap", 1}}},
        {"text blocks in a row are one file, kept only with a keyword",
         blocks({words("first block says hello\n"), words("second block has the needle\n"), words("third\n")}),
         {{textFile(3), {0, 1536}}},
         true,
         {"", "absent", "needle"}},
        {"text blocks in a row are cut at the cap",
         blocks({words("one\n"), words("two\n"), words("three\n"), words("four\n")}),
         {{textFile(4), {0, 1024}}},
         true,
         {},
         1024,
         {{"correcting item 4, size: 2048 -> 1024\n", 1}},
         512,
         false},
        {"text with the switch off", words(lines), {}, false, needle, 4096, {}, 4096},
        {"text without keywords", words(lines), {}, true, {}, 4096, {}, 4096},
        {"every text file without the keyword limit",
         words(lines),
         {{textFile(1), {0, 4096}}},
         true,
         {"absent"},
         4096,
         {},
         4096,
         false},
        {"a keyword across a chunk boundary", words(lines), {{textFile(1), {0, 4096}}}, true, needle, 4096, {}, 4096},
        {"a keyword inside the cap", words(late), {{textFile(1), {0, 4096}}}, true, needle, 4096, {}, 4096},
        {"a keyword beyond the cap", words(late), {}, true, needle, 2048, {}, 4096},
        {"a keyword in the last, short chunk", words(last), {{textFile(1), {0, 4096}}}, true, needle, 4096, {}, 4096},
        // One 512-byte block, the disk's last: a 2048-byte chunk would run off the disk.
        {"a short text at the disk's end",
         blocks({samplePng(), words("the needle is here\n")}),
         {{png(1), {0, 512}}, {textFile(2), {1, 512}}},
         true,
         needle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scan scan(c.disk, c.blockSize);
        scan.recovery.enableSearchText = c.text;
        scan.recovery.enableSearchKeywords = c.limitToKeywords;
        scan.recovery.keywords = c.keywords;
        scan.recovery.maxItemSize = c.cap;
        const std::string output = scan.run();
        Files files;
        std::multiset<CVolumeItem*> folders;
        for (const auto& [path, item] : scan.files()) {
            files[path] = {item->firstBlock, item->getSize()};
            folders.insert(item->getParent());
        }
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(std::multiset<CVolumeItem*>(scan.listener.changed.begin(), scan.listener.changed.end()), folders);
        EXPECT_EQ(output.find("read error"), std::string::npos);
        for (const auto& [text, count] : c.printed)
            EXPECT_EQ(countOccurrences(output, text), count) << text;
    }
}
TEST(RawAnalyserCarving, FolderComesFromTheTypeAndNameFromTheExactEndBlock)
{
    // 16777217 has no float: a name made through one would collide with 16777216's. Types without a
    // slash or a category text keep their own folder names; the extension is all after the first tab.
    const struct {
        uint64_t first, end;
        const char* answer;
        std::string path;
    } cases[] = {{16777215, 16777216, "image/png\tpng", png(16777216)},
                 {16777216, 16777217, "image/png\tpng", png(16777217)},
                 {1, 3, "weird\text", "weird/3.ext"},
                 {1, 3, "model/stl\tstl", "model/stl/3.stl"},
                 {3, 5, "a/b\tc\td\t", "a/b/5.cd"}};
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
    EXPECT_EQ(files.size(), 5u);
    EXPECT_EQ(files.at("weird/3.ext")->getSize(), 2u * 512);
}
// Only letters, digits, "+", "-" and "_" (each range pinned at both ends) go into a name, at most 16.
TEST(RawAnalyserCarving, ExtensionOfTheDescriptionIsKeptOnlyWhenItIsSafeInAName)
{
    ScratchDir magic;
    std::string description;
    const std::pair<std::string, std::string> cases[] = {{"aAzZ09c++_-", "1.aAzZ09c++_-"},
                                                         {"a@b", "2"},
                                                         {std::string(16, 'x'), "3." + std::string(16, 'x')},
                                                         {std::string(17, 'x'), "4"}};
    std::vector<Bytes> starts;
    std::set<std::string> expected;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string type = "application/x-" + std::to_string(i);
        description +=
            "0\tstring\tQQ" + std::to_string(i) + "\tsample\n!:mime\t" + type + "\n!:ext\t" + cases[i].first + "\n";
        starts.push_back({'Q', 'Q', uint8_t('0' + i)});
        expected.insert(folderOf(type) + "/" + cases[i].second);
    }
    ASSERT_TRUE(writeFileText(magic.file("magic"), description));
    Scan scan(blocks(starts));
    scan.recovery.magicFilePath = magic.path();
    scan.run();
    std::set<std::string> names;
    for (const auto& [path, item] : scan.files())
        names.insert(path);
    EXPECT_EQ(names, expected);
}
TEST(RawAnalyserFailure, MissingDescriptionClassifiesNothingSaysSoOnceAndTellsTheCaller)
{
    ScratchDir empty;
    Scan scan(blocks({samplePng(), words("needle\n"), sampleGif(), words("needle again\n")}));
    scan.recovery.magicFilePath = empty.path();
    scan.recovery.enableSearchText = true;
    scan.recovery.enableSearchKeywords = true;
    scan.recovery.keywords = {"needle"};
    const std::string output = scan.run();
    EXPECT_TRUE(scan.files().empty());
    EXPECT_EQ(countOccurrences(output, "ERROR: "), 1) << output;
    EXPECT_FALSE(scan.recovery.scanFailure.empty()) << "the engine's caller must learn why nothing was found";
    scan.recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    scan.run();
    EXPECT_EQ(scan.recovery.scanFailure, "");
    EXPECT_EQ(scan.files().size(), 4u);
}
TEST(RawAnalyserWorkers, ResultTreeIsTheOneWorkerTreeOnMixedFreeSpaceWithReadErrorsAndOnAVolume)
{
    // Free space after deletions, several MiB so that the window wraps: images with text, zero and
    // unrecognised blocks inside, files cut short by the next start, and text files.
    std::string prose(512, 'a');
    for (size_t i = 60; i < prose.size(); i += 61)
        prose[i] = '\n';
    std::vector<Bytes> pieces;
    for (uint32_t round = 0; round < 450; ++round) {
        for (const Bytes& sample :
             {samplePng(), sampleGif(), words("{\\rtf1\\ansi {\\fonttbl {\\f0 Times;}} Words.\\par }\n")}) {
            Bytes start = sample;
            start.resize(std::max<size_t>(start.size(), 512), 0xAB); // no zero slack: the file goes on
            pieces.push_back(start);
            pieces.push_back(Bytes(prose.begin(), prose.end())); // text inside the binary file
            pieces.push_back(Bytes(512, 0));
            pieces.push_back(patternBytes(1024 + 512 * (round % 5), round));
            pieces.push_back(sample); // this time with zero slack, and text after it
            pieces.push_back(words(round % 3 ? "a text file without the keyword\n" : "a needle in a text file\n"));
            pieces.push_back(words("and a second text block\n"));
        }
    }
    SlowMemoryDisk mixed(blocks(pieces), 512);
    mixed.slowFrom = 4096; // the one-worker scan reports progress once and goes on
    ASSERT_GT(mixed.bytes.size(), 4u << 20) << "the window must fill and wrap";
    for (int64_t block = 37; block < mixed.getBlockCount(); block += 1501)
        mixed.failingBlocks.insert(block);
    // A volume's used blocks end files in the middle of the window.
    HfsImageBuilder builder({.blockSize = 4096});
    builder.addFile(kHfsRootFolderID, "fills a batch with used steps", patternBytes(1 << 20, 1));
    uint32_t seed = 1;
    for (int round = 0; round < 340; ++round) {
        for (const Bytes& sample : {samplePng(), sampleGif()}) {
            builder.addFreeData(sample);
            if (++seed % 3 == 0)
                builder.addFile(kHfsRootFolderID, "kept" + std::to_string(seed), patternBytes(5000, seed));
            else
                builder.addFreeData(patternBytes(4096 * (seed % 4), seed));
        }
    }
    CMemoryDisk volume(builder.build().bytes, 512);
    const struct {
        const char* what;
        CDisk* disk;
        bool searchText;
        size_t minimumItems;
    } cases[] = {{"free space, text discarded", &mixed, false, 600},
                 {"free space, text kept with the keyword", &mixed, true, 600},
                 {"volume with used blocks", &volume, false, 400}};
    struct Outcome {
        std::vector<std::string> tree;
        int64_t readErrors;
        std::string output;
    };
    const auto scanWith = [](CDisk* disk, int workers, bool searchText) {
        Scan scan({}, 512, workers);
        scan.recovery.enableSearchText = searchText;
        scan.recovery.enableSearchKeywords = true;
        scan.recovery.keywords = {"needle"};
        Outcome outcome{{}, 0, scan.run(disk)};
        for (const auto& [path, item] : scan.files())
            outcome.tree.push_back(path + " " + std::to_string(item->getSize()) + " " + item->getIdString());
        outcome.readErrors = scan.recovery.scanReadErrors;
        return outcome;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome alone = scanWith(c.disk, 1, c.searchText);
        EXPECT_EQ(alone.output.find("classifying on"), std::string::npos);
        ASSERT_GT(alone.tree.size(), c.minimumItems);
        EXPECT_EQ(alone.readErrors > 0, c.disk == &mixed);
        for (const int workers : {2, 5}) {
            SCOPED_TRACE(workers);
            const Outcome parallel = scanWith(c.disk, workers, c.searchText);
            EXPECT_NE(parallel.output.find("classifying on " + std::to_string(workers) + " threads"),
                      std::string::npos);
            EXPECT_EQ(parallel.tree, alone.tree);
            EXPECT_EQ(parallel.readErrors, alone.readErrors);
        }
    }
}
TEST(RawAnalyserWorkers, CancelEndsTheOpenFileAtTheCancelledBlock)
{
    // The cancel comes after the slow read at block 1024; blocks read ahead must not move the end.
    Bytes bytes = samplePng();
    bytes.resize(3000 * 512);
    // 0: as many workers as the machine has cores, as the application scans.
    for (const int workers : {0, 1, 4}) {
        SCOPED_TRACE(workers);
        Scan scan(bytes, 512, workers);
        scan.disk.slowFrom = 1024;
        scan.listener.cancelWhen = &scan.disk.slept;
        scan.run();
        EXPECT_EQ(scan.recovery.scanEndDiskBlock, 1024);
        EXPECT_EQ(scan.recovery.currentDiskBlock, 1024);
        const auto files = scan.files();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(std::pair(files.begin()->first, files.begin()->second->getSize()),
                  std::pair(png(1024), 1024 * 512ul));
        EXPECT_EQ(scan.listener.progress.back(), double(int(100.0 * double(1024.0f / 3000.0f))));
    }
}
