// The background view: paints one of four backgrounds (magenta, the "bricks" pattern, the grey
// gradient, the "smallgears" picture centred) behind the widgets laid over it. Owns nothing but its
// style; a missing picture resource leaves that background undrawn.
#pragma once

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

private:
    void drawColor(QPainter& painter);
    void drawPattern(QPainter& painter);
    void drawGradient(QPainter& painter);
    void drawImage(QPainter& painter);

    int backgroundStyle_ = 0;
};

// A picture among the resources by its name without extension (PNG, else SVG); null when absent.
QImage namedResourceImage(const QString& name);
