// Wrapping a text for a tool tip: to a pixel width, to the narrowest width that keeps it within a
// number of lines, or to a width-to-height ratio. The lines are laid out in the tool-tip font and
// joined by "\n". Widths are whole pixels from 1 to 10000.
#pragma once

#include <QFont>
#include <QString>

#include <cstdint>

// The layout every wrapping call uses: the tool-tip font, line spacing 1, the width last chosen.
struct WrappingTextView {
    QFont font;
    double width = 10;
    int lineSpacing = 0;
};
WrappingTextView& sharedTextViewForWrappingForToolTips();

QString stringWrappedForToolTipToPixelWidth(const QString& text, uint32_t width);
QString stringWrappedForToolTipToLineCount(const QString& text, uint32_t count);
QString stringWrappedForToolTipToWidthToHeightRatio(const QString& text, float ratio);
