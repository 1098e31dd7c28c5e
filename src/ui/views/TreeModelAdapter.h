// Shows an engine tree model (the disk list or the result tree) in a QTreeView. It owns one index
// node per shown row (engine pointer, parent node, row), made as the view asks, because the same
// engine item can appear in two places and the engine has no parent lookup. It never owns or
// deletes the engine model. A node reads its child list and text once, so the view stays consistent
// while the engine changes; after the engine adds, moves or frees items, reload() before the event
// loop runs again, or a repaint would read items that are gone.
#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

class CAbstractTreeModel;
class CBase;
class QTreeView;

class TreeModelAdapter : public QAbstractItemModel {
    Q_OBJECT
public:
    // One step of a row's path from the top: the engine pointer (compared, never dereferenced) and
    // the display text, so a path can be found again among new objects with the same names.
    struct PathStep {
        const void* item = nullptr;
        QString text;
        bool operator==(const PathStep&) const = default;
    };
    using ItemPath = QList<PathStep>;

    explicit TreeModelAdapter(QObject* parent = nullptr);
    ~TreeModelAdapter() override;

    // Installs model (nullptr for none) as a model reset. The caller keeps ownership and must keep
    // the model alive until the next call.
    void setModel(CAbstractTreeModel* model);
    CAbstractTreeModel* model() const { return engineModel; }

    // setModel that keeps the rows expanded in view (by path) across the reset.
    void replaceModel(QTreeView* view, CAbstractTreeModel* model);
    // Reads the installed model afresh (a reset keeping expansion): after a scan, a search, or at
    // each progress event of a scan so the outline shows the result tree as it grows.
    void reload(QTreeView* view);

    // The engine item of a row; nullptr for an invalid index or a row the engine gave no item for.
    CBase* itemAt(const QModelIndex& index) const;
    // The first row already shown (made by the view) for item, in pre-order; invalid when none.
    QModelIndex findShown(const CBase* item) const;

    ItemPath pathOf(const QModelIndex& index) const;
    // The row a path leads to now; invalid when any step is not found. Each step matches the child
    // with the same pointer, else the only child with the same text.
    QModelIndex indexForPath(const ItemPath& path);
    // The paths of the expanded rows, read without asking the engine (safe after it freed items).
    QList<ItemPath> expandedPaths(const QTreeView* view) const;
    void restoreExpanded(QTreeView* view, const QList<ItemPath>& paths);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Node {
        CBase* item = nullptr;
        Node* parent = nullptr;
        int row = 0;
        bool loaded = false;
        std::optional<QString> text;
        std::vector<std::unique_ptr<Node>> children;
    };

    // A node's children by engine pointer and by text, made once when many paths are found at once.
    struct ChildLookup {
        QHash<const void*, QList<Node*>> byPointer;   // in row order
        QHash<QString, std::pair<Node*, int>> byText; // the last child with the text, and how many have it
    };
    using LookupCache = std::unordered_map<const Node*, ChildLookup>;
    QModelIndex findPath(const ItemPath& path, LookupCache& cache);
    const ChildLookup& lookupOf(Node* node, LookupCache& cache);

    Node* nodeOf(const QModelIndex& index) const;
    void load(Node* node) const;
    QString textOf(Node* node) const;

    CAbstractTreeModel* engineModel = nullptr;
    // The invisible top node; its only child is the engine model's root.
    std::unique_ptr<Node> top;
};
