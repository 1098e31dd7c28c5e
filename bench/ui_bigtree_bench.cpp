// Whole-tree work on a large result tree, in the real main window on Qt's offscreen platform, with
// the main thread's pauses measured from outside: a helper thread posts a ping to the main thread
// every 20 ms and the longest wait of a ping before it ran is the longest pause.
//
//   ui_bigtree_bench [--files N] [--per-folder N] [--sheet PNG]
//
// The tree (built in memory, default 300,000 files) holds one folder with half of the files and
// the other half in folders of 10 (or N) files, 100 such folders to a group. Measured:
// 1. Sorting the big folder's children by name and by size (the engine alone). Target: 150 ms.
// 2. A repaint of the table's top rows over the big folder and over a folder of 10 (the same cost
//    is the target).
// 3. Expanding every folder of the outline, the file-list report of the whole tree (with how many
//    times its progress sheet was pumped), a search matching every file with the table install
//    over its results, and closing the results (with the process's resident memory before and
//    after). Target: no pause over 100 ms. --sheet saves a picture of the report's progress sheet
//    taken while the report runs.
// It never fails on timing: a non-zero exit means bad arguments.
#include "AppController.h"
#include "TreeModelAdapter.h"
#include "diskmanager.h"
#include "quietstdout.h"
#include "recovery.h"
#include "volumes.h"
#include "volumetreemodel.h"

#include <QApplication>
#include <QDialog>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMainWindow>
#include <QTableView>
#include <QTreeView>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double residentMegabytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Posts a ping to the main thread every 20 ms; the main thread notes how long each one waited.
class Pinger {
public:
    Pinger()
    {
        worker = std::thread([this] {
            while (running) {
                const auto sent = Clock::now();
                QMetaObject::invokeMethod(
                    &receiver, [this, sent] { longest = std::max(longest, msSince(sent)); }, Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~Pinger()
    {
        running = false;
        worker.join();
        QCoreApplication::processEvents();
    }
    // Runs what waits (the repaints and layouts an operation left behind among it), then the
    // longest pause since the last call.
    double takeLongest()
    {
        const auto start = Clock::now();
        while (msSince(start) < 300) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double value = longest;
        longest = 0;
        return value;
    }

private:
    QObject receiver;
    std::atomic<bool> running{true};
    double longest = 0; // main thread only
    std::thread worker;
};

// The services the commands ask: every question answered yes, the report written to a scratch
// file, and the event pump counted.
class BenchServices : public AlertService, public FilePanelService, public EventPumpService {
public:
    AlertAnswer runAlert(QWidget*, const QString&, const QString&, const QString&, const QString&,
                         const QString&) override
    {
        return AlertAnswer::Default;
    }
    QString chooseFolder(QWidget*, const QString&) override { return {}; }
    QString chooseSaveFile(QWidget*, const QString&, const QString&, const QStringList&) override { return reportPath; }
    void processEvents() override
    {
        ++pumped;
        QCoreApplication::processEvents();
        // The sheet as it stands at the second pump of the operation, once it had a turn to paint.
        if (pumped == 2 && sheet && !sheetPath.isEmpty())
            sheet->grab().save(sheetPath);
    }

    QString reportPath;
    int pumped = 0;
    QWidget* sheet = nullptr;
    QString sheetPath; // where the report's progress sheet is saved as a picture, when asked
};

class BenchController : public AppController {
public:
    using AppController::AppController;
    using AppController::folder;
};

CVolumeItem* addItem(CVolumeItem* parent, CVolumeItem* child, const std::string& name)
{
    child->volume = parent->volume;
    child->setName(name);
    parent->addChild(child);
    child->setParent(parent);
    return child;
}

void addFiles(CVolumeItem* folder, int count, std::mt19937& random, uint64_t* block)
{
    for (int i = 0; i < count; ++i) {
        auto* file = new CRawVolumeItem();
        file->firstBlock = (*block)++;
        file->size = random() % 50000000;
        char name[32];
        std::snprintf(name, sizeof name, "%08x.jpg", unsigned(random()));
        addItem(folder, file, name);
    }
}

double repaintMs(QTableView* view, int times)
{
    view->scrollToTop();
    (void)view->viewport()->grab();
    const auto start = Clock::now();
    for (int i = 0; i < times; ++i)
        (void)view->viewport()->grab();
    return msSince(start) / times;
}

void select(QTreeView* outline, const QModelIndex& row)
{
    outline->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

} // namespace

int main(int argc, char** argv)
{
    int files = 300000;
    int perFolder = 10;
    const char* sheetPicture = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
            files = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--sheet") == 0 && i + 1 < argc) {
            sheetPicture = argv[++i];
        } else if (std::strcmp(argv[i], "--per-folder") == 0 && i + 1 < argc) {
            perFolder = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--files N] [--per-folder N] [--sheet PNG]\n", argv[0]);
            return 2;
        }
    }
    if (files < 20)
        return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    auto fakes = std::make_shared<BenchServices>();
    fakes->reportPath = QStringLiteral("/tmp/ui_bigtree_bench_%1.html").arg(getpid());
    AppServices services = AppServices::real();
    services.alerts = fakes;
    services.filePanels = fakes;
    services.eventPump = fakes;
    services.makeDiskManager = [] { return new CDiskManager(); };
    std::unique_ptr<BenchController> controller;
    CVolumeItem* big = nullptr;
    CVolumeItem* small = nullptr;
    std::mt19937 random(12345);
    const double startMb = residentMegabytes();
    {
        QuietStdout quiet(true);
        controller = std::make_unique<BenchController>(services);
        controller->awakeFromNib();
        // The engine's events reach the controller through the application's delegate.
        AppController::setApplicationDelegate(controller.get());
        controller->mainWindow->resize(1200, 800);
        controller->mainWindow->show();

        // A result tree as a scan leaves it: root, one big folder, groups of small folders.
        CRecovery* rec = controller->recovery();
        rec->volume = new CHFSVolume(nullptr);
        rec->volume->createRoot("Deleted");
        rec->resultRoot = rec->volume->getRoot();
        rec->resultRoot->setContainer(true);
        rec->resultRoot->setFlags(ItemDeleted);
        uint64_t block = 0;
        big = addItem(rec->resultRoot, new CVolumeItem(true), "Big");
        addFiles(big, files / 2, random, &block);
        small = addItem(rec->resultRoot, new CVolumeItem(true), "Small");
        addFiles(small, 10, random, &block);
        int left = files - files / 2 - 10;
        for (int group = 0; left > 0; ++group) {
            CVolumeItem* groupFolder =
                addItem(rec->resultRoot, new CVolumeItem(true), "Group " + std::to_string(group));
            for (int f = 0; f < 100 && left > 0; ++f) {
                CVolumeItem* leaf = addItem(groupFolder, new CVolumeItem(true), "Folder " + std::to_string(f));
                addFiles(leaf, std::min(perFolder, left), random, &block);
                left -= perFolder;
            }
        }
        controller->setTreeModel(new CVolumeTreeModel(rec));
    }
    std::printf("%d files; resident memory %.0f MB before the tree, %.0f MB with it\n", files, startMb,
                residentMegabytes());

    // 1. The engine's sort, over a folder of its own holding as many files as the tree.
    double byName = 0, bySize = 0, backToName = 0, checked = 0;
    {
        QuietStdout quiet(true);
        CVolume volume(nullptr);
        volume.createRoot("Sorted");
        uint64_t block = 0;
        addFiles(volume.getRoot(), files, random, &block);
        CVolumeItem* list = volume.getRoot();
        volume.setSortType(SortByName);
        auto start = Clock::now();
        list->sortChildren();
        byName = msSince(start);
        volume.setSortType(SortBySize);
        start = Clock::now();
        list->sortChildren();
        bySize = msSince(start);
        volume.setSortType(SortByName);
        start = Clock::now();
        list->sortChildren();
        backToName = msSince(start);
        // What the table does when its first row is asked for, the list already in order.
        volume.setSortType(SortBySize);
        list->sortChildren();
        list->childrenChanged();
        start = Clock::now();
        CVolumeTableModel(list).getCellText(0, 0);
        checked = msSince(start);
    }
    std::printf("sort %d items: by name %.1f ms, by size %.1f ms, back to name %.1f ms (target 150 ms); "
                "order check of the sorted list %.1f ms\n",
                files, byName, bySize, backToName, checked);

    QTreeView* outline = controller->outlineView;
    TreeModelAdapter* adapter = controller->outlineAdapter();
    Pinger pinger;
    outline->expand(adapter->index(0, 0));
    adapter->rowCount(adapter->index(0, 0));

    // 2. Repaints of the table's top.
    {
        QuietStdout quiet(true);
        select(outline, adapter->findShown(big));
    }
    const double bigRepaint = repaintMs(controller->tableView, 20);
    {
        QuietStdout quiet(true);
        select(outline, adapter->findShown(small));
    }
    const double smallRepaint = repaintMs(controller->tableView, 20);
    std::printf("table repaint at the top: %.2f ms over %d rows, %.2f ms over 10 rows\n", bigRepaint, files / 2,
                smallRepaint);
    pinger.takeLongest();

    // 3. Whole-tree work.
    auto start = Clock::now();
    {
        QuietStdout quiet(true);
        controller->expandOutlineView();
        // The last group is the last row to open (its folders hold files only).
        const QModelIndex root = adapter->index(0, 0);
        const QModelIndex lastGroup = adapter->index(adapter->rowCount(root) - 1, 0, root);
        while (!outline->isExpanded(lastGroup) && msSince(start) < 60000)
            QCoreApplication::processEvents();
    }
    const double expandMs = msSince(start);
    std::printf("expand every folder: %.0f ms, longest pause %.0f ms\n", expandMs, pinger.takeLongest());
    {
        QuietStdout quiet(true);
        start = Clock::now();
        // What a scan's progress event does when the tree grew: read it afresh and open it all.
        controller->reloadOutlineView();
        controller->expandOutlineView();
    }
    const double reloadMs = msSince(start);
    std::printf("reload the outline and expand every folder again: %.0f ms, longest pause %.0f ms\n", reloadMs,
                pinger.takeLongest());

    {
        QuietStdout quiet(true);
        outline->clearSelection();
        controller->tableView->clearSelection();
        select(outline, adapter->index(0, 0));
        fakes->pumped = 0;
        fakes->sheet = controller->progressWindow;
        fakes->sheetPath = sheetPicture ? QString::fromLocal8Bit(sheetPicture) : QString();
        start = Clock::now();
        controller->saveReport();
        fakes->sheetPath.clear();
    }
    const double reportMs = msSince(start);
    std::printf("report of the whole tree: %.0f ms, longest pause %.0f ms, progress sheet pumped %d times\n", reportMs,
                pinger.takeLongest(), fakes->pumped);
    std::remove(fakes->reportPath.toLocal8Bit().constData());

    {
        QuietStdout quiet(true);
        controller->searchField->setText(QStringLiteral(".jpg"));
        start = Clock::now();
        controller->searchUsingToolbarSearchField();
    }
    const double searchMs = msSince(start);
    std::printf("search matching every file, with its table: %.0f ms, longest pause %.0f ms (%d rows shown)\n",
                searchMs, pinger.takeLongest(), controller->tableView->model()->rowCount());

    const double beforeClose = residentMegabytes();
    {
        QuietStdout quiet(true);
        start = Clock::now();
        controller->chooseDisk();
    }
    const double closeMs = msSince(start);
    const double closePause = pinger.takeLongest();
    std::printf("close the results: %.0f ms, longest pause %.0f ms; resident memory %.0f MB before, %.0f MB after\n",
                closeMs, closePause, beforeClose, residentMegabytes());

    QuietStdout quiet(true);
    AppController::setApplicationDelegate(nullptr);
    controller.reset();
    return 0;
}
