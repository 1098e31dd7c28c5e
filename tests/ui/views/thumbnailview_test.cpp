// The thumbnail grid: request queue, cache, the worker's lifetime and generations, geometry, selection.
#include "QuilThumbnailView.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
namespace {
// Plain colour fields, counting what is asked; can hold the worker inside a picture, or slow it.
class FakeSource : public QuilThumbnailDataSource {
public:
    int count = 0;
    std::atomic<int> pictureCalls{0};
    std::atomic<bool> inside{false};
    int notices = 0;
    std::chrono::milliseconds delay{0};
    int holdFrom = 0; // hold() holds only the cells from this index on
    std::function<bool(int)> hasPicture = [](int) { return true; };
    int thumbCount() override { return count; }
    QImage thumbAtIndex(int index, QSize) override
    {
        inside = true;
        ++pictureCalls;
        {
            std::unique_lock lock(mutex_);
            entered_.push_back(index);
            changed_.notify_all();
            changed_.wait(lock, [&] { return !holding_ || index < holdFrom; });
        }
        std::this_thread::sleep_for(delay);
        QImage image;
        if (hasPicture(index)) {
            image = QImage(640, 480, QImage::Format_RGB32);
            image.fill(QColor::fromHsv((index * 37) % 360, 160, 220));
        }
        inside = false;
        return image;
    }
    QString thumbHeaderAtIndex(int) override { return {}; }
    QString thumbFooterAtIndex(int index) override { return QStringLiteral("item %1").arg(index); }
    void thumbViewSelectionDidChange() override { ++notices; }
    void hold(bool holding)
    {
        std::lock_guard lock(mutex_);
        holding_ = holding;
        changed_.notify_all();
    }
    int enteredFrom(int first)
    {
        std::lock_guard lock(mutex_);
        return int(std::count_if(entered_.begin(), entered_.end(), [&](int index) { return index >= first; }));
    }
    // How often the worker has entered thumbAtIndex for `index`, once it has.
    int waitEntered(int index)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5),
                          [&] { return std::find(entered_.begin(), entered_.end(), index) != entered_.end(); });
        return int(std::count(entered_.begin(), entered_.end(), index));
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> entered_;
    bool holding_ = false;
};
// A grid whose viewport is exactly `width` by 480: no frame, no scroll bar taking room.
std::unique_ptr<QuilThumbnailView> makeView(FakeSource& source, int width)
{
    auto view = std::make_unique<QuilThumbnailView>();
    view->setFrameShape(QFrame::NoFrame);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->resize(width, 480);
    view->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->setDataSource(&source);
    view->reloadData();
    return view;
}
TEST(ThumbnailQueue, NewestRequestFirstEachIndexOnceOldestDroppedAtCapacity)
{
    QuilThumbnailQueue queue(3);
    queue.append(5);
    for (int i : {1, 2, 3, 2, 2})
        queue.request(i);
    queue.append(3);
    queue.append(9); // full
    EXPECT_EQ(queue.indexes(), (std::vector<int>{2, 3, 1}));
    int index = -1;
    ASSERT_TRUE(queue.takeFront(index));
    EXPECT_EQ(index, 2);
    queue.append(7);
    EXPECT_EQ(queue.indexes(), (std::vector<int>{3, 1, 7}));
    EXPECT_EQ(queue.size(), 3u);
}
TEST(ThumbnailCache, EvictsTheLeastRecentlyUsedAtItsCap)
{
    QuilThumbnailCache cache(3);
    QImage picture(4, 4, QImage::Format_RGB32);
    for (int i : {0, 1, 2})
        cache.insert(i, picture);
    QImage found;
    EXPECT_TRUE(cache.find(0, found));
    cache.insert(3, picture);
    EXPECT_EQ(cache.size(), 3u);
    for (int i : {0, 1, 2, 3})
        EXPECT_EQ(cache.contains(i), i != 1) << i;
}
TEST(ThumbnailView, ReloadQueuesTheFirstThousandAndMakesThePictureInProgressAnew)
{
    FakeSource source;
    source.count = 2500; // cell 1500 is neither visible nor prefetched: only requests make it
    auto view = makeView(source, 500);
    std::vector<int> firstThousand(1000);
    std::iota(firstThousand.begin(), firstThousand.end(), 0);
    EXPECT_EQ(view->queuedIndexes(), firstThousand);
    EXPECT_FALSE(view->isWorkerRunning());
    source.hold(true);
    view->requestThumbnail(1500);
    ASSERT_EQ(source.waitEntered(1500), 1);
    EXPECT_TRUE(view->requestThumbnail(1500).isNull()); // in flight: not queued again
    view->reloadData();
    view->requestThumbnail(1500);
    source.hold(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->hasThumbnail(1500) && view->hasThumbnail(3); }));
    EXPECT_EQ(source.waitEntered(1500), 2);
    EXPECT_EQ(view->viewport()->grab(view->rectForIndex(3)).size(), QSize(160, 160)); // one cell, not its row
    EXPECT_EQ(view->requestThumbnail(1500).size(), QSize(160, 120));
}
TEST(ThumbnailView, PrefetchingLeavesOneWorkerForTheCellsBeingDrawn)
{
    if (QuilThumbnailView::workerCount() < 2)
        GTEST_SKIP() << "one worker on this machine";
    FakeSource source;
    source.count = 2500;
    source.holdFrom = 20; // the screen's cells and the first prefetched ones come at once
    source.hold(true);
    auto view = makeView(source, 500);
    view->requestThumbnail(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return source.enteredFrom(20) == QuilThumbnailView::workerCount() - 1; }));
    QTest::qWait(50);
    EXPECT_EQ(source.enteredFrom(20), QuilThumbnailView::workerCount() - 1) << "prefetching took every worker";
    view->requestThumbnail(1500);
    EXPECT_EQ(source.waitEntered(1500), 1) << "the newly drawn cell waited";
    source.hold(false);
    view->stopWorker();
}
TEST(ThumbnailView, CellWithoutPictureIsNotAskedAgainUntilReload)
{
    FakeSource source;
    source.count = 4;
    source.hasPicture = [](int index) {
        if (index == 1)
            throw std::runtime_error("out of memory");
        if (index == 3)
            throw 3; // not a std::exception either
        return index != 2;
    };
    auto view = makeView(source, 500);
    view->requestThumbnail(2);
    view->requestThumbnail(1);
    // The paint and the reload's prefetch ask for all four cells: wait until none is queued or in progress.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (int i = 0; i < source.count; ++i)
            if (!view->hasThumbnail(i))
                return false;
        return true;
    }));
    QCoreApplication::processEvents(); // the finished cells' queued redraws, of the current generation
    EXPECT_TRUE(view->requestThumbnail(1).isNull());
    EXPECT_TRUE(view->requestThumbnail(3).isNull());
    const int calls = source.pictureCalls;
    EXPECT_TRUE(view->requestThumbnail(2).isNull());
    view->stopWorker();
    EXPECT_EQ(source.pictureCalls, calls);
    EXPECT_EQ(view->queuedIndexes(), std::vector<int>{});
    view->reloadData();
    EXPECT_FALSE(view->hasThumbnail(2));
}
TEST(ThumbnailView, StopWorkerAndDestructionJoinTheWorker)
{
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "stopped");
        FakeSource source;
        source.count = 50;
        source.delay = std::chrono::milliseconds(20);
        auto view = makeView(source, 500);
        view->requestThumbnail(5);
        ASSERT_EQ(source.waitEntered(5), 1);
        if (destroy) {
            view.reset();
        } else {
            view->stopWorker();
            EXPECT_FALSE(view->isWorkerRunning());
        }
        EXPECT_FALSE(source.inside);
        const int calls = source.pictureCalls;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        if (destroy)
            QCoreApplication::processEvents(); // a queued redraw of the gone view must not run
        EXPECT_EQ(source.pictureCalls, calls);
        if (!destroy) {
            view->requestThumbnail(40); // the next request restarts it
            EXPECT_TRUE(view->isWorkerRunning());
            EXPECT_EQ(source.waitEntered(40), 1);
        }
    }
}
TEST(ThumbnailView, ColumnsFollowTheWidth)
{
    struct Case {
        int width, count, cols, rows;
    };
    // A pixel short of a column, full rows, and counts too large for an int of pixels (clamped, not negative).
    const Case cases[] = {{100, 7, 1, 7},
                          {320, 5, 2, 3},
                          {319, 5, 1, 5},
                          {480, 6, 3, 2},
                          {1000, 0, 6, 0},
                          {160, INT_MAX, 1, INT_MAX},
                          {320, INT_MAX, 2, INT_MAX / 2 + 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << ", " << c.count << " cells");
        FakeSource source;
        source.count = c.count;
        auto view = makeView(source, c.width);
        EXPECT_EQ(view->columns(), c.cols);
        EXPECT_EQ(view->rows(), c.rows);
        EXPECT_GE(view->verticalScrollBar()->maximum(), 0);
        EXPECT_GE(view->rectForIndex(std::max(c.count - 1, 0)).top(), view->rectForIndex(0).top());
    }
}
TEST(ThumbnailView, HitTestClicksRubberBandAndSelectAllFindCellsAndReportEachChange)
{
    FakeSource source;
    source.count = 7; // 3 columns: rows 0..1 full, row 2 holds only cell 6
    auto view = makeView(source, 500);
    EXPECT_EQ(view->rectForIndex(4), QRect(160, 160, 160, 160));
    const std::pair<QPoint, int> hits[] = {
        {{10, 10}, 0},    {{170, 10}, 1},  {{319, 159}, 1}, {{10, 170}, 3}, {{10, 330}, 6},
        {{170, 330}, -1}, {{490, 10}, -1}, {{-1, 5}, -1},   {{5, -1}, -1},  {{10, 481}, -1},
    };
    for (const auto& [point, index] : hits) {
        SCOPED_TRACE(testing::Message() << "point " << point.x() << "," << point.y());
        EXPECT_EQ(view->indexForPoint(point), index);
    }
    QWidget* viewport = view->viewport();
    struct Step {
        QPoint at;
        Qt::KeyboardModifiers modifiers;
        std::set<int> selection;
        int notices;
    };
    const Step steps[] = {
        {{170, 10}, Qt::NoModifier, {1}, 1},
        {{10, 170}, Qt::ControlModifier, {1, 3}, 2},
        {{170, 10}, Qt::ControlModifier, {3}, 3},
        {{480, 10}, Qt::ControlModifier, {3}, 3}, // Ctrl on empty space changes nothing
        {{480, 10}, Qt::NoModifier, {}, 4},       // empty space clears, and says so
        {{480, 10}, Qt::NoModifier, {}, 4},       // nothing left to clear
        {{10, 330}, Qt::NoModifier, {6}, 5},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "click at " << step.at.x() << "," << step.at.y());
        QTest::mouseClick(viewport, Qt::LeftButton, step.modifiers, step.at);
        EXPECT_EQ(view->selectedIndexes(), step.selection);
        EXPECT_EQ(source.notices, step.notices);
    }
    QTest::mousePress(viewport, Qt::LeftButton, Qt::ControlModifier, QPoint(485, 5));
    for (QPoint at : {QPoint(300, 100), QPoint(170, 170)}) {
        QMouseEvent move(QEvent::MouseMove, QPointF(at), viewport->mapToGlobal(QPointF(at)), Qt::NoButton,
                         Qt::LeftButton, Qt::ControlModifier);
        QCoreApplication::sendEvent(viewport, &move);
    }
    EXPECT_EQ(view->selectedIndexes(), std::set<int>{6});
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::ControlModifier, QPoint(170, 170));
    EXPECT_EQ(view->selectedIndexes(), (std::set<int>{1, 2, 4, 5, 6}));
    EXPECT_EQ(source.notices, 6);
    view->selectAll();
    EXPECT_EQ(view->selectedIndexes(), (std::set<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(source.notices, 7);
    view->selectAll();
    EXPECT_EQ(source.notices, 7);
    view->resize(320, 480); // lays the grid out again
    EXPECT_EQ(view->columns(), 2);
}
} // namespace
