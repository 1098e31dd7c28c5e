// Time to show a large folder: installing the table of an N-item folder (the engine sorts it by
// name when row 0 is first read, which the adapter does at install), drawing the table once,
// switching to the size order (a new table model) and drawing again; and installing the outline
// over a folder of N subfolders, expanding it and drawing it. Runs on Qt's offscreen platform.
//
//   ui_modeladapter_bench [--items N] [--rounds N]
//
// The children are shuffled before every round so each install really sorts. The best and the
// first round are printed; the target is well under a second for 10,000 items. It never fails on
// timing.
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "logger.h"
#include "quietstdout.h"
#include "volumes.h"
#include "volumetreemodel.h"

#include <QApplication>
#include <QTableView>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The result-tree model over a root of the benchmark's own making (no recovery engine behind it).
class FixedRootTreeModel : public CVolumeTreeModel {
public:
    explicit FixedRootTreeModel(CVolumeItem* root) : CVolumeTreeModel(nullptr), top(root) {}
    CBase* getRoot() override { return top; }

private:
    CVolumeItem* top;
};

struct Figures {
    double tableInstall = 0, tableDraw = 0, sizeInstall = 0, sizeDraw = 0, outlineInstall = 0, outlineDraw = 0;
};

void keepBest(Figures* best, const Figures& f)
{
    best->tableInstall = std::min(best->tableInstall, f.tableInstall);
    best->tableDraw = std::min(best->tableDraw, f.tableDraw);
    best->sizeInstall = std::min(best->sizeInstall, f.sizeInstall);
    best->sizeDraw = std::min(best->sizeDraw, f.sizeDraw);
    best->outlineInstall = std::min(best->outlineInstall, f.outlineInstall);
    best->outlineDraw = std::min(best->outlineDraw, f.outlineDraw);
}

void print(const char* label, const Figures& f)
{
    std::printf("%-6s table install (name sort) %8.1f ms, draw %7.1f ms; size sort install %8.1f ms, draw %7.1f ms; "
                "outline install+expand %8.1f ms, draw %7.1f ms\n",
                label, f.tableInstall, f.tableDraw, f.sizeInstall, f.sizeDraw, f.outlineInstall, f.outlineDraw);
}

} // namespace

int main(int argc, char** argv)
{
    int items = 10000;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--items") == 0 && i + 1 < argc)
            items = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--items N] [--rounds N]\n", argv[0]);
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    CLogger::getInstance()->setEnabled(false);

    CVolume volume;
    std::mt19937 random(12345);
    CVolumeItem* files = nullptr;
    CVolumeItem* folders = nullptr;
    {
        QuietStdout quiet(true);
        volume.createRoot("Results");
        CVolumeItem* root = volume.getRoot();
        auto add = [&](CVolumeItem* parent, CVolumeItem* child, const std::string& name) {
            child->volume = &volume;
            child->setName(name);
            parent->addChild(child);
            child->setParent(parent);
            return child;
        };
        files = add(root, new CVolumeItem(true), "files");
        folders = add(root, new CVolumeItem(true), "folders");
        for (int i = 0; i < items; ++i) {
            auto* file = new CRawVolumeItem();
            file->firstBlock = uint64_t(i);
            file->size = random() % 50000000;
            char name[32];
            std::snprintf(name, sizeof name, "%08x.jpg", unsigned(random()));
            add(files, file, name);
            std::snprintf(name, sizeof name, "folder %08x", unsigned(random()));
            add(folders, new CVolumeItem(true), name);
        }
    }

    Figures best{1e9, 1e9, 1e9, 1e9, 1e9, 1e9};
    Figures first;
    for (int round = 0; round < rounds; ++round) {
        Figures f;
        QuietStdout quiet(true);
        std::shuffle(files->children.begin(), files->children.end(), random);
        std::shuffle(folders->children.begin(), folders->children.end(), random);
        volume.setSortType(SortByName);

        TableModelAdapter table;
        QTableView tableView;
        tableView.resize(900, 700);
        tableView.setModel(&table);
        auto byName = std::make_unique<CVolumeTableModel>(files);
        auto start = Clock::now();
        table.setModel(byName.get());
        f.tableInstall = msSince(start);
        start = Clock::now();
        (void)tableView.grab();
        f.tableDraw = msSince(start);

        volume.setSortType(SortBySize);
        auto bySize = std::make_unique<CVolumeTableModel>(files);
        start = Clock::now();
        table.setModel(bySize.get());
        f.sizeInstall = msSince(start);
        start = Clock::now();
        (void)tableView.grab();
        f.sizeDraw = msSince(start);
        table.setModel(nullptr);

        volume.setSortType(SortByName);
        TreeModelAdapter outline;
        QTreeView outlineView;
        outlineView.resize(400, 700);
        outlineView.setModel(&outline);
        FixedRootTreeModel tree(volume.getRoot());
        start = Clock::now();
        outline.setModel(&tree);
        outlineView.expand(outline.index(0, 0));
        outlineView.expand(outline.index(1, 0, outline.index(0, 0)));
        f.outlineInstall = msSince(start);
        start = Clock::now();
        (void)outlineView.grab();
        f.outlineDraw = msSince(start);
        outline.setModel(nullptr);

        if (round == 0)
            first = f;
        keepBest(&best, f);
    }
    std::printf("%d items, %d rounds\n", items, rounds);
    print("first", first);
    print("best", best);
    return 0;
}
