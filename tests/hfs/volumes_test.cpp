// Volumes, items and the folder table.
#include "recoveryfixture.h"

#include "cacheddisk.h"
#include "logger.h"
#include "machelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace {
struct FakeItem : CVolumeItem {
    FakeItem(const std::string& itemName, uint64_t itemSize, uint32_t itemDate = 0, std::string itemId = "n/a",
             bool folder = false)
        : CVolumeItem(folder), size(itemSize), date(itemDate), id(std::move(itemId))
    {
        name = itemName;
    }
    uint64_t getSize() override
    {
        ++sizeReads;
        return size;
    }
    uint32_t getDate() override { return date; }
    std::string getIdString() override { return id; }
    static inline int sizeReads = 0;
    uint64_t size;
    uint32_t date;
    std::string id;
};
// A folder that gets its children only when asked to load them, like a file-system folder.
class LazyFolder : public CVolumeItem {
public:
    LazyFolder(const std::string& folderName, std::vector<std::string> names)
        : CVolumeItem(true), childNames(std::move(names))
    {
        name = folderName;
    }
    bool addChildren() override
    {
        for (const std::string& childName : childNames)
            adopt(this, new FakeItem(childName, 1));
        return true;
    }
    std::vector<std::string> childNames;
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
struct CachedVolume {
    explicit CachedVolume(int64_t blocks) : disk(512, blocks), cache(&disk, 65536, 4096), volume(&cache)
    {
        EXPECT_TRUE(cache.open(false));
    }
    CMemoryDisk disk;
    CCachedDisk cache;
    CVolume volume;
};
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
TEST(MarkerBitmapTest, RangesBeyondTheEndAreClampedOrRefused)
{
    CMarkerBitmap bitmap(16);
    quietly([&] {
        bitmap.setBits(8, 16, true);              // clamped to the last byte
        bitmap.setBits(UINT64_MAX - 3, 10, true); // start beyond the end
        bitmap.setBits(8, UINT64_MAX, true);      // start + count would wrap
        EXPECT_FALSE(bitmap.isBitSet(16));
    });
    EXPECT_TRUE(bitmap.isBitSet(15)); // the last bit, exactly at the limit
    EXPECT_EQ(bitmap.getBytes()[0], 0x00);
    EXPECT_EQ(bitmap.getBytes()[1], 0xFF);
}
TEST(VolumeReadTest, ReadsAtTheVolumeOffsetMarkTheFirstBlockAndStayInsideTheDisk)
{
    CachedVolume cached(2052);
    CVolume& volume = cached.volume;
    uint8_t bytes[1536];
    EXPECT_FALSE(volume.read(UINT64_MAX - 10, 512, bytes));
    volume.diskOfs = 1048576;
    volume.createBitmap();
    volume.setMarking(true);
    ASSERT_TRUE(volume.read(0, sizeof bytes, bytes));
    EXPECT_EQ(0, std::memcmp(bytes, cached.disk.bytes.data() + 1048576, sizeof bytes));
    EXPECT_TRUE(volume.getMarkerBitmap()->isBitSet(2048));
    EXPECT_FALSE(volume.getMarkerBitmap()->isBitSet(2049));
    EXPECT_TRUE(volume.read(1536, 512, bytes)); // the disk's last block
    EXPECT_FALSE(volume.read(1537, 512, bytes));
    EXPECT_FALSE(volume.read(UINT64_MAX - 10, 512, bytes)); // the offset and diskOfs would wrap
    volume.diskOfs = 1049600;
    EXPECT_FALSE(volume.read(1024, 512, bytes));
    EXPECT_TRUE(volume.read(0, 0, nullptr)); // nothing to read needs no buffer
    CVolume uncached(&cached.disk);          // reads go through the cache only
    EXPECT_FALSE(uncached.read(0, 512, bytes));
}
TEST(RawVolumeItemTest, ReadsFromItsFirstBlockAndFailsWithoutAVolume)
{
    CachedVolume cached(16);
    CRawVolumeItem item;
    item.volume = &cached.volume;
    item.firstBlock = 1;
    item.size = 100;
    uint8_t bytes[20];
    EXPECT_EQ(item.read(10, bytes, sizeof bytes), sizeof bytes);
    EXPECT_EQ(0, std::memcmp(bytes, cached.disk.bytes.data() + 522, sizeof bytes));
    item.volume = nullptr;
    quietly([&] { EXPECT_EQ(item.read(0, bytes, sizeof bytes), 0u); });
}
TEST_F(VolumesTest, ChildAccessCountsFoldersApartAndRefusesBadIndexes)
{
    adopt(root, new FakeItem("f1", 1));
    adopt(root, new CVolumeItem(true));
    CVolumeItem* last = adopt(root, new CVolumeItem(true));
    EXPECT_EQ(root->getChildCount(false), 2);
    EXPECT_EQ(root->getChild(1, false), last);
    for (const auto& [index, all] : std::vector<std::pair<int, bool>>{{2, false}, {3, true}, {-1, true}, {-1, false}})
        EXPECT_EQ(root->getChild(index, all), nullptr) << index << " " << all;
}
TEST_F(VolumesTest, WalkingOrDeletingAVeryDeepTreeDoesNotExhaustTheStack)
{
    CVolumeItem* folder = root;
    for (int i = 0; i < 300000; ++i)
        folder = adopt(folder, new CVolumeItem(true));
    EXPECT_TRUE(root->traverse(nullptr, true)); // not descending past its depth limit
    EXPECT_NE(quietly([&] { volume.setRoot(nullptr); }).find("frees:300001"), std::string::npos);
}
TEST_F(VolumesTest, SortOrdersByNameThenSizeThenIDThenDateOrBySizeFirst)
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
    volume.setSortType(SortBySize);
    FakeItem folder("z", 0, 0, "n/a", true), empty("a", 0), big("a", 100), huge("a", UINT64_MAX);
    for (FakeItem* item : {&folder, &empty, &big, &huge})
        item->volume = &volume;
    EXPECT_EQ(folder.compare(&empty), -1);
    EXPECT_EQ(empty.compare(&big), -1);
    EXPECT_EQ(huge.compare(&big), 1); // a difference beyond the signed range keeps its sign
    EXPECT_EQ(big.compare(&huge), -1);
    // The chosen field leads; a tie in it falls back to name, size, ID and date.
    FakeItem early("z", 9, 1, "9"), late("a", 0, 5, "10"), lateBig("a", 7, 5, "1");
    for (FakeItem* item : {&early, &late, &lateBig})
        item->volume = &volume;
    const struct {
        int sortType;
        FakeItem *a, *b;
        int order;
    } cases[] = {{SortByDate, &early, &late, -1},
                 {SortByDate, &late, &lateBig, -1},
                 {SortByID, &late, &early, -1},
                 {SortByID, &lateBig, &late, -1},
                 {SortByName, &lateBig, &early, -1}};
    for (const auto& c : cases) {
        volume.setSortType(c.sortType);
        EXPECT_EQ(c.a->compare(c.b), c.order) << c.sortType << " " << c.a->getName() << c.a->getSize();
    }
}
TEST_F(VolumesTest, SortChildrenGivesThePairwiseComparisonsOrderForEverySortType)
{
    // Few distinct values, so names, sizes, IDs and dates tie often and names share long prefixes.
    const std::vector<std::string> names{"", "a", "B", "document-1", "document-10", "document-2", "documents"};
    const std::vector<std::string> ids{"10", "9", "n/a"};
    std::mt19937 random(7);
    for (int i = 0; i < 400; ++i)
        adopt(root, new FakeItem(names[random() % names.size()], random() % 3 * 1024, random() % 2,
                                 ids[random() % ids.size()], random() % 4 == 0));
    for (int type : {int(SortByName), int(SortBySize), int(SortByDate), int(SortByID), 7}) {
        SCOPED_TRACE(type);
        volume.setSortType(type);
        std::shuffle(root->children.begin(), root->children.end(), random);
        std::vector<CVolumeItem*> expected = root->children;
        quietly([&] {
            std::sort(expected.begin(), expected.end(), CVolumeItem::lessThan);
            root->sortChildren();
        });
        EXPECT_EQ(root->children, expected); // the same permutation, ties included
    }
}
TEST_F(VolumesTest, TableKeepsItsOrderUntilTheChildrenOrTheSortTypeChange)
{
    adopt(root, new FakeItem("b", 2));
    adopt(root, new FakeItem("c", 1));
    CVolumeTableModel model(root);
    EXPECT_EQ(model.getCellText(0, 0), "b");
    const int reads = FakeItem::sizeReads;
    EXPECT_EQ(model.getCellText(0, 0), "b");
    EXPECT_EQ(CVolumeTableModel(root).getCellText(0, 0), "b");
    EXPECT_EQ(FakeItem::sizeReads, reads); // known to be in order: no item is read again
    adopt(root, new FakeItem("a", 3));
    EXPECT_EQ(model.getCellText(0, 0), "a");
    volume.setSortType(SortBySize);
    model.getCellText(0, 0);
    EXPECT_EQ(namesOf(root), (std::vector<std::string>{"c", "b", "a"}));
    std::swap(root->children[0], root->children[2]);
    root->childrenChanged();
    model.getCellText(0, 0);
    EXPECT_EQ(namesOf(root), (std::vector<std::string>{"c", "b", "a"}));
}
TEST_F(VolumesTest, TraverseHandsKeptChildrenOfAnUnloadedFolderOverAndUnloadsItWhenStopped)
{
    CVolumeItem* folder = adopt(root, new LazyFolder("lazy", {"1", "2", "3", "4"}));
    Visitor visitor;
    visitor.keepNames = {"2"};
    visitor.stopAt = "3";
    EXPECT_FALSE(root->traverse(&visitor, true));
    EXPECT_EQ(visitor.seen, (std::vector<std::string>{"lazy", "1", "2", "3"}));
    EXPECT_TRUE(folder->children.empty()); // unloaded again
    ASSERT_EQ(visitor.kept.size(), 1u);
    EXPECT_EQ(visitor.kept[0]->getName(), "2");
}
TEST_F(VolumesTest, RemoveDuplicatesKeepsOneOfEachRunAndMovesTheChildrenOfADroppedFolder)
{
    adopt(root, new FakeItem("a", 1024));
    adopt(root, new FakeItem("a", 2048));
    adopt(root, new FakeItem("a", 1024));
    CVolumeItem* first = adopt(root, new FakeItem("docs", 0, 0, "n/a", true));
    CVolumeItem* second = adopt(root, new FakeItem("docs", 0, 0, "n/a", true));
    adopt(first, new FakeItem("only-in-first", 1));
    adopt(second, new FakeItem("only-in-second", 1));
    adopt(first, new FakeItem("in-both", 1));
    adopt(second, new FakeItem("in-both", 1));
    volume.setSortType(SortBySize);
    root->removeDuplicates(true);
    ASSERT_EQ(namesOf(root), (std::vector<std::string>{"a", "a", "docs"}));
    EXPECT_EQ(root->children[0]->getSize(), 1024u);
    EXPECT_EQ(root->children[1]->getSize(), 2048u);
    CVolumeItem* kept = root->children[2];
    EXPECT_EQ(namesOf(kept), (std::vector<std::string>{"in-both", "only-in-first", "only-in-second"}));
    for (CVolumeItem* child : kept->children)
        EXPECT_EQ(child->getParent(), kept);
}
TEST_F(VolumesTest, TableRowsAreTheSortedChildrenAndEmptyOutsideTheFolder)
{
    adopt(root, new FakeItem("zeta", 1));
    adopt(root, new FakeItem("alpha", 0, 0, "n/a", true));
    adopt(root, new FakeItem("mid", 1));
    CVolumeTableModel model(root);
    EXPECT_EQ(model.getRowImageIndex(0), 0); // the folder, first once sorted
    EXPECT_EQ(model.getCellText(1, 0), "mid");
    EXPECT_EQ(model.getCellText(2, 0), "zeta");
    for (int row : {3, -1}) {
        EXPECT_EQ(model.getRowImageIndex(row), -1);
        EXPECT_EQ(model.getCellText(row, 0), "");
    }
    EXPECT_EQ(model.getCellText(0, 9), "");
    CVolumeTableModel none(nullptr);
    EXPECT_EQ(none.getRowCount(), 0);
    EXPECT_EQ(none.getCellText(0, 0), "");
}
