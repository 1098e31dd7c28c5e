#include "ViewBackground.h"

#include "BrelGradient.h"
#include "resourcedir.h"

#include <QBrush>
#include <QFileInfo>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QSvgRenderer>

ViewBackground::ViewBackground(QWidget* parent) : QWidget(parent) {}

void ViewBackground::setBackgroundStyle(int style)
{
    backgroundStyle_ = style;
    cache_ = QPixmap();
    update();
}

void ViewBackground::resizeEvent(QResizeEvent* event)
{
    cache_ = QPixmap();
    QWidget::resizeEvent(event);
}

void ViewBackground::paintEvent(QPaintEvent* event)
{
    if (backgroundStyle_ < ColorStyle || backgroundStyle_ > ImageStyle || width() <= 0 || height() <= 0)
        return; // nothing of its own
    const qreal ratio = devicePixelRatioF();
    if (cache_.isNull() || cache_.devicePixelRatio() != ratio) {
        cache_ = QPixmap((QSizeF(size()) * ratio).toSize());
        cache_.setDevicePixelRatio(ratio);
        cache_.fill(Qt::transparent);
        QPainter painter(&cache_);
        switch (backgroundStyle_) {
        case ColorStyle: drawColor(painter); break;
        case PatternStyle: drawPattern(painter); break;
        case GradientStyle: drawGradient(painter); break;
        case ImageStyle: drawImage(painter); break;
        default: break;
        }
    }
    const QRect dirty = event->rect();
    QPainter painter(this);
    painter.drawPixmap(QRectF(dirty), cache_,
                       QRectF(dirty.x() * ratio, dirty.y() * ratio, dirty.width() * ratio, dirty.height() * ratio));
}

void ViewBackground::drawColor(QPainter& painter)
{
    painter.fillRect(rect(), Qt::magenta);
}

void ViewBackground::drawPattern(QPainter& painter)
{
    const QImage bricks = namedResourceImage(QStringLiteral("bricks"));
    if (bricks.isNull())
        return;
    // Anchored at the top edge, so the pattern stays put when the view grows downwards.
    QBrush brush(bricks);
    painter.setBrushOrigin(0, 0);
    painter.fillRect(rect(), brush);
}

void ViewBackground::drawGradient(QPainter& painter)
{
    // Grey 0.8 at the top edge, grey 0.9 at the bottom.
    const BrelGradient gradient = BrelGradient::gradientWithBeginningColor(QColor::fromRgbF(0.8f, 0.8f, 0.8f, 1.0f),
                                                                           QColor::fromRgbF(0.9f, 0.9f, 0.9f, 1.0f));
    gradient.fillRect(painter, QRectF(rect()), 270);
}

void ViewBackground::drawImage(QPainter& painter)
{
    const QImage gears = namedResourceImage(QStringLiteral("smallgears"));
    if (gears.isNull())
        return;
    // Centred at its own size, never scaled.
    const QSize own = gears.deviceIndependentSize().toSize();
    painter.drawImage(QRect(QPoint(width() / 2 - own.width() / 2, height() / 2 - own.height() / 2), own), gears);
}

QImage namedResourceImage(const QString& name)
{
    const QString base = QString::fromStdString(resourceDirectory()) + QLatin1Char('/') + name;
    if (QFileInfo::exists(base + QStringLiteral(".png")))
        return QImage(base + QStringLiteral(".png"));
    QSvgRenderer svg(base + QStringLiteral(".svg"));
    if (!svg.isValid() || svg.defaultSize().isEmpty())
        return QImage();
    QImage image(svg.defaultSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
    return image;
}
