// The thumbnail grid's worker and main thread under load, on Qt's offscreen platform.
//
//   ui_thumbgrid_bench [--cells N] [--photos N] [--carved N] [--screenshot FILE]
//
// A fake data source answers every cell with an already decoded 1600 x 1200 picture (copied out
// under a stand-in for the engine lock, as a preview read would be), so the figures cover the
// grid's own work: shrinking, caching, queueing and drawing.
// 1. Thumbnails built per second: N cells (default 10,000) requested while the worker drains them.
// 2. The main thread while the worker runs and the grid scrolls from top to bottom: the longest
//    scroll step (scroll, synchronous repaint of the viewport, pending events) and the longest
//    single request call. The target is never more than 16 ms.
// Then the same grid over real files previewed by the preview maker, as the application does:
// 3. Carved files (small photos, PNG, GIF, cut-short pictures, text): thumbnails a second over
//    --carved cells (default 2,000). The target is at least 400.
// 4. 3-megapixel JPEG photos: the time to the first --photos thumbnails (default 1,000), after a
//    reload that queued them; the target is under 4 s. Also how long the first screen of a folder
//    takes while the reload's prefetch is queued behind it.
// 5. The viewer: one preview of a typical photo at a viewer's size, first and median of 20; the
//    target is within 100 ms.
// With --screenshot the grid is also drawn with a few cells, one selected, into FILE (PNG).
// It never fails on timing: a non-zero exit means bad arguments or a failed screenshot.
#include "Preview.h"
#include "QuilThumbnailView.h"
#include "quietstdout.h"
#include "volumes.h"

#include <QBuffer>
#include <QImageWriter>

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
        // The grid's workers take the lock as the controller's do: one at a time, trying again
        // shortly, so the main thread, which waits for it, comes first.
        std::lock_guard reading(readers_);
        std::unique_lock lock(engineLock_, std::defer_lock);
        while (!lock.try_lock())
            std::this_thread::sleep_for(std::chrono::microseconds(250));
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
    std::mutex readers_;
};

using Bytes = std::vector<uint8_t>;

// A file of the folder the grid shows: its bytes in memory.
class BenchFile : public CVolumeItem {
public:
    BenchFile(const std::string& itemName, Bytes content) : bytes(std::move(content))
    {
        setName(itemName);
        setContainer(false);
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
    Bytes bytes;
};

Bytes encoded(const QImage& image, const char* format, int quality = -1)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.write(image);
    return Bytes(data.begin(), data.end());
}

// A photo-like picture: a gradient, shapes and fine noise, so the JPEG coder has detail to keep.
QImage makePhoto(int seed, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        QLinearGradient gradient(0, 0, width, height);
        gradient.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 160, 230));
        gradient.setColorAt(1, QColor::fromHsv((seed * 47 + 150) % 360, 200, 90));
        painter.fillRect(image.rect(), gradient);
        painter.setBrush(QColor(255, 255, 255, 120));
        for (int i = 0; i < 12; ++i)
            painter.drawEllipse(QPoint((i * 397 + seed * 131) % width, (i * 211 + seed * 71) % height), width / 12,
                                height / 10);
    }
    uint32_t noise = 0x12345678u + uint32_t(seed);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int d = int(noise >> 28) - 8;
            const QRgb p = line[x];
            line[x] = qRgb(std::clamp(qRed(p) + d, 0, 255), std::clamp(qGreen(p) + d, 0, 255),
                           std::clamp(qBlue(p) + d, 0, 255));
        }
    }
    return image;
}

// The grid's data source over files, as the application controller makes it: the file's bytes are
// taken under the engine lock, the preview made without it, at the grid's cell size.
class PreviewSource : public QuilThumbnailDataSource {
public:
    PreviewSource(Preview& preview, std::vector<std::unique_ptr<BenchFile>>& files) : preview_(preview), files_(files)
    {}
    int thumbCount() override { return int(files_.size()); }
    QImage thumbAtIndex(int index, QSize) override
    {
        BenchFile* file = nullptr;
        {
            std::lock_guard lock(engineLock_);
            file = files_[size_t(index)].get();
        }
        return preview_.getFilePreview(file, QuilThumbnailView::thumbWidth, QuilThumbnailView::thumbHeight);
    }
    QString thumbHeaderAtIndex(int) override { return {}; }
    QString thumbFooterAtIndex(int index) override { return QString::fromStdString(files_[size_t(index)]->getName()); }
    void thumbViewSelectionDidChange() override {}

private:
    Preview& preview_;
    std::vector<std::unique_ptr<BenchFile>>& files_;
    std::mutex engineLock_;
};

void waitFor(QuilThumbnailView& view, uint64_t made)
{
    while (view.thumbnailsMade() < made) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Milliseconds to build the first cells thumbnails from a reload on.
double buildAll(QuilThumbnailView& view, int cells)
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
    return msSince(began);
}

void throughput(QuilThumbnailView& view, int cells)
{
    const double ms = buildAll(view, cells);
    std::printf("thumbnails: %d built in %.0f ms, %.0f a second (%d workers)\n", cells, ms, cells * 1000.0 / ms,
                QuilThumbnailView::workerCount());
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

// Thumbnails a second over a folder of files, every cell requested as scrolling would.
double previewPace(Preview& preview, std::vector<std::unique_ptr<BenchFile>>& files)
{
    PreviewSource source(preview, files);
    QuilThumbnailView view;
    view.resize(1000, 800);
    view.setDataSource(&source);
    view.show();
    QuietStdout quiet(true);
    const int cells = int(files.size());
    return cells * 1000.0 / buildAll(view, cells);
}

void carvedFiles(Preview& preview, int cells)
{
    std::vector<Bytes> kinds;
    for (int i = 0; i < 4; ++i)
        kinds.push_back(encoded(makePhoto(i, 640, 480), "jpeg", 85));
    const Bytes jpeg = kinds[0];
    kinds.push_back(Bytes(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2))); // cut short
    kinds.push_back(encoded(makePhoto(5, 320, 240), "png"));
    QImage indexed = makePhoto(6, 200, 150).convertToFormat(QImage::Format_Indexed8);
    kinds.push_back(encoded(indexed, "png"));
    kinds.push_back(encoded(makePhoto(7, 64, 64), "bmp"));
    const std::string text = "a carved text file\nwith a few lines\nof words\n";
    kinds.push_back(Bytes(text.begin(), text.end()));
    Bytes noise(20000);
    uint32_t state = 7;
    for (uint8_t& b : noise)
        b = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
    kinds.push_back(noise);
    const char* names[] = {"f1.jpg", "f2.jpg", "f3.jpg", "f4.jpg", "cut.jpg",
                           "f.png",  "p.png",  "f.bmp",  "f.txt",  "f.bin"};
    std::vector<std::unique_ptr<BenchFile>> files;
    for (int i = 0; i < cells; ++i)
        files.push_back(std::make_unique<BenchFile>(names[size_t(i) % kinds.size()], kinds[size_t(i) % kinds.size()]));
    const double pace = previewPace(preview, files);
    std::printf("carved files: %d thumbnails, %.0f a second (target >= 400)\n", cells, pace);
}

void photos(Preview& preview, int cells)
{
    std::vector<Bytes> kinds;
    for (int i = 0; i < 8; ++i)
        kinds.push_back(encoded(makePhoto(i, 2048, 1536), "jpeg", 90));
    std::vector<std::unique_ptr<BenchFile>> files;
    for (int i = 0; i < cells; ++i)
        files.push_back(
            std::make_unique<BenchFile>("IMG_" + std::to_string(i) + ".JPG", kinds[size_t(i) % kinds.size()]));

    PreviewSource source(preview, files);
    QuilThumbnailView view;
    view.resize(1000, 800);
    view.setDataSource(&source);
    view.show();
    double firstScreen = 0, all = 0;
    const int screen = view.columns() * (view.viewport()->height() / QuilThumbnailView::thumbHeight + 1);
    {
        QuietStdout quiet(true);
        // A reload queues the first cells for prefetching; the repaint that follows asks for the
        // screen's cells, which must not wait behind the others.
        view.reloadData();
        const auto began = Clock::now();
        view.viewport()->repaint();
        // Waits until cells 0 to count - 1 have their pictures.
        auto waitForFirst = [&](int count) {
            for (int i = 0; i < count;) {
                if (view.hasThumbnail(i)) {
                    ++i;
                    continue;
                }
                QCoreApplication::processEvents();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        waitForFirst(std::min(screen, cells));
        firstScreen = msSince(began);
        waitForFirst(std::min(cells, QuilThumbnailView::prefetchCount));
        all = msSince(began);
    }
    std::printf("photos: 3-megapixel JPEGs of %zu KB; first screen (%d cells) in %.0f ms; the first %d thumbnails in "
                "%.2f s (target < 4 s)\n",
                kinds[0].size() / 1024, std::min(screen, cells), firstScreen,
                std::min(cells, QuilThumbnailView::prefetchCount), all / 1000.0);
}

void viewer(Preview& preview)
{
    for (const QSize size : {QSize(2048, 1536), QSize(4000, 3000)}) {
        BenchFile photo("photo.jpg", encoded(makePhoto(3, size.width(), size.height()), "jpeg", 90));
        std::vector<double> times;
        {
            QuietStdout quiet(true);
            for (int i = 0; i < 21; ++i) {
                const auto began = Clock::now();
                const QImage image = preview.getFilePreview(&photo, 640, 480);
                times.push_back(msSince(began));
            }
        }
        const double first = times.front();
        std::sort(times.begin() + 1, times.end());
        std::printf("viewer: a %dx%d photo at 640x480: first %.1f ms, median %.1f ms, longest %.1f ms (target "
                    "<= 100 ms)\n",
                    size.width(), size.height(), first, times[times.size() / 2], times.back());
    }
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
    int cells = 10000, photoCells = 1000, carvedCells = 2000;
    const char* shot = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cells") == 0 && i + 1 < argc) {
            cells = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--photos") == 0 && i + 1 < argc) {
            photoCells = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--carved") == 0 && i + 1 < argc) {
            carvedCells = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            shot = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--cells N] [--photos N] [--carved N] [--screenshot FILE]\n", argv[0]);
            return 2;
        }
    }
    if (cells < 1 || photoCells < 1 || carvedCells < 1) {
        std::fprintf(stderr, "--cells, --photos and --carved must be at least 1\n");
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

    Preview preview;
    viewer(preview);
    carvedFiles(preview, carvedCells);
    photos(preview, photoCells);
    return 0;
}
