#include "NSView_Fade.h"

#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>

namespace {

const char* const kFadeName = "NSView_Fade";
constexpr int kFadeMilliseconds = 500;

} // namespace

void setHidden(QWidget* view, bool hidden, bool fade)
{
    if (!view)
        return;
    // A fade still running would finish later and undo this change.
    if (auto* running =
            view->findChild<QPropertyAnimation*>(QString::fromLatin1(kFadeName), Qt::FindDirectChildrenOnly)) {
        running->stop();
        delete running;
    }
    if (!fade) {
        view->setGraphicsEffect(nullptr);
        view->setHidden(hidden);
        return;
    }
    auto* effect = new QGraphicsOpacityEffect(view);
    view->setGraphicsEffect(effect); // replaces (and deletes) any earlier one
    if (!hidden)
        view->setHidden(false);
    auto* animation = new QPropertyAnimation(effect, "opacity", view);
    animation->setObjectName(QString::fromLatin1(kFadeName));
    animation->setDuration(kFadeMilliseconds);
    animation->setStartValue(hidden ? 1.0 : 0.0);
    animation->setEndValue(hidden ? 0.0 : 1.0);
    effect->setOpacity(hidden ? 1.0 : 0.0);
    QPointer<QWidget> target(view);
    QObject::connect(animation, &QPropertyAnimation::finished, view, [target, hidden] {
        if (!target)
            return;
        if (hidden)
            target->setHidden(true);
        // The effect is only for the fade: left in place it would render the view off-screen forever.
        target->setGraphicsEffect(nullptr);
    });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}
