// The disk and scan commands: list the disks, browse an intact volume, the three scans (the
// deleted-files scan through its options sheet), About, Help and the viewer, and the installing of
// the outline's and the table's engine models. Each engine operation runs under the engine lock
// after the views have let go of every item it may free.
#include "AppController.h"

#include "EngineLock.h"
#include "NSWindow-ZavrelEffects.h"
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "diskmanager.h"
#include "logger.h"
#include "recovery.h"
#include "volumetreemodel.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTimer>
#include <QTreeView>
#include <QWidgetAction>

namespace {
// How long each turn of the event loop frees released results for.
constexpr double kFreeSlice = 0.02;

// Lower case, then the first letter of each word upper case.
QString capitalizedWords(const QString& text)
{
    QString result = text.toLower();
    bool wordStart = true;
    for (QChar& c : result) {
        if (c.isLetterOrNumber()) {
            if (wordStart)
                c = c.toUpper();
            wordStart = false;
        } else {
            wordStart = true;
        }
    }
    return result;
}

void muteFiles(std::initializer_list<const char*> names)
{
    CLogger* logger = CLogger::getInstance();
    for (const char* name : names)
        logger->muteFile(name);
}

const QString kCompleteSound = QStringLiteral("complete.aif");

} // namespace

// --- Installing models ---

bool AppController::showsResults() const
{
    return treeModel && !dynamic_cast<CDiskManagerTreeModel*>(treeModel);
}

void AppController::setTreeModel(CAbstractTreeModel* model)
{
    connectViews();
    EngineLocker lock(engineLock());
    CAbstractTreeModel* old = treeModel;
    treeModel = model;
    // Only the browse that installs its own tree watches it for damage.
    watchBrowseDamage = false;
    // The view lets go of the old model's rows (a reset) before the model goes.
    if (TreeModelAdapter* adapter = outlineAdapter()) {
        if (outlineView)
            adapter->replaceModel(outlineView, model);
        else
            adapter->setModel(model);
    }
    if (old && old != model)
        delete old;
    logLine(QStringLiteral("settreemodel done"));
    // A reset reports no selection change: the selection handler runs here for it.
    outlineViewSelectionDidChange(true);
}

void AppController::setTableModel(CAbstractTableModel* model)
{
    connectViews();
    EngineLocker lock(engineLock());
    CAbstractTableModel* old = tableModel;
    tableModel = model;
    // A table model always shows the folder chosen when it was made; the grid keeps reading that
    // one, whatever the outline's selection does until the next model.
    thumbFolder = model ? folder : nullptr;
    if (TableModelAdapter* adapter = tableViewAdapter())
        adapter->setModel(model);
    if (old && old != model)
        delete old;
    if (tableView)
        tableView->clearSelection();
    reloadThumbView();
    logLine(QStringLiteral("settablemodel done"));
}

// --- The disk list ---

void AppController::chooseDisk()
{
    if (busy)
        return;
    logLine(QStringLiteral("chooseDisk"));
    if (treeModel) {
        CBase* root = nullptr;
        bool scanResults = false;
        {
            EngineLocker lock(engineLock());
            root = treeModel->getRoot();
            auto* item = dynamic_cast<CVolumeItem*>(root);
            scanResults = item && (item->isLost() || item->isDeleted());
        }
        if (scanResults && showAlert(QStringLiteral("CloseScanResults"), QStringLiteral("AskClearScanResults"),
                                     QStringLiteral("Yes"), QStringLiteral("No")) != AlertAnswer::Default) {
            return;
        }
    }
    setHelpText(localizedFormat(QStringLiteral("ChooseDiskHint"),
                                {capitalizedWords(infoValue(QStringLiteral("AppName"))),
                                 capitalizedWords(infoValue(QStringLiteral("AppNameShort")))}),
                true);
    CLogger* logger = CLogger::getInstance();
    muteFiles({"disks.cpp", "windisk.cpp", "macdisk.cpp"});
    logger->unmuteFile("hfsvolume.cpp");
    logger->unmuteFile("volumes.cpp");
    logger->setEnabled(true);
    if (mainWindow)
        mainWindow->setWindowTitle(infoValue(QStringLiteral("AppName")));

    releaseShownItems(true);
    // The disks are listed anew: the chosen one may be freed.
    disk = nullptr;
    {
        EngineLocker lock(engineLock());
        if (rec) {
            // A large result tree takes a while to free: it goes a slice at a time, the window
            // answered in between.
            rec->releaseResultsLater();
            freeReleasedResultsSoon();
            rec->setDisk(nullptr);
        }
        if (diskman) {
            diskman->scanForDisks();
            diskman->scanForPartitions();
            diskman->dump();
        }
        setTreeModel(diskman ? new CDiskManagerTreeModel(diskman) : nullptr);
    }
    if (outlineView) {
        outlineView->setSelectionMode(QAbstractItemView::SingleSelection);
        if (QAbstractItemModel* model = outlineView->model(); model && model->rowCount() > 0)
            outlineView->expandRecursively(model->index(0, 0));
    }
    folder = nullptr;
    validateCommands();
}

void AppController::freeReleasedResultsSoon()
{
    if (freeingReleased)
        return;
    freeingReleased = true;
    QTimer::singleShot(0, this, [this] {
        freeingReleased = false;
        EngineLocker lock(engineLock());
        if (rec && !rec->freeReleasedResults(kFreeSlice))
            freeReleasedResultsSoon();
    });
}

// --- Browse and the scans ---

// Gives the engine the chosen disk (the caller holds the engine lock); says so when it cannot be
// opened, and leaves the commands ready for another choice.
bool AppController::openDiskOrSay(CDisk* target)
{
    if (rec && rec->setDisk(target))
        return true;
    showAlert(QStringLiteral("ErrorOpeningDisk"), QStringLiteral("ErrorOpeningDiskNotice"), QStringLiteral("OK"));
    validateCommands();
    return false;
}

void AppController::browseVolume()
{
    if (busy || !disk)
        return;
    CDisk* target = disk;
    logLine(QStringLiteral("browseVolume"));
    muteFiles({"volumes.cpp"});
    // The disk list stays (its disks belong to the disk manager), so a disk that fails to open
    // leaves it to choose another.
    releaseShownItems(showsResults());
    {
        EngineLocker lock(engineLock());
        if (!openDiskOrSay(target))
            return;
        setHelpText(localizedString(QStringLiteral("SelectFilesToRecoverHint")), true);
        rec->openExistingVolume();
        muteFiles({"hfsvolume.cpp"});
        setTreeModel(new CVolumeTreeModel(rec));
    }
    if (outlineView) {
        if (QAbstractItemModel* model = outlineView->model(); model && model->rowCount() > 0)
            outlineView->expand(model->index(0, 0));
        outlineView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
    setTableModel(nullptr);
    validateCommands();
    updateReadErrorCount();
    watchBrowseDamage = true;
    truncationTold = catalogDamageTold = false;
    tellBrowseDamage();
}

void AppController::tellBrowseDamage()
{
    if (!watchBrowseDamage || busy || isQuitting())
        return;
    QStringList notices;
    {
        std::unique_lock<std::recursive_mutex> lock(engineLock(), std::try_to_lock);
        if (!lock.owns_lock() || !rec || !rec->volume)
            return;
        CHFSVolume* volume = rec->volume;
        const bool truncated = !truncationTold && volume->bytesPastDisk() > 0;
        const bool damaged = !catalogDamageTold && volume->isCatalogDamaged();
        if (!truncated && !damaged)
            return;
        const QString volumeName = QString::fromStdString(volume->getName());
        if (truncated) {
            truncationTold = true;
            notices << localizedFormat(QStringLiteral("VolumeTruncatedNotice"),
                                       {volumeName, formattedCount(qint64(volume->bytesPastDisk()))});
        }
        if (damaged) {
            catalogDamageTold = true;
            notices << localizedFormat(QStringLiteral("CatalogDamagedNotice"), {volumeName});
        }
    }
    // Both told: the timer has nothing left to ask.
    watchBrowseDamage = !(truncationTold && catalogDamageTold);
    // The hint no longer invites to save as if the listing were whole.
    if (catalogDamageTold)
        setHelpText(localizedString(QStringLiteral("DamagedVolumeHint")), true);
    showTextAlert(QStringLiteral("VolumeDamaged"), notices.join(QStringLiteral("\n\n")));
}

bool AppController::runScan(CDisk* target, const QString& waitMessage, int scanType,
                            const std::function<void()>& configure)
{
    releaseShownItems(showsResults());
    EngineLocker lock(engineLock());
    if (!openDiskOrSay(target))
        return false;
    cancelAction = false;
    if (!beginProgressSheet(waitMessage, QStringLiteral("ScanProgress")))
        return false;
    muteFiles({"hfsvolume.cpp"});
    if (configure)
        configure();
    rec->setScanType(static_cast<ScanType>(scanType));
    // A file scan installs its tree before it starts, so the outline shows the tree as it grows; a
    // volume scan adds its finds to the disk list already shown.
    const bool listsFiles = scanType != ScanLostVolumes;
    if (listsFiles)
        setTreeModel(new CVolumeTreeModel(rec));
    rec->scan();
    logLine(QStringLiteral("scan finished"));
    playSound(kCompleteSound);
    endProgressSheet();
    if (listsFiles && outlineView)
        outlineView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    reloadOutlineView();
    expandOutlineView();
    return true;
}

void AppController::lostVolumesScan()
{
    if (busy || !disk)
        return;
    logLine(QStringLiteral("lostVolumesScan"));
    muteFiles({"volumes.cpp"});
    // The disk list stays: its disks belong to the disk manager, which the scan only adds to.
    if (!runScan(disk, QStringLiteral("ScanningLostVolumesPleaseWait"), ScanLostVolumes))
        return;
    setHelpText(localizedString(QStringLiteral("SelectVolumeToRecoverHint")), true);
    validateCommands();
    if (const QString notice = scanReadErrorsNotice(); !notice.isEmpty())
        showTextAlert(QStringLiteral("EndOfScan"), notice);
}

void AppController::lostFilesScan()
{
    if (busy || !disk)
        return;
    logLine(QStringLiteral("lostFilesScan"));
    muteFiles({"volumes.cpp"});
    if (!runScan(disk, QStringLiteral("ScanningLostFilesPleaseWait"), ScanLostFiles))
        return;
    setHelpText(localizedString(QStringLiteral("SelectFilesToRecoverHint")), true);
    reportScanFailure();
    validateCommands();
    if (const QString notice = scanReadErrorsNotice(); !notice.isEmpty())
        showTextAlert(QStringLiteral("EndOfScan"), notice);
}

void AppController::deletedFilesScan()
{
    if (busy || !disk || !scanWindow)
        return;
    logLine(QStringLiteral("deletedFilesScan"));
    setHelpText(localizedString(QStringLiteral("ScanOptionsHint")), true);
    muteFiles({"hfsvolume.cpp", "volumes.cpp"});
    activateTextScanClick();
    scanWindow->open();
}

void AppController::activateTextScanClick()
{
    const bool on = activateTextScanCheckbox && activateTextScanCheckbox->isChecked();
    if (limitTextKeywordsCheckbox)
        limitTextKeywordsCheckbox->setEnabled(on);
    if (scanKeywordsTextView) {
        // Read-only rather than disabled: the keywords stay readable and selectable.
        scanKeywordsTextView->setReadOnly(!on);
        scanKeywordsTextView->setEnabled(on);
    }
}

void AppController::scanWindowEndCancel()
{
    if (scanWindow)
        scanWindow->done(0);
    sheetDidEnd(0);
}

std::vector<std::string> AppController::scanKeywords() const
{
    std::vector<std::string> keywords;
    if (!scanKeywordsTextView)
        return keywords;
    // The document's own line ends, never the lines the view wraps a long keyword into.
    const QString text = scanKeywordsTextView->toPlainText();
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        keywords.push_back(line.toStdString());
    }
    return keywords;
}

void AppController::scanWindowEndOK()
{
    if (busy)
        return;
    if (scanWindow)
        scanWindow->done(1);
    sheetDidEnd(1);
    CDisk* target = disk;
    if (!target)
        return;
    const bool searchText = activateTextScanCheckbox && activateTextScanCheckbox->isChecked();
    const bool limitKeywords = limitTextKeywordsCheckbox && limitTextKeywordsCheckbox->isChecked();
    const std::vector<std::string> keywords = scanKeywords();
    const auto configure = [&] {
        rec->setEnableSearchText(searchText);
        rec->setEnableSearchKeywords(limitKeywords);
        rec->setKeywords(keywords);
    };
    if (!runScan(target, QStringLiteral("ScanningDeletedFilesPleaseWait"), ScanDeletedFiles, configure))
        return;
    setHelpText(localizedString(QStringLiteral("SelectFilesToRecoverHint")), true);
    validateCommands();
    QString notice = localizedString(QStringLiteral("EndOfScanNotice"));
    if (const QString readErrors = scanReadErrorsNotice(); !readErrors.isEmpty())
        notice += QStringLiteral("\n\n") + readErrors;
    showTextAlert(QStringLiteral("EndOfScan"), notice);
    reportScanFailure();
}

QString AppController::scanReadErrorsNotice() const
{
    int64_t sectors = 0;
    {
        EngineLocker lock(engineLock());
        if (rec)
            sectors = rec->scanReadErrors;
    }
    if (sectors <= 0)
        return {};
    return localizedFormat(QStringLiteral("ScanReadErrorsNotice"), {formattedCount(sectors)});
}

void AppController::reportScanFailure()
{
    // A scan that could not do its work (e.g. the file-type descriptions did not load) must not
    // pass for one that found nothing.
    QString failure;
    {
        EngineLocker lock(engineLock());
        if (rec)
            failure = QString::fromStdString(rec->scanFailure);
    }
    if (!failure.isEmpty())
        showTextAlert(QStringLiteral("EndOfScan"), failure);
}

void AppController::showTextAlert(const QString& titleKey, const QString& message)
{
    if (isQuitting() || !services.alerts)
        return;
    services.alerts->runAlert(mainWindow, localizedString(titleKey), message, localizedString(QStringLiteral("OK")));
}

void AppController::sheetDidEnd(int returnCode)
{
    logLine(QStringLiteral("sheetDidEnd: %1").arg(returnCode));
}

// --- Window commands ---

void AppController::about()
{
    logLine(QStringLiteral("about"));
    if (services.about)
        services.about->showAbout(mainWindow, infoValue(QStringLiteral("AppName")),
                                  infoValue(QStringLiteral("CFBundleShortVersionString")),
                                  infoValue(QStringLiteral("NSHumanReadableCopyright")));
}

void AppController::help()
{
    logLine(QStringLiteral("help"));
    // The help file is one of the program's resources; without its name there is nothing to open
    // (the bare resource folder would be opened instead).
    const QString name = infoValue(QStringLiteral("HelpFile"));
    if (name.isEmpty() || !services.fileOpener)
        return;
    services.fileOpener->openFile(resourceFolder() + QLatin1Char('/') + name);
}

void AppController::toggleViewer()
{
    logLine(QStringLiteral("toggleViewer"));
    if (!viewerWindow)
        return;
    // The zoom starts from (or ends at) the toolbar button on the screen.
    QRect rect;
    if (auto* item = qobject_cast<QWidgetAction*>(toolbarItem(QStringLiteral("ToggleViewer"))))
        if (QWidget* button = item->defaultWidget(); button && button->isVisible())
            rect = QRect(button->mapToGlobal(QPoint(0, 0)), button->size());
    if (rect.isEmpty() && mainWindow)
        rect = QRect(mainWindow->geometry().center(), QSize(1, 1));
    if (!viewerWindow->isVisible()) {
        placeViewerWindow();
        zoomOnFromRect(viewerWindow, rect);
        viewerWindow->show();
        if (mainWindow) {
            mainWindow->raise();
            mainWindow->activateWindow();
        }
        // The viewer floats above the main window also where no window manager keeps it there.
        viewerWindow->raise();
        tableViewSelectionDidChange();
    } else {
        zoomOffToRect(viewerWindow, rect);
        viewerWindow->hide();
    }
}
