// How often the engine reports progress during each long operation: the interface runs its event
// loop only then, so the longest time between two reports is the longest the window cannot answer.
//
//   progress_pace_bench [--files N] [--per-folder M]
//
// A volume of N (default 100,000) small files, M (default 1,000) to a folder, made by xorriso
// under TMPDIR (or /tmp), opened as a disk with its partitions. On its HFS Plus partition: browse,
// a save of the whole volume, a search that finds every file, and the three scans (deleted files
// with the program's file-type description, lost files with the building of their tree, lost
// volumes). For each: its time, the progress reports and the longest time without one (from the start, between two, to
// the end). Target: no gap over 100 ms in any operation under the progress sheet (browse runs without one). It never
// fails on timing: a non-zero exit means bad arguments or a setup that could not be made.
#include "benchtools.h"
#include "macdisk.h"
#include "partitiondisk.h"
#include "quietstdout.h"
#include "recovery.h"
#include "resourcedir.h"
#include "smallfiles.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

class PaceListener : public CStatusListener {
public:
    void progressEvent(double, bool*) override { mark(); }
    void fileSaving(std::string) override {}
    void askOverwrite(std::string, bool*, bool* skip, bool*) override { *skip = true; }
    void diskListChanged() override {}
    void itemChanged(CVolumeItem*) override {}

    void begin()
    {
        started = last = bench::Clock::now();
        longest = 0;
        events = 0;
    }
    void mark()
    {
        const auto now = bench::Clock::now();
        longest = std::max(longest, std::chrono::duration<double>(now - last).count());
        last = now;
        ++events;
    }
    bench::Clock::time_point started, last;
    double longest = 0;
    long events = 0;
};

// Items in the tree under root, without loading folders that are not loaded.
long treeSize(CVolumeItem* root)
{
    long count = 0;
    std::vector<CVolumeItem*> pending{root};
    while (!pending.empty()) {
        CVolumeItem* item = pending.back();
        pending.pop_back();
        if (!item)
            continue;
        ++count;
        pending.insert(pending.end(), item->children.begin(), item->children.end());
    }
    return count;
}

void measure(const char* name, PaceListener& listener, const std::function<void()>& operation,
             CRecovery* results = nullptr)
{
    listener.begin();
    {
        QuietStdout quiet(true);
        operation();
    }
    --listener.events; // the closing mark is no report
    listener.mark();
    std::printf("%-22s %7.2f s  %6ld reports  longest without one %6.0f ms", name,
                bench::secondsSince(listener.started), listener.events, listener.longest * 1000);
    if (results)
        std::printf("  (%ld items found)", treeSize(results->resultRoot) - 1);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    int files = 100000;
    int perFolder = 1000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
            files = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--per-folder") == 0 && i + 1 < argc) {
            perFolder = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--files N] [--per-folder M]\n", argv[0]);
            return 2;
        }
    }
    if (files <= 0 || perFolder <= 0)
        return 2;
    if (!bench::toolOnPath("xorriso")) {
        std::printf("xorriso is not installed: nothing measured\n");
        return 0;
    }
    const char* tmp = std::getenv("TMPDIR");
    const fs::path work = fs::path(tmp && *tmp ? tmp : "/tmp") / ("gleaner-pace-bench-" + std::to_string(::getpid()));
    const fs::path image = work / "volume.iso", saved = work / "saved";
    fs::create_directories(saved);
    std::printf("making %d files and their image under %s\n", files, work.c_str());
    if (!bench::makeSmallFilesImage(work / "source", image, files, "PACE", perFolder)) {
        std::fprintf(stderr, "could not make the image\n");
        fs::remove_all(work);
        return 1;
    }

    // The engine and the disk print as they are made and go.
    std::optional<QuietStdout> quiet(std::in_place, true);
    PaceListener listener;
    CRecovery recovery;
    CMacDisk disk(image.c_str());
    CDisk* partition = nullptr;
    {
        disk.scanForPartitions();
        for (int i = 0; i < disk.getPartitionCount(); ++i)
            if (auto* window = dynamic_cast<CPartitionDisk*>(disk.getPartition(i));
                window && window->getBlockCount() > 1000)
                partition = window;
        recovery.setStatusListener(&listener);
        recovery.setMagicFilePath(resourceDirectory());
    }
    quiet.reset();
    if (!partition) {
        quiet.reset();
        std::fprintf(stderr, "no HFS Plus partition in the image\n");
        fs::remove_all(work);
        return 1;
    }
    measure("browse (no sheet)", listener, [&] {
        recovery.setDisk(partition);
        recovery.openExistingVolume();
    });
    measure("save the volume", listener, [&] { recovery.save({recovery.resultRoot}, saved.string()); });
    measure("search for every file", listener, [&] { recovery.searchItems("f0"); });
    const std::pair<const char*, ScanType> scans[] = {{"deleted-files scan", ScanDeletedFiles},
                                                      {"lost-files scan", ScanLostFiles},
                                                      {"lost-volumes scan", ScanLostVolumes}};
    for (const auto& [name, type] : scans) {
        measure(
            name, listener,
            [&, type = type] {
                recovery.setScanType(type);
                recovery.scan();
            },
            &recovery);
    }
    quiet.emplace(true);
    recovery.setDisk(nullptr);
    fs::remove_all(work);
    return 0;
}
