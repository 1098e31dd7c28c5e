// The zoom effect: a frameless window showing a snapshot of a top-level window flies between a
// screen rectangle and the window's place, then the real window appears or stays hidden. The zoom
// window lives for one zoom only; a window already in the requested state is left alone.
#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>

// Shows `window` by zooming its snapshot from `rect` (screen coordinates) to its own geometry.
// Returns when the zoom has ended; does nothing when the window is visible.
void zoomOnFromRect(QWidget* window, const QRect& rect);
// Hides `window` by zooming its snapshot from its geometry to `rect`. Does nothing when it is hidden.
void zoomOffToRect(QWidget* window, const QRect& rect);

// The borderless, see-through window that carries the snapshot, scaled to fill it, during a zoom.
// It deletes itself when closed.
class ZavrelZoomWindow : public QWidget {
    Q_OBJECT

public:
    // A zoom window at `rect` holding a snapshot of `source` (rendered even if `source` is hidden),
    // on the same level as `source`. Not yet shown.
    static ZavrelZoomWindow* _createZoomWindowWithRect(QWidget* source, const QRect& rect);

    // How long moving from the current geometry to `newFrame` takes, in seconds: the usual window
    // resize time (0.2 s per 150 pixels of the largest edge movement), five times that while Shift is
    // held.
    double animationResizeTime(const QRect& newFrame) const;

    const QImage& snapshot() const { return snapshot_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    explicit ZavrelZoomWindow(QImage snapshot);

    QImage snapshot_;
};
