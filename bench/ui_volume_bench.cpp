// A volume of many small files through the window: saving it beside The Sleuth Kit's tsk_recover
// on the same image, then how often the window runs its event loop in the other long operations.
//
//   ui_volume_bench [--files N] [--keep]
//
// A folder of N (default 100,000) small files (64 to 2,047 bytes, 1,000 to a subfolder) is made
// into an HFS Plus image by xorriso under TMPDIR (or /tmp). The real main window (Qt's offscreen
// platform, the real event pump and clock) browses it, chooses the volume in the outline and saves
// it: the time from the command to its return, the event pumps it ran and the longest time between
// two of them. Then tsk_recover -a saves the same volume, and both copies are compared with the
// source folder byte for byte. Last, a search that finds every file and the three scans run through
// the window, each with its time, its event pumps and the longest time between two (target: about
// 100 ms, the progress sheet's pace). The engine's diagnostic lines go to /dev/null. It never fails
// on timing: a non-zero exit means bad arguments or a setup that could not be made.
#include "AppController.h"
#include "TreeModelAdapter.h"
#include "benchtools.h"
#include "diskmanager.h"
#include "macdisk.h"
#include "partitiondisk.h"
#include "quietstdout.h"
#include "recovery.h"
#include "smallfiles.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMainWindow>
#include <QTreeView>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ScriptedPanels : public FilePanelService, public AlertService {
public:
    QString chooseFolder(QWidget*, const QString&) override { return folder; }
    QString chooseSaveFile(QWidget*, const QString&, const QString&, const QStringList&) override { return {}; }
    AlertAnswer runAlert(QWidget*, const QString&, const QString& message, const QString&, const QString&,
                         const QString&) override
    {
        messages << message;
        return AlertAnswer::Default;
    }
    QString folder;
    QStringList messages;
};

// The real event pump, timed.
class TimedPump : public EventPumpService {
public:
    void processEvents() override
    {
        const auto now = bench::Clock::now();
        if (pumps > 0)
            longest = std::max(longest, std::chrono::duration<double>(now - last).count());
        last = now;
        ++pumps;
        QCoreApplication::processEvents();
    }
    void reset() { *this = TimedPump(); }
    bench::Clock::time_point last;
    double longest = 0;
    long pumps = 0;
};

class BenchController : public AppController {
public:
    using AppController::AppController;
    using AppController::disk;
};

class FixedDiskManager : public CDiskManager {
public:
    void scanForDisks() override {}
    void scanForPartitions() override {}
};

} // namespace

int main(int argc, char** argv)
{
    int files = 100000;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
            files = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--files N] [--keep]\n", argv[0]);
            return 2;
        }
    }
    if (files <= 0)
        return 2;
    if (!bench::toolOnPath("xorriso")) {
        std::printf("xorriso is not installed: nothing measured\n");
        return 0;
    }
    const char* tmp = std::getenv("TMPDIR");
    const fs::path work = fs::path(tmp && *tmp ? tmp : "/tmp") / ("gleaner-volume-bench-" + std::to_string(::getpid()));
    const fs::path source = work / "source", image = work / "volume.iso";
    const fs::path ours = work / "ours", theirs = work / "tsk";
    fs::create_directories(source);
    fs::create_directories(ours);
    std::printf("making %d files and their image under %s\n", files, work.c_str());
    if (!bench::makeSmallFilesImage(source, image, files, "BENCH")) {
        std::fprintf(stderr, "could not make the image\n");
        fs::remove_all(work);
        return 1;
    }

    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    auto panels = std::make_shared<ScriptedPanels>();
    auto pump = std::make_shared<TimedPump>();
    panels->folder = QString::fromStdString(ours.string());
    CMacDisk* wholeDisk = nullptr;
    AppServices services = AppServices::real();
    services.filePanels = panels;
    services.alerts = panels;
    services.eventPump = pump;
    services.makeDiskManager = [&wholeDisk, &image] {
        auto* manager = new FixedDiskManager();
        wholeDisk = new CMacDisk(image.c_str());
        wholeDisk->scanForPartitions();
        manager->addDisk(wholeDisk);
        return manager;
    };
    std::unique_ptr<BenchController> controller;
    CDisk* partition = nullptr;
    uint64_t partitionStart = 0;
    {
        QuietStdout quiet(true);
        controller = std::make_unique<BenchController>(services);
        AppController::setApplicationDelegate(controller.get());
        controller->awakeFromNib();
        controller->mainWindow->resize(1200, 800);
        controller->mainWindow->show();
        for (int i = 0; wholeDisk && i < wholeDisk->getPartitionCount(); ++i) {
            auto* window = dynamic_cast<CPartitionDisk*>(wholeDisk->getPartition(i));
            if (window && window->getBlockCount() > 1000) {
                partition = window;
                partitionStart = uint64_t(window->getFirstBlock());
            }
        }
        if (partition) {
            controller->disk = partition;
            controller->browseVolume();
            TreeModelAdapter* adapter = controller->outlineAdapter();
            const QModelIndex root = adapter->findShown(controller->recovery()->resultRoot);
            controller->outlineView->selectionModel()->setCurrentIndex(root, QItemSelectionModel::ClearAndSelect |
                                                                                 QItemSelectionModel::Rows);
        }
    }
    if (!partition || !controller->recovery()->resultRoot) {
        std::fprintf(stderr, "the volume did not open\n");
        fs::remove_all(work);
        return 1;
    }

    pump->reset();
    // Under `perf record --control fifo:CTL -D -1`, with PERF_CTL=CTL, only the save is profiled.
    const char* perfControl = std::getenv("PERF_CTL");
    auto tellPerf = [perfControl](const char* command) {
        if (perfControl && *perfControl)
            std::ofstream(perfControl) << command << std::endl;
    };
    tellPerf("enable");
    auto began = bench::Clock::now();
    {
        QuietStdout quiet(true);
        controller->save();
    }
    const double ourSeconds = bench::secondsSince(began);
    tellPerf("disable");
    const fs::path saved = ours / "BENCH";
    std::printf("save through the window: %.2f s for %d files; %ld event pumps, longest time between two %.0f ms\n",
                ourSeconds, files, pump->pumps, pump->longest * 1000);
    std::printf("  files with the source's bytes: %d of %d%s\n", bench::matchingSmallFiles(saved, files), files,
                panels->messages.size() > 1 ? "; a notice was shown" : "");

    if (bench::toolOnPath("tsk_recover")) {
        fs::create_directories(theirs);
        began = bench::Clock::now();
        const int status = bench::runQuietly(
            {"tsk_recover", "-a", "-o", std::to_string(partitionStart), image.string(), theirs.string()});
        const double tskSeconds = bench::secondsSince(began);
        std::printf("tsk_recover -a: %.2f s (exit %d); files with the source's bytes: %d of %d\n", tskSeconds, status,
                    bench::matchingSmallFiles(theirs, files), files);
        std::printf("ratio: %.2fx tsk_recover's time (target <= 2x)\n", ourSeconds / tskSeconds);
    } else {
        std::printf("tsk_recover is not installed: no comparison\n");
    }

    const auto timed = [&](const char* name, const std::function<void()>& operation) {
        pump->reset();
        const auto start = bench::Clock::now();
        {
            QuietStdout quiet(true);
            operation();
        }
        std::printf("%-22s %6.2f s, %5ld event pumps, longest time between two %4.0f ms\n", name,
                    bench::secondsSince(start), pump->pumps, pump->longest * 1000);
    };
    timed("search for every file", [&] {
        controller->searchField->setText(QStringLiteral("f0"));
        controller->searchUsingToolbarSearchField();
    });
    timed("deleted-files scan", [&] {
        controller->disk = partition;
        controller->deletedFilesScan();
        controller->scanWindowEndOK();
    });
    timed("lost-files scan", [&] {
        controller->disk = partition;
        controller->lostFilesScan();
    });
    timed("lost-volumes scan", [&] {
        controller->disk = partition;
        controller->lostVolumesScan();
    });

    {
        QuietStdout quiet(true);
        controller.reset();
        AppController::setApplicationDelegate(nullptr);
    }
    if (keep)
        std::printf("kept %s\n", work.c_str());
    else
        fs::remove_all(work);
    return 0;
}
