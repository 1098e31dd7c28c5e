// Saving chosen items: safe names, no write through a link, the overwrite question, failures.
#include "recoveryfixture.h"

#include "fakepaceclock.h"
#include "hfsimagebuilder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
using Bytes = std::vector<uint8_t>;
using Answer = ScriptedListener::Answer;
using Names = std::vector<std::string>;
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
    ScriptedListener listener; // answers Overwrite
    std::string text;          // what the last save printed
};
} // namespace
TEST_F(RecoverySave, NamesFromTheDiskBecomeOneHarmlessComponentInsideTheChosenFolder)
{
    // Too long: cut in front of the extension, never inside a two-byte character.
    std::string stem = "x";
    for (int i = 0; i < 200; ++i)
        stem += "\xC3\xA9";
    const std::pair<std::string, std::string> cases[] = {{stem + ".jpeg", stem.substr(0, 249) + ".jpeg"},
                                                         {std::string("nul\0byte", 8), "nul_byte"},
                                                         {"report.pdf", "report.pdf"},
                                                         {"tab\there\x7f", "tab_here_"},
                                                         {"caf\xC3\xA9", "caf\xC3\xA9"},
                                                         {"../escape", ".._escape"},
                                                         {"..", "_.."},
                                                         {".", "_."},
                                                         {"", "_"},
                                                         {"a/b", "a_b"},
                                                         {"ctl\x01\x1f", "ctl__"}};
    std::vector<CVolumeItem*> items;
    FileTree expected = {{"inner/", {}}};
    for (const auto& [name, safe] : cases) {
        items.push_back(file(name, Bytes{1, 2, 3}));
        expected["inner/" + safe] = {1, 2, 3};
    }
    ASSERT_TRUE(makeDirectory(out.file("inner")));
    EXPECT_TRUE(save(items, out.file("inner")));
    EXPECT_EQ(folderSnapshot(out.path()), expected);
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
    listen();
    for (CVolumeItem* item : std::vector<CVolumeItem*>{file("linked.txt", {'n'}), file("dangling.txt", {'n'}), folder})
        EXPECT_FALSE(save({item})) << item->getName();
    EXPECT_EQ(folderSnapshot(outside.path()), (FileTree{{"victim.txt", {'k', 'e', 'e', 'p'}}}));
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
    EXPECT_EQ(folderSnapshot(outside.path()), FileTree{});
    EXPECT_EQ(folderSnapshot(out.path()), (FileTree{{"f->", {}},
                                                    {"moved/", {}},
                                                    {"moved/a", {1}},
                                                    {"moved/b", {2}},
                                                    {"moved/sub/", {}},
                                                    {"moved/sub/c", {3}}}));
}
// Another process puts a link at the file's name after the save looked: as the file is begun, or
// while the person is asked about the older file there. Nothing is written through the link: a new
// file is not saved, an older one is replaced by the new file, the link with it.
TEST_F(RecoverySave, FileNameSwappedForALinkAfterTheCheckIsNeverWrittenThrough)
{
    struct Swapper : ScriptedListener {
        void fileSaving(std::string path) override
        {
            if (whenSaving)
                swap(path);
        }
        void askOverwrite(std::string path, bool* overwrite, bool* skip, bool* cancel) override
        {
            ScriptedListener::askOverwrite(path, overwrite, skip, cancel);
            if (!whenSaving)
                swap(path);
        }
        void swap(const std::string& path)
        {
            ::unlink(path.c_str());
            swapped = ::symlink(target.c_str(), path.c_str()) == 0;
        }
        bool whenSaving = true;
        std::string target;
        bool swapped = false;
    };
    ScratchDir outside;
    ASSERT_TRUE(writeFileText(outside.file("victim"), "keep") && makeDirectory(outside.file("dir")));
    const FileTree untouched{{"victim", {'k', 'e', 'e', 'p'}}, {"dir/", {}}};
    const struct {
        const char* target; // in outside
        bool older;         // a file of the name is there before the save
        bool whenSaving;
    } cases[] = {
        {"victim", false, true}, {"dir", false, true},    {"missing", false, true}, {"victim", true, true},
        {"dir", true, true},     {"victim", true, false}, {"missing", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.target) + (c.older ? " over an older file" : " new") +
                     (c.whenSaving ? " when saving" : " when asked"));
        HandBuiltResults fresh;
        ScratchDir folder;
        if (c.older) {
            ASSERT_TRUE(writeFileText(folder.file("a"), "old"));
        }
        Swapper swapper;
        swapper.whenSaving = c.whenSaving;
        swapper.target = outside.file(c.target);
        fresh.recovery.setStatusListener(&swapper);
        EXPECT_EQ(save(fresh.recovery, {addFile(fresh.recovery.resultRoot, "a", Bytes{1, 2, 3})}, folder.path()),
                  c.older);
        ASSERT_TRUE(swapper.swapped);
        EXPECT_EQ(folderSnapshot(outside.path()), untouched);
        EXPECT_EQ(folderSnapshot(folder.path()), (c.older ? FileTree{{"a", {1, 2, 3}}} : FileTree{{"a->", {}}}));
    }
}
// A thread exchanges the name of a folder, or of a file, with a link (renameat2 RENAME_EXCHANGE) as
// fast as it can while the item is saved again and again: whichever the save finds, nothing lands
// outside. Only the item is saved, so that no call of the save in the folder holds the swaps back.
TEST_F(RecoverySave, NameExchangedWithALinkByAnotherThreadIsNeverWrittenThrough)
{
    for (const std::string name : {"d", "a"}) {
        SCOPED_TRACE(name);
        HandBuiltResults fresh;
        ScratchDir folder, outside;
        ASSERT_TRUE(writeFileText(outside.file("victim"), "keep"));
        CVolumeItem* item = nullptr;
        if (name == "d") {
            ASSERT_TRUE(makeDirectory(folder.file(name)));
            ASSERT_EQ(::symlink(outside.path().c_str(), folder.file("link").c_str()), 0);
            item = addFolder(fresh.recovery.resultRoot, name);
            addFile(item, "x", Bytes{7});
        } else {
            ASSERT_TRUE(writeFileText(folder.file(name), "old"));
            ASSERT_EQ(::symlink(outside.file("victim").c_str(), folder.file("link").c_str()), 0);
            item = addFile(fresh.recovery.resultRoot, name, Bytes{1, 2, 3});
        }
        ScriptedListener overwriting;
        fresh.recovery.setStatusListener(&overwriting);
        std::atomic<bool> stop{false};
        std::atomic<int> exchanges{0};
        std::thread swapper([&] {
            while (!stop) {
                if (::renameat2(AT_FDCWD, folder.file(name).c_str(), AT_FDCWD, folder.file("link").c_str(),
                                RENAME_EXCHANGE) == 0)
                    ++exchanges;
                // A save that replaced the file replaced the link with it: the link is made again.
                struct stat info;
                if (::lstat(folder.file("link").c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                    ::lstat(folder.file(name).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                    ::unlink(folder.file("link").c_str()) == 0)
                    ::symlink(outside.file("victim").c_str(), folder.file("link").c_str());
            }
        });
        quietly([&] {
            for (int round = 0; round < 3000; ++round)
                fresh.recovery.save({item}, folder.path());
        });
        stop = true;
        swapper.join();
        EXPECT_GT(exchanges.load(), 0);
        EXPECT_EQ(folderSnapshot(outside.path()), (FileTree{{"victim", {'k', 'e', 'e', 'p'}}}));
    }
}
TEST_F(RecoverySave, OverwritingAHardLinkedFileLeavesTheOtherLinkAlone)
{
    ScratchDir elsewhere;
    ASSERT_TRUE(writeFileText(elsewhere.file("victim"), "keep"));
    ASSERT_EQ(::link(elsewhere.file("victim").c_str(), out.file("a").c_str()), 0);
    listen();
    EXPECT_TRUE(save({file("a", Bytes{'n', 'e', 'w'})}));
    EXPECT_EQ(readFileBytes(elsewhere.file("victim")), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(folderSnapshot(out.path()), (FileTree{{"a", {'n', 'e', 'w'}}})) << "no temporary file is left";
}
// An older file is replaced, kept or ends the save as answered (without a listener, kept); equal names
// in one save get numbered names, and only older files are asked about.
TEST_F(RecoverySave, OlderFilesAreReplacedAsAnsweredAndEqualNamesInOneSaveAreNumbered)
{
    const std::string longStem(300, 'a');
    const std::string cut = std::string(251, 'a') + ".jpg"; // 255 bytes
    const std::string cut2 = std::string(247, 'a') + " (2).jpg";
    struct Entry {
        std::string name;
        bool folder = false;
    };
    const struct {
        const char* what;
        std::vector<Entry> items; // files hold their index + 1; folders hold a file "f" with it
        FileTree before;          // in the target before the save
        FileTree after;           // the whole target after it
        std::vector<std::string> asked;
        std::optional<Answer> answer = Answer::Overwrite; // none: no listener
        bool result = true;
    } cases[] = {
        {"replace", {{"a"}, {"b"}}, {{"a", {9, 9, 9}}}, {{"a", {1}}, {"b", {2}}}, {"a"}},
        {"no answer", {{"a"}, {"b"}}, {{"a", {9, 9, 9}}}, {{"a", {1}}, {"b", {2}}}, {"a"}, Answer::Nothing},
        {"skip", {{"a"}, {"b"}}, {{"a", {9, 9, 9}}}, {{"a", {9, 9, 9}}, {"b", {2}}}, {"a"}, Answer::Skip},
        {"cancel", {{"a"}, {"b"}}, {{"a", {9, 9, 9}}}, {{"a", {9, 9, 9}}}, {"a"}, Answer::Cancel, false},
        {"no listener", {{"a"}, {"b"}}, {{"a", {9, 9, 9}}}, {{"a", {9, 9, 9}}, {"b", {2}}}, {}, std::nullopt},
        {"names made equal", {{"a/b"}, {"a_b"}}, {}, {{"a_b", {1}}, {"a_b (2)", {2}}}, {}},
        {"names composed alike",
         {{"Re\xCC\x81sume\xCC\x81.txt"}, {"R\xC3\xA9sum\xC3\xA9.txt"}},
         {},
         {{"R\xC3\xA9sum\xC3\xA9.txt", {1}}, {"R\xC3\xA9sum\xC3\xA9 (2).txt", {2}}},
         {}},
        {"one name thrice", {{"x"}, {"x"}, {"x"}}, {}, {{"x", {1}}, {"x (2)", {2}}, {"x (3)", {3}}}, {}},
        {"older file", {{"x.txt"}, {"x.txt"}}, {{"x.txt", {9}}}, {{"x.txt", {1}}, {"x (2).txt", {2}}}, {"x.txt"}},
        {"older numbered", {{"x"}, {"x"}}, {{"x (2)", {9}}}, {{"x", {1}}, {"x (2)", {9}}, {"x (3)", {2}}}, {}},
        {"long names cut alike", {{longStem + ".jpg"}, {longStem + ".jpg"}}, {}, {{cut, {1}}, {cut2, {2}}}, {}},
        {"names of exactly the longest length", {{cut}, {cut}}, {}, {{cut, {1}}, {cut2, {2}}}, {}},
        {"a folder and a file", {{"d", true}, {"d"}}, {}, {{"d/", {}}, {"d/f", {1}}, {"d (2)", {2}}}, {}},
        // An older folder is reused once, and asked about for every file.
        {"older folder",
         {{"d", true}, {"d", true}},
         {{"d/", {}}, {"d/f", {9}}},
         {{"d/", {}}, {"d/f", {1}}, {"d (2)/", {}}, {"d (2)/f", {2}}},
         {"d/f"}},
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
        ScriptedListener answering;
        answering.answer = c.answer.value_or(Answer::Overwrite);
        fresh.recovery.setStatusListener(c.answer ? &answering : nullptr);
        EXPECT_EQ(save(fresh.recovery, items, folder.path()), c.result);
        EXPECT_EQ(folderSnapshot(folder.path()), c.after);
        std::vector<std::string> asked;
        for (const std::string& name : c.asked)
            asked.push_back(folder.file(name));
        EXPECT_EQ(answering.asked, asked);
    }
}
// Events with the pace's clock standing still: one before each file, and one before big's 1001st chunk.
TEST_F(RecoverySave, CancelStopsBeforeTheNextFileOrKeepsTheCopyCutShortAsIncompleteAndCountsTheWholeFiles)
{
    FakePaceClock still;
    MemoryFileItem* a = file("a", patternBytes(100, 1));
    MemoryFileItem* big = file("big", patternBytes(3000000, 2));
    MemoryFileItem* c = file("c", patternBytes(100, 3));
    const Bytes cut(big->data.begin(), big->data.begin() + 1000 * 2048);
    struct Case {
        const char* what;
        int cancelFromEvent;
        Answer answer; // to the question about an older "c"
        FileTree after;
        int64_t whole;
        bool incompleteBig, cancelled;
    };
    const Case cases[] = {
        {"no cancel", -1, Answer::Overwrite, {{"a", a->data}, {"big", big->data}, {"c", c->data}}, 3, false, false},
        {"before big", 1, Answer::Overwrite, {{"a", a->data}}, 1, false, true},
        {"inside big", 2, Answer::Overwrite, {{"a", a->data}, {"big", cut}}, 1, true, true},
        {"at the question", -1, Answer::Cancel, {{"a", a->data}, {"big", big->data}, {"c", {7}}}, 2, false, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ScratchDir folder;
        if (k.answer == Answer::Cancel) {
            ASSERT_TRUE(writeFileBytes(folder.file("c"), {7}));
        }
        ScriptedListener scripted;
        scripted.cancelFromEvent = k.cancelFromEvent;
        scripted.answer = k.answer;
        engine.recovery.setStatusListener(&scripted);
        EXPECT_EQ(save(engine.recovery, {a, big, c}, folder.path()), !k.cancelled);
        EXPECT_EQ(folderSnapshot(folder.path()), k.after);
        EXPECT_EQ(engine.recovery.savedFileCount, k.whole);
        EXPECT_EQ(engine.recovery.saveCancelled, k.cancelled);
        EXPECT_EQ(engine.recovery.incompleteFiles,
                  k.incompleteBig ? std::vector<std::string>{folder.file("big")} : std::vector<std::string>{});
    }
}
// A clock that moves on past the pace's interval at every reading makes every chunk report.
TEST_F(RecoverySave, ProgressComesAsTimePassesWithinAFile)
{
    MemoryFileItem* item = file("half", patternBytes(500 * 2048, 4));
    listen();
    {
        FakePaceClock still;
        save({item});
    }
    EXPECT_EQ(listener.progress.size(), 1u) << "the event before the file; no thousand chunks passed";
    listener.progress.clear();
    FakePaceClock running(2 * CProgressPace::kInterval);
    ScratchDir again;
    save({item}, again.path());
    EXPECT_GE(listener.progress.size(), 500u);
}
// A file of 4 GiB and more (on a sparse volume) is copied for its whole 64-bit size: cancelled at the
// progress event after its first 1000 chunks, it holds those and the save reports the cancel.
TEST_F(RecoverySave, FileOfFourGibibytesAndMoreIsCopiedForItsWholeSize)
{
    for (const uint64_t size : {uint64_t(1) << 32, (uint64_t(1) << 32) + 100}) {
        SCOPED_TRACE(size);
        HfsImageBuilder builder({.sparse = true});
        builder.addFile(kHfsRootFolderID, "big", {}, {.dataSize = size});
        ScratchDir volume;
        ASSERT_TRUE(builder.build().writeFile(volume.file("volume.img")));
        std::unique_ptr<CMacDisk> disk;
        quietly([&] { disk = std::make_unique<CMacDisk>(volume.file("volume.img").c_str()); });
        BrowsedRecovery recovery(disk.get());
        ASSERT_NE(recovery.resultRoot, nullptr);
        quietly([&] { recovery.resultRoot->addChildren(); });
        ASSERT_EQ(namesOf(recovery.resultRoot), Names{"big"});
        ASSERT_EQ(recovery.resultRoot->children[0]->getSize(), size);
        FakePaceClock still; // progress by chunks only
        ScriptedListener cancelling;
        cancelling.cancelFromEvent = 1;
        recovery.setStatusListener(&cancelling);
        ScratchDir target;
        EXPECT_FALSE(save(recovery, {recovery.resultRoot->children[0]}, target.path()));
        EXPECT_TRUE(recovery.saveCancelled);
        EXPECT_EQ(std::filesystem::file_size(target.file("big")), 1000u * 2048u);
        recovery.setStatusListener(nullptr);
    }
}
TEST_F(RecoverySave, TargetThatIsNotAFolderIsRefused)
{
    EXPECT_FALSE(save({file("a", Bytes{1})}, out.file("missing")));
}
// Items not given whole are saved as far as they go and listed with a reason; the save goes on.
TEST_F(RecoverySave, ItemsNotSavedWholeAreReportedAndTheSaveGoesOn)
{
    struct CompressedItem : MemoryFileItem {
        using MemoryFileItem::MemoryFileItem;
        bool isCompressed() override { return true; }
    };
    struct DamagedSizeItem : MemoryFileItem {
        using MemoryFileItem::MemoryFileItem;
        bool isDamaged() override { return true; }
    };
    // A folder whose children load as a damaged catalog gives them: some, and "incomplete".
    struct DamagedFolder : CVolumeItem {
        DamagedFolder() : CVolumeItem(true) { setName("damaged"); }
        bool addChildren() override
        {
            addFile(this, "found", Bytes{7});
            return false;
        }
    };
    // Files carved from the engine's disk whose third block cannot be read: the cache gives zeros.
    // The two bad blocks lie in 4096-byte pages apart, so each is trimmed to itself.
    engine.disk.bytes = patternBytes(engine.disk.bytes.size(), 5);
    engine.disk.failingBlocks = {12, 28};
    const auto carve = [&](const std::string& name, int64_t first) {
        auto* item = adopt(engine.recovery.resultRoot, new CRawVolumeItem());
        item->setName(name);
        item->firstBlock = uint64_t(first);
        item->size = 5 * 512;
        Bytes bytes(engine.disk.bytes.begin() + first * 512, engine.disk.bytes.begin() + (first + 5) * 512);
        std::fill(bytes.begin() + 2 * 512, bytes.begin() + 3 * 512, 0);
        return std::pair<CVolumeItem*, Bytes>{item, bytes};
    };
    MemoryFileItem* shortRead = file("short", patternBytes(10000, 1));
    shortRead->failFrom = 4096;
    const auto [carved, carvedBytes] = carve("carved", 10);
    // After a preview read it, the bad sector is known and its zeros cached: no new device error.
    const auto [previewed, previewedBytes] = carve("previewed", 26);
    Bytes preview(previewed->getSize());
    quietly([&] { previewed->read(0, preview.data(), uint32_t(preview.size())); });
    CVolumeItem* packed = adopt(engine.recovery.resultRoot, new CompressedItem("packed", {}));
    CVolumeItem* sized = adopt(engine.recovery.resultRoot, new DamagedSizeItem("sized", {3, 4}));
    CVolumeItem* damaged = adopt(engine.recovery.resultRoot, new DamagedFolder());
    EXPECT_FALSE(save({shortRead, carved, previewed, packed, sized, damaged, file("after", Bytes{2})}));
    EXPECT_EQ(folderSnapshot(out.path()), (FileTree{{"short", patternBytes(4096, 1)},
                                                    {"carved", carvedBytes},
                                                    {"previewed", previewedBytes},
                                                    {"sized", {3, 4}},
                                                    {"damaged/", {}},
                                                    {"damaged/found", {7}},
                                                    {"after", {2}}}));
    const std::pair<std::string, std::string> reasons[] = {
        {"short", "read failed in %s at offset 4096"},        {"carved", "%s was read over unreadable sectors"},
        {"previewed", "%s was read over unreadable sectors"}, {"packed", "%s is stored compressed"},
        {"sized", "the size recorded for %s is damaged"},     {"damaged", "the listing of %s is incomplete"}};
    std::vector<std::string> incomplete;
    std::string listed = "not saved whole:\n";
    for (auto [name, message] : reasons) {
        incomplete.push_back(out.file(name));
        listed += "  " + out.file(name) + "\n";
        message.replace(message.find("%s"), 2, out.file(name));
        EXPECT_NE(text.find(message), std::string::npos) << message;
    }
    EXPECT_EQ(engine.recovery.incompleteFiles, incomplete);
    EXPECT_NE(text.find(listed), std::string::npos) << text;
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
        FileTree expected{{"after", patternBytes(10, 2)}};
        if (replacing)
            expected["big"] = {'o', 'l', 'd'};
        EXPECT_EQ(folderSnapshot(folder.path()), expected);
        EXPECT_EQ(fresh.recovery.incompleteFiles, std::vector<std::string>{folder.file("big")});
    }
}
TEST_F(RecoverySave, FullTargetDiskEndsTheSave)
{
    // A tmpfs in a mount namespace of a child of its own. The child exits 0 when the save failed as
    // the disk is full, left nothing and tried nothing after it; 2 when it cannot mount.
    const std::vector<CVolumeItem*> items{file("big", patternBytes(400 * 1024, 1)), file("after", Bytes{2})};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", out.path().c_str(), "tmpfs", 0, "size=256k") != 0)
            ::_exit(2);
        bool result = true;
        const std::string printed = quietly([&] { result = engine.recovery.save(items, out.path()); });
        const bool full = printed.find("the target disk is full") != std::string::npos;
        ::_exit(!result && full && folderSnapshot(out.path()).empty() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no small file system can be mounted here (needs a mount namespace)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
TEST_F(RecoverySave, FolderInsideItselfIsSavedOnce)
{
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "loop");
    addFile(folder, "x", Bytes{7});
    folder->addChild(folder); // a tree that a corrupt catalog could make
    EXPECT_FALSE(save({folder}));
    folder->children.pop_back();
    EXPECT_EQ(folderSnapshot(out.path()), (FileTree{{"loop/", {}}, {"loop/x", {7}}}));
}
TEST_F(RecoverySave, AVolumeSavedAfterASearchLeavesTheSearchFolderOut)
{
    file("hit.txt", Bytes{1});
    quietly([&] { engine.recovery.searchItems("hit"); });
    ASSERT_NE(engine.recovery.searchFolder, nullptr);
    EXPECT_TRUE(save({engine.recovery.resultRoot}));
    EXPECT_EQ(folderSnapshot(out.path()), (FileTree{{"Results/", {}}, {"Results/hit.txt", {1}}}));
}
