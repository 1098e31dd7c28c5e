// The read-ahead window of a scan whose blocks are classified on worker threads. The walking thread
// adds steps in block order (a used block, or a read block whose bytes are copied in); whole batches
// of steps go to the workers, each classifying with its own CBlockClassifier, and come back to the
// walking thread in the same order, each step with its block's classification. All memory (a cache
// line of blocks per worker, 2 MiB with eight) is taken when the window is made, so a scan of any
// size holds the same. A window that could not get its memory or start a single thread says so
// through ready(); it never throws.
#pragma once

#include "recovery.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CScanWindow {
public:
    // Called on the walking thread for every step, in the order the steps were added. data is null
    // for a used block; classification may say that no worker classified the block (done false).
    using Visit = std::function<void(int64_t allocBlock, const uint8_t* data, uint32_t size,
                                     const BlockClassification* classification)>;

    // blockBytes: the largest read a step adds. One thread is started per classifier.
    CScanWindow(uint32_t blockBytes, std::vector<std::unique_ptr<CBlockClassifier>> classifiers, Visit visit);
    ~CScanWindow();
    CScanWindow(const CScanWindow&) = delete;
    CScanWindow& operator=(const CScanWindow&) = delete;

    // The memory was taken and at least one worker runs.
    bool ready() const { return workerCount > 0; }
    int workers() const { return workerCount; }

    void addUsed(int64_t allocBlock);
    // Copies size bytes (at most blockBytes) of the read step.
    void addRead(int64_t allocBlock, const uint8_t* data, uint32_t size);
    // Hands over the batch being filled and visits every step still in the window.
    void finish();

private:
    struct Step {
        int64_t allocBlock;
        int32_t slot; // -1: a used block, nothing read
    };
    struct Batch {
        std::vector<Step> steps;
        std::vector<uint8_t> bytes; // slotsPerBatch slots of blockBytes
        std::vector<uint32_t> sizes;
        std::vector<BlockClassification> classes;
        int32_t slots = 0; // slots filled
        bool done = false; // classified; guarded by mutex
    };

    Batch& filling() { return batches[size_t(handedOver % batches.size())]; }
    // Makes room for a step in the batch being filled.
    void prepareStep();
    void handOver();
    void takeBackOldest();
    void workerLoop(CBlockClassifier* classifier);

    uint32_t blockBytes = 0;
    int32_t slotsPerBatch = 1;
    size_t stepsPerBatch = 1;
    std::vector<Batch> batches;
    std::vector<std::unique_ptr<CBlockClassifier>> classifiers;
    std::vector<std::thread> threads;
    int workerCount = 0;
    Visit visit;

    std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable batchDone;
    uint64_t handedOver = 0; // batches handed to the workers (the next one is being filled)
    uint64_t claimed = 0;    // batches a worker has taken; guarded by mutex
    uint64_t takenBack = 0;  // batches visited and emptied again
    bool stopping = false;   // guarded by mutex
};
