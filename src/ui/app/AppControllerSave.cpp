// Save, the file-list report and the search: each hands the chosen result items to the engine
// under the progress sheet and the engine lock.
#include "AppController.h"

#include "EngineLock.h"
#include "SaveTarget.h"
#include "SelectedItems.h"
#include "TableModelAdapter.h"
#include "TreeModelAdapter.h"
#include "partitiondisk.h"
#include "recovery.h"

#include <QDateTime>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMainWindow>
#include <QTableView>
#include <QTimeZone>
#include <QTreeView>

namespace {

// How many of the files a save left incomplete its notice names.
constexpr size_t kIncompleteListed = 15;

QModelIndexList selectedRows(const QAbstractItemView* view)
{
    return view && view->selectionModel() ? view->selectionModel()->selectedRows() : QModelIndexList();
}

// The date and time the way the report title shows it: YYYY-MM-DD HH:MM:SS +HHMM, local time.
QString reportDate(const QDateTime& when)
{
    const int offset = when.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + QLatin1Char(offset < 0 ? '-' : '+') +
           QStringLiteral("%1%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

std::vector<CVolumeItem*> AppController::getSelectedItemList()
{
    return ::getSelectedItemList(selectedRows(tableView), folder, selectedRows(outlineView), outlineAdapter());
}

bool AppController::confirmSaveTarget(const QString& folderPath)
{
    std::string devicePath;
    {
        EngineLocker lock(engineLock());
        CDisk* source = rec && rec->cachedDisk ? rec->cachedDisk->disk : nullptr;
        // A partition window reads its parent's device.
        while (auto* window = dynamic_cast<CPartitionDisk*>(source))
            source = window->getParent();
        if (source)
            devicePath = source->getPath();
    }
    if (devicePath.empty() || !folderLiesOnDevice(folderPath.toStdString(), devicePath))
        return true;
    logLine(QStringLiteral("save target lies on the disk being recovered"));
    return showAlert(QStringLiteral("SavingFiles"), QStringLiteral("AskSaveOnSourceDisk"), QStringLiteral("Yes"),
                     QStringLiteral("No")) == AlertAnswer::Default;
}

void AppController::save()
{
    if (busy || !rec)
        return;
    logLine(QStringLiteral("save"));
    const std::vector<CVolumeItem*> items = getSelectedItemList();
    showAlert(QStringLiteral("SavingFiles"), QStringLiteral("ChooseFolderNotice"), QStringLiteral("OK"));
    if (isQuitting() || !services.filePanels)
        return;
    const QString target =
        services.filePanels->chooseFolder(mainWindow, localizedString(QStringLiteral("ChooseFolderForFiles")));
    if (target.isEmpty() || !confirmSaveTarget(target))
        return;
    EngineLocker lock(engineLock());
    if (!beginProgressSheet(QStringLiteral("SavingPleaseWait"), QStringLiteral("SaveProgress")))
        return;
    const bool whole = rec->save(items, target.toStdString());
    const std::vector<std::string> incomplete = rec->incompleteFiles;
    const bool cancelled = rec->saveCancelled;
    const int64_t saved = rec->savedFileCount;
    endProgressSheet();
    if (isQuitting() || !services.alerts || whole || (!cancelled && incomplete.empty()))
        return;
    // A cancelled save, or one that left files incomplete, must not pass for one that saved them all.
    QStringList paragraphs;
    if (cancelled)
        paragraphs << localizedFormat(QStringLiteral("SaveCancelledNotice"), {QString::number(saved)});
    if (!incomplete.empty()) {
        QStringList lines;
        for (size_t i = 0; i < incomplete.size() && i < kIncompleteListed; ++i)
            lines << QString::fromStdString(incomplete[i]);
        if (incomplete.size() > kIncompleteListed)
            lines << QStringLiteral("\u2026");
        paragraphs << localizedString(QStringLiteral("SaveIncompleteNotice")) << lines.join(QLatin1Char('\n'));
    }
    services.alerts->runAlert(mainWindow, localizedString(QStringLiteral("SavingFiles")),
                              paragraphs.join(QStringLiteral("\n\n")), localizedString(QStringLiteral("OK")));
}

void AppController::saveReport()
{
    if (busy || !rec)
        return;
    logLine(QStringLiteral("saveReport"));
    if (!services.filePanels)
        return;
    // The HTML type's two extensions: a name typed with either keeps it.
    const QStringList extensions = {QStringLiteral("html"), QStringLiteral("htm")};
    QString path = services.filePanels->chooseSaveFile(
        mainWindow, localizedString(QStringLiteral("ChooseNameFileReport")), QStringLiteral("report.html"), extensions);
    if (path.isEmpty())
        return;
    // The report is an HTML file whatever name was typed.
    if (!extensions.contains(QFileInfo(path).suffix(), Qt::CaseInsensitive))
        path += QStringLiteral(".html");
    EngineLocker lock(engineLock());
    if (!beginProgressSheet(QStringLiteral("SavingReportPleaseWait"), QStringLiteral("SaveReportProgress")))
        return;
    const std::vector<CVolumeItem*> items = getSelectedItemList();
    const std::string footer = infoValue(QStringLiteral("NSHumanReadableCopyright")).toStdString();
    const std::string title =
        localizedFormat(QStringLiteral("AppFileListReportOnDate"),
                        {infoValue(QStringLiteral("AppName")), reportDate(QDateTime::currentDateTime())})
            .toStdString();
    const bool written = rec->saveReport(items, path.toStdString(), title, footer);
    const bool cancelled = cancelAction;
    endProgressSheet();
    // A cancelled report wrote nothing, as asked: no failure to report.
    if (!written && !cancelled)
        showAlert(QStringLiteral("SaveFileList"), QStringLiteral("SaveReportFailedNotice"), QStringLiteral("OK"));
}

void AppController::searchUsingToolbarSearchField()
{
    if (busy || !rec || !searchField)
        return;
    const QString text = searchField->text();
    logLine(QStringLiteral("searchUsingToolbarSearchField ") + text);
    {
        EngineLocker lock(engineLock());
        if (!rec->resultRoot)
            return;
    }
    // The search empties its folder (freeing what an earlier search took in): the table, the grid
    // and the outline let go of every row first.
    releaseShownItems(false);
    TreeModelAdapter* outline = outlineAdapter();
    const QList<TreeModelAdapter::ItemPath> expanded =
        outlineView ? outline->expandedPaths(outlineView) : QList<TreeModelAdapter::ItemPath>();
    if (outlineView)
        outlineView->clearSelection();
    outline->setModel(nullptr);
    {
        EngineLocker lock(engineLock());
        const bool searched =
            beginProgressSheet(QStringLiteral("SearchingFilesPleaseWait"), QStringLiteral("SearchProgress"));
        // Over a large result the outline and the table take a while each to rebuild: the sheet
        // stays up until both are, and the window is answered between the steps.
        auto answerWindow = [this, searched] {
            if (searched)
                pumpProgressSheet();
        };
        if (searched) {
            // HFS Plus keeps names decomposed: the typed text is compared in the same form.
            rec->searchItems(text.normalized(QString::NormalizationForm_D).toStdString());
            answerWindow();
            // The table puts what it shows in order when it is installed: the finds are put in
            // order first, in a turn of their own while no view shows anything, so the table is
            // installed over a list already in order.
            if (rec->searchFolder) {
                rec->searchFolder->keepChildrenSorted();
                answerWindow();
            }
        }
        outline->setModel(treeModel);
        if (outlineView) {
            outline->restoreExpanded(outlineView, expanded);
            // The search folder is a child of the result root: show the root's children.
            const QModelIndex root = outline->index(0, 0);
            if (root.isValid()) {
                outlineView->expand(root);
                outline->rowCount(root);
            }
        }
        answerWindow();
        outlineViewSelectionDidChange(true);
        const QModelIndex found = outline->findShown(rec->searchFolder);
        if (found.isValid() && outlineView) {
            outlineView->selectionModel()->setCurrentIndex(found, QItemSelectionModel::ClearAndSelect |
                                                                      QItemSelectionModel::Rows);
            outlineView->scrollTo(found);
        }
        if (searched)
            endProgressSheet();
    }
    validateCommands();
    logLine(QStringLiteral("searchUsingToolbarSearchField done"));
}
