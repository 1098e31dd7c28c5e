// A toolbar button that tells its owner when the mouse enters or leaves it, with the identifier
// of the toolbar item it stands for, so the hint line can explain the command under the pointer.
// Owns nothing beyond the QToolButton; with no callbacks set it is an ordinary button.
#pragma once

#include <QPoint>
#include <QString>
#include <QToolButton>

#include <functional>
#include <optional>

class HoverButton : public QToolButton {
    Q_OBJECT
public:
    using HoverCallback = std::function<void(HoverButton*, const QString& identifier)>;

    explicit HoverButton(QWidget* parent = nullptr);

    void setHoverIdentifier(const QString& identifier) { hoverIdent = identifier; }
    const QString& hoverIdentifier() const { return hoverIdent; }
    void setHoverCallbacks(HoverCallback entered, HoverCallback exited);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString hoverIdent;
    std::optional<QPoint> leftAt; // where the pointer was when it last left
    HoverCallback onEntered;
    HoverCallback onExited;
};
