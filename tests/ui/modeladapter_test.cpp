// The outline and table adapters under Qt's model checker, over a real browsed volume and over a
// small hand-made model with an item shown twice; expansion kept across a model install; the
// table's single sort order; and the mapping of selections to engine items.
#include "ListIcons.h"
#include "SelectedItems.h"
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "diskmanager.h"
#include "recoveryfixture.h"
#include "volumetreemodel.h"

#include <QAbstractItemModelTester>
#include <QImage>
#include <QTreeView>

#include <functional>
#include <map>
#include <set>

namespace {

using Tester = QAbstractItemModelTester;

// A tree model over plain pointers: any CBase may be listed under several parents, a child list may
// hold nullptr, and texts and icons are whatever the test set.
class FakeTreeModel : public CAbstractTreeModel {
public:
    CBase* add(CBase* parent, const std::string& text, int image = 0)
    {
        owned.push_back(std::make_unique<CBase>());
        CBase* item = owned.back().get();
        link(parent, item);
        texts[item] = text;
        images[item] = image;
        return item;
    }
    void link(CBase* parent, CBase* child)
    {
        if (parent)
            kids[parent].push_back(child);
        else
            root = child;
    }

    CBase* getRoot() override { return root; }
    bool isLeaf(CBase* item) override { return kids[item].empty(); }
    std::string getItemText(CBase* item) override
    {
        EXPECT_EQ(freed.count(item), 0u) << "the text of a freed item was read";
        return texts[item];
    }
    int getChildCount(CBase* item) override { return int(kids[item].size()); }
    CBase* getChild(CBase* item, int index) override
    {
        auto& list = kids[item];
        return index >= 0 && size_t(index) < list.size() ? list[size_t(index)] : nullptr;
    }
    void reservedSlot5(CBase*, int) override {}
    int getImageIndex(CBase* item, bool) override { return images[item]; }

    CBase* root = nullptr;
    std::map<CBase*, std::vector<CBase*>> kids;
    std::map<CBase*, std::string> texts;
    std::map<CBase*, int> images;
    std::set<CBase*> freed; // items a test pretends the engine has freed
    std::vector<std::unique_ptr<CBase>> owned;
};

// Results / {Docs / {a.txt, b.txt}, Pics / {x.jpg}, Search / {a.txt (the same item), nullptr}}
struct SmallTree {
    SmallTree()
    {
        results = model.add(nullptr, "Results");
        docs = model.add(results, "Docs");
        shared = model.add(docs, "a.txt", 2);
        model.add(docs, "b.txt", 2);
        pics = model.add(results, "Pics");
        model.add(pics, "x.jpg", 2);
        search = model.add(results, "Search", 14);
        model.link(search, shared);
        model.link(search, nullptr);
    }
    FakeTreeModel model;
    CBase *results, *docs, *shared, *pics, *search;
};

// Visits every row of the adapter (making all nodes) in pre-order.
void walk(const QAbstractItemModel& model, const std::function<void(const QModelIndex&)>& visit,
          const QModelIndex& parent = QModelIndex())
{
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        visit(index);
        walk(model, visit, index);
    }
}

QModelIndexList indexesOf(const TreeModelAdapter& adapter, const CBase* item)
{
    QModelIndexList found;
    walk(adapter, [&](const QModelIndex& index) {
        if (adapter.itemAt(index) == item)
            found.append(index);
    });
    return found;
}

TEST(TreeModelAdapter, ShowsAnItemListedTwiceAsTwoRowsWithTheirOwnParents)
{
    SmallTree tree;
    TreeModelAdapter adapter;
    Tester tester(&adapter, Tester::FailureReportingMode::Fatal);
    adapter.setModel(&tree.model);

    ASSERT_EQ(adapter.rowCount(), 1);
    const QModelIndexList twice = indexesOf(adapter, tree.shared);
    ASSERT_EQ(twice.size(), 2);
    EXPECT_EQ(adapter.itemAt(twice[0].parent()), tree.docs);
    EXPECT_EQ(adapter.itemAt(twice[1].parent()), tree.search);
    EXPECT_EQ(twice[0].data().toString(), "a.txt");
    EXPECT_EQ(twice[1].data(Qt::AccessibleTextRole).toString(), "a.txt");
    // The null child of the search folder is left out rather than shown as an empty row.
    EXPECT_EQ(adapter.rowCount(twice[1].parent()), 1);
    // Asking twice gives the same node.
    EXPECT_EQ(adapter.index(0, 0, twice[1].parent()).internalPointer(), twice[1].internalPointer());
    EXPECT_EQ(adapter.findShown(tree.search).data().toString(), "Search");
}

TEST(TreeModelAdapter, ResetInMidWalkDropsOldRowsAndShowsTheNewModel)
{
    SmallTree first;
    FakeTreeModel rootless;
    TreeModelAdapter adapter;
    Tester tester(&adapter, Tester::FailureReportingMode::Fatal);
    adapter.setModel(&first.model);

    const QModelIndex docs = adapter.index(0, 0, adapter.index(0, 0));
    const QPersistentModelIndex held(adapter.index(0, 0, docs));
    ASSERT_TRUE(held.isValid());

    SmallTree second;
    adapter.setModel(&second.model);
    EXPECT_FALSE(held.isValid());
    EXPECT_EQ(indexesOf(adapter, second.shared).size(), 2);
    EXPECT_TRUE(indexesOf(adapter, first.shared).isEmpty());

    adapter.setModel(&rootless);
    EXPECT_EQ(adapter.rowCount(), 0);
    adapter.setModel(nullptr);
    EXPECT_EQ(adapter.rowCount(), 0);
    EXPECT_FALSE(adapter.hasChildren());
}

TEST(TreeModelAdapter, KeepsExpandedRowsAcrossAModelInstall)
{
    struct Case {
        const char* name;
        bool sameObjects; // the new model lists the very same items (texts changed), or new ones
    };
    for (const Case& c : {Case{"new objects, same texts", false}, Case{"same objects, new texts", true}}) {
        SCOPED_TRACE(c.name);
        SmallTree before;
        TreeModelAdapter adapter;
        QTreeView view;
        view.setModel(&adapter);
        adapter.setModel(&before.model);
        view.expand(adapter.index(0, 0));
        view.expand(indexesOf(adapter, before.search).value(0));

        SmallTree fresh;
        FakeTreeModel* next = &fresh.model;
        if (c.sameObjects) {
            next = &before.model;
            before.model.texts[before.results] = "Results (4)";
            before.model.texts[before.search] = "Search (2)";
        }
        adapter.replaceModel(&view, next);

        CBase* search = c.sameObjects ? before.search : fresh.search;
        CBase* pics = c.sameObjects ? before.pics : fresh.pics;
        EXPECT_TRUE(view.isExpanded(adapter.index(0, 0)));
        EXPECT_TRUE(view.isExpanded(indexesOf(adapter, search).value(0)));
        EXPECT_FALSE(view.isExpanded(indexesOf(adapter, pics).value(0)));
    }
}

TEST(TreeModelAdapter, ReloadsAfterTheEngineFreedItemsWithoutReadingThem)
{
    SmallTree tree;
    TreeModelAdapter adapter;
    QTreeView view;
    view.setModel(&adapter);
    adapter.setModel(&tree.model);
    walk(adapter, [&](const QModelIndex& index) { view.expand(index); });

    // A scan's tidy-up frees the Docs folder while the outline still has rows for it.
    tree.model.kids[tree.results].erase(tree.model.kids[tree.results].begin());
    tree.model.freed = {tree.docs, tree.shared};
    tree.model.kids[tree.search].clear();
    adapter.reload(&view);

    EXPECT_TRUE(indexesOf(adapter, tree.docs).isEmpty());
    EXPECT_TRUE(view.isExpanded(indexesOf(adapter, tree.pics).value(0)));
}

TEST(TreeModelAdapter, PassesTheModelCheckerOverABrowsedVolumeAndItsSearchResults)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    XorrisoDisk disk;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&disk, TreeSpec()
                                                       .folder("docs")
                                                       .file("docs/alpha.txt", 3000, 1)
                                                       .folder("docs/deep")
                                                       .file("docs/deep/alpha2.txt", 100, 2)
                                                       .folder("pics")
                                                       .file("pics/beta.bin", 5000, 3)));
    BrowsedRecovery engine(disk.partition);
    ASSERT_NE(engine.resultRoot, nullptr);

    TreeModelAdapter adapter;
    Tester tester(&adapter, Tester::FailureReportingMode::Fatal);
    auto browsed = std::make_unique<CVolumeTreeModel>(&engine);
    quietly([&] { adapter.setModel(browsed.get()); });
    QStringList texts;
    quietly([&] {
        walk(adapter, [&](const QModelIndex& index) {
            texts << index.data().toString();
            // Rows are the engine's children in the engine's order.
            if (index.parent().isValid()) {
                EXPECT_EQ(adapter.itemAt(index), browsed->getChild(adapter.itemAt(index.parent()), index.row()));
            }
        });
    });
    EXPECT_TRUE(texts.contains("deep (1)")) << texts.join(", ").toStdString();

    // A search adds a folder that lists items found elsewhere in the tree: the controller installs
    // a new model over the same engine.
    quietly([&] { engine.searchItems("deep"); });
    ASSERT_NE(engine.searchFolder, nullptr);
    auto searched = std::make_unique<CVolumeTreeModel>(&engine);
    quietly([&] {
        adapter.setModel(searched.get());
        walk(adapter, [](const QModelIndex&) {});
    });
    CBase* deep = nullptr;
    quietly([&] {
        walk(adapter, [&](const QModelIndex& index) {
            if (index.data().toString() == "deep (1)")
                deep = adapter.itemAt(index);
        });
    });
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(indexesOf(adapter, deep).size(), 2);
    EXPECT_TRUE(adapter.findShown(engine.searchFolder).isValid());
    quietly([&] { adapter.setModel(nullptr); });
}

TEST(TreeModelAdapter, PassesTheModelCheckerOverTheDiskList)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    XorrisoDisk disk;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&disk, TreeSpec().file("a.txt", 100, 1)));
    const int partitions = disk.disk->getPartitionCount();
    CDiskManager manager;
    ASSERT_TRUE(manager.addDisk(disk.disk.release()));
    CDiskManagerTreeModel list(&manager);

    TreeModelAdapter adapter;
    Tester tester(&adapter, Tester::FailureReportingMode::Fatal);
    adapter.setModel(&list);
    const QModelIndex top = adapter.index(0, 0);
    EXPECT_EQ(adapter.itemAt(top), &manager);
    // The disk manager's own row has an icon index (3) without an icon.
    quietly([&] { EXPECT_FALSE(top.data(Qt::DecorationRole).isValid()); });
    ASSERT_EQ(adapter.rowCount(top), 1);
    EXPECT_EQ(adapter.rowCount(adapter.index(0, 0, top)), partitions);
    adapter.setModel(nullptr);
}

TEST(ListIcons, LoadsByImageIndexAndGivesNoneForMissingFilesOrUnknownIndexes)
{
    ScratchDir dir;
    QImage pixel(4, 4, QImage::Format_ARGB32);
    pixel.fill(Qt::red);
    ASSERT_TRUE(pixel.save(QString::fromStdString(dir.file("file2.png")), "PNG"));
    ASSERT_TRUE(writeFileText(dir.file("harddisk.png"), "not an image"));
    loadListIcons(QString::fromStdString(dir.path()));

    struct Case {
        int index;
        bool hasIcon;
    };
    for (const Case& c :
         {Case{2, true}, Case{8, false}, Case{0, false}, Case{3, false}, Case{-1, false}, Case{15, false}}) {
        SCOPED_TRACE(c.index);
        quietly([&] { EXPECT_EQ(!getImageByIdx(c.index).isNull(), c.hasIcon); });
    }
    loadListIcons(QStringLiteral(GLEANER_RESOURCE_DIR));
}

// A folder of four files in no order, as a scan leaves it.
struct UnsortedFolder : HandBuiltResults {
    UnsortedFolder()
    {
        folder = addFolder(recovery.resultRoot, "found");
        for (const char* name : {"c.txt", "a.txt", "d.txt", "b.txt"})
            addFile(folder, name, std::vector<uint8_t>(10));
    }
    CVolumeItem* folder;
};

TEST(TableModelAdapter, ShowsOneSortedOrderWhicheverRowIsReadFirst)
{
    UnsortedFolder results;
    CVolumeTableModel engineTable(results.folder);
    TableModelAdapter adapter;
    adapter.setModel(&engineTable);

    // Installing sorts; a view that reads the last row before row 0 sees the same order.
    EXPECT_EQ(namesOf(results.folder), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt"}));
    ASSERT_EQ(adapter.rowCount(), 4);
    EXPECT_EQ(adapter.index(3, 0).data().toString(), "d.txt");
    EXPECT_EQ(adapter.index(0, 0).data().toString(), "a.txt");
    EXPECT_EQ(adapter.headerData(3, Qt::Horizontal).toString(), "Modified");

    Tester tester(&adapter, Tester::FailureReportingMode::Fatal);

    adapter.setModel(nullptr);
    EXPECT_EQ(adapter.rowCount(), 0);
}

TEST(SelectedItems, MapsTableRowsThroughTheFolderSkippingRowsWithoutItems)
{
    UnsortedFolder results;
    CVolumeTableModel engineTable(results.folder);
    TableModelAdapter table;
    table.setModel(&engineTable);
    // Row 2 is chosen twice (two cells of it), and the list is not in row order.
    const QModelIndexList rows{table.index(2, 0), table.index(0, 0), table.index(2, 3)};
    std::vector<CVolumeItem*> items;
    quietly([&] { items = getSelectedItemList(rows, results.folder, {}, nullptr); });
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->getName(), "a.txt");
    EXPECT_EQ(items[1]->getName(), "c.txt");

    // A row the folder no longer has gives no item rather than a null entry.
    const QModelIndex last = table.index(3, 0);
    delete results.folder->children.back();
    results.folder->children.pop_back();
    quietly([&] { items = getSelectedItemList({last}, results.folder, {}, nullptr); });
    EXPECT_TRUE(items.empty());
}

TEST(SelectedItems, MapsOutlineRowsToVolumeItemsOnlyInOutlineOrder)
{
    // An outline mixing volume items and other engine objects (as the disk list does), with one
    // item shown twice.
    UnsortedFolder results;
    FakeTreeModel model;
    CBase* top = model.add(nullptr, "Disks");
    CVolumeItem* first = results.folder->children[0];
    CVolumeItem* second = results.folder->children[1];
    model.link(top, second);
    model.link(top, first);
    model.link(top, second);
    model.texts[first] = "first";
    model.texts[second] = "second";
    TreeModelAdapter outline;
    outline.setModel(&model);

    const QModelIndex root = outline.index(0, 0);
    const QModelIndexList rows{outline.index(1, 0, root), root, outline.index(2, 0, root), outline.index(0, 0, root)};
    std::vector<CVolumeItem*> items;
    quietly([&] { items = getSelectedItemList({}, nullptr, rows, &outline); });
    EXPECT_EQ(items, (std::vector<CVolumeItem*>{second, first}));
}

} // namespace
