// The splash window: its fade-in and fade-out slices and the five seconds it stays at least.
#include "uifakes.h"

#include "SplashController.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QWidget>

namespace {

// Runs slices until the phase changes; answers the opacities seen, the first one included.
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

TEST(Splash, FadeInTakesFortyNineSlicesAndEndsJustBelowOpaque)
{
    for (bool closeDuringFadeIn : {false, true}) {
        SCOPED_TRACE(closeDuringFadeIn ? "close asked during the fade-in" : "left alone");
        auto clock = std::make_shared<FakeClock>();
        SplashController splash(clock);
        QSignalSpy shown(&splash, &SplashController::fadeInFinished);
        splash.show();
        ASSERT_NE(splash.window(), nullptr);
        EXPECT_TRUE(splash.window()->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_TRUE(splash.window()->windowFlags() & Qt::FramelessWindowHint);
        if (closeDuringFadeIn)
            splash.close();
        const std::vector<float> alphas = runPhase(splash);
        EXPECT_EQ(alphas.size(), 49u);
        EXPECT_FLOAT_EQ(alphas.front(), 0.01f);
        EXPECT_NEAR(alphas.back(), 0.970, 0.001);
        // A close asked meanwhile waits for the fade-in.
        EXPECT_EQ(splash.phase(),
                  closeDuringFadeIn ? SplashController::Phase::Waiting : SplashController::Phase::Shown);
        EXPECT_EQ(shown.count(), 1);
        EXPECT_DOUBLE_EQ(splash.startTime(), clock->time);
    }
}

TEST(Splash, StaysFiveSecondsAfterItsFadeInThenFadesOutInTwentyFiveSlices)
{
    struct Case {
        double launchSeconds; // from the end of the fade-in to the close request
        double waitsSeconds;  // how much longer the splash stays before fading out
    };
    const Case cases[] = {{2.0, 3.0}, {7.0, 0.0}, {5.0, 0.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "launch took " << c.launchSeconds << " s");
        auto clock = std::make_shared<FakeClock>();
        SplashController splash(clock);
        QSignalSpy closed(&splash, &SplashController::closed);
        splash.show();
        runPhase(splash);
        const double start = splash.startTime();
        clock->time = start + c.launchSeconds;
        splash.close();
        double waited = 0;
        while (splash.phase() == SplashController::Phase::Waiting && waited < 10) {
            clock->time += 0.02;
            waited += 0.02;
            splash.step();
        }
        EXPECT_NEAR(waited, c.waitsSeconds, 0.021);
        ASSERT_EQ(splash.phase(), SplashController::Phase::FadingOut);
        const std::vector<float> alphas = runPhase(splash);
        EXPECT_EQ(alphas.size(), 25u);
        EXPECT_FLOAT_EQ(alphas.front(), 1.0f);
        EXPECT_NEAR(alphas[1], 0.99, 1e-6);
        EXPECT_NEAR(alphas.back(), 0.115, 0.01);
        EXPECT_EQ(splash.window(), nullptr);
        EXPECT_EQ(closed.count(), 1);
        splash.close(); // a second close finds no window
        EXPECT_EQ(closed.count(), 1);
    }
}

} // namespace
