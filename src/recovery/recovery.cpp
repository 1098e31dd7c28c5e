#include "recovery.h"

#include "hfsanalyser.h"
#include "machelpers.h"
#include "rawanalyser.h"
#include "threads.h"
#include "utils.h"

#include <climits>
#include <cstdio>
#include <new>

namespace {
// Bytes read at every disk block of a lost-files scan: the largest catalog node.
constexpr int kLostFilesWindow = 32768;
// The scan's block cache: 4 MiB in lines of 256 KiB.
constexpr int kCacheSize = 4194304;
constexpr int kReadAheadSize = 262144;
} // namespace

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

void CRecovery::releaseResults()
{
    // The search folder's entries belong to the tree (or to the search): its list goes first, so
    // deleting the tree frees every item exactly once.
    forgetSearchEntries();
    searchFolder = nullptr;
    if (volume) {
        delete volume;
        volume = nullptr;
    }
    resultRoot = nullptr;
    clearVolumeList();
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
    return true;
}

void CRecovery::clearVolumeList()
{
    std::printf("clearVolumeList\n");
    for (CVolume* found : volumeList) {
        if (!found)
            continue;
        // The root item lives on in the result tree (or went with it); the volume must not free it.
        found->root = nullptr;
        delete found;
    }
    volumeList.clear();
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
    std::printf("CRecovery::addVolume (%d): %s\n", int(volumeList.size()), found->getName().c_str());
    return found;
}

void CRecovery::openExistingVolume()
{
    std::printf("openExistingVolume\n");
    releaseResults();
    if (!cachedDisk) {
        std::printf("openExistingVolume - error: no disk set\n");
        return;
    }
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
    releaseResults();
    if (!cachedDisk) {
        std::printf("scan - error: no disk set\n");
        return;
    }
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

    // Only a mounted volume has blocks in use; the lost scans never mount theirs.
    int64_t usedCount = 0;
    if (scanType == ScanDeletedFiles)
        for (int64_t block = 0; block < allocBlockCount; ++block)
            if (volume->isAllocationBlockUsed(uint64_t(block)))
                ++usedCount;

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
    CStopWatch stopWatch;
    CAbstractAnalyser* analyser = createAnalyser();
    if (!analyser)
        return;
    analyser->setRecovery(this);
    currentDiskBlock = 0;
    currentOffset = 0;
    currentAllocBlock = 0;
    scanEndDiskBlock = 0;

    std::printf("used allocation blocks: %lld\n", static_cast<long long>(usedCount));
    std::printf("allocBlockCount: %lld\n", static_cast<long long>(allocBlockCount));
    std::printf("allocBlockSize: %u\n", volume->allocBlockSize);
    std::printf("blocksPerAllocBlock: %d\n", blocksPerAllocBlock);
    const float usedShare = allocBlockCount > 0 ? float(usedCount) / float(allocBlockCount) : 0.0f;
    std::printf("percent used: %.2f\n", double(100.0f * usedShare));
    std::printf("analyseSize: %d\n", readSize);
    std::printf("start scan\n");

    if (listener) {
        bool cancel = false;
        listener->progressEvent(0, &cancel);
    }

    stopWatch.start();
    analyser->scanBegin();
    currentAllocBlock = 0;
    while (currentAllocBlock < allocBlockCount) {
        if (skipUsedBlocks && volume->isAllocationBlockUsed(uint64_t(currentAllocBlock))) {
            analyser->analyse();
        } else {
            speedometer.start();
            const bool readOK = cachedDisk->readData(currentOffset, readSize, readBuffer);
            stopWatch.stop();
            if (stopWatch.getElapsedSeconds() > 0) {
                const float share = float(currentAllocBlock) / float(allocBlockCount);
                const int percent = int(100.0 * double(share));
                if (listener) {
                    bool cancel = false;
                    listener->progressEvent(double(percent), &cancel);
                    // The step just read is neither analysed nor passed: the walk ends before it.
                    if (cancel)
                        break;
                }
                stopWatch.start();
            }
            if (readOK) {
                analyser->analyse();
                speedometer.update(stepSize);
            } else {
                speedometer.update(0);
                std::printf("error reading\n");
            }
        }
        currentDiskBlock += blocksPerAllocBlock;
        currentOffset += stepSize;
        currentAllocBlock += 1;
    }
    // Whether the walk ran to the end or was cancelled, the analyser closes what it has open at
    // the block the walk reached, never beyond it.
    scanEndDiskBlock = currentDiskBlock;

    speedometer.printResults();
    analyser->scanEnd();
    scanFailure = analyser->failureText();
    delete analyser;
}
