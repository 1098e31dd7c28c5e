#include "TreeModelAdapter.h"

#include "EngineLock.h"
#include "ListIcons.h"
#include "OutlineExpander.h"
#include "interfaces.h"
#include "machelpers.h"
#include "volumes.h"
#include "volumetreemodel.h"

#include <QTimer>
#include <QTreeView>

#include <functional>

TreeModelAdapter::TreeModelAdapter(QObject* parent) : QAbstractItemModel(parent), top(std::make_unique<Node>()) {}

TreeModelAdapter::~TreeModelAdapter() = default;

namespace {
// Opening rows again stops after this long and goes on at the event loop's next turn. The first
// slice runs inside the call, after a reset that took its own time: a small tree opens in it.
constexpr auto kFirstRestoreSlice = std::chrono::milliseconds(5);
constexpr auto kRestoreSlice = std::chrono::milliseconds(20);
} // namespace

void TreeModelAdapter::setModel(CAbstractTreeModel* model)
{
    beginResetModel();
    engineModel = model;
    // The rows still to open were found among the nodes that go now.
    restorePaths.clear();
    restoreNext = 0;
    restoreCache.clear();
    top = std::make_unique<Node>();
    endResetModel();
}

void TreeModelAdapter::replaceModel(QTreeView* view, CAbstractTreeModel* model)
{
    // Without a new model there is nothing to open again.
    const bool ours = view && view->model() == this && model;
    const QList<ItemPath> paths = ours ? expandedPaths(view) : QList<ItemPath>();
    setModel(model);
    if (ours)
        restoreExpanded(view, paths, true);
}

void TreeModelAdapter::reload(QTreeView* view)
{
    replaceModel(view, engineModel);
}

TreeModelAdapter::Node* TreeModelAdapter::nodeOf(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<Node*>(index.internalPointer());
}

void TreeModelAdapter::load(Node* node) const
{
    if (node->loaded)
        return;
    node->loaded = true;
    if (!engineModel)
        return;
    auto adopt = [node](CBase* item) {
        auto child = std::make_unique<Node>();
        child->item = item;
        child->parent = node;
        child->row = int(node->children.size());
        node->children.push_back(std::move(child));
    };
    EngineLocker lock(engineLock());
    // A node whose children are read is being expanded: keep its text now, so its path can be
    // captured later without asking the engine.
    if (node != top.get())
        textOf(node);
    if (node == top.get()) {
        // The single top row is the model's root; no root, no rows.
        if (CBase* root = engineModel->getRoot())
            adopt(root);
        return;
    }
    const int count = engineModel->getChildCount(node->item);
    if (count <= 0)
        return;
    node->children.reserve(size_t(count));
    // The result tree hands out a folder's subfolders by position, each found by a walk over the
    // child list, so reading them one by one is quadratic (seconds for a lost-files scan's thousands
    // of folders). The same list in the same order is read here in one pass.
    auto* resultTree = dynamic_cast<CVolumeTreeModel*>(engineModel);
    auto* folder = resultTree ? dynamic_cast<CVolumeItem*>(node->item) : nullptr;
    if (folder) {
        for (CVolumeItem* child : folder->children)
            if (child && child->isContainer() && int(node->children.size()) < count)
                adopt(child);
        return;
    }
    for (int i = 0; i < count; ++i) {
        // A child the engine cannot hand out is left out rather than shown as an empty row that
        // would map to no item.
        if (CBase* item = engineModel->getChild(node->item, i))
            adopt(item);
    }
}

QString TreeModelAdapter::textOf(Node* node) const
{
    if (!node->text) {
        node->text = QString();
        if (engineModel && node->item) {
            EngineLocker lock(engineLock());
            node->text = QString::fromStdString(engineModel->getItemText(node->item));
        }
    }
    return *node->text;
}

CBase* TreeModelAdapter::itemAt(const QModelIndex& index) const
{
    Node* node = nodeOf(index);
    return node ? node->item : nullptr;
}

QModelIndex TreeModelAdapter::findShown(const CBase* item) const
{
    if (!item)
        return QModelIndex();
    std::function<QModelIndex(Node*)> search = [&](Node* node) -> QModelIndex {
        for (const auto& child : node->children) {
            if (child->item == item)
                return createIndex(child->row, 0, child.get());
            const QModelIndex found = search(child.get());
            if (found.isValid())
                return found;
        }
        return QModelIndex();
    };
    return search(top.get());
}

TreeModelAdapter::ItemPath TreeModelAdapter::pathOf(const QModelIndex& index) const
{
    ItemPath path;
    for (Node* node = nodeOf(index); node && node != top.get(); node = node->parent)
        path.prepend(PathStep{node->item, textOf(node)});
    return path;
}

QModelIndex TreeModelAdapter::indexForPath(const ItemPath& path)
{
    LookupCache cache;
    return findPath(path, cache);
}

const TreeModelAdapter::ChildLookup& TreeModelAdapter::lookupOf(Node* node, LookupCache& cache)
{
    auto [entry, added] = cache.try_emplace(node);
    if (added) {
        load(node);
        for (const auto& child : node->children) {
            entry->second.byPointer[child->item].append(child.get());
            auto& [last, count] = entry->second.byText[textOf(child.get())];
            last = child.get();
            ++count;
        }
    }
    return entry->second;
}

QModelIndex TreeModelAdapter::findPath(const ItemPath& path, LookupCache& cache)
{
    Node* node = top.get();
    for (const PathStep& step : path) {
        const ChildLookup& lookup = lookupOf(node, cache);
        const QList<Node*> samePointer = lookup.byPointer.value(step.item);
        const auto sameText = lookup.byText.value(step.text, {nullptr, 0});
        Node* sameBoth = nullptr;
        for (Node* child : samePointer) {
            if (textOf(child) == step.text) {
                sameBoth = child;
                break;
            }
        }
        // A freed item's address may be reused by a new, unrelated item, so the pointer alone is
        // trusted only when no unique name says otherwise.
        Node* next = sameBoth                ? sameBoth
                     : sameText.second == 1  ? sameText.first
                     : samePointer.isEmpty() ? nullptr
                                             : samePointer.first();
        if (!next)
            return QModelIndex();
        node = next;
    }
    return node == top.get() ? QModelIndex() : createIndex(node->row, 0, node);
}

QList<TreeModelAdapter::ItemPath> TreeModelAdapter::expandedPaths(const QTreeView* view) const
{
    QList<ItemPath> paths;
    if (!view || view->model() != this)
        return paths;
    // Only rows already made can be expanded; a pre-order walk lists parents before children. The
    // engine is not asked: its items may already be gone (a scan frees and moves folders), so a
    // step carries the text shown for it, or none if it was never drawn.
    std::function<void(Node*, ItemPath)> walk = [&](Node* node, ItemPath path) {
        for (const auto& child : node->children) {
            ItemPath childPath = path;
            childPath.append(PathStep{child->item, child->text.value_or(QString())});
            if (view->isExpanded(createIndex(child->row, 0, child.get())))
                paths.append(childPath);
            walk(child.get(), childPath);
        }
    };
    walk(top.get(), ItemPath());
    if (view == restoreView)
        paths.append(restorePaths.mid(restoreNext));
    return paths;
}

void TreeModelAdapter::restoreExpanded(QTreeView* view, const QList<ItemPath>& paths, bool inSlices)
{
    if (!view || view->model() != this)
        return;
    restoreView = view;
    restorePaths = paths;
    restoreNext = 0;
    restoreCache.clear();
    restoreStep(inSlices ? kFirstRestoreSlice : std::chrono::milliseconds(-1));
}

void TreeModelAdapter::restoreStep(std::chrono::milliseconds slice)
{
    const auto deadline = std::chrono::steady_clock::now() + slice;
    // A few dozen folders open before the clock is asked, so a small outline comes back whole
    // inside the call however busy the machine is.
    constexpr int kPathsBeforeDeadline = 64;
    int opened = 0;
    // The view lays out once after the slice. Each node's children are looked up by pointer and
    // text once for all the paths through it.
    bool layoutAsked = false;
    while (restoreNext < restorePaths.size()) {
        QTreeView* view = restoreView;
        if (!view || view->model() != this)
            break;
        const QModelIndex index = findPath(restorePaths[restoreNext++], restoreCache);
        if (index.isValid())
            OutlineExpander::openInBatch(view, index, layoutAsked);
        if (slice.count() >= 0 && restoreNext < restorePaths.size() && ++opened > kPathsBeforeDeadline &&
            std::chrono::steady_clock::now() >= deadline) {
            if (!restoreScheduled) {
                restoreScheduled = true;
                QTimer::singleShot(0, this, [this] {
                    restoreScheduled = false;
                    restoreStep(kRestoreSlice);
                });
            }
            return;
        }
    }
    restorePaths.clear();
    restoreNext = 0;
    restoreCache.clear();
}

QModelIndex TreeModelAdapter::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column != 0 || (parent.isValid() && parent.column() != 0))
        return QModelIndex();
    Node* node = parent.isValid() ? nodeOf(parent) : top.get();
    if (!node)
        return QModelIndex();
    load(node);
    if (size_t(row) >= node->children.size())
        return QModelIndex();
    return createIndex(row, column, node->children[size_t(row)].get());
}

QModelIndex TreeModelAdapter::parent(const QModelIndex& index) const
{
    Node* node = nodeOf(index);
    if (!node || !node->parent || node->parent == top.get())
        return QModelIndex();
    return createIndex(node->parent->row, 0, node->parent);
}

int TreeModelAdapter::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    Node* node = parent.isValid() ? nodeOf(parent) : top.get();
    if (!node)
        return 0;
    load(node);
    return int(node->children.size());
}

int TreeModelAdapter::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() && parent.column() != 0 ? 0 : 1;
}

bool TreeModelAdapter::hasChildren(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return false;
    Node* node = parent.isValid() ? nodeOf(parent) : top.get();
    if (!node || !engineModel)
        return false;
    if (node->loaded || node == top.get())
        return rowCount(parent) > 0;
    // Asking isLeaf keeps the view from reading every visible folder's child list just to draw
    // its expand arrow.
    EngineLocker lock(engineLock());
    return node->item && !engineModel->isLeaf(node->item);
}

QVariant TreeModelAdapter::data(const QModelIndex& index, int role) const
{
    Node* node = nodeOf(index);
    if (!node || !engineModel || !node->item)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole: return textOf(node);
    case Qt::DecorationRole: {
        int imageIndex;
        {
            EngineLocker lock(engineLock());
            // The outline always shows the closed icon of a folder, expanded or not.
            imageIndex = engineModel->getImageIndex(node->item, false);
        }
        const QIcon icon = getImageByIdx(imageIndex);
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    default: return QVariant();
    }
}

QVariant TreeModelAdapter::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section == 0 && (role == Qt::DisplayRole || role == Qt::AccessibleTextRole))
        return QString::fromStdString(localize("Folders"));
    return QVariant();
}

Qt::ItemFlags TreeModelAdapter::flags(const QModelIndex& index) const
{
    if (!nodeOf(index))
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
