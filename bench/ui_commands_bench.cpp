// The application controller's grid data source over a result folder of carved pictures, on Qt's
// offscreen platform, with the real preview maker and the engine lock.
//
//   ui_commands_bench [--cells N]
//
// A hand-made result folder of N (default 10,000) in-memory JPEG and PNG files (800 x 600) is
// shown in the real main window with the thumbnail tab in front.
// 1. Thumbnails built per second: every cell requested while the worker drains them.
// 2. The main thread while the worker runs: the longest wait for the engine lock (what painting
//    the outline or the table waits) and the longest scroll step of the grid. Target: 16 ms.
// 3. Installing the folder's table (the first read sorts 10,000 items) and sorting it by size.
// It never fails on timing: a non-zero exit means bad arguments.
#include "AppController.h"
#include "EngineLock.h"
#include "QuilThumbnailView.h"
#include "TreeModelAdapter.h"
#include "diskmanager.h"
#include "quietstdout.h"
#include "recovery.h"
#include "volumetreemodel.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QPainter>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::shared_ptr<std::vector<uint8_t>> encodedPicture(int seed, const char* format)
{
    QImage image(800, 600, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 800, 600);
    gradient.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 180, 240));
    gradient.setColorAt(1, QColor::fromHsv((seed * 47 + 120) % 360, 200, 120));
    painter.fillRect(image.rect(), gradient);
    painter.drawEllipse(QPoint(200 + seed * 40, 300), 150, 150);
    painter.end();
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return std::make_shared<std::vector<uint8_t>>(data.begin(), data.end());
}

// A carved file held in memory (shared bytes).
class MemoryItem : public CVolumeItem {
public:
    MemoryItem(const std::string& itemName, std::shared_ptr<std::vector<uint8_t>> content) : bytes(std::move(content))
    {
        setName(itemName);
        setContainer(false);
        setFlags(ItemDeleted);
    }
    uint64_t getSize() override { return bytes->size(); }
    uint32_t read(uint64_t offset, void* buffer, uint32_t length) override
    {
        if (offset > bytes->size() || length > bytes->size() - offset)
            return 0;
        std::memcpy(buffer, bytes->data() + offset, length);
        return length;
    }

private:
    std::shared_ptr<std::vector<uint8_t>> bytes;
};

class BenchController : public AppController {
public:
    using AppController::AppController;
    using AppController::folder;
};

} // namespace

int main(int argc, char** argv)
{
    int cells = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cells") == 0 && i + 1 < argc) {
            cells = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--cells N]\n", argv[0]);
            return 2;
        }
    }
    if (cells <= 0)
        return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    AppServices services = AppServices::real();
    services.makeDiskManager = [] { return new CDiskManager(); };
    std::unique_ptr<BenchController> controller;
    CVolumeItem* pictures = nullptr;
    {
        QuietStdout quiet(true);
        controller = std::make_unique<BenchController>(services);
        controller->awakeFromNib();
        controller->mainWindow->resize(1200, 800);

        // A result tree as a deleted-files scan leaves it: root, "Images", N carved pictures.
        std::vector<std::shared_ptr<std::vector<uint8_t>>> encoded;
        for (int i = 0; i < 4; ++i) {
            encoded.push_back(encodedPicture(i, "JPG"));
            encoded.push_back(encodedPicture(i, "PNG"));
        }
        CRecovery* rec = controller->recovery();
        rec->volume = new CHFSVolume(nullptr);
        rec->volume->createRoot("Deleted");
        rec->resultRoot = rec->volume->getRoot();
        rec->resultRoot->setContainer(true);
        rec->resultRoot->setFlags(ItemDeleted);
        pictures = new CVolumeItem(true);
        pictures->setName("Images");
        pictures->volume = rec->volume;
        pictures->setParent(rec->resultRoot);
        rec->resultRoot->addChild(pictures);
        for (int i = 0; i < cells; ++i) {
            const bool jpeg = i % 2 == 0;
            auto* item = new MemoryItem(std::to_string(1000 + (i * 7919) % 100000) + (jpeg ? ".jpg" : ".png"),
                                        encoded[size_t(i % 8)]);
            item->volume = rec->volume;
            item->setParent(pictures);
            pictures->addChild(item);
        }
        controller->setTreeModel(new CVolumeTreeModel(rec));
        controller->tabView->setCurrentIndex(1);
    }

    // 3 first: installing the table is what selecting the folder does.
    QTreeView* outline = controller->outlineView;
    TreeModelAdapter* adapter = controller->outlineAdapter();
    outline->expand(adapter->index(0, 0));
    adapter->rowCount(adapter->index(0, 0));
    const QModelIndex row = adapter->findShown(pictures);
    auto began = Clock::now();
    {
        QuietStdout quiet(true);
        outline->selectionModel()->setCurrentIndex(row,
                                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    std::printf("install the table of %d items (sorted by name on install): %.1f ms\n", cells, msSince(began));
    began = Clock::now();
    {
        QuietStdout quiet(true);
        controller->sortBySize();
    }
    std::printf("sort by size and reinstall: %.1f ms\n", msSince(began));
    if (controller->folder != pictures)
        std::printf("warning: the folder was not selected\n");

    // 1. Every cell built once.
    QuilThumbnailView* grid = controller->thumbView;
    grid->reloadData();
    const uint64_t start = grid->thumbnailsMade();
    began = Clock::now();
    double longestWait = 0;
    int waits = 0;
    {
        QuietStdout quiet(true);
        int next = 0;
        while (grid->thumbnailsMade() < start + uint64_t(cells) && msSince(began) < 300000) {
            // Keep the queue fed but short, so every cell is built once.
            if (grid->queuedIndexes().size() < 16)
                for (int i = 0; i < 16 && next < cells; ++i)
                    grid->requestThumbnail(next++);
            // Meanwhile the main thread takes the engine lock, as painting the outline does.
            const auto asked = Clock::now();
            {
                EngineLocker lock(engineLock());
            }
            longestWait = std::max(longestWait, msSince(asked));
            ++waits;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const double ms = msSince(began);
    std::printf("thumbnails: %llu built in %.0f ms, %.0f a second (one worker)\n",
                static_cast<unsigned long long>(grid->thumbnailsMade() - start), ms,
                double(grid->thumbnailsMade() - start) * 1000.0 / ms);
    std::printf("main thread, longest wait for the engine lock while the worker ran: %.2f ms over %d takes "
                "(target <= 16 ms)\n",
                longestWait, waits);

    // 2. Scrolling from the top while the worker builds what comes into view.
    grid->reloadData();
    QScrollBar* bar = grid->verticalScrollBar();
    double longestStep = 0;
    int steps = 0, slow = 0;
    {
        QuietStdout quiet(true);
        for (int value = 0; value <= bar->maximum() && steps < 2000; value += 40, ++steps) {
            const auto step = Clock::now();
            bar->setValue(value);
            grid->viewport()->repaint();
            QCoreApplication::processEvents();
            const double stepMs = msSince(step);
            longestStep = std::max(longestStep, stepMs);
            slow += stepMs > 16.0;
        }
    }
    std::printf("scrolling: %d steps of 40 px, longest %.2f ms, %d over 16 ms\n", steps, longestStep, slow);

    QuietStdout quiet(true);
    controller.reset();
    return 0;
}
