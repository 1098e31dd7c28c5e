// Name search: what it collects, in which order, where the search folder stands, and who owns the
// items it took out of folders loaded only for the walk.
#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "machelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {
using Names = std::vector<std::string>;

// Items built by hand under the engine's result root.
class RecoverySearch : public ::testing::Test {
protected:
    // Searches quietly and answers the names found.
    Names search(CRecovery& recovery, const std::string& text)
    {
        quietly([&] { recovery.searchItems(text); });
        EXPECT_NE(recovery.searchFolder, nullptr);
        return namesOf(recovery.searchFolder);
    }
    Names search(const std::string& text) { return search(engine.recovery, text); }

    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    ScriptedListener listener;
};
} // namespace

TEST_F(RecoverySearch, CollectsAsciiCaseInsensitiveMatchesInWalkOrder)
{
    addFile(root, "readme.txt");
    CVolumeItem* folder = addFolder(root, "ReadMe");
    addFile(folder, "thread.c");
    addFile(folder, "other.txt");
    addFile(root, "zebra");
    EXPECT_EQ(search("READ"), (Names{"readme.txt", "ReadMe", "thread.c"}));
    EXPECT_EQ(engine.recovery.searchFolder->getParent(), root);
    EXPECT_EQ(folder->getChildCount(true), 2) << "the items stay where they are";
    // Bytes outside ASCII match only when equal.
    addFile(root, "\xC3\x89T\xC3\x89");                         // "ÉTÉ"
    EXPECT_EQ(search("\xC3\xA9t\xC3\xA9"), Names{});            // "été"
    EXPECT_EQ(search("\xC3\x89t"), Names{"\xC3\x89T\xC3\x89"}); // "Ét"
}

TEST_F(RecoverySearch, SearchingAgainEmptiesAndReusesTheFolder)
{
    addFile(root, "alpha");
    addFile(root, "beta");
    search("alpha");
    CVolumeItem* first = engine.recovery.searchFolder;
    EXPECT_EQ(search("BETA"), Names{"beta"});
    EXPECT_EQ(engine.recovery.searchFolder, first);
    EXPECT_EQ(search(""), Names{});
    EXPECT_EQ(root->getChildCount(true), 3);
}

TEST_F(RecoverySearch, FolderOfTheVolumeWithTheSameNameIsSearchedNotTakenOver)
{
    CVolumeItem* real = addFolder(root, localize("SearchResults"));
    addFile(real, "match.txt");
    addFile(root, "other.txt");
    EXPECT_EQ(search("match"), Names{"match.txt"});
    EXPECT_NE(engine.recovery.searchFolder, real);
    EXPECT_EQ(namesOf(real), Names{"match.txt"});
}

TEST_F(RecoverySearch, SearchFolderStandingFirstStillCoversEveryOtherChild)
{
    addFile(root, "a-hit");
    addFile(root, "b-hit");
    search("hit");
    // The outline may re-sort the top level so that the search folder stands before the rest.
    std::rotate(root->children.begin(), root->children.end() - 1, root->children.end());
    ASSERT_EQ(root->children.front(), engine.recovery.searchFolder);
    EXPECT_EQ(search("HIT"), (Names{"a-hit", "b-hit"}));
}

TEST_F(RecoverySearch, CancelKeepsWhatWasFound)
{
    for (int i = 0; i < 10; ++i)
        addFile(root, "hit" + std::to_string(i));
    listener.cancelFromEvent = 3;
    engine.recovery.setStatusListener(&listener);
    EXPECT_EQ(search("hit"), (Names{"hit0", "hit1", "hit2", "hit3"}));
    EXPECT_EQ(listener.progress.size(), 4u);
    ASSERT_EQ(listener.changed.size(), 4u);
    EXPECT_EQ(listener.changed.front(), engine.recovery.searchFolder);
}

// --- On a browsed volume, whose folders load on demand ------------------------------------------

TEST_F(RecoverySearch, FindsWhatASubstringSearchOfTheVolumesNamesFinds)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("Report.TXT", 10, 1).file("notes/report-2.txt", 20, 2).file("notes/other", 5, 3);
    tree.file("notes/deep/REPORTS/final.doc", 7, 4).file("misc/unrelated.bin", 9, 5).folder("reporting");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    BrowsedRecovery recovery(xd.partition);
    ASSERT_NE(recovery.resultRoot, nullptr);
    Names found = search(recovery, "rePort");
    std::sort(found.begin(), found.end());

    Names expected;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(xd.source)) {
        std::string lower = entry.path().filename().string();
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
        if (lower.find("report") != std::string::npos)
            expected.push_back(entry.path().filename().string());
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);

    // Items found in folders the walk loaded only for itself now belong to the search: their
    // parent is the search folder, and their path leads there.
    for (CVolumeItem* item : recovery.searchFolder->children) {
        CVolumeItem* parent = item->getParent();
        ASSERT_NE(parent, nullptr);
        if (parent == recovery.searchFolder) {
            EXPECT_EQ(item->getPath(), recovery.resultRoot->getName() + "/" + localize("SearchResults") + "/");
        } else {
            EXPECT_NE(std::find(parent->children.begin(), parent->children.end(), item), parent->children.end());
        }
        // A found folder can still be opened.
        if (item->getName() == "REPORTS") {
            quietly([&] { item->addChildren(); });
            EXPECT_EQ(namesOf(item), Names{"final.doc"});
        }
    }
    // The search runs again and is released with the results.
    EXPECT_EQ(search(recovery, "final"), Names{"final.doc"});
    quietly([&] { recovery.openExistingVolume(); });
    EXPECT_EQ(recovery.searchFolder, nullptr);
}

TEST_F(RecoverySearch, EndsOnACatalogFolderListedInsideItself)
{
    HfsImageBuilder builder;
    const uint32_t loop = builder.addFolder(kHfsRootFolderID, "loop");
    HfsItemOptions again;
    again.id = loop;
    again.thread = false; // the real folder has the thread record of this ID
    builder.addFolder(loop, "self", again);
    builder.addFolder(builder.addFolder(loop, "sub"), "back", again);
    builder.addFile(loop, "inside.txt", {1, 2, 3});
    const HfsImage image = builder.build();
    CMemoryDisk disk(image.bytes, 512);
    BrowsedRecovery recovery(&disk);
    EXPECT_EQ(search(recovery, "inside"), Names{"inside.txt"});
}
