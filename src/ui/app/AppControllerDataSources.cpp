// The outline, the file table and the thumbnail grid: installing their Qt adapters, following
// their selections (the current disk and folder, the viewer's preview), the grid's data source,
// the sort commands and the tab switch. The grid's worker reads only the folder captured at the
// grid's last reload, under the engine lock, so it never sees items the main thread freed.
#include "AppController.h"

#include "EngineLock.h"
#include "Preview.h"
#include "QuilThumbnailView.h"
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "disks.h"
#include "interfaces.h"
#include "recovery.h"
#include "volumes.h"

#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QPixmap>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr int kThumbWidth = QuilThumbnailView::thumbWidth;
constexpr int kThumbHeight = QuilThumbnailView::thumbHeight;

// The grid's data source: the controller's own thumbnail operations.
class ControllerThumbSource : public QuilThumbnailDataSource {
public:
    explicit ControllerThumbSource(AppController* controller) : controller(controller) {}
    int thumbCount() override { return controller->thumbCount(); }
    // The controller makes every picture at the grid's fixed cell size.
    QImage thumbAtIndex(int index, QSize) override { return controller->thumbAtIndex(index); }
    QString thumbHeaderAtIndex(int index) override { return controller->thumbHeaderAtIndex(index); }
    QString thumbFooterAtIndex(int index) override { return controller->thumbFooterAtIndex(index); }
    void thumbViewSelectionDidChange() override { controller->thumbViewSelectionDidChange(); }

private:
    AppController* controller;
};

// How often a grid worker looks again for the engine lock while another thread holds it: briefly,
// since the grid's other workers hold it only to copy a file's bytes.
constexpr auto kLockRetry = std::chrono::microseconds(250);
std::mutex gridReaders;

// Files up to this size are copied out under the engine lock and previewed without it, so the main
// thread (which takes the lock to paint the outline and the table) never waits for a decode.
constexpr uint64_t kSnapshotLimit = 8ull * 1024 * 1024;
constexpr uint32_t kSnapshotChunk = 1024 * 1024;

// A file's bytes held in memory, with the name and flags the preview looks at.
class SnapshotItem : public CVolumeItem {
public:
    // False when the file could not be read whole.
    bool copyFrom(CVolumeItem* item)
    {
        setName(item->getName());
        setFlags(item->getFlags());
        setContainer(false);
        const uint64_t size = item->getSize();
        if (size > kSnapshotLimit)
            return false;
        try {
            bytes.resize(size_t(size));
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (uint64_t done = 0; done < size;) {
            const uint32_t piece = uint32_t(std::min<uint64_t>(kSnapshotChunk, size - done));
            if (item->read(done, bytes.data() + done, piece) != piece)
                return false;
            done += piece;
        }
        return true;
    }
    uint64_t getSize() override { return bytes.size(); }
    uint32_t read(uint64_t offset, void* buffer, uint32_t length) override
    {
        if (offset > bytes.size() || length > bytes.size() - offset)
            return 0;
        std::memcpy(buffer, bytes.data() + offset, length);
        return length;
    }

private:
    std::vector<uint8_t> bytes;
};

// The row the view treats as "the" selected row: the current row when it is selected, else the
// first selected row; -1 when none.
int selectedRowOf(const QAbstractItemView* view, QModelIndex* index = nullptr)
{
    if (!view || !view->selectionModel())
        return -1;
    const QItemSelectionModel* selection = view->selectionModel();
    QModelIndex chosen = view->currentIndex();
    if (!chosen.isValid() || !selection->isSelected(chosen)) {
        const QModelIndexList rows = selection->selectedRows();
        chosen = rows.isEmpty() ? QModelIndex() : rows.first();
    }
    if (index)
        *index = chosen;
    return chosen.isValid() ? chosen.row() : -1;
}

QString tabIdentifier(const QTabWidget* tabs)
{
    return tabs ? tabs->tabBar()->tabData(tabs->currentIndex()).toString() : QString();
}

} // namespace

// --- Wiring ---

TreeModelAdapter* AppController::outlineAdapter()
{
    if (!treeObjDict)
        treeObjDict = new TreeModelAdapter;
    return static_cast<TreeModelAdapter*>(treeObjDict);
}

TableModelAdapter* AppController::tableViewAdapter()
{
    if (!tableAdapter)
        tableAdapter = new TableModelAdapter;
    return static_cast<TableModelAdapter*>(tableAdapter);
}

void AppController::connectViews()
{
    if (outlineView && outlineView->model() != outlineAdapter()) {
        outlineView->setModel(outlineAdapter());
        connect(outlineView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this] { outlineViewSelectionDidChange(); });
        connect(outlineView, &QTreeView::expanded, this, [this] { outlineViewItemDidExpand(); });
    }
    if (tableView && tableView->model() != tableViewAdapter()) {
        tableView->setWordWrap(false);
        tableView->setModel(tableViewAdapter());
        connect(tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this] { tableViewSelectionDidChange(); });
        // Room for a whole date and a longer name; the other columns keep the header's default.
        const QFontMetrics metrics(tableView->font());
        QHeaderView* header = tableView->horizontalHeader();
        header->resizeSection(NameColumn, metrics.horizontalAdvance(QLatin1Char('M')) * 18);
        header->resizeSection(DateColumn, metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 24);
    }
    if (!thumbView && thumbTab) {
        thumbView = new QuilThumbnailView(thumbTab);
        if (thumbTab->layout())
            thumbTab->layout()->addWidget(thumbView);
    }
    if (thumbView && !thumbSource) {
        if (thumbView->objectName().isEmpty())
            thumbView->setObjectName(QStringLiteral("thumbView"));
        if (thumbView->accessibleName().isEmpty() && tabView)
            thumbView->setAccessibleName(tabView->tabText(tabView->indexOf(thumbTab)));
        thumbSource = std::make_shared<ControllerThumbSource>(this);
        thumbView->setDataSource(thumbSource.get());
    }
}

void AppController::stopThumbWorker()
{
    if (!thumbView)
        return;
    // The worker may be waiting for the engine lock that this thread holds: let it give up.
    thumbsHalted = true;
    thumbView->stopWorker();
    thumbsHalted = false;
}

void AppController::releaseShownItems(bool clearTree)
{
    connectViews();
    stopThumbWorker();
    folder = nullptr;
    setTableModel(nullptr); // also reloads the grid, which now captures no folder
    if (imageView)
        imageView->clear();
    if (clearTree)
        setTreeModel(nullptr);
}

void AppController::reloadThumbView()
{
    {
        EngineLocker lock(engineLock());
        // The grid draws a footer under every visible cell at each repaint: reading the names once
        // here keeps scrolling from waiting on the worker for the engine lock.
        thumbFooters.clear();
        if (thumbFolder && tabIdentifier(tabView) == QLatin1String("thumb")) {
            const int count = thumbFolder->getChildCount(true);
            thumbFooters.reserve(count);
            for (int index = 0; index < count; ++index) {
                CVolumeItem* child = thumbFolder->getChild(index, true);
                thumbFooters.append(child ? QString::fromStdString(child->getName()) : QString());
            }
        }
    }
    if (thumbView)
        thumbView->reloadData();
}

void AppController::reloadOutlineView()
{
    connectViews();
    if (!outlineView || !outlineView->selectionModel())
        return;
    TreeModelAdapter* adapter = outlineAdapter();
    QItemSelectionModel* selection = outlineView->selectionModel();
    // The selected rows are found again by path after the reset, so a reload that an operation
    // asks for (a save after a scan, say) leaves the person's choice and the table as they were.
    QList<TreeModelAdapter::ItemPath> selectedPaths;
    for (const QModelIndex& index : selection->selectedRows())
        selectedPaths.append(adapter->pathOf(index));
    const TreeModelAdapter::ItemPath currentPath = adapter->pathOf(outlineView->currentIndex());
    CBase* before = folder ? static_cast<CBase*>(folder) : static_cast<CBase*>(disk);
    {
        const QSignalBlocker quiet(selection);
        adapter->reload(outlineView);
        for (const TreeModelAdapter::ItemPath& path : selectedPaths) {
            const QModelIndex index = adapter->indexForPath(path);
            if (index.isValid())
                selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        const QModelIndex current = adapter->indexForPath(currentPath);
        if (current.isValid())
            selection->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    }
    outlineView->viewport()->update();
    QModelIndex chosen;
    selectedRowOf(outlineView, &chosen);
    CBase* after = chosen.isValid() ? adapter->itemAt(chosen) : nullptr;
    // A reset reports no selection change: the handler runs when the choice is not what it was.
    if (!before || after != before)
        outlineViewSelectionDidChange(true);
}

void AppController::reloadTableView()
{
    connectViews();
    EngineLocker lock(engineLock());
    // The row count is read at install: installing the same model again reads it afresh.
    tableViewAdapter()->setModel(tableModel);
    if (tableView)
        tableView->clearSelection();
    reloadThumbView();
}

// --- Outline ---

void AppController::outlineViewItemDidExpand()
{
    logLine(QStringLiteral("item did expand"));
}

void AppController::outlineViewSelectionDidChange(bool modelChanged)
{
    if (handlingOutlineSelection)
        return;
    handlingOutlineSelection = true;
    // A result tree holds no disks: installing one, or emptying the outline for the next command,
    // chooses none, and the disk it came from stays. The folder always goes: the tree it was in may
    // be gone.
    if (!modelChanged || (treeModel && !showsResults()))
        disk = nullptr;
    folder = nullptr;
    QModelIndex index;
    const int row = selectedRowOf(outlineView, &index);
    logLine(QStringLiteral("outlineViewSelectionDidChange row :%1").arg(row));
    {
        EngineLocker lock(engineLock());
        CBase* item = index.isValid() && treeObjDict ? outlineAdapter()->itemAt(index) : nullptr;
        if (item) {
            logLine(QStringLiteral("item: 0x%1").arg(quintptr(item), 0, 16));
            if (auto* volumeItem = dynamic_cast<CVolumeItem*>(item)) {
                folder = volumeItem;
            } else if (auto* selectedDisk = dynamic_cast<CDisk*>(item)) {
                disk = selectedDisk;
                const QString kind = selectedDisk->isWholeDisk() ? QStringLiteral("Disk") : QStringLiteral("Volume");
                if (mainWindow)
                    mainWindow->setWindowTitle(infoValue(QStringLiteral("AppName")) + QStringLiteral(" - ") +
                                               QString::fromStdString(selectedDisk->getName()) + QStringLiteral(" (") +
                                               kind + QLatin1Char(')'));
            }
        }
        // No need to stop the grid's worker: it reads items only under the engine lock, held here,
        // and the grid's reload drops what it made for the folder shown before.
        if (folder)
            setTableModel(new CVolumeTableModel(folder));
    }
    handlingOutlineSelection = false;
    validateCommands();
}

// --- Table ---

void AppController::tableViewSelectionDidChange()
{
    const int row = selectedRowOf(tableView);
    logLine(QStringLiteral("tableViewSelectionDidChange row :%1").arg(row));
    if (tabIdentifier(tabView) != QLatin1String("table"))
        return;
    if (!viewerWindow || !viewerWindow->isVisible() || !imageView)
        return;
    QImage image;
    if (row >= 0 && folder && preview) {
        EngineLocker lock(engineLock());
        if (row < folder->getChildCount(true))
            image = preview->getFilePreview(folder->getChild(row, true), imageView->width(), imageView->height());
    }
    imageView->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
}

// --- Thumbnail grid ---

int AppController::thumbCount()
{
    if (tabIdentifier(tabView) != QLatin1String("thumb") || !tableModel)
        return 0;
    return tableViewAdapter()->rowCount();
}

QImage AppController::thumbAtIndex(int index)
{
    if (index < 0)
        return {};
    // One grid worker at a time asks for the engine lock: several trying at once would keep the
    // main thread, which waits for it to paint, out for many reads in a row.
    std::unique_lock<std::mutex> reading(gridReaders);
    std::unique_lock<std::recursive_mutex> lock(engineLock(), std::defer_lock);
    while (!lock.try_lock()) {
        if (thumbsHalted)
            return {};
        std::this_thread::sleep_for(kLockRetry);
    }
    CVolumeItem* shown = thumbFolder;
    if (!shown || index >= shown->getChildCount(true))
        return {};
    CVolumeItem* item = shown->getChild(index, true);
    if (!item)
        return {};
    if (!preview)
        return {};
    SnapshotItem copy;
    if (item->isContainer() || !copy.copyFrom(item))
        return preview->getFilePreview(item, kThumbWidth, kThumbHeight);
    lock.unlock();
    reading.unlock();
    return preview->getFilePreview(&copy, kThumbWidth, kThumbHeight);
}

QString AppController::thumbHeaderAtIndex(int)
{
    return {};
}

QString AppController::thumbFooterAtIndex(int index)
{
    return index >= 0 && index < thumbFooters.size() ? thumbFooters[index] : QString();
}

void AppController::thumbViewSelectionDidChange()
{
    logLine(QStringLiteral("thumbViewSelectionDidChange"));
    if (tabIdentifier(tabView) != QLatin1String("thumb") || !thumbView)
        return;
    const std::set<int>& chosen = thumbView->selectedIndexes();
    if (tableView && tableView->selectionModel() && tableView->model()) {
        // The table takes exactly the grid's selection, so save and report see what the grid shows.
        QItemSelection selection;
        QAbstractItemModel* model = tableView->model();
        const int rows = model->rowCount();
        for (int index : chosen)
            if (index >= 0 && index < rows)
                selection.select(model->index(index, NameColumn), model->index(index, model->columnCount() - 1));
        tableView->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    if (!viewerWindow || !viewerWindow->isVisible() || !imageView)
        return;
    QImage image;
    if (folder && !chosen.empty() && preview) {
        EngineLocker lock(engineLock());
        const int first = *chosen.begin();
        if (first < folder->getChildCount(true))
            image = preview->getFilePreview(folder->getChild(first, true), imageView->width(), imageView->height());
    }
    imageView->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
}

// --- Sorting and tabs ---

namespace {
void markSort(QAction* on, QAction* off)
{
    if (on) {
        on->setCheckable(true);
        on->setChecked(true);
    }
    if (off) {
        off->setCheckable(true);
        off->setChecked(false);
    }
}
} // namespace

void AppController::sortTable(int sortType, QAction* chosen, QAction* other)
{
    markSort(chosen, other);
    if (busy || !folder)
        return;
    EngineLocker lock(engineLock());
    if (CVolume* volume = folder->volume) {
        volume->setSortType(static_cast<SortType>(sortType));
        setTableModel(new CVolumeTableModel(folder));
    }
}

void AppController::sortByName()
{
    logLine(QStringLiteral("sortByName"));
    sortTable(SortByName, sortByNameMenuItem, sortBySizeMenuItem);
}

void AppController::sortBySize()
{
    logLine(QStringLiteral("sortBySize"));
    sortTable(SortBySize, sortBySizeMenuItem, sortByNameMenuItem);
}

void AppController::tabViewDidSelectTabViewItem(int)
{
    reloadThumbView();
    // The reload empties the grid's selection: it takes the table's, so the two views (and what
    // save and the report use) agree on what is chosen.
    if (thumbView && tableView && tableView->selectionModel() && tabIdentifier(tabView) == QLatin1String("thumb")) {
        std::set<int> rows;
        for (const QModelIndex& index : tableView->selectionModel()->selectedRows())
            rows.insert(index.row());
        if (!rows.empty())
            thumbView->selectIndexes(rows, false);
    }
}
