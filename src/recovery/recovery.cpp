#include "recovery.h"

#include "hfsanalyser.h"
#include "logger.h"
#include "machelpers.h"
#include "progresspace.h"
#include "rawanalyser.h"
#include "scanwindow.h"
#include "threads.h"
#include "utils.h"

#include <malloc.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <utility>

namespace {
// Blocks larger than this are walked on one thread, which keeps the read-ahead window within 16 MiB.
constexpr int kMaxWindowBlock = 1048576;
constexpr int kMaxWorkers = 256;
// Bytes read at every disk block of a lost-files scan: the largest catalog node.
constexpr int kLostFilesWindow = 32768;
// The scan's block cache: 4 MiB in lines of 256 KiB.
constexpr int kCacheSize = 4194304;
constexpr int kReadAheadSize = 262144;
// Blocks skipped as used between two looks at the clock: skipping one costs far less than reading it.
constexpr int64_t kUsedBlocksPerPaceCheck = 256;

// Frees the found volumes of a list and empties it.
void deleteFoundVolumes(std::vector<CVolume*>& volumes)
{
    std::printf("clearVolumeList\n");
    for (CVolume* found : volumes) {
        if (!found)
            continue;
        // The root item lives on in the result tree (or went with it); the volume must not free it.
        found->root = nullptr;
        delete found;
    }
    volumes.clear();
}
} // namespace

struct CRecovery::Walk {
    int readSize;
    int64_t stepSize;
    Speedometer& speedometer;
    CProgressPace pace;
    int64_t usedBlocks; // steps skipped as in use, counted as the walk meets them
};

CAbstractAnalyser* CRecovery::createAnalyser()
{
    if (scanType == ScanDeletedFiles)
        return new (std::nothrow) CRawAnalyser();
    return new (std::nothrow) CHFSAnalyser();
}

CRecovery::CRecovery()
{
    readBuffer = new CData();
}

CRecovery::~CRecovery()
{
    std::printf("CRecovery::~CRecovery\n");
    setDisk(nullptr);
    freeReleasedResults(-1);
    delete readBuffer;
    readBuffer = nullptr;
}

void CRecovery::setStatusListener(CStatusListener* receiver)
{
    listener = receiver;
}

void CRecovery::setMagicFilePath(const std::string& folder)
{
    std::printf("CRecovery::setMagicFilePath %s\n", folder.c_str());
    magicFilePath = folder;
}

void CRecovery::setEnableSearchText(bool value)
{
    std::printf("CRecovery::setEnableSearchText = %d\n", int(value));
    enableSearchText = value;
}

void CRecovery::setEnableSearchKeywords(bool value)
{
    std::printf("CRecovery::setEnableSearchKeywords = %d\n", int(value));
    enableSearchKeywords = value;
}

void CRecovery::setKeywords(const std::vector<std::string>& list)
{
    keywords = list;
}

void CRecovery::setScanType(int type)
{
    std::printf("CRecovery::setScanType  ");
    switch (type) {
    case ScanDeletedFiles: std::printf("Deleted Files\n"); break;
    case ScanLostFiles: std::printf("Lost Files\n"); break;
    case ScanLostVolumes: std::printf("Lost Volumes\n"); break;
    default: break;
    }
    std::fflush(stdout);
    scanType = type;
}

void CRecovery::releaseResultsLater()
{
    freeReleasedResults(-1); // an earlier release goes first, whole
    released.searchOwned.swap(searchOwned);
    if (searchFolder) {
        searchFolder->children.clear();
        searchFolder->childrenChanged();
    }
    searchFolder = nullptr;
    if (volume && volume->root) {
        released.items.swap(volume->root->children);
        volume->root->childrenChanged();
    }
    released.volume = std::exchange(volume, nullptr);
    resultRoot = nullptr;
    released.volumeList.swap(volumeList);
    if (readBuffer && !readBuffer->isOwned())
        readBuffer->clear();
}

bool CRecovery::freeReleasedResults(double seconds)
{
    const bool hadResults = released.volume || !released.volumeList.empty() || !released.searchOwned.empty();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(0.0, seconds));
    // Checking the clock for every item would cost as much as freeing it.
    constexpr int kItemsPerClockCheck = 256;
    int sinceCheck = 0;
    auto timeIsUp = [&] {
        if (seconds < 0 || ++sinceCheck < kItemsPerClockCheck)
            return false;
        sinceCheck = 0;
        return std::chrono::steady_clock::now() >= deadline;
    };
    while (!released.searchOwned.empty()) {
        delete released.searchOwned.back();
        released.searchOwned.pop_back();
        if (timeIsUp())
            return false;
    }
    // As deleteChildren takes a tree apart, but a piece at a time.
    while (!released.items.empty()) {
        CVolumeItem* item = released.items.back();
        released.items.pop_back();
        try {
            released.items.insert(released.items.end(), item->children.begin(), item->children.end());
            item->children.clear();
        } catch (const std::bad_alloc&) {
            // Without room for the list the item frees its own subtree.
        }
        delete item;
        ++released.freed;
        if (timeIsUp())
            return false;
    }
    if (!hadResults)
        return true;
    // The items freed above were the root's: it counts them with itself.
    if (released.volume) {
        if (released.volume->root)
            released.volume->freedAheadOfRoot = released.freed;
        delete released.volume;
        released.volume = nullptr;
    }
    released.freed = 0;
    deleteFoundVolumes(released.volumeList);
    malloc_trim(0);
    return true;
}

void CRecovery::releaseResults()
{
    // The search folder's entries belong to the tree (or to the search): its list goes first, so
    // deleting the tree frees every item exactly once.
    forgetSearchEntries();
    searchFolder = nullptr;
    const bool hadResults = volume || !volumeList.empty();
    if (volume) {
        delete volume;
        volume = nullptr;
    }
    resultRoot = nullptr;
    clearVolumeList();
    // A large tree is hundreds of thousands of small blocks that the allocator would otherwise keep
    // for the process: give them back to the system.
    if (hadResults)
        malloc_trim(0);
    // The read buffer may borrow a line of the cache that is about to go.
    if (readBuffer && !readBuffer->isOwned())
        readBuffer->clear();
}

bool CRecovery::setDisk(CDisk* disk)
{
    std::printf("CRecovery::setDisk %p\n", static_cast<void*>(disk));
    if (disk)
        disk->dump();
    releaseResults();
    if (readBuffer)
        readBuffer->clear();
    if (cachedDisk) {
        delete cachedDisk;
        cachedDisk = nullptr;
    }
    if (!disk)
        return true;
    cachedDisk = new (std::nothrow) CCachedDisk(disk, kCacheSize, kReadAheadSize);
    if (!cachedDisk || !cachedDisk->open(false)) {
        std::printf("error opening disk!\n");
        // A cache over a device that did not open would read zeros and make a scan look clean.
        delete cachedDisk;
        cachedDisk = nullptr;
        return false;
    }
    beginOperation();
    return true;
}

void CRecovery::beginOperation()
{
    if (cachedDisk)
        cachedDisk->restartOperationCount();
}

int64_t CRecovery::operationReadErrors()
{
    return cachedDisk ? cachedDisk->getOperationUnreadableBlocks() : 0;
}

void CRecovery::clearVolumeList()
{
    deleteFoundVolumes(volumeList);
}

CHFSVolume* CRecovery::addVolume(CHFSVolume* found)
{
    if (!resultRoot)
        return nullptr;
    const std::string rootName = formatString("Volume %d", int(volumeList.size()) + 1);
    if (!found) {
        found = new (std::nothrow) CHFSVolume(cachedDisk);
        if (!found)
            return nullptr;
    }
    try {
        volumeList.push_back(found);
    } catch (const std::bad_alloc&) {
        std::printf("CRecovery::addVolume - error: out of memory\n");
        return nullptr;
    }
    found->createRoot(rootName);
    if (found->getRoot()) {
        resultRoot->addChild(found->getRoot());
        found->getRoot()->setParent(resultRoot);
    }
    std::printf("CRecovery::addVolume (%d): %s\n", int(volumeList.size()),
                escapeControlCharacters(found->getName()).c_str());
    return found;
}

void CRecovery::setListingPulse(bool on)
{
    std::function<void()> pulse;
    if (on && listener) {
        // A cancel is not taken here, where a listing cannot stop: the interface sets it again at
        // the operation's next progress event.
        pulse = [this] {
            bool cancel = false;
            listener->progressEvent(progress, &cancel);
        };
    }
    if (volume)
        volume->progressPulse = pulse;
    for (CVolume* found : volumeList)
        if (found)
            found->progressPulse = pulse;
}

void CRecovery::openExistingVolume()
{
    std::printf("openExistingVolume\n");
    releaseResults();
    if (!cachedDisk) {
        std::printf("openExistingVolume - error: no disk set\n");
        return;
    }
    beginOperation();
    volume = new (std::nothrow) CHFSVolume(cachedDisk);
    if (!volume)
        return;
    volume->mount(true);
    resultRoot = volume->getRoot();
}

void CRecovery::scan()
{
    std::printf("scan\n");
    scanFailure.clear();
    scanReadErrors = 0;
    releaseResults();
    if (!cachedDisk) {
        std::printf("scan - error: no disk set\n");
        return;
    }
    // The cache counts what the device could not give (read as zeros); this scan's share, from the
    // mount on, is its own.
    beginOperation();
    volume = new (std::nothrow) CHFSVolume(cachedDisk);
    if (!volume)
        return;
    const int diskBlockSize = cachedDisk->getBlockSize();
    const int64_t diskBlockCount = cachedDisk->getBlockCount();
    if (scanType == ScanDeletedFiles && !volume->mount(true)) {
        // Walked as a raw disk: disk-sized allocation blocks, none of them in use.
        volume->allocBlockSize = uint32_t(diskBlockSize > 0 ? diskBlockSize : 0);
        volume->allocBlocks = uint64_t(diskBlockCount > 0 ? diskBlockCount : 0);
    }

    blocksPerAllocBlock = 0;
    allocBlockCount = 0;
    if (diskBlockSize <= 0 || volume->allocBlockSize < uint32_t(diskBlockSize) ||
        volume->allocBlockSize / uint32_t(diskBlockSize) > uint32_t(INT_MAX)) {
        std::printf("scan - error: allocation block size %u does not fit disk block size %d, nothing is scanned\n",
                    volume->allocBlockSize, diskBlockSize);
    } else {
        blocksPerAllocBlock = int(volume->allocBlockSize / uint32_t(diskBlockSize));
        allocBlockCount = diskBlockCount > 0 ? diskBlockCount / blocksPerAllocBlock : 0;
    }

    volume->createRoot("");
    resultRoot = volume->getRoot();
    if (!resultRoot) {
        std::printf("scan - error: out of memory\n");
        return;
    }
    resultRoot->setContainer(true);
    if (scanType == ScanDeletedFiles) {
        resultRoot->setName(localize("Deleted"));
        resultRoot->setFlags(ItemDeleted);
        skipUsedBlocks = true;
    } else {
        resultRoot->setName(localize("Lost"));
        resultRoot->setFlags(ItemLost);
        skipUsedBlocks = false;
    }

    const int64_t stepSize = int64_t(blocksPerAllocBlock) * diskBlockSize;
    const int readSize = scanType == ScanLostFiles ? kLostFilesWindow : int(stepSize);

    Speedometer speedometer;
    CAbstractAnalyser* analyser = createAnalyser();
    if (!analyser)
        return;
    analyser->setRecovery(this);
    currentDiskBlock = 0;
    currentOffset = 0;
    currentAllocBlock = 0;
    scanEndDiskBlock = 0;

    std::printf("allocBlockCount: %lld\n", static_cast<long long>(allocBlockCount));
    std::printf("allocBlockSize: %u\n", volume->allocBlockSize);
    std::printf("blocksPerAllocBlock: %d\n", blocksPerAllocBlock);
    std::printf("analyseSize: %d\n", readSize);
    std::printf("start scan\n");

    if (listener) {
        bool cancel = false;
        listener->progressEvent(0, &cancel);
    }

    Walk walk{readSize, stepSize, speedometer, CProgressPace(), 0};
    analyser->scanBegin();
    currentAllocBlock = 0;
    const int workers = scanWorkers();
    // Worker threads only where the analyser classifies blocks and a block is small enough for the
    // read-ahead window to stay small.
    if (workers <= 1 || readSize > kMaxWindowBlock || !walkWithWorkers(analyser, walk, workers))
        walkInOrder(analyser, walk);
    // Whether the walk ran to the end or was cancelled, the analyser closes what it has open at
    // the block the walk reached, never beyond it.
    scanEndDiskBlock = currentDiskBlock;
    // Only a mounted volume has blocks in use (the lost scans never mount theirs); the walk counts
    // them as it skips them, so the bitmap is not read once more just for this line.
    std::printf("used allocation blocks: %lld\n", static_cast<long long>(walk.usedBlocks));
    const float usedShare = allocBlockCount > 0 ? float(walk.usedBlocks) / float(allocBlockCount) : 0.0f;
    std::printf("percent used: %.2f\n", double(100.0f * usedShare));

    speedometer.printResults();
    analyser->scanEnd();
    scanFailure = analyser->failureText();
    delete analyser;

    scanReadErrors = operationReadErrors();
    std::printf("unreadable sectors: %lld\n", static_cast<long long>(scanReadErrors));
    // The walk's questions about blocks past the allocation bitmap were reported once; now their count.
    if (volume)
        volume->reportBlocksPastBitmap();
}

int CRecovery::scanWorkers() const
{
    if (scanWorkerCount > 0)
        return scanWorkerCount;
    cpu_set_t cores;
    CPU_ZERO(&cores);
    int count = 0;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0)
        count = CPU_COUNT(&cores);
    if (count <= 0)
        count = int(std::thread::hardware_concurrency());
    return std::clamp(count, 1, kMaxWorkers);
}

void CRecovery::setScanWorkerCount(int count)
{
    scanWorkerCount = std::clamp(count, 0, kMaxWorkers);
}

bool CRecovery::walkCancelled(Walk& walk, int64_t block)
{
    if (!listener || !walk.pace.due())
        return false;
    const float share = float(block) / float(allocBlockCount);
    const int percent = int(100.0 * double(share));
    bool cancel = false;
    listener->progressEvent(double(percent), &cancel);
    return cancel;
}

bool CRecovery::skipUsedStep(Walk& walk, int64_t block)
{
    if (!skipUsedBlocks || !volume->isAllocationBlockUsed(uint64_t(block)))
        return false;
    ++walk.usedBlocks;
    return true;
}

CRecovery::StepRead CRecovery::readStep(Walk& walk, int64_t block)
{
    walk.speedometer.start();
    const bool readOK = cachedDisk->readData(block * walk.stepSize, walk.readSize, readBuffer);
    // The step just read is neither analysed nor passed: the walk ends before it.
    if (walkCancelled(walk, block))
        return StepRead::Cancelled;
    if (!readOK) {
        walk.speedometer.update(0);
        std::printf("error reading\n");
        return StepRead::Failed;
    }
    return StepRead::Read;
}

void CRecovery::walkInOrder(CAbstractAnalyser* analyser, Walk& walk)
{
    currentAllocBlock = 0;
    currentDiskBlock = 0;
    currentOffset = 0;
    currentClassification = nullptr;
    while (currentAllocBlock < allocBlockCount) {
        if (skipUsedStep(walk, currentAllocBlock)) {
            // A long run of used blocks reads nothing, yet takes its time on a large disk.
            if (walk.usedBlocks % kUsedBlocksPerPaceCheck == 0 && walkCancelled(walk, currentAllocBlock))
                break;
            analyser->analyse();
        } else {
            const StepRead read = readStep(walk, currentAllocBlock);
            if (read == StepRead::Cancelled)
                break;
            if (read == StepRead::Read) {
                analyser->analyse();
                walk.speedometer.update(walk.stepSize);
            }
        }
        currentDiskBlock += blocksPerAllocBlock;
        currentOffset += walk.stepSize;
        currentAllocBlock += 1;
    }
}

// The walk of walkInOrder, with the classification moved ahead: the steps are read here in order
// into a bounded window whose blocks worker threads classify, and the analyser sees each step in
// the same order, with the same position fields and bytes, a window later. A cancel or the end of
// the disk first lets the analyser see every step read before it.
bool CRecovery::walkWithWorkers(CAbstractAnalyser* analyser, Walk& walk, int workers)
{
    std::vector<std::unique_ptr<CBlockClassifier>> classifiers;
    for (int i = 0; i < workers; ++i) {
        CBlockClassifier* classifier = analyser->createClassifier();
        if (!classifier)
            break;
        try {
            classifiers.emplace_back(classifier);
        } catch (const std::bad_alloc&) {
            delete classifier;
            break;
        }
    }
    if (classifiers.size() < 2)
        return false; // one worker beside the walk gains nothing over the walk alone

    auto visit = [&](int64_t block, const uint8_t* data, uint32_t size, const BlockClassification* classification) {
        currentAllocBlock = block;
        currentDiskBlock = block * blocksPerAllocBlock;
        currentOffset = block * walk.stepSize;
        if (data)
            readBuffer->attach(const_cast<uint8_t*>(data), 1, size);
        currentClassification = classification;
        analyser->analyse();
    };
    CScanWindow window(uint32_t(walk.readSize), std::move(classifiers), visit);
    if (!window.ready())
        return false;
    std::printf("classifying on %d threads\n", window.workers());

    int64_t block = 0;
    for (; block < allocBlockCount; ++block) {
        if (skipUsedStep(walk, block)) {
            if (walk.usedBlocks % kUsedBlocksPerPaceCheck == 0 && walkCancelled(walk, block))
                break;
            window.addUsed(block);
            continue;
        }
        const StepRead read = readStep(walk, block);
        if (read == StepRead::Cancelled)
            break;
        if (read == StepRead::Read) {
            window.addRead(block, readBuffer->getData(), readBuffer->getSize());
            walk.speedometer.update(walk.stepSize);
        }
    }
    window.finish();
    // The window's memory goes with it; nothing may go on pointing into it.
    readBuffer->clear();
    currentClassification = nullptr;
    currentAllocBlock = block;
    currentDiskBlock = block * blocksPerAllocBlock;
    currentOffset = block * walk.stepSize;
    return true;
}
