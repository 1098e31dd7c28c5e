// The controller around an engine call: the progress sheet's throttle, Cancel and bar, the views the
// engine's events mark for a reload, the overwrite question, closing while busy; the hint line's
// fade on the 0.1-second timer; the order of shutdown; and the interface texts: formats taking their
// arguments as data, every control named, names and messages shown as plain text.
#include "EngineLock.h"
#include "QuilThumbnailView.h"
#include "memorydisk.h"
#include "outputcapture.h"
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <future>
#include <thread>

namespace {

class ProgressSheet : public testing::Test {
protected:
    void SetUp() override
    {
        controller = loadedController(fakes);
        AppController::setApplicationDelegate(controller.get());
    }
    void TearDown() override { AppController::setApplicationDelegate(nullptr); }
    bool begin(const char* title = "SaveProgress")
    {
        return controller->beginProgressSheet(QStringLiteral("PleaseWait"), QLatin1String(title));
    }
    // Ticks until the hint's fade stops; answers how many it took (at most 100).
    int fadeToRest()
    {
        int ticks = 0;
        do {
            controller->timer();
            ++ticks;
        } while (controller->fadestate != 0 && ticks < 100);
        return ticks;
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
    const double start = fakes.clock->time;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "update at " << c.at << " s");
        fakes.clock->time = start + c.at;
        bool cancel = false;
        const int pumped = fakes.pumped;
        begin();
        controller->cancelAction = true;
        controller->progressEvent(50, &cancel);
        // A rejected update does nothing at all: no cancel check, no event handling.
        EXPECT_EQ(cancel, c.accepted);
        EXPECT_EQ(fakes.pumped - pumped, c.accepted ? 1 : 0);
        controller->endProgressSheet();
    }
}

TEST_F(ProgressSheet, CancelAndTheBarBelongToOneOperation)
{
    fakes.clock->stepPerRead = 0.2;
    QProgressBar* bar = controller->progressIndicator;
    ASSERT_TRUE(begin());
    bool cancel = false;
    controller->progressEvent(0, &cancel);
    EXPECT_EQ(bar->maximum(), 0) << "indeterminate";
    controller->progressEvent(12.5, &cancel);
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_DOUBLE_EQ(100.0 * (bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum()), 12.5);
    EXPECT_FALSE(cancel);
    controller->progressCancelButton->click();
    EXPECT_FALSE(cancel) << "the engine sees Cancel only through a progress update";
    controller->progressEvent(20, &cancel);
    EXPECT_TRUE(cancel);
    EXPECT_FALSE(controller->progressCancelButton->isEnabled());
    bool again = false;
    controller->progressEvent(30, &again);
    EXPECT_TRUE(again) << "every later update of the operation cancels again";
    controller->endProgressSheet();

    // The next operation starts uncancelled, with Cancel enabled and a moving bar.
    ASSERT_TRUE(begin());
    EXPECT_EQ(bar->maximum(), 0);
    bool fresh = false;
    controller->progressEvent(10, &fresh);
    EXPECT_FALSE(fresh);
    EXPECT_TRUE(controller->progressCancelButton->isEnabled());
    controller->endProgressSheet();
}

TEST_F(ProgressSheet, WhileOneRunsASecondIsRefusedANestedUpdateReturnsAndEscapeCancels)
{
    ASSERT_TRUE(begin());
    EXPECT_TRUE(controller->isBusy());
    EXPECT_FALSE(begin("SearchProgress"));
    EXPECT_EQ(controller->progressWindow->windowTitle(), QStringLiteral("SaveProgress"));
    {
        std::lock_guard<std::mutex> held(controller->theLock);
        bool cancel = false;
        controller->cancelAction = true;
        controller->progressEvent(40, &cancel); // would never return if it waited for the lock
        EXPECT_FALSE(cancel);
        controller->cancelAction = false;
    }
    ASSERT_TRUE(controller->progressWindow->isVisible());
    QTest::keyClick(controller->progressWindow, Qt::Key_Escape);
    EXPECT_TRUE(controller->cancelAction);
    EXPECT_TRUE(controller->progressWindow->isVisible());
    controller->progressWindow->close(); // the close box is Cancel too, and leaves the sheet up
    EXPECT_TRUE(controller->progressWindow->isVisible());
    controller->endProgressSheet();
    EXPECT_FALSE(controller->progressWindow->isVisible());
    EXPECT_FALSE(controller->isBusy());
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
    fakes.texts[QStringLiteral("AskOverwriteFile")] = QStringLiteral("Replace %@?");
    struct Case {
        AlertAnswer answer;
        bool overwrite, skip, cancel;
    };
    const Case cases[] = {{AlertAnswer::Default, true, false, false},
                          {AlertAnswer::Alternate, false, true, false},
                          {AlertAnswer::Other, false, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.answer));
        fakes.answers = {c.answer};
        bool overwrite = true, skip = true, cancel = true; // the engine clears them; stale values must not stay
        controller->statusListener->askOverwrite("/tmp/50%1 %@ done", &overwrite, &skip, &cancel);
        EXPECT_EQ(overwrite, c.overwrite);
        EXPECT_EQ(skip, c.skip);
        EXPECT_EQ(cancel, c.cancel);
    }
    ASSERT_EQ(fakes.alerts.size(), 3u);
    // The path is data: its "%1" and "%@" are shown as they are.
    EXPECT_EQ(fakes.alerts.back().title, QStringLiteral("OverwriteConfirmation"));
    EXPECT_EQ(fakes.alerts.back().message, QStringLiteral("Replace /tmp/50%1 %@ done?"));
    EXPECT_EQ(fakes.alerts.back().defaultButton, QStringLiteral("Yes"));
    EXPECT_EQ(fakes.alerts.back().otherButton, QStringLiteral("Cancel"));
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
    EXPECT_TRUE(fakes.alerts.empty());

    controller->endProgressSheet();
    // A command going on to a second engine call gets no new sheet, which would clear the cancel.
    EXPECT_FALSE(begin());
    EXPECT_TRUE(controller->cancelAction);
    controller->save();
    EXPECT_TRUE(fakes.folderTitles.empty()) << "a command after the close asks for no folder";
    QCoreApplication::processEvents();
    EXPECT_FALSE(controller->mainWindow->isVisible());
    EXPECT_TRUE(controller->mainWindow->centralWidget()->isEnabled());
}

TEST_F(ProgressSheet, ClosingTheIdleMainWindowQuitsWithoutAQuestion)
{
    controller->mainWindow->show();
    EXPECT_TRUE(controller->mainWindow->close());
    EXPECT_TRUE(fakes.alerts.empty());
}

TEST_F(ProgressSheet, HintFadesOutIsSwappedAndSpokenOnTheFifthTickAndIsBackOnTheTenth)
{
    controller->setHelpText(QStringLiteral("old"), true);
    EXPECT_EQ(fadeToRest(), 10);
    controller->setHelpText(QStringLiteral("old"), true);
    EXPECT_EQ(controller->fadestate, 0) << "the same hint again does not fade";
    controller->speakHintsCheckbox->click();
    EXPECT_EQ(controller->fadestate, 2) << "ticking the box fades the hint again, to speak it";
    controller->setHelpText(QStringLiteral("new"), true);
    EXPECT_TRUE(fakes.spoken.empty());
    for (int tick = 1; tick <= 10; ++tick) {
        SCOPED_TRACE(testing::Message() << "tick " << tick);
        controller->timer();
        EXPECT_EQ(controller->helpTextView->text(), tick < 5 ? QStringLiteral("old") : QStringLiteral("new"));
        EXPECT_EQ(fakes.spoken.size(), tick < 5 ? 0u : 1u);
        EXPECT_EQ(controller->fadestate, tick < 5 ? 2 : (tick < 10 ? 1 : 0));
        const double expectedAlpha = tick <= 5 ? 1.0 - 0.2 * tick : 0.2 * (tick - 5);
        EXPECT_NEAR(controller->helpAlpha, expectedAlpha, 1e-5);
        EXPECT_NEAR(controller->helpTextView->palette().color(QPalette::WindowText).alphaF(),
                    std::clamp(expectedAlpha, 0.0, 1.0), 0.01);
    }
    EXPECT_EQ(fakes.spoken, std::vector<QString>{QStringLiteral("new")});
    EXPECT_EQ(controller->helpTextView->palette().color(QPalette::WindowText).red(), 255);
    controller->speakHintsCheckbox->click(); // off: speech stops at once
    EXPECT_EQ(fakes.speechStops, 1);

    // Asked to, the same hint fades again; a hint arriving on the way in turns round from there.
    controller->setHelpText(QStringLiteral("new"), false);
    for (int tick = 0; tick < 8; ++tick) // the swap, then 0.2, 0.4, 0.6 on the way in
        controller->timer();
    ASSERT_NEAR(controller->helpAlpha, 0.6, 1e-5);
    controller->setHelpText(QStringLiteral("second"), true);
    controller->timer();
    controller->timer();
    EXPECT_EQ(controller->helpTextView->text(), QStringLiteral("new"));
    controller->timer();
    EXPECT_EQ(controller->helpTextView->text(), QStringLiteral("second"));
    EXPECT_EQ(fadeToRest(), 5);
}

class FaultyDisk : public CMemoryDisk {
public:
    using CMemoryDisk::CMemoryDisk;
    int64_t getReadErrorCount() override { return errors; }
    int64_t errors = 0;
};

TEST_F(ProgressSheet, ReadErrorCountIsRefreshedOnEveryFiftyFirstTick)
{
    FaultyDisk disk(512, 64);
    ASSERT_TRUE(controller->rec->setDisk(&disk));
    disk.errors = 7;
    controller->timerCounter = 0;
    for (int tick = 1; tick <= 50; ++tick)
        controller->timer();
    EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("0"));
    {
        // While the thumbnail worker holds the engine lock, the tick skips the refresh: no waiting.
        std::promise<void> held, release;
        std::thread worker([&, done = release.get_future()] {
            EngineLocker lock(engineLock());
            held.set_value();
            done.wait();
        });
        held.get_future().wait();
        controller->timer();
        EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("0"));
        release.set_value();
        worker.join();
    }
    for (int tick = 1; tick <= 51; ++tick)
        controller->timer();
    EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("7"));
    controller->rec->setDisk(nullptr);
}

// Journals the shutdown: whether the windows were gone when the engine went, then the rest.
using Journal = std::vector<std::string>;
class JournalRecovery : public CRecovery {
public:
    JournalRecovery(Journal* journal, QPointer<QMainWindow>* window) : journal(journal), window(window) {}
    ~JournalRecovery() override { journal->push_back(window->isNull() ? "engine (windows gone)" : "engine"); }
    Journal* journal;
    QPointer<QMainWindow>* window;
};
class JournalDiskManager : public CDiskManager {
public:
    explicit JournalDiskManager(Journal* journal) : journal(journal) {}
    ~JournalDiskManager() override { journal->push_back("disk manager"); }
    Journal* journal;
};
class JournalSpeech : public FakeServices {
public:
    explicit JournalSpeech(Journal* journal) : journal(journal) {}
    void stop() override { journal->push_back("speech stopped"); }
    Journal* journal;
};

TEST(ControllerLifecycle, ShutdownLetsGoOfTheWindowsThenTheEngineThenTheDiskManagerThenTheServices)
{
    Journal journal;
    QPointer<QMainWindow> window;
    JournalSpeech fakes(&journal);
    AppServices services = fakes.services();
    services.makeRecovery = [&] { return new JournalRecovery(&journal, &window); };
    services.makeDiskManager = [&] { return new JournalDiskManager(&journal); };

    auto controller = std::make_unique<AppController>(services);
    AppController::setApplicationDelegate(controller.get());
    controller->loadWindowDescription();
    controller->awakeFromNib();
    window = controller->mainWindow;
    ASSERT_FALSE(window.isNull());

    OutputCapture capture;
    controller.reset();
    capture.finish();
    EXPECT_EQ(journal, (Journal{"engine (windows gone)", "disk manager", "speech stopped"}));
    EXPECT_EQ(AppController::applicationDelegate(), nullptr) << "the listener must not reach a freed controller";
}

TEST(ControllerLifecycle, TicksAndEventsBeforeTheWindowOrWithoutADelegateAreHarmless)
{
    FakeServices fakes;
    TestController controller(fakes.services());
    AppController::setApplicationDelegate(&controller);
    controller.setHelpText(QStringLiteral("early"), true);
    for (int tick = 0; tick < 60; ++tick)
        controller.timer();
    bool cancel = false;
    controller.statusListener->progressEvent(10, &cancel);
    controller.statusListener->fileSaving("/tmp/file");
    controller.statusListener->itemChanged(nullptr);
    controller.statusListener->diskListChanged();
    controller.expandOutlineView();
    controller.updateUIstrings();
    EXPECT_FALSE(controller.beginProgressSheet(QStringLiteral("SavingPleaseWait"), QStringLiteral("SaveProgress")));
    EXPECT_EQ(controller.fadestate, 0);

    // Without a delegate the listener forwards nothing but still asks before overwriting.
    AppController::setApplicationDelegate(nullptr);
    fakes.answers = {AlertAnswer::Alternate};
    MyStatusListener listener(fakes.services().alerts, nullptr);
    listener.progressEvent(50, &cancel);
    listener.fileSaving("/tmp/x");
    listener.diskListChanged();
    listener.itemChanged(nullptr);
    EXPECT_FALSE(cancel);
    bool overwrite = false, skip = false;
    listener.askOverwrite("/tmp/x", &overwrite, &skip, &cancel);
    EXPECT_TRUE(skip);
    ASSERT_EQ(fakes.alerts.size(), 1u);
    EXPECT_EQ(fakes.alerts[0].title, QStringLiteral("OverwriteConfirmation"));
}

TEST(InterfaceTexts, TheShortNameFillsTheMenuItemsThatNameTheApplication)
{
    FakeServices fakes;
    fakes.info[QStringLiteral("AppNameShort")] = QStringLiteral("Alpha");
    fakes.texts = {{"AboutApp", "About %@"}, {"HideApp", "Hide %@"}, {"QuitApp", "Quit %@"}, {"AppHelp", "%@ Help"}};
    auto c = loadedController(fakes);
    const QStringList titles = {c->applicationMenu->title(), c->aboutMenuItem->text(),   c->hideMenuItem->text(),
                                c->quitMenuItem->text(),     c->appHelpMenuItem->text(), c->hideOthersMenuItem->text()};
    EXPECT_EQ(titles.join(QLatin1Char('|')),
              QStringLiteral("Alpha|About Alpha|Hide Alpha|Quit Alpha|Alpha Help|HideOthers")); // no text: the key
}

TEST(InterfaceTexts, FormatsTakeTheirArgumentsAsData)
{
    struct Case {
        const char* format;
        QStringList arguments;
        const char* expected;
    };
    const Case cases[] = {
        {"About %@", {"Gleaner"}, "About Gleaner"},
        {"AboutApp", {"Gleaner"}, "AboutApp"}, // a key used as its own format has no placeholder
        {"%2$@ before %1$@", {"one", "two"}, "two before one"},
        {"100%% of %@", {"x"}, "100% of x"},
        {"Replace %@?", {"/a/%1/%@/%2$@"}, "Replace /a/%1/%@/%2$@?"},
        {"%@ and %@", {"only"}, "only and (null)"},
        {"%@", {QString()}, "(null)"},
        {"%9$@ trailing %", {}, "(null) trailing %"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(formatWithObjects(QString::fromUtf8(c.format), c.arguments), QString::fromUtf8(c.expected));
    }
}

TEST(InterfaceTexts, EveryControlHasAnAccessibleNameAndLabelsArePlainText)
{
    FakeServices fakes;
    fakes.texts[QStringLiteral("Thumbnails")] = QStringLiteral("Miniatures");
    auto controller = loadedController(fakes);
    EXPECT_EQ(controller->thumbView->accessibleName(), QStringLiteral("Miniatures"));
    const QList<QWidget*> windows = {controller->mainWindow, controller->scanWindow, controller->progressWindow,
                                     controller->viewerWindow};
    for (QWidget* window : windows) {
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            const bool control = widget->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton*>(widget) ||
                                 qobject_cast<QAbstractItemView*>(widget) || qobject_cast<QTabWidget*>(widget) ||
                                 qobject_cast<QLabel*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                                 qobject_cast<QPlainTextEdit*>(widget) || qobject_cast<QProgressBar*>(widget) ||
                                 qobject_cast<QAbstractScrollArea*>(widget);
            const QString object = widget->objectName();
            // Qt's own parts (tab bars, viewports, extension buttons, an item view's headers and corner
            // button), and the lines whose text is the message itself, set later.
            const bool qtPart = (object.startsWith(QLatin1String("qt_")) && !qobject_cast<QAbstractButton*>(widget)) ||
                                (object.isEmpty() && qobject_cast<QAbstractItemView*>(widget->parentWidget()));
            if (!control || qtPart || object == QLatin1String("helpTextView") ||
                object == QLatin1String("progressText"))
                continue;
            SCOPED_TRACE((object + QLatin1Char(' ') + QLatin1String(widget->metaObject()->className())).toStdString());
            const auto* label = qobject_cast<QLabel*>(widget);
            const auto* button = qobject_cast<QAbstractButton*>(widget);
            const QString name = !widget->accessibleName().isEmpty() ? widget->accessibleName()
                                 : label                             ? label->text()
                                 : button                            ? button->text()
                                                                     : QString();
            if (widget->isHidden() && name.isEmpty() && object == QLatin1String("progressSpinnerText"))
                continue; // hidden for good
            EXPECT_FALSE(name.isEmpty());
            // Labels may show names and paths from the disk: as they are, never as markup.
            if (label) {
                EXPECT_EQ(label->textFormat(), Qt::PlainText);
            }
        }
    }
}

TEST(InterfaceTexts, AlertShowsAMessageWithMarkupAsPlainText)
{
    const QString message = QStringLiteral("<a href=\"https://example.com\">x</a><b>.jpg</b>");
    QList<Qt::TextFormat> formats;
    QStringList texts;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (QLabel* label : box->findChildren<QLabel*>()) {
            if (label->text().isEmpty())
                continue;
            formats.append(label->textFormat());
            texts.append(label->text());
        }
        box->escapeButton()->click();
    });
    EXPECT_EQ(AppServices::real().alerts->runAlert(nullptr, QStringLiteral("<i>title</i>"), message,
                                                   QStringLiteral("OK"), QString(), QString()),
              AlertAnswer::Default);
    EXPECT_TRUE(texts.contains(message));
    EXPECT_EQ(formats, QList<Qt::TextFormat>(formats.size(), Qt::PlainText));
}

} // namespace
