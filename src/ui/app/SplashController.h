// The splash window: a frameless picture above all windows that fades in, stays at least five
// seconds after its fade-in ended and the application has finished launching, then fades out and
// closes. Driven by a 20 ms timer, so nothing waits nested inside it; a missing picture shows a
// plain panel with the application's name.
#pragma once

#include "Services.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QLabel;
class QWidget;

class SplashController : public QObject {
    Q_OBJECT

public:
    enum class Phase { NoWindow, FadingIn, Shown, Waiting, FadingOut };

    static constexpr double kMinimumSeconds = 5.0;
    static constexpr int kSliceMilliseconds = 20;

    explicit SplashController(std::shared_ptr<ClockService> clock, QObject* parent = nullptr);
    ~SplashController() override;

    // Makes, shows and starts fading in the window; fadeInFinished() follows when it is done.
    void show();
    // Waits out the minimum time, fades out and closes; closed() follows. No window: nothing.
    // A request during the fade-in is carried out once the fade-in is done.
    void close();
    // The splash window, null before show() and after it closed.
    QWidget* window() const;

    // One slice of the current fade or wait; the timer calls it, tests may call it directly.
    void step();
    Phase phase() const { return state; }
    float alpha() const { return currentAlpha; }
    // Clock time at which the fade-in ended.
    double startTime() const { return splashStartTime; }

signals:
    void fadeInFinished();
    void closed();

private:
    void setAlpha(float value);
    void beginFadeOut();
    void finish();

    std::shared_ptr<ClockService> clock;
    QPointer<QLabel> splashWindow;
    QTimer slices;
    Phase state = Phase::NoWindow;
    float currentAlpha = 0.0f;
    double splashStartTime = 0;
    bool closeRequested = false;
};
