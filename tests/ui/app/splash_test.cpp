// The splash: its fade in, its wait and its fade out, timed by a scripted clock.
#include "uifakes.h"

#include "SplashController.h"

#include <QPointer>
#include <QSignalSpy>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>
#include <vector>
namespace {
std::vector<float> runPhase(SplashController& splash)
{
    std::vector<float> seen{splash.alpha()};
    const SplashController::Phase phase = splash.phase();
    for (int slice = 0; slice < 1000 && splash.phase() == phase; ++slice) {
        splash.step();
        if (splash.phase() == phase)
            seen.push_back(splash.alpha());
    }
    return seen;
}
TEST(Splash, FadesInInFortyNineSlicesStaysFiveSecondsThenFadesOutInTwentyFive)
{
    struct Case {
        double launchSeconds; // from the end of the fade-in to the close request; negative: during it
        double waitsSeconds;  // how much longer the splash stays before fading out
    };
    const Case cases[] = {{-1.0, 5.0}, {2.0, 3.0}, {7.0, 0.0}, {5.0, 0.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "launch took " << c.launchSeconds << " s");
        auto clock = std::make_shared<FakeClock>();
        SplashController splash(clock);
        QSignalSpy shown(&splash, &SplashController::fadeInFinished);
        QSignalSpy closed(&splash, &SplashController::closed);
        splash.show();
        if (c.launchSeconds < 0)
            splash.close(); // waits for the fade-in
        const std::vector<float> fadeIn = runPhase(splash);
        EXPECT_EQ(fadeIn.size(), 49u);
        EXPECT_FLOAT_EQ(fadeIn.front(), 0.01f);
        EXPECT_NEAR(fadeIn.back(), 0.970, 0.001);
        EXPECT_EQ(shown.count(), 1);
        EXPECT_DOUBLE_EQ(splash.startTime(), clock->time);
        if (c.launchSeconds >= 0) {
            EXPECT_EQ(splash.phase(), SplashController::Phase::Shown);
            clock->time = splash.startTime() + c.launchSeconds;
            splash.close();
        }
        double waited = 0;
        while (splash.phase() == SplashController::Phase::Waiting && waited < 10) {
            clock->time += 0.02;
            waited += 0.02;
            splash.step();
        }
        EXPECT_NEAR(waited, c.waitsSeconds, 0.021);
        ASSERT_EQ(splash.phase(), SplashController::Phase::FadingOut);
        const std::vector<float> fadeOut = runPhase(splash);
        EXPECT_EQ(fadeOut.size(), 25u);
        EXPECT_FLOAT_EQ(fadeOut.front(), 1.0f);
        EXPECT_NEAR(fadeOut.back(), 0.115, 0.01);
        EXPECT_EQ(splash.window(), nullptr);
        EXPECT_EQ(closed.count(), 1);
        splash.close(); // a second close finds no window
        EXPECT_EQ(closed.count(), 1);
    }
    // A splash dropped while it shows takes its window with it.
    auto showing = std::make_unique<SplashController>(std::make_shared<FakeClock>());
    showing->show();
    const QPointer<QWidget> window = showing->window();
    showing.reset();
    EXPECT_TRUE(window.isNull());
}
} // namespace
