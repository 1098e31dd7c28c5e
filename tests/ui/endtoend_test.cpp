// The real window over a real HFS Plus volume made by xorriso: choose its partition in the outline,
// browse, open a folder, choose files in the table and in the grid, save them, and compare what was
// saved with the volume's files. Also: the grid's worker never holds up a command that replaces the
// folder while the worker waits for the engine.
#include "EngineLock.h"
#include "QuilThumbnailView.h"
#include "commandfixture.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDialog>
#include <QImage>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

namespace {

std::vector<uint8_t> pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 4, y * 5, 128));
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {data.begin(), data.end()};
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        RECOVERY_REQUIRE_TOOLS("xorriso");
        tree.file("docs/readme.txt", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'})
            .file("docs/data.bin", 70000, 7)
            .file("docs/picture.png", pngBytes(64, 48))
            .file("other/notes.txt", 3000, 9)
            .file("other/caf\xc3\xa9.txt", 100, 11);
        ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&volume, tree));
        AppServices s = fakes.services();
        s.makeDiskManager = [this] {
            auto* manager = new FixedDiskManager();
            manager->addDisk(volume.disk.release());
            return manager;
        };
        (*fakes.info)[QStringLiteral("AppName")] = QStringLiteral("Gleaner");
        quietly([&] {
            controller = std::make_unique<TestController>(s);
            controller->awakeFromNib();
        });
    }
    void TearDown() override
    {
        quietly([&] { controller.reset(); });
    }

    QModelIndex outlineRowNamed(const QString& text, const QModelIndex& parent = {}) const
    {
        QAbstractItemModel* model = controller->outlineView->model();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex index = model->index(row, 0, parent);
            if (index.data().toString().startsWith(text))
                return index;
            if (const QModelIndex found = outlineRowNamed(text, index); found.isValid())
                return found;
        }
        return {};
    }
    // Clicks a row of a view as a person would.
    void click(QAbstractItemView* view, const QModelIndex& index, Qt::KeyboardModifiers modifiers = {})
    {
        view->scrollTo(index);
        quietly(
            [&] { QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, view->visualRect(index).center()); });
    }
    void clickToolbar(const char* identifier)
    {
        QWidget* button = nullptr;
        if (auto* item = qobject_cast<QWidgetAction*>(controller->toolbarItem(QLatin1String(identifier))))
            button = item->defaultWidget();
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isEnabled()) << identifier;
        quietly([&] { QTest::mouseClick(button, Qt::LeftButton); });
    }
    int tableRowNamed(const QString& name) const
    {
        QAbstractItemModel* model = controller->tableView->model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->index(row, 0).data().toString() == name)
                return row;
        return -1;
    }
    // Browses the partition and opens the folder "docs".
    void openDocs()
    {
        controller->mainWindow->resize(1000, 700);
        const QModelIndex partitionRow = outlineRowNamed(QString());
        ASSERT_TRUE(partitionRow.isValid());
        QModelIndex hfs;
        for (QModelIndex at = partitionRow; at.isValid(); at = controller->outlineView->indexBelow(at))
            if (controller->outlineAdapter()->itemAt(at) == volume.partition)
                hfs = at;
        ASSERT_TRUE(hfs.isValid()) << "the HFS partition is listed under its disk";
        click(controller->outlineView, hfs);
        ASSERT_EQ(controller->disk, volume.partition);
        ASSERT_NO_FATAL_FAILURE(clickToolbar("BrowseVolume"));
        const QModelIndex docs = outlineRowNamed(QStringLiteral("docs"));
        ASSERT_TRUE(docs.isValid());
        click(controller->outlineView, docs);
        ASSERT_NE(controller->folder, nullptr);
        ASSERT_EQ(controller->tableView->model()->rowCount(), 3);
    }

    TreeSpec tree;
    XorrisoDisk volume;
    FakeServices fakes;
    std::unique_ptr<TestController> controller;
};

TEST_F(EndToEnd, BrowseSelectAndSaveGiveTheVolumesBytes)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    const int readme = tableRowNamed(QStringLiteral("readme.txt"));
    const int data = tableRowNamed(QStringLiteral("data.bin"));
    ASSERT_GE(readme, 0);
    ASSERT_GE(data, 0);
    click(controller->tableView, controller->tableView->model()->index(readme, 0));
    click(controller->tableView, controller->tableView->model()->index(data, 0), Qt::ControlModifier);

    ScratchDir target;
    fakes.panels->folderAnswer = QString::fromStdString(target.path());
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    EXPECT_FALSE(controller->isBusy());
    for (const char* name : {"readme.txt", "data.bin"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFileBytes(target.file(name)), readFileBytes(volume.source + "/docs/" + name));
    }
    EXPECT_TRUE(readFileBytes(target.file("picture.png")).empty()) << "only the chosen files are saved";
    controller->mainWindow->grab().save(QStringLiteral("/tmp/gleaner-endtoend-table.png"));
}

TEST_F(EndToEnd, TheGridShowsTheFolderAndItsSelectionIsWhatIsSaved)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    controller->tabView->setCurrentIndex(1);
    ASSERT_NE(controller->thumbView, nullptr);
    EXPECT_EQ(controller->thumbCount(), 3);
    const int picture = tableRowNamed(QStringLiteral("picture.png"));
    ASSERT_GE(picture, 0);
    controller->thumbView->requestThumbnail(picture);
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->thumbView->hasThumbnail(picture); }, 5000))
        << "the worker answered for the picture";
    EXPECT_FALSE(controller->thumbView->requestThumbnail(picture).isNull()) << "the picture has a thumbnail";

    controller->thumbView->selectIndexes({picture}, false);
    quietly([&] { controller->thumbViewSelectionDidChange(); });
    ScratchDir target;
    fakes.panels->folderAnswer = QString::fromStdString(target.path());
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    EXPECT_EQ(readFileBytes(target.file("picture.png")), readFileBytes(volume.source + "/docs/picture.png"));
    EXPECT_TRUE(readFileBytes(target.file("readme.txt")).empty());
    controller->mainWindow->grab().save(QStringLiteral("/tmp/gleaner-endtoend-grid.png"));
}

TEST_F(EndToEnd, SearchFindsANameTypedComposed)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    auto* field = qobject_cast<QLineEdit*>(controller->searchField);
    ASSERT_NE(field, nullptr);
    ASSERT_TRUE(field->isEnabled());
    field->setText(QStringLiteral("caf\u00e9"));
    quietly([&] { QTest::keyClick(field, Qt::Key_Return); });
    ASSERT_NE(controller->tableView->model(), nullptr);
    ASSERT_EQ(controller->tableView->model()->rowCount(), 1);
    EXPECT_EQ(controller->tableView->model()->index(0, 0).data().toString().normalized(QString::NormalizationForm_C),
              QStringLiteral("caf\u00e9.txt"));
}

TEST_F(EndToEnd, TheDeletedFilesScanShowsWhatItCarved)
{
    // The whole image: the scan walks its free blocks and carves what it recognises.
    CDisk* whole = nullptr;
    QModelIndex wholeRow;
    QAbstractItemModel* model = controller->outlineView->model();
    for (QModelIndex at = model->index(0, 0); at.isValid(); at = controller->outlineView->indexBelow(at))
        if (auto* candidate = dynamic_cast<CDisk*>(controller->outlineAdapter()->itemAt(at));
            candidate && candidate->isWholeDisk()) {
            whole = candidate;
            wholeRow = at;
        }
    ASSERT_NE(whole, nullptr);
    click(controller->outlineView, wholeRow);
    ASSERT_EQ(controller->disk, whole);
    ASSERT_NO_FATAL_FAILURE(clickToolbar("DeletedFilesScan"));
    ASSERT_TRUE(controller->scanWindow->isVisible());
    quietly([&] { QTest::mouseClick(controller->startScanButton, Qt::LeftButton); });
    EXPECT_FALSE(controller->isBusy());
    EXPECT_EQ(fakes.sound->played, std::vector<QString>{QStringLiteral("complete.aif")});
    ASSERT_FALSE(fakes.alerts->calls.empty());
    EXPECT_EQ(fakes.alerts->calls.back().title, QStringLiteral("EndOfScan"));
    CVolumeItem* root = controller->recovery()->resultRoot;
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->isDeleted());
    const QModelIndex top = model->index(0, 0);
    EXPECT_EQ(controller->outlineAdapter()->itemAt(top), root) << "the outline shows the results";
    EXPECT_EQ(controller->outlineView->selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST_F(EndToEnd, ChangingFolderWhileTheWorkerWaitsForTheEngineDoesNotHang)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    controller->tabView->setCurrentIndex(1);
    {
        // The main thread holds the engine, as a command does, while the worker wants it.
        EngineLocker lock(engineLock());
        controller->thumbView->requestThumbnail(0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller->thumbView->isWorkerRunning(); }, 2000));
        const QModelIndex other = outlineRowNamed(QStringLiteral("other"));
        ASSERT_TRUE(other.isValid());
        click(controller->outlineView, other);
    }
    EXPECT_EQ(controller->thumbCount(), 2);
    EXPECT_EQ(controller->thumbFooterAtIndex(1), QStringLiteral("notes.txt"));
}

} // namespace
