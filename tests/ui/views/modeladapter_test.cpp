// The outline and table adapters under Qt's model checker, and the mapping of selections to items.
#include "ListIcons.h"
#include "OutlineExpander.h"
#include "SelectedItems.h"
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "recoveryfixture.h"
#include "volumetreemodel.h"

#include <QAbstractItemModelTester>
#include <QImage>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <functional>
#include <map>
#include <set>
namespace {
using Tester = QAbstractItemModelTester;
constexpr auto kFatal = Tester::FailureReportingMode::Fatal;
// A tree model over plain pointers: an item may be listed under several parents, a child may be nullptr.
class FakeTreeModel : public CAbstractTreeModel {
public:
    CBase* add(CBase* parent, const std::string& text)
    {
        owned.push_back(std::make_unique<CBase>());
        link(parent, owned.back().get());
        texts[owned.back().get()] = text;
        return owned.back().get();
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
        return index >= 0 && size_t(index) < kids[item].size() ? kids[item][size_t(index)] : nullptr;
    }
    void reservedSlot5(CBase*, int) override {}
    int getImageIndex(CBase* item, bool) override { return isLeaf(item) ? 2 : 0; }
    CBase* root = nullptr;
    std::map<CBase*, std::vector<CBase*>> kids;
    std::map<CBase*, std::string> texts;
    std::set<CBase*> freed; // items a test pretends the engine has freed
    std::vector<std::unique_ptr<CBase>> owned;
};
// Results / {Docs / {a.txt, b.txt}, Pics / {x.jpg}, Search / {a.txt (the same item), nullptr}}
struct SmallTree {
    SmallTree()
    {
        results = model.add(nullptr, "Results");
        docs = model.add(results, "Docs");
        shared = model.add(docs, "a.txt");
        model.add(docs, "b.txt");
        pics = model.add(results, "Pics");
        model.add(pics, "x.jpg");
        search = model.add(results, "Search");
        model.link(search, shared);
        model.link(search, nullptr);
    }
    FakeTreeModel model;
    CBase *results, *docs, *shared, *pics, *search;
};
void walk(const QAbstractItemModel& model, const std::function<void(const QModelIndex&)>& visit,
          const QModelIndex& parent = QModelIndex())
{
    for (int row = 0; row < model.rowCount(parent); ++row) {
        visit(model.index(row, 0, parent));
        walk(model, visit, model.index(row, 0, parent));
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
TEST(TreeModelAdapter, ShowsSharedItemsTwiceAndKeepsExpandedRowsAcrossAnInstallAndAReloadAfterFreeing)
{
    for (bool sameObjects : {false, true}) {
        SCOPED_TRACE(sameObjects ? "same objects, new texts" : "new objects, same texts");
        SmallTree before, fresh;
        TreeModelAdapter adapter;
        Tester tester(&adapter, kFatal);
        QTreeView view;
        view.setModel(&adapter);
        adapter.setModel(&before.model);
        view.expand(adapter.index(0, 0));
        view.expand(indexesOf(adapter, before.search).value(0));
        SmallTree& after = sameObjects ? before : fresh;
        if (sameObjects) {
            before.model.texts[before.results] = "Results (4)";
            before.model.texts[before.search] = "Search (2)";
        }
        const QPersistentModelIndex held(adapter.index(0, 0));
        adapter.replaceModel(&view, &after.model);
        EXPECT_FALSE(held.isValid());
        const QModelIndexList twice = indexesOf(adapter, after.shared);
        ASSERT_EQ(twice.size(), 2) << "an item listed twice is two rows";
        EXPECT_EQ(adapter.rowCount(twice[1].parent()), 1) << "the null child is left out, not an empty row";
        EXPECT_EQ(adapter.index(0, 0, twice[1].parent()).internalPointer(), twice[1].internalPointer());
        EXPECT_EQ(adapter.findShown(after.search), twice[1].parent());
        EXPECT_EQ(adapter.headerData(0, Qt::Horizontal).toString(), "Folders");
        EXPECT_TRUE(view.isExpanded(adapter.index(0, 0)));
        EXPECT_TRUE(view.isExpanded(indexesOf(adapter, after.search).value(0)));
        EXPECT_FALSE(view.isExpanded(indexesOf(adapter, after.pics).value(0)));
        // A scan's tidy-up frees Docs while the outline has rows for it: a reload drops them unread.
        walk(adapter, [&](const QModelIndex& index) { view.expand(index); });
        after.model.kids[after.results].erase(after.model.kids[after.results].begin());
        after.model.freed = {after.docs, after.shared};
        after.model.kids[after.search].clear();
        adapter.reload(&view);
        EXPECT_TRUE(indexesOf(adapter, after.docs).isEmpty());
        EXPECT_TRUE(view.isExpanded(indexesOf(adapter, after.pics).value(0)));
    }
}
TEST(OutlineExpander, OpensWholeSubtreesFromACallOrTheStarKey)
{
    // Two top rows, each with three folders of three folders.
    QStandardItemModel model;
    for (int top = 0; top < 2; ++top) {
        auto* topItem = new QStandardItem(QStringLiteral("top"));
        for (int middle = 0; middle < 3; ++middle) {
            auto* middleItem = new QStandardItem(QStringLiteral("middle"));
            for (int leaf = 0; leaf < 3; ++leaf)
                middleItem->appendRow(new QStandardItem(QStringLiteral("leaf")));
            topItem->appendRow(middleItem);
        }
        model.appendRow(topItem);
    }
    QTreeView view;
    view.setModel(&model);
    OutlineExpander* expander = OutlineExpander::of(&view);
    EXPECT_EQ(OutlineExpander::of(&view), expander);
    auto wholeSubtreeOpen = [&](int top) {
        bool open = view.isExpanded(model.index(top, 0));
        for (int middle = 0; middle < 3; ++middle)
            open = open && view.isExpanded(model.index(middle, 0, model.index(top, 0)));
        return open;
    };
    expander->expandAll({model.index(0, 0)});
    EXPECT_FALSE(expander->isRunning()) << "a small tree opens before the call returns";
    EXPECT_TRUE(wholeSubtreeOpen(0));
    EXPECT_FALSE(view.isExpanded(model.index(1, 0)));
    view.setCurrentIndex(model.index(1, 0));
    QTest::keyClick(&view, Qt::Key_Asterisk);
    EXPECT_TRUE(wholeSubtreeOpen(1));
}
TEST(ListIcons, LoadsByImageIndexAndGivesNoneForMissingFilesOrUnknownIndexes)
{
    ScratchDir dir;
    QImage pixel(4, 4, QImage::Format_ARGB32);
    pixel.fill(Qt::red);
    ASSERT_TRUE(pixel.save(QString::fromStdString(dir.file("file2.png")), "PNG"));
    ASSERT_TRUE(writeFileText(dir.file("harddisk.png"), "not an image"));
    loadListIcons(QString::fromStdString(dir.path()));
    for (const auto& [index, hasIcon] :
         {std::pair{2, true}, {8, false}, {0, false}, {3, false}, {-1, false}, {15, false}}) {
        SCOPED_TRACE(index);
        quietly([&] { EXPECT_EQ(!getImageByIdx(index).isNull(), hasIcon); });
    }
    loadListIcons(QStringLiteral(GLEANER_RESOURCE_DIR));
}
// A folder of four files in no order, as a scan leaves it, and selections of it or of an outline.
TEST(TableModelAdapter, ShowsOneSortedOrderAndSelectedRowsMapToVolumeItemsOnly)
{
    HandBuiltResults results;
    CVolumeItem* folder = addFolder(results.recovery.resultRoot, "found");
    for (const char* name : {"c.txt", "a.txt", "d.txt", "b.txt"})
        addFile(folder, name, std::vector<uint8_t>(10));
    addFile(results.recovery.resultRoot, "z.txt", std::vector<uint8_t>(10));
    CVolumeTreeModel resultTree(&results.recovery);
    TreeModelAdapter folders;
    folders.setModel(&resultTree);
    walk(folders, [](const QModelIndex&) {});
    EXPECT_TRUE(folders.findShown(folder).isValid()); // the result tree's folders, with a file beside them
    CVolumeTableModel engineTable(folder);
    TableModelAdapter table;
    table.setModel(&engineTable);
    EXPECT_EQ(namesOf(folder), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt"}));
    ASSERT_EQ(table.rowCount(), 4);
    EXPECT_EQ(table.index(0, 0).data().toString(), "a.txt");
    EXPECT_EQ(table.headerData(0, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(table.headerData(3, Qt::Horizontal).toString(), "Modified");
    QStandardItemModel other(1, 1);
    EXPECT_FALSE(table.data(other.index(0, 0)).isValid()) << "another model's index";
    Tester tester(&table, kFatal);
    // Row 2 is chosen twice (two cells of it), and the list is not in row order.
    const QModelIndexList rows{table.index(2, 0), table.index(0, 0), table.index(2, 3)};
    std::vector<CVolumeItem*> items;
    quietly([&] { items = getSelectedItemList(rows, folder, {}, nullptr); });
    EXPECT_EQ(items, (std::vector<CVolumeItem*>{folder->children[0], folder->children[2]}));
    // An outline mixing volume items and other engine objects, with one item shown twice.
    FakeTreeModel model;
    CBase* top = model.add(nullptr, "Disks");
    CVolumeItem* first = folder->children[0];
    CVolumeItem* second = folder->children[1];
    for (CVolumeItem* item : {second, first, second})
        model.link(top, item);
    TreeModelAdapter outline;
    outline.setModel(&model);
    const QModelIndex root = outline.index(0, 0);
    const QModelIndexList outlineRows{outline.index(1, 0, root), root, outline.index(2, 0, root),
                                      outline.index(0, 0, root)};
    quietly([&] { items = getSelectedItemList({}, nullptr, outlineRows, &outline); });
    EXPECT_EQ(items, (std::vector<CVolumeItem*>{second, first}));
    // A row the folder no longer has gives no item rather than a null entry.
    const QModelIndex last = table.index(3, 0);
    delete folder->children.back();
    folder->children.pop_back();
    quietly([&] { items = getSelectedItemList({last}, folder, {}, nullptr); });
    EXPECT_TRUE(items.empty());
    table.setModel(nullptr);
    EXPECT_EQ(table.rowCount(), 0);
}
} // namespace
