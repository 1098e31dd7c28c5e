// The disk and scan commands: the engine calls of each command in order, with the views let go of
// the items before the engine frees them; the close-results question; the end-of-scan sound; the
// options sheet; the open-error alert; and the outline's selection deciding the disk and folder.
#include "commandfixture.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableView>

namespace {

using Calls = std::vector<std::string>;

// Records, at each setDisk and scan, whether the table, its folder and the grid's folder were
// already let go of.
void watchViews(CommandHarness& h)
{
    auto check = [&h](const char* when) {
        return [&h, when] {
            EXPECT_EQ(h.controller->tableModel, nullptr) << when;
            EXPECT_EQ(h.controller->folder, nullptr) << when;
            EXPECT_EQ(h.controller->thumbFolder, nullptr) << when;
            EXPECT_EQ(h.controller->tableViewAdapter()->rowCount(), 0) << when;
        };
    };
    h.engine->beforeSetDisk = check("at setDisk");
    h.engine->duringScan = check("at scan");
}

TEST(DiskCommands, CallTheEngineInOrderAfterTheViewsLetGo)
{
    struct Case {
        const char* command;
        std::function<CDisk*(CommandHarness&)> target;
        std::function<void(TestController&)> run;
        Calls calls;
        int sounds;
        int alerts; // end notices
    };
    const Case cases[] = {
        {"browseVolume",
         [](CommandHarness& x) -> CDisk* { return x.partition; },
         [](TestController& c) { c.browseVolume(); },
         {"setDisk", "openExistingVolume"},
         0,
         0},
        {"lostVolumesScan",
         [](CommandHarness& x) -> CDisk* { return x.wholeDisk; },
         [](TestController& c) { c.lostVolumesScan(); },
         {"setDisk", "setScanType(2)", "scan"},
         1,
         0},
        {"lostFilesScan",
         [](CommandHarness& x) -> CDisk* { return x.partition; },
         [](TestController& c) { c.lostFilesScan(); },
         {"setDisk", "setScanType(1)", "scan"},
         1,
         0},
        {"deleted files (Start)",
         [](CommandHarness& x) -> CDisk* { return x.partition; },
         [](TestController& c) {
             c.deletedFilesScan();
             c.scanWindowEndOK();
         },
         {"setDisk", "setEnableSearchText(0)", "setEnableSearchKeywords(0)", "setKeywords", "setScanType(0)", "scan"},
         1,
         1},
        {"chooseDisk",
         [](CommandHarness& x) -> CDisk* { return x.partition; },
         [](TestController& c) { c.chooseDisk(); },
         {"setDisk(none)"},
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        CommandHarness h;
        // A folder of an earlier browse is shown in the table and the grid when the command starts.
        ASSERT_TRUE(h.selectInOutline(h.partition));
        h.controller->browseVolume();
        ASSERT_TRUE(h.selectInOutline(h.resultFolder("Docs")));
        ASSERT_NE(h.controller->tableModel, nullptr);
        h.controller->chooseDisk();
        ASSERT_TRUE(h.selectInOutline(c.target(h)));
        h.engine->calls.clear();
        h.fakes.sound->played.clear();
        h.fakes.alerts->calls.clear();
        watchViews(h);

        quietly([&] { c.run(*h.controller); });
        EXPECT_EQ(h.engine->calls, c.calls);
        EXPECT_EQ(h.fakes.sound->played, std::vector<QString>(size_t(c.sounds), QStringLiteral("complete.aif")));
        EXPECT_EQ(h.fakes.alerts->calls.size(), size_t(c.alerts));
        EXPECT_FALSE(h.controller->isBusy());
        h.engine->beforeSetDisk = nullptr;
        h.engine->duringScan = nullptr;
    }
}

TEST(DiskCommands, ResultTreeCommandsShowTheResultsWithMultipleSelection)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    quietly([&] { h.controller->lostFilesScan(); });
    EXPECT_NE(h.outlineRow(h.engine->resultRoot), QModelIndex());
    EXPECT_TRUE(h.outlineRow(h.resultFolder("Docs")).isValid()) << "the result root is expanded";
    EXPECT_EQ(h.controller->outlineView->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("SelectFilesToRecoverHint"));

    // Back to the disk list: single selection, no folder, the engine holds no disk.
    h.fakes.alerts->answers = {AlertAnswer::Default};
    quietly([&] { h.controller->chooseDisk(); });
    EXPECT_EQ(h.controller->outlineView->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_TRUE(h.outlineRow(h.partition).isValid());
    EXPECT_EQ(h.controller->recovery()->cachedDisk, nullptr);
    EXPECT_EQ(h.controller->mainWindow->windowTitle(), QStringLiteral("Gleaner"));
}

TEST(DiskCommands, ChooseDiskAsksOnlyToCloseScanResults)
{
    struct Case {
        const char* shown;
        std::function<void(CommandHarness&)> show;
        bool asks;
    };
    const Case cases[] = {
        {"the disk list", [](CommandHarness&) {}, false},
        {"a browsed volume", [](CommandHarness& h) { h.controller->browseVolume(); }, false},
        {"lost files", [](CommandHarness& h) { h.controller->lostFilesScan(); }, true},
        {"deleted files",
         [](CommandHarness& h) {
             h.controller->deletedFilesScan();
             h.controller->scanWindowEndOK();
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        CommandHarness h;
        ASSERT_TRUE(h.selectInOutline(h.partition));
        quietly([&] { c.show(h); });
        CAbstractTreeModel* shownTree = h.controller->treeModel;
        h.fakes.alerts->calls.clear();
        h.fakes.alerts->answers = {AlertAnswer::Alternate}; // "No"
        h.engine->calls.clear();
        quietly([&] { h.controller->chooseDisk(); });
        ASSERT_EQ(h.fakes.alerts->calls.size(), c.asks ? 1u : 0u);
        if (c.asks) {
            EXPECT_EQ(h.fakes.alerts->calls[0].title, QStringLiteral("CloseScanResults"));
            EXPECT_EQ(h.fakes.alerts->calls[0].defaultButton, QStringLiteral("Yes"));
            EXPECT_EQ(h.controller->treeModel, shownTree) << "No keeps the results";
            EXPECT_TRUE(h.engine->calls.empty());
        } else {
            EXPECT_EQ(h.engine->calls, Calls{"setDisk(none)"});
        }
    }
}

TEST(DiskCommands, ADiskThatDoesNotOpenShowsTheAlertAndRunsNothing)
{
    for (const char* command : {"browse", "lost files", "deleted files"}) {
        SCOPED_TRACE(command);
        CommandHarness h;
        ASSERT_TRUE(h.selectInOutline(h.partition));
        h.engine->failOpen = true;
        h.engine->calls.clear();
        quietly([&] {
            if (command == std::string("browse"))
                h.controller->browseVolume();
            else if (command == std::string("lost files"))
                h.controller->lostFilesScan();
            else {
                h.controller->deletedFilesScan();
                h.controller->scanWindowEndOK();
            }
        });
        EXPECT_EQ(h.engine->calls, Calls{"setDisk"});
        ASSERT_EQ(h.fakes.alerts->calls.size(), 1u);
        EXPECT_EQ(h.fakes.alerts->calls[0].title, QStringLiteral("ErrorOpeningDisk"));
        EXPECT_TRUE(h.fakes.sound->played.empty());
        // The disk list stays, so another disk can be chosen.
        EXPECT_TRUE(h.outlineRow(h.partition).isValid());
        EXPECT_FALSE(h.controller->isBusy());
    }
}

TEST(DiskCommands, ACancelledScanStillPlaysTheSoundOnceAndEndsWithTheNotice)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.engine->duringScan = [&] { h.controller->progressWindowEndCancel(); };
    quietly([&] {
        h.controller->deletedFilesScan();
        h.controller->scanWindowEndOK();
    });
    EXPECT_EQ(h.fakes.sound->played, std::vector<QString>{QStringLiteral("complete.aif")});
    ASSERT_EQ(h.fakes.alerts->calls.size(), 1u);
    EXPECT_EQ(h.fakes.alerts->calls[0].title, QStringLiteral("EndOfScan"));
}

TEST(DiskCommands, AScanThatCouldNotWorkSaysWhy)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.engine->failure = "the file-type descriptions did not load";
    quietly([&] { h.controller->lostFilesScan(); });
    ASSERT_EQ(h.fakes.alerts->calls.size(), 1u);
    EXPECT_EQ(h.fakes.alerts->calls[0].message, QStringLiteral("the file-type descriptions did not load"));
}

TEST(ScanOptionsSheet, DependentOptionsFollowTheTextSwitchEachTimeItOpens)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.engine->calls.clear();
    for (bool on : {true, false, true}) {
        SCOPED_TRACE(on);
        h.controller->activateTextScanCheckbox->setChecked(on);
        h.controller->deletedFilesScan();
        EXPECT_TRUE(h.controller->scanWindow->isVisible());
        EXPECT_EQ(h.controller->limitTextKeywordsCheckbox->isEnabled(), on);
        EXPECT_EQ(h.controller->scanKeywordsTextView->isReadOnly(), !on);
        // Clicking the switch changes them at once.
        h.controller->activateTextScanCheckbox->click();
        EXPECT_EQ(h.controller->limitTextKeywordsCheckbox->isEnabled(), !on);
        h.controller->activateTextScanCheckbox->click();
        h.controller->scanWindowEndCancel();
        EXPECT_FALSE(h.controller->scanWindow->isVisible());
        EXPECT_EQ(h.controller->scanWindow->result(), 0);
    }
    EXPECT_TRUE(h.engine->calls.empty()) << "Cancel starts nothing";
}

TEST(ScanOptionsSheet, StartPassesTheOptionsAndKeywordsSplitAtLineEndsOnly)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.controller->activateTextScanCheckbox->setChecked(true);
    h.controller->deletedFilesScan();
    h.controller->limitTextKeywordsCheckbox->setChecked(true);
    // A keyword far wider than the view is wrapped on screen but stays one keyword.
    const std::string longWord = "invoice " + std::string(300, 'x');
    h.controller->scanKeywordsTextView->resize(120, 200);
    h.controller->scanKeywordsTextView->setPlainText(QString::fromStdString(longWord) +
                                                     QStringLiteral("\nRechnung\r\n\u00e9t\u00e9"));
    quietly([&] { h.controller->scanWindowEndOK(); });
    EXPECT_EQ(h.controller->scanWindow->result(), 1);
    EXPECT_TRUE(h.engine->enableSearchText);
    EXPECT_TRUE(h.engine->enableSearchKeywords);
    EXPECT_EQ(h.engine->keywords, (std::vector<std::string>{longWord, "Rechnung", "\xc3\xa9t\xc3\xa9"}));
}

TEST(OutlineSelection, DecidesTheDiskTheFolderAndTheTitle)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.wholeDisk));
    EXPECT_EQ(h.controller->disk, h.wholeDisk);
    EXPECT_EQ(h.controller->mainWindow->windowTitle(), QStringLiteral("Gleaner - Disk A (Disk)"));
    ASSERT_TRUE(h.selectInOutline(h.partition));
    EXPECT_EQ(h.controller->mainWindow->windowTitle(), QStringLiteral("Gleaner - Part A1 (Volume)"));

    quietly([&] { h.controller->browseVolume(); });
    EXPECT_EQ(h.controller->disk, nullptr);
    CVolumeItem* docs = h.resultFolder("Docs");
    ASSERT_TRUE(h.selectInOutline(docs));
    EXPECT_EQ(h.controller->folder, docs);
    ASSERT_NE(h.controller->tableModel, nullptr);
    QAbstractItemModel* table = h.controller->tableView->model();
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->index(0, 0).data().toString(), QStringLiteral("a.txt")) << "sorted by name";

    // Sort by size: the bigger file last; the grid reads the same folder.
    h.controller->sortBySize();
    EXPECT_EQ(h.controller->tableView->model()->index(1, 0).data().toString(), QStringLiteral("b.txt"));
    EXPECT_EQ(h.controller->thumbCount(), 0) << "the table tab is in front";
    h.controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(h.controller->thumbCount(), 2);
    EXPECT_EQ(h.controller->thumbFooterAtIndex(1), QStringLiteral("b.txt")) << "the grid has the table's order";
    EXPECT_EQ(h.controller->thumbFolder, docs);
}

TEST(WindowCommands, AboutHelpAndTheViewer)
{
    CommandHarness h;
    h.controller->about();
    EXPECT_EQ(h.fakes.about->shown, std::vector<QString>{QStringLiteral("Gleaner")});
    h.controller->help();
    ASSERT_EQ(h.fakes.opener->opened.size(), 1u);
    EXPECT_TRUE(h.fakes.opener->opened[0].endsWith(QStringLiteral("/help.html")));
    EXPECT_FALSE(h.controller->viewerWindow->isVisible());
    h.controller->toggleViewer();
    EXPECT_TRUE(h.controller->viewerWindow->isVisible());
    h.controller->toggleViewer();
    EXPECT_FALSE(h.controller->viewerWindow->isVisible());
}

TEST(WindowCommands, HelpWithoutAHelpFileOpensNothing)
{
    CommandHarness h(false, [](FakeServices& fakes) { fakes.info->erase(QStringLiteral("HelpFile")); });
    h.controller->help();
    EXPECT_TRUE(h.fakes.opener->opened.empty());
}

} // namespace
