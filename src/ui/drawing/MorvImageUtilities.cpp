#include "MorvImageUtilities.h"

#include <cmath>

QSizeF MorvScaledSize(QSizeF size, qreal factor)
{
    return QSizeF(size.width() * factor, size.height() * factor);
}

QRectF MorvFittedRect(QSizeF size, QRectF bounds)
{
    if (!(size.width() > 0) || !(size.height() > 0) || !(bounds.width() > 0) || !(bounds.height() > 0))
        return QRectF();
    if (size.width() > bounds.width() || size.height() > bounds.height()) {
        // The side that limits takes the bounds' length exactly: side x (bound / side) can come out a
        // hair above the bound, and rounding outwards would then make the picture a pixel too big.
        if (size.height() / size.width() > bounds.height() / bounds.width()) {
            size = MorvScaledSize(size, bounds.height() / size.height());
            size.setHeight(bounds.height());
        } else {
            size = MorvScaledSize(size, bounds.width() / size.width());
            size.setWidth(bounds.width());
        }
    }
    const qreal x = bounds.x() + (bounds.width() - size.width()) / 2;
    const qreal y = bounds.y() + (bounds.height() - size.height()) / 2;
    // The smallest rectangle on whole pixels that holds the fitted one.
    const qreal left = std::floor(x), top = std::floor(y);
    const qreal right = std::ceil(x + size.width()), bottom = std::ceil(y + size.height());
    return QRectF(left, top, right - left, bottom - top);
}
