// A colour gradient: colour stops along 0..1 and a blending mode (RGB, or hue up or down), which
// answers the colour at any position and fills a rectangle along an angle or from its centre.
// A value type that owns its stops; the public operations return new gradients. Bad indexes and
// positions throw std::out_of_range, unknown modes std::invalid_argument; corrupt archives are refused.
#pragma once

#include <QColor>
#include <QRectF>
#include <QString>
#include <QVariantMap>

#include <optional>
#include <vector>

class QPainter;

// One colour stop: calibrated RGB components and alpha (0 to 1) at a position (0 to 1).
struct BrelGradientElement {
    float red = 0, green = 0, blue = 0, alpha = 0;
    float position = 0;
};

enum BrelBlendingMode {
    BrelRGBBlendingMode = 0,
    BrelHueAscendingBlendingMode = 1,
    BrelHueDescendingBlendingMode = 2,
};

class BrelGradient {
public:
    // An empty gradient in RGB mode; it draws and answers opaque white.
    BrelGradient();

    int blendingMode() const { return blendingMode_; }
    QColor colorStopAtIndex(unsigned index) const;
    QColor colorAtPosition(float position) const;
    // The colour at a position as the mode's evaluator gives it, components not yet clamped.
    void evaluate(float position, float out[4]) const;

    // Derived gradients; the receiver is left unchanged.
    BrelGradient gradientWithAlphaComponent(float alpha) const;
    BrelGradient gradientWithBlendingMode(int mode) const;
    BrelGradient addColorStop(const QColor& color, float position) const;
    BrelGradient removeColorStopAtPosition(float position) const;
    BrelGradient removeColorStopAtIndex(unsigned index) const;

    // Presets.
    static BrelGradient gradientWithBeginningColor(const QColor& begin, const QColor& end);
    static BrelGradient aquaSelectedGradient();
    static BrelGradient aquaNormalGradient();
    static BrelGradient aquaPressedGradient();
    static BrelGradient unifiedSelectedGradient();
    static BrelGradient unifiedNormalGradient();
    static BrelGradient unifiedPressedGradient();
    static BrelGradient unifiedDarkGradient();
    static BrelGradient sourceListSelectedGradient();
    static BrelGradient sourceListUnselectedGradient();
    static BrelGradient rainbowGradient();
    static BrelGradient hydrogenSpectrumGradient();

    // Drawing, in the painter's (y-down) coordinates. Angles are counter-clockwise on screen:
    // 0 runs left to right, 90 bottom to top, 270 top to bottom.
    void fillRect(QPainter& painter, QRectF rect, float angle) const;
    void radialFillRect(QPainter& painter, QRectF rect) const;
    void drawSwatchInRect(QPainter& painter, QRectF rect) const;

    // Archiving to a keyed map: "BrelGradientElementCount", "BrelGradientBlendingMode" and the stops'
    // five values each (red, green, blue, alpha, position), numbered "$0", "$1", ... in list order as
    // a keyed archiver numbers values written without a key. Decoding refuses, with a reason, a map
    // whose count, values or mode do not hold together.
    QVariantMap encodeWithCoder() const;
    static std::optional<BrelGradient> initWithCoder(const QVariantMap& archive, QString* why = nullptr);

    // Primitives that change the receiver.
    // Refuses (answers false, keeps the current mode) a mode that has no evaluator.
    bool setBlendingMode(int mode);
    // Inserts a copy after every stop at the same or a lower position.
    void addElement(const BrelGradientElement& element);
    // Both answer the removed stop, or a stop with a NaN position when there is no such stop.
    BrelGradientElement removeElementAtIndex(unsigned index);
    BrelGradientElement removeElementAtPosition(float position);
    // The stop at the index (0 = first), or null.
    const BrelGradientElement* elementAtIndex(unsigned index) const;

private:
    std::vector<BrelGradientElement> elements_;
    int blendingMode_ = BrelRGBBlendingMode;
};

// The hue helpers the evaluators and the spectrum preset share; hue in degrees, components 0 to 1.
// A grey has no hue: its hue comes back NaN. A hue that is negative or not finite gives black.
void BrelRGBToHSV(float components[3]);
void BrelHSVToRGB(float components[3]);
