// Opens whole subtrees of an outline without holding the window: the rows are read (which may load
// folders from the disk) in slices of a few milliseconds with the event loop running in between,
// then opened, parents first, in slices too, the view laying out what is open between two of them.
// It lives as a child of its view and also takes the view's "*" key; a model reset or a new model
// drops the rows still to read or to open.
#pragma once

#include <QList>
#include <QObject>
#include <QPersistentModelIndex>

#include <chrono>

class QTreeView;

class OutlineExpander : public QObject {
    Q_OBJECT
public:
    // The view's expander, made on first use.
    static OutlineExpander* of(QTreeView* view);

    // Opens every index given with all the rows below it; replaces an expansion still running.
    // A small tree is opened before this returns.
    void expandAll(const QList<QModelIndex>& indexes);
    bool isRunning() const { return !pending.isEmpty() || !opening.isEmpty() || !tops.isEmpty(); }

    // Opens one row of many opened in a row. Opening a row of a view waiting for its layout only
    // marks it open, so the first row of a batch (layoutAsked false) asks for one layout: the view
    // lays out once after the batch, not once per row.
    static void openInBatch(QTreeView* view, const QModelIndex& index, bool& layoutAsked);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit OutlineExpander(QTreeView* view);
    void step(std::chrono::milliseconds slice);
    void schedule();

    QTreeView* view;
    QList<QPersistentModelIndex> tops;    // what opens once everything is read
    QList<QPersistentModelIndex> pending; // rows whose children are still to be read, last first
    QList<QPersistentModelIndex> opening; // rows still to open with their subtrees, last first
    bool scheduled = false;
};
