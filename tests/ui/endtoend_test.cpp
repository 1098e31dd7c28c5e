// The real window over a real HFS Plus volume made by xorriso: choose its partition in the outline,
// browse, open a folder, choose files in the table and in the grid, save them, and compare what was
// saved with the volume's files; search it, cancelling from the progress sheet; scan the image.
#include "EngineLock.h"
#include "QuilThumbnailView.h"
#include "TreeModelAdapter.h"
#include "recoveryfixture.h"
#include "uifakes.h"

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
#include <QTimer>
#include <QTreeView>
#include <QWidgetAction>

namespace {

constexpr int kMatches = 60; // files named "match-..." in four folders

std::vector<uint8_t> pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(40, 90, 128));
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
        TreeSpec tree;
        tree.file("docs/readme.txt", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'})
            .file("docs/data.bin", 70000, 7)
            .file("docs/picture.png", pngBytes(64, 48))
            .file("other/notes.txt", 3000, 9)
            .file("other/caf\xc3\xa9.txt", 100, 11);
        for (int i = 0; i < kMatches; ++i)
            tree.file("many" + std::to_string(i % 4) + "/match-" + std::to_string(i) + ".txt", 16, uint32_t(i));
        ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&volume, tree));
        AppServices s = fakes.services();
        s.makeDiskManager = [this] {
            auto* manager = new FixedDiskManager();
            wholeDisk = volume.disk.get();
            manager->addDisk(volume.disk.release());
            return manager;
        };
        fakes.info[QStringLiteral("AppName")] = QStringLiteral("Gleaner");
        quietly([&] {
            controller = std::make_unique<TestController>(s);
            controller->awakeFromNib();
        });
        controller->mainWindow->resize(1000, 700);
    }
    void TearDown() override
    {
        quietly([&] { controller.reset(); });
    }

    // The first outline row below parent whose text starts with text, or whose item is item.
    QModelIndex outlineRow(const QString& text, const CBase* item = nullptr, const QModelIndex& parent = {}) const
    {
        QAbstractItemModel* model = controller->outlineView->model();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex index = model->index(row, 0, parent);
            if (item ? controller->outlineAdapter()->itemAt(index) == item : index.data().toString().startsWith(text))
                return index;
            if (const QModelIndex found = outlineRow(text, item, index); found.isValid())
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
        auto* item = qobject_cast<QWidgetAction*>(controller->toolbarItem(QLatin1String(identifier)));
        ASSERT_NE(item, nullptr);
        ASSERT_TRUE(item->defaultWidget()->isEnabled()) << identifier;
        quietly([&] { QTest::mouseClick(item->defaultWidget(), Qt::LeftButton); });
    }
    QModelIndex tableRow(const QString& name) const
    {
        QAbstractItemModel* model = controller->tableView->model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->index(row, 0).data().toString() == name)
                return model->index(row, 0);
        return {};
    }
    // Browses the partition and opens the folder "docs".
    void openDocs()
    {
        const QModelIndex hfs = outlineRow(QString(), volume.partition);
        ASSERT_TRUE(hfs.isValid()) << "the HFS partition is listed under its disk";
        click(controller->outlineView, hfs);
        ASSERT_EQ(controller->disk, volume.partition);
        ASSERT_NO_FATAL_FAILURE(clickToolbar("BrowseVolume"));
        click(controller->outlineView, outlineRow(QStringLiteral("docs")));
        ASSERT_NE(controller->folder, nullptr);
        ASSERT_EQ(controller->tableView->model()->rowCount(), 3);
    }
    void search(const QString& text)
    {
        controller->searchField->setText(text);
        quietly([&] { QTest::keyClick(controller->searchField, Qt::Key_Return); });
    }

    XorrisoDisk volume;
    CDisk* wholeDisk = nullptr; // the image, owned by the disk manager
    FakeServices fakes;
    std::unique_ptr<TestController> controller;
};

TEST_F(EndToEnd, FilesChosenInTheTableOrTheGridAreSavedWithTheVolumesBytes)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    ASSERT_TRUE(tableRow(QStringLiteral("readme.txt")).isValid());
    ASSERT_TRUE(tableRow(QStringLiteral("data.bin")).isValid());
    click(controller->tableView, tableRow(QStringLiteral("readme.txt")));
    click(controller->tableView, tableRow(QStringLiteral("data.bin")), Qt::ControlModifier);
    ScratchDir target;
    fakes.folderAnswer = QString::fromStdString(target.path());
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    EXPECT_FALSE(controller->isBusy());
    for (const char* name : {"readme.txt", "data.bin"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFileBytes(target.file(name)), readFileBytes(volume.source + "/docs/" + name));
    }
    EXPECT_TRUE(readFileBytes(target.file("picture.png")).empty()) << "only the chosen files are saved";
    EXPECT_FALSE(controller->mainWindow->grab().isNull()) << "the table paints its icons and sizes";

    controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(controller->thumbCount(), 3);
    const int picture = tableRow(QStringLiteral("picture.png")).row();
    controller->thumbView->requestThumbnail(picture);
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->thumbView->hasThumbnail(picture); }, 5000));
    EXPECT_FALSE(controller->thumbView->requestThumbnail(picture).isNull()) << "the picture has a thumbnail";
    controller->thumbView->selectIndexes({picture}, false);
    quietly([&] { controller->thumbViewSelectionDidChange(); });
    ScratchDir gridTarget;
    fakes.folderAnswer = QString::fromStdString(gridTarget.path());
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    EXPECT_EQ(readFileBytes(gridTarget.file("picture.png")), readFileBytes(volume.source + "/docs/picture.png"));
    EXPECT_TRUE(readFileBytes(gridTarget.file("readme.txt")).empty());

    {
        // The main thread holds the engine, as a command does, while the grid's worker wants it:
        // changing folder must not wait for the worker.
        EngineLocker lock(engineLock());
        controller->thumbView->requestThumbnail(0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller->thumbView->isWorkerRunning(); }, 2000));
        click(controller->outlineView, outlineRow(QStringLiteral("other")));
    }
    EXPECT_EQ(controller->thumbCount(), 2);
    EXPECT_EQ(controller->thumbFooterAtIndex(1), QStringLiteral("notes.txt"));
}

TEST_F(EndToEnd, SearchFindsANameTypedComposedAndStopsAtTheSheetsCancel)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    search(QStringLiteral("caf\u00e9"));
    ASSERT_EQ(controller->tableView->model()->rowCount(), 1);
    EXPECT_EQ(controller->tableView->model()->index(0, 0).data().toString().normalized(QString::NormalizationForm_C),
              QStringLiteral("caf\u00e9.txt"));

    fakes.clock->stepPerRead = 0.2; // every progress update passes the throttle
    fakes.forwardEvents = true;     // the sheet's events are handled, as in the program
    controller->mainWindow->show();
    AppController::setApplicationDelegate(controller.get());
    bool sheetShownAtClick = false;
    // Runs inside the first progress update's event handling, while the engine is mid-walk.
    QTimer::singleShot(0, controller.get(), [&] {
        sheetShownAtClick = controller->progressWindow->isVisible();
        QTest::mouseClick(controller->progressCancelButton, Qt::LeftButton);
    });
    search(QStringLiteral("match"));
    EXPECT_TRUE(sheetShownAtClick);
    EXPECT_TRUE(controller->cancelAction);
    EXPECT_FALSE(controller->progressCancelButton->isEnabled());
    EXPECT_FALSE(controller->progressWindow->isVisible());
    EXPECT_FALSE(controller->isBusy());
    CVolumeItem* found = controller->recovery()->searchFolder;
    ASSERT_NE(found, nullptr);
    EXPECT_LT(found->children.size(), size_t(kMatches)) << "the search ran to the end";

    search(QStringLiteral("match")); // without Cancel the same search finds every file
    EXPECT_EQ(controller->recovery()->searchFolder->children.size(), size_t(kMatches));
    EXPECT_EQ(controller->tableView->model()->rowCount(), kMatches);
    AppController::setApplicationDelegate(nullptr);
}

TEST_F(EndToEnd, TheDeletedFilesScanShowsWhatItCarved)
{
    // The whole image: the scan walks its free blocks and carves what it recognises.
    click(controller->outlineView, outlineRow(QString(), wholeDisk));
    ASSERT_EQ(controller->disk, wholeDisk);
    ASSERT_NO_FATAL_FAILURE(clickToolbar("DeletedFilesScan"));
    ASSERT_TRUE(controller->scanWindow->isVisible());
    quietly([&] { QTest::mouseClick(controller->startScanButton, Qt::LeftButton); });
    EXPECT_FALSE(controller->isBusy());
    EXPECT_EQ(fakes.played, std::vector<QString>{QStringLiteral("complete.aif")});
    ASSERT_FALSE(fakes.alerts.empty());
    EXPECT_EQ(fakes.alerts.back().title, QStringLiteral("EndOfScan"));
    CVolumeItem* root = controller->recovery()->resultRoot;
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->isDeleted());
    EXPECT_EQ(controller->outlineAdapter()->itemAt(controller->outlineView->model()->index(0, 0)), root)
        << "the outline shows the results";
    EXPECT_EQ(controller->outlineView->selectionMode(), QAbstractItemView::ExtendedSelection);
}

} // namespace
