#include "BrelGradient.h"

#include <QImage>
#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace {

using Element = BrelGradientElement;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// A fill is rasterized at most this many pixels on a side; a larger one is stretched when drawn,
// so a huge rectangle cannot make us allocate without bound.
constexpr int kMaxRasterSide = 8192;

const char* const kCountKey = "BrelGradientElementCount";
const char* const kModeKey = "BrelGradientBlendingMode";

QString valueKey(qint64 number)
{
    return QStringLiteral("$%1").arg(number);
}

// The stops on either side of x: the last stop at or before it and the one after, the same stop
// twice beyond the last. False for an empty list.
bool locate(const std::vector<Element>& list, float x, const Element*& lower, const Element*& upper)
{
    if (list.empty())
        return false;
    std::size_t next = 1;
    lower = &list[0];
    upper = next < list.size() ? &list[next] : nullptr;
    while (upper && x > upper->position) {
        lower = upper;
        ++next;
        upper = next < list.size() ? &list[next] : nullptr;
    }
    if (!upper)
        upper = lower;
    return true;
}

// Before the lower stop its values, after the upper stop its values, linear in between. Stops at
// equal positions never reach the division: one of the first two tests holds.
void choose(const float low[4], float lowPosition, const float up[4], float upPosition, float x, float out[4])
{
    if (lowPosition >= x) {
        std::copy(low, low + 4, out);
    } else if (x >= upPosition) {
        std::copy(up, up + 4, out);
    } else {
        const float t = (x - lowPosition) / (upPosition - lowPosition);
        for (int i = 0; i < 4; ++i)
            out[i] = low[i] + (up[i] - low[i]) * t;
    }
}

void white(float out[4])
{
    std::fill(out, out + 4, 1.0f);
}

void BrelRGBEvaluate(const std::vector<Element>& list, float x, float out[4])
{
    const Element* lower = nullptr;
    const Element* upper = nullptr;
    if (!locate(list, x, lower, upper))
        return white(out);
    const float low[4] = {lower->red, lower->green, lower->blue, lower->alpha};
    const float up[4] = {upper->red, upper->green, upper->blue, upper->alpha};
    choose(low, lower->position, up, upper->position, x, out);
}

// A grey has no hue; it takes its neighbour's, so a blend towards grey keeps one hue throughout.
void BrelFixUndefinedHues(float& a, float& b)
{
    if (std::isnan(a) && std::isnan(b)) {
        a = b = 0;
    } else if (std::isnan(a)) {
        a = b;
    } else if (std::isnan(b)) {
        b = a;
    }
}

void hueEvaluate(const std::vector<Element>& list, float x, float out[4], bool ascending)
{
    const Element* lower = nullptr;
    const Element* upper = nullptr;
    if (!locate(list, x, lower, upper))
        return white(out);
    float low[4] = {lower->red, lower->green, lower->blue, lower->alpha};
    float up[4] = {upper->red, upper->green, upper->blue, upper->alpha};
    BrelRGBToHSV(low);
    BrelRGBToHSV(up);
    BrelFixUndefinedHues(low[0], up[0]);
    if (ascending && low[0] > up[0])
        up[0] += 360;
    if (!ascending && up[0] > low[0])
        low[0] += 360;
    choose(low, lower->position, up, upper->position, x, out);
    BrelHSVToRGB(out);
}

void BrelHueAscendingEvaluate(const std::vector<Element>& list, float x, float out[4])
{
    hueEvaluate(list, x, out, true);
}

void BrelHueDescendingEvaluate(const std::vector<Element>& list, float x, float out[4])
{
    hueEvaluate(list, x, out, false);
}

// What leaves the gradient is clamped to 0..1, as a shading function's declared range is; a NaN
// (from a NaN position) becomes 0.
float unit(float value)
{
    return value > 0 ? std::min(value, 1.0f) : 0.0f;
}

QRgb premultipliedPixel(const float colour[4])
{
    auto byte = [](float value) { return static_cast<int>(std::lround(unit(value) * 255.0f)); };
    return qPremultiply(qRgba(byte(colour[0]), byte(colour[1]), byte(colour[2]), byte(colour[3])));
}

// The raster that stands for `rect` on the painter's device: one pixel per device pixel, capped.
QImage rasterFor(const QPainter& painter, const QRectF& rect)
{
    qreal scale = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QTransform& world = painter.worldTransform();
    scale *= std::max(std::hypot(world.m11(), world.m12()), std::hypot(world.m21(), world.m22()));
    if (!(scale > 0) || !std::isfinite(scale))
        scale = 1.0;
    auto side = [scale](qreal length) {
        return static_cast<int>(std::clamp<qreal>(std::ceil(length * scale), 1, kMaxRasterSide));
    };
    QImage image(side(rect.width()), side(rect.height()), QImage::Format_ARGB32_Premultiplied);
    return image;
}

} // namespace

void BrelRGBToHSV(float components[3])
{
    const float red = components[0], green = components[1], blue = components[2];
    const float max = std::max({red, green, blue});
    const float min = std::min({red, green, blue});
    float hue = kNaN;
    if (max != min) {
        const float d = max - min;
        if (max == red)
            hue = 60 * (green - blue) / d + (green < blue ? 360 : 0);
        else if (max == green)
            hue = 120 + 60 * (blue - red) / d;
        else
            hue = 240 + 60 * (red - green) / d;
    }
    components[0] = hue;
    components[1] = max == 0 ? 0 : 1 - min / max;
    components[2] = max;
}

void BrelHSVToRGB(float components[3])
{
    const float hue = components[0], saturation = components[1], value = components[2];
    // An undefined or infinite hue has no sector; it would otherwise reach a float-to-int conversion
    // of NaN.
    if (!std::isfinite(hue)) {
        std::fill(components, components + 3, 0.0f);
        return;
    }
    const float h = std::fmod(hue, 360.0f) / 60;
    const float i = std::floor(h);
    const float f = h - i;
    const float p = value * (1 - saturation);
    const float q = value * (1 - f * saturation);
    const float t = value * (1 - (1 - f) * saturation);
    float red = 0, green = 0, blue = 0;
    switch (static_cast<int>(i)) {
    case 0: red = value, green = t, blue = p; break;
    case 1: red = q, green = value, blue = p; break;
    case 2: red = p, green = value, blue = t; break;
    case 3: red = p, green = q, blue = value; break;
    case 4: red = t, green = p, blue = value; break;
    case 5: red = value, green = p, blue = q; break;
    default: break; // a negative hue: black
    }
    components[0] = red;
    components[1] = green;
    components[2] = blue;
}

BrelGradient::BrelGradient() = default;

QColor BrelGradient::colorStopAtIndex(unsigned index) const
{
    const Element* element = elementAtIndex(index);
    if (!element)
        throw std::out_of_range(
            QStringLiteral("-[BrelGradient colorStopAtIndex:]: index (%1) beyond bounds").arg(index).toStdString());
    return QColor::fromRgbF(unit(element->red), unit(element->green), unit(element->blue), unit(element->alpha));
}

void BrelGradient::evaluate(float position, float out[4]) const
{
    switch (blendingMode_) {
    case BrelHueAscendingBlendingMode: BrelHueAscendingEvaluate(elements_, position, out); break;
    case BrelHueDescendingBlendingMode: BrelHueDescendingEvaluate(elements_, position, out); break;
    default: BrelRGBEvaluate(elements_, position, out); break;
    }
}

QColor BrelGradient::colorAtPosition(float position) const
{
    float out[4];
    evaluate(position, out);
    return QColor::fromRgbF(unit(out[0]), unit(out[1]), unit(out[2]), unit(out[3]));
}

BrelGradient BrelGradient::gradientWithAlphaComponent(float alpha) const
{
    BrelGradient result;
    for (Element element : elements_) {
        element.alpha = alpha;
        result.addElement(element);
    }
    return result;
}

BrelGradient BrelGradient::gradientWithBlendingMode(int mode) const
{
    BrelGradient result = *this;
    if (!result.setBlendingMode(mode))
        throw std::invalid_argument(
            QStringLiteral("-[BrelGradient gradientWithBlendingMode:]: unknown blending mode (%1)")
                .arg(mode)
                .toStdString());
    return result;
}

BrelGradient BrelGradient::addColorStop(const QColor& color, float position) const
{
    const QColor rgb = color.toRgb();
    BrelGradient result = *this;
    result.addElement({rgb.redF(), rgb.greenF(), rgb.blueF(), rgb.alphaF(), position});
    return result;
}

BrelGradient BrelGradient::removeColorStopAtPosition(float position) const
{
    BrelGradient result = *this;
    if (std::isnan(result.removeElementAtPosition(position).position))
        throw std::out_of_range(
            QString::asprintf("-[BrelGradient removeColorStopAtPosition:]: no such colorStop at position (%f)",
                              static_cast<double>(position))
                .toStdString());
    return result;
}

BrelGradient BrelGradient::removeColorStopAtIndex(unsigned index) const
{
    BrelGradient result = *this;
    if (std::isnan(result.removeElementAtIndex(index).position))
        throw std::out_of_range(QStringLiteral("-[BrelGradient removeColorStopAtIndex:]: index (%1) beyond bounds")
                                    .arg(index)
                                    .toStdString());
    return result;
}

// ---- presets

namespace {

BrelGradient fromStops(std::initializer_list<BrelGradientElement> stops, int mode = BrelRGBBlendingMode)
{
    BrelGradient gradient;
    for (const auto& stop : stops)
        gradient.addElement(stop);
    gradient.setBlendingMode(mode);
    return gradient;
}

BrelGradientElement grey(float value, float position)
{
    return {value, value, value, 1.0f, position};
}

} // namespace

BrelGradient BrelGradient::gradientWithBeginningColor(const QColor& begin, const QColor& end)
{
    return BrelGradient().addColorStop(begin, 0.0f).addColorStop(end, 1.0f);
}

BrelGradient BrelGradient::aquaSelectedGradient()
{
    return fromStops({{0.58f, 0.86f, 0.98f, 1.0f, 0.0f},
                      {0.42f, 0.68f, 0.90f, 1.0f, 0.5f},
                      {0.64f, 0.80f, 0.94f, 1.0f, 0.5f},
                      {0.56f, 0.70f, 0.90f, 1.0f, 1.0f}});
}

BrelGradient BrelGradient::aquaNormalGradient()
{
    return fromStops({grey(0.95f, 0.0f), grey(0.83f, 0.5f), grey(0.95f, 0.5f), grey(0.92f, 1.0f)});
}

BrelGradient BrelGradient::aquaPressedGradient()
{
    return fromStops({grey(0.80f, 0.0f), grey(0.64f, 0.5f), grey(0.80f, 0.5f), grey(0.77f, 1.0f)});
}

BrelGradient BrelGradient::unifiedSelectedGradient()
{
    return fromStops({grey(0.85f, 0.0f), grey(0.95f, 1.0f)});
}

BrelGradient BrelGradient::unifiedNormalGradient()
{
    return fromStops({grey(0.75f, 0.0f), grey(0.90f, 1.0f)});
}

BrelGradient BrelGradient::unifiedPressedGradient()
{
    return fromStops({grey(0.60f, 0.0f), grey(0.75f, 1.0f)});
}

BrelGradient BrelGradient::unifiedDarkGradient()
{
    return fromStops({grey(0.68f, 0.0f), grey(0.83f, 1.0f)});
}

BrelGradient BrelGradient::sourceListSelectedGradient()
{
    return fromStops({{0.06f, 0.37f, 0.85f, 1.0f, 0.0f}, {0.30f, 0.60f, 0.92f, 1.0f, 1.0f}});
}

BrelGradient BrelGradient::sourceListUnselectedGradient()
{
    return fromStops({grey(0.43f, 0.0f), grey(0.60f, 1.0f)});
}

BrelGradient BrelGradient::rainbowGradient()
{
    return fromStops({{1.0f, 0.0f, 0.0f, 1.0f, 0.0f}, {0.54f, 0.0f, 1.0f, 1.0f, 1.0f}}, BrelHueAscendingBlendingMode);
}

BrelGradient BrelGradient::hydrogenSpectrumGradient()
{
    struct Line {
        float hue, position, halfWidth;
    };
    static const Line lines[] = {
        {22, 0.145f, 0.01f}, {200, 0.71f, 0.008f}, {253, 0.885f, 0.005f}, {275, 0.965f, 0.003f}};
    BrelGradient gradient;
    for (const Line& line : lines) {
        // Dark just outside the line, fully bright at it.
        const float stops[3][4] = {{line.hue - 180 * line.halfWidth, 1, 0.001f, line.position - line.halfWidth},
                                   {line.hue, 1, 1, line.position},
                                   {line.hue + 180 * line.halfWidth, 1, 0.001f, line.position + line.halfWidth}};
        for (const auto& stop : stops) {
            float rgb[3] = {stop[0], stop[1], stop[2]};
            BrelHSVToRGB(rgb);
            gradient.addElement({rgb[0], rgb[1], rgb[2], 1.0f, stop[3]});
        }
    }
    gradient.setBlendingMode(BrelHueAscendingBlendingMode);
    return gradient;
}

// ---- drawing

void BrelGradient::fillRect(QPainter& painter, QRectF rect, float angle) const
{
    const double w = rect.width(), h = rect.height();
    if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h) || !std::isfinite(angle))
        return;
    // The axis in the rectangle's own y-up frame (origin at its bottom-left corner), from start to end.
    double startX = 0, startY = 0, endX = 0, endY = 0;
    if (angle == 0) {
        endX = w;
    } else if (angle == 90) {
        endY = h;
    } else {
        // The axis passes through the centre and spans the rectangle's extent along the angle.
        const double a = angle * std::numbers::pi / 180.0;
        double extent = 0, halfX = 0, halfY = 0;
        if (std::abs(std::tan(a)) <= 1) {
            const double s = std::sin(a), c = std::cos(a), t = std::tan(a);
            extent = w / std::abs(c) + std::abs(s) * (h - std::abs(t) * w);
            halfX = extent * c / 2;
            halfY = extent * s / 2;
        } else {
            const double a2 = a - std::numbers::pi / 2;
            const double s = std::sin(a2), c = std::cos(a2), t = std::tan(a2);
            extent = h / std::abs(c) + std::abs(s) * (w - std::abs(t) * h);
            halfX = -extent * s / 2;
            halfY = extent * c / 2;
        }
        startX = w / 2 - halfX;
        startY = h / 2 - halfY;
        endX = w / 2 + halfX;
        endY = h / 2 + halfY;
    }
    const double dx = endX - startX, dy = endY - startY;
    const double length2 = dx * dx + dy * dy;
    if (!(length2 > 0) || !std::isfinite(length2))
        return;

    // t is linear in the raster's pixel coordinates: t = ax * column + ay * row + c, at pixel centres.
    QImage image = rasterFor(painter, rect);
    const double pixelW = w / image.width(), pixelH = h / image.height();
    const double ax = dx * pixelW / length2;
    const double ay = -dy * pixelH / length2;
    const double c = ((0.5 * pixelW - startX) * dx + (h - 0.5 * pixelH - startY) * dy) / length2;
    auto colourAt = [this](double t) {
        float out[4];
        evaluate(static_cast<float>(std::clamp(t, 0.0, 1.0)), out);
        return premultipliedPixel(out);
    };
    const int columns = image.width(), rows = image.height();
    // An axis along a side leaves whole rows or columns one colour: evaluate each once.
    const bool rowsUniform = std::abs(ax) * columns < 1e-9;
    const bool columnsUniform = std::abs(ay) * rows < 1e-9;
    std::vector<QRgb> line;
    if (columnsUniform && !rowsUniform) {
        line.resize(columns);
        for (int x = 0; x < columns; ++x)
            line[x] = colourAt(ax * x + c);
    }
    for (int y = 0; y < rows; ++y) {
        auto* pixels = reinterpret_cast<QRgb*>(image.scanLine(y));
        if (rowsUniform) {
            std::fill(pixels, pixels + columns, colourAt(ay * y + c));
        } else if (columnsUniform) {
            std::copy(line.begin(), line.end(), pixels);
        } else {
            for (int x = 0; x < columns; ++x)
                pixels[x] = colourAt(ax * x + ay * y + c);
        }
    }
    painter.drawImage(rect, image);
}

void BrelGradient::radialFillRect(QPainter& painter, QRectF rect) const
{
    const double w = rect.width(), h = rect.height();
    if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h))
        return;
    // From a circle of radius 1 at the centre out to one that touches the longer sides, with the end
    // colours carried on inside and outside.
    const double inner = 1.0, outer = std::max(w, h) / 2;
    QImage image = rasterFor(painter, rect);
    const int columns = image.width(), rows = image.height();
    const double pixelW = w / columns, pixelH = h / rows;
    for (int y = 0; y < rows; ++y) {
        auto* pixels = reinterpret_cast<QRgb*>(image.scanLine(y));
        const double py = (y + 0.5) * pixelH - h / 2;
        for (int x = 0; x < columns; ++x) {
            const double distance = std::hypot((x + 0.5) * pixelW - w / 2, py);
            // Two equal circles span nothing; inside is the start colour, outside the end colour.
            const double t = outer == inner ? (distance <= inner ? 0.0 : 1.0) : (distance - inner) / (outer - inner);
            float out[4];
            evaluate(static_cast<float>(std::clamp(t, 0.0, 1.0)), out);
            pixels[x] = premultipliedPixel(out);
        }
    }
    painter.drawImage(rect, image);
}

void BrelGradient::drawSwatchInRect(QPainter& painter, QRectF rect) const
{
    fillRect(painter, rect, 45);
}

// ---- archiving

QVariantMap BrelGradient::encodeWithCoder() const
{
    QVariantMap archive;
    qint64 number = 0;
    for (const Element& element : elements_) {
        for (float value : {element.red, element.green, element.blue, element.alpha, element.position})
            archive.insert(valueKey(number++), QVariant::fromValue(value));
    }
    archive.insert(QString::fromLatin1(kCountKey), static_cast<int>(elements_.size()));
    archive.insert(QString::fromLatin1(kModeKey), blendingMode_);
    return archive;
}

std::optional<BrelGradient> BrelGradient::initWithCoder(const QVariantMap& archive, QString* why)
{
    auto refuse = [why](const QString& reason) -> std::optional<BrelGradient> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    auto integer = [&archive](const char* key, bool* ok) {
        const auto found = archive.constFind(QString::fromLatin1(key));
        *ok = false;
        return found == archive.constEnd() ? 0 : found->toInt(ok);
    };
    bool ok = false;
    const int mode = integer(kModeKey, &ok);
    BrelGradient gradient;
    if (!ok || !gradient.setBlendingMode(mode))
        return refuse(QStringLiteral("the gradient archive has no valid blending mode"));
    const int count = integer(kCountKey, &ok);
    if (!ok || count < 0)
        return refuse(QStringLiteral("the gradient archive has no valid element count"));
    // The count must match the stops actually stored: five values each, no more, no fewer.
    const qint64 valueCount = std::count_if(archive.keyBegin(), archive.keyEnd(),
                                            [](const QString& key) { return key.startsWith(QLatin1Char('$')); });
    if (valueCount != 5 * static_cast<qint64>(count))
        return refuse(QStringLiteral("the gradient archive claims %1 colour stops but holds %2 values")
                          .arg(count)
                          .arg(valueCount));
    qint64 number = 0;
    for (int index = 0; index < count; ++index) {
        float values[5];
        for (float& value : values) {
            const auto found = archive.constFind(valueKey(number++));
            bool valid = false;
            if (found != archive.constEnd())
                value = found->toFloat(&valid);
            if (!valid || !std::isfinite(value))
                return refuse(
                    QStringLiteral("colour stop %1 of the gradient archive is missing or not a number").arg(index));
        }
        gradient.addElement({values[0], values[1], values[2], values[3], values[4]});
    }
    return gradient;
}

// ---- primitives

bool BrelGradient::setBlendingMode(int mode)
{
    if (mode != BrelRGBBlendingMode && mode != BrelHueAscendingBlendingMode && mode != BrelHueDescendingBlendingMode)
        return false;
    blendingMode_ = mode;
    return true;
}

void BrelGradient::addElement(const BrelGradientElement& element)
{
    // After the last stop whose position is at or below the new one.
    auto place = std::upper_bound(elements_.begin(), elements_.end(), element.position,
                                  [](float position, const Element& other) { return position < other.position; });
    elements_.insert(place, element);
}

BrelGradientElement BrelGradient::removeElementAtIndex(unsigned index)
{
    if (index >= elements_.size())
        return {0, 0, 0, 0, kNaN};
    const Element removed = elements_[index];
    elements_.erase(elements_.begin() + index);
    return removed;
}

BrelGradientElement BrelGradient::removeElementAtPosition(float position)
{
    auto found = std::find_if(elements_.begin(), elements_.end(),
                              [position](const Element& element) { return element.position == position; });
    if (found == elements_.end())
        return {0, 0, 0, 0, kNaN};
    const Element removed = *found;
    elements_.erase(found);
    return removed;
}

const BrelGradientElement* BrelGradient::elementAtIndex(unsigned index) const
{
    return index < elements_.size() ? &elements_[index] : nullptr;
}
