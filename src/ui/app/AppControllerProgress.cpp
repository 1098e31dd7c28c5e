// The progress sheet around an engine call, and the engine's events through the status listener:
// throttled progress, Cancel, and the views the events marked for a reload.
#include "AppController.h"
#include "EngineLock.h"
#include "OutlineExpander.h"
#include "TreeModelAdapter.h"

#include "recovery.h"

#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>

namespace {
constexpr double kProgressInterval = 0.1; // seconds between two updates that reach the views
constexpr int kProgressScale = 100;       // the bar counts hundredths of a percent
// Between two accepted updates the sheet still gets the event loop this often, so it paints and
// hears its Cancel button while the engine works; its texts and bar change only at the updates.
constexpr double kSheetPumpInterval = 0.03;

double clockNow(const AppServices& services)
{
    return services.clock ? services.clock->now() : 0.0;
}
} // namespace

bool AppController::beginProgressSheet(const QString& textKey, const QString& titleKey)
{
    if (busy || !progressWindow || quitWhenIdle) {
        logLine(busy              ? QStringLiteral("refused: another operation is running")
                : !progressWindow ? QStringLiteral("refused: no progress window")
                                  : QStringLiteral("refused: the program is quitting"));
        return false;
    }
    busy = true;
    cancelAction = false;
    progressTextPending = false;
    progressText->setText(localizedString(textKey));
    progressCancelButton->setEnabled(true);
    progressWindow->setWindowTitle(localizedString(titleKey));
    progressIndicator->setAccessibleName(progressWindow->windowTitle());
    // Each operation starts with a moving bar: the last one's value never shows.
    progressIndicator->setRange(0, 0);
    progressIndicator->reset();
    // The sheet blocks the window by turning its menus, toolbar and views off rather than by
    // being modal: a window that a modal dialog blocks never hears of the window manager's close
    // request, and closing the window while the engine runs must cancel and then quit.
    mainWindow->menuBar()->setEnabled(false);
    if (mainToolbar)
        mainToolbar->setEnabled(false);
    if (mainWindow->centralWidget())
        mainWindow->centralWidget()->setEnabled(false);
    validateCommands();
    progressWindow->setWindowModality(Qt::NonModal);
    progressWindow->show();
    progressWindow->raise();
    progressWindow->activateWindow();
    modalSession = progressWindow;
    return true;
}

void AppController::endProgressSheet()
{
    if (!busy)
        return;
    // The operation's last reads show with its end, not at a later refresh.
    updateReadErrorCount();
    modalSession = nullptr;
    if (progressWindow)
        progressWindow->hide();
    busy = false;
    if (mainWindow) {
        mainWindow->menuBar()->setEnabled(true);
        if (mainWindow->centralWidget())
            mainWindow->centralWidget()->setEnabled(true);
    }
    if (mainToolbar)
        mainToolbar->setEnabled(true);
    validateCommands();
    if (quitWhenIdle) {
        // The window was closed while the engine ran: close it again now that it may go.
        QTimer::singleShot(0, this, [this] {
            if (mainWindow)
                mainWindow->close();
        });
    }
}

void AppController::updateReadErrorCount()
{
    if (!numberErrorsText || !rec || !rec->cachedDisk || !rec->cachedDisk->disk)
        return;
    // The thumbnail worker reads through the same disk under the engine lock; the timer never
    // waits for it and simply refreshes the count at a later tick.
    std::unique_lock<std::recursive_mutex> lock(engineLock(), std::try_to_lock);
    if (!lock.owns_lock())
        return;
    const int64_t sectors = rec->operationReadErrors();
    const QString text =
        localizedFormat(sectors == 1 ? QStringLiteral("ReadErrorsSector") : QStringLiteral("ReadErrorsSectors"),
                        {formattedCount(sectors)});
    if (numberErrorsText->text() != text)
        numberErrorsText->setText(text);
}

bool AppController::progressUpdateDue()
{
    const double now = clockNow(services);
    if (lastProgressUpdateSet && now - lastProgressUpdate < kProgressInterval)
        return false;
    lastProgressUpdateSet = true;
    lastProgressUpdate = now;
    return true;
}

void AppController::showPendingProgressText()
{
    if (!progressTextPending)
        return;
    progressTextPending = false;
    logLine(QStringLiteral("setProgressText"));
    if (progressText)
        progressText->setText(pendingProgressText);
}

void AppController::pumpProgressSheet()
{
    if (!modalSession || !services.eventPump)
        return;
    lastSheetPump = clockNow(services);
    services.eventPump->processEvents();
}

void AppController::progressEvent(double percent, bool* cancel)
{
    if (!progressUpdateDue()) {
        // The file names of a save share the pace and take nearly every update: a cancel still
        // reaches the engine at its next call.
        if (cancelAction && cancel)
            *cancel = true;
        // A rejected update changes nothing shown; it only keeps the window answered. Not while
        // the engine has changed what a view shows: it reads it again at an accepted update
        // before it may repaint. (A search empties both views before it starts.)
        const bool outlineCurrent = !updateOutlineViewPending || !treeObjDict || !outlineAdapter()->model();
        const bool tableCurrent = !updateTableViewPending || !tableModel;
        if (modalSession && outlineCurrent && tableCurrent && clockNow(services) - lastSheetPump >= kSheetPumpInterval)
            pumpProgressSheet();
        return;
    }

    {
        // Only this handler takes the lock; a call nested in the update below finds it taken and
        // returns, instead of waiting for itself.
        std::unique_lock<std::mutex> lock(theLock, std::try_to_lock);
        if (!lock.owns_lock())
            return;
        updateReadErrorCount();
        showPendingProgressText();
        if (progressIndicator) {
            if (percent == 0) {
                progressIndicator->setRange(0, 0);
            } else {
                if (progressIndicator->maximum() == 0)
                    progressIndicator->setRange(0, 100 * kProgressScale);
                progressIndicator->setValue(int(qBound(0.0, percent, 100.0) * kProgressScale));
            }
        }
        if (updateOutlineViewPending) {
            reloadOutlineView();
            if (expandOutlineViewPending)
                expandOutlineView();
            updateOutlineViewPending = false;
            expandOutlineViewPending = false;
        }
        if (updateTableViewPending) {
            reloadTableView();
            updateTableViewPending = false;
        }
        if (cancelAction) {
            if (progressCancelButton)
                progressCancelButton->setEnabled(false);
            if (cancel)
                *cancel = true;
        }
    }
    pumpProgressSheet();
}

void AppController::_setProgressText(const QString& text)
{
    // A save names every file it writes: laying out each name and running the event loop for it
    // cost more than writing a small file. The text is shown at the pace of the progress updates,
    // the latest one winning; the update that follows it shows it when this one may not.
    pendingProgressText = text;
    progressTextPending = true;
    if (!progressUpdateDue())
        return;
    showPendingProgressText();
    pumpProgressSheet();
}

void AppController::progressWindowEndCancel()
{
    logLine(QStringLiteral("cancel"));
    cancelAction = true;
}

void AppController::diskListChangedEvent()
{
    updateOutlineViewPending = true;
    expandOutlineViewPending = true;
}

void AppController::itemChangedEvent(CVolumeItem* item)
{
    if (item == folder)
        updateTableViewPending = true;
    updateOutlineViewPending = true;
    if (!rec || item != rec->searchFolder)
        expandOutlineViewPending = true;
}

void AppController::expandOutlineView()
{
    if (!outlineView || !outlineView->model())
        return;
    QAbstractItemModel* model = outlineView->model();
    if (rec && rec->scanType == ScanLostFiles) {
        const QModelIndex first = model->index(0, 0);
        if (first.isValid())
            outlineView->expand(first);
        return;
    }
    // Every row with its whole subtree: the top-level rows' subtrees hold all the others. A large
    // tree is read in slices with the window answered in between.
    QList<QModelIndex> tops;
    for (int row = 0; row < model->rowCount(); ++row)
        tops.append(model->index(row, 0));
    OutlineExpander::of(outlineView)->expandAll(tops);
}

void AppController::playSound(const QString& resourceName)
{
    if (services.sound)
        services.sound->play(resourceName);
}
