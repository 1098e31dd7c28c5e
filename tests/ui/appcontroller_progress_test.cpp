// The progress sheet and the engine's events: the throttle, Cancel, the bar, the views the events
// mark for a reload, the overwrite question, and what happens while an operation runs.
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QGuiApplication>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

namespace {

class ProgressSheet : public testing::Test {
protected:
    void SetUp() override
    {
        controller = loadedController(fakes);
        AppController::setApplicationDelegate(controller.get());
    }
    void TearDown() override { AppController::setApplicationDelegate(nullptr); }
    // Opens the sheet of a save, or of the operation whose message and title keys are given.
    bool begin(const char* message = "SavingPleaseWait", const char* title = "SaveProgress")
    {
        return controller->beginProgressSheet(QLatin1String(message), QLatin1String(title));
    }

    FakeServices fakes;
    std::unique_ptr<TestController> controller;
};

TEST_F(ProgressSheet, AcceptsAnUpdateAtMostEveryTenthOfASecond)
{
    struct Case {
        double at;
        bool accepted;
    };
    // The first update is always taken; later ones only 0.1 s after the last one taken.
    const Case cases[] = {{0.0, true}, {0.05, false}, {0.099, false}, {0.1, true}, {0.15, false}, {0.35, true}};
    controller->cancelAction = true;
    const double start = fakes.clock->time;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "update at " << c.at << " s");
        fakes.clock->time = start + c.at;
        bool cancel = false;
        const int pumped = fakes.pump->count;
        begin("ScanningLostFilesPleaseWait", "ScanProgress");
        controller->cancelAction = true;
        controller->progressEvent(50, &cancel);
        // A rejected update does nothing at all: no cancel check, no event handling.
        EXPECT_EQ(cancel, c.accepted);
        EXPECT_EQ(fakes.pump->count - pumped, c.accepted ? 1 : 0);
        controller->endProgressSheet();
    }
}

TEST_F(ProgressSheet, CancelButtonReachesTheEnginesFlagAtTheNextAcceptedUpdate)
{
    fakes.clock->stepPerRead = 0.2;
    ASSERT_TRUE(begin());
    bool cancel = false;
    controller->progressEvent(10, &cancel);
    EXPECT_FALSE(cancel);

    controller->progressCancelButton->click();
    EXPECT_FALSE(cancel) << "the engine sees Cancel only through a progress update";
    controller->progressEvent(20, &cancel);
    EXPECT_TRUE(cancel);
    EXPECT_FALSE(controller->progressCancelButton->isEnabled());
    // Every later update of the same operation cancels again.
    bool again = false;
    controller->progressEvent(30, &again);
    EXPECT_TRUE(again);
    controller->endProgressSheet();

    // The next operation starts uncancelled, with Cancel enabled.
    ASSERT_TRUE(begin());
    bool fresh = false;
    controller->progressEvent(10, &fresh);
    EXPECT_FALSE(fresh);
    EXPECT_TRUE(controller->progressCancelButton->isEnabled());
    controller->endProgressSheet();
}

TEST_F(ProgressSheet, EscapeOnTheSheetMeansCancelAndLeavesItUp)
{
    ASSERT_TRUE(begin("SearchingFilesPleaseWait", "SearchProgress"));
    ASSERT_TRUE(controller->progressWindow->isVisible());
    QTest::keyClick(controller->progressWindow, Qt::Key_Escape);
    EXPECT_TRUE(controller->cancelAction);
    EXPECT_TRUE(controller->progressWindow->isVisible());
    controller->progressWindow->close();
    EXPECT_TRUE(controller->progressWindow->isVisible());
    controller->endProgressSheet();
    EXPECT_FALSE(controller->progressWindow->isVisible());
}

TEST_F(ProgressSheet, BarStartsMovingAndTurnsDeterminateAtTheFirstPercentage)
{
    fakes.clock->stepPerRead = 0.2;
    QProgressBar* bar = controller->progressIndicator;
    ASSERT_TRUE(begin("ScanningLostFilesPleaseWait", "ScanProgress"));
    bool cancel = false;
    controller->progressEvent(0, &cancel);
    EXPECT_EQ(bar->maximum(), 0) << "indeterminate";
    controller->progressEvent(12.5, &cancel);
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_DOUBLE_EQ(100.0 * (bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum()), 12.5);
    controller->endProgressSheet();
    // The next sheet does not show the last operation's bar.
    ASSERT_TRUE(begin("ScanningLostFilesPleaseWait", "ScanProgress"));
    EXPECT_EQ(bar->maximum(), 0);
    controller->endProgressSheet();
}

TEST_F(ProgressSheet, EngineEventsMarkTheViewsForReloadAndExpansion)
{
    CRecovery* engine = controller->rec;
    CVolumeItem shown(true), other(true), results(true);
    engine->searchFolder = &results;
    controller->folder = &shown;
    struct Case {
        const char* event;
        CVolumeItem* item; // null: the disk list changed
        bool outline, expand, table;
    };
    const Case cases[] = {
        {"the folder the table shows", &shown, true, true, true},
        {"another item", &other, true, true, false},
        {"the search results", &results, true, false, false},
        {"the disk list", nullptr, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        controller->updateOutlineViewPending = controller->expandOutlineViewPending = false;
        controller->updateTableViewPending = false;
        if (c.item)
            controller->statusListener->itemChanged(c.item);
        else
            controller->statusListener->diskListChanged();
        EXPECT_EQ(controller->updateOutlineViewPending, c.outline);
        EXPECT_EQ(controller->expandOutlineViewPending, c.expand);
        EXPECT_EQ(controller->updateTableViewPending, c.table);
    }
    // The next accepted update consumes the marks.
    bool cancel = false;
    controller->progressEvent(5, &cancel);
    EXPECT_FALSE(controller->updateOutlineViewPending);
    EXPECT_FALSE(controller->expandOutlineViewPending);
    engine->searchFolder = nullptr;
    controller->folder = nullptr;
}

TEST_F(ProgressSheet, ExpansionOpensOnlyTheFirstRowAfterALostFilesScanAndEverythingOtherwise)
{
    auto* model = new QStandardItemModel(controller.get());
    for (const char* top : {"Disk A", "Disk B"}) {
        auto* row = new QStandardItem(QLatin1String(top));
        auto* child = new QStandardItem(QStringLiteral("child"));
        child->appendRow(new QStandardItem(QStringLiteral("grandchild")));
        row->appendRow(child);
        model->appendRow(row);
    }
    QTreeView* outline = controller->outlineView;
    outline->setModel(model);
    const QModelIndex first = model->index(0, 0), second = model->index(1, 0);
    const QModelIndex firstChild = model->index(0, 0, first), secondChild = model->index(0, 0, second);

    controller->rec->setScanType(ScanLostFiles);
    controller->expandOutlineView();
    EXPECT_TRUE(outline->isExpanded(first));
    EXPECT_FALSE(outline->isExpanded(firstChild));
    EXPECT_FALSE(outline->isExpanded(second));

    outline->collapseAll();
    controller->rec->setScanType(ScanDeletedFiles);
    controller->expandOutlineView();
    for (const QModelIndex& index : {first, firstChild, second, secondChild})
        EXPECT_TRUE(outline->isExpanded(index)) << index.data().toString().toStdString();
}

TEST_F(ProgressSheet, OverwriteAnswerSetsExactlyOneFlag)
{
    (*fakes.texts)[QStringLiteral("AskOverwriteFile")] = QStringLiteral("Replace %@?");
    struct Case {
        AlertAnswer answer;
        bool overwrite, skip, cancel;
    };
    const Case cases[] = {{AlertAnswer::Default, true, false, false},
                          {AlertAnswer::Alternate, false, true, false},
                          {AlertAnswer::Other, false, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.answer));
        fakes.alerts->answers = {c.answer};
        bool overwrite = true, skip = true, cancel = true; // the engine clears them; stale values must not stay
        controller->statusListener->askOverwrite("/tmp/50%1 %@ done", &overwrite, &skip, &cancel);
        EXPECT_EQ(overwrite, c.overwrite);
        EXPECT_EQ(skip, c.skip);
        EXPECT_EQ(cancel, c.cancel);
    }
    ASSERT_FALSE(fakes.alerts->calls.empty());
    // The path is data: its "%1" and "%@" are shown as they are.
    EXPECT_EQ(fakes.alerts->calls.back().message, QStringLiteral("Replace /tmp/50%1 %@ done?"));
    EXPECT_EQ(fakes.alerts->calls.back().defaultButton, QStringLiteral("Yes"));
    EXPECT_EQ(fakes.alerts->calls.back().otherButton, QStringLiteral("Cancel"));
}

TEST_F(ProgressSheet, UpdateWhileTheLockIsTakenReturnsAtOnce)
{
    controller->cancelAction = true;
    std::lock_guard<std::mutex> held(controller->theLock);
    bool cancel = false;
    controller->progressEvent(40, &cancel); // would never return if it waited for the lock
    EXPECT_FALSE(cancel);
}

TEST_F(ProgressSheet, SecondOperationIsRefusedWhileOneRuns)
{
    ASSERT_TRUE(begin());
    EXPECT_TRUE(controller->isBusy());
    EXPECT_FALSE(begin("SearchingFilesPleaseWait", "SearchProgress"));
    EXPECT_EQ(controller->progressWindow->windowTitle(), QStringLiteral("SaveProgress"));
    controller->endProgressSheet();
    EXPECT_FALSE(controller->isBusy());
}

TEST_F(ProgressSheet, ClosingTheWindowWhileBusyCancelsAndClosesOnceTheEngineReturns)
{
    controller->mainWindow->show();
    ASSERT_TRUE(begin());
    // No modal window blocks the main one, or Qt would drop the window manager's close request;
    // its views are off instead.
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    EXPECT_FALSE(controller->mainWindow->centralWidget()->isEnabled());
    controller->mainWindow->close();
    EXPECT_TRUE(controller->mainWindow->isVisible());
    EXPECT_TRUE(controller->cancelAction);
    EXPECT_TRUE(controller->isQuitting());
    // Alerts of the winding-up command answer without showing.
    EXPECT_EQ(
        controller->showAlert(QStringLiteral("EndOfScan"), QStringLiteral("EndOfScanNotice"), QStringLiteral("OK")),
        AlertAnswer::Default);
    // The save's next existing file is not asked about: the answer is Cancel.
    bool overwrite = true, skip = true, cancel = false;
    controller->statusListener->askOverwrite("/tmp/a.jpg", &overwrite, &skip, &cancel);
    EXPECT_TRUE(cancel);
    EXPECT_FALSE(overwrite || skip);
    EXPECT_TRUE(fakes.alerts->calls.empty());

    controller->endProgressSheet();
    // A command going on to a second engine call gets no new sheet, which would clear the cancel.
    EXPECT_FALSE(begin());
    EXPECT_TRUE(controller->cancelAction);
    QCoreApplication::processEvents();
    EXPECT_FALSE(controller->mainWindow->isVisible());
    EXPECT_TRUE(controller->mainWindow->centralWidget()->isEnabled());
}

} // namespace
