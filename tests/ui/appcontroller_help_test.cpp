// The hint line: each new hint fades the old one out on the 0.1-second timer, swaps in (and is
// spoken) when almost invisible, and fades in; the timer also refreshes the read-error count.
#include "EngineLock.h"
#include "memorydisk.h"
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>

#include <future>
#include <thread>

namespace {

class HelpLine : public testing::Test {
protected:
    void SetUp() override { controller = loadedController(fakes); }
    // Ticks until the fade stops; answers how many it took (at most 100).
    int fadeToRest()
    {
        int ticks = 0;
        do {
            controller->timer();
            ++ticks;
        } while (controller->fadestate != 0 && ticks < 100);
        return ticks;
    }
    QString shown() const { return controller->helpTextView->text(); }

    FakeServices fakes;
    std::unique_ptr<TestController> controller;
};

TEST_F(HelpLine, NewHintSwapsAndIsSpokenOnTheFifthTickAndIsFullyBackOnTheTenth)
{
    controller->setHelpText(QStringLiteral("old"), true);
    fadeToRest();
    controller->speakHintsCheckbox->setChecked(true);
    controller->setHelpText(QStringLiteral("new"), true);
    fakes.speech->spoken.clear();
    for (int tick = 1; tick <= 10; ++tick) {
        SCOPED_TRACE(testing::Message() << "tick " << tick);
        controller->timer();
        EXPECT_EQ(shown(), tick < 5 ? QStringLiteral("old") : QStringLiteral("new"));
        EXPECT_EQ(fakes.speech->spoken.size(), tick < 5 ? 0u : 1u);
        EXPECT_EQ(controller->fadestate, tick < 5 ? 2 : (tick < 10 ? 1 : 0));
        const double expectedAlpha = tick <= 5 ? 1.0 - 0.2 * tick : 0.2 * (tick - 5);
        EXPECT_NEAR(controller->helpAlpha, expectedAlpha, 1e-5);
        EXPECT_NEAR(controller->helpTextView->palette().color(QPalette::WindowText).alphaF(),
                    std::clamp(expectedAlpha, 0.0, 1.0), 0.01);
    }
    ASSERT_EQ(fakes.speech->spoken.size(), 1u);
    EXPECT_EQ(fakes.speech->spoken.front(), QStringLiteral("new"));
    EXPECT_EQ(controller->helpTextView->palette().color(QPalette::WindowText).red(), 255);
}

TEST_F(HelpLine, SameHintFadesAgainOnlyWhenAskedToEvenIfNotNew)
{
    controller->setHelpText(QStringLiteral("hint"), true);
    EXPECT_EQ(fadeToRest(), 10);
    controller->setHelpText(QStringLiteral("hint"), true);
    EXPECT_EQ(controller->fadestate, 0);
    controller->setHelpText(QStringLiteral("hint"), false);
    EXPECT_EQ(controller->fadestate, 2);
    EXPECT_EQ(fadeToRest(), 10);
}

TEST_F(HelpLine, HintArrivingDuringTheFadeInTurnsRoundFromWhereItIs)
{
    controller->setHelpText(QStringLiteral("first"), true);
    for (int tick = 0; tick < 8; ++tick) // the swap, then 0.2, 0.4, 0.6 on the way in
        controller->timer();
    ASSERT_NEAR(controller->helpAlpha, 0.6, 1e-5);
    controller->setHelpText(QStringLiteral("second"), true);
    controller->timer();
    controller->timer();
    EXPECT_EQ(shown(), QStringLiteral("first"));
    controller->timer();
    EXPECT_EQ(shown(), QStringLiteral("second"));
}

TEST_F(HelpLine, SpeakingFollowsTheCheckBox)
{
    controller->setHelpText(QStringLiteral("quiet"), true);
    fadeToRest();
    EXPECT_TRUE(fakes.speech->spoken.empty());

    controller->speakHintsCheckbox->click(); // on: the current hint fades again and is spoken at the swap
    for (int tick = 0; tick < 4; ++tick)
        controller->timer();
    EXPECT_TRUE(fakes.speech->spoken.empty());
    controller->timer();
    ASSERT_EQ(fakes.speech->spoken.size(), 1u);
    EXPECT_EQ(fakes.speech->spoken.front(), QStringLiteral("quiet"));

    controller->speakHintsCheckbox->click(); // off: speech stops at once
    EXPECT_EQ(fakes.speech->stops, 1);
}

class FaultyDisk : public CMemoryDisk {
public:
    using CMemoryDisk::CMemoryDisk;
    int64_t getReadErrorCount() override { return errors; }
    int64_t errors = 0;
};

TEST_F(HelpLine, ReadErrorCountIsRefreshedOnEveryFiftyFirstTick)
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

} // namespace
