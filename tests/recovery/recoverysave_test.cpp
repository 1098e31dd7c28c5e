// Saving chosen items to a folder: byte-for-byte copies of a real volume, names from the disk made
// safe, nothing written outside the chosen folder or through a link, the overwrite question, exact
// sizes, and failures that are reported as failures.
#include "recoveryfixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
using Bytes = std::vector<uint8_t>;
using Tree = std::map<std::string, Bytes>;

// Relative path -> content for files, "/" appended for folders; links are listed as "->".
Tree snapshot(const std::string& root)
{
    Tree entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).string();
        if (entry.is_symlink())
            entries[relative + "->"] = {};
        else if (entry.is_directory())
            entries[relative + "/"] = {};
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

TEST_F(RecoverySave, WriteErrorIsAFailure)
{
    const std::vector<CVolumeItem*> items{file("big", patternBytes(100000, 1)), file("after", patternBytes(10, 2))};
    bool result = true;
    text = withFileSizeLimit(65536, [&] { result = engine.recovery.save(items, out.path()); });
    EXPECT_FALSE(result);
    EXPECT_NE(text.find("error writing file " + out.file("big")), std::string::npos) << text;
    EXPECT_FALSE(fileExists(out.file("after")));
}

TEST_F(RecoverySave, CancelDuringACopyKeepsWhatWasWritten)
{
    MemoryFileItem* item = file("big", patternBytes(100000, 1));
    listener.cancelFromEvent = 0;
    listen();
    EXPECT_FALSE(save({item}));
    EXPECT_EQ(readFileBytes(out.file("big")), head(item, 2048));
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
