#include "OutlineExpander.h"

#include <QKeyEvent>
#include <QTimer>
#include <QTreeView>

#include <chrono>
#include <utility>

namespace {
// Reading rows stops after this long and goes on at the event loop's next turn, so the window
// repaints and answers in between.
constexpr auto kSlice = std::chrono::milliseconds(20);
// The first slice runs inside the call, often after a reload that took its own time: it is only
// long enough for a small tree to open before the call returns.
constexpr auto kFirstSlice = std::chrono::milliseconds(5);
// Rows a slice handles before it looks at the clock: a small tree opens inside the call however
// busy the machine is, and a large one still yields after a few milliseconds of reading.
constexpr int kRowsBeforeDeadline = 64;
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
    opening.clear();
    for (const QModelIndex& index : indexes) {
        if (index.isValid() && index.model() == view->model()) {
            tops.append(index);
            pending.append(index);
        }
    }
    step(kFirstSlice);
}

void OutlineExpander::schedule()
{
    if (scheduled)
        return;
    scheduled = true;
    QTimer::singleShot(0, this, [this] {
        scheduled = false;
        step(kSlice);
    });
}

void OutlineExpander::step(std::chrono::milliseconds slice)
{
    const auto deadline = std::chrono::steady_clock::now() + slice;
    int handled = 0;
    auto pastDeadline = [&] { return ++handled > kRowsBeforeDeadline && std::chrono::steady_clock::now() >= deadline; };
    const QAbstractItemModel* model = view->model();
    // Gone with a reset or a new model: nothing of it is left to read or open.
    auto gone = [model](const QPersistentModelIndex& index) { return !index.isValid() || index.model() != model; };
    // Last row first, so the list hands them out in order.
    auto appendChildren = [model](QList<QPersistentModelIndex>& list, const QPersistentModelIndex& index) {
        for (int row = model->rowCount(index) - 1; row >= 0; --row)
            list.append(model->index(row, 0, index));
    };
    while (!pending.isEmpty()) {
        const QPersistentModelIndex index = pending.takeLast();
        if (gone(index))
            continue;
        appendChildren(pending, index);
        if (pastDeadline()) {
            schedule();
            return;
        }
    }
    // Every row is read: each subtree opens parents first, without reading anything more; the view
    // lays out once between two slices.
    if (!tops.isEmpty()) {
        for (auto top = tops.crbegin(); top != tops.crend(); ++top)
            opening.append(*top);
        tops.clear();
    }
    bool layoutAsked = false;
    while (!opening.isEmpty()) {
        const QPersistentModelIndex index = opening.takeLast();
        if (gone(index))
            continue;
        if (!view->isExpanded(index))
            openInBatch(view, index, layoutAsked);
        appendChildren(opening, index);
        if (pastDeadline()) {
            schedule();
            return;
        }
    }
}

void OutlineExpander::openInBatch(QTreeView* view, const QModelIndex& index, bool& layoutAsked)
{
    if (!layoutAsked)
        view->expandRecursively(index, 0);
    else
        view->expand(index);
    layoutAsked = true;
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
