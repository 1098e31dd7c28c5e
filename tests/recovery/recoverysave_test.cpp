// Saving chosen items to a folder: byte-for-byte copies of a real volume, names from the disk made
// safe, nothing written outside the chosen folder or through a link, the overwrite question, exact
// sizes, and failures that are reported as failures.
#include "recoveryfixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
using Bytes = std::vector<uint8_t>;
using Tree = std::map<std::string, Bytes>;

// Relative path -> content for files, "/" appended for folders; links are listed as "->", other
// special files as "|".
Tree snapshot(const std::string& root)
{
    Tree entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).string();
        if (entry.is_symlink())
            entries[relative + "->"] = {};
        else if (entry.is_directory())
            entries[relative + "/"] = {};
        else if (!entry.is_regular_file())
            entries[relative + "|"] = {};
        else
            entries[relative] = readFileBytes(entry.path().string());
    }
    return entries;
}

Bytes head(const MemoryFileItem* item, size_t bytes)
{
    return Bytes(item->data.begin(), item->data.begin() + int64_t(bytes));
}

// Items built by hand under the engine's result root, saved into out (or another folder).
class RecoverySave : public ::testing::Test {
protected:
    bool save(CRecovery& recovery, const std::vector<CVolumeItem*>& items, std::string folder = {})
    {
        bool result = false;
        text = quietly([&] { result = recovery.save(items, folder.empty() ? out.path() : folder); });
        return result;
    }
    bool save(const std::vector<CVolumeItem*>& items, const std::string& folder = {})
    {
        return save(engine.recovery, items, folder);
    }
    MemoryFileItem* file(const std::string& name, Bytes content)
    {
        return addFile(engine.recovery.resultRoot, name, std::move(content));
    }
    void listen() { engine.recovery.setStatusListener(&listener); }

    HandBuiltResults engine;
    ScratchDir out;
    ScriptedListener listener;
    std::string text; // what the last save printed
};
} // namespace

TEST_F(RecoverySave, ReproducesAnXorrisoVolumeByteForByte)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("empty.dat", 0, 1).file("one", 1, 2).file("a 2047", 2047, 3).file("a 2048", 2048, 4);
    tree.file("a 2049", 2049, 5).file("docs/mid.bin", 70001, 6).file("docs/deep/deeper/note.txt", 12, 7);
    tree.file("big/five.mib", 5 * 1024 * 1024 + 3, 8).folder("docs/empty folder");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    BrowsedRecovery recovery(xd.partition);
    ASSERT_NE(recovery.resultRoot, nullptr);
    quietly([&] { recovery.resultRoot->addChildren(); });
    EXPECT_TRUE(save(recovery, {recovery.resultRoot->children.begin(), recovery.resultRoot->children.end()}));
    EXPECT_EQ(snapshot(out.path()), snapshot(xd.source));

    // The root folder itself becomes a folder of that name holding the same tree.
    ScratchDir whole;
    EXPECT_TRUE(save(recovery, {recovery.resultRoot}, whole.path()));
    EXPECT_EQ(snapshot(whole.file("GLEANERTEST")), snapshot(xd.source));
}

// --- Names and links -----------------------------------------------------------------------------

TEST_F(RecoverySave, SafeFileNameKeepsEveryNameOneHarmlessComponent)
{
    const std::pair<std::string, std::string> cases[] = {{"report.pdf", "report.pdf"},
                                                         {std::string("nul\0byte", 8), "nul_byte"},
                                                         {"tab\there\x7f", "tab_here_"},
                                                         {"caf\xC3\xA9", "caf\xC3\xA9"}};
    for (const auto& [name, safe] : cases)
        EXPECT_EQ(safeFileName(name), safe) << name;

    // Too long: cut in front of the extension, never inside a two-byte character.
    std::string stem = "x";
    for (int i = 0; i < 200; ++i)
        stem += "\xC3\xA9";
    EXPECT_EQ(safeFileName(stem + ".jpeg"), stem.substr(0, 249) + ".jpeg");
}

TEST_F(RecoverySave, HostileNamesStayInsideTheChosenFolder)
{
    std::vector<CVolumeItem*> items;
    for (const char* name : {"../escape", "..", ".", "", "a/b", "ctl\x01\x1f"})
        items.push_back(file(name, Bytes{1, 2, 3}));
    ASSERT_TRUE(makeDirectory(out.file("inner")));
    EXPECT_TRUE(save(items, out.file("inner")));
    Tree expected = {{"inner/", {}}};
    for (const char* name : {".._escape", "_..", "_.", "_", "a_b", "ctl__"})
        expected[std::string("inner/") + name] = {1, 2, 3};
    EXPECT_EQ(snapshot(out.path()), expected);
}

TEST_F(RecoverySave, LinksInTheWayAreNeverFollowed)
{
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "folder");
    addFile(folder, "x", Bytes{'n'});
    ScratchDir outside;
    ASSERT_TRUE(writeFileText(outside.file("victim.txt"), "keep"));
    ASSERT_EQ(::symlink(outside.file("victim.txt").c_str(), out.file("linked.txt").c_str()), 0);
    ASSERT_EQ(::symlink(outside.file("created.txt").c_str(), out.file("dangling.txt").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), out.file("folder").c_str()), 0);
    listen(); // answers Overwrite
    for (CVolumeItem* item : std::vector<CVolumeItem*>{file("linked.txt", {'n'}), file("dangling.txt", {'n'}), folder})
        EXPECT_FALSE(save({item})) << item->getName();
    EXPECT_EQ(snapshot(outside.path()), (Tree{{"victim.txt", {'k', 'e', 'e', 'p'}}}));
}

// --- The overwrite question ----------------------------------------------------------------------

TEST_F(RecoverySave, OverwriteAnswersReplaceSkipOrCancel)
{
    using Answer = ScriptedListener::Answer;
    const std::string old = "an older and longer content";
    const struct {
        std::optional<Answer> answer; // none: no listener
        bool result;
        std::string a; // afterwards
        bool bSaved;   // "b" comes after "a" in the list
    } cases[] = {{Answer::Overwrite, true, "new", true},
                 {Answer::Nothing, true, "new", true},
                 {Answer::Skip, true, old, true},
                 {Answer::Cancel, false, old, false},
                 {std::nullopt, true, old, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? int(*c.answer) : -1);
        HandBuiltResults fresh;
        MemoryFileItem* a = addFile(fresh.recovery.resultRoot, "a", Bytes{'n', 'e', 'w'});
        MemoryFileItem* b = addFile(fresh.recovery.resultRoot, "b", Bytes{'b'});
        ScratchDir folder;
        ASSERT_TRUE(writeFileText(folder.file("a"), old));
        ScriptedListener answering;
        answering.answer = c.answer.value_or(Answer::Overwrite);
        fresh.recovery.setStatusListener(c.answer ? &answering : nullptr);
        EXPECT_EQ(save(fresh.recovery, {a, b}, folder.path()), c.result);
        const Bytes content = readFileBytes(folder.file("a"));
        EXPECT_EQ(std::string(content.begin(), content.end()), c.a);
        EXPECT_EQ(fileExists(folder.file("b")), c.bSaved);
        EXPECT_EQ(answering.asked.size(), c.answer ? 1u : 0u);
    }
}

TEST_F(RecoverySave, SavingAFolderTwiceReusesItAndAsksForEveryFile)
{
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "f");
    addFile(folder, "one", Bytes{1});
    addFile(folder, "two", Bytes{2});
    listen();
    EXPECT_TRUE(save({folder}));
    EXPECT_TRUE(listener.asked.empty());
    EXPECT_TRUE(save({folder}));
    EXPECT_EQ(listener.asked, (std::vector<std::string>{out.file("f/one"), out.file("f/two")}));
}

TEST_F(RecoverySave, EqualNamesInOneSaveGetNumberedNamesAndOnlyOlderFilesAreAskedAbout)
{
    const std::string longStem(300, 'a');
    const std::string cut = std::string(251, 'a') + ".jpg"; // 255 bytes
    struct Entry {
        std::string name;
        bool folder = false;
    };
    const struct {
        const char* what;
        std::vector<Entry> items; // files hold their index + 1; folders hold a file "f" with it
        Tree before;              // in the target before the save
        Tree after;               // the whole target after it
        std::vector<std::string> asked;
    } cases[] = {
        {"names made equal", {{"a/b"}, {"a_b"}}, {}, {{"a_b", {1}}, {"a_b (2)", {2}}}, {}},
        {"one name thrice",
         {{"x.txt"}, {"x.txt"}, {"x.txt"}},
         {},
         {{"x.txt", {1}}, {"x (2).txt", {2}}, {"x (3).txt", {3}}},
         {}},
        {"an older file is asked about once",
         {{"x.txt"}, {"x.txt"}},
         {{"x.txt", {9}}},
         {{"x.txt", {1}}, {"x (2).txt", {2}}},
         {"x.txt"}},
        {"a numbered name never takes an older file",
         {{"x.txt"}, {"x.txt"}},
         {{"x (2).txt", {9}}},
         {{"x.txt", {1}}, {"x (2).txt", {9}}, {"x (3).txt", {2}}},
         {}},
        {"long names cut alike",
         {{longStem + ".jpg"}, {longStem + ".jpg"}},
         {},
         {{cut, {1}}, {std::string(247, 'a') + " (2).jpg", {2}}},
         {}},
        {"names of exactly the longest length",
         {{cut}, {cut}},
         {},
         {{cut, {1}}, {std::string(247, 'a') + " (2).jpg", {2}}},
         {}},
        {"a folder and a file", {{"d", true}, {"d"}}, {}, {{"d/", {}}, {"d/f", {1}}, {"d (2)", {2}}}, {}},
        {"two folders",
         {{"d", true}, {"d", true}},
         {},
         {{"d/", {}}, {"d/f", {1}}, {"d (2)/", {}}, {"d (2)/f", {2}}},
         {}},
        {"an older folder is reused once",
         {{"d", true}, {"d", true}},
         {{"d/", {}}},
         {{"d/", {}}, {"d/f", {1}}, {"d (2)/", {}}, {"d (2)/f", {2}}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HandBuiltResults fresh;
        ScratchDir folder;
        for (const auto& [name, content] : c.before)
            ASSERT_TRUE(name.back() == '/' ? makeDirectory(folder.file(name))
                                           : writeFileBytes(folder.file(name), content));
        std::vector<CVolumeItem*> items;
        for (size_t i = 0; i < c.items.size(); ++i) {
            const Bytes content{uint8_t(i + 1)};
            if (c.items[i].folder) {
                items.push_back(addFolder(fresh.recovery.resultRoot, c.items[i].name));
                addFile(items.back(), "f", content);
            } else {
                items.push_back(addFile(fresh.recovery.resultRoot, c.items[i].name, content));
            }
        }
        ScriptedListener overwriting;
        fresh.recovery.setStatusListener(&overwriting);
        EXPECT_TRUE(save(fresh.recovery, items, folder.path()));
        EXPECT_EQ(snapshot(folder.path()), c.after);
        std::vector<std::string> asked;
        for (const std::string& name : c.asked)
            asked.push_back(folder.file(name));
        EXPECT_EQ(overwriting.asked, asked);
    }
}

TEST_F(RecoverySave, FolderSwappedForALinkDuringTheSaveLeadsNowhere)
{
    // Another user swaps the folder the save just made for a link once its first file is begun.
    struct Swapper : ScriptedListener {
        void fileSaving(std::string path) override
        {
            if (path != folder + "/f/a")
                return;
            swapped = ::rename((folder + "/f").c_str(), (folder + "/moved").c_str()) == 0 &&
                      ::symlink(outside.c_str(), (folder + "/f").c_str()) == 0;
        }
        std::string folder, outside;
        bool swapped = false;
    } swapper;
    ScratchDir outside;
    swapper.folder = out.path();
    swapper.outside = outside.path();
    CVolumeItem* f = addFolder(engine.recovery.resultRoot, "f");
    addFile(f, "a", Bytes{1});
    addFile(f, "b", Bytes{2});
    addFile(addFolder(f, "sub"), "c", Bytes{3});
    engine.recovery.setStatusListener(&swapper);
    EXPECT_TRUE(save({f}));
    ASSERT_TRUE(swapper.swapped);
    EXPECT_EQ(snapshot(outside.path()), Tree{});
    EXPECT_EQ(snapshot(out.path()), (Tree{{"f->", {}},
                                          {"moved/", {}},
                                          {"moved/a", {1}},
                                          {"moved/b", {2}},
                                          {"moved/sub/", {}},
                                          {"moved/sub/c", {3}}}));
}

TEST_F(RecoverySave, OverwritingAHardLinkedFileLeavesTheOtherLinkAlone)
{
    ScratchDir elsewhere;
    ASSERT_TRUE(writeFileText(elsewhere.file("victim"), "keep"));
    ASSERT_EQ(::link(elsewhere.file("victim").c_str(), out.file("a").c_str()), 0);
    listen(); // answers Overwrite
    EXPECT_TRUE(save({file("a", Bytes{'n', 'e', 'w'})}));
    EXPECT_EQ(listener.asked, std::vector<std::string>{out.file("a")});
    EXPECT_EQ(readFileBytes(out.file("a")), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(readFileBytes(elsewhere.file("victim")), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(snapshot(out.path()), (Tree{{"a", {'n', 'e', 'w'}}})) << "no temporary file is left";
}

// --- Contents, sizes and failures ----------------------------------------------------------------

TEST_F(RecoverySave, EachFileIsWrittenToExactlyItsSize)
{
    std::vector<MemoryFileItem*> items;
    for (size_t size : {0, 1, 2047, 2048, 2049, 5000})
        items.push_back(file("f" + std::to_string(size), patternBytes(size, 9)));
    // The items refuse any read that reaches past their size, as a fork's last extent would.
    EXPECT_TRUE(save({items.begin(), items.end()}));
    for (MemoryFileItem* item : items)
        EXPECT_EQ(readFileBytes(out.file(item->getName())), item->data) << item->getName();
    EXPECT_TRUE(fileExists(out.file("f0")));
    EXPECT_EQ(items[0]->reads, 0);
    EXPECT_EQ(items[3]->reads, 1) << "2048 bytes are one chunk";
}

TEST_F(RecoverySave, ShortReadIsReportedAndTheRestIsStillSaved)
{
    MemoryFileItem* damaged = file("damaged", patternBytes(10000, 1));
    damaged->failFrom = 4096;
    MemoryFileItem* sound = file("sound", patternBytes(300, 2));
    EXPECT_FALSE(save({damaged, sound}));
    EXPECT_NE(text.find("read failed in " + out.file("damaged") + " at offset 4096"), std::string::npos) << text;
    EXPECT_EQ(readFileBytes(out.file("damaged")), head(damaged, 4096));
    EXPECT_EQ(readFileBytes(out.file("sound")), sound->data);
}

TEST_F(RecoverySave, WriteErrorRemovesTheFileAndTheSaveGoesOn)
{
    // A new file cut short is removed; a file being replaced keeps its old content.
    for (const bool replacing : {false, true}) {
        SCOPED_TRACE(replacing ? "replacing" : "new");
        HandBuiltResults fresh;
        ScratchDir folder;
        if (replacing) {
            ASSERT_TRUE(writeFileText(folder.file("big"), "old"));
        }
        const std::vector<CVolumeItem*> items{addFile(fresh.recovery.resultRoot, "big", patternBytes(3000000, 1)),
                                              addFile(fresh.recovery.resultRoot, "after", patternBytes(10, 2))};
        ScriptedListener overwriting;
        fresh.recovery.setStatusListener(&overwriting);
        bool result = true;
        text = withFileSizeLimit(1500000, [&] { result = fresh.recovery.save(items, folder.path()); });
        EXPECT_FALSE(result);
        EXPECT_NE(text.find("error writing file " + folder.file("big")), std::string::npos) << text;
        EXPECT_EQ(snapshot(folder.path()), replacing ? (Tree{{"big", {'o', 'l', 'd'}}, {"after", patternBytes(10, 2)}})
                                                     : (Tree{{"after", patternBytes(10, 2)}}));
        EXPECT_EQ(fresh.recovery.incompleteFiles, std::vector<std::string>{folder.file("big")});
    }
}

TEST_F(RecoverySave, FullTargetDiskEndsTheSave)
{
    // A small tmpfs mounted in a mount namespace of a child process of its own, so nothing is left
    // mounted whatever happens; the child sends back what the save answered and left behind.
    const std::vector<CVolumeItem*> items{file("big", patternBytes(400 * 1024, 1)), file("after", Bytes{2})};
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        std::string answer;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", out.path().c_str(), "tmpfs", 0, "size=256k") != 0) {
            answer = "skip";
        } else {
            bool result = true;
            const std::string printed = quietly([&] { result = engine.recovery.save(items, out.path()); });
            answer = result ? "true" : "false";
            for (const auto& [name, content] : snapshot(out.path()))
                answer += " " + name;
            if (printed.find("the target disk is full") != std::string::npos)
                answer += " full";
        }
        const ssize_t sent = ::write(channel[1], answer.data(), answer.size());
        ::_exit(sent == ssize_t(answer.size()) ? 0 : 1);
    }
    ::close(channel[1]);
    std::string answer;
    char piece[256];
    for (ssize_t got; (got = ::read(channel[0], piece, sizeof piece)) > 0;)
        answer.append(piece, size_t(got));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (answer == "skip")
        GTEST_SKIP() << "no small file system can be mounted here (needs a mount namespace)";
    EXPECT_EQ(answer, "false full") << "the cut file is removed and nothing after it is tried";
}

TEST_F(RecoverySave, ItemThatCannotBeWrittenIsSkippedAndTheSaveGoesOn)
{
    const struct {
        const char* what;
        bool folderItem;
        std::function<bool(const std::string&)> prepare; // makes "x" unwritable in the given folder
    } cases[] = {
        {"folder over a plain file", true, [](const std::string& at) { return writeFileText(at + "/x", "plain"); }},
        {"file over a folder", false, [](const std::string& at) { return makeDirectory(at + "/x"); }},
        {"file over a pipe", false, [](const std::string& at) { return ::mkfifo((at + "/x").c_str(), 0600) == 0; }},
        {"file into a read-only folder", false,
         [](const std::string& at) { return makeDirectory(at + "/ro") && ::chmod((at + "/ro").c_str(), 0555) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool readOnly = std::string(c.what).find("read-only") != std::string::npos;
        if (readOnly && ::geteuid() == 0)
            continue; // permissions do not stop root
        HandBuiltResults fresh;
        ScratchDir folder;
        ASSERT_TRUE(c.prepare(folder.path()));
        CVolumeItem* parent = fresh.recovery.resultRoot;
        if (readOnly)
            parent = addFolder(parent, "ro");
        CVolumeItem* item = c.folderItem ? addFolder(parent, "x") : addFile(parent, "x", Bytes{1});
        if (c.folderItem)
            addFile(item, "inside", Bytes{1});
        MemoryFileItem* after = addFile(fresh.recovery.resultRoot, "after", Bytes{2});
        ScriptedListener overwriting;
        fresh.recovery.setStatusListener(&overwriting);
        const Tree before = snapshot(folder.path());
        EXPECT_FALSE(save(fresh.recovery, {readOnly ? parent : item, after}, folder.path()));
        Tree expected = before;
        expected["after"] = {2};
        EXPECT_EQ(snapshot(folder.path()), expected);
        EXPECT_EQ(fresh.recovery.incompleteFiles, std::vector<std::string>{folder.file(readOnly ? "ro/x" : "x")});
        EXPECT_NE(text.find("not saved whole:\n  " + folder.file(readOnly ? "ro/x" : "x")), std::string::npos) << text;
        if (readOnly)
            ::chmod(folder.file("ro").c_str(), 0755);
    }
}

TEST_F(RecoverySave, CompressedOrUnreadableDataIsReportedIncomplete)
{
    struct CompressedItem : MemoryFileItem {
        using MemoryFileItem::MemoryFileItem;
        bool isCompressed() override { return true; }
    };
    // A file carved from the engine's disk whose third block cannot be read: the cache gives zeros.
    const auto carved = [](HandBuiltResults& results) {
        results.disk.bytes = patternBytes(results.disk.bytes.size(), 5);
        results.disk.failingBlocks = {12};
        auto* item = adopt(results.recovery.resultRoot, new CRawVolumeItem());
        item->setName("carved");
        item->firstBlock = 10;
        item->size = 5 * 512;
        Bytes expected(results.disk.bytes.begin() + 10 * 512, results.disk.bytes.begin() + 15 * 512);
        std::fill(expected.begin() + 2 * 512, expected.begin() + 3 * 512, 0);
        return std::pair<CVolumeItem*, std::optional<Bytes>>{item, expected};
    };
    // The same file after a preview read it: the bad sector is already known and its zeros cached,
    // so the copy meets no new device error but must still be reported.
    const auto carvedAndPreviewed = [carved](HandBuiltResults& results) {
        auto made = carved(results);
        Bytes preview(made.first->getSize());
        made.first->read(0, preview.data(), uint32_t(preview.size()));
        return made;
    };
    const auto compressed = [](HandBuiltResults& results) {
        CVolumeItem* item = adopt(results.recovery.resultRoot, new CompressedItem("packed", {}));
        return std::pair<CVolumeItem*, std::optional<Bytes>>{item, std::nullopt};
    };
    const struct {
        const char* what;
        std::function<std::pair<CVolumeItem*, std::optional<Bytes>>(HandBuiltResults&)> make; // item, saved bytes
        std::string message;
    } cases[] = {{"read over a bad sector", carved, "was read over unreadable sectors"},
                 {"read over a bad sector met before", carvedAndPreviewed, "was read over unreadable sectors"},
                 {"stored compressed", compressed, "is stored compressed"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HandBuiltResults fresh;
        ScratchDir folder;
        const auto [item, saved] = c.make(fresh);
        MemoryFileItem* sound = addFile(fresh.recovery.resultRoot, "sound", Bytes{1, 2});
        EXPECT_FALSE(save(fresh.recovery, {item, sound}, folder.path()));
        const std::string path = folder.file(item->getName());
        EXPECT_NE(text.find(path + " " + c.message), std::string::npos) << text;
        EXPECT_EQ(fresh.recovery.incompleteFiles, std::vector<std::string>{path});
        EXPECT_NE(text.find("not saved whole:\n  " + path), std::string::npos) << text;
        EXPECT_EQ(fileExists(path), saved.has_value());
        if (saved) {
            EXPECT_EQ(readFileBytes(path), *saved);
        }
        EXPECT_EQ(readFileBytes(folder.file("sound")), sound->data);
    }
}

TEST_F(RecoverySave, CopyIsWrittenInLargePiecesWithTheSameProgressEvents)
{
    const auto writeCalls = [] {
        std::ifstream io("/proc/self/io");
        std::string key;
        long long value = -1;
        while (io >> key >> value)
            if (key == "syscw:")
                return value;
        return -1LL;
    };
    if (writeCalls() < 0)
        GTEST_SKIP() << "/proc/self/io does not count write calls here";
    MemoryFileItem* item = file("five.mib", patternBytes(5 * 1024 * 1024 + 3, 4));
    listen();
    const long long before = writeCalls();
    EXPECT_TRUE(save({item}));
    const long long calls = writeCalls() - before;
    EXPECT_EQ(readFileBytes(out.file("five.mib")), item->data);
    EXPECT_LT(calls, 50) << "2561 chunks of 2048 bytes";
    EXPECT_EQ(item->reads, 2561);
    EXPECT_EQ(listener.progress.size(), 3u) << "before the 1st, 1001st and 2001st chunk";
}

TEST_F(RecoverySave, CancelDuringACopyKeepsWhatWasWritten)
{
    MemoryFileItem* item = file("big", patternBytes(100000, 1));
    listener.cancelFromEvent = 0;
    listen();
    EXPECT_FALSE(save({item}));
    EXPECT_EQ(readFileBytes(out.file("big")), head(item, 2048));
}

TEST_F(RecoverySave, FolderListedIncompletelyIsSavedAndReportedIncomplete)
{
    // A folder whose children load as a damaged catalog gives them: some, and "incomplete".
    struct DamagedFolder : CVolumeItem {
        DamagedFolder() : CVolumeItem(true) { setName("damaged"); }
        bool addChildren() override
        {
            addFile(this, "found", Bytes{7});
            return false;
        }
    };
    adopt(engine.recovery.resultRoot, new DamagedFolder());
    MemoryFileItem* after = file("after", Bytes{2});
    EXPECT_FALSE(save({engine.recovery.resultRoot->children.front(), after}));
    EXPECT_EQ(snapshot(out.path()), (Tree{{"damaged/", {}}, {"damaged/found", {7}}, {"after", {2}}}));
    EXPECT_EQ(engine.recovery.incompleteFiles, std::vector<std::string>{out.file("damaged")});
}

TEST_F(RecoverySave, TargetThatIsNotAFolderIsRefused)
{
    MemoryFileItem* item = file("a", Bytes{1});
    ASSERT_TRUE(writeFileText(out.file("plain"), "x"));
    EXPECT_FALSE(save({}, out.file("plain")));
    EXPECT_FALSE(save({item}, out.file("missing")));
}

TEST_F(RecoverySave, FolderInsideItselfIsSavedOnce)
{
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "loop");
    addFile(folder, "x", Bytes{7});
    folder->addChild(folder); // a tree that a corrupt catalog could make
    EXPECT_FALSE(save({folder}));
    folder->children.pop_back();
    EXPECT_EQ(snapshot(out.path()), (Tree{{"loop/", {}}, {"loop/x", {7}}}));
}
