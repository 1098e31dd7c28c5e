// Name search: what it collects, in which order, where the search folder stands, and who owns the
// items it took out of folders loaded only for the walk.
#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "machelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {
std::vector<std::string> namesOf(CVolumeItem* folder)
{
    std::vector<std::string> names;
    if (folder)
        for (CVolumeItem* child : folder->children)
            names.push_back(child->getName());
    return names;
}

std::string lowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}
} // namespace

TEST(RecoverySearch, CollectsCaseInsensitiveMatchesInWalkOrder)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    addFile(root, "readme.txt");
    CVolumeItem* folder = addFolder(root, "ReadMe");
    addFile(folder, "thread.c");
    addFile(folder, "other.txt");
    addFile(root, "zebra");
    quietly([&] { engine.recovery.searchItems("READ"); });
    ASSERT_NE(engine.recovery.searchFolder, nullptr);
    EXPECT_EQ(engine.recovery.searchFolder->getName(), localize("SearchResults"));
    EXPECT_EQ(engine.recovery.searchFolder->getParent(), root);
    EXPECT_EQ(namesOf(engine.recovery.searchFolder), (std::vector<std::string>{"readme.txt", "ReadMe", "thread.c"}));
    EXPECT_EQ(engine.recovery.searchText, "READ");
    // The items stay where they are: the search folder only refers to them.
    EXPECT_EQ(folder->getChildCount(true), 2);
}

TEST(RecoverySearch, SecondSearchEmptiesAndReusesTheFolder)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    addFile(root, "alpha");
    addFile(root, "beta");
    quietly([&] { engine.recovery.searchItems("alpha"); });
    CVolumeItem* first = engine.recovery.searchFolder;
    quietly([&] { engine.recovery.searchItems("BETA"); });
    EXPECT_EQ(engine.recovery.searchFolder, first);
    EXPECT_EQ(namesOf(engine.recovery.searchFolder), (std::vector<std::string>{"beta"}));
    EXPECT_EQ(root->getChildCount(true), 3);
}

TEST(RecoverySearch, EmptyTextMakesAnEmptyFolderAndSendsNothing)
{
    HandBuiltResults engine;
    addFile(engine.recovery.resultRoot, "alpha");
    ScriptedListener listener;
    engine.recovery.setStatusListener(&listener);
    quietly([&] { engine.recovery.searchItems("alpha"); });
    listener.progress.clear();
    quietly([&] { engine.recovery.searchItems(""); });
    ASSERT_NE(engine.recovery.searchFolder, nullptr);
    EXPECT_EQ(engine.recovery.searchFolder->getChildCount(true), 0);
    EXPECT_TRUE(listener.progress.empty());
}

TEST(RecoverySearch, FolderOfTheVolumeWithTheSameNameIsSearchedNotTakenOver)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    CVolumeItem* real = addFolder(root, localize("SearchResults"));
    addFile(real, "match.txt");
    addFile(root, "other.txt");
    quietly([&] { engine.recovery.searchItems("match"); });
    ASSERT_NE(engine.recovery.searchFolder, nullptr);
    EXPECT_NE(engine.recovery.searchFolder, real);
    EXPECT_EQ(namesOf(engine.recovery.searchFolder), (std::vector<std::string>{"match.txt"}));
    EXPECT_EQ(namesOf(real), (std::vector<std::string>{"match.txt"}));
}

TEST(RecoverySearch, SearchFolderStandingFirstStillCoversEveryOtherChild)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    addFile(root, "a-hit");
    addFile(root, "b-hit");
    quietly([&] { engine.recovery.searchItems("hit"); });
    // The outline may re-sort the top level so that the search folder stands before the rest.
    auto& top = root->children;
    std::rotate(top.begin(), top.end() - 1, top.end());
    ASSERT_EQ(top.front(), engine.recovery.searchFolder);
    quietly([&] { engine.recovery.searchItems("HIT"); });
    EXPECT_EQ(namesOf(engine.recovery.searchFolder), (std::vector<std::string>{"a-hit", "b-hit"}));
}

TEST(RecoverySearch, BytesOutsideAsciiMatchOnlyWhenEqual)
{
    HandBuiltResults engine;
    addFile(engine.recovery.resultRoot, "\xC3\x89T\xC3\x89"); // "ÉTÉ"
    quietly([&] { engine.recovery.searchItems("\xC3\xA9t\xC3\xA9"); }); // "été"
    EXPECT_EQ(engine.recovery.searchFolder->getChildCount(true), 0);
    quietly([&] { engine.recovery.searchItems("\xC3\x89t"); });
    EXPECT_EQ(engine.recovery.searchFolder->getChildCount(true), 1);
}

TEST(RecoverySearch, EventsPerVisitedItemAndCancelKeepsWhatWasFound)
{
    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    for (int i = 0; i < 10; ++i)
        addFile(root, "hit" + std::to_string(i));
    ScriptedListener listener;
    listener.cancelFromEvent = 3;
    engine.recovery.setStatusListener(&listener);
    quietly([&] { engine.recovery.searchItems("hit"); });
    EXPECT_EQ(listener.progress.size(), 4u);
    EXPECT_EQ(listener.changed.size(), 4u);
    EXPECT_EQ(listener.changed.front(), engine.recovery.searchFolder);
    EXPECT_EQ(namesOf(engine.recovery.searchFolder), (std::vector<std::string>{"hit0", "hit1", "hit2", "hit3"}));
}

// --- On a browsed volume, whose folders load on demand ------------------------------------------

TEST(RecoverySearch, FindsWhatASubstringSearchOfTheVolumesNamesFinds)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("Report.TXT", 10, 1).file("notes/report-2.txt", 20, 2).file("notes/other", 5, 3);
    tree.file("notes/deep/REPORTS/final.doc", 7, 4).file("misc/unrelated.bin", 9, 5).folder("reporting");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    CRecovery recovery;
    quietly([&] {
        recovery.setDisk(xd.partition);
        recovery.openExistingVolume();
        recovery.searchItems("rePort");
    });
    ASSERT_NE(recovery.searchFolder, nullptr);
    std::vector<std::string> found = namesOf(recovery.searchFolder);
    std::sort(found.begin(), found.end());

    std::vector<std::string> expected;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(xd.source)) {
        const std::string name = entry.path().filename().string();
        if (lowerAscii(name).find("report") != std::string::npos)
            expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);

    // Items found in folders the walk loaded only for itself now belong to the search: their
    // parent is the search folder, and their path leads there.
    for (CVolumeItem* item : recovery.searchFolder->children) {
        CVolumeItem* parent = item->getParent();
        ASSERT_NE(parent, nullptr);
        const bool inTree = std::find(parent->children.begin(), parent->children.end(), item) != parent->children.end();
        EXPECT_TRUE(inTree || parent == recovery.searchFolder) << item->getName();
        if (parent == recovery.searchFolder) {
            EXPECT_EQ(item->getPath(), recovery.resultRoot->getName() + "/" + localize("SearchResults") + "/");
        }
    }
    // A found folder can still be opened, and the search can run again and be released.
    for (CVolumeItem* item : recovery.searchFolder->children)
        if (item->getName() == "REPORTS") {
            quietly([&] { item->addChildren(); });
            EXPECT_EQ(namesOf(item), (std::vector<std::string>{"final.doc"}));
        }
    quietly([&] {
        recovery.searchItems("final");
        recovery.openExistingVolume();
    });
    EXPECT_EQ(recovery.searchFolder, nullptr);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoverySearch, EndsOnACatalogFolderListedInsideItself)
{
    HfsImageBuilder builder;
    const uint32_t loop = builder.addFolder(kHfsRootFolderID, "loop");
    HfsItemOptions again;
    again.id = loop;
    again.thread = false; // the real folder has the thread record of this ID
    builder.addFolder(loop, "self", again);
    const uint32_t sub = builder.addFolder(loop, "sub");
    builder.addFolder(sub, "back", again);
    builder.addFile(loop, "inside.txt", {1, 2, 3});
    const HfsImage image = builder.build();
    CMemoryDisk disk(image.bytes, 512);
    CRecovery recovery;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.openExistingVolume();
        recovery.searchItems("inside");
    });
    ASSERT_NE(recovery.searchFolder, nullptr);
    EXPECT_EQ(namesOf(recovery.searchFolder), (std::vector<std::string>{"inside.txt"}));
    quietly([&] { recovery.setDisk(nullptr); });
}
