// Fitting a picture into a box: the size shrunk to fit if needed, centred, on whole pixels.
// Plain geometry on values; nothing is owned and nothing fails (an empty size gives an empty rect).
#pragma once

#include <QRectF>
#include <QSizeF>

QSizeF MorvScaledSize(QSizeF size, qreal factor);
// The rectangle a picture of `size` takes when fitted into `bounds`: shrunk in proportion when it
// is larger than the bounds in either direction (never enlarged), centred, then widened to whole
// pixels. A size with no area gives an empty rectangle.
QRectF MorvFittedRect(QSizeF size, QRectF bounds);
