#include "NSTextView_Lines.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

QStringList layOutLines(const QString& text, const QFont& font, double width, int lineSpacing, double* height)
{
    QStringList result;
    double total = 0;
    if (!text.isEmpty()) {
        QString normalized = text;
        normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        normalized.replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
        normalized.replace(QChar(QChar::LineSeparator), QLatin1Char('\n'));
        normalized.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        QStringList paragraphs = normalized.split(QLatin1Char('\n'));
        if (normalized.endsWith(QLatin1Char('\n')))
            paragraphs.removeLast();
        QTextOption option;
        option.setWrapMode(width > 0 ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
        for (const QString& paragraph : paragraphs) {
            QTextLayout layout(paragraph, font);
            layout.setTextOption(option);
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                if (width > 0)
                    line.setLineWidth(width);
                result.append(paragraph.mid(line.textStart(), line.textLength()));
                total += line.height() + lineSpacing;
            }
            layout.endLayout();
        }
    }
    if (height)
        *height = total;
    return result;
}

namespace {
double layoutWidth(const QPlainTextEdit* view)
{
    if (view->lineWrapMode() == QPlainTextEdit::NoWrap)
        return 0;
    const double margin = view->document()->documentMargin();
    return std::max(1.0, double(view->viewport()->width()) - 2 * margin);
}
} // namespace

unsigned numberOfLines(const QPlainTextEdit* view)
{
    return view ? unsigned(lines(view).size()) : 0;
}

QStringList lines(const QPlainTextEdit* view)
{
    if (!view)
        return {};
    return layOutLines(view->toPlainText(), view->font(), layoutWidth(view));
}

void setLineSpacingTo(QPlainTextEdit* view, int spacing)
{
    if (!view || view->document()->isEmpty())
        return;
    QTextCursor cursor(view->document());
    cursor.select(QTextCursor::Document);
    QTextBlockFormat format;
    format.setLineHeight(spacing, QTextBlockFormat::LineDistanceHeight);
    cursor.mergeBlockFormat(format);
}
