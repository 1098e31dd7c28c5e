// A controller over scripted services, a disk list held in memory and an engine that records the
// calls the commands make (and, for the scans, builds a small result tree by hand), for the tests
// of the toolbar, the commands, the data sources and save, report and search.
#pragma once

#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "partitiondisk.h"
#include "recoveryfixture.h"
#include "uifakes.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QTreeView>
#include <QWidgetAction>

#include <functional>
#include <string>
#include <vector>

// Records each command-facing engine call by name. setDisk runs for real (the memory disks open);
// a scan builds a result root (flagged as the scan type's results) with one folder of two files
// instead of reading the disk; a search puts every file named like the text into the search folder.
class RecordingRecovery : public CRecovery {
public:
    bool setDisk(CDisk* disk) override
    {
        calls.push_back(disk ? "setDisk" : "setDisk(none)");
        if (beforeSetDisk)
            beforeSetDisk();
        if (disk && failOpen) {
            quietly([&] { CRecovery::setDisk(nullptr); });
            return false;
        }
        bool opened = false;
        quietly([&] { opened = CRecovery::setDisk(disk); });
        return opened;
    }
    void openExistingVolume() override
    {
        calls.push_back("openExistingVolume");
        buildResults(0, "Browsed");
    }
    void setScanType(int type) override
    {
        calls.push_back("setScanType(" + std::to_string(type) + ")");
        CRecovery::setScanType(type);
    }
    void setEnableSearchText(bool value) override
    {
        calls.push_back(std::string("setEnableSearchText(") + (value ? "1" : "0") + ")");
        CRecovery::setEnableSearchText(value);
    }
    void setEnableSearchKeywords(bool value) override
    {
        calls.push_back(std::string("setEnableSearchKeywords(") + (value ? "1" : "0") + ")");
        CRecovery::setEnableSearchKeywords(value);
    }
    void setKeywords(const std::vector<std::string>& list) override
    {
        calls.push_back("setKeywords");
        CRecovery::setKeywords(list);
    }
    void scan() override
    {
        calls.push_back("scan");
        scanFailure = failure;
        if (duringScan)
            duringScan();
        if (scanType == ScanLostVolumes)
            return;
        buildResults(scanType == ScanDeletedFiles ? ItemDeleted : ItemLost, "Results");
    }
    bool save(const std::vector<CVolumeItem*>& items, const std::string& folder) override
    {
        calls.push_back("save");
        savedItems = items;
        savedFolder = folder;
        if (!incomplete.empty()) {
            incompleteFiles = incomplete;
            return false;
        }
        return realSave ? CRecovery::save(items, folder) : true;
    }
    bool saveReport(const std::vector<CVolumeItem*>& items, const std::string& path, const std::string& title,
                    const std::string& footer) override
    {
        calls.push_back("saveReport");
        savedItems = items;
        reportPath = path;
        reportTitle = title;
        reportFooter = footer;
        return !failReport;
    }
    void searchItems(const std::string& text) override
    {
        calls.push_back("searchItems(" + text + ")");
        quietly([&] { CRecovery::searchItems(text); });
    }

    // A result root (flags as given) with the folder "Docs" holding "b.txt" and "a.txt".
    void buildResults(char flags, const std::string& rootName)
    {
        if (!cachedDisk)
            return;
        quietly([&] {
            delete volume;
            volume = new CHFSVolume(cachedDisk);
            volume->createRoot(rootName);
            resultRoot = volume->getRoot();
            resultRoot->setContainer(true);
            resultRoot->setFlags(flags);
            CVolumeItem* docs = addFolder(resultRoot, "Docs");
            docs->setFlags(flags);
            addFile(docs, "b.txt", std::vector<uint8_t>(300, 'b'))->setFlags(flags);
            addFile(docs, "a.txt", std::vector<uint8_t>(20, 'a'))->setFlags(flags);
        });
    }

    std::vector<std::string> calls;
    bool failOpen = false;
    std::string failure;                 // what the next scan reports it could not do
    std::vector<std::string> incomplete; // what the next save reports it did not save whole
    bool realSave = false;
    bool failReport = false;
    std::function<void()> beforeSetDisk;
    std::function<void()> duringScan;
    std::vector<CVolumeItem*> savedItems;
    std::string savedFolder, reportPath, reportTitle, reportFooter;
};

// A disk list that the test fills; listing the disks changes nothing.
class FixedDiskManager : public CDiskManager {
public:
    void scanForDisks() override {}
    void scanForPartitions() override {}
};

// A main window over: "Disk A" (whole, 4 MiB of zeros) with its partition "Part A1".
struct CommandHarness {
    // configure may change the texts and Info values before the controller reads them.
    explicit CommandHarness(bool realEngine = false, const std::function<void(FakeServices&)>& configure = {})
    {
        auto s = fakes.services();
        if (!realEngine)
            s.makeRecovery = [this] { return engine = new RecordingRecovery(); };
        s.makeDiskManager = [this] {
            auto* manager = new FixedDiskManager();
            wholeDisk = new CMemoryDisk(512, 8192, "/test/diskA");
            wholeDisk->setName("Disk A");
            partition = new CPartitionDisk(wholeDisk, 64, 8191);
            partition->setName("Part A1");
            partition->setWholeDisk(false);
            wholeDisk->addPartition(partition);
            manager->addDisk(wholeDisk);
            return manager;
        };
        (*fakes.info)[QStringLiteral("AppName")] = QStringLiteral("Gleaner");
        (*fakes.info)[QStringLiteral("AppNameShort")] = QStringLiteral("Gleaner");
        (*fakes.info)[QStringLiteral("NSHumanReadableCopyright")] = QStringLiteral("(c) the makers");
        (*fakes.info)[QStringLiteral("HelpFile")] = QStringLiteral("help.html");
        if (configure)
            configure(fakes);
        quietly([&] {
            controller = std::make_unique<TestController>(s);
            controller->awakeFromNib();
        });
    }
    ~CommandHarness()
    {
        quietly([&] { controller.reset(); });
    }

    // The outline row of an engine object, or an invalid index.
    QModelIndex outlineRow(const CBase* item) const
    {
        QAbstractItemModel* model = controller->outlineView->model();
        std::function<QModelIndex(const QModelIndex&)> find = [&](const QModelIndex& parent) -> QModelIndex {
            for (int row = 0; row < model->rowCount(parent); ++row) {
                const QModelIndex index = model->index(row, 0, parent);
                if (controller->outlineAdapter()->itemAt(index) == item)
                    return index;
                if (const QModelIndex found = find(index); found.isValid())
                    return found;
            }
            return {};
        };
        return find({});
    }
    // Selects the outline row of item as a click would; false when it is not in the outline.
    bool selectInOutline(const CBase* item)
    {
        const QModelIndex index = outlineRow(item);
        if (!index.isValid())
            return false;
        quietly([&] {
            controller->outlineView->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                                                  QItemSelectionModel::Rows);
        });
        return true;
    }
    // The button (or field) of a toolbar item.
    QWidget* toolbarView(const char* identifier) const
    {
        auto* item = qobject_cast<QWidgetAction*>(controller->toolbarItem(QLatin1String(identifier)));
        return item ? item->defaultWidget() : nullptr;
    }
    CVolumeItem* resultFolder(const char* name) const
    {
        CVolumeItem* root = engine ? engine->resultRoot : controller->recovery()->resultRoot;
        if (!root)
            return nullptr;
        for (CVolumeItem* child : root->children)
            if (child->getName() == name)
                return child;
        return nullptr;
    }

    FakeServices fakes;
    RecordingRecovery* engine = nullptr; // owned by the controller
    CMemoryDisk* wholeDisk = nullptr;    // owned by the disk manager
    CPartitionDisk* partition = nullptr; // owned by wholeDisk
    std::unique_ptr<TestController> controller;
};
