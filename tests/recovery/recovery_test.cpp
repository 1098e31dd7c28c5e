// The recovery controller and its scan driver: the disk switch, found volumes, browsing, the walk
// over allocation blocks as an analyser sees it, cancelling, and that the source is never written.
#include "recoveryfixture.h"

#include "hfsimagebuilder.h"
#include "volumetreemodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {
using Bytes = std::vector<uint8_t>;

// The engine with the analyser replaced by one that records what it is shown of the walk.
class TracingRecovery : public CRecovery {
public:
    ~TracingRecovery() override
    {
        quietly([&] { setDisk(nullptr); });
    }
    std::string run(CDisk* disk, int type)
    {
        return quietly([&] {
            setDisk(disk);
            setScanType(type);
            scan();
        });
    }

    std::vector<std::array<int64_t, 3>> steps; // allocation block, disk block, byte offset
    std::vector<Bytes> buffers;
    int ends = 0;
    bool analyserDeleted = false;
    int64_t endBlock = -1;      // scanEndDiskBlock at scanEnd
    int64_t positionAtEnd = -1; // currentDiskBlock at scanEnd

protected:
    struct Analyser : CAbstractAnalyser {
        explicit Analyser(TracingRecovery* owner) : t(owner) {}
        ~Analyser() override { t->analyserDeleted = true; }
        void scanBegin() override {}
        void analyse() override
        {
            const CData* read = recovery->readBuffer;
            t->steps.push_back({recovery->currentAllocBlock, recovery->currentDiskBlock, recovery->currentOffset});
            t->buffers.emplace_back(read->getData(), read->getData() + read->getSize());
        }
        void scanEnd() override
        {
            ++t->ends;
            t->endBlock = recovery->scanEndDiskBlock;
            t->positionAtEnd = recovery->currentDiskBlock;
        }
        TracingRecovery* t;
    };
    CAbstractAnalyser* createAnalyser() override { return new Analyser(this); }
};

// More than 2^32 blocks of zeros, slow on its first read so that the first walk report comes then.
class HugeDisk : public CMemoryDisk {
public:
    HugeDisk() : CMemoryDisk(512, 0) { blockCount = (int64_t(1) << 32) + 2; }
    bool readBlocks(int64_t, int count, void* buffer) override
    {
        if (!std::exchange(slept, true))
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        std::memset(buffer, 0, size_t(count) * 512);
        return true;
    }
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

// The access modes of this process's descriptors open on path (from /proc/self/fdinfo).
std::vector<int> accessModesOf(const std::string& path)
{
    std::vector<int> modes;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        if (std::filesystem::read_symlink(fd.path(), error) != path)
            continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        for (std::string key, octal; info >> key;)
            if (key == "flags:" && info >> octal)
                modes.push_back(int(std::stol(octal, nullptr, 8) & O_ACCMODE));
    }
    return modes;
}
} // namespace

// --- The disk switch and found volumes -----------------------------------------------------------

TEST(RecoveryDisk, FailedOpenIsAFailure)
{
    FailingOpenDisk disk;
    CRecovery recovery;
    bool opened = true;
    quietly([&] {
        opened = recovery.setDisk(&disk);
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    });
    EXPECT_FALSE(opened);
    // Nothing was scanned: no result that would pass for a clean, empty disk.
    EXPECT_EQ(recovery.cachedDisk, nullptr);
    EXPECT_EQ(recovery.resultRoot, nullptr);
}

TEST(RecoveryDisk, DiskIsOpenedReadOnlyOnceAndClosedWhenReleased)
{
    CMemoryDisk disk(512, 64);
    CRecovery recovery;
    quietly([&] {
        ASSERT_TRUE(recovery.setDisk(&disk));
        ASSERT_TRUE(recovery.setDisk(&disk));
    });
    EXPECT_EQ(disk.getOpenCount(), 1) << "a second setDisk replaces the cache, it does not open twice";
    EXPECT_FALSE(disk.openedForWrite);
    quietly([&] {
        EXPECT_TRUE(recovery.setDisk(nullptr));
        EXPECT_TRUE(recovery.setDisk(nullptr));
    });
    EXPECT_EQ(disk.getOpenCount(), 0);
}

TEST(RecoveryVolumes, FoundVolumesAreNumberedInTheTreeAndFreedOnce)
{
    int destroyed = 0;
    {
        HandBuiltResults engine;
        CRecovery& recovery = engine.recovery;
        quietly([&] {
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
            recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
            addFile(recovery.volumeList[0]->getRoot(), "found.txt", Bytes(10, 1));
        });
        EXPECT_EQ(namesOf(recovery.resultRoot), (std::vector<std::string>{"Volume 1", "Volume 2"}));
        EXPECT_EQ(recovery.volumeList[1]->getRoot(), recovery.resultRoot->children[1]);
        EXPECT_EQ(recovery.resultRoot->children[1]->getParent(), recovery.resultRoot);
        quietly([&] { recovery.setDisk(nullptr); });
        EXPECT_EQ(destroyed, 2);
    }
    EXPECT_EQ(destroyed, 2);
}

TEST(RecoveryVolumes, AddVolumeWithoutResultsTakesNothing)
{
    CRecovery recovery;
    int destroyed = 0;
    auto mine = std::make_unique<CountedVolume>(nullptr, &destroyed);
    EXPECT_EQ(recovery.addVolume(mine.get()), nullptr);
    EXPECT_TRUE(recovery.volumeList.empty());
    EXPECT_EQ(destroyed, 0);
}

// --- The scan driver -----------------------------------------------------------------------------

TEST(RecoveryScan, DeletedFilesWalksAllocationBlocksAndSkipsUsedOnesUnread)
{
    HfsBuildOptions options;
    options.blockSize = 4096;
    HfsImageBuilder builder(options);
    builder.addFile(kHfsRootFolderID, "kept.bin", patternBytes(10000, 1));
    builder.addFreeData(patternBytes(3 * 4096, 2));
    builder.addFile(kHfsRootFolderID, "other.bin", patternBytes(5000, 3));
    const HfsImage image = builder.build();
    CMemoryDisk disk(image.bytes, 512);
    TracingRecovery recovery;
    recovery.run(&disk, ScanDeletedFiles);
    EXPECT_EQ(recovery.blocksPerAllocBlock, 8);
    ASSERT_EQ(recovery.allocBlockCount, disk.getBlockCount() / 8);
    ASSERT_EQ(int64_t(recovery.steps.size()), recovery.allocBlockCount);
    for (int64_t i = 0; i < recovery.allocBlockCount; ++i) {
        EXPECT_EQ(recovery.steps[size_t(i)], (std::array<int64_t, 3>{i, i * 8, i * 4096}));
        const Bytes content(image.bytes.begin() + i * 4096, image.bytes.begin() + (i + 1) * 4096);
        if (!image.isBlockUsed(uint32_t(i))) {
            EXPECT_EQ(recovery.buffers[size_t(i)], content) << "free block " << i;
        } else if (std::any_of(content.begin(), content.end(), [](uint8_t b) { return b != 0; })) {
            EXPECT_NE(recovery.buffers[size_t(i)], content) << "used block " << i << " was read";
        }
    }
    EXPECT_TRUE(recovery.resultRoot->isDeleted());
    EXPECT_EQ(recovery.endBlock, recovery.allocBlockCount * 8);
}

TEST(RecoveryScan, LostFilesReadsAZeroFilledWindowAtEveryDiskBlock)
{
    CMemoryDisk disk(512, 200);
    TracingRecovery recovery;
    recovery.run(&disk, ScanLostFiles);
    ASSERT_EQ(recovery.steps.size(), 200u);
    for (size_t i = 0; i < 200; ++i) {
        EXPECT_EQ(recovery.steps[i][2], int64_t(i) * 512);
        const size_t end = std::min<size_t>(disk.bytes.size(), i * 512 + 32768);
        Bytes expected(disk.bytes.begin() + int64_t(i) * 512, disk.bytes.begin() + int64_t(end));
        expected.resize(32768); // past the disk's end the window holds zeros
        EXPECT_EQ(recovery.buffers[i], expected) << "block " << i;
    }
    EXPECT_EQ(recovery.endBlock, 200);
}

TEST(RecoveryScan, CancelEndsTheWalkAtTheCancelledStepAndStillEndsTheAnalyser)
{
    SlowMemoryDisk disk(512, 1200);
    disk.slowFrom = 512; // the second cache line
    TracingRecovery recovery;
    ScriptedListener listener;
    listener.cancelFromEvent = 1; // the first event, before the walk, is not a walk report
    recovery.setStatusListener(&listener);
    recovery.run(&disk, ScanLostFiles);
    ASSERT_EQ(listener.progress.size(), 2u);
    const int64_t stopped = recovery.endBlock;
    EXPECT_GT(stopped, 0);
    EXPECT_LT(stopped, 1200);
    EXPECT_EQ(listener.progress[1], double(int(100.0 * double(float(stopped) / 1200.0f))));
    // Every step before the cancelled one was analysed, the cancelled one was not, and the
    // analyser's end is told where the walk stopped, not the end of the disk.
    EXPECT_EQ(int64_t(recovery.steps.size()), stopped);
    EXPECT_EQ(recovery.positionAtEnd, stopped);
    EXPECT_EQ(recovery.ends, 1);
    EXPECT_TRUE(recovery.analyserDeleted);
}

TEST(RecoveryScan, BlockCountsBeyond32BitsAreNotCut)
{
    HugeDisk disk;
    TracingRecovery recovery;
    ScriptedListener listener;
    listener.cancelFromEvent = 1;
    recovery.setStatusListener(&listener);
    const std::string text = recovery.run(&disk, ScanLostVolumes);
    EXPECT_EQ(recovery.allocBlockCount, (int64_t(1) << 32) + 2);
    EXPECT_NE(text.find("allocBlockCount: 4294967298\n"), std::string::npos);
    EXPECT_EQ(recovery.ends, 1);
}

TEST(RecoveryScan, NewScanReleasesTheSearchAndTheFoundVolumesOfTheLastOne)
{
    CMemoryDisk disk(512, 8);
    TracingRecovery recovery;
    int destroyed = 0;
    recovery.run(&disk, ScanLostFiles);
    quietly([&] {
        recovery.addVolume(new CountedVolume(recovery.cachedDisk, &destroyed));
        addFile(recovery.volumeList[0]->getRoot(), "lost.txt");
        recovery.searchItems("lost");
    });
    ASSERT_EQ(namesOf(recovery.searchFolder), (std::vector<std::string>{"lost.txt"}));
    quietly([&] { recovery.scan(); });
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(recovery.searchFolder, nullptr);
    EXPECT_TRUE(recovery.volumeList.empty());
    EXPECT_EQ(recovery.resultRoot->getChildCount(true), 0);
}

// --- Against the outside tools -------------------------------------------------------------------

TEST(RecoveryBrowse, PartitionOfAnXorrisoImageListsWhatFlsLists)
{
    RECOVERY_REQUIRE_TOOLS("xorriso", "fls");
    TreeSpec tree;
    tree.folder("empty").file("readme.txt", 6, 1).file("docs/cafe\xCC\x81.txt", 6, 2);
    tree.file("docs/deep/deeper/note", 4, 3).file("docs/big.bin", 300000, 4).file("Zebra", 10, 5);
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    BrowsedRecovery recovery(xd.partition);
    ASSERT_NE(recovery.resultRoot, nullptr);
    EXPECT_EQ(recovery.resultRoot->getName(), "GLEANERTEST");

    // Folders through the outline's model, files from each folder's children as the table shows.
    CVolumeTreeModel model(&recovery);
    std::vector<std::string> listed;
    std::function<void(CBase*, const std::string&)> walk = [&](CBase* node, const std::string& prefix) {
        for (int i = 0; i < model.getChildCount(node); ++i) {
            auto* sub = dynamic_cast<CVolumeItem*>(model.getChild(node, i));
            listed.push_back("d/d " + sub->getIdString() + " " + prefix + sub->getName());
            walk(sub, prefix + sub->getName() + "/");
        }
        for (CVolumeItem* child : dynamic_cast<CVolumeItem*>(node)->children)
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
}

TEST(RecoverySource, EveryOperationLeavesTheImageUnchangedAndOpensItReadOnly)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("a.txt", 5000, 1).file("sub/b.bin", 70000, 2).folder("sub/empty");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    const Bytes before = readFileBytes(xd.image);
    ASSERT_FALSE(before.empty());
    const std::string resolved = std::filesystem::canonical(xd.image);

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
        recovery.scan();
        recovery.setDisk(nullptr);
    });
    ASSERT_FALSE(modes.empty()) << "the image was not open while the disk was set";
    for (int mode : modes)
        EXPECT_EQ(mode, O_RDONLY);
    EXPECT_TRUE(readFileBytes(xd.image) == before);
    EXPECT_TRUE(readFileBytes(out.file("a.txt")) == readFileBytes(xd.source + "/a.txt"));
}
