#include "NSString_Wrapping.h"

#include "NSTextView_Lines.h"

#include <QFontMetricsF>
#include <QStringList>
#include <QToolTip>

namespace {

constexpr uint32_t kUnknown = 0xffffffffu;

QStringList linesAt(const QString& text, double width, double* height = nullptr)
{
    WrappingTextView& view = sharedTextViewForWrappingForToolTips();
    view.width = width;
    return layOutLines(text, view.font, width, view.lineSpacing, height);
}

} // namespace

WrappingTextView& sharedTextViewForWrappingForToolTips()
{
    static WrappingTextView view = [] {
        WrappingTextView made;
        made.font = QToolTip::font();
        return made;
    }();
    return view;
}

QString stringWrappedForToolTipToPixelWidth(const QString& text, uint32_t width)
{
    sharedTextViewForWrappingForToolTips().lineSpacing = 1;
    return linesAt(text, double(width)).join(QLatin1Char('\n'));
}

QString stringWrappedForToolTipToLineCount(const QString& text, uint32_t count)
{
    WrappingTextView& view = sharedTextViewForWrappingForToolTips();
    view.lineSpacing = 1;
    if (count == 0)
        count = 1; // no width fits in zero lines; one line is the nearest request
    uint32_t low = 1, high = 10000;
    uint32_t lowLines = kUnknown, highLines = kUnknown;
    const double oneLine = QFontMetricsF(view.font).horizontalAdvance(text);
    while (high - 1 > low) {
        float guess;
        if (lowLines == kUnknown && highLines == kUnknown)
            guess = float(oneLine / count);
        else if (highLines == kUnknown)
            guess = float(double(low) * lowLines / count);
        else if (lowLines == kUnknown)
            guess = float(double(high) * highLines / count);
        else
            guess = float((double(low) * lowLines / count + double(high) * highLines / count) / 2);
        uint32_t width = guess >= float(high) ? high : uint32_t(guess);
        if (width <= low)
            width = low + 1;
        else if (width >= high)
            width = high - 1;
        const uint32_t lineCount = uint32_t(linesAt(text, width).size());
        if (lineCount > count) {
            low = width;
            lowLines = lineCount;
        } else {
            high = width;
            highLines = lineCount;
        }
    }
    return linesAt(text, high).join(QLatin1Char('\n'));
}

QString stringWrappedForToolTipToWidthToHeightRatio(const QString& text, float ratio)
{
    sharedTextViewForWrappingForToolTips().lineSpacing = 1;
    int low = 10, high = 10000;
    while (high - 1 > low) {
        int mid = (low + high) / 2;
        if (mid == low)
            mid = low + 1;
        else if (mid == high)
            mid = high - 1;
        double height = 0;
        linesAt(text, mid, &height);
        if (height != 0 && double(ratio) > mid / height)
            low = mid;
        else
            high = mid;
    }
    return linesAt(text, high).join(QLatin1Char('\n'));
}
