// Drawing: fitted pictures, the background, the fade, the zoom, text lines and the gradient.
#include "BrelGradient.h"
#include "MorvImageUtilities.h"
#include "NSString_Wrapping.h"
#include "NSTextView_Lines.h"
#include "NSView_Fade.h"
#include "NSWindow-ZavrelEffects.h"
#include "ViewBackground.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <stdexcept>
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
        {"tall picture", {100, 300}, box, {58, 15, 44, 130}}, // 43.3 x 130 at x = 58.3, widened to whole pixels
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
    // A change during a fade outlives the fade's end, marked by a witness faded out at the same moment.
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
    EXPECT_FALSE(zoom->windowFlags() & Qt::NoDropShadowWindowHint) << "the source's shadow";
    coloured.setWindowFlag(Qt::NoDropShadowWindowHint);
    std::unique_ptr<ZavrelZoomWindow> flat(ZavrelZoomWindow::_createZoomWindowWithRect(&coloured, {0, 0, 0, 0}));
    EXPECT_TRUE(flat->windowFlags() & Qt::NoDropShadowWindowHint) << "no shadow, as the source";
    EXPECT_EQ(zoom->snapshot().size(), QSize(80, 60));
    EXPECT_EQ(zoom->snapshot().pixelColor(40, 30), QColor(Qt::magenta));
    EXPECT_EQ(zoom->geometry().size(), QSize(1, 1));                   // never zero
    EXPECT_DOUBLE_EQ(zoom->animationResizeTime({0, 0, 151, 76}), 0.2); // 0.2 s per 150 pixels of the largest move
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
struct Rgba {
    float red, green, blue, alpha;
};
void expectColour(const QColor& actual, Rgba expected, float tolerance = 0.003f)
{
    EXPECT_NEAR(actual.redF(), expected.red, tolerance);
    EXPECT_NEAR(actual.greenF(), expected.green, tolerance);
    EXPECT_NEAR(actual.blueF(), expected.blue, tolerance);
    EXPECT_NEAR(actual.alphaF(), expected.alpha, tolerance);
}
BrelGradient blackToWhite()
{
    return BrelGradient::gradientWithBeginningColor(Qt::black, Qt::white);
}
using Stops = std::vector<std::pair<long, float>>;
Stops stops(const BrelGradient& gradient)
{
    Stops result;
    for (unsigned i = 0; const BrelGradientElement* element = gradient.elementAtIndex(i); ++i)
        result.emplace_back(std::lround(element->red * 255), element->position);
    return result;
}
TEST(BrelGradient, ColourAtPositionFollowsTheBlendingMode)
{
    const BrelGradient greyToRed = BrelGradient()
                                       .addColorStop(QColor::fromRgbF(0.5f, 0.5f, 0.5f), 0)
                                       .addColorStop(QColor::fromRgbF(1, 0, 0), 1)
                                       .gradientWithBlendingMode(BrelHueAscendingBlendingMode);
    const BrelGradient blueToRed = BrelGradient::gradientWithBeginningColor(Qt::blue, Qt::red);
    const BrelGradient rainbow = BrelGradient::rainbowGradient();
    const QColor pinkColour = QColor::fromRgbF(1, 0, 0.5f);
    const BrelGradient pink = BrelGradient::gradientWithBeginningColor(pinkColour, pinkColour);
    const struct {
        const char* name;
        BrelGradient gradient;
        float position;
        Rgba expected;
    } cases[] = {
        // The rainbow climbs in hue from red (0) to 272.4 degrees: 68.1, 136.2, 204.3 on the way.
        {"rainbow up, quarter", rainbow, 0.25f, {0.865f, 1, 0, 1}},
        {"rainbow up, half", rainbow, 0.5f, {0, 1, 0.27f, 1}},
        // Downwards from 360 it passes through magenta (316.2 degrees at the middle).
        {"rainbow down, half", rainbow.gradientWithBlendingMode(2), 0.5f, {1, 0, 0.73f, 1}},
        // From blue (240) to red (0): upwards through magenta, downwards through green.
        {"blue to red up, half", blueToRed.gradientWithBlendingMode(1), 0.5f, {1, 0, 1, 1}},
        {"blue to red down, half", blueToRed.gradientWithBlendingMode(2), 0.5f, {0, 1, 0, 1}},
        // Red the largest and green below blue: a hue just below the full turn (330 degrees).
        {"pink kept in hue mode", pink.gradientWithBlendingMode(1), 0.5f, {1, 0, 0.5f, 1}},
        {"rainbow in RGB, half", rainbow.gradientWithBlendingMode(0), 0.5f, {0.77f, 0, 0.5f, 1}},
        // A spectral line at full brightness (hue 200), dark just beside it.
        {"hydrogen line", BrelGradient::hydrogenSpectrumGradient(), 0.71f, {0, 2 / 3.0f, 1, 1}},
        {"beside the hydrogen line", BrelGradient::hydrogenSpectrumGradient(), 0.702f, {0, 0, 0.001f, 1}},
        // The grey has no hue of its own: the blend stays red, only paler.
        {"grey to red keeps the hue", greyToRed, 0.5f, {0.75f, 0.375f, 0.375f, 1}},
        // The hard edge: the first of the two middle stops at 0.5, the second just above it.
        {"aqua edge, at", BrelGradient::aquaNormalGradient(), 0.5f, {0.83f, 0.83f, 0.83f, 1}},
        {"aqua edge, just above", BrelGradient::aquaNormalGradient(), 0.5001f, {0.95f, 0.95f, 0.95f, 1}},
        {"below the first stop", BrelGradient::unifiedNormalGradient(), -0.5f, {0.75f, 0.75f, 0.75f, 1}},
        {"above the last stop", BrelGradient::unifiedNormalGradient(), 1.5f, {0.9f, 0.9f, 0.9f, 1}},
        {"alpha blends too",
         BrelGradient::gradientWithBeginningColor(QColor(0, 0, 0, 0), Qt::white),
         0.5f,
         {0.5f, 0.5f, 0.5f, 0.5f}},
        {"empty gradient is opaque white", BrelGradient(), 0.3f, {1, 1, 1, 1}},
        {"empty hue gradient is opaque white", BrelGradient().gradientWithBlendingMode(1), 0.3f, {1, 1, 1, 1}},
        // A position that is no number leaves nothing undefined in the colour.
        {"NaN position", blackToWhite(), std::numeric_limits<float>::quiet_NaN(), {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectColour(c.gradient.colorAtPosition(c.position), c.expected);
    }
}
TEST(BrelGradient, HueWithoutASectorGivesBlack)
{
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::pair<float, float> huesAndGreens[] = {{nan, 0}, {inf, 0}, {-inf, 0}, {-30, 0}, {480, 1}}; // 480: 120
    for (const auto& [hue, green] : huesAndGreens) {
        SCOPED_TRACE(hue);
        float hsv[3] = {hue, 1, 1};
        BrelHSVToRGB(hsv);
        EXPECT_EQ(std::vector<float>(hsv, hsv + 3), (std::vector<float>{0, green, 0}));
    }
}
TEST(BrelGradient, StopOperationsReturnNewGradientsAndRefuseMissingStopsAndUnknownModes)
{
    const BrelGradient base = blackToWhite();
    // A stop at a position already present goes after the stop that is there.
    const BrelGradient added = base.addColorStop(QColor(10, 0, 0), 0.5f)
                                   .addColorStop(QColor(20, 0, 0), 0.5f)
                                   .addColorStop(QColor(30, 0, 0), 0);
    EXPECT_EQ(stops(added), (Stops{{0, 0}, {30, 0}, {10, 0.5f}, {20, 0.5f}, {255, 1}}));
    EXPECT_EQ(stops(base), (Stops{{0, 0}, {255, 1}}));
    EXPECT_EQ(stops(added.removeColorStopAtPosition(0.5f)), (Stops{{0, 0}, {30, 0}, {20, 0.5f}, {255, 1}}));
    EXPECT_EQ(stops(added.removeColorStopAtIndex(4)), (Stops{{0, 0}, {30, 0}, {10, 0.5f}, {20, 0.5f}}));
    expectColour(added.colorStopAtIndex(1), {30 / 255.0f, 0, 0, 1});
    const BrelGradient faded = BrelGradient::rainbowGradient().gradientWithAlphaComponent(0.25f);
    EXPECT_EQ(faded.blendingMode(), BrelRGBBlendingMode);
    expectColour(faded.colorStopAtIndex(1), {0.54f, 0, 1, 0.25f});
    const BrelGradient three = blackToWhite().addColorStop(Qt::red, 0.5f);
    EXPECT_THROW((void)three.removeColorStopAtPosition(0.3f), std::out_of_range);
    EXPECT_THROW((void)three.removeColorStopAtIndex(3), std::out_of_range);
    EXPECT_THROW((void)BrelGradient().removeColorStopAtIndex(0), std::out_of_range);
    EXPECT_THROW((void)three.colorStopAtIndex(3), std::out_of_range);
    EXPECT_THROW((void)three.gradientWithBlendingMode(3), std::invalid_argument);
    EXPECT_THROW((void)three.gradientWithBlendingMode(-1), std::invalid_argument);
    BrelGradient hue = BrelGradient::rainbowGradient();
    EXPECT_FALSE(hue.setBlendingMode(7));
    EXPECT_EQ(hue.blendingMode(), BrelHueAscendingBlendingMode);
}
QImage filled(QSize size, const std::function<void(QPainter&, QRectF)>& fill)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    fill(painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return image;
}
TEST(BrelGradient, AxialFillRunsAlongTheAngleAndKeepsTheHardEdge)
{
    const BrelGradient gradient = blackToWhite();
    // A 4 x 10 picture: pixel centres at t = (n + 0.5) / extent along the axis.
    const struct {
        float angle;
        QPoint pixel;
        int grey;
    } cases[] = {
        {270, {0, 0}, 13},  {270, {3, 0}, 13}, {270, {2, 9}, 242}, // top to bottom
        {90, {0, 0}, 242},  {90, {3, 9}, 13},                      // bottom to top
        {0, {0, 5}, 32},    {0, {3, 5}, 223},                      // left to right
        {180, {0, 5}, 223}, {180, {3, 5}, 32},                     // right to left
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.angle << " at " << c.pixel.x() << "," << c.pixel.y());
        const QImage image = filled({4, 10}, [&](QPainter& p, QRectF r) { gradient.fillRect(p, r, c.angle); });
        EXPECT_NEAR(qRed(image.pixel(c.pixel)), c.grey, 1);
        EXPECT_EQ(qAlpha(image.pixel(c.pixel)), 255);
    }
    // The pressed aqua preset along 8 rows top to bottom: rows 3 and 4 sit either side of its edge.
    const QImage edge =
        filled({2, 8}, [](QPainter& p, QRectF r) { BrelGradient::aquaPressedGradient().fillRect(p, r, 270); });
    EXPECT_NEAR(qRed(edge.pixel(0, 3)), std::lround(255 * (0.80 + (0.64 - 0.80) * 0.4375 / 0.5)), 1);
    EXPECT_NEAR(qRed(edge.pixel(0, 4)), std::lround(255 * (0.80 + (0.77 - 0.80) * 0.0625 / 0.5)), 1);
}
TEST(BrelGradient, RadialFillGrowsFromTheCentreAndFillsOfNothingDrawNothing)
{
    const BrelGradient gradient = blackToWhite();
    // 21 x 21: from radius 1 at the centre to radius 10.5, the end colours carried on both ways.
    const QImage image = filled({21, 21}, [&](QPainter& p, QRectF r) { gradient.radialFillRect(p, r); });
    const std::pair<QPoint, int> cases[] = {
        {{10, 10}, 0},                                            // inside the first circle
        {{0, 10}, static_cast<int>(std::lround(255 * 9 / 9.5))},  // distance 10
        {{10, 15}, static_cast<int>(std::lround(255 * 4 / 9.5))}, // distance 5
        {{0, 0}, 255},                                            // beyond the last circle
    };
    for (const auto& [pixel, grey] : cases) {
        SCOPED_TRACE(testing::Message() << pixel.x() << "," << pixel.y());
        EXPECT_NEAR(qRed(image.pixel(pixel)), grey, 1);
    }
    for (const QRectF& rect : {QRectF(0, 0, 0, 10), QRectF(0, 0, 10, 0), QRectF(2, 2, -3, 4)}) {
        SCOPED_TRACE(testing::Message() << rect.width() << "x" << rect.height());
        const QImage empty = filled({10, 10}, [&](QPainter& p, QRectF) {
            gradient.fillRect(p, rect, 270);
            gradient.radialFillRect(p, rect);
        });
        EXPECT_EQ(empty.pixel(1, 1), 0u);
    }
    const QImage nanAngle = filled(
        {4, 4}, [&](QPainter& p, QRectF r) { gradient.fillRect(p, r, std::numeric_limits<float>::quiet_NaN()); });
    EXPECT_EQ(nanAngle.pixel(1, 1), 0u);
}
TEST(BrelGradient, ArchiveRoundTripKeepsStopsOrderAndModeAndRefusesCorruptArchives)
{
    const BrelGradient original = BrelGradient::aquaSelectedGradient().gradientWithBlendingMode(2);
    const QVariantMap archive = original.encodeWithCoder();
    QString why;
    const auto copy = BrelGradient::initWithCoder(archive, &why);
    ASSERT_TRUE(copy) << why.toStdString();
    EXPECT_EQ(copy->encodeWithCoder(), archive); // every component of every stop, and the mode
    EXPECT_TRUE(BrelGradient::initWithCoder(BrelGradient().encodeWithCoder()));
    const QVariantMap good = blackToWhite().encodeWithCoder();
    auto with = [&good](const QString& key, const QVariant& value) {
        QVariantMap map = good;
        if (value.isValid())
            map.insert(key, value);
        else
            map.remove(key);
        return map;
    };
    QVariantMap renumbered = with("$3", QVariant());
    renumbered.insert("$10", 0.5f);
    const std::pair<const char*, QVariantMap> cases[] = {
        {"count above the stored stops", with("BrelGradientElementCount", 3)},
        {"count below the stored stops", with("BrelGradientElementCount", 1)},
        {"huge count", with("BrelGradientElementCount", std::numeric_limits<int>::max())},
        {"negative count", with("BrelGradientElementCount", -1)},
        {"no count", with("BrelGradientElementCount", QVariant())},
        {"unknown mode", with("BrelGradientBlendingMode", 3)},
        {"no mode", with("BrelGradientBlendingMode", QVariant())},
        {"value not a number", with("$7", "green")},
        {"value not finite", with("$9", std::numeric_limits<float>::quiet_NaN())},
        {"value missing, another in its place", renumbered},
    };
    for (const auto& [name, corrupt] : cases) {
        SCOPED_TRACE(name);
        why.clear();
        EXPECT_FALSE(BrelGradient::initWithCoder(corrupt, &why));
        EXPECT_FALSE(why.isEmpty());
    }
}
} // namespace
