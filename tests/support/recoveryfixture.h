// Shared pieces of the recovery suites: items in memory, hand-built results, an xorriso volume.
#pragma once

#include "fakepaceclock.h"
#include "hfsfixtures.h"
#include "macdisk.h"
#include "memorydisk.h"
#include "outputcapture.h"
#include "partitiondisk.h"
#include "recovery.h"
#include "scratchdir.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#define RECOVERY_REQUIRE_TOOLS(...)                          \
    do {                                                     \
        for (const char* tool : {__VA_ARGS__})               \
            if (!toolAvailable(tool))                        \
                GTEST_SKIP() << tool << " is not installed"; \
    } while (0)
// Runs body with its standard output captured, and returns the text.
inline std::string quietly(const std::function<void()>& body)
{
    OutputCapture capture;
    body();
    return capture.finish();
}
// Runs body (quietly) with the file-size limit lowered to bytes, as if the disk were full.
inline std::string withFileSizeLimit(rlim_t bytes, const std::function<void()>& body)
{
    struct rlimit old {};
    if (::getrlimit(RLIMIT_FSIZE, &old) != 0)
        ADD_FAILURE() << "getrlimit failed";
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    OutputCapture capture;
    struct rlimit limited = old;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    body();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return capture.finish();
}
// Relative path -> content for files; "/" after folders, "->" after links, "|" after others.
using FileTree = std::map<std::string, std::vector<uint8_t>>;
inline FileTree folderSnapshot(const std::string& root)
{
    FileTree entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).string();
        if (entry.is_symlink())
            entries[relative + "->"] = {};
        else if (entry.is_directory())
            entries[relative + "/"] = {};
        else if (!entry.is_regular_file())
            entries[relative + "|"] = {};
        else
            entries[relative] = readFileBytes(entry.path().string());
    }
    return entries;
}
// A listener that records every event and answers as the test scripted it.
class ScriptedListener : public CStatusListener {
public:
    enum class Answer { Overwrite, Skip, Cancel, Nothing };

    void progressEvent(double percent, bool* cancel) override
    {
        progress.push_back(percent);
        if ((cancelFromEvent >= 0 && int(progress.size()) > cancelFromEvent) || (cancelWhen && *cancelWhen))
            *cancel = true;
    }
    void fileSaving(std::string) override {}
    void askOverwrite(std::string path, bool* overwrite, bool* skip, bool* cancel) override
    {
        asked.push_back(path);
        *overwrite = answer == Answer::Overwrite;
        *skip = answer == Answer::Skip;
        *cancel = answer == Answer::Cancel;
    }
    void diskListChanged() override { ++diskListChanges; }
    void itemChanged(CVolumeItem* item) override { changed.push_back(item); }

    std::vector<double> progress;
    std::vector<std::string> asked;
    std::vector<CVolumeItem*> changed;
    int cancelFromEvent = -1;         // events with this index or later set the cancel flag; -1 never
    const bool* cancelWhen = nullptr; // or events while this is true
    int diskListChanges = 0;
    Answer answer = Answer::Overwrite;
};
// A memory disk whose first read reaching slowFrom takes over a second, so progress is reported.
class SlowMemoryDisk : public CMemoryDisk {
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
    int64_t slowFrom = INT64_MAX;
    bool slept = false;
};
// A scan over a disk in memory with a listener attached; the engine is released quietly.
struct MemoryScan {
    explicit MemoryScan(std::vector<uint8_t> bytes, int blockSize = 512, int workers = 0)
        : disk(std::move(bytes), blockSize)
    {
        recovery.setStatusListener(&listener);
        recovery.setScanWorkerCount(workers);
    }
    ~MemoryScan()
    {
        quietly([&] { recovery.setDisk(nullptr); });
    }
    std::string run(int type, CDisk* other = nullptr)
    {
        return quietly([&] {
            recovery.setDisk(other ? other : &disk);
            recovery.setScanType(type);
            recovery.scan();
        });
    }
    SlowMemoryDisk disk;
    CRecovery recovery;
    ScriptedListener listener;
};
// A file item over bytes in memory; reads past the end, or from failFrom on, fail whole.
class MemoryFileItem : public CVolumeItem {
public:
    MemoryFileItem(const std::string& itemName, std::vector<uint8_t> content) : data(std::move(content))
    {
        setName(itemName);
        setContainer(false);
    }

    uint64_t getSize() override { return data.size(); }
    uint32_t getDate() override { return date; }
    std::string getIdString() override { return id; }
    uint32_t read(uint64_t offset, void* buffer, uint32_t length) override
    {
        ++reads;
        if (offset > data.size() || length > data.size() - offset || offset + length > failFrom)
            return 0;
        std::memcpy(buffer, data.data() + offset, length);
        return length;
    }

    std::vector<uint8_t> data;
    uint64_t failFrom = UINT64_MAX;
    uint32_t date = 0;
    std::string id = "n/a";
    int reads = 0;
};
template <class Item>
Item* adopt(CVolumeItem* parent, Item* child)
{
    child->volume = parent->volume;
    parent->addChild(child);
    child->setParent(parent);
    return child;
}
inline CVolumeItem* addFolder(CVolumeItem* parent, const std::string& name)
{
    CVolumeItem* folder = adopt(parent, new CVolumeItem(true));
    folder->setName(name);
    return folder;
}
inline MemoryFileItem* addFile(CVolumeItem* parent, const std::string& name, std::vector<uint8_t> content = {})
{
    return adopt(parent, new MemoryFileItem(name, std::move(content)));
}
inline std::vector<std::string> namesOf(CVolumeItem* folder)
{
    std::vector<std::string> names;
    if (folder)
        for (CVolumeItem* child : folder->children)
            names.push_back(child->getName());
    return names;
}
// An engine over a small memory disk whose result tree the test fills by hand, as a scan would.
struct HandBuiltResults {
    HandBuiltResults() : disk(512, 64)
    {
        quietly([&] {
            recovery.setDisk(&disk);
            recovery.volume = new CHFSVolume(recovery.cachedDisk);
            recovery.volume->createRoot("Results");
            recovery.resultRoot = recovery.volume->getRoot();
        });
    }
    ~HandBuiltResults()
    {
        quietly([&] { recovery.setDisk(nullptr); });
    }

    CMemoryDisk disk;
    CRecovery recovery;
};
// An engine that has browsed the volume on disk (which must outlive it), released quietly.
struct BrowsedRecovery : CRecovery {
    explicit BrowsedRecovery(CDisk* disk)
    {
        quietly([&] {
            setDisk(disk);
            openExistingVolume();
        });
    }
    ~BrowsedRecovery() override
    {
        quietly([&] { setDisk(nullptr); });
    }
};
// A directory tree, its xorriso image and the image opened as a disk with its partitions.
struct XorrisoDisk {
    ScratchDir scratch;
    std::string source; // the folder xorriso was given
    std::string image;
    uint64_t hfsStart = 0; // first 512-byte block of the Apple_HFS partition
    std::unique_ptr<CMacDisk> disk;
    CDisk* partition = nullptr; // the Apple_HFS partition, owned by disk
};
// Fails the calling test (use with ASSERT_NO_FATAL_FAILURE) when the image cannot be made.
inline void makeXorrisoDisk(XorrisoDisk* out, const TreeSpec& tree, const std::string& volumeName = "GLEANERTEST")
{
    out->source = out->scratch.file("source");
    ASSERT_TRUE(makeDirectory(out->source));
    std::string error;
    ASSERT_TRUE(tree.write(out->source, &error)) << error;
    out->image = out->scratch.file("volume.iso");
    ASSERT_TRUE(makeXorrisoImage(out->source, volumeName, out->image, &error)) << error;
    const std::optional<ApmEntry> entry = findApmPartition(out->image);
    ASSERT_TRUE(entry.has_value());
    out->hfsStart = entry->firstBlock;
    quietly([&] {
        out->disk = std::make_unique<CMacDisk>(out->image.c_str());
        out->disk->scanForPartitions();
    });
    for (int i = 0; i < out->disk->getPartitionCount(); ++i) {
        CDisk* candidate = out->disk->getPartition(i);
        auto* window = dynamic_cast<CPartitionDisk*>(candidate);
        if (window && uint64_t(window->getFirstBlock()) == out->hfsStart)
            out->partition = candidate;
    }
    ASSERT_NE(out->partition, nullptr) << "no partition at the Apple_HFS entry's block";
}
