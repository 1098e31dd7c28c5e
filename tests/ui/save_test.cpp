// Save, the report and the search with scripted panels; the grid and the table agreeing on what is
// chosen; the question before saving onto the disk being recovered.
#include "SaveTarget.h"
#include "commandfixture.h"

#include <gtest/gtest.h>

#include <QItemSelectionModel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTableView>

#include "QuilThumbnailView.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// A browsed volume with "Docs" shown in the table.
struct BrowsedHarness : CommandHarness {
    explicit BrowsedHarness(const std::function<void(FakeServices&)>& configure = {}) : CommandHarness(false, configure)
    {
        EXPECT_TRUE(selectInOutline(partition));
        quietly([&] { controller->browseVolume(); });
        docs = resultFolder("Docs");
        EXPECT_TRUE(selectInOutline(docs));
        engine->calls.clear();
    }
    void selectTableRows(std::initializer_list<int> rows)
    {
        QItemSelection selection;
        QAbstractItemModel* model = controller->tableView->model();
        for (int row : rows)
            selection.select(model->index(row, 0), model->index(row, model->columnCount() - 1));
        controller->tableView->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    }
    std::vector<std::string> savedNames() const
    {
        std::vector<std::string> names;
        for (CVolumeItem* item : engine->savedItems)
            names.push_back(item->getName());
        return names;
    }
    CVolumeItem* docs = nullptr;
};

TEST(SaveCommand, SavesTheTableRowsInOrderElseTheOutlineFolders)
{
    BrowsedHarness h;
    ScratchDir target;
    h.fakes.panels->folderAnswer = QString::fromStdString(target.path());

    h.selectTableRows({1, 0});
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.engine->calls, std::vector<std::string>{"save"});
    EXPECT_EQ(h.savedNames(), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(h.engine->savedFolder, target.path());
    ASSERT_FALSE(h.fakes.alerts->calls.empty());
    EXPECT_EQ(h.fakes.alerts->calls[0].message, QStringLiteral("ChooseFolderNotice"));
    EXPECT_EQ(h.fakes.panels->folderTitles.back(), QStringLiteral("ChooseFolderForFiles"));

    h.controller->tableView->clearSelection();
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.savedNames(), std::vector<std::string>{"Docs"});
}

TEST(SaveCommand, SaysWhichFilesWereNotSavedWhole)
{
    BrowsedHarness h;
    ScratchDir target;
    h.fakes.panels->folderAnswer = QString::fromStdString(target.path());
    h.engine->incomplete = {target.file("Docs/%s%n.txt")};
    quietly([&] { h.controller->save(); });
    ASSERT_EQ(h.fakes.alerts->calls.size(), 2u);
    const QString message = h.fakes.alerts->calls[1].message;
    EXPECT_TRUE(message.startsWith(QStringLiteral("SaveIncompleteNotice"))) << message.toStdString();
    EXPECT_TRUE(message.endsWith(QString::fromStdString(target.file("Docs/%s%n.txt")))) << "names are data";
}

TEST(SaveCommand, AnOutlineReloadKeepsWhatWasChosen)
{
    // A scan leaves the outline marked for a reload, which the next operation's first progress
    // event runs: the folder and the files chosen in it must survive it.
    BrowsedHarness h;
    h.selectTableRows({1});
    CAbstractTableModel* shown = h.controller->tableModel;
    quietly([&] { h.controller->reloadOutlineView(); });
    EXPECT_EQ(h.controller->folder, h.docs);
    EXPECT_EQ(h.controller->tableModel, shown);
    ScratchDir target;
    h.fakes.panels->folderAnswer = QString::fromStdString(target.path());
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.savedNames(), std::vector<std::string>{"b.txt"});
}

TEST(GridAndTable, TheGridShowsTheRowsChosenInTheTable)
{
    BrowsedHarness h;
    h.selectTableRows({1});
    h.controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(h.controller->thumbView->selectedIndexes(), std::set<int>{1});
    // Deselecting in the grid deselects in the table: nothing chosen means the folder itself.
    h.controller->thumbView->selectIndexes({}, false);
    ScratchDir target;
    h.fakes.panels->folderAnswer = QString::fromStdString(target.path());
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.savedNames(), std::vector<std::string>{"Docs"});
}

TEST(GridAndTable, TheGridKeepsTheTablesFolderWhenTheOutlineLetsGo)
{
    // An emptied outline selection leaves the table as it was; the grid must show the same rows.
    BrowsedHarness h;
    quietly([&] { h.controller->outlineView->clearSelection(); });
    EXPECT_EQ(h.controller->folder, nullptr);
    h.controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(h.controller->thumbCount(), 2);
    EXPECT_EQ(h.controller->thumbFooterAtIndex(0), QStringLiteral("a.txt"));
}

TEST(SaveCommand, CancelledPanelsWriteNothing)
{
    BrowsedHarness h;
    quietly([&] {
        h.controller->save();
        h.controller->saveReport();
    });
    EXPECT_TRUE(h.engine->calls.empty());
    EXPECT_FALSE(h.controller->isBusy());
    EXPECT_EQ(h.fakes.panels->suggestedNames, std::vector<QString>{QStringLiteral("report.html")});
}

TEST(ReportCommand, WritesAnHtmlFileWithTheTitleAndFooter)
{
    BrowsedHarness h([](FakeServices& fakes) {
        (*fakes.texts)[QStringLiteral("AppFileListReportOnDate")] = QStringLiteral("%@ list of %@");
        // A name is data, never a format.
        (*fakes.info)[QStringLiteral("AppName")] = QStringLiteral("Glea%@ner %d");
    });
    h.fakes.panels->saveAnswer = QStringLiteral("/tmp/out/list");
    h.selectTableRows({0});
    quietly([&] { h.controller->saveReport(); });
    EXPECT_EQ(h.engine->calls, std::vector<std::string>{"saveReport"});
    EXPECT_EQ(h.engine->reportPath, "/tmp/out/list.html");
    EXPECT_EQ(h.savedNames(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(h.engine->reportFooter, "(c) the makers");
    const QString title = QString::fromStdString(h.engine->reportTitle);
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Glea%@ner %d list of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}$)"))
                    .match(title)
                    .hasMatch())
        << title.toStdString();
}

TEST(ReportCommand, SaysWhenTheReportCouldNotBeWritten)
{
    BrowsedHarness h;
    h.fakes.panels->saveAnswer = QStringLiteral("/nonexistent/folder/report.html");
    h.engine->failReport = true;
    quietly([&] { h.controller->saveReport(); });
    ASSERT_EQ(h.fakes.alerts->calls.size(), 1u);
    EXPECT_EQ(h.fakes.alerts->calls[0].message, QStringLiteral("SaveReportFailedNotice"));
}

TEST(SearchCommand, SelectsTheSearchFolderAndShowsWhatItFound)
{
    BrowsedHarness h;
    h.controller->searchField->setText(QStringLiteral("a.t"));
    quietly([&] { h.controller->searchUsingToolbarSearchField(); });
    EXPECT_EQ(h.engine->calls, std::vector<std::string>{"searchItems(a.t)"});
    ASSERT_NE(h.engine->searchFolder, nullptr);
    EXPECT_EQ(h.controller->folder, h.engine->searchFolder);
    const QModelIndexList selected = h.controller->outlineView->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(h.controller->outlineAdapter()->itemAt(selected[0]), h.engine->searchFolder);
    ASSERT_EQ(h.controller->tableView->model()->rowCount(), 1);
    EXPECT_EQ(h.controller->tableView->model()->index(0, 0).data().toString(), QStringLiteral("a.txt"));

    // A search with no match still shows the (empty) search folder; searching again replaces the
    // items the table showed, which the table let go of first.
    h.controller->searchField->setText(QStringLiteral("nothing like it"));
    quietly([&] { h.controller->searchUsingToolbarSearchField(); });
    EXPECT_EQ(h.controller->folder, h.engine->searchFolder);
    EXPECT_EQ(h.controller->tableView->model()->rowCount(), 0);
}

TEST(SearchCommand, SearchesInTheDecomposedFormOfTheNames)
{
    BrowsedHarness h;
    h.controller->searchField->setText(QStringLiteral("caf\u00e9"));
    quietly([&] { h.controller->searchUsingToolbarSearchField(); });
    EXPECT_EQ(h.engine->calls, std::vector<std::string>{"searchItems(cafe\xcc\x81)"});
}

TEST(SearchCommand, SelectsNothingWhenTheSearchFolderIsNotShown)
{
    CommandHarness h;
    // After a lost-volumes scan the disk list stays while the engine has a result root.
    ASSERT_TRUE(h.selectInOutline(h.wholeDisk));
    quietly([&] { h.controller->lostVolumesScan(); });
    h.engine->buildResults(ItemLost, "Lost");
    h.controller->searchField->setText(QStringLiteral("a"));
    quietly([&] { h.controller->searchUsingToolbarSearchField(); });
    EXPECT_TRUE(h.controller->outlineView->selectionModel()->selectedRows().isEmpty());
    EXPECT_EQ(h.controller->folder, nullptr);
}

TEST(SaveTarget, OnlyAFolderOnTheRecoveredDeviceIsAtRisk)
{
    ScratchDir scratch;
    struct stat folderInfo {};
    ASSERT_EQ(::stat(scratch.path().c_str(), &folderInfo), 0);
    const std::string image = scratch.file("disk.img");
    ASSERT_TRUE(writeFileBytes(image, std::vector<uint8_t>(4096, 0)));
    EXPECT_FALSE(folderLiesOnDevice(scratch.path(), image)) << "an image file keeps its blocks";
    EXPECT_FALSE(folderLiesOnDevice(scratch.path(), "/nonexistent/device"));

    // A node of the scratch folder's own device, and one of another device.
    const std::string same = scratch.file("same");
    const std::string other = scratch.file("other");
    if (::mknod(same.c_str(), S_IFBLK | 0600, folderInfo.st_dev) != 0 ||
        ::mknod(other.c_str(), S_IFBLK | 0600, makedev(7, 250)) != 0)
        GTEST_SKIP() << "cannot make device nodes here (needs root)";
    EXPECT_TRUE(folderLiesOnDevice(scratch.path(), same));
    EXPECT_FALSE(folderLiesOnDevice(scratch.path(), other));
}

TEST(SaveTarget, SavingOntoTheRecoveredDeviceAsksFirst)
{
    CommandHarness h;
    ScratchDir scratch;
    struct stat folderInfo {};
    ASSERT_EQ(::stat(scratch.path().c_str(), &folderInfo), 0);
    const std::string node = scratch.file("node");
    if (::mknod(node.c_str(), S_IFBLK | 0600, folderInfo.st_dev) != 0)
        GTEST_SKIP() << "cannot make device nodes here (needs root)";
    // The engine reads a partition of a disk whose node is that device.
    CMemoryDisk device(512, 8192, node);
    CPartitionDisk window(&device, 64, 8191);
    quietly([&] { h.controller->recovery()->setDisk(&window); });
    h.engine->buildResults(ItemDeleted, "Deleted");
    h.controller->folder = h.resultFolder("Docs");
    h.fakes.panels->folderAnswer = QString::fromStdString(scratch.path());
    h.engine->calls.clear();
    h.fakes.alerts->calls.clear();
    h.fakes.alerts->answers = {AlertAnswer::Default, AlertAnswer::Alternate}; // OK, then "No"
    quietly([&] { h.controller->save(); });
    ASSERT_EQ(h.fakes.alerts->calls.size(), 2u);
    EXPECT_EQ(h.fakes.alerts->calls[1].message, QStringLiteral("AskSaveOnSourceDisk"));
    EXPECT_TRUE(h.engine->calls.empty()) << "No saves nothing";

    h.fakes.alerts->answers = {AlertAnswer::Default, AlertAnswer::Default};
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.engine->calls, std::vector<std::string>{"save"});
    quietly([&] { h.controller->recovery()->setDisk(nullptr); });
    h.controller->folder = nullptr;
}

} // namespace
