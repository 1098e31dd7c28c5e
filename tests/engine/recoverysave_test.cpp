// Saving chosen items to a folder: byte-for-byte copies of a real volume, names from the disk made
// safe, nothing written outside the chosen folder or through a link, the overwrite question, exact
// sizes, and failures that are reported as failures.
#include "recoveryfixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
using Bytes = std::vector<uint8_t>;

// Relative path -> content for files, "/" appended for folders; links are listed as "->".
std::map<std::string, Bytes> snapshot(const std::string& root)
{
    std::map<std::string, Bytes> entries;
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

bool saveAll(CRecovery& recovery, const std::vector<CVolumeItem*>& items, const std::string& folder,
             std::string* text = nullptr)
{
    bool result = false;
    const std::string output = quietly([&] { result = recovery.save(items, folder); });
    if (text)
        *text = output;
    return result;
}
} // namespace

// --- A real volume -------------------------------------------------------------------------------

TEST(RecoverySave, ReproducesAnXorrisoVolumeByteForByte)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("empty.dat", 0, 1).file("one", 1, 2).file("a 2047", 2047, 3).file("a 2048", 2048, 4);
    tree.file("a 2049", 2049, 5).file("docs/mid.bin", 70001, 6).file("docs/deep/deeper/note.txt", 12, 7);
    tree.file("big/five.mib", 5 * 1024 * 1024 + 3, 8).folder("docs/empty folder");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    CRecovery recovery;
    quietly([&] {
        recovery.setDisk(xd.partition);
        recovery.openExistingVolume();
    });
    ASSERT_NE(recovery.resultRoot, nullptr);
    quietly([&] { recovery.resultRoot->addChildren(); });
    ScratchDir out;
    std::vector<CVolumeItem*> items(recovery.resultRoot->children.begin(), recovery.resultRoot->children.end());
    EXPECT_TRUE(saveAll(recovery, items, out.path()));
    EXPECT_EQ(snapshot(out.path()), snapshot(xd.source));

    // The root folder itself becomes a folder of that name holding the same tree.
    ScratchDir whole;
    EXPECT_TRUE(saveAll(recovery, {recovery.resultRoot}, whole.path()));
    EXPECT_EQ(snapshot(whole.file("GLEANERTEST")), snapshot(xd.source));
    quietly([&] { recovery.setDisk(nullptr); });
}

// --- Names from the disk -------------------------------------------------------------------------

TEST(RecoverySave, SafeFileNameKeepsEveryNameOneHarmlessComponent)
{
    EXPECT_EQ(safeFileName("report.pdf"), "report.pdf");
    EXPECT_EQ(safeFileName(""), "_");
    EXPECT_EQ(safeFileName("."), "_.");
    EXPECT_EQ(safeFileName(".."), "_..");
    EXPECT_EQ(safeFileName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(safeFileName(std::string("nul\0byte", 8)), "nul_byte");
    EXPECT_EQ(safeFileName("tab\there\x7f"), "tab_here_");
    EXPECT_EQ(safeFileName("caf\xC3\xA9"), "caf\xC3\xA9");

    // Too long: cut in front of the extension, never inside a character.
    std::string longName;
    for (int i = 0; i < 200; ++i)
        longName += "\xC3\xA9"; // two bytes each
    const std::string cut = safeFileName(longName + ".jpeg");
    EXPECT_LE(cut.size(), 255u);
    EXPECT_GE(cut.size(), 250u);
    EXPECT_EQ(cut.substr(cut.size() - 5), ".jpeg");
    EXPECT_EQ(cut.size() % 2, 1u) << "the stem holds whole two-byte characters";
}

TEST(RecoverySave, HostileNamesStayInsideTheChosenFolder)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    std::vector<CVolumeItem*> items;
    for (const std::string& name : {std::string("../escape"), std::string(".."), std::string("."), std::string(""),
                                    std::string("a/b"), std::string("ctl\x01\x1f")})
        items.push_back(addFile(root, name, Bytes{1, 2, 3}));

    ScratchDir out;
    const std::string inner = out.file("inner");
    ASSERT_TRUE(makeDirectory(inner));
    EXPECT_TRUE(saveAll(engine.recovery, items, inner));
    const std::map<std::string, Bytes> expected = {
        {"inner/", {}},
        {"inner/.._escape", {1, 2, 3}},
        {"inner/_..", {1, 2, 3}},
        {"inner/_.", {1, 2, 3}},
        {"inner/_", {1, 2, 3}},
        {"inner/a_b", {1, 2, 3}},
        {"inner/ctl__", {1, 2, 3}},
    };
    EXPECT_EQ(snapshot(out.path()), expected);
}

TEST(RecoverySave, LinksInTheWayAreNeverFollowed)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    MemoryFileItem* linked = addFile(root, "linked.txt", Bytes{'n', 'e', 'w'});
    MemoryFileItem* dangling = addFile(root, "dangling.txt", Bytes{'n', 'e', 'w'});
    CVolumeItem* folder = addFolder(root, "folder");
    addFile(folder, "x", Bytes{'n', 'e', 'w'});

    ScratchDir outside;
    ASSERT_TRUE(writeFileText(outside.file("victim.txt"), "keep"));
    ScratchDir out;
    ASSERT_EQ(::symlink(outside.file("victim.txt").c_str(), out.file("linked.txt").c_str()), 0);
    ASSERT_EQ(::symlink(outside.file("created.txt").c_str(), out.file("dangling.txt").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), out.file("folder").c_str()), 0);

    ScriptedListener listener;
    listener.answer = ScriptedListener::Answer::Overwrite;
    engine.recovery.setStatusListener(&listener);
    EXPECT_FALSE(saveAll(engine.recovery, {linked}, out.path()));
    EXPECT_FALSE(saveAll(engine.recovery, {dangling}, out.path()));
    EXPECT_FALSE(saveAll(engine.recovery, {folder}, out.path()));
    const std::map<std::string, Bytes> untouched = {{"victim.txt", {'k', 'e', 'e', 'p'}}};
    EXPECT_EQ(snapshot(outside.path()), untouched);
}

// --- The overwrite question ----------------------------------------------------------------------

class RecoverySaveOverwrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        first = addFile(engine.recovery.resultRoot, "a", Bytes{'n', 'e', 'w'});
        second = addFile(engine.recovery.resultRoot, "b", Bytes{'b'});
        ASSERT_TRUE(writeFileText(out.file("a"), "an older and longer content"));
    }
    std::string contentOf(const std::string& name)
    {
        const Bytes bytes = readFileBytes(out.file(name));
        return std::string(bytes.begin(), bytes.end());
    }

    HandBuiltResults engine;
    MemoryFileItem* first = nullptr;
    MemoryFileItem* second = nullptr;
    ScratchDir out;
    ScriptedListener listener;
};

TEST_F(RecoverySaveOverwrite, AnswerWithoutSkipOrCancelReplacesTheWholeFile)
{
    listener.answer = ScriptedListener::Answer::Nothing; // as good as Overwrite
    engine.recovery.setStatusListener(&listener);
    EXPECT_TRUE(saveAll(engine.recovery, {first, second}, out.path()));
    EXPECT_EQ(listener.asked, (std::vector<std::string>{out.file("a")}));
    EXPECT_EQ(contentOf("a"), "new");
    EXPECT_EQ(contentOf("b"), "b");
}

TEST_F(RecoverySaveOverwrite, SkipKeepsTheFileAndGoesOn)
{
    listener.answer = ScriptedListener::Answer::Skip;
    engine.recovery.setStatusListener(&listener);
    EXPECT_TRUE(saveAll(engine.recovery, {first, second}, out.path()));
    EXPECT_EQ(contentOf("a"), "an older and longer content");
    EXPECT_EQ(contentOf("b"), "b");
}

TEST_F(RecoverySaveOverwrite, CancelEndsTheWholeSave)
{
    listener.answer = ScriptedListener::Answer::Cancel;
    engine.recovery.setStatusListener(&listener);
    std::string text;
    EXPECT_FALSE(saveAll(engine.recovery, {first, second}, out.path(), &text));
    EXPECT_NE(text.find("canceled during saving item list"), std::string::npos);
    EXPECT_EQ(contentOf("a"), "an older and longer content");
    EXPECT_FALSE(fileExists(out.file("b")));
}

TEST_F(RecoverySaveOverwrite, WithoutListenerExistingFilesAreSkipped)
{
    EXPECT_TRUE(saveAll(engine.recovery, {first, second}, out.path()));
    EXPECT_EQ(contentOf("a"), "an older and longer content");
    EXPECT_EQ(contentOf("b"), "b");
}

TEST_F(RecoverySaveOverwrite, SavingAFolderTwiceReusesItAndAsksForEveryFile)
{
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "f");
    addFile(folder, "one", Bytes{1});
    addFile(folder, "two", Bytes{2});
    engine.recovery.setStatusListener(&listener);
    EXPECT_TRUE(saveAll(engine.recovery, {folder}, out.path()));
    EXPECT_TRUE(listener.asked.empty());
    EXPECT_TRUE(saveAll(engine.recovery, {folder}, out.path()));
    EXPECT_EQ(listener.asked, (std::vector<std::string>{out.file("f/one"), out.file("f/two")}));
}

// --- Contents, sizes and failures ----------------------------------------------------------------

TEST(RecoverySave, EachFileIsWrittenToExactlyItsSize)
{
    HandBuiltResults engine;
    std::vector<CVolumeItem*> items;
    for (size_t size : {size_t(0), size_t(1), size_t(2047), size_t(2048), size_t(2049), size_t(5000)})
        items.push_back(addFile(engine.recovery.resultRoot, "f" + std::to_string(size), patternBytes(size, 9)));
    ScratchDir out;
    // The items refuse any read that reaches past their size, as a fork's last extent would.
    EXPECT_TRUE(saveAll(engine.recovery, items, out.path()));
    for (CVolumeItem* item : items)
        EXPECT_EQ(readFileBytes(out.file(item->getName())), static_cast<MemoryFileItem*>(item)->data)
            << item->getName();
    struct stat info;
    ASSERT_EQ(::stat(out.file("f0").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(static_cast<MemoryFileItem*>(items[0])->reads, 0);
    EXPECT_EQ(static_cast<MemoryFileItem*>(items[3])->reads, 1) << "2048 bytes are one chunk";
}

TEST(RecoverySave, ShortReadIsReportedAndTheRestIsStillSaved)
{
    HandBuiltResults engine;
    MemoryFileItem* damaged = addFile(engine.recovery.resultRoot, "damaged", patternBytes(10000, 1));
    damaged->failFrom = 4096;
    MemoryFileItem* sound = addFile(engine.recovery.resultRoot, "sound", patternBytes(300, 2));
    ScratchDir out;
    std::string text;
    EXPECT_FALSE(saveAll(engine.recovery, {damaged, sound}, out.path(), &text));
    EXPECT_NE(text.find("read failed in " + out.file("damaged") + " at offset 4096"), std::string::npos) << text;
    EXPECT_EQ(readFileBytes(out.file("damaged")), Bytes(damaged->data.begin(), damaged->data.begin() + 4096));
    EXPECT_EQ(readFileBytes(out.file("sound")), sound->data);
}

TEST(RecoverySave, WriteErrorIsAFailure)
{
    HandBuiltResults engine;
    MemoryFileItem* item = addFile(engine.recovery.resultRoot, "big", patternBytes(100000, 1));
    MemoryFileItem* after = addFile(engine.recovery.resultRoot, "after", patternBytes(10, 2));
    ScratchDir out;
    // A file-size limit makes the write fail as a full disk would.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    bool result = true;
    std::string text;
    {
        OutputCapture capture;
        struct rlimit limited = old;
        limited.rlim_cur = 65536;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        result = engine.recovery.save({item, after}, out.path());
        ::setrlimit(RLIMIT_FSIZE, &old);
        text = capture.finish();
    }
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(result);
    EXPECT_NE(text.find("error writing file " + out.file("big")), std::string::npos) << text;
    EXPECT_FALSE(fileExists(out.file("after")));
}

TEST(RecoverySave, CancelDuringACopyKeepsWhatWasWritten)
{
    HandBuiltResults engine;
    MemoryFileItem* item = addFile(engine.recovery.resultRoot, "big", patternBytes(100000, 1));
    ScriptedListener listener;
    listener.cancelFromEvent = 0;
    engine.recovery.setStatusListener(&listener);
    ScratchDir out;
    std::string text;
    EXPECT_FALSE(saveAll(engine.recovery, {item}, out.path(), &text));
    EXPECT_NE(text.find("canceled during write"), std::string::npos);
    EXPECT_EQ(readFileBytes(out.file("big")), Bytes(item->data.begin(), item->data.begin() + 2048));
}

TEST(RecoverySave, ProgressComesEveryThousandChunksWithTheShareOfTheListDone)
{
    HandBuiltResults engine;
    MemoryFileItem* large = addFile(engine.recovery.resultRoot, "large", patternBytes(5 * 1024 * 1024, 1));
    std::vector<CVolumeItem*> items{large};
    for (int i = 0; i < 3; ++i)
        items.push_back(addFile(engine.recovery.resultRoot, "small" + std::to_string(i), Bytes{1}));
    ScriptedListener listener;
    engine.recovery.setStatusListener(&listener);
    ScratchDir out;
    EXPECT_TRUE(saveAll(engine.recovery, items, out.path()));
    // Before chunks 1, 1001 and 2001 of the 2560 of the large file, then once per small file.
    EXPECT_EQ(listener.progress, (std::vector<double>{0, 0, 0, 0, 25, 50}));
    EXPECT_EQ(listener.saving.size(), 4u);
}

TEST(RecoverySave, TargetThatIsNotAFolderIsRefused)
{
    HandBuiltResults engine;
    MemoryFileItem* item = addFile(engine.recovery.resultRoot, "a", Bytes{1});
    ScratchDir out;
    ASSERT_TRUE(writeFileText(out.file("plain"), "x"));
    EXPECT_FALSE(saveAll(engine.recovery, {item}, out.file("plain")));
    EXPECT_FALSE(saveAll(engine.recovery, {item}, out.file("missing")));
}

TEST(RecoverySave, FolderInsideItselfIsSavedOnce)
{
    HandBuiltResults engine;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "loop");
    addFile(folder, "x", Bytes{7});
    folder->addChild(folder); // a tree that a corrupt catalog could make
    ScratchDir out;
    std::string text;
    EXPECT_FALSE(saveAll(engine.recovery, {folder}, out.path(), &text));
    EXPECT_NE(text.find("lies inside itself"), std::string::npos);
    const std::map<std::string, Bytes> expected = {{"loop/", {}}, {"loop/x", {7}}};
    EXPECT_EQ(snapshot(out.path()), expected);
    folder->children.pop_back();
}

