// The recovery controller and its scan driver: the disk switch, found volumes, browsing, the walk
// over allocation blocks as an analyser sees it, cancelling, and that the source is never written.
#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "volumetreemodel.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {
using Bytes = std::vector<uint8_t>;

// What the analyser saw of the walk.
struct Trace {
    int begins = 0;
    int ends = 0;
    bool deleted = false;
    std::vector<int64_t> allocBlocks;
    std::vector<int64_t> diskBlocks;
    std::vector<int64_t> offsets;
    std::vector<Bytes> buffers; // kept only when keepBuffers
    bool keepBuffers = false;
    int64_t endBlock = -1;
    int64_t positionAtEnd = -1;
};

class RecordingAnalyser : public CAbstractAnalyser {
public:
    explicit RecordingAnalyser(Trace* t) : trace(t) {}
    ~RecordingAnalyser() override { trace->deleted = true; }
    void scanBegin() override { ++trace->begins; }
    void analyse() override
    {
        trace->allocBlocks.push_back(recovery->currentAllocBlock);
        trace->diskBlocks.push_back(recovery->currentDiskBlock);
        trace->offsets.push_back(recovery->currentOffset);
        if (trace->keepBuffers) {
            const CData* b = recovery->readBuffer;
            trace->buffers.emplace_back(b->getData(), b->getData() + b->getSize());
        }
    }
    void scanEnd() override
    {
        ++trace->ends;
        trace->endBlock = recovery->scanEndDiskBlock;
        trace->positionAtEnd = recovery->currentDiskBlock;
    }

private:
    Trace* trace;
};

// The engine with the analyser replaced by one that records the walk.
class TracingRecovery : public CRecovery {
public:
    CAbstractAnalyser* createAnalyser() override { return new RecordingAnalyser(&trace); }
    Trace trace;
};

// A memory disk whose reads at or after slowFrom take over a second once, so the scan's clock moves
// on to the next whole second and the driver reports progress there.
class SlowDisk : public CMemoryDisk {
public:
    using CMemoryDisk::CMemoryDisk;
    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        if (block + count > slowFrom && !slept) {
            slept = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        return CMemoryDisk::readBlocks(block, count, buffer);
    }
    int64_t slowFrom = 0;
    bool slept = false;
};

// A disk of more than 2^32 blocks that holds zeros and is slow on its first read.
class HugeDisk : public CDisk {
public:
    HugeDisk()
    {
        blockSize = 512;
        blockCount = (int64_t(1) << 32) + 2;
        path = "/test/huge";
    }
    ~HugeDisk() override { cleanup(); }
    bool readBlocks(int64_t, int count, void* buffer) override
    {
        if (!slept) {
            slept = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        std::memset(buffer, 0, size_t(count) * size_t(blockSize));
        return true;
    }
    bool writeBlocks(int64_t, int, const void*) override { return false; }
    bool doOpen(bool) override { return true; }
    void doClose() override {}
    bool slept = false;
};

class FailingOpenDisk : public CMemoryDisk {
public:
    FailingOpenDisk() : CMemoryDisk(512, 16) {}
    bool doOpen(bool) override { return false; }
};

// A found volume that counts its own destruction.
class CountedVolume : public CHFSVolume {
public:
    CountedVolume(CDisk* disk, int* counter) : CHFSVolume(disk), destroyed(counter) {}
    ~CountedVolume() override { ++*destroyed; }
    int* destroyed;
};

std::vector<std::string> childNames(CVolumeItem* folder)
{
    std::vector<std::string> names;
    for (CVolumeItem* child : folder->children)
        names.push_back(child->getName());
    return names;
}

// A small HFS Plus volume with 4096-byte allocation blocks and free blocks between used ones.
HfsImage deletedFilesImage()
{
    HfsBuildOptions options;
    options.volumeName = "Scanned";
    options.blockSize = 4096;
    HfsImageBuilder builder(options);
    builder.addFile(kHfsRootFolderID, "kept.bin", patternBytes(10000, 1));
    builder.addFreeData(patternBytes(3 * 4096, 2));
    builder.addFile(kHfsRootFolderID, "other.bin", patternBytes(5000, 3));
    return builder.build();
}
} // namespace

// --- The disk switch -------------------------------------------------------------------------------

TEST(RecoveryDisk, NullDiskOnAFreshEngineChangesNothing)
{
    CRecovery recovery;
    bool first = false, second = false;
    quietly([&] {
        first = recovery.setDisk(nullptr);
        second = recovery.setDisk(nullptr);
    });
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(recovery.cachedDisk, nullptr);
    EXPECT_EQ(recovery.resultRoot, nullptr);
    EXPECT_EQ(recovery.volume, nullptr);
}

TEST(RecoveryDisk, FailedOpenAnswersFalseAndKeepsTheCache)
{
    FailingOpenDisk disk;
    CRecovery recovery;
    bool opened = true;
    const std::string text = quietly([&] { opened = recovery.setDisk(&disk); });
    EXPECT_FALSE(opened);
    EXPECT_NE(recovery.cachedDisk, nullptr);
    EXPECT_NE(text.find("error opening disk!"), std::string::npos);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoveryDisk, DiskIsOpenedReadOnlyAndClosedWhenReleased)
{
    CMemoryDisk disk(512, 64);
    {
        CRecovery recovery;
        quietly([&] { ASSERT_TRUE(recovery.setDisk(&disk)); });
        EXPECT_EQ(disk.getOpenCount(), 1);
        EXPECT_FALSE(disk.openedForWrite);
        quietly([&] { ASSERT_TRUE(recovery.setDisk(&disk)); });
        EXPECT_EQ(disk.getOpenCount(), 1) << "a second setDisk replaces the cache, it does not open twice";
        quietly([&] { recovery.setDisk(nullptr); });
    }
    EXPECT_EQ(disk.getOpenCount(), 0);
}

// --- Found volumes -------------------------------------------------------------------------------

TEST(RecoveryVolumes, AddVolumeNumbersRootFoldersInOrder)
{
    HandBuiltResults engine;
    CRecovery& recovery = engine.recovery;
    quietly([&] {
        for (int i = 0; i < 3; ++i)
            ASSERT_NE(recovery.addVolume(nullptr), nullptr);
    });
    EXPECT_EQ(childNames(recovery.resultRoot), (std::vector<std::string>{"Volume 1", "Volume 2", "Volume 3"}));
    ASSERT_EQ(recovery.volumeList.size(), 3u);
    EXPECT_EQ(recovery.volumeList[1]->getRoot(), recovery.resultRoot->children[1]);
    EXPECT_EQ(recovery.resultRoot->children[2]->getParent(), recovery.resultRoot);
}

TEST(RecoveryVolumes, AddVolumeWithoutResultsTakesNothing)
{
    CRecovery recovery;
    int destroyed = 0;
    CountedVolume* mine = new CountedVolume(nullptr, &destroyed);
    CHFSVolume* answer = mine;
    quietly([&] { answer = recovery.addVolume(mine); });
    EXPECT_EQ(answer, nullptr);
    EXPECT_TRUE(recovery.volumeList.empty());
    EXPECT_EQ(destroyed, 0);
    delete mine;
}

TEST(RecoveryVolumes, ReleasingResultsFreesTheTreeThenEveryFoundVolumeOnce)
{
    int destroyed = 0;
    {
        HandBuiltResults engine;
        CRecovery& recovery = engine.recovery;
        quietly([&] {
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
        });
        addFile(recovery.volumeList[0]->getRoot(), "found.txt", Bytes(10, 1));
        // The found volumes' roots live in the result tree.
        EXPECT_EQ(childNames(recovery.resultRoot), (std::vector<std::string>{"Volume 1", "Volume 2"}));
        EXPECT_EQ(destroyed, 0);
        quietly([&] { recovery.setDisk(nullptr); });
        EXPECT_EQ(destroyed, 2);
        EXPECT_TRUE(recovery.volumeList.empty());
        EXPECT_EQ(recovery.resultRoot, nullptr);
    }
    EXPECT_EQ(destroyed, 2);
}

// --- The scan driver -----------------------------------------------------------------------------

TEST(RecoveryScan, EmptyDiskRunsNoStepButBeginsAndEnds)
{
    CMemoryDisk disk(512, 0);
    TracingRecovery recovery;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanLostFiles);
        recovery.scan();
    });
    EXPECT_EQ(recovery.trace.begins, 1);
    EXPECT_EQ(recovery.trace.ends, 1);
    EXPECT_TRUE(recovery.trace.deleted);
    EXPECT_TRUE(recovery.trace.allocBlocks.empty());
    ASSERT_NE(recovery.resultRoot, nullptr);
    EXPECT_EQ(recovery.resultRoot->getChildCount(true), 0);
    EXPECT_TRUE(recovery.resultRoot->isLost());
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoveryScan, DeletedFilesWalksAllocationBlocksAndSkipsUsedOnesUnread)
{
    const HfsImage image = deletedFilesImage();
    CMemoryDisk disk(image.bytes, 512);
    TracingRecovery recovery;
    recovery.trace.keepBuffers = true;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    });
    EXPECT_EQ(recovery.blocksPerAllocBlock, 8);
    ASSERT_EQ(recovery.allocBlockCount, disk.getBlockCount() / 8);
    ASSERT_EQ(int64_t(recovery.trace.allocBlocks.size()), recovery.allocBlockCount);
    EXPECT_TRUE(recovery.skipUsedBlocks);
    for (int64_t i = 0; i < recovery.allocBlockCount; ++i) {
        EXPECT_EQ(recovery.trace.allocBlocks[size_t(i)], i);
        EXPECT_EQ(recovery.trace.diskBlocks[size_t(i)], i * 8);
        EXPECT_EQ(recovery.trace.offsets[size_t(i)], i * 4096);
        if (!image.isBlockUsed(uint32_t(i))) {
            const Bytes expected(image.bytes.begin() + i * 4096, image.bytes.begin() + (i + 1) * 4096);
            EXPECT_EQ(recovery.trace.buffers[size_t(i)], expected) << "free block " << i;
        }
    }
    ASSERT_NE(recovery.resultRoot, nullptr);
    EXPECT_TRUE(recovery.resultRoot->isDeleted());
    EXPECT_EQ(recovery.trace.endBlock, recovery.allocBlockCount * 8);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoveryScan, LostFilesReadsAWindowAtEveryDiskBlock)
{
    CMemoryDisk disk(512, 200);
    TracingRecovery recovery;
    recovery.trace.keepBuffers = true;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanLostFiles);
        recovery.scan();
    });
    EXPECT_EQ(recovery.allocBlockCount, 200);
    EXPECT_EQ(recovery.blocksPerAllocBlock, 1);
    EXPECT_FALSE(recovery.skipUsedBlocks);
    ASSERT_EQ(recovery.trace.offsets.size(), 200u);
    for (size_t i = 0; i < 200; ++i) {
        EXPECT_EQ(recovery.trace.offsets[i], int64_t(i) * 512);
        ASSERT_EQ(recovery.trace.buffers[i].size(), 32768u);
        // The window's start is the disk's bytes there; past the disk's end it holds zeros.
        const size_t onDisk = std::min<size_t>(32768, disk.bytes.size() - i * 512);
        EXPECT_TRUE(std::equal(recovery.trace.buffers[i].begin(), recovery.trace.buffers[i].begin() + onDisk,
                               disk.bytes.begin() + i * 512));
        EXPECT_TRUE(std::all_of(recovery.trace.buffers[i].begin() + onDisk, recovery.trace.buffers[i].end(),
                                [](uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(recovery.trace.endBlock, 200);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoveryScan, CancelEndsTheWalkAtTheCancelledStepAndStillEndsTheAnalyser)
{
    SlowDisk disk(512, 1200);
    disk.slowFrom = 512; // the second cache line
    TracingRecovery recovery;
    ScriptedListener listener;
    listener.cancelFromEvent = 1; // the first event, before the walk, is not a walk report
    recovery.setStatusListener(&listener);
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanLostFiles);
        recovery.scan();
    });
    ASSERT_EQ(listener.progress.size(), 2u);
    EXPECT_EQ(listener.progress[0], 0.0);
    const int64_t stopped = recovery.trace.endBlock;
    EXPECT_GT(stopped, 0);
    EXPECT_LT(stopped, 1200);
    EXPECT_EQ(listener.progress[1], double(int(100.0 * double(float(stopped) / 1200.0f))));
    // Every step before the cancelled one was analysed, the cancelled one was not, and the
    // analyser's end is told where the walk stopped, not the end of the disk.
    EXPECT_EQ(int64_t(recovery.trace.allocBlocks.size()), stopped);
    EXPECT_EQ(recovery.trace.positionAtEnd, stopped);
    EXPECT_EQ(recovery.trace.ends, 1);
    EXPECT_TRUE(recovery.trace.deleted);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoveryScan, BlockCountsBeyond32BitsAreNotCut)
{
    HugeDisk disk;
    TracingRecovery recovery;
    ScriptedListener listener;
    listener.cancelFromEvent = 1;
    recovery.setStatusListener(&listener);
    const std::string text = quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanLostVolumes);
        recovery.scan();
    });
    EXPECT_EQ(recovery.allocBlockCount, (int64_t(1) << 32) + 2);
    EXPECT_NE(text.find("allocBlockCount: 4294967298\n"), std::string::npos);
    EXPECT_EQ(recovery.trace.ends, 1);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RecoveryScan, NewScanReleasesTheSearchAndTheFoundVolumesOfTheLastOne)
{
    CMemoryDisk disk(512, 8);
    TracingRecovery recovery;
    int destroyed = 0;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanLostFiles);
        recovery.scan();
        recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
        addFile(recovery.volumeList[0]->getRoot(), "lost.txt");
        recovery.searchItems("lost");
    });
    ASSERT_NE(recovery.searchFolder, nullptr);
    ASSERT_EQ(recovery.searchFolder->getChildCount(true), 1);
    quietly([&] { recovery.scan(); });
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(recovery.searchFolder, nullptr);
    EXPECT_TRUE(recovery.volumeList.empty());
    EXPECT_EQ(recovery.resultRoot->getChildCount(true), 0);
    quietly([&] { recovery.setDisk(nullptr); });
}

// --- Browsing ------------------------------------------------------------------------------------

TEST(RecoveryBrowse, PartitionOfAnXorrisoImageListsWhatFlsLists)
{
    RECOVERY_REQUIRE_TOOLS("xorriso", "fls");
    TreeSpec tree;
    tree.folder("empty").file("readme.txt", 6, 1).file("docs/cafe\xCC\x81.txt", 6, 2);
    tree.file("docs/deep/deeper/note", 4, 3).file("docs/big.bin", 300000, 4).file("Zebra", 10, 5);
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    CRecovery recovery;
    quietly([&] {
        recovery.setDisk(xd.partition);
        recovery.openExistingVolume();
    });
    ASSERT_NE(recovery.resultRoot, nullptr);
    EXPECT_EQ(recovery.resultRoot->getName(), "GLEANERTEST");

    // Folders through the outline's model, files from each folder's children as the table shows.
    CVolumeTreeModel model(&recovery);
    std::vector<std::string> listed;
    std::function<void(CBase*, const std::string&)> walk = [&](CBase* node, const std::string& prefix) {
        auto* folder = dynamic_cast<CVolumeItem*>(node);
        for (int i = 0; i < model.getChildCount(node); ++i) {
            auto* sub = dynamic_cast<CVolumeItem*>(model.getChild(node, i));
            listed.push_back("d/d " + sub->getIdString() + " " + prefix + sub->getName());
            walk(sub, prefix + sub->getName() + "/");
        }
        for (CVolumeItem* child : folder->children)
            if (!child->isContainer())
                listed.push_back("r/r " + child->getIdString() + " " + prefix + child->getName());
    };
    quietly([&] { walk(model.getRoot(), ""); });
    std::sort(listed.begin(), listed.end());

    const auto fls = runFls(xd.image, xd.hfsStart);
    ASSERT_TRUE(fls.has_value());
    std::vector<std::string> expected;
    for (const FlsEntry& e : userEntries(*fls))
        expected.push_back(e.type + " " + std::to_string(e.inode) + " " + e.path);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    quietly([&] { recovery.setDisk(nullptr); });
}

// --- The source is never written -----------------------------------------------------------------

namespace {
// The access modes of this process's descriptors open on path (from /proc/self/fdinfo).
std::vector<int> accessModesOf(const std::string& path)
{
    std::vector<int> modes;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return modes;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, size_t(n)) != path)
            continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string key;
        while (info >> key) {
            if (key == "flags:") {
                std::string octal;
                info >> octal;
                modes.push_back(int(std::stol(octal, nullptr, 8) & O_ACCMODE));
            }
        }
    }
    ::closedir(dir);
    return modes;
}
} // namespace

TEST(RecoverySource, EveryOperationLeavesTheImageUnchangedAndOpensItReadOnly)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("a.txt", 5000, 1).file("sub/b.bin", 70000, 2).folder("sub/empty");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    const Bytes before = readFileBytes(xd.image);
    ASSERT_FALSE(before.empty());
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(xd.image.c_str(), resolved), nullptr);

    ScratchDir out;
    CRecovery recovery;
    ScriptedListener listener;
    recovery.setStatusListener(&listener);
    std::vector<int> modes;
    quietly([&] {
        ASSERT_TRUE(recovery.setDisk(xd.partition));
        modes = accessModesOf(resolved);
        recovery.openExistingVolume();
        ASSERT_NE(recovery.resultRoot, nullptr);
        recovery.searchItems("b");
        std::vector<CVolumeItem*> all(recovery.resultRoot->children.begin(), recovery.resultRoot->children.end());
        recovery.save(all, out.path());
        recovery.saveReport(all, out.file("report.html"), "t", "f");
        for (int type : {ScanDeletedFiles, ScanLostFiles, ScanLostVolumes}) {
            recovery.setScanType(type);
            recovery.scan();
        }
        // The whole disk too, as the lost-volumes scan is run.
        recovery.setDisk(xd.disk.get());
        recovery.setScanType(ScanLostVolumes);
        recovery.scan();
        recovery.setDisk(nullptr);
    });
    ASSERT_FALSE(modes.empty()) << "the image was not open while the disk was set";
    for (int mode : modes)
        EXPECT_EQ(mode, O_RDONLY);
    EXPECT_TRUE(readFileBytes(xd.image) == before);
    EXPECT_TRUE(readFileBytes(out.file("a.txt")) == readFileBytes(xd.source + "/a.txt"));
}
