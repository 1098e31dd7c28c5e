#include "QuilThumbnailView.h"

#include "MorvImageUtilities.h"
#include "NSImage-PropotionalScaling.h"

#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <exception>
#include <sys/resource.h>
#include <unistd.h>

// Trace lines of the grid; off unless QT_LOGGING_RULES turns on "gleaner.thumbnails.debug".
Q_LOGGING_CATEGORY(lcThumbnails, "gleaner.thumbnails", QtInfoMsg)

// ---- request queue ----

void QuilThumbnailQueue::request(int index)
{
    prefetch_.erase(index);
    if (auto it = where_.find(index); it != where_.end()) {
        order_.splice(order_.begin(), order_, it->second);
        return;
    }
    order_.push_front(index);
    where_[index] = order_.begin();
    dropOldest();
}

void QuilThumbnailQueue::append(int index)
{
    if (where_.count(index) != 0 || order_.size() >= capacity_)
        return;
    order_.push_back(index);
    where_[index] = std::prev(order_.end());
    prefetch_.insert(index);
}

bool QuilThumbnailQueue::takeFront(int& index, bool* prefetch)
{
    if (order_.empty())
        return false;
    index = order_.front();
    where_.erase(index);
    order_.pop_front();
    const bool wasPrefetch = prefetch_.erase(index) != 0;
    if (prefetch)
        *prefetch = wasPrefetch;
    return true;
}

void QuilThumbnailQueue::clear()
{
    order_.clear();
    where_.clear();
    prefetch_.clear();
}

void QuilThumbnailQueue::dropOldest()
{
    while (order_.size() > capacity_) {
        where_.erase(order_.back());
        prefetch_.erase(order_.back());
        order_.pop_back();
    }
}

// ---- picture cache ----

bool QuilThumbnailCache::find(int index, QImage& image)
{
    auto it = where_.find(index);
    if (it == where_.end())
        return false;
    order_.splice(order_.begin(), order_, it->second);
    image = it->second->image;
    return true;
}

void QuilThumbnailCache::insert(int index, const QImage& image)
{
    if (capacity_ == 0 || where_.count(index) != 0)
        return;
    order_.push_front(Entry{index, image});
    where_[index] = order_.begin();
    while (order_.size() > capacity_) {
        where_.erase(order_.back().index);
        order_.pop_back();
    }
}

void QuilThumbnailCache::clear()
{
    order_.clear();
    where_.clear();
}

// ---- the view ----

namespace {

constexpr qreal kBoxInset = 2.0;
// The scheduling priority of the grid's workers (a nice value; the main thread keeps 0).
constexpr int kWorkerNice = 5;
constexpr qreal kBoxRadius = 8.0;
const QColor kShadowBoxColor(0, 0, 0, 51);       // white 0.0, alpha 0.2
const QColor kBorderOutlineColor(128, 128, 128); // white 0.5
const QColor kBandFillColor(204, 204, 204, 128); // 0.8 grey, alpha 0.5
const QColor kShadowColor(0, 0, 0, 85);          // the default shadow: black, alpha 1/3
const QPoint kShadowOffset(2, 3);                // (2, -3) upwards in a y-up system

QPainterPath shadowBoxPathForRect(const QRectF& cell)
{
    QPainterPath path;
    path.addRoundedRect(cell.adjusted(kBoxInset, kBoxInset, -kBoxInset, -kBoxInset), kBoxRadius, kBoxRadius);
    return path;
}

// A soft drop shadow under a picture: two translucent layers stand in for a blur. Plain
// rectangles, since a screenful of antialiased shapes costs more than a frame.
void drawPictureShadow(QPainter& painter, const QRectF& target)
{
    const QRect base = target.toAlignedRect().translated(kShadowOffset);
    QColor outer = kShadowColor, inner = kShadowColor;
    outer.setAlpha(kShadowColor.alpha() / 3);
    inner.setAlpha(kShadowColor.alpha() * 2 / 3);
    painter.fillRect(base.adjusted(-1, -1, 1, 1), outer);
    painter.fillRect(base, inner);
}

// One line of text with its lower-left corner at the bottom of `box`, cut off at the box's edges.
void drawCellText(QPainter& painter, const QRectF& box, const QString& text, const QColor& color)
{
    if (text.isEmpty())
        return;
    painter.save();
    painter.setClipRect(box);
    painter.setPen(kShadowColor);
    const int flags = Qt::AlignLeft | Qt::AlignBottom | Qt::TextSingleLine;
    painter.drawText(box.translated(1, 1), flags, text);
    painter.setPen(color);
    painter.drawText(box, flags, text);
    painter.restore();
}

} // namespace

QuilThumbnailView::QuilThumbnailView(QWidget* parent) : QAbstractScrollArea(parent)
{
    setObjectName(QStringLiteral("thumbView"));
    setAccessibleName(QStringLiteral("Thumbnails"));
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(thumbHeight / 4);
    // The drawing covers every pixel it is asked for, which also lets a scroll move the pixels
    // already drawn instead of drawing the whole viewport again.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
}

QuilThumbnailView::~QuilThumbnailView()
{
    stopWorker();
}

void QuilThumbnailView::setDataSource(QuilThumbnailDataSource* dataSource)
{
    if (dataSource == dataSource_)
        return;
    stopWorker();
    std::lock_guard lock(mutex_);
    dataSource_ = dataSource;
}

void QuilThumbnailView::reloadData()
{
    qCDebug(lcThumbnails) << "thumbnailview  reloadData";
    const int count = dataSource_ != nullptr ? std::max(0, dataSource_->thumbCount()) : 0;
    {
        std::lock_guard lock(mutex_);
        // A picture in progress belongs to the old contents: the new generation makes the worker
        // throw it away instead of storing it.
        ++generation_;
        queue_.clear();
        cache_.clear();
        empty_.clear();
        // The pictures in progress will be dropped, so their indexes may be queued again at once.
        inFlight_.clear();
        prefetchInFlight_ = 0;
        active_ = false;
        thumbCount_ = count;
        for (int i = 0; i < std::min(count, prefetchCount); ++i)
            queue_.append(i);
    }
    selection_.clear();
    tracking_.clear();
    cols_ = rows_ = 0;
    layoutGrid(true);
}

int QuilThumbnailView::workerCount()
{
    // Most of the cores, leaving room for the main thread and the rest of the desktop: decoding a
    // photo is mostly the JPEG library's entropy decoding, which no reduced scale shortens.
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(int(cores) * 3 / 4, 1, 6);
}

void QuilThumbnailView::stopWorker()
{
    {
        std::lock_guard lock(mutex_);
        if (workers_.empty())
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
    std::lock_guard lock(mutex_);
    workers_.clear();
    stopping_ = false;
    inFlight_.clear();
    prefetchInFlight_ = 0;
}

void QuilThumbnailView::ensureWorker()
{
    if (!workers_.empty() || dataSource_ == nullptr)
        return;
    for (int i = 0; i < workerCount(); ++i)
        workers_.emplace_back([this] { workerLoop(); });
}

bool QuilThumbnailView::canTakeFront() const
{
    if (!active_ || queue_.empty())
        return false;
    // One worker always stays free for the cells being drawn.
    const int count = int(workers_.size());
    return !queue_.frontIsPrefetch() || count < 2 || prefetchInFlight_ < count - 1;
}

void QuilThumbnailView::workerLoop()
{
    // Below the main thread, so that scrolling and drawing win the cores while pictures are made.
    ::setpriority(PRIO_PROCESS, id_t(::gettid()), kWorkerNice);
    const QSize cellSize(thumbWidth, thumbHeight);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || canTakeFront(); });
        if (stopping_)
            return;
        int index = -1;
        bool prefetch = false;
        queue_.takeFront(index, &prefetch);
        if (queue_.empty())
            active_ = false;
        const uint64_t generation = generation_;
        QuilThumbnailDataSource* source = dataSource_;
        inFlight_.insert(index);
        prefetchInFlight_ += prefetch;
        // The picture is made without the queue lock, so the main thread can draw and request
        // meanwhile; the data source takes the engine lock itself.
        lock.unlock();
        QImage thumb;
        if (source != nullptr) {
            // An exception must not leave this thread (that would end the program): a picture
            // that could not be made, say for want of memory, is a cell without a picture.
            try {
                const QImage picture = source->thumbAtIndex(index, cellSize);
                thumb = imageByScalingProportionallyToSize(picture, QSizeF(cellSize));
                if (!thumb.isNull())
                    thumb = thumb.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            } catch (const std::exception& error) {
                qCWarning(lcThumbnails) << "thumbnail" << index << "failed:" << error.what();
                thumb = QImage();
            } catch (...) {
                qCWarning(lcThumbnails) << "thumbnail" << index << "failed";
                thumb = QImage();
            }
        }
        lock.lock();
        if (generation != generation_)
            continue;
        inFlight_.erase(index);
        prefetchInFlight_ -= prefetch;
        // A prefetch slot came free, or the queue's front waits for one.
        wake_.notify_all();
        if (thumb.isNull())
            empty_.insert(index);
        else
            cache_.insert(index, thumb);
        ++made_;
        // Redraw that one cell on the main thread; queued, so the worker never waits for it. The
        // event goes with the view if the view is destroyed first.
        QMetaObject::invokeMethod(
            this, [this, index, generation] { thumbnailReady(index, generation); }, Qt::QueuedConnection);
    }
}

void QuilThumbnailView::thumbnailReady(int index, uint64_t generation)
{
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_)
            return;
    }
    if (index >= 0 && index < thumbCount_)
        viewport()->update(rectForIndex(index).translated(0, -verticalScrollBar()->value()));
}

QImage QuilThumbnailView::requestThumbnail(int index)
{
    QImage image;
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= thumbCount_)
        return image;
    if (cache_.find(index, image) || empty_.count(index) != 0 || inFlight_.count(index) != 0)
        return image;
    queue_.request(index);
    active_ = true;
    ensureWorker();
    // Any idle worker may take it, including one held back from prefetching.
    wake_.notify_all();
    return image;
}

std::vector<int> QuilThumbnailView::queuedIndexes() const
{
    std::lock_guard lock(mutex_);
    return queue_.indexes();
}

bool QuilThumbnailView::hasThumbnail(int index) const
{
    std::lock_guard lock(mutex_);
    return cache_.contains(index) || empty_.count(index) != 0;
}

bool QuilThumbnailView::isWorkerRunning() const
{
    std::lock_guard lock(mutex_);
    return !workers_.empty();
}

uint64_t QuilThumbnailView::thumbnailsMade() const
{
    std::lock_guard lock(mutex_);
    return made_;
}

// ---- geometry ----

void QuilThumbnailView::layoutGrid(bool force)
{
    const int newCols = std::max(1, viewport()->width() / thumbWidth);
    if (force || newCols != cols_) {
        qCDebug(lcThumbnails) << "thumbnailview initFrameSize newcols=" << newCols;
        cols_ = newCols;
        rows_ = thumbCount_ / cols_ + (thumbCount_ % cols_ != 0 ? 1 : 0);
        updateScrollRange();
        verticalScrollBar()->setValue(0);
        viewport()->update();
    } else {
        updateScrollRange();
    }
}

void QuilThumbnailView::updateScrollRange()
{
    const int visible = viewport()->height();
    verticalScrollBar()->setPageStep(std::max(1, visible));
    verticalScrollBar()->setRange(0, std::max(0, contentHeight() - visible));
}

int QuilThumbnailView::contentHeight() const
{
    // A corrupt volume's folder may hold more cells than an int of pixels can reach: the grid
    // ends at the largest height a scroll bar takes.
    const int64_t height = int64_t(rows_) * thumbHeight;
    return std::max(int(std::min<int64_t>(height, INT_MAX)), viewport()->height());
}

QRect QuilThumbnailView::rectForIndex(int index) const
{
    const int cols = std::max(1, cols_);
    const int64_t top = int64_t(index / cols) * thumbHeight;
    return QRect((index % cols) * thumbWidth, int(std::min<int64_t>(top, INT_MAX - thumbHeight)), thumbWidth,
                 thumbHeight);
}

int QuilThumbnailView::indexForPoint(QPoint gridPoint) const
{
    // Points left of or above the grid are outside it, not in the first cell.
    if (gridPoint.x() < 0 || gridPoint.y() < 0)
        return -1;
    const int row = gridPoint.y() / thumbHeight;
    const int col = gridPoint.x() / thumbWidth;
    if (row >= rows_ || col >= cols_)
        return -1;
    const int64_t index = int64_t(cols_) * row + col;
    return index < thumbCount_ ? int(index) : -1;
}

QPoint QuilThumbnailView::toGrid(QPoint viewportPoint) const
{
    return viewportPoint + QPoint(0, verticalScrollBar()->value());
}

QRect QuilThumbnailView::selectionRectangle() const
{
    return QRect(mouseDownPoint_, mouseCurrentPoint_).normalized();
}

std::set<int> QuilThumbnailView::cellsInRect(const QRect& gridRect) const
{
    std::set<int> cells;
    if (cols_ <= 0 || thumbCount_ <= 0 || gridRect.width() <= 1 || gridRect.height() <= 1)
        return cells;
    const int firstCol = std::max(0, gridRect.left() / thumbWidth);
    const int lastCol = std::min(cols_ - 1, gridRect.right() / thumbWidth);
    const int firstRow = std::max(0, gridRect.top() / thumbHeight);
    const int lastRow = std::min(rows_ - 1, gridRect.bottom() / thumbHeight);
    for (int row = firstRow; row <= lastRow; ++row)
        for (int col = firstCol; col <= lastCol; ++col)
            if (const int64_t index = int64_t(row) * cols_ + col; index < thumbCount_)
                cells.insert(int(index));
    return cells;
}

void QuilThumbnailView::scrollToIndex(int index)
{
    if (index >= 0 && index < thumbCount_)
        verticalScrollBar()->setValue(rectForIndex(index).top());
}

// ---- selection ----

void QuilThumbnailView::selectIndexes(const std::set<int>& indexes, bool extendSelection)
{
    if (!extendSelection)
        selection_.clear();
    for (int index : indexes)
        if (index >= 0 && index < thumbCount_)
            selection_.insert(index);
    if (dataSource_ != nullptr)
        dataSource_->thumbViewSelectionDidChange();
    viewport()->update();
}

void QuilThumbnailView::selectAll()
{
    qCDebug(lcThumbnails) << "thumbnailview selectAll";
    if (thumbCount_ < 1)
        return;
    const size_t before = selection_.size();
    for (int i = 0; i < thumbCount_; ++i)
        selection_.insert(i);
    // The controller mirrors the grid's selection into the table that Save reads, so it has to
    // hear of this change like any other.
    if (selection_.size() != before && dataSource_ != nullptr)
        dataSource_->thumbViewSelectionDidChange();
    viewport()->update();
}

void QuilThumbnailView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    mouseDown_ = true;
    mouseDownPoint_ = mouseCurrentPoint_ = toGrid(event->position().toPoint());
    tracking_.clear();
    const int index = indexForPoint(mouseDownPoint_);
    bool changed = false;
    if (!(event->modifiers() & Qt::ControlModifier)) {
        changed = !selection_.empty();
        selection_.clear();
    }
    if (index >= 0) {
        if (!selection_.erase(index))
            selection_.insert(index);
        changed = true;
    }
    // A click on empty space that clears the selection is reported too, so the controller's
    // mirror of it (what Save writes) never keeps cells the person just deselected.
    if (changed && dataSource_ != nullptr)
        dataSource_->thumbViewSelectionDidChange();
    viewport()->update();
}

void QuilThumbnailView::mouseMoveEvent(QMouseEvent* event)
{
    if (!mouseDown_) {
        event->ignore();
        return;
    }
    mouseCurrentPoint_ = toGrid(event->position().toPoint());
    tracking_ = cellsInRect(selectionRectangle());
    viewport()->update();
}

void QuilThumbnailView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!mouseDown_ || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    // The rubber band only adds cells; the press already reported its own change.
    const size_t before = selection_.size();
    selection_.insert(tracking_.begin(), tracking_.end());
    tracking_.clear();
    mouseDown_ = false;
    if (selection_.size() != before && dataSource_ != nullptr)
        dataSource_->thumbViewSelectionDidChange();
    viewport()->update();
}

void QuilThumbnailView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    event->ignore();
}

// ---- drawing ----

void QuilThumbnailView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    layoutGrid(false);
}

void QuilThumbnailView::scrollContentsBy(int dx, int dy)
{
    // Moving what is drawn and painting only the uncovered strip keeps scrolling cheap; the rubber
    // band is drawn over the cells, so during a press everything is drawn again.
    if (mouseDown_)
        viewport()->update();
    else
        viewport()->scroll(dx, dy);
}

void QuilThumbnailView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    painter.fillRect(event->rect(), Qt::white);
    if (cols_ <= 0 || thumbCount_ <= 0)
        return;
    const int offset = verticalScrollBar()->value();
    const QRect dirty = event->rect().translated(0, offset);
    const int firstRow = std::max(0, dirty.top() / thumbHeight);
    const int lastRow = std::min(rows_ - 1, dirty.bottom() / thumbHeight);
    const int first = int(std::min<int64_t>(int64_t(firstRow) * cols_, INT_MAX));
    const int last = int(std::min<int64_t>(thumbCount_ - 1, (int64_t(lastRow) + 1) * cols_ - 1));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(0, -offset);
    // From the last visible cell back to the first: the first one is requested last and so goes
    // to the front of the queue.
    for (int index = last; index >= first; --index) {
        const QRect cell = rectForIndex(index);
        if (!cell.intersects(dirty))
            continue;
        const bool selected = selection_.count(index) != 0 || (mouseDown_ && tracking_.count(index) != 0);
        drawCell(painter, index, cell, selected);
    }
    if (mouseDown_) {
        const QRect band = selectionRectangle();
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(Qt::white);
        painter.setBrush(kBandFillColor);
        painter.drawRect(band);
    }
}

void QuilThumbnailView::drawCell(QPainter& painter, int index, const QRect& cell, bool selected)
{
    const QImage image = requestThumbnail(index);
    const QPainterPath box = shadowBoxPathForRect(cell);
    if (selected) {
        painter.fillPath(box, palette().color(QPalette::Highlight));
        painter.strokePath(box, QPen(kBorderOutlineColor, 1.0));
    } else {
        painter.fillPath(box, kShadowBoxColor);
    }
    if (!image.isNull()) {
        const QRectF area = QRectF(cell).adjusted(5.0, 15.0, -5.0, -15.0);
        const QRectF target = MorvFittedRect(QSizeF(image.size()), area).adjusted(5.0, 5.0, -5.0, -5.0);
        if (target.width() > 0 && target.height() > 0) {
            drawPictureShadow(painter, target);
            painter.drawImage(target, image);
        }
    }
    if (dataSource_ == nullptr)
        return;
    const QColor textColor = selected ? Qt::white : Qt::black;
    const QRectF footer = QRectF(cell).adjusted(10.0, 5.0, -10.0, -5.0);
    drawCellText(painter, footer, dataSource_->thumbFooterAtIndex(index), textColor);
    const QRectF header(cell.left() + 10.0, cell.top(), cell.width() - 20.0, 18.0);
    drawCellText(painter, header, dataSource_->thumbHeaderAtIndex(index), textColor);
}
