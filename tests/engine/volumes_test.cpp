#include "volumes.h"

#include "cacheddisk.h"
#include "logger.h"
#include "machelpers.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {
// A plain item whose size, date and ID a test chooses.
class FakeItem : public CVolumeItem {
public:
    FakeItem(const std::string& itemName, uint64_t itemSize, uint32_t itemDate = 0, std::string id = "n/a",
             bool folder = false)
        : CVolumeItem(folder), fakeSize(itemSize), fakeDate(itemDate), fakeId(std::move(id))
    {
        name = itemName;
    }
    uint64_t getSize() override { return fakeSize; }
    uint32_t getDate() override { return fakeDate; }
    std::string getIdString() override { return fakeId; }

    uint64_t fakeSize;
    uint32_t fakeDate;
    std::string fakeId;
};

// A folder that gets its children only when asked to load them, like a file-system folder.
class LazyFolder : public CVolumeItem {
public:
    explicit LazyFolder(std::vector<std::string> names) : CVolumeItem(true), childNames(std::move(names)) {}
    bool addChildren() override
    {
        ++loads;
        for (const std::string& childName : childNames) {
            CVolumeItem* child = new FakeItem(childName, 1);
            child->volume = volume;
            addChild(child);
            child->setParent(this);
        }
        return true;
    }
    std::vector<std::string> childNames;
    int loads = 0;
};

class Visitor : public CVolumeItemCallback {
public:
    void nextVolumeItem(CVolumeItem* item, bool* stop, bool* keep) override
    {
        seen.push_back(item->getName());
        if (keepNames.count(item->getName())) {
            *keep = true;
            kept.emplace_back(item);
        }
        *stop = item->getName() == stopAt;
    }
    std::vector<std::string> seen;
    std::set<std::string> keepNames;
    std::vector<std::unique_ptr<CVolumeItem>> kept;
    std::string stopAt;
};

std::vector<std::string> namesOf(CVolumeItem* folder)
{
    std::vector<std::string> names;
    for (CVolumeItem* child : folder->children)
        names.push_back(child->getName());
    return names;
}

CVolumeItem* addTo(CVolumeItem* folder, CVolumeItem* child)
{
    child->volume = folder->volume;
    folder->addChild(child);
    child->setParent(folder);
    return child;
}

class VolumesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CLogger::getInstance()->muteFile("volumes.cpp");
        volume.sortType = SortByName;
        volume.createRoot("Root");
        root = volume.getRoot();
    }
    void TearDown() override { CLogger::getInstance()->unmuteFile("volumes.cpp"); }

    CVolume volume;
    CVolumeItem* root = nullptr;
};
} // namespace

// --- Marker bitmap and volume reads ----------------------------------------------------------------

TEST(MarkerBitmapTest, SetBitsWorksOnWholeBytesAndClampsTheEnd)
{
    CMarkerBitmap bitmap(16);
    bitmap.setBits(3, 12, true); // start rounds down to bit 0, count down to one byte
    EXPECT_EQ(bitmap.getBytes()[0], 0xFF);
    EXPECT_EQ(bitmap.getBytes()[1], 0x00);

    OutputCapture capture;
    bitmap.setBits(8, 16, true);
    EXPECT_NE(capture.finish().find("CMarkerBitmap warning - startbit+count out of range"), std::string::npos);
    EXPECT_EQ(bitmap.getBytes()[1], 0xFF);
}

TEST(MarkerBitmapTest, OutOfRangeBitsAreRefused)
{
    CMarkerBitmap bitmap(10);
    bitmap.setBit(15, true); // spare bits of the last byte are accepted
    EXPECT_TRUE(bitmap.isBitSet(15));
    OutputCapture capture;
    EXPECT_FALSE(bitmap.isBitSet(16));
    bitmap.setBits(UINT64_MAX - 3, 10, true);
    const std::string text = capture.finish();
    EXPECT_NE(text.find("isBitSet error: bit out of range"), std::string::npos);
    EXPECT_NE(text.find("CMarkerBitmap error - startbit out of range"), std::string::npos);
}

TEST(VolumeReadTest, ReadsAtTheVolumeOffsetAndMarksTheFirstBlock)
{
    CMemoryDisk disk(512, 4096);
    CCachedDisk cache(&disk, 65536, 4096);
    ASSERT_TRUE(cache.open(false));
    CVolume volume(&cache);
    volume.diskOfs = 1048576;
    volume.createBitmap();
    volume.setMarking(true);
    uint8_t bytes[1536];
    ASSERT_TRUE(volume.read(0, sizeof bytes, bytes));
    EXPECT_EQ(0, std::memcmp(bytes, disk.bytes.data() + 1048576, sizeof bytes));
    EXPECT_TRUE(volume.getMarkerBitmap()->isBitSet(2048));
    EXPECT_FALSE(volume.getMarkerBitmap()->isBitSet(2049));
}

TEST(VolumeReadTest, RangeBeyondTheDiskFails)
{
    CMemoryDisk disk(512, 4);
    CCachedDisk cache(&disk, 65536, 4096);
    ASSERT_TRUE(cache.open(false));
    CVolume volume(&cache);
    uint8_t bytes[512];
    EXPECT_TRUE(volume.read(1536, 512, bytes));
    EXPECT_FALSE(volume.read(1537, 512, bytes));
    EXPECT_FALSE(volume.read(UINT64_MAX - 10, 512, bytes));
    volume.diskOfs = 1024;
    EXPECT_FALSE(volume.read(1024, 512, bytes));
}

TEST_F(VolumesTest, CreateRootReplacesTheTree)
{
    addTo(root, new CVolumeItem(true));
    OutputCapture capture;
    volume.createRoot("Second");
    const std::string text = capture.finish();
    EXPECT_NE(text.find("CVolumeItem::~CVolumeItem rootitem"), std::string::npos);
    EXPECT_NE(text.find("CVolumeItem::~CVolumeItem frees:2"), std::string::npos);
    ASSERT_NE(volume.getRoot(), nullptr);
    EXPECT_EQ(volume.getRoot()->getName(), "Second");
    EXPECT_TRUE(volume.getRoot()->isContainer());
    EXPECT_EQ(volume.getRoot()->getParent(), nullptr);
    EXPECT_EQ(volume.getRoot()->volume, &volume);
}

// --- Items --------------------------------------------------------------------------------------

TEST_F(VolumesTest, ChildAccessCountsFoldersApartAndRefusesBadIndexes)
{
    addTo(root, new FakeItem("f1", 1));
    addTo(root, new CVolumeItem(true));
    CVolumeItem* last = addTo(root, new CVolumeItem(true));
    EXPECT_EQ(root->getChildCount(false), 2);
    EXPECT_EQ(root->getChild(1, false), last);
    EXPECT_EQ(root->getChild(2, false), nullptr);
    EXPECT_EQ(root->getChild(3, true), nullptr);
    EXPECT_EQ(root->getChild(-1, true), nullptr);
    EXPECT_EQ(root->getChild(-1, false), nullptr);
}

TEST_F(VolumesTest, DeletingAVeryDeepTreeDoesNotExhaustTheStack)
{
    CVolumeItem* folder = root;
    for (int i = 0; i < 300000; ++i)
        folder = addTo(folder, new CVolumeItem(true));
    OutputCapture capture;
    volume.setRoot(nullptr);
    EXPECT_NE(capture.finish().find("frees:300001"), std::string::npos);
}

TEST(RawVolumeItemTest, ReadsFromItsFirstBlock)
{
    CMemoryDisk disk(512, 16);
    CCachedDisk cache(&disk, 65536, 4096);
    ASSERT_TRUE(cache.open(false));
    CVolume volume(&cache);
    CRawVolumeItem item;
    item.volume = &volume;
    item.firstBlock = 1;
    item.size = 100;
    uint8_t bytes[20];
    EXPECT_EQ(item.read(10, bytes, sizeof bytes), sizeof bytes);
    EXPECT_EQ(0, std::memcmp(bytes, disk.bytes.data() + 522, sizeof bytes));
    EXPECT_EQ(item.getIdString(), "1");
    item.volume = nullptr;
    OutputCapture capture;
    EXPECT_EQ(item.read(0, bytes, sizeof bytes), 0u);
    EXPECT_NE(capture.finish().find("CRawVolumeItem - read error"), std::string::npos);
}

// --- Comparison and sorting ------------------------------------------------------------------

TEST_F(VolumesTest, SortByNameOrdersByNameThenSizeThenIDThenDate)
{
    FakeItem upper("B", 5), lower("a", 1), small("a", 0), otherID("a", 1, 0, "17"), later("a", 1, 9), same("a", 1);
    for (FakeItem* item : {&upper, &lower, &small, &otherID, &later, &same})
        item->volume = &volume;
    EXPECT_EQ(upper.compare(&lower), -1); // byte order: upper case first
    EXPECT_EQ(small.compare(&lower), -1);
    EXPECT_EQ(otherID.compare(&lower), -1); // a decimal ID before "n/a"
    EXPECT_EQ(later.compare(&lower), 1);
    EXPECT_EQ(lower.compare(&same), 0);
    EXPECT_EQ(lower.compare(nullptr), 0);
}

TEST_F(VolumesTest, SortBySizePutsFoldersBeforeEmptyFilesAndKeepsHugeSizesInOrder)
{
    volume.setSortType(SortBySize);
    FakeItem folder("z", 0, 0, "n/a", true), empty("a", 0), big("a", 100), huge("a", UINT64_MAX);
    for (FakeItem* item : {&folder, &empty, &big, &huge})
        item->volume = &volume;
    EXPECT_EQ(folder.compare(&empty), -1);
    EXPECT_EQ(empty.compare(&big), -1);
    EXPECT_EQ(huge.compare(&big), 1); // a difference beyond the signed range keeps its sign
    EXPECT_EQ(big.compare(&huge), -1);
}

TEST_F(VolumesTest, InvalidSortTypeReportsAndUsesTheDefaultWeights)
{
    volume.setSortType(7);
    FakeItem a("a", 9), b("b", 1);
    a.volume = b.volume = &volume;
    OutputCapture capture;
    EXPECT_EQ(a.compare(&b), -1); // name outweighs size
    EXPECT_NE(capture.finish().find("error: invalid sortType!"), std::string::npos);
}

// --- Traversal ---------------------------------------------------------------------------------

TEST_F(VolumesTest, TraverseOfAnUnloadedFolderHandsKeptChildrenToTheVisitor)
{
    auto* folder = new LazyFolder({"1", "2", "3", "4"});
    addTo(root, folder);
    Visitor visitor;
    visitor.keepNames = {"2", "3"};
    EXPECT_TRUE(folder->traverse(&visitor, false));
    EXPECT_EQ(visitor.seen, (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_TRUE(folder->children.empty()); // unloaded again
    ASSERT_EQ(visitor.kept.size(), 2u);
    EXPECT_EQ(visitor.kept[1]->getName(), "3");
}

TEST_F(VolumesTest, KeepHasNoEffectOnLoadedChildren)
{
    addTo(root, new FakeItem("x", 1));
    Visitor visitor;
    visitor.keepNames = {"x"};
    EXPECT_TRUE(root->traverse(&visitor, true));
    for (auto& kept : visitor.kept)
        kept.release(); // still owned by the folder
    EXPECT_EQ(namesOf(root), (std::vector<std::string>{"x"}));
}

TEST_F(VolumesTest, StopEndsTheWalkAndUnloadsWhatItLoaded)
{
    auto* folder = new LazyFolder({"1", "2"});
    folder->setName("lazy");
    addTo(root, folder);
    Visitor visitor;
    visitor.stopAt = "1";
    EXPECT_FALSE(root->traverse(&visitor, true));
    EXPECT_EQ(visitor.seen, (std::vector<std::string>{"lazy", "1"}));
    EXPECT_TRUE(folder->children.empty());
}

// --- Find-or-create, pruning and de-duplication ------------------------------------------------

TEST_F(VolumesTest, FindOrCreateChildCreatesOnceWhenAsked)
{
    EXPECT_EQ(root->findOrCreateChild("x", false), nullptr);
    CVolumeItem* made = root->findOrCreateChild("x", true);
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(made->isContainer());
    EXPECT_EQ(made->getParent(), root);
    EXPECT_EQ(made->volume, &volume);
    EXPECT_EQ(root->findOrCreateChild("x", true), made);
    EXPECT_EQ(root->getChildCount(true), 1);
}

TEST_F(VolumesTest, RemoveEmptyFoldersRemovesFoldersThatOnlyHeldEmptyFolders)
{
    CVolumeItem* a = addTo(root, new CVolumeItem(true));
    addTo(a, new CVolumeItem(true));
    CVolumeItem* keep = addTo(root, new CVolumeItem(true));
    addTo(keep, new FakeItem("file", 1));
    root->removeEmptyFolders(true);
    ASSERT_EQ(root->children.size(), 1u);
    EXPECT_EQ(root->children[0], keep);
}

TEST_F(VolumesTest, RemoveDuplicatesKeepsOneOfEachRun)
{
    addTo(root, new FakeItem("a", 1024));
    addTo(root, new FakeItem("a", 1024));
    addTo(root, new FakeItem("a", 2048));
    volume.setSortType(SortBySize);
    root->removeDuplicates(false);
    EXPECT_EQ(volume.sortType, SortByName);
    ASSERT_EQ(root->children.size(), 2u);
    EXPECT_EQ(root->children[0]->getSize(), 1024u);
    EXPECT_EQ(root->children[1]->getSize(), 2048u);
}

TEST_F(VolumesTest, RemoveDuplicatesMovesTheChildrenOfADroppedFolder)
{
    CVolumeItem* first = addTo(root, new FakeItem("docs", 0, 0, "n/a", true));
    CVolumeItem* second = addTo(root, new FakeItem("docs", 0, 0, "n/a", true));
    addTo(first, new FakeItem("only-in-first", 1));
    addTo(second, new FakeItem("only-in-second", 1));
    addTo(first, new FakeItem("in-both", 1));
    addTo(second, new FakeItem("in-both", 1));
    root->removeDuplicates(true);
    ASSERT_EQ(root->children.size(), 1u);
    CVolumeItem* kept = root->children[0];
    EXPECT_EQ(namesOf(kept), (std::vector<std::string>{"in-both", "only-in-first", "only-in-second"}));
    for (CVolumeItem* child : kept->children)
        EXPECT_EQ(child->getParent(), kept);
}

// --- Folder table model -------------------------------------------------------------------------

class TableModelTest : public VolumesTest {};

TEST_F(TableModelTest, RowZeroIsTheFirstOfTheSortedList)
{
    addTo(root, new FakeItem("zeta", 1));
    addTo(root, new FakeItem("alpha", 0, 0, "n/a", true));
    addTo(root, new FakeItem("mid", 1));
    CVolumeTableModel model(root);
    EXPECT_EQ(model.getRowCount(), 3);
    EXPECT_EQ(model.getRowImageIndex(0), 0); // the folder, first once sorted
    EXPECT_EQ(model.getCellText(0, 0), "alpha");
    EXPECT_EQ(model.getCellText(1, 0), "mid");
    EXPECT_EQ(model.getCellText(2, 0), "zeta");
}

TEST_F(TableModelTest, SortBySizePutsFoldersFirst)
{
    volume.setSortType(SortBySize);
    addTo(root, new FakeItem("a", 300));
    addTo(root, new FakeItem("b", 100));
    addTo(root, new FakeItem("z", 0, 0, "n/a", true));
    CVolumeTableModel model(root);
    EXPECT_EQ(model.getCellText(0, 0), "z");
    EXPECT_EQ(model.getCellText(1, 0), "b");
    EXPECT_EQ(model.getCellText(2, 0), "a");
}

TEST_F(TableModelTest, CellTexts)
{
    addTo(root, new FakeItem("a", 100, 0, "17"));
    addTo(root, new FakeItem("b", 2047, 86400));
    addTo(root, new FakeItem("c", 0, 0, "n/a", true));
    CVolumeTableModel model(root);
    EXPECT_EQ(model.getCellText(0, 1), "0 KB");
    EXPECT_EQ(model.getCellText(1, 1), "2 KB");
    EXPECT_EQ(model.getCellText(2, 1), "");
    EXPECT_EQ(model.getCellText(0, 2), localize("File"));
    EXPECT_EQ(model.getCellText(2, 2), localize("Folder"));
    EXPECT_EQ(model.getCellText(0, 3), localize("n/a"));
    EXPECT_EQ(model.getCellText(1, 3), formatDate(86400));
    EXPECT_EQ(model.getCellText(0, 4), "17");
    EXPECT_EQ(model.getCellText(0, 9), "");
}

TEST_F(TableModelTest, DeletedItemsGetTheirIconsAndMissingRowsNone)
{
    addTo(root, new FakeItem("a", 1))->setFlags(ItemDeleted);
    addTo(root, new FakeItem("b", 0, 0, "n/a", true))->setFlags(ItemDeleted | ItemLost);
    addTo(root, new FakeItem("c", 1))->setFlags(ItemLost);
    CVolumeTableModel model(root);
    EXPECT_EQ(model.getRowImageIndex(0), 4);
    EXPECT_EQ(model.getRowImageIndex(1), 7);
    EXPECT_EQ(model.getRowImageIndex(2), 2);
    EXPECT_EQ(model.getRowImageIndex(3), -1);
    EXPECT_EQ(model.getCellText(3, 0), "");
    CVolumeTableModel empty(nullptr);
    EXPECT_EQ(empty.getRowCount(), 0);
    EXPECT_EQ(empty.getRowImageIndex(0), -1);
}
