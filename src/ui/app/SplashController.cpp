#include "SplashController.h"

#include "logger.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

namespace {

void logLine(const char* text)
{
    GLEANER_LOG("%s\n", text);
}

QPixmap splashPicture(const QString& appName)
{
    for (const char* name : {"splash.png", "splash.svg", "splash.jpg", "splash.tiff"}) {
        const QString path = resourceFolder() + QLatin1Char('/') + QLatin1String(name);
        QPixmap picture;
        if (QFileInfo::exists(path) && picture.load(path) && !picture.isNull())
            return picture;
    }
    QPixmap panel(480, 280);
    panel.fill(Qt::transparent);
    QPainter painter(&panel);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient shade(0, 0, 0, panel.height());
    shade.setColorAt(0, QColor(0x6a, 0x6e, 0x75));
    shade.setColorAt(1, QColor(0x2c, 0x2e, 0x33));
    painter.setBrush(shade);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(panel.rect(), 18, 18);
    QFont font = painter.font();
    font.setPointSize(32);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(panel.rect(), Qt::AlignCenter, appName);
    return panel;
}

} // namespace

SplashController::SplashController(std::shared_ptr<ClockService> clockService, QObject* parent)
    : QObject(parent), clock(std::move(clockService))
{
    slices.setInterval(kSliceMilliseconds);
    connect(&slices, &QTimer::timeout, this, &SplashController::step);
}

SplashController::~SplashController()
{
    delete splashWindow.data();
}

QWidget* SplashController::window() const
{
    return splashWindow.data();
}

void SplashController::setAlpha(float value)
{
    currentAlpha = value;
    if (splashWindow)
        splashWindow->setWindowOpacity(double(value));
}

void SplashController::show()
{
    if (state != Phase::NoWindow)
        return;
    const QString appName = infoTableValue(QStringLiteral("AppName"));
    auto* label = new QLabel(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    label->setObjectName(QStringLiteral("splashWindow"));
    label->setWindowTitle(appName);
    label->setAccessibleName(appName);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setAttribute(Qt::WA_ShowWithoutActivating, false);
    const QPixmap picture = splashPicture(appName);
    label->setPixmap(picture);
    label->setFixedSize(picture.size());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), picture.size());
        frame.moveCenter(screen->availableGeometry().center());
        label->move(frame.topLeft());
    }
    splashWindow = label;
    setAlpha(0.0f);
    label->show();
    label->raise();
    label->activateWindow();

    state = Phase::FadingIn;
    setAlpha(0.01f);
    slices.start();
}

void SplashController::close()
{
    if (!splashWindow)
        return;
    if (state == Phase::FadingIn) {
        closeRequested = true;
        return;
    }
    if (state != Phase::Shown)
        return;
    logLine("splash close request");
    state = Phase::Waiting;
    step();
    if (state == Phase::Waiting || state == Phase::FadingOut)
        slices.start();
}

void SplashController::beginFadeOut()
{
    state = Phase::FadingOut;
    setAlpha(1.0f);
}

void SplashController::finish()
{
    slices.stop();
    logLine("splash closing");
    state = Phase::NoWindow;
    if (splashWindow) {
        splashWindow->close();
        splashWindow->deleteLater();
    }
    splashWindow = nullptr;
    emit closed();
}

void SplashController::step()
{
    switch (state) {
    case Phase::FadingIn: {
        // Each slice is a tenth brighter than the last: quick at the end, never quite opaque.
        const float next = float(double(currentAlpha) + 0.1 * double(currentAlpha));
        if (next <= 1.0f) {
            setAlpha(next);
            return;
        }
        slices.stop();
        splashStartTime = clock ? clock->now() : 0.0;
        state = Phase::Shown;
        emit fadeInFinished();
        if (closeRequested) {
            closeRequested = false;
            close();
        }
        return;
    }
    case Phase::Waiting: {
        const double now = clock ? clock->now() : kMinimumSeconds;
        if (splashStartTime + kMinimumSeconds <= now)
            beginFadeOut();
        return;
    }
    case Phase::FadingOut: {
        // The step grows as the window gets fainter: the fade-out accelerates.
        const float next = float(double(currentAlpha) - 0.1 * (1.1 - double(currentAlpha)));
        if (double(next) > 0.05) {
            setAlpha(next);
            return;
        }
        finish();
        return;
    }
    case Phase::NoWindow:
    case Phase::Shown: slices.stop(); return;
    }
}
