#include "HoverButton.h"

#include <QCursor>
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
    // Qt enters the button again when a sheet over it closes, though the pointer never moved: only
    // a pointer that really came in tells the owner, so a command's closing hint is not replaced.
    const QPoint at = event->globalPosition().toPoint();
    if (leftAt && *leftAt == at)
        return;
    if (onEntered)
        onEntered(this, hoverIdent);
}

void HoverButton::leaveEvent(QEvent* event)
{
    QToolButton::leaveEvent(event);
    leftAt = QCursor::pos();
    if (onExited)
        onExited(this, hoverIdent);
}
