#include "HoverButton.h"

#include <QEnterEvent>

HoverButton::HoverButton(QWidget* parent) : QToolButton(parent)
{
    // The pointer is followed through enter and leave events; no tracking of moves is needed.
    setAttribute(Qt::WA_Hover, true);
}

void HoverButton::setHoverCallbacks(HoverCallback entered, HoverCallback exited)
{
    onEntered = std::move(entered);
    onExited = std::move(exited);
}

void HoverButton::enterEvent(QEnterEvent* event)
{
    QToolButton::enterEvent(event);
    if (onEntered)
        onEntered(this, hoverIdent);
}

void HoverButton::leaveEvent(QEvent* event)
{
    QToolButton::leaveEvent(event);
    if (onExited)
        onExited(this, hoverIdent);
}
