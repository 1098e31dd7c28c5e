#include "OutlineExpander.h"

#include <QKeyEvent>
#include <QTimer>
#include <QTreeView>

#include <chrono>
#include <utility>

namespace {
// Reading rows stops after this long and goes on at the event loop's next turn, so the window
// repaints and answers in between.
constexpr auto kSlice = std::chrono::milliseconds(30);
} // namespace

OutlineExpander::OutlineExpander(QTreeView* treeView) : QObject(treeView), view(treeView)
{
    setObjectName(QStringLiteral("outlineExpander"));
    view->installEventFilter(this);
}

OutlineExpander* OutlineExpander::of(QTreeView* view)
{
    if (!view)
        return nullptr;
    auto* expander = view->findChild<OutlineExpander*>(QString(), Qt::FindDirectChildrenOnly);
    return expander ? expander : new OutlineExpander(view);
}

void OutlineExpander::expandAll(const QList<QModelIndex>& indexes)
{
    tops.clear();
    pending.clear();
    for (const QModelIndex& index : indexes) {
        if (index.isValid() && index.model() == view->model()) {
            tops.append(index);
            pending.append(index);
        }
    }
    step();
}

void OutlineExpander::step()
{
    const auto deadline = std::chrono::steady_clock::now() + kSlice;
    const QAbstractItemModel* model = view->model();
    while (!pending.isEmpty()) {
        const QPersistentModelIndex index = pending.takeLast();
        // Gone with a reset or a new model: nothing of it is left to open.
        if (!index.isValid() || index.model() != model)
            continue;
        const int rows = model->rowCount(index);
        for (int row = rows - 1; row >= 0; --row)
            pending.append(model->index(row, 0, index));
        if (std::chrono::steady_clock::now() >= deadline)
            break;
    }
    if (!pending.isEmpty()) {
        if (!scheduled) {
            scheduled = true;
            QTimer::singleShot(0, this, [this] {
                scheduled = false;
                step();
            });
        }
        return;
    }
    // Every row is read: the view opens each subtree in one pass, without reading anything more.
    for (const QPersistentModelIndex& top : std::exchange(tops, {}))
        if (top.isValid() && top.model() == model)
            view->expandRecursively(top);
}

bool OutlineExpander::eventFilter(QObject* watched, QEvent* event)
{
    // The view's own "*" opens the current row's subtree at once, reading every folder in it.
    if (watched == view && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Asterisk && view->currentIndex().isValid()) {
        expandAll({view->currentIndex()});
        return true;
    }
    return QObject::eventFilter(watched, event);
}
