// Laid-out lines of a text view and tool-tip wrapping to a width, a line count or a ratio.
#include "NSString_Wrapping.h"
#include "NSTextView_Lines.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>

namespace {

TEST(TextViewLines, CountsAndListsTheLaidOutLinesWithoutTheirBreaks)
{
    struct Case {
        const char* text;
        QStringList lines;
    };
    const Case cases[] = {
        {"", {}}, {"alpha", {"alpha"}}, {"alpha\nbeta\n", {"alpha", "beta"}}, {"alpha\n\nbeta", {"alpha", "", "beta"}}};
    QPlainTextEdit view;
    view.resize(400, 200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        view.setPlainText(QString::fromUtf8(c.text));
        EXPECT_EQ(lines(&view), c.lines);
        EXPECT_EQ(numberOfLines(&view), unsigned(c.lines.size()));
    }
}

TEST(TextViewLines, LongParagraphWrapsAtTheViewsWidthAndRejoinsToItself)
{
    const QString text = QStringLiteral("the quick brown fox jumps over the lazy dog ").repeated(8).trimmed();
    const QStringList wrapped = layOutLines(text, QFont(), 120);
    EXPECT_GT(wrapped.size(), 3);
    EXPECT_EQ(wrapped.join(QString()), text);
    EXPECT_EQ(layOutLines(text, QFont(), 0).size(), 1) << "no width: no wrapping";
}

TEST(ToolTipWrapping, LineCountFindsTheNarrowestWidthThatKeepsTheTextWithinIt)
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
}

TEST(ToolTipWrapping, TextWiderThanTheLimitComesBackAtTheWidestWidth)
{
    const QString text = QStringLiteral("wide ").repeated(3000);
    const QString result = stringWrappedForToolTipToLineCount(text, 1);
    EXPECT_EQ(sharedTextViewForWrappingForToolTips().width, 10000.0);
    EXPECT_GT(result.count(QLatin1Char('\n')), 0);
}

TEST(ToolTipWrapping, RatioWrapsNoWiderThanAskedOfItsHeight)
{
    const QString text =
        QStringLiteral("Choose a disk or a volume in the list, then one of the scans above ").repeated(3);
    const QString square = stringWrappedForToolTipToWidthToHeightRatio(text, 1.0f);
    const QString wide = stringWrappedForToolTipToWidthToHeightRatio(text, 8.0f);
    EXPECT_GT(square.count(QLatin1Char('\n')), wide.count(QLatin1Char('\n')));
}

} // namespace
