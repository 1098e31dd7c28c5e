// The background view: paints one of four backgrounds (magenta, the "bricks" pattern, the grey
// gradient, the "smallgears" picture centred) behind the widgets laid over it. Owns its style and the
// background rendered for the current size; a missing picture resource leaves that background undrawn.
#pragma once

#include <QPixmap>
#include <QWidget>

class ViewBackground : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int backgroundStyle READ backgroundStyle WRITE setBackgroundStyle)

public:
    // The styles; any other value draws nothing of its own.
    enum BackgroundStyle { ColorStyle = 1, PatternStyle = 2, GradientStyle = 3, ImageStyle = 4 };

    explicit ViewBackground(QWidget* parent = nullptr);

    int backgroundStyle() const { return backgroundStyle_; }
    void setBackgroundStyle(int style);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void drawColor(QPainter& painter);
    void drawPattern(QPainter& painter);
    void drawGradient(QPainter& painter);
    void drawImage(QPainter& painter);

    int backgroundStyle_ = 0;
    // The whole background at the current size and pixel ratio, made at the first paint after a
    // resize or a style change: a repaint of a small region (the hint's fade) only copies from it.
    QPixmap cache_;
};

// A picture among the resources by its name without extension (PNG, else SVG); null when absent.
QImage namedResourceImage(const QString& name);
