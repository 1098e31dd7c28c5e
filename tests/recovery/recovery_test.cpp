// The recovery controller: the disk switch, the scan walk, the model, search, report and xorriso.
#include "recoveryfixture.h"

#include "machelpers.h"
#include "volumetreemodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;
// The engine with an analyser that only counts the scan's ends.
class CountingRecovery : public CRecovery {
public:
    ~CountingRecovery() override
    {
        quietly([&] { setDisk(nullptr); });
    }
    std::string run(CDisk* disk, int type)
    {
        return quietly([&] {
            setDisk(disk);
            setScanType(type);
            scan();
        });
    }
    int ends = 0;

protected:
    struct Analyser : CAbstractAnalyser {
        explicit Analyser(int* counter) : ends(counter) {}
        void scanBegin() override {}
        void analyse() override {}
        void scanEnd() override { ++*ends; }
        int* ends;
    };
    CAbstractAnalyser* createAnalyser() override { return new Analyser(&ends); }
};
// More than 2^32 blocks of zeros, slow on its first read so that the first walk report comes then.
class HugeDisk : public CMemoryDisk {
public:
    HugeDisk() : CMemoryDisk(512, 0) { blockCount = (int64_t(1) << 32) + 2; }
    bool readBlocks(int64_t, int count, void* buffer) override
    {
        if (!std::exchange(slept, true))
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        std::memset(buffer, 0, size_t(count) * 512);
        return true;
    }
    bool slept = false;
};
class CountedVolume : public CHFSVolume {
public:
    CountedVolume(CDisk* disk, int* counter) : CHFSVolume(disk), destroyed(counter) {}
    ~CountedVolume() override { ++*destroyed; }
    int* destroyed;
};
// The access modes of this process's descriptors open on path (from /proc/self/fdinfo).
std::vector<int> accessModesOf(const std::string& path)
{
    std::vector<int> modes;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        if (std::filesystem::read_symlink(fd.path(), error) != path)
            continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        for (std::string key, octal; info >> key;)
            if (key == "flags:" && info >> octal)
                modes.push_back(int(std::stol(octal, nullptr, 8) & O_ACCMODE));
    }
    return modes;
}
Names search(CRecovery& recovery, const std::string& text)
{
    quietly([&] { recovery.searchItems(text); });
    EXPECT_NE(recovery.searchFolder, nullptr);
    return namesOf(recovery.searchFolder);
}
// The report's pieces: a folder's heading and title row, a file's row, the frame around the rows.
const std::string kEmptyRow = "<tr><td></td><td></td><td></td><td></td><td></td></tr>";
std::string section(const std::string& name)
{
    std::string text = localize("ContentOfFolder");
    text.replace(text.find("%s"), 2, name);
    return "<tr><td><b>" + text + "</b></td></tr><tr><td>" + localize("Name") + "</td><td>" + localize("Size") +
           "</td><td>" + localize("Type") + "</td><td>" + localize("DateModified") + "</td><td>" + localize("ID") +
           "</td></tr>";
}
std::string fileRow(const std::string& name, const std::string& size, const std::string& date = "n/a",
                    const std::string& id = "n/a")
{
    return "<tr> <td><small>" + name + "</small></td><td><small>" + size +
           "</small></td><td><small>File</small></td><td><small>" + date + "</small></td><td><small>" + id +
           "</small></td> </tr>";
}
std::string frame(const std::string& rows, const std::string& title = "Title", const std::string& footer = "Footer")
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title + "</title></head><body><h1>" + title +
           "</h1><table border='0' style='font-size:smaller'>" + rows + "</table><br><small>" + footer +
           "</small></body></html>";
}
// The report written to path, or what was printed when writing it failed.
std::string report(CRecovery& recovery, const std::vector<CVolumeItem*>& items, const std::string& path,
                   const std::string& title = "Title", const std::string& footer = "Footer")
{
    bool result = false;
    const std::string output = quietly([&] { result = recovery.saveReport(items, path, title, footer); });
    const Bytes bytes = readFileBytes(path);
    return result ? std::string(bytes.begin(), bytes.end()) : "failed: " + output;
}
} // namespace
TEST(RecoveryDisk, DiskIsOpenedReadOnlyOnceAndClosedWhenReleasedAndOneThatDoesNotOpenIsScannedNever)
{
    CMemoryDisk disk(512, 64);
    CMacDisk failing("/nonexistent/gleaner-image"); // a disk that does not open
    CRecovery recovery;
    bool opened = true;
    quietly([&] {
        ASSERT_TRUE(recovery.setDisk(&disk));
        ASSERT_TRUE(recovery.setDisk(&disk));
    });
    EXPECT_EQ(disk.getOpenCount(), 1) << "a second setDisk replaces the cache, it does not open twice";
    EXPECT_FALSE(disk.openedForWrite);
    quietly([&] {
        EXPECT_TRUE(recovery.setDisk(nullptr));
        EXPECT_TRUE(recovery.setDisk(nullptr));
        opened = recovery.setDisk(&failing);
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    });
    EXPECT_EQ(disk.getOpenCount(), 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(recovery.cachedDisk, nullptr);
    EXPECT_EQ(recovery.resultRoot, nullptr);
}
TEST(RecoveryScan, BlockCountsBeyond32BitsAreNotCut)
{
    HugeDisk disk;
    CountingRecovery recovery;
    ScriptedListener listener;
    listener.cancelFromEvent = 1;
    recovery.setStatusListener(&listener);
    const std::string text = recovery.run(&disk, ScanLostVolumes);
    EXPECT_EQ(recovery.allocBlockCount, (int64_t(1) << 32) + 2);
    EXPECT_NE(text.find("allocBlockCount: 4294967298\n"), std::string::npos);
    EXPECT_EQ(recovery.ends, 1);
}
// Progress by time, not by blocks: with the pace's clock standing still only the scan's first event
// (and one after each pass of the lost-files tree building) comes; with one that moves on past the
// interval at every reading, every step reports.
TEST(RecoveryScan, ProgressComesAsTimePassesInEveryScan)
{
    constexpr int kBlocks = 300;
    for (const int type : {ScanDeletedFiles, ScanLostFiles, ScanLostVolumes}) {
        SCOPED_TRACE(type);
        for (const double step : {0.0, 2 * CProgressPace::kInterval}) {
            FakePaceClock clock(step);
            MemoryScan scan(std::vector<uint8_t>(kBlocks * 512, 0), 512, 1);
            scan.run(type);
            if (step == 0)
                EXPECT_LE(scan.listener.progress.size(), 5u);
            else
                EXPECT_GE(scan.listener.progress.size(), size_t(kBlocks));
        }
    }
}
// The read-error figure is the current operation's: a second scan of the same failing disk counts
// what the first did, not twice as much, and an operation that meets no bad sector counts none.
TEST(RecoveryScan, EachOperationCountsOnlyTheSectorsItCouldNotRead)
{
    MemoryScan run(std::vector<uint8_t>(2048 * 512, 0));
    run.disk.failingBlocks = {100, 101, 1500};
    run.run(ScanDeletedFiles);
    const int64_t first = run.recovery.operationReadErrors();
    EXPECT_GE(first, 3);
    EXPECT_EQ(run.recovery.scanReadErrors, first);
    const struct {
        const char* operation;
        std::function<void()> run;
        int64_t counted;
    } steps[] = {
        {"the same scan again", [&] { run.run(ScanDeletedFiles); }, first},
        {"a browse of its first blocks", [&] { quietly([&] { run.recovery.openExistingVolume(); }); }, 0},
        {"a lost-files scan", [&] { run.run(ScanLostFiles); }, first},
        {"a search", [&] { quietly([&] { run.recovery.searchItems("x"); }); }, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.operation);
        step.run();
        EXPECT_EQ(run.recovery.operationReadErrors(), step.counted);
    }
}
TEST(RecoveryScan, FoundVolumesAreNumberedInTheTreeAndFreedOnceByANewScanOrTheDiskSwitch)
{
    int destroyed = 0;
    {
        CRecovery empty; // without results, addVolume takes nothing
        auto mine = std::make_unique<CountedVolume>(nullptr, &destroyed);
        EXPECT_EQ(empty.addVolume(mine.get()), nullptr);
        EXPECT_TRUE(empty.volumeList.empty());
        EXPECT_EQ(destroyed, 0);
    }
    ASSERT_EQ(destroyed, 1);
    CMemoryDisk disk(512, 8);
    {
        CountingRecovery recovery;
        recovery.run(&disk, ScanLostFiles);
        quietly([&] {
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
            addFile(recovery.volumeList[0]->getRoot(), "lost.txt");
        });
        EXPECT_EQ(namesOf(recovery.resultRoot), (Names{"Volume 1", "Volume 2"}));
        ASSERT_EQ(search(recovery, "lost"), Names{"lost.txt"});
        quietly([&] { recovery.scan(); });
        EXPECT_EQ(destroyed, 3);
        EXPECT_EQ(recovery.searchFolder, nullptr);
        EXPECT_TRUE(recovery.volumeList.empty());
        EXPECT_EQ(recovery.resultRoot->getChildCount(true), 0);
        quietly([&] {
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
            recovery.setDisk(nullptr);
        });
        EXPECT_EQ(destroyed, 4);
    }
    EXPECT_EQ(destroyed, 4);
}
TEST(VolumeTreeModel, FolderIsLabelledWithItsEntryCountAndIconedBySearchOrDeletedFlag)
{
    CRecovery none; // without results every answer is empty
    CVolumeTreeModel empty(&none);
    EXPECT_EQ(empty.getRoot(), nullptr);
    EXPECT_TRUE(empty.isLeaf(nullptr));
    EXPECT_EQ(empty.getChildCount(nullptr), 0);
    EXPECT_EQ(empty.getChild(nullptr, 0), nullptr);
    EXPECT_EQ(empty.getItemText(nullptr), "");
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    CVolumeItem* folder = addFolder(root, "photos");
    for (const char* name : {"a", "b", "hit"})
        addFile(folder, name);
    addFolder(root, localize("SearchResults")); // a volume's folder of that name is no search folder
    CVolumeTreeModel model(&engine.recovery);
    EXPECT_TRUE(model.isLeaf(folder));
    EXPECT_EQ(model.getItemText(folder), "photos (3)");
    EXPECT_FALSE(model.isLeaf(model.getRoot()));
    EXPECT_EQ(model.getChild(model.getRoot(), 0), folder);
    EXPECT_EQ(model.getChild(model.getRoot(), 2), nullptr);
    quietly([&] { engine.recovery.searchItems("hit"); });
    EXPECT_EQ(model.getItemText(root), "Results (2)") << "the search folder is not counted";
    EXPECT_EQ(model.getImageIndex(engine.recovery.searchFolder, false), 14);
    EXPECT_EQ(model.getImageIndex(root->children[1], false), 0);
    root->setFlags(ItemDeleted);
    EXPECT_EQ(model.getImageIndex(root, true), 6);
}
TEST(RecoverySearch, CollectsAsciiCaseInsensitiveMatchesInWalkOrderIntoOneReusedFolder)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    addFile(root, "readme.txt");
    CVolumeItem* folder = addFolder(root, "ReadMe");
    addFile(folder, "thread.c");
    addFile(folder, "other.txt");
    CVolumeItem* namesake = addFolder(root, localize("SearchResults"));
    addFile(namesake, "readable");
    EXPECT_EQ(search(engine.recovery, "READ"), (Names{"readme.txt", "ReadMe", "thread.c", "readable"}));
    EXPECT_NE(engine.recovery.searchFolder, namesake) << "a volume's folder of that name is searched, not taken";
    EXPECT_EQ(folder->getChildCount(true), 2) << "the items stay where they are";
    // Bytes outside ASCII match only when equal.
    addFile(root, "\xC3\x89T\xC3\x89");                                          // "ÉTÉ"
    EXPECT_EQ(search(engine.recovery, "\xC3\xA9t\xC3\xA9"), Names{});            // "été"
    EXPECT_EQ(search(engine.recovery, "\xC3\x89t"), Names{"\xC3\x89T\xC3\x89"}); // "Ét"
    // Searching again empties and reuses the folder, also where the outline sorted it first.
    CVolumeItem* first = engine.recovery.searchFolder;
    const auto at = std::find(root->children.begin(), root->children.end(), first);
    std::rotate(root->children.begin(), at, at + 1);
    EXPECT_EQ(search(engine.recovery, "READ"), (Names{"readme.txt", "ReadMe", "thread.c", "readable"}));
    EXPECT_EQ(engine.recovery.searchFolder, first);
    EXPECT_EQ(search(engine.recovery, ""), Names{});
    EXPECT_EQ(root->getChildCount(true), 5);
}
// Only A to Z fold, both ways: the bytes beside them ('@' and '`', '[' and '{') and the Latin-1
// letters (two UTF-8 bytes each) match only themselves.
TEST(RecoverySearch, FoldsTheCaseOfTheLettersAToZOnly)
{
    struct Pair {
        std::string upper, lower;
        bool folds;
    };
    std::vector<Pair> pairs;
    for (char c = 'A'; c <= 'Z'; ++c)
        pairs.push_back({std::string(1, c), std::string(1, char(c - 'A' + 'a')), true});
    pairs.push_back({"@", "`", false});
    pairs.push_back({"[", "{", false});
    for (char32_t c = 0xC0; c <= 0xDE; ++c) // À to Þ and à to þ; × and ÷ are no letters
        if (c != 0xD7)
            pairs.push_back({{char(0xC3), char(0x80 + c - 0xC0)}, {char(0xC3), char(0xA0 + c - 0xC0)}, false});
    HandBuiltResults engine;
    for (const Pair& pair : pairs) {
        addFile(engine.recovery.resultRoot, "=" + pair.upper + "=");
        addFile(engine.recovery.resultRoot, "=" + pair.lower + "=");
    }
    Names wrong;
    for (const Pair& pair : pairs) {
        const Names both{"=" + pair.upper + "=", "=" + pair.lower + "="};
        for (const std::string& text : {pair.upper, pair.lower})
            if (search(engine.recovery, "=" + text + "=") != (pair.folds ? both : Names{"=" + text + "="}))
                wrong.push_back(text);
    }
    EXPECT_EQ(wrong, Names{});
}
TEST(RecoverySearch, CancelKeepsWhatWasFound)
{
    HandBuiltResults engine;
    for (int i = 0; i < 10; ++i)
        addFile(engine.recovery.resultRoot, "hit" + std::to_string(i));
    ScriptedListener listener;
    listener.cancelFromEvent = 3;
    engine.recovery.setStatusListener(&listener);
    EXPECT_EQ(search(engine.recovery, "hit"), (Names{"hit0", "hit1", "hit2", "hit3"}));
    EXPECT_EQ(listener.progress.size(), 4u);
    EXPECT_EQ(listener.changed, std::vector<CVolumeItem*>(4, engine.recovery.searchFolder));
}
// Written over an old, longer report, which it replaces whole.
TEST(RecoveryReport, FilesAreRowsAndFoldersSectionsInListOrderAndALoopIsListedOnce)
{
    HandBuiltResults engine;
    ScratchDir out;
    ASSERT_TRUE(writeFileText(out.file("r.html"), std::string(100000, 'x')));
    MemoryFileItem* dated = addFile(engine.recovery.resultRoot, "one.jpg", Bytes(1536));
    dated->date = 1700000000;
    dated->id = "4711";
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "outer");
    addFolder(folder, "inner");
    addFile(folder, "file", Bytes(500));
    folder->addChild(folder); // a tree that a corrupt catalog could make
    const std::string html = report(engine.recovery, {dated, folder}, out.file("r.html"));
    folder->children.pop_back();
    const std::string rows = fileRow("one.jpg", "2 KB", formatDate(1700000000), "4711") + section("outer") +
                             section("inner") + kEmptyRow + fileRow("file", "0 KB") + kEmptyRow;
    EXPECT_EQ(html, frame(rows));
    // After a search the volume is listed without the search folder, which shows its finds again.
    quietly([&] { engine.recovery.searchItems("file"); });
    EXPECT_EQ(report(engine.recovery, {engine.recovery.resultRoot}, out.file("r.html")),
              frame(section("Results") + rows + kEmptyRow));
}
TEST(RecoveryReport, SendsProgressEventsAndACancelFromOneWritesNothing)
{
    HandBuiltResults engine;
    ScratchDir out;
    ASSERT_TRUE(writeFileText(out.file("r.html"), "before"));
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "docs");
    addFile(folder, "a.txt", Bytes(10));
    ScriptedListener listener;
    listener.cancelFromEvent = 0;
    engine.recovery.setStatusListener(&listener);
    EXPECT_EQ(report(engine.recovery, {folder}, out.file("r.html")).substr(0, 6), "failed");
    EXPECT_EQ(readFileBytes(out.file("r.html")), Bytes({'b', 'e', 'f', 'o', 'r', 'e'}));
    listener.cancelFromEvent = -1;
    listener.progress.clear();
    EXPECT_EQ(report(engine.recovery, {folder}, out.file("r.html")),
              frame(section("docs") + fileRow("a.txt", "0 KB") + kEmptyRow));
    EXPECT_FALSE(listener.progress.empty()) << "the progress sheet is pumped from the start";
    engine.recovery.setStatusListener(nullptr);
}
TEST(RecoveryReport, NamesIdentifiersTitleAndFooterAreEscaped)
{
    const std::string r = "\xEF\xBF\xBD"; // U+FFFD for control characters and no-characters
    const std::pair<std::string, std::string> cases[] = {
        {"tab\tnl\ncr\resc\x1b[31m", "tab" + r + "nl" + r + "cr" + r + "esc" + r + "[31m"},
        {"del\x7f c1\xC2\x85\xC2\x9F", "del" + r + " c1" + r + r},
        {"nonchar\xEF\xBF\xBF\xEF\xBF\xBE", "nonchar" + r + r},
        {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7 \xC2\xA0",
         "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7 \xC2\xA0"},
        {"bad\xFF\xC3(\xE6\x97", "bad" + r + r + "(" + r + r}, // stray, cut-off and unfinished
        {"over\xC0\xAF\xED\xA0\x80\xF8\x88\x80\x80\x80", "over" + r + r + r + r + r + r + r + r + r + r},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(htmlEscape(text), shown) << text;
    HandBuiltResults engine;
    ScratchDir out;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "<script>&");
    addFile(folder, "a<b>&\"c'.txt")->id = "<7>";
    addFile(folder, "a\x01"
                    "b\xEF\xBF\xBF.txt");
    EXPECT_EQ(report(engine.recovery, {folder}, out.file("r.html"), "Tom & Jerry <3", "\xC2\xA9 A & B"),
              frame(section("&lt;script&gt;&amp;") +
                        fileRow("a&lt;b&gt;&amp;&quot;c&#39;.txt", "0 KB", "n/a", "&lt;7&gt;") +
                        fileRow("a" + r + "b" + r + ".txt", "0 KB") + kEmptyRow,
                    "Tom &amp; Jerry &lt;3", "\xC2\xA9 A &amp; B"));
}
TEST(RecoveryReport, FailedOpenOrWriteIsAFailure)
{
    HandBuiltResults engine;
    ScratchDir out;
    const std::string failed = report(engine.recovery, {}, out.file("missing/r.html"));
    EXPECT_NE(failed.find("cannot open " + out.file("missing/r.html")), std::string::npos) << failed;
    std::vector<CVolumeItem*> items;
    for (int i = 0; i < 50; ++i)
        items.push_back(addFile(engine.recovery.resultRoot, "file" + std::to_string(i), Bytes(10)));
    bool result = true;
    const std::string text =
        withFileSizeLimit(1024, [&] { result = engine.recovery.saveReport(items, out.file("r.html"), "T", "F"); });
    EXPECT_FALSE(result);
    EXPECT_NE(text.find("error writing " + out.file("r.html")), std::string::npos) << text;
}
// An xorriso volume with files at the read chunk's edges, a large one, and names needing escapes.
void makeSampleVolume(XorrisoDisk* x)
{
    TreeSpec tree;
    tree.file("empty.dat", 0, 1).file("one", 1, 2).file("a 2047", 2047, 3).file("a 2048", 2048, 4);
    tree.file("a 2049", 2049, 5).file("docs/mid.bin", 70001, 6).file("docs/deep/deeper/note.txt", 12, 7);
    tree.file("big/five.mib", 5 * 1024 * 1024 + 3, 8).folder("docs/empty folder");
    tree.file("docs/cafe\xCC\x81.txt", 6, 9).file("Zebra", 10, 10).file("a&b <c>.txt", 3000, 11);
    makeXorrisoDisk(x, tree);
}
TEST(XorrisoVolume, BrowsingListsWhatFlsLists)
{
    RECOVERY_REQUIRE_TOOLS("xorriso", "fls");
    XorrisoDisk x;
    ASSERT_NO_FATAL_FAILURE(makeSampleVolume(&x));
    BrowsedRecovery recovery(x.partition);
    ASSERT_NE(recovery.resultRoot, nullptr);
    EXPECT_EQ(recovery.resultRoot->getName(), "GLEANERTEST");
    // Folders through the outline's model, files from each folder's children as the table shows.
    CVolumeTreeModel model(&recovery);
    std::vector<std::string> listed;
    std::function<void(CBase*, const std::string&)> walk = [&](CBase* node, const std::string& prefix) {
        for (int i = 0; i < model.getChildCount(node); ++i) {
            auto* sub = dynamic_cast<CVolumeItem*>(model.getChild(node, i));
            listed.push_back("d/d " + sub->getIdString() + " " + prefix + sub->getName());
            walk(sub, prefix + sub->getName() + "/");
        }
        for (CVolumeItem* child : dynamic_cast<CVolumeItem*>(node)->children)
            if (!child->isContainer())
                listed.push_back("r/r " + child->getIdString() + " " + prefix + child->getName());
    };
    quietly([&] { walk(model.getRoot(), ""); });
    std::sort(listed.begin(), listed.end());
    const auto fls = runFls(x.image, x.hfsStart);
    ASSERT_TRUE(fls.has_value());
    std::vector<std::string> expected;
    for (const FlsEntry& e : userEntries(*fls))
        expected.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}
TEST(XorrisoVolume, EveryOperationLeavesTheImageUnchangedAndOpensItReadOnly)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    XorrisoDisk x;
    ASSERT_NO_FATAL_FAILURE(makeSampleVolume(&x));
    const Bytes before = readFileBytes(x.image);
    const std::string resolved = std::filesystem::canonical(x.image);
    ScratchDir out;
    CRecovery recovery;
    ScriptedListener listener;
    recovery.setStatusListener(&listener);
    std::vector<int> modes;
    quietly([&] {
        ASSERT_TRUE(recovery.setDisk(x.partition));
        modes = accessModesOf(resolved);
        recovery.openExistingVolume();
        ASSERT_NE(recovery.resultRoot, nullptr);
        recovery.searchItems("b");
        std::vector<CVolumeItem*> all(recovery.resultRoot->children.begin(), recovery.resultRoot->children.end());
        recovery.save(all, out.path());
        recovery.saveReport(all, out.file("report.html"), "t", "f");
        for (int type : {ScanDeletedFiles, ScanLostFiles, ScanLostVolumes}) {
            recovery.setScanType(type);
            recovery.scan();
        }
        recovery.setDisk(x.disk.get()); // the whole disk too, as the lost-volumes scan is run
        recovery.scan();
        recovery.setDisk(nullptr);
    });
    ASSERT_FALSE(modes.empty()) << "the image was not open while the disk was set";
    for (int mode : modes)
        EXPECT_EQ(mode, O_RDONLY);
    EXPECT_TRUE(readFileBytes(x.image) == before);
    EXPECT_TRUE(readFileBytes(out.file("docs/mid.bin")) == readFileBytes(x.source + "/docs/mid.bin"));
}
