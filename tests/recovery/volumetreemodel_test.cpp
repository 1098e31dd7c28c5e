// The result outline's model: folders only, loaded and sorted on first use, labelled with their
// entry count, with the search, deleted and plain folder icons.
#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "machelpers.h"
#include "volumetreemodel.h"

#include <gtest/gtest.h>

#include <functional>

TEST(VolumeTreeModel, WithoutResultsEveryAnswerIsEmpty)
{
    CRecovery recovery;
    CVolumeTreeModel model(&recovery);
    EXPECT_EQ(model.getRoot(), nullptr);
    EXPECT_TRUE(model.isLeaf(nullptr));
    EXPECT_EQ(model.getChildCount(nullptr), 0);
    EXPECT_EQ(model.getChild(nullptr, 0), nullptr);
    EXPECT_EQ(model.getItemText(nullptr), "");
}

TEST(VolumeTreeModel, FolderOfFilesIsALeafLabelledWithItsFileCount)
{
    HandBuiltResults engine;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "photos");
    for (const char* name : {"a", "b", "c"})
        addFile(folder, name);
    CVolumeTreeModel model(&engine.recovery);
    EXPECT_TRUE(model.isLeaf(folder));
    EXPECT_EQ(model.getItemText(folder), "photos (3)");
    EXPECT_FALSE(model.isLeaf(model.getRoot()));
    EXPECT_EQ(model.getChild(model.getRoot(), 0), folder);
    EXPECT_EQ(model.getChild(model.getRoot(), 1), nullptr);
}

TEST(VolumeTreeModel, FirstQuestionLoadsAndSortsABrowsedFolder)
{
    HfsImageBuilder builder;
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    for (const char* name : {"zeta", "alpha", "Mid"})
        builder.addFile(docs, name, {1});
    builder.addFolder(docs, "inner");
    const HfsImage image = builder.build();
    const struct {
        const char* question;
        std::function<void(CVolumeTreeModel&, CVolumeItem*)> ask;
    } cases[] = {
        {"isLeaf", [](CVolumeTreeModel& m, CVolumeItem* f) { EXPECT_FALSE(m.isLeaf(f)); }},
        {"getChildCount", [](CVolumeTreeModel& m, CVolumeItem* f) { EXPECT_EQ(m.getChildCount(f), 1); }},
        {"getItemText", [](CVolumeTreeModel& m, CVolumeItem* f) { EXPECT_EQ(m.getItemText(f), "docs (4)"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.question);
        CMemoryDisk disk(image.bytes, 512);
        BrowsedRecovery recovery(&disk);
        CVolumeTreeModel model(&recovery);
        CVolumeItem* folder = nullptr;
        quietly([&] {
            ASSERT_EQ(model.getChildCount(model.getRoot()), 1);
            folder = dynamic_cast<CVolumeItem*>(model.getChild(model.getRoot(), 0));
            if (folder)
                c.ask(model, folder);
        });
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(namesOf(folder), (std::vector<std::string>{"Mid", "alpha", "inner", "zeta"}));
    }
}

TEST(VolumeTreeModel, SearchFolderIsKnownByPointerForItsIcon)
{
    HandBuiltResults engine;
    CVolumeTreeModel model(&engine.recovery);
    CVolumeItem* root = engine.recovery.resultRoot;
    addFolder(root, localize("SearchResults"));
    addFile(root, "hit");
    quietly([&] { engine.recovery.searchItems("hit"); });
    EXPECT_EQ(model.getImageIndex(engine.recovery.searchFolder, false), 14);
    EXPECT_EQ(model.getImageIndex(root->children[0], false), 0);
    root->setFlags(ItemDeleted);
    EXPECT_EQ(model.getImageIndex(root, true), 6);
}
