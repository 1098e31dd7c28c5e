// The thumbnail grid's worker and main thread under load, on Qt's offscreen platform.
//
//   ui_thumbgrid_bench [--cells N] [--screenshot FILE]
//
// A fake data source answers every cell with an already decoded 1600 x 1200 picture (copied out
// under a stand-in for the engine lock, as a preview read would be), so the figures cover the
// grid's own work: shrinking, caching, queueing and drawing.
// 1. Thumbnails built per second: N cells (default 10,000) requested while the worker drains them.
// 2. The main thread while the worker runs and the grid scrolls from top to bottom: the longest
//    scroll step (scroll, synchronous repaint of the viewport, pending events) and the longest
//    single request call. The target is never more than 16 ms.
// With --screenshot the grid is also drawn with a few cells, one selected, into FILE (PNG).
// It never fails on timing: a non-zero exit means bad arguments or a failed screenshot.
#include "QuilThumbnailView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

QImage makePicture(int seed)
{
    QImage image(1600, 1200, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 1600, 1200);
    gradient.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 180, 240));
    gradient.setColorAt(1, QColor::fromHsv((seed * 47 + 120) % 360, 200, 120));
    painter.fillRect(image.rect(), gradient);
    painter.setBrush(QColor(255, 255, 255, 140));
    painter.drawEllipse(QPoint(500 + seed * 60, 600), 300, 300);
    return image;
}

class BenchSource : public QuilThumbnailDataSource {
public:
    explicit BenchSource(int count) : count_(count)
    {
        for (int i = 0; i < 8; ++i)
            pictures_.push_back(makePicture(i));
    }
    int thumbCount() override { return count_; }
    QImage thumbAtIndex(int index, QSize) override
    {
        // A preview reads the file through the engine under its lock; the copy stands in for that.
        std::lock_guard lock(engineLock_);
        return pictures_[size_t(index) % pictures_.size()].copy();
    }
    QString thumbHeaderAtIndex(int) override { return {}; }
    QString thumbFooterAtIndex(int index) override
    {
        std::lock_guard lock(engineLock_);
        return QStringLiteral("IMG_%1.jpg").arg(index, 5, 10, QLatin1Char('0'));
    }
    void thumbViewSelectionDidChange() override {}

private:
    int count_;
    std::vector<QImage> pictures_;
    std::mutex engineLock_;
};

void waitFor(QuilThumbnailView& view, uint64_t made)
{
    while (view.thumbnailsMade() < made) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void throughput(QuilThumbnailView& view, int cells)
{
    view.reloadData();
    const uint64_t start = view.thumbnailsMade();
    const auto began = Clock::now();
    // Keep the queue fed but short, as scrolling would, so every cell is built exactly once.
    for (int next = 0; next < cells;) {
        while (next < cells && view.queuedIndexes().size() < 200)
            view.requestThumbnail(next++);
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waitFor(view, start + uint64_t(cells));
    const double ms = msSince(began);
    std::printf("thumbnails: %d built in %.0f ms, %.0f a second (one worker)\n", cells, ms, cells * 1000.0 / ms);
}

void scrolling(QuilThumbnailView& view)
{
    view.reloadData();
    const uint64_t madeBefore = view.thumbnailsMade();
    QScrollBar* bar = view.verticalScrollBar();
    double longestStep = 0, longestRequest = 0, total = 0;
    int steps = 0, slowSteps = 0;
    for (int value = 0; value <= bar->maximum(); value += 40, ++steps) {
        const auto began = Clock::now();
        bar->setValue(value);
        QCoreApplication::processEvents();
        const double ms = msSince(began);
        longestStep = std::max(longestStep, ms);
        total += ms;
        slowSteps += ms > 16.0;
        // The calls a repaint makes, timed one by one: the only place the main thread can wait
        // for the worker.
        const int first = value / QuilThumbnailView::thumbHeight * view.columns();
        for (int i = first; i < std::min(view.thumbCount(), first + 4 * view.columns()); ++i) {
            const auto requested = Clock::now();
            view.requestThumbnail(i);
            longestRequest = std::max(longestRequest, msSince(requested));
        }
    }
    std::printf("scrolling: %d steps of 40 px, mean %.2f ms, longest %.2f ms, %d over 16 ms; "
                "longest request %.3f ms (target <= 16 ms); %llu thumbnails built meanwhile\n",
                steps, steps ? total / steps : 0.0, longestStep, slowSteps, longestRequest,
                static_cast<unsigned long long>(view.thumbnailsMade() - madeBefore));

    // A whole screenful drawn from the cache, with the worker idle: the drawing's own cost.
    bar->setValue(0);
    const uint64_t made = view.thumbnailsMade();
    for (int i = 0; i < 3 * view.columns() * (view.viewport()->height() / QuilThumbnailView::thumbHeight + 1); ++i)
        view.requestThumbnail(i);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    QCoreApplication::processEvents();
    double longestPaint = 0;
    const auto began = Clock::now();
    for (int i = 0; i < 50; ++i) {
        const auto painted = Clock::now();
        view.viewport()->repaint();
        longestPaint = std::max(longestPaint, msSince(painted));
    }
    std::printf("full repaint of %dx%d: mean %.2f ms, longest %.2f ms (%llu thumbnails built)\n",
                view.viewport()->width(), view.viewport()->height(), msSince(began) / 50, longestPaint,
                static_cast<unsigned long long>(view.thumbnailsMade() - made));
}

bool screenshot(const char* file)
{
    BenchSource source(11);
    QuilThumbnailView view;
    view.resize(700, 420);
    view.setDataSource(&source);
    view.show();
    view.reloadData();
    for (int i = 0; i < 11; ++i)
        view.requestThumbnail(i);
    const auto began = Clock::now();
    while (msSince(began) < 3000 && view.thumbnailsMade() < 11) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    view.selectIndexes({4}, false);
    QCoreApplication::processEvents();
    const bool saved = view.grab().save(QString::fromLocal8Bit(file), "PNG");
    std::printf("screenshot: %s %s\n", file, saved ? "written" : "NOT written");
    return saved;
}

} // namespace

int main(int argc, char** argv)
{
    int cells = 10000;
    const char* shot = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cells") == 0 && i + 1 < argc) {
            cells = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            shot = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--cells N] [--screenshot FILE]\n", argv[0]);
            return 2;
        }
    }
    if (cells < 1) {
        std::fprintf(stderr, "--cells must be at least 1\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    if (shot != nullptr && !screenshot(shot))
        return 1;

    BenchSource source(cells);
    QuilThumbnailView view;
    view.resize(1000, 800);
    view.setDataSource(&source);
    view.show();
    throughput(view, cells);
    scrolling(view);
    return 0;
}
