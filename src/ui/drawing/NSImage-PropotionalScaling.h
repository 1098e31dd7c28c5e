// Proportional shrinking of a picture for thumbnails and previews. Works on QImage, so the
// thumbnail worker thread may call it. Returns a new image; a null or empty image gives a null one.
#pragma once

#include <QImage>
#include <QSizeF>

// A copy of `image` whose longer side is at most the larger of the two sides of `size`; a picture
// that is already small enough keeps its pixel size (pictures are never enlarged).
QImage imageByScalingProportionallyToSize(const QImage& image, QSizeF size);
