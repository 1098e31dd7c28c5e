#include "NSImage-PropotionalScaling.h"

#include <algorithm>
#include <cmath>

QImage imageByScalingProportionallyToSize(const QImage& image, QSizeF size)
{
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return QImage();
    const qreal limit = std::max(size.width(), size.height());
    const int longest = std::max(image.width(), image.height());
    qreal factor = 1.0;
    if (longest > limit)
        factor = limit / longest;
    // Never below one pixel, so a long thin picture still yields an image to draw.
    const int width = std::max(1, static_cast<int>(std::lround(factor * image.width())));
    const int height = std::max(1, static_cast<int>(std::lround(factor * image.height())));
    if (width == image.width() && height == image.height())
        return image.copy();
    return image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}
