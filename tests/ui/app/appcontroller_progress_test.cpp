// The controller around an engine call (progress sheet, reloads, overwrite, close while busy), hints and texts.
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
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

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
    FakeServices fakes;
    std::unique_ptr<TestController> controller;
};
TEST_F(ProgressSheet, AcceptsAnUpdateAtMostEveryTenthOfASecondRefusesASecondSheetAndEscapeCancels)
{
    // Updates reach the views at most every 0.1 s (at 0, 0.1 and 0.35 here); a refused one shows
    // nothing but still lets the sheet have the event loop once 30 ms have passed since it last had it.
    struct Case {
        double at;
        bool pumped;
    };
    const Case cases[] = {{0.0, true}, {0.05, true},  {0.06, false}, {0.099, true},
                          {0.1, true}, {0.11, false}, {0.15, true},  {0.35, true}};
    const double start = fakes.clock->time;
    ASSERT_TRUE(begin());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "update at " << c.at << " s");
        fakes.clock->time = start + c.at;
        bool cancel = false;
        const int pumped = fakes.pumped;
        controller->cancelAction = true;
        controller->progressEvent(50, &cancel);
        EXPECT_TRUE(cancel) << "a cancel reaches the engine at every call";
        EXPECT_EQ(fakes.pumped - pumped, c.pumped ? 1 : 0);
    }
    // Nor when the engine changed what a view shows: it must read it again before a repaint.
    fakes.clock->time = start + 0.4;
    CVolumeItem shown(true);
    controller->setTableModel(new CVolumeTableModel(&shown));
    controller->updateTableViewPending = true;
    const int pumped = fakes.pumped;
    controller->progressEvent(50, nullptr);
    EXPECT_EQ(fakes.pumped, pumped);
    controller->updateTableViewPending = false;
    controller->setTableModel(nullptr);
    controller->endProgressSheet();
    fakes.clock->time += 1; // past the throttle
    ASSERT_TRUE(begin());
    EXPECT_FALSE(begin("SearchProgress"));
    {
        std::lock_guard<std::mutex> held(controller->theLock);
        bool cancel = false;
        controller->cancelAction = true;
        controller->progressEvent(40, &cancel); // would never return if it waited for the lock
        EXPECT_FALSE(cancel);
        controller->cancelAction = false;
    }
    QTest::keyClick(controller->progressWindow, Qt::Key_Escape);
    EXPECT_TRUE(controller->cancelAction);
    controller->cancelAction = false;
    controller->progressWindow->close(); // the close box is Cancel too, and leaves the sheet up
    EXPECT_TRUE(controller->cancelAction);
    EXPECT_TRUE(controller->progressWindow->isVisible());
    controller->endProgressSheet();
    EXPECT_FALSE(controller->progressWindow->isVisible());
    EXPECT_FALSE(controller->isBusy());
}
TEST_F(ProgressSheet, ACancelReachesTheEngineWhenAFileNameTookTheUpdate)
{
    ASSERT_TRUE(begin());
    controller->_setProgressText(QStringLiteral("/tmp/a.txt"));
    controller->progressWindowEndCancel();
    bool cancel = false;
    controller->progressEvent(10, &cancel);
    EXPECT_TRUE(cancel);
    controller->endProgressSheet();
}
TEST_F(ProgressSheet, FileNamesShareTheThrottleAndTheLatestIsShownAtTheNextAcceptedUpdate)
{
    const double start = fakes.clock->time;
    ASSERT_TRUE(begin());
    controller->statusListener->fileSaving("/out/first");
    EXPECT_EQ(controller->progressText->text(), QStringLiteral("/out/first"));
    const int pumped = fakes.pumped;
    fakes.clock->time = start + 0.05;
    controller->statusListener->fileSaving("/out/second");
    controller->statusListener->fileSaving("/out/third");
    bool cancel = false;
    controller->progressEvent(10, &cancel);
    EXPECT_EQ(controller->progressText->text(), QStringLiteral("/out/first")) << "nothing passed the throttle";
    EXPECT_EQ(fakes.pumped, pumped + 1) << "the sheet had the event loop, 50 ms after it last had it";
    fakes.clock->time = start + 0.1;
    controller->progressEvent(10, &cancel);
    EXPECT_EQ(controller->progressText->text(), QStringLiteral("/out/third"));
    EXPECT_EQ(fakes.pumped, pumped + 2);
    controller->endProgressSheet();
    fakes.clock->time += 1;
    ASSERT_TRUE(begin());
    EXPECT_EQ(controller->progressText->text(), QStringLiteral("PleaseWait")) << "the last operation's name is gone";
    controller->endProgressSheet();
}
TEST_F(ProgressSheet, TheListenerMarksTheViewsForReloadAndTheOverwriteAnswerSetsExactlyOneFlag)
{
    CRecovery* engine = controller->recovery();
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
    bool cancel = false;
    controller->progressEvent(0, &cancel);
    EXPECT_FALSE(controller->expandOutlineViewPending) << "the next accepted update consumes the marks";
    engine->searchFolder = nullptr;
    controller->folder = nullptr;
    fakes.texts[QStringLiteral("AskOverwriteFile")] = QStringLiteral("Replace %@?");
    struct Answer {
        AlertAnswer answer;
        bool overwrite, skip, cancel;
    };
    const Answer answers[] = {{AlertAnswer::Default, true, false, false},
                              {AlertAnswer::Alternate, false, true, false},
                              {AlertAnswer::Other, false, false, true}};
    for (const Answer& c : answers) {
        SCOPED_TRACE(int(c.answer));
        fakes.answers = {c.answer};
        bool overwrite = true, skip = true, cancel = true; // stale values must not stay
        controller->statusListener->askOverwrite("/tmp/50%1 %@ done", &overwrite, &skip, &cancel);
        EXPECT_EQ(overwrite, c.overwrite);
        EXPECT_EQ(skip, c.skip);
        EXPECT_EQ(cancel, c.cancel);
    }
    ASSERT_EQ(fakes.messages.size(), 3);
    EXPECT_EQ(fakes.messages.back(), QStringLiteral("Replace /tmp/50%1 %@ done?")) << "the path is data";
}
TEST_F(ProgressSheet, ClosingTheWindowWhileBusyCancelsAndClosesOnceTheEngineReturns)
{
    controller->mainWindow->show();
    ASSERT_TRUE(begin());
    // No modal window blocks the main one, or Qt would drop the window manager's close request.
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    EXPECT_FALSE(controller->mainWindow->centralWidget()->isEnabled());
    controller->mainWindow->close();
    EXPECT_TRUE(controller->mainWindow->isVisible());
    // Alerts of the winding-up command answer without showing; the next existing file is Cancel.
    EXPECT_EQ(
        controller->showAlert(QStringLiteral("EndOfScan"), QStringLiteral("EndOfScanNotice"), QStringLiteral("OK")),
        AlertAnswer::Default);
    bool overwrite = true, skip = true, cancel = false;
    controller->statusListener->askOverwrite("/tmp/a.jpg", &overwrite, &skip, &cancel);
    EXPECT_TRUE(cancel && !overwrite && !skip);
    EXPECT_TRUE(fakes.titles.isEmpty());
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
TEST_F(ProgressSheet, TheTimerShowsTheOperationsReadErrorsAtEveryTickUnlessTheEngineIsHeldAndFadesTheHintOverTen)
{
    fakes.texts = {{"ReadErrorsSector", "%@ sector"}, {"ReadErrorsSectors", "%@ sectors"}};
    CMemoryDisk disk(512, 64);
    disk.failingBlocks = {3, 4, 40};
    std::vector<uint8_t> bytes(64 * 512);
    ASSERT_TRUE(controller->recovery()->setDisk(&disk));
    controller->timer();
    EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("0 sectors"));
    ASSERT_TRUE(controller->recovery()->cachedDisk->read(0, int(bytes.size()), bytes.data()));
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
        EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("0 sectors"));
        release.set_value();
        worker.join();
    }
    controller->timer();
    EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("3 sectors"));
    ASSERT_TRUE(controller->recovery()->setDisk(&disk));
    controller->timer();
    EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("0 sectors")) << "a new operation counts anew";
    ASSERT_TRUE(controller->recovery()->cachedDisk->read(40 * 512, 512, bytes.data()));
    controller->timer();
    EXPECT_EQ(controller->numberErrorsText->text(), QStringLiteral("1 sector"));
    controller->recovery()->setDisk(nullptr);
    controller->setHelpText(QStringLiteral("old"), true);
    for (int tick = 0; tick < 10; ++tick)
        controller->timer();
    controller->setHelpText(QStringLiteral("old"), true);
    EXPECT_EQ(controller->fadestate, 0) << "the same hint again does not fade";
    controller->speakHintsCheckbox->click();
    EXPECT_EQ(controller->fadestate, 2) << "ticking the box fades the hint again, to speak it";
    controller->setHelpText(QStringLiteral("new"), true);
    for (int tick = 1; tick <= 10; ++tick) {
        SCOPED_TRACE(testing::Message() << "tick " << tick);
        controller->timer();
        EXPECT_EQ(controller->helpTextView->text(), tick < 5 ? QStringLiteral("old") : QStringLiteral("new"));
        EXPECT_EQ(fakes.spoken.size(), tick < 5 ? 0u : 1u);
        const double expectedAlpha = tick <= 5 ? 1.0 - 0.2 * tick : 0.2 * (tick - 5);
        EXPECT_NEAR(controller->helpTextView->palette().color(QPalette::WindowText).alphaF(), expectedAlpha, 0.01);
    }
    EXPECT_EQ(controller->fadestate, 0);
    controller->speakHintsCheckbox->click(); // off: speech stops at once
    EXPECT_EQ(fakes.speechStops, 1);
}
class ShutdownRecovery : public CRecovery {
public:
    ~ShutdownRecovery() override { windowGoneFirst = window.isNull(); }
    static inline QPointer<QMainWindow> window;
    static inline bool windowGoneFirst = false;
};
TEST(ControllerLifecycle, ClosingAndShutdownLetGoOfTheWindowsBeforeTheEngineAndOfTheDelegate)
{
    FakeServices fakes;
    AppServices services = fakes.services();
    services.makeRecovery = [] { return new ShutdownRecovery(); };
    auto controller = std::make_unique<AppController>(services);
    AppController::setApplicationDelegate(controller.get());
    controller->loadWindowDescription();
    controller->awakeFromNib();
    ShutdownRecovery::window = controller->mainWindow;
    controller->mainWindow->show();
    EXPECT_TRUE(controller->mainWindow->close()) << "an idle main window closes without a question";
    OutputCapture capture;
    controller.reset();
    capture.finish();
    EXPECT_TRUE(ShutdownRecovery::windowGoneFirst);
    EXPECT_EQ(fakes.speechStops, 1);
    EXPECT_TRUE(fakes.titles.isEmpty());
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
}
TEST(InterfaceTexts, FormatsTakeTheirArgumentsAsData)
{
    struct Case {
        const char* format;
        QStringList arguments;
        const char* expected;
    };
    const Case cases[] = {
        {"About %@", {"Gleaner"}, "About Gleaner"},   {"%2$@ before %1$@", {"one", "two"}, "two before one"},
        {"100%% of %@", {"x"}, "100% of x"},          {"Replace %@?", {"/a/%1/%@/%2$@"}, "Replace /a/%1/%@/%2$@?"},
        {"%@ and %@", {"only"}, "only and (null)"},   {"%@", {QString()}, "(null)"},
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
    fakes.info[QStringLiteral("AppNameShort")] = QStringLiteral("Alpha");
    fakes.texts = {{"Thumbnails", "Miniatures"}, {"QuitApp", "Quit %@"}};
    auto controller = loadedController(fakes);
    EXPECT_EQ(controller->thumbView->accessibleName(), QStringLiteral("Miniatures"));
    EXPECT_EQ(controller->quitMenuItem->text(), QStringLiteral("Quit Alpha"));
    const QList<QWidget*> windows = {controller->mainWindow, controller->scanWindow, controller->progressWindow,
                                     controller->viewerWindow};
    for (QWidget* window : windows) {
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            const auto* label = qobject_cast<QLabel*>(widget);
            const auto* button = qobject_cast<QAbstractButton*>(widget);
            const QString object = widget->objectName();
            SCOPED_TRACE(object.toStdString());
            EXPECT_TRUE(!label || label->textFormat() == Qt::PlainText);
            const bool control = (widget->focusPolicy() != Qt::NoFocus || button) && !object.isEmpty();
            EXPECT_FALSE(control && !object.startsWith(QLatin1String("qt_")) && widget->accessibleName().isEmpty() &&
                         (!button || button->text().isEmpty()));
        }
    }
}
TEST(InterfaceTexts, AlertShowsAMessageWithMarkupAsPlainText)
{
    const QString message = QStringLiteral("<a href=\"https://example.com\">x</a><b>.jpg</b>");
    bool plain = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (QLabel* label : box->findChildren<QLabel*>())
            plain = plain || (label->text() == message && label->textFormat() == Qt::PlainText);
        box->escapeButton()->click();
    });
    EXPECT_EQ(AppServices::real().alerts->runAlert(nullptr, QStringLiteral("<i>title</i>"), message,
                                                   QStringLiteral("OK"), QString(), QString()),
              AlertAnswer::Default);
    EXPECT_TRUE(plain);
}
} // namespace
