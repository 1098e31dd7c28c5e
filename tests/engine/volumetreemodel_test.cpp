// The result outline's model: folders only, loaded and sorted on first use, labelled with their
// entry count, with the search, deleted and plain folder icons.
#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "machelpers.h"
#include "volumetreemodel.h"

#include <gtest/gtest.h>

namespace {
using Bytes = std::vector<uint8_t>;
}

TEST(VolumeTreeModel, WithoutResultsTheRootIsNull)
{
    CRecovery recovery;
    CVolumeTreeModel model(&recovery);
    EXPECT_EQ(model.getRoot(), nullptr);
    EXPECT_TRUE(model.isLeaf(nullptr));
    EXPECT_EQ(model.getChildCount(nullptr), 0);
    EXPECT_EQ(model.getChild(nullptr, 0), nullptr);
    EXPECT_EQ(model.getItemText(nullptr), "");
    EXPECT_EQ(model.getImageIndex(nullptr, false), 2);
}

TEST(VolumeTreeModel, FolderOfFilesIsALeafLabelledWithItsFileCount)
{
    HandBuiltResults engine;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "photos");
    for (const char* name : {"a", "b", "c"})
        addFile(folder, name);
    CVolumeTreeModel model(&engine.recovery);
    EXPECT_EQ(model.getRoot(), engine.recovery.resultRoot);
    EXPECT_TRUE(model.isLeaf(folder));
    EXPECT_EQ(model.getChildCount(folder), 0);
    EXPECT_EQ(model.getItemText(folder), "photos (3)");
    EXPECT_FALSE(model.isLeaf(engine.recovery.resultRoot));
    EXPECT_EQ(model.getChild(engine.recovery.resultRoot, 0), folder);
    EXPECT_EQ(model.getChild(engine.recovery.resultRoot, 1), nullptr);
}

TEST(VolumeTreeModel, FirstQuestionLoadsAndSortsABrowsedFolder)
{
    HfsImageBuilder builder;
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    for (const char* name : {"zeta", "alpha", "Mid"})
        builder.addFile(docs, name, {1});
    builder.addFolder(docs, "inner");
    const HfsImage image = builder.build();
    CMemoryDisk disk(image.bytes, 512);
    CRecovery recovery;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.openExistingVolume();
    });
    ASSERT_NE(recovery.resultRoot, nullptr);
    CVolumeTreeModel model(&recovery);
    CBase* folder = nullptr;
    quietly([&] {
        ASSERT_EQ(model.getChildCount(model.getRoot()), 1);
        folder = model.getChild(model.getRoot(), 0);
        EXPECT_FALSE(model.isLeaf(folder));
    });
    auto* item = dynamic_cast<CVolumeItem*>(folder);
    ASSERT_NE(item, nullptr);
    ASSERT_EQ(item->getChildCount(true), 4);
    EXPECT_TRUE(std::is_sorted(item->children.begin(), item->children.end(), CVolumeItem::lessThan));
    std::string label;
    quietly([&] { label = model.getItemText(folder); });
    EXPECT_EQ(label, "docs (4)");
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(VolumeTreeModel, IconsForSearchDeletedAndPlainFolders)
{
    HandBuiltResults engine;
    CVolumeTreeModel model(&engine.recovery);
    CVolumeItem* root = engine.recovery.resultRoot;
    addFile(root, "hit");
    quietly([&] { engine.recovery.searchItems("hit"); });
    EXPECT_EQ(model.getImageIndex(engine.recovery.searchFolder, false), 14);
    root->setFlags(ItemDeleted);
    EXPECT_EQ(model.getImageIndex(root, false), 7);
    EXPECT_EQ(model.getImageIndex(root, true), 6);
    root->setFlags(ItemLost);
    EXPECT_EQ(model.getImageIndex(root, false), 0);
    EXPECT_EQ(model.getImageIndex(root, true), 1);
}

