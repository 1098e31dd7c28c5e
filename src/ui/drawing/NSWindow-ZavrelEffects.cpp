#include "NSWindow-ZavrelEffects.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QPropertyAnimation>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// The desktop's customary resize speed.
constexpr double kResizeSeconds = 0.2;
constexpr double kResizePixels = 150.0;
constexpr double kShiftSlowdown = 5.0;

// Never animate to or from nothing: a window needs at least one pixel.
QRect atLeastOnePixel(QRect rect)
{
    rect.setWidth(std::max(rect.width(), 1));
    rect.setHeight(std::max(rect.height(), 1));
    return rect;
}

// Moves the zoom window to `target`, and returns when it is there. Input is held back meanwhile, so
// the command that started the zoom cannot start another in the middle of it.
void animateTo(const QPointer<ZavrelZoomWindow>& zoom, const QRect& target)
{
    if (!zoom)
        return;
    const int milliseconds = static_cast<int>(std::lround(zoom->animationResizeTime(target) * 1000));
    if (milliseconds <= 0) {
        zoom->setGeometry(target);
        return;
    }
    QPropertyAnimation animation(zoom, "geometry");
    animation.setDuration(milliseconds);
    animation.setStartValue(zoom->geometry());
    animation.setEndValue(target);
    QEventLoop loop;
    QObject::connect(&animation, &QPropertyAnimation::finished, &loop, &QEventLoop::quit);
    // Closed by someone else meanwhile: the animation stops without finishing.
    QObject::connect(zoom, &QObject::destroyed, &loop, &QEventLoop::quit);
    animation.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (zoom)
        zoom->setGeometry(target);
}

} // namespace

ZavrelZoomWindow::ZavrelZoomWindow(QImage snapshot)
    // A tool window left to itself by the window manager: no taskbar entry, no focus, placed exactly.
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint),
      snapshot_(std::move(snapshot))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

ZavrelZoomWindow* ZavrelZoomWindow::_createZoomWindowWithRect(QWidget* source, const QRect& rect)
{
    // Rendering the widget needs no backing store, so a window never shown can be snapped too.
    source->ensurePolished();
    auto* zoom = new ZavrelZoomWindow(source->grab().toImage());
    // The zoom stands in for the window: it takes its shadow and its level.
    if (source->windowFlags() & Qt::NoDropShadowWindowHint)
        zoom->setWindowFlag(Qt::NoDropShadowWindowHint);
    if (source->windowFlags() & Qt::WindowStaysOnTopHint)
        zoom->setWindowFlag(Qt::WindowStaysOnTopHint);
    zoom->setGeometry(atLeastOnePixel(rect));
    return zoom;
}

double ZavrelZoomWindow::animationResizeTime(const QRect& newFrame) const
{
    const QRect now = geometry();
    const int movement =
        std::max({std::abs(newFrame.left() - now.left()), std::abs(newFrame.top() - now.top()),
                  std::abs(newFrame.right() - now.right()), std::abs(newFrame.bottom() - now.bottom())});
    const double factor = QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier ? kShiftSlowdown : 1.0;
    return factor * kResizeSeconds * movement / kResizePixels;
}

void ZavrelZoomWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), snapshot_);
}

void zoomOnFromRect(QWidget* source, const QRect& rect)
{
    if (!source || source->isVisible())
        return;
    // The zoom runs an event loop, in which the window may go away.
    QPointer<QWidget> window(source);
    const QRect frame = window->geometry();
    QPointer<ZavrelZoomWindow> zoom = ZavrelZoomWindow::_createZoomWindowWithRect(window, rect);
    zoom->show();
    animateTo(zoom, atLeastOnePixel(frame));
    if (window) {
        window->show();
        window->raise();
        window->activateWindow();
    }
    if (zoom)
        zoom->close();
}

void zoomOffToRect(QWidget* window, const QRect& rect)
{
    if (!window || !window->isVisible())
        return;
    QPointer<ZavrelZoomWindow> zoom = ZavrelZoomWindow::_createZoomWindowWithRect(window, window->geometry());
    zoom->show();
    window->hide();
    animateTo(zoom, atLeastOnePixel(rect));
    if (zoom)
        zoom->close();
}
