// The main window's commands over a recording engine, then end to end over a real volume made by xorriso.
#include "EngineLock.h"
#include "QuilThumbnailView.h"
#include "SaveTarget.h"
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "bigendian.h"
#include "hfsformat.h"
#include "hfsimagebuilder.h"
#include "partitiondisk.h"
#include "recoveryfixture.h"
#include "samplefiles.h"
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCursor>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QWidgetAction>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
std::string namesOf(const std::vector<CVolumeItem*>& items)
{
    std::string names;
    for (CVolumeItem* item : items)
        names += (names.empty() ? "" : " ") + item->getName();
    return names;
}
// Records the engine calls with their arguments; setDisk is real, a scan builds results without reading.
class RecordingRecovery : public CRecovery {
public:
    bool setDisk(CDisk* disk) override
    {
        calls += disk ? " setDisk" : " setDisk(none)";
        if (beforeSetDisk)
            beforeSetDisk();
        bool opened = false;
        quietly([&] { opened = CRecovery::setDisk(failOpen ? nullptr : disk); });
        return opened && !failOpen;
    }
    void openExistingVolume() override
    {
        calls += " openExistingVolume";
        if (realVolume)
            quietly([&] { CRecovery::openExistingVolume(); });
        else
            buildResults(0, "Browsed");
    }
    void scan() override
    {
        calls += " scan(" + std::to_string(scanType) + (enableSearchText ? ",text" : "") +
                 (enableSearchKeywords ? ",keywords" : "") + ")";
        scanFailure = failure;
        scanReadErrors = readErrors;
        if (duringScan)
            duringScan();
        if (scanType != ScanLostVolumes)
            buildResults(scanType == ScanDeletedFiles ? ItemDeleted : ItemLost, "Results");
    }
    bool save(const std::vector<CVolumeItem*>& items, const std::string& folder) override
    {
        calls += " save(" + namesOf(items) + " to " + folder + ")";
        incompleteFiles = incomplete;
        return incomplete.empty();
    }
    bool saveReport(const std::vector<CVolumeItem*>& items, const std::string& path, const std::string& title,
                    const std::string& footer) override
    {
        calls += " saveReport(" + namesOf(items) + " to " + path + ", " + footer + ")";
        reportTitle = title;
        if (duringReport)
            duringReport();
        if (realReport)
            return CRecovery::saveReport(items, path, title, footer);
        return !failReport;
    }
    // A result root (flags as given) with the folder "Docs" holding "b.txt" and "a.txt".
    void buildResults(char flags, const std::string& rootName)
    {
        if (!cachedDisk)
            return;
        quietly([&] {
            delete volume;
            volume = new CHFSVolume(cachedDisk);
            volume->createRoot(rootName);
            resultRoot = volume->getRoot();
            resultRoot->setContainer(true);
            resultRoot->setFlags(flags);
            CVolumeItem* docs = addFolder(resultRoot, "Docs");
            docs->setFlags(flags);
            addFile(docs, "b.txt", std::vector<uint8_t>(300, 'b'))->setFlags(flags);
            addFile(docs, "a.txt", std::vector<uint8_t>(20, 'a'))->setFlags(flags);
        });
    }
    std::string takeCalls()
    {
        const std::string taken = std::exchange(calls, {});
        return taken.empty() ? taken : taken.substr(1);
    }
    std::string calls;
    bool failOpen = false;
    bool failReport = false;
    bool realReport = false;             // the engine's own report, with its progress events
    std::string failure;                 // what the next scan reports it could not do
    int64_t readErrors = 0;              // the sectors the next scan reports it could not read
    bool realVolume = false;             // a browse mounts the volume on the disk
    std::vector<std::string> incomplete; // what the next save reports it did not save whole
    std::function<void()> beforeSetDisk, duringScan, duringReport;
    std::string reportTitle;
};
// A main window over "Disk A" holding "Part A1" and the recording engine, or over a volume and a real engine.
struct CommandHarness {
    explicit CommandHarness(const std::function<void(FakeServices&)>& configure = {}, XorrisoDisk* volume = nullptr)
    {
        auto s = fakes.services();
        if (!volume)
            s.makeRecovery = [this] { return engine = new RecordingRecovery(); };
        s.makeDiskManager = [this, volume] {
            auto* manager = new FixedDiskManager();
            if (volume) {
                manager->addDisk(wholeDisk = volume->disk.release());
                return manager;
            }
            auto* memoryDisk = new CMemoryDisk(512, 8192, "/test/diskA");
            wholeDisk = memoryDisk;
            wholeDisk->setName("Disk A");
            partition = new CPartitionDisk(memoryDisk, 64, 8191);
            partition->setName("Part A1");
            partition->setWholeDisk(false);
            wholeDisk->addPartition(partition);
            manager->addDisk(wholeDisk);
            return manager;
        };
        fakes.info = {{"AppName", "Gleaner"},
                      {"AppNameShort", "Gleaner"},
                      {"NSHumanReadableCopyright", "(c) the makers"},
                      {"HelpFile", "help.html"}};
        if (configure)
            configure(fakes);
        quietly([&] {
            controller = std::make_unique<TestController>(s);
            controller->awakeFromNib();
        });
    }
    ~CommandHarness()
    {
        quietly([&] { controller.reset(); });
    }
    void command(void (AppController::*run)())
    {
        quietly([&] {
            (controller.get()->*run)();
            if (controller->scanWindow->isVisible())
                controller->scanWindowEndOK();
        });
    }
    QModelIndex outlineRow(const CBase* item, const QModelIndex& parent = {}) const
    {
        QAbstractItemModel* model = controller->outlineView->model();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex index = model->index(row, 0, parent);
            if (controller->outlineAdapter()->itemAt(index) == item)
                return index;
            if (const QModelIndex found = outlineRow(item, index); found.isValid())
                return found;
        }
        return {};
    }
    bool selectInOutline(const CBase* item)
    {
        const QModelIndex index = outlineRow(item);
        const auto flags = QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
        quietly([&] { controller->outlineView->selectionModel()->setCurrentIndex(index, flags); });
        return index.isValid();
    }
    void browseDocs()
    {
        EXPECT_TRUE(selectInOutline(partition));
        quietly([&] { controller->browseVolume(); });
        EXPECT_TRUE(selectInOutline(resultFolder("Docs")));
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
    // '1' per enabled command: ChooseDisk Browse Deleted Lost LostVolumes Save Report Viewer Help About Search.
    std::string enabledCommands() const
    {
        std::string enabled;
        for (const char* id : {"ChooseDisk", "BrowseVolume", "DeletedFilesScan", "LostFilesScan", "LostVolumesScan",
                               "Save", "SaveFileList", "ToggleViewer", "Help", "About", "Search"})
            enabled += toolbarView(id)->isEnabled() ? '1' : '0';
        return enabled;
    }
    QWidget* toolbarView(const char* identifier) const
    {
        auto* item = qobject_cast<QWidgetAction*>(controller->toolbarItem(QLatin1String(identifier)));
        return item ? item->defaultWidget() : nullptr;
    }
    CVolumeItem* resultFolder(const char* name) const
    {
        if (CVolumeItem* root = controller->recovery()->resultRoot)
            for (CVolumeItem* child : root->children)
                if (child->getName() == name)
                    return child;
        return nullptr;
    }
    FakeServices fakes;
    RecordingRecovery* engine = nullptr; // owned by the controller; null over a volume
    CDisk* wholeDisk = nullptr;          // owned by the disk manager
    CPartitionDisk* partition = nullptr; // owned by wholeDisk; null over a volume
    std::unique_ptr<TestController> controller;
};
TEST(DiskCommands, CallTheEngineInOrderAfterTheViewsLetGoAndOnlyScanResultsAskBeforeClosing)
{
    struct Case {
        const char* name;
        void (AppController::*command)();
        bool wholeDisk, failOpen;
        const char* calls;
        int sounds;
        const char* alerts;
        bool diskListAfter, asksToClose;
        const char* enabledAfter; // as enabledCommands(): the chosen disk stays chosen over a new result tree
    };
    const Case cases[] = {
        {"browse", &AppController::browseVolume, false, false, "setDisk openExistingVolume", 0, "", false, false,
         "11110001111"},
        {"lost volumes", &AppController::lostVolumesScan, true, false, "setDisk scan(2)", 1, "", true, false,
         "10111001110"},
        {"lost files", &AppController::lostFilesScan, false, false, "setDisk scan(1)", 1, "", false, true,
         "11110001111"},
        {"deleted files", &AppController::deletedFilesScan, false, false, "setDisk scan(0)", 1, "EndOfScan", false,
         true, "11110001111"},
        {"choose disk", &AppController::chooseDisk, false, false, "setDisk(none)", 0, "", true, false, "10000001110"},
        {"browse", &AppController::browseVolume, false, true, "setDisk", 0, "ErrorOpeningDisk", true, false,
         "11110001110"},
        {"lost files", &AppController::lostFilesScan, false, true, "setDisk", 0, "ErrorOpeningDisk", true, false,
         "11110001110"},
        {"deleted files", &AppController::deletedFilesScan, false, true, "setDisk", 0, "ErrorOpeningDisk", true, false,
         "11110001110"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << (c.failOpen ? ", the disk does not open" : ""));
        CommandHarness h;
        h.browseDocs(); // the views show an earlier browse's folder when the command starts
        h.command(&AppController::chooseDisk);
        ASSERT_TRUE(h.selectInOutline(c.wholeDisk ? h.wholeDisk : h.partition));
        h.engine->takeCalls();
        h.engine->failOpen = c.failOpen;
        h.engine->beforeSetDisk = h.engine->duringScan = [&h] {
            EXPECT_EQ(h.controller->tableModel, nullptr);
            EXPECT_EQ(h.controller->thumbFolder, nullptr);
            EXPECT_EQ(h.controller->tableViewAdapter()->rowCount(), 0);
        };
        h.command(c.command);
        EXPECT_EQ(h.engine->takeCalls(), c.calls);
        EXPECT_EQ(h.fakes.played, std::vector<QString>(size_t(c.sounds), QStringLiteral("complete.aif")));
        EXPECT_EQ(h.fakes.titles.join(' '), c.alerts);
        EXPECT_EQ(h.outlineRow(h.partition).isValid(), c.diskListAfter);
        EXPECT_EQ(h.enabledCommands(), c.enabledAfter);
        if (c.diskListAfter)
            continue;
        // Results allow multiple selection; going back to the disk list asks first after a scan only.
        EXPECT_EQ(h.controller->outlineView->selectionMode(), QAbstractItemView::ExtendedSelection);
        h.fakes.titles.clear();
        h.fakes.answers = {AlertAnswer::Alternate};
        h.command(&AppController::chooseDisk);
        EXPECT_EQ(h.fakes.titles.join(' '), c.asksToClose ? "CloseScanResults" : "");
        if (c.asksToClose)
            h.command(&AppController::chooseDisk);
        EXPECT_EQ(h.engine->takeCalls(), "setDisk(none)");
        EXPECT_EQ(h.controller->outlineView->selectionMode(), QAbstractItemView::SingleSelection);
        EXPECT_EQ(h.controller->mainWindow->windowTitle(), QStringLiteral("Gleaner"));
    }
}
TEST(DiskCommands, ACommandRunOverAnotherCommandsResultsKeepsTheDiskChosen)
{
    using Command = void (AppController::*)();
    const std::pair<Command, Command> cases[] = {
        {&AppController::browseVolume, &AppController::browseVolume},
        {&AppController::browseVolume, &AppController::lostFilesScan},
        {&AppController::deletedFilesScan, &AppController::lostFilesScan},
        {&AppController::lostFilesScan, &AppController::deletedFilesScan},
    };
    for (const auto& [first, second] : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&first - &cases[0].first) / 2);
        CommandHarness h;
        ASSERT_TRUE(h.selectInOutline(h.partition));
        h.command(first);
        h.command(second);
        EXPECT_EQ(h.enabledCommands(), "11110001111");
    }
}
TEST(DiskCommands, ACancelledScanStillPlaysTheSoundOnceAndAScanThatCouldNotWorkSaysWhy)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.engine->duringScan = [&] { h.controller->progressWindowEndCancel(); };
    h.engine->failure = "the file-type descriptions did not load";
    h.command(&AppController::deletedFilesScan);
    EXPECT_EQ(h.fakes.played, std::vector<QString>{QStringLiteral("complete.aif")});
    ASSERT_EQ(h.fakes.titles.join(' '), "EndOfScan EndOfScan");
    EXPECT_EQ(h.fakes.messages[1], QStringLiteral("the file-type descriptions did not load"));
}
// A scan that met unreadable sectors says how many in its end notice; one that met none says nothing more.
TEST(DiskCommands, AScanThatCouldNotReadSectorsSaysHowManyAtItsEnd)
{
    const struct {
        void (AppController::*command)();
        bool wholeDisk;
        const char* notice; // the end notice without the sectors
    } cases[] = {{&AppController::lostVolumesScan, true, ""},
                 {&AppController::lostFilesScan, false, ""},
                 {&AppController::deletedFilesScan, false, "EndOfScanNotice\n\n"}};
    for (const auto& c : cases) {
        for (const int64_t sectors : {0, 204928}) {
            SCOPED_TRACE(testing::Message() << c.notice << sectors << " sectors");
            CommandHarness h([](FakeServices& f) { f.texts = {{"ScanReadErrorsNotice", "%@ unreadable"}}; });
            ASSERT_TRUE(h.selectInOutline(c.wholeDisk ? h.wholeDisk : h.partition));
            h.engine->readErrors = sectors;
            h.command(c.command);
            const QString expected = sectors ? QString::fromLatin1(c.notice) + QStringLiteral("204,928 unreadable")
                                             : QString::fromLatin1(c.notice);
            EXPECT_EQ(h.fakes.messages.join(QLatin1Char('|')),
                      expected.endsWith('\n') ? expected.chopped(2) : expected);
        }
    }
}
// A damaged volume is told once per browse, also when the damage is met only as folders are listed;
// a sound volume is not.
TEST(DiskCommands, BrowsingADamagedVolumeTellsItsDamageOncePerBrowse)
{
    // Two records a leaf: the volume's name, the root's listing and inner's lie in different leaves.
    HfsImageBuilder builder({.volumeName = "Hurt", .catalog = {.nodeSize = 512, .maxLeafRecords = 2}});
    const uint32_t inner = builder.addFolder(builder.addFolder(kHfsRootFolderID, "docs"), "inner");
    builder.addFile(inner, "deep", {});
    builder.addFile(kHfsRootFolderID, "a.txt", std::vector<uint8_t>(5, 'a'));
    const HfsImage sound = builder.build();
    const auto leafBlock = [&](uint32_t parent, const char* name) {
        return int64_t(sound.nodeOffset(HfsTree::Catalog, sound.findCatalogRecord(parent, name)->node) / 512);
    };
    const HfsRecordPlace* a = sound.findCatalogRecord(kHfsRootFolderID, "a.txt");
    const uint64_t aRecord = sound.recordOffset(HfsTree::Catalog, a->node, a->index);
    const uint64_t aFork = aRecord + 2 + loadBig16(&sound.bytes[aRecord]) + kCRDataFork;
    const struct {
        const char* name;
        std::function<void(HfsImage&, std::set<int64_t>&)> damage;
        const char* told;
    } cases[] = {
        {"sound", [](HfsImage&, std::set<int64_t>&) {}, ""},
        {"the volume name's catalog leaf unreadable",
         [&](HfsImage&, std::set<int64_t>& f) { f.insert(leafBlock(kHfsRootParentID, "Hurt")); },
         "CatalogDamagedNotice"},
        {"inner's catalog leaf unreadable, met when docs opens and shows it",
         [&](HfsImage&, std::set<int64_t>& f) { f.insert(leafBlock(inner, "deep")); }, "CatalogDamagedNotice"},
        {"a file of 2^63 bytes", [&](HfsImage& i, std::set<int64_t>&) { i.put32(aFork, 0x7FFFFFFF); },
         "CatalogDamagedNotice"},
        {"a volume longer than its partition",
         [](HfsImage& i, std::set<int64_t>&) { i.put32(kHFSVolumeHeaderOffset + kVHTotalBlocks, 0x100000); },
         "VolumeTruncatedNotice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CommandHarness h;
        HfsImage image = sound;
        std::set<int64_t> failing;
        c.damage(image, failing);
        auto* disk = static_cast<CMemoryDisk*>(h.wholeDisk);
        std::copy(image.bytes.begin(), image.bytes.end(), disk->bytes.begin() + 64 * 512);
        for (const int64_t block : failing)
            disk->failingBlocks.insert(64 + block);
        h.engine->realVolume = true;
        for (int browse = 0; browse < 2; ++browse) {
            ASSERT_TRUE(h.selectInOutline(h.partition));
            h.fakes.messages.clear();
            h.command(&AppController::browseVolume);
            // The outline lists a folder when it shows the folder's row: inner's when docs opens.
            h.controller->mainWindow->show();
            h.controller->outlineView->expand(h.outlineRow(h.resultFolder("docs")));
            quietly([] { QCoreApplication::processEvents(); });
            for (int tick = 0; tick < 3; ++tick)
                h.controller->timer();
            EXPECT_EQ(h.fakes.messages.join(QLatin1Char('|')), QLatin1String(c.told)) << "browse " << browse;
            EXPECT_EQ(h.controller->helpText, *c.told == 'C' ? QStringLiteral("DamagedVolumeHint")
                                                             : QStringLiteral("SelectFilesToRecoverHint"));
            h.command(&AppController::chooseDisk);
        }
    }
}
TEST(ScanOptionsSheet, DependentOptionsFollowTheTextSwitchAndStartPassesThemWithTheKeywordsSplitAtLineEnds)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.engine->takeCalls();
    h.controller->activateTextScanCheckbox->setChecked(false);
    h.controller->deletedFilesScan();
    EXPECT_FALSE(h.controller->limitTextKeywordsCheckbox->isEnabled());
    h.controller->activateTextScanCheckbox->click(); // clicking the switch changes them at once
    EXPECT_TRUE(h.controller->limitTextKeywordsCheckbox->isEnabled());
    h.controller->scanWindowEndCancel();
    EXPECT_EQ(h.engine->takeCalls(), "") << "Cancel starts nothing";
    h.controller->activateTextScanCheckbox->setChecked(true);
    h.controller->deletedFilesScan();
    h.controller->limitTextKeywordsCheckbox->setChecked(true);
    // A keyword far wider than the view is wrapped on screen but stays one keyword.
    const std::string longWord = "invoice " + std::string(300, 'x');
    h.controller->scanKeywordsTextView->resize(120, 200);
    h.controller->scanKeywordsTextView->setPlainText(QString::fromStdString(longWord) +
                                                     QStringLiteral("\nRechnung\r\n\u00e9t\u00e9"));
    quietly([&] { h.controller->scanWindowEndOK(); });
    EXPECT_EQ(h.engine->takeCalls(), "setDisk scan(0,text,keywords)");
    EXPECT_EQ(h.engine->keywords, (std::vector<std::string>{longWord, "Rechnung", "\xc3\xa9t\xc3\xa9"}));
}
TEST(MainWindow, TheOutlineSelectionDecidesTheCommandsAndTheTitleAboutHelpAndTheViewerOpenAndHoversHint)
{
    CommandHarness h;
    EXPECT_EQ(h.enabledCommands(), "10000001110");
    QLabel* searchLabel = h.toolbarView("Search")->findChild<QLabel*>();
    ASSERT_NE(searchLabel, nullptr);
    EXPECT_EQ(searchLabel->text(), QStringLiteral("Search")) << "the search item is labelled as the commands are";
    const QModelIndex diskRow = h.outlineRow(h.wholeDisk);
    EXPECT_EQ(h.controller->outlineView->itemDelegate()->sizeHint(QStyleOptionViewItem(), diskRow) -
                  QStyledItemDelegate().sizeHint(QStyleOptionViewItem(), diskRow),
              QSize(10, 2))
        << "the outline's cells are spaced";
    ASSERT_TRUE(h.selectInOutline(h.wholeDisk));
    EXPECT_EQ(h.controller->mainWindow->windowTitle(), QStringLiteral("Gleaner - Disk A (Disk)"));
    EXPECT_EQ(h.enabledCommands(), "10111001110");
    ASSERT_TRUE(h.selectInOutline(h.partition));
    EXPECT_EQ(h.controller->mainWindow->windowTitle(), QStringLiteral("Gleaner - Part A1 (Volume)"));
    EXPECT_EQ(h.enabledCommands(), "11110001110");
    h.browseDocs();
    EXPECT_EQ(h.enabledCommands(), "10000111111");
    EXPECT_EQ(h.controller->tableView->model()->index(0, 0).data().toString(), QStringLiteral("a.txt"));
    h.controller->sortBySize();
    EXPECT_EQ(h.controller->tableView->model()->index(1, 0).data().toString(), QStringLiteral("b.txt"));
    EXPECT_EQ(h.controller->thumbCount(), 0) << "the table tab is in front";
    h.controller->about();
    EXPECT_EQ(h.fakes.about, std::vector<QString>{QStringLiteral("Gleaner")});
    h.controller->help();
    ASSERT_EQ(h.fakes.opened.size(), 1u);
    EXPECT_TRUE(h.fakes.opened[0].endsWith(QStringLiteral("/help.html")));
    // The viewer opens inside the screen, also when it was left partly beyond its edge.
    const QRect area = h.controller->mainWindow->screen()->availableGeometry();
    for (const QPoint at : {QPoint(), area.bottomRight() - QPoint(20, 20)}) {
        if (!at.isNull())
            h.controller->viewerWindow->move(at);
        h.controller->toggleViewer();
        EXPECT_TRUE(h.controller->viewerWindow->isVisible());
        EXPECT_TRUE(area.contains(h.controller->viewerWindow->frameGeometry()))
            << h.controller->viewerWindow->frameGeometry().bottom() << " " << area.bottom();
        h.controller->toggleViewer();
        EXPECT_FALSE(h.controller->viewerWindow->isVisible());
    }
    CommandHarness bare([](FakeServices& fakes) { fakes.info.erase(QStringLiteral("HelpFile")); });
    bare.controller->help();
    EXPECT_TRUE(bare.fakes.opened.empty()) << "no help file, nothing opened";
    // An emptied outline selection leaves the table as it was, and the grid shows the same rows.
    quietly([&] { h.controller->outlineView->clearSelection(); });
    EXPECT_EQ(h.controller->folder, nullptr);
    EXPECT_EQ(h.enabledCommands(), "10000001111");
    h.controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(h.controller->thumbCount(), 2);
    EXPECT_EQ(h.controller->thumbFooterAtIndex(1), QStringLiteral("b.txt")) << "the grid has the table's order";
    EXPECT_EQ(h.controller->thumbFolder, h.resultFolder("Docs"));
    h.controller->helpText = QStringLiteral("before");
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(h.toolbarView("BrowseVolume"), &enter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("before")) << "a disabled button leaves the hint line alone";
    QWidget* about = h.toolbarView("About");
    QCoreApplication::sendEvent(about, &enter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("AboutToolHint"));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(about, &leave);
    QCoreApplication::sendEvent(about, &enter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("AboutToolHint")) << "leaving keeps the hint";
    // A sheet closing over the button enters it again where the pointer left it: that is no hover.
    h.controller->helpText = QStringLiteral("SelectFilesToRecoverHint");
    QCoreApplication::sendEvent(about, &leave);
    const QPointF still = QCursor::pos();
    QEnterEvent reenter(QPointF(2, 2), still, still);
    QCoreApplication::sendEvent(about, &reenter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("SelectFilesToRecoverHint"));
}
TEST(SaveCommand, SavesTheChosenRowsElseTheFolderKeepsThemOverAReloadWritesTheReportAndSaysWhatFailed)
{
    CommandHarness h([](FakeServices& fakes) {
        fakes.texts[QStringLiteral("AppFileListReportOnDate")] = QStringLiteral("%@ list of %@");
        // A name is data, never a format.
        fakes.info[QStringLiteral("AppName")] = QStringLiteral("Glea%@ner %d");
    });
    h.browseDocs();
    quietly([&] {
        h.controller->save();
        h.controller->saveReport();
    });
    EXPECT_EQ(h.engine->takeCalls(), "") << "the panels were cancelled: nothing is written";
    EXPECT_EQ(h.fakes.suggestedNames, std::vector<QString>{QStringLiteral("report.html")});
    h.fakes.messages.clear();
    h.fakes.saveAnswer = QStringLiteral("/tmp/out/list");
    h.selectTableRows({0});
    quietly([&] { h.controller->saveReport(); });
    EXPECT_EQ(h.engine->takeCalls(), "saveReport(a.txt to /tmp/out/list.html, (c) the makers)");
    EXPECT_EQ(h.engine->reportTitle.substr(0, 21), "Glea%@ner %d list of ") << h.engine->reportTitle;
    h.fakes.saveAnswer = QStringLiteral("/tmp/out/a.HTM");
    quietly([&] { h.controller->saveReport(); });
    EXPECT_EQ(h.engine->takeCalls(), "saveReport(a.txt to /tmp/out/a.HTM, (c) the makers)") << "an HTML name stays";
    h.engine->failReport = true;
    h.fakes.saveAnswer = QStringLiteral("/nonexistent/folder/report.html");
    quietly([&] { h.controller->saveReport(); });
    EXPECT_EQ(h.engine->takeCalls(), "saveReport(a.txt to /nonexistent/folder/report.html, (c) the makers)");
    EXPECT_EQ(h.fakes.messages, QStringList{QStringLiteral("SaveReportFailedNotice")});
    ScratchDir target;
    h.fakes.folderAnswer = QString::fromStdString(target.path());
    h.fakes.titles.clear();
    h.selectTableRows({1, 0});
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.engine->takeCalls(), "save(a.txt b.txt to " + target.path() + ")");
    EXPECT_EQ(h.fakes.titles.join(' '), "SavingFiles");
    // A scan's pending outline reload runs at the next operation: the folder and its chosen files survive it.
    h.selectTableRows({1});
    quietly([&] { h.controller->reloadOutlineView(); });
    EXPECT_EQ(h.controller->folder, h.resultFolder("Docs"));
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.engine->takeCalls(), "save(b.txt to " + target.path() + ")");
    // The grid shares the table's choice; choosing none there saves the outline's folder.
    h.controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(h.controller->thumbView->selectedIndexes(), std::set<int>{1});
    h.controller->thumbView->selectIndexes({}, false);
    h.engine->incomplete = {target.file("Docs/%s%n.txt")};
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.engine->takeCalls(), "save(Docs to " + target.path() + ")");
    EXPECT_EQ(h.fakes.messages.back(),
              "SaveIncompleteNotice\n\n" + QString::fromStdString(target.file("Docs/%s%n.txt")));
}
TEST(SaveCommand, CancelOnTheReportsProgressSheetWritesNoReportAndReportsNoFailure)
{
    CommandHarness h;
    h.browseDocs();
    ScratchDir out;
    h.fakes.saveAnswer = QString::fromStdString(out.file("list.html"));
    h.fakes.messages.clear();
    h.engine->realReport = true;
    h.engine->duringReport = [&] { h.controller->progressWindowEndCancel(); };
    // The engine's events reach the sheet through the application's delegate.
    AppController::setApplicationDelegate(h.controller.get());
    quietly([&] { h.controller->saveReport(); });
    AppController::setApplicationDelegate(nullptr);
    EXPECT_FALSE(std::filesystem::exists(out.file("list.html")));
    EXPECT_TRUE(h.fakes.messages.isEmpty()) << h.fakes.messages.join(' ').toStdString();
    EXPECT_FALSE(h.controller->progressWindow->isVisible());
}
TEST(SaveTarget, SavingOntoTheRecoveredDeviceAsksFirst)
{
    ScratchDir scratch;
    struct stat folderInfo {};
    ASSERT_EQ(::stat(scratch.path().c_str(), &folderInfo), 0);
    const std::string image = scratch.file("disk.img");
    ASSERT_TRUE(writeFileBytes(image, std::vector<uint8_t>(4096, 0)));
    EXPECT_FALSE(folderLiesOnDevice(scratch.path(), image)) << "an image file keeps its blocks";
    EXPECT_FALSE(folderLiesOnDevice(scratch.path(), "/nonexistent/device"));
    const std::string same = scratch.file("same");
    const std::string other = scratch.file("other");
    if (::mknod(same.c_str(), S_IFBLK | 0600, folderInfo.st_dev) != 0 ||
        ::mknod(other.c_str(), S_IFBLK | 0600, makedev(7, 250)) != 0)
        GTEST_SKIP() << "cannot make device nodes here (needs root)";
    EXPECT_TRUE(folderLiesOnDevice(scratch.path(), same));
    EXPECT_FALSE(folderLiesOnDevice(scratch.path(), other));
    CMemoryDisk device(512, 8192, same);
    CPartitionDisk window(&device, 64, 8191);
    CommandHarness h;
    quietly([&] { h.controller->recovery()->setDisk(&window); });
    h.engine->buildResults(ItemDeleted, "Deleted");
    h.controller->folder = h.resultFolder("Docs");
    h.fakes.folderAnswer = QString::fromStdString(scratch.path());
    h.engine->takeCalls();
    h.fakes.answers = {AlertAnswer::Default, AlertAnswer::Alternate}; // OK, then "No"
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.fakes.messages.value(1), QStringLiteral("AskSaveOnSourceDisk"));
    EXPECT_EQ(h.engine->takeCalls(), "") << "No saves nothing";
    quietly([&] { h.controller->save(); });
    EXPECT_EQ(h.engine->takeCalls(), "save( to " + scratch.path() + ")");
}
constexpr int kMatches = 60; // files named "match-..." in four folders
class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        RECOVERY_REQUIRE_TOOLS("xorriso");
        TreeSpec tree;
        tree.file("docs/readme.txt", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'})
            .file("docs/data.bin", 70000, 7)
            .file("docs/picture.png", samplePng())
            .file("other/notes.txt", 3000, 9)
            .file("other/caf\xc3\xa9.txt", 100, 11);
        for (int i = 0; i < kMatches; ++i)
            tree.file("many" + std::to_string(i % 4) + "/match-" + std::to_string(i) + ".txt", 16, uint32_t(i));
        ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&volume, tree));
        h = std::make_unique<CommandHarness>(nullptr, &volume);
        h->controller->mainWindow->resize(1000, 700);
    }
    void click(QAbstractItemView* view, const QModelIndex& index, Qt::KeyboardModifiers modifiers = {})
    {
        ASSERT_TRUE(index.isValid());
        view->scrollTo(index);
        quietly(
            [&] { QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, view->visualRect(index).center()); });
    }
    void clickToolbar(const char* identifier)
    {
        QWidget* button = h->toolbarView(identifier);
        ASSERT_TRUE(button && button->isEnabled()) << identifier;
        quietly([&] { QTest::mouseClick(button, Qt::LeftButton); });
    }
    QModelIndex tableRow(const QString& name) const
    {
        QAbstractItemModel* model = h->controller->tableView->model();
        return model->match(model->index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly).value(0);
    }
    void openDocs()
    {
        ASSERT_NO_FATAL_FAILURE(click(h->controller->outlineView, h->outlineRow(volume.partition)));
        ASSERT_NO_FATAL_FAILURE(clickToolbar("BrowseVolume"));
        ASSERT_NO_FATAL_FAILURE(click(h->controller->outlineView, h->outlineRow(h->resultFolder("docs"))));
        ASSERT_EQ(h->controller->tableView->model()->rowCount(), 3);
        EXPECT_TRUE(h->fakes.titles.isEmpty()) << "a sound volume is told no damage";
    }
    void search(const QString& text)
    {
        h->controller->searchField->setText(text);
        quietly([&] { QTest::keyClick(h->controller->searchField, Qt::Key_Return); });
    }
    XorrisoDisk volume;
    std::unique_ptr<CommandHarness> h;
};
TEST_F(EndToEnd, FilesChosenInTheTableOrTheGridAreSavedWithTheVolumesBytes)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    click(h->controller->tableView, tableRow(QStringLiteral("readme.txt")));
    click(h->controller->tableView, tableRow(QStringLiteral("data.bin")), Qt::ControlModifier);
    ScratchDir target;
    h->fakes.folderAnswer = QString::fromStdString(target.path());
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    for (const char* name : {"readme.txt", "data.bin"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFileBytes(target.file(name)), readFileBytes(volume.source + "/docs/" + name));
    }
    EXPECT_TRUE(readFileBytes(target.file("picture.png")).empty()) << "only the chosen files are saved";
    EXPECT_FALSE(h->controller->mainWindow->grab().isNull()) << "the table paints its icons and sizes";
    h->controller->tabView->setCurrentIndex(1);
    EXPECT_EQ(h->controller->thumbCount(), 3);
    const int picture = tableRow(QStringLiteral("picture.png")).row();
    h->controller->thumbView->requestThumbnail(picture);
    EXPECT_TRUE(QTest::qWaitFor([&] { return h->controller->thumbView->hasThumbnail(picture); }, 5000));
    h->controller->thumbView->selectIndexes({picture}, false);
    quietly([&] { h->controller->thumbViewSelectionDidChange(); });
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    EXPECT_EQ(readFileBytes(target.file("picture.png")), readFileBytes(volume.source + "/docs/picture.png"));
    {
        // A command holds the engine while the grid's worker wants it: changing folder must not wait.
        EngineLocker lock(engineLock());
        h->controller->thumbView->requestThumbnail(0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return h->controller->thumbView->isWorkerRunning(); }, 2000));
        click(h->controller->outlineView, h->outlineRow(h->resultFolder("other")));
    }
    EXPECT_EQ(h->controller->thumbCount(), 2);
    EXPECT_EQ(h->controller->thumbFooterAtIndex(1), QStringLiteral("notes.txt"));
}
TEST_F(EndToEnd, CancelledSaveSaysSoWithTheNumberOfFilesSavedWholeAndLeavesNoneCutShort)
{
    h->fakes.texts[QStringLiteral("SaveCancelledNotice")] = QStringLiteral("cancelled after %@");
    ASSERT_NO_FATAL_FAILURE(click(h->controller->outlineView, h->outlineRow(volume.partition)));
    ASSERT_NO_FATAL_FAILURE(clickToolbar("BrowseVolume"));
    ASSERT_NO_FATAL_FAILURE(click(h->controller->outlineView, h->outlineRow(h->controller->recovery()->resultRoot)));
    ScratchDir target;
    h->fakes.folderAnswer = QString::fromStdString(target.path());
    h->fakes.clock->stepPerRead = 0.2; // every progress update passes the throttle
    h->controller->mainWindow->show();
    AppController::setApplicationDelegate(h->controller.get());
    // A zero timer fires once at each run of the event loop: Cancel once a few files are written.
    QTimer ticker;
    int runs = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (++runs == 10) {
            ticker.stop();
            QTest::mouseClick(h->controller->progressCancelButton, Qt::LeftButton);
        }
    });
    ticker.start(0);
    ASSERT_NO_FATAL_FAILURE(clickToolbar("Save"));
    AppController::setApplicationDelegate(nullptr);
    ASSERT_GE(runs, 10);
    // The saved files, each with the source's bytes (names compared composed: the volume stores them decomposed).
    FileTree source;
    for (const auto& [path, bytes] : folderSnapshot(volume.source))
        source[QString::fromStdString(path).normalized(QString::NormalizationForm_C).toStdString()] = bytes;
    int saved = 0;
    for (const auto& [path, bytes] : folderSnapshot(target.file("GLEANERTEST"))) {
        const std::string composed =
            QString::fromStdString(path).normalized(QString::NormalizationForm_C).toStdString();
        ASSERT_TRUE(source.count(composed)) << path;
        EXPECT_EQ(bytes, source.at(composed)) << path;
        saved += path.back() != '/';
    }
    EXPECT_GT(saved, 0);
    EXPECT_LT(saved, kMatches) << "the save ran to the end";
    EXPECT_EQ(h->fakes.messages.back(), QStringLiteral("cancelled after %1").arg(saved));
}
TEST_F(EndToEnd, SearchFindsANameTypedComposedSelectsItsFolderAndStopsAtTheSheetsCancel)
{
    ASSERT_NO_FATAL_FAILURE(openDocs());
    search(QStringLiteral("caf\u00e9"));
    EXPECT_EQ(h->controller->outlineView->selectionModel()->selectedRows(),
              QModelIndexList{h->outlineRow(h->controller->recovery()->searchFolder)});
    ASSERT_EQ(h->controller->tableView->model()->rowCount(), 1);
    EXPECT_EQ(h->controller->tableView->model()->index(0, 0).data().toString().normalized(QString::NormalizationForm_C),
              QStringLiteral("caf\u00e9.txt"));
    h->fakes.clock->stepPerRead = 0.2; // every progress update passes the throttle
    h->controller->mainWindow->show();
    AppController::setApplicationDelegate(h->controller.get());
    bool sheetShownAtClick = false;
    // Runs inside the first progress update's event handling, while the engine is mid-walk.
    QTimer::singleShot(0, h->controller.get(), [&] {
        sheetShownAtClick = h->controller->progressWindow->isVisible();
        QTest::mouseClick(h->controller->progressCancelButton, Qt::LeftButton);
    });
    search(QStringLiteral("match"));
    EXPECT_TRUE(sheetShownAtClick);
    EXPECT_FALSE(h->controller->progressCancelButton->isEnabled());
    CVolumeItem* found = h->controller->recovery()->searchFolder;
    ASSERT_NE(found, nullptr);
    EXPECT_LT(found->children.size(), size_t(kMatches)) << "the search ran to the end";
    search(QStringLiteral("match")); // without Cancel the same search finds every file
    EXPECT_EQ(h->controller->tableView->model()->rowCount(), kMatches);
    AppController::setApplicationDelegate(nullptr);
}
} // namespace
