// The laid-out lines of a plain text edit: how many there are and their texts, as the view wraps
// them at its current width, and a uniform line spacing. The layout is computed here, so a view that
// was never shown answers for the width it has.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

class QPlainTextEdit;

// Lays out text in font at width (no wrapping when width <= 0) as a text view does: paragraphs
// split at line breaks, words wrapped, a word wider than the line broken anywhere. A final line
// break opens no line; an empty text has none. Each line's text keeps its spaces but not the line
// break. When height is given it receives the block's height with spacing added below each line.
QStringList layOutLines(const QString& text, const QFont& font, double width, int lineSpacing = 0,
                        double* height = nullptr);

unsigned numberOfLines(const QPlainTextEdit* view);
QStringList lines(const QPlainTextEdit* view);
// Sets the spacing below every line of the view's text; an empty view is left as it is.
void setLineSpacingTo(QPlainTextEdit* view, int spacing);
