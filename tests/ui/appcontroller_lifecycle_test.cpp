// Start-up and shutdown of the controller: the order in which it lets go of things, and safety
// when ticks and engine events arrive before its window exists or with no delegate to receive them.
#include "outputcapture.h"
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QMainWindow>
#include <QPointer>

namespace {

using Journal = std::vector<std::string>;

class JournalRecovery : public CRecovery {
public:
    JournalRecovery(Journal* journal, QPointer<QMainWindow>* window) : journal(journal), window(window) {}
    ~JournalRecovery() override
    {
        journal->push_back(window->isNull() ? "engine (windows gone)" : "engine (windows still there)");
    }
    Journal* journal;
    QPointer<QMainWindow>* window;
};

class JournalDiskManager : public CDiskManager {
public:
    explicit JournalDiskManager(Journal* journal) : journal(journal) {}
    ~JournalDiskManager() override { journal->push_back("disk manager"); }
    Journal* journal;
};

class JournalSpeech : public RecordingSpeech {
public:
    explicit JournalSpeech(Journal* journal) : journal(journal) {}
    void stop() override { journal->push_back("speech stopped"); }
    Journal* journal;
};

TEST(ControllerLifecycle, ShutdownLetsGoOfTheWindowsThenTheEngineThenTheDiskManagerThenTheServices)
{
    Journal journal;
    QPointer<QMainWindow> window;
    FakeServices fakes;
    AppServices services = fakes.services();
    services.makeRecovery = [&] { return new JournalRecovery(&journal, &window); };
    services.makeDiskManager = [&] { return new JournalDiskManager(&journal); };
    services.speech = std::make_shared<JournalSpeech>(&journal);

    auto controller = std::make_unique<AppController>(services);
    AppController::setApplicationDelegate(controller.get());
    controller->loadWindowDescription();
    controller->awakeFromNib();
    window = controller->mainWindow;
    ASSERT_FALSE(window.isNull());

    OutputCapture capture;
    controller.reset();
    const std::string log = capture.finish();

    EXPECT_EQ(journal, (Journal{"engine (windows gone)", "disk manager", "speech stopped"}));
    const size_t first = log.find("dealloc\n"), last = log.find("that's it - we are exiting!\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    EXPECT_LT(first, last);
    EXPECT_EQ(AppController::applicationDelegate(), nullptr) << "the listener must not reach a freed controller";
}

TEST(ControllerLifecycle, TicksAndEventsBeforeTheWindowExistsAreHarmless)
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
    AppController::setApplicationDelegate(nullptr);
}

TEST(ControllerLifecycle, ListenerWithoutADelegateForwardsNothingButStillAsksBeforeOverwriting)
{
    FakeServices fakes;
    fakes.alerts->answers = {AlertAnswer::Alternate};
    AppController::setApplicationDelegate(nullptr);
    MyStatusListener listener(fakes.alerts, nullptr);
    bool cancel = false;
    listener.progressEvent(50, &cancel);
    listener.fileSaving("/tmp/x");
    listener.diskListChanged();
    listener.itemChanged(nullptr);
    EXPECT_FALSE(cancel);

    bool overwrite = false, skip = false;
    listener.askOverwrite("/tmp/x", &overwrite, &skip, &cancel);
    EXPECT_TRUE(skip);
    ASSERT_EQ(fakes.alerts->calls.size(), 1u);
    EXPECT_EQ(fakes.alerts->calls[0].title, QStringLiteral("OverwriteConfirmation"));
}

TEST(ControllerLifecycle, ClosingTheIdleMainWindowQuitsWithoutAQuestion)
{
    FakeServices fakes;
    AppController controller(fakes.services());
    controller.loadWindowDescription();
    controller.mainWindow->show();
    EXPECT_TRUE(controller.mainWindow->close());
    EXPECT_TRUE(fakes.alerts->calls.empty());
}

} // namespace
