// Fitting pictures, the background view, the fade, the zoom, the splash, and laid-out lines of text.
#include "uifakes.h"

#include "MorvImageUtilities.h"
#include "NSString_Wrapping.h"
#include "NSTextView_Lines.h"
#include "NSView_Fade.h"
#include "NSWindow-ZavrelEffects.h"
#include "SplashController.h"
#include "ViewBackground.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGraphicsEffect>
#include <QImage>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

TEST(MorvImageUtilities, FittedRectShrinksAndCentres)
{
    const QRectF box(5, 15, 150, 130);
    const struct {
        const char* name;
        QSizeF size;
        QRectF bounds, expected;
    } cases[] = {
        {"wide picture", {300, 100}, box, {5, 55, 150, 50}},
        // 43.3 x 130 centred at x = 58.3, widened outwards to whole pixels.
        {"tall picture", {100, 300}, box, {58, 15, 44, 130}},
        {"picture that fits is only centred", {40, 30}, {0, 0, 150, 130}, {55, 50, 40, 30}},
        // 147 x (20 / 147) comes out a hair above 20; the fit must not grow past the bounds.
        {"limiting side exactly the bound", {10, 147}, {0, 0, 150, 20}, {74, 0, 2, 20}},
        {"zero size", {0, 0}, box, {}},
        {"zero width", {0, 50}, box, {}},
        {"zero height", {50, 0}, box, {}},
        {"empty bounds", {40, 30}, {5, 5, 0, 0}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MorvFittedRect(c.size, c.bounds), c.expected);
    }
    EXPECT_EQ(MorvScaledSize({0, 0}, 3.5), QSizeF(0, 0));
    EXPECT_EQ(MorvScaledSize({4, 6}, 0.5), QSizeF(2, 3));
}

TEST(ViewBackground, DrawsEachStyle)
{
    const struct {
        int style;
        QPoint pixel;
        QColor expected; // invalid: the same as a plain widget's
    } cases[] = {
        {ViewBackground::ColorStyle, {10, 10}, Qt::magenta},
        {ViewBackground::GradientStyle, {200, 0}, QColor::fromRgbF(0.8f, 0.8f, 0.8f)},   // top: grey 0.8
        {ViewBackground::GradientStyle, {200, 299}, QColor::fromRgbF(0.9f, 0.9f, 0.9f)}, // bottom: grey 0.9
        {ViewBackground::PatternStyle, {5, 5}, QColor(0xa4, 0x51, 0x3a)},                // a brick
        {ViewBackground::PatternStyle, {0, 0}, QColor(0xd9, 0xd4, 0xcc)},                // mortar
        {ViewBackground::ImageStyle, {186, 152}, QColor(0xd0, 0xd3, 0xd6)},              // the big gear's hub
        {ViewBackground::ImageStyle, {10, 10}, {}},                                      // around the picture
        {0, {10, 10}, {}},
        {5, {10, 10}, {}},
    };
    QWidget plain;
    plain.resize(400, 300);
    const QImage plainImage = plain.grab().toImage();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "style " << c.style << " at " << c.pixel.x() << "," << c.pixel.y());
        // Drawn first at another size in another style: what it shows follows both changes.
        ViewBackground view;
        view.resize(200, 100);
        view.setBackgroundStyle(c.style == ViewBackground::ColorStyle ? ViewBackground::GradientStyle
                                                                      : ViewBackground::ColorStyle);
        view.grab();
        view.resize(400, 300);
        view.setBackgroundStyle(c.style);
        EXPECT_EQ(view.backgroundStyle(), c.style);
        const QColor expected = c.expected.isValid() ? c.expected : plainImage.pixelColor(c.pixel);
        const QColor actual = view.grab().toImage().pixelColor(c.pixel);
        EXPECT_NEAR(actual.red(), expected.red(), 1);
        EXPECT_NEAR(actual.green(), expected.green(), 1);
        EXPECT_NEAR(actual.blue(), expected.blue(), 1);
    }
}

TEST(NSViewFade, HidesAtOnceOrAfterTheFade)
{
    QWidget window;
    auto* view = new QWidget(&window);
    window.show();
    setHidden(view, true, false);
    EXPECT_TRUE(view->isHidden());
    setHidden(view, false, false);
    EXPECT_FALSE(view->isHidden());
    setHidden(view, true, true);
    EXPECT_FALSE(view->isHidden());
    EXPECT_TRUE(QTest::qWaitFor([view] { return view->isHidden(); }, 3000));
    EXPECT_EQ(view->graphicsEffect(), nullptr);
    setHidden(view, false, true);
    EXPECT_FALSE(view->isHidden());
    EXPECT_NE(view->graphicsEffect(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([view] { return view->graphicsEffect() == nullptr; }, 3000));
    EXPECT_FALSE(view->isHidden());
    // A change in the middle of a fade is not undone when the fade would have ended: a second view
    // faded out at the same moment marks that end, however slow the machine.
    auto* witness = new QWidget(&window);
    witness->show();
    setHidden(witness, true, true);
    setHidden(view, true, true);
    setHidden(view, false, false);
    EXPECT_TRUE(QTest::qWaitFor([witness] { return witness->isHidden(); }, 3000));
    QCoreApplication::processEvents();
    EXPECT_FALSE(view->isHidden());
}

TEST(ZavrelEffects, ZoomShowsAndHidesTheWindowOnlyWhenItsStateChangesThroughASnapshot)
{
    QWidget window;
    window.setGeometry(200, 200, 160, 120);
    const auto zoomWindowsLeft = [] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QWidgetList windows = QApplication::topLevelWidgets();
        return std::count_if(windows.begin(), windows.end(),
                             [](QWidget* w) { return qobject_cast<ZavrelZoomWindow*>(w); });
    };
    zoomOffToRect(&window, {0, 0, 10, 10}); // hidden already
    EXPECT_FALSE(window.isVisible());
    zoomOnFromRect(&window, {10, 10, 20, 20});
    EXPECT_TRUE(window.isVisible());
    zoomOnFromRect(&window, {0, 0, 10, 10}); // visible already
    zoomOffToRect(&window, {10, 10, 20, 20});
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(zoomWindowsLeft(), 0);
    ViewBackground coloured;
    coloured.setBackgroundStyle(ViewBackground::ColorStyle);
    coloured.resize(80, 60);
    std::unique_ptr<ZavrelZoomWindow> zoom(ZavrelZoomWindow::_createZoomWindowWithRect(&coloured, {0, 0, 0, 0}));
    EXPECT_EQ(zoom->snapshot().size(), QSize(80, 60));
    EXPECT_EQ(zoom->snapshot().pixelColor(40, 30), QColor(Qt::magenta));
    EXPECT_EQ(zoom->geometry().size(), QSize(1, 1)); // never zero
    // 0.2 s per 150 pixels of the largest edge movement (Shift is not held here).
    EXPECT_DOUBLE_EQ(zoom->animationResizeTime({0, 0, 151, 76}), 0.2);
}

TEST(TextViewLines, ListsTheLaidOutLinesWithoutTheirBreaksAndWrapsAtTheWidth)
{
    const std::pair<const char*, QStringList> cases[] = {
        {"", {}}, {"alpha", {"alpha"}}, {"alpha\nbeta\n", {"alpha", "beta"}}, {"alpha\n\nbeta", {"alpha", "", "beta"}}};
    QPlainTextEdit view;
    view.resize(400, 200);
    for (const auto& [text, lines] : cases) {
        SCOPED_TRACE(text);
        view.setPlainText(QString::fromUtf8(text));
        EXPECT_EQ(::lines(&view), lines);
        EXPECT_EQ(numberOfLines(&view), unsigned(lines.size()));
    }
    const QString text = QStringLiteral("the quick brown fox jumps over the lazy dog ").repeated(8).trimmed();
    const QStringList wrapped = layOutLines(text, QFont(), 120);
    EXPECT_GT(wrapped.size(), 3);
    EXPECT_EQ(wrapped.join(QString()), text);
    EXPECT_EQ(layOutLines(text, QFont(), 0).size(), 1) << "no width: no wrapping";
}

TEST(ToolTipWrapping, LineCountAndRatioFindTheNarrowestWidthThatKeepsTheTextWithinThem)
{
    const QString text =
        QStringLiteral("Scan the selected disk for files that were deleted but whose blocks are still there");
    for (uint32_t count : {1u, 2u, 3u}) {
        SCOPED_TRACE(count);
        const QString result = stringWrappedForToolTipToLineCount(text, count);
        const uint32_t width = uint32_t(sharedTextViewForWrappingForToolTips().width);
        EXPECT_LE(uint32_t(result.count(QLatin1Char('\n')) + 1), count);
        // One pixel narrower needs more lines.
        EXPECT_GT(uint32_t(stringWrappedForToolTipToPixelWidth(text, width - 1).count(QLatin1Char('\n')) + 1), count);
    }
    EXPECT_FALSE(stringWrappedForToolTipToLineCount(text, 0).isEmpty()) << "zero lines asked: no division by zero";
    // Text wider than the limit comes back wrapped at the widest width.
    EXPECT_GT(stringWrappedForToolTipToLineCount(QStringLiteral("wide ").repeated(3000), 1).count(QLatin1Char('\n')),
              0);
    EXPECT_EQ(sharedTextViewForWrappingForToolTips().width, 10000.0);
    // A narrower width-to-height ratio wraps into more lines.
    const QString longer = text.repeated(3);
    EXPECT_GT(stringWrappedForToolTipToWidthToHeightRatio(longer, 1.0f).count(QLatin1Char('\n')),
              stringWrappedForToolTipToWidthToHeightRatio(longer, 8.0f).count(QLatin1Char('\n')));
}

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
        ASSERT_NE(splash.window(), nullptr);
        EXPECT_TRUE(splash.window()->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_TRUE(splash.window()->windowFlags() & Qt::FramelessWindowHint);
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
        EXPECT_NEAR(fadeOut[1], 0.99, 1e-6);
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
