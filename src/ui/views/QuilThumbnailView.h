// The thumbnail grid: one folder's items as fixed-size cells (rounded box, shrunk picture, header
// and footer text) with click, Ctrl-click and rubber-band selection. It owns a few worker threads
// that make the pictures off the main thread, newest request first, into a bounded cache; a picture
// the data source cannot make leaves the cell empty, and nothing here is reported to the user.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QSize>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QPainter;

// What the grid shows, supplied by its owner (the application controller). All calls but
// thumbAtIndex come on the main thread. thumbAtIndex comes on the grid's worker threads, several at
// once, with no lock of the grid's held: it must take the engine lock itself, answer a null image
// for an index it no longer has, and never call back into the grid.
class QuilThumbnailDataSource {
public:
    virtual ~QuilThumbnailDataSource() = default;
    virtual int thumbCount() = 0;
    // The picture of cell `index`, at most about `cellSize` large (the grid shrinks it further).
    virtual QImage thumbAtIndex(int index, QSize cellSize) = 0;
    virtual QString thumbHeaderAtIndex(int index) = 0;
    virtual QString thumbFooterAtIndex(int index) = 0;
    virtual void thumbViewSelectionDidChange() = 0;
};

// The requests for pictures: each index at most once, the newest request in front. The prefetch
// indexes of a reload go at the back. Beyond `capacity` entries the oldest are dropped: pictures
// requested that long ago would only push newer ones out of the cache. Not thread-safe by itself.
class QuilThumbnailQueue {
public:
    explicit QuilThumbnailQueue(size_t capacity) : capacity_(capacity) {}
    void request(int index);
    void append(int index);
    // The front entry; *prefetch tells whether it was only queued by a reload, never drawn.
    bool takeFront(int& index, bool* prefetch = nullptr);
    bool frontIsPrefetch() const { return !order_.empty() && prefetch_.count(order_.front()) != 0; }
    bool empty() const { return order_.empty(); }
    size_t size() const { return order_.size(); }
    void clear();
    std::vector<int> indexes() const { return {order_.begin(), order_.end()}; }

private:
    void dropOldest();

    size_t capacity_;
    std::list<int> order_;
    std::unordered_map<int, std::list<int>::iterator> where_;
    std::unordered_set<int> prefetch_;
};

// Finished pictures by cell index, least recently used dropped first once `capacity` is reached.
// An evicted cell is simply asked for again when it is drawn. Not thread-safe by itself.
class QuilThumbnailCache {
public:
    explicit QuilThumbnailCache(size_t capacity) : capacity_(capacity) {}
    // The picture, marked as just used; false when it is not held.
    bool find(int index, QImage& image);
    bool contains(int index) const { return where_.count(index) != 0; }
    void insert(int index, const QImage& image);
    void clear();
    size_t size() const { return order_.size(); }

private:
    struct Entry {
        int index;
        QImage image;
    };
    size_t capacity_;
    std::list<Entry> order_; // most recently used first
    std::unordered_map<int, std::list<Entry>::iterator> where_;
};

class QuilThumbnailView : public QAbstractScrollArea {
    Q_OBJECT

public:
    static constexpr int thumbWidth = 160;
    static constexpr int thumbHeight = 160;
    static constexpr int prefetchCount = 1000;
    static constexpr size_t cacheCapacity = 2000;

    explicit QuilThumbnailView(QWidget* parent = nullptr);
    ~QuilThumbnailView() override;

    // Not owned. Replacing it stops the worker first, so no call to the old one is under way.
    void setDataSource(QuilThumbnailDataSource* dataSource);
    QuilThumbnailDataSource* dataSource() const { return dataSource_; }

    // Asks the data source for the cell count again, drops every request, picture and the
    // selection (without a notice), queues the first cells for prefetching and scrolls to the top.
    // A picture being made meanwhile is thrown away when it is done.
    void reloadData();
    // The worker threads that make pictures at once: a few, so that decoding uses several cores. At
    // most all but one of them work on prefetched cells, so a newly drawn cell never waits behind
    // off-screen ones.
    static int workerCount();

    // Stops the workers and waits for them: afterwards no call to thumbAtIndex is under way. The
    // controller calls it before engine operations that free items; the next request restarts it.
    // Call it (and destroy the view) without holding the engine lock: the worker may be waiting
    // for that lock inside thumbAtIndex.
    void stopWorker();

    int thumbCount() const { return thumbCount_; }
    int columns() const { return cols_; }
    int rows() const { return rows_; }
    // Cells in grid coordinates: the grid's top-left corner is (0, 0), y grows downwards.
    QRect rectForIndex(int index) const;
    int indexForPoint(QPoint gridPoint) const;

    const std::set<int>& selectedIndexes() const { return selection_; }
    void selectIndexes(const std::set<int>& indexes, bool extendSelection);
    void scrollToIndex(int index);

    // The cached picture or a null image; a miss queues the index in front.
    QImage requestThumbnail(int index);

    // Inspection of the worker's state, for diagnostics and tests.
    std::vector<int> queuedIndexes() const;
    bool hasThumbnail(int index) const;
    bool isWorkerRunning() const;
    // Pictures stored since construction (all generations), for throughput figures.
    uint64_t thumbnailsMade() const;

public slots:
    void selectAll();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void layoutGrid(bool force);
    void updateScrollRange();
    int contentHeight() const;
    QPoint toGrid(QPoint viewportPoint) const;
    QRect selectionRectangle() const;
    std::set<int> cellsInRect(const QRect& gridRect) const;
    void drawCell(QPainter& painter, int index, const QRect& cell, bool selected);
    void thumbnailReady(int index, uint64_t generation);
    void ensureWorker(); // with mutex_ held
    bool canTakeFront() const; // with mutex_ held
    void workerLoop();

    QuilThumbnailDataSource* dataSource_ = nullptr;
    int thumbCount_ = 0;
    int cols_ = 0;
    int rows_ = 0;

    std::set<int> selection_;
    std::set<int> tracking_; // cells the rubber band covers during a press
    bool mouseDown_ = false;
    QPoint mouseDownPoint_, mouseCurrentPoint_; // grid coordinates

    // Shared with the worker, guarded by mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    QuilThumbnailQueue queue_{cacheCapacity};
    QuilThumbnailCache cache_{cacheCapacity};
    std::unordered_set<int> empty_; // asked and got nothing; not asked again until a reload
    uint64_t generation_ = 0;
    std::unordered_set<int> inFlight_; // the indexes the workers are making
    int prefetchInFlight_ = 0;         // how many of them are prefetched cells
    bool active_ = false; // a request has come since the queue last ran dry
    bool stopping_ = false;
    uint64_t made_ = 0;
    std::vector<std::thread> workers_;
};
