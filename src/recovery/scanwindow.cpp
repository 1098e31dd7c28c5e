#include "scanwindow.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

namespace {
// Blocks a worker takes at a time: one line of the scan's cache. Handing a batch over and back
// costs the walking thread several microseconds, so batches are large; smaller ones halved the
// scan's speed.
constexpr uint32_t kBatchBytes = 262144;
// One batch in the window per worker (at least four): with eight workers the window is 2 MiB, half
// the scan's cache, so the blocks the analyser is still to see (and the files whose keywords it
// searches) are normally still cached when it gets to them.
constexpr size_t kMinBatches = 4;
constexpr uint64_t kMaxWindowBytes = 16777216;
// A batch also ends after this many steps per slot, so long runs of used blocks keep moving.
constexpr size_t kStepsPerSlot = 4;
} // namespace

CScanWindow::CScanWindow(uint32_t bytes, std::vector<std::unique_ptr<CBlockClassifier>> list, Visit visitor)
    : blockBytes(std::max<uint32_t>(1, bytes)), classifiers(std::move(list)), visit(std::move(visitor))
{
    slotsPerBatch = int32_t(std::max<uint32_t>(1, kBatchBytes / blockBytes));
    stepsPerBatch = size_t(slotsPerBatch) * kStepsPerSlot;
    const uint64_t batchBytes = uint64_t(slotsPerBatch) * blockBytes;
    const uint64_t most = std::max<uint64_t>(2, kMaxWindowBytes / batchBytes);
    const size_t batchCount = size_t(std::min<uint64_t>(most, std::max<uint64_t>(kMinBatches, classifiers.size())));
    if (classifiers.empty())
        return;
    try {
        batches.resize(batchCount);
        for (Batch& batch : batches) {
            batch.steps.reserve(stepsPerBatch);
            batch.bytes.resize(size_t(slotsPerBatch) * blockBytes);
            batch.sizes.resize(size_t(slotsPerBatch));
            batch.classes.resize(size_t(slotsPerBatch));
        }
    } catch (const std::bad_alloc&) {
        std::printf("scan - error: out of memory for the read-ahead window, walking on one thread\n");
        batches.clear();
        return;
    }
    for (const auto& classifier : classifiers) {
        try {
            threads.emplace_back([this, c = classifier.get()] { workerLoop(c); });
        } catch (const std::system_error&) {
            break; // the threads that did start do the work
        }
    }
    workerCount = int(threads.size());
}

CScanWindow::~CScanWindow()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    workAvailable.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void CScanWindow::workerLoop(CBlockClassifier* classifier)
{
    pthread_setname_np(pthread_self(), "scan classify"); // tells the workers apart in a profile
    for (;;) {
        Batch* batch = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            workAvailable.wait(lock, [&] { return stopping || claimed < handedOver; });
            if (stopping)
                return;
            batch = &batches[size_t(claimed++ % batches.size())];
        }
        for (int32_t slot = 0; slot < batch->slots; ++slot) {
            BlockClassification& out = batch->classes[size_t(slot)];
            try {
                classifier->classify(batch->bytes.data() + size_t(slot) * blockBytes, batch->sizes[size_t(slot)], out);
            } catch (const std::exception&) {
                out.done = false; // the walking thread classifies it
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            batch->done = true;
        }
        batchDone.notify_all();
    }
}

void CScanWindow::prepareStep()
{
    Batch& batch = filling();
    if (batch.steps.size() < stepsPerBatch && batch.slots < slotsPerBatch)
        return;
    handOver();
}

void CScanWindow::handOver()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++handedOver;
    }
    workAvailable.notify_one();
    // The next batch to fill must have been visited: the window is full until the oldest is back.
    if (handedOver - takenBack >= batches.size())
        takeBackOldest();
}

void CScanWindow::takeBackOldest()
{
    Batch& batch = batches[size_t(takenBack % batches.size())];
    {
        std::unique_lock<std::mutex> lock(mutex);
        batchDone.wait(lock, [&] { return batch.done; });
        batch.done = false;
    }
    for (const Step& step : batch.steps) {
        if (step.slot < 0) {
            visit(step.allocBlock, nullptr, 0, nullptr);
        } else {
            const size_t slot = size_t(step.slot);
            visit(step.allocBlock, batch.bytes.data() + slot * blockBytes, batch.sizes[slot], &batch.classes[slot]);
        }
    }
    batch.steps.clear();
    batch.slots = 0;
    ++takenBack;
}

void CScanWindow::addUsed(int64_t allocBlock)
{
    prepareStep();
    filling().steps.push_back({allocBlock, -1});
}

void CScanWindow::addRead(int64_t allocBlock, const uint8_t* data, uint32_t size)
{
    prepareStep();
    Batch& batch = filling();
    const int32_t slot = batch.slots++;
    size = std::min(size, blockBytes);
    if (size > 0)
        std::memcpy(batch.bytes.data() + size_t(slot) * blockBytes, data, size);
    batch.sizes[size_t(slot)] = size;
    batch.classes[size_t(slot)].done = false;
    batch.steps.push_back({allocBlock, slot});
}

void CScanWindow::finish()
{
    if (!filling().steps.empty())
        handOver();
    while (takenBack < handedOver)
        takeBackOldest();
}
