// The application controller: builds the main window and its sheets, owns the engine, the status
// listener, the disk manager and the preview maker, and is the target of every command and the
// data source of the outline, the table and the thumbnail grid. Engine operations run on the main
// thread under the progress sheet; while one runs every command is refused.
//
// Where it is implemented:
//   AppController.cpp            start-up, the window, shutdown
//   AppControllerTexts.cpp       the interface texts and the Info values
//   AppControllerProgress.cpp    the progress sheet and the engine's events
//   AppControllerHelp.cpp        the hint line and the timer
//   AppControllerToolbar.cpp     the toolbar
//   AppControllerCommands.cpp    the disk and scan commands, About, Help, the viewer
//   AppControllerDataSources.cpp the outline, table and thumbnail data sources
//   AppControllerSave.cpp        save, report and search
#pragma once

#include "Services.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QAbstractItemModel;
class QAction;
class QCheckBox;
class QDialog;
class QEvent;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableView;
class QTimer;
class QToolBar;
class QTreeView;
class QWidget;
class SplashController;

class CAbstractTableModel;
class CAbstractTreeModel;
class CBase;
class CDisk;
class CDiskManager;
class CRecovery;
class CVolumeItem;
class MyStatusListener;
class Preview;
class QuilThumbnailView;
class QuilThumbnailDataSource;
class TreeModelAdapter;
class TableModelAdapter;

class AppController : public QObject {
    Q_OBJECT

public:
    // --- Start-up and shutdown ---
    // init: the engine, the listener, the disk manager, the timer; no window work.
    explicit AppController(AppServices services = AppServices::real(), QObject* parent = nullptr);
    // dealloc: tears down in a fixed order (see dealloc()).
    ~AppController() override;
    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    // The window description: builds the main window, the sheets and the viewer, with their
    // object names. Called between the constructor and awakeFromNib.
    void loadWindowDescription();
    void awakeFromNib();
    void applicationDidFinishLaunching();
    // The main window is closing: quits, or when the engine is busy cancels and quits once it returns.
    // Answers whether the window may close now.
    bool windowWillClose();
    void dealloc();
    // The controller that receives the listener's events (the application's delegate); may be null.
    static AppController* applicationDelegate();
    static void setApplicationDelegate(AppController* controller);
    // The splash that applicationDidFinishLaunching closes (may be null).
    void setSplashController(SplashController* splash);

    // --- Interface texts ---
    void updateUIstrings();
    // The localized text of key; the key itself when the table has none.
    QString localizedString(const QString& key) const;
    // The Info value of key; a null QString when the Info table lacks it.
    QString infoValue(const QString& key) const;
    // The localized text of key used as a format: "%@" and "%n$@" take the arguments as data, in one pass.
    QString localizedFormat(const QString& key, const QStringList& arguments) const;
    // An alert whose title, message and buttons are localization keys (empty keys: no button).
    // Once the window was closed to quit, answers the last button given without showing anything.
    AlertAnswer showAlert(const QString& titleKey, const QString& messageKey, const QString& defaultKey,
                          const QString& alternateKey = {}, const QString& otherKey = {});

    // --- Progress sheet and status listener ---
    void progressEvent(double percent, bool* cancel);
    void _setProgressText(const QString& text);
    void progressWindowEndCancel();
    void diskListChangedEvent();
    void itemChangedEvent(CVolumeItem* item);
    void expandOutlineView();
    // Opening and closing the progress sheet around an engine call. beginProgressSheet refuses
    // (answers false) while another operation runs; otherwise the caller must endProgressSheet.
    bool beginProgressSheet(const QString& textKey, const QString& titleKey);
    void endProgressSheet();
    // True while an engine operation runs under the progress sheet.
    bool isBusy() const { return busy; }
    void playSound(const QString& resourceName);
    // True once the main window was closed while busy: the running command should wind up quietly.
    bool isQuitting() const { return quitWhenIdle; }
    // Reload the outline and the table from their engine models (the data-source adapters' reset).
    void reloadOutlineView();
    void reloadTableView();

    // --- Help-text line and spoken hints ---
    void setHelpText(const QString& text, bool onlyUpdateIfNew);
    void timer();
    void speakHintsClick();

    // --- Toolbar ---
    void setupToolbar();
    QAction* toolbar(const QString& itemIdentifier);
    static QStringList toolbarDefaultItemIdentifiers();
    QAction* createToolbarItem(const QString& identifier, const QString& title, const QString& imageName,
                               void (AppController::*action)());
    bool validateToolbarItem(const QString& identifier) const;
    void hoverButtonEntered(const QString& identifier);
    void hoverButtonExited(const QString& identifier);
    // Enables each command by its rule (all off while busy); run after every command and selection change.
    void validateCommands();
    // The toolbar item of an identifier once setupToolbar made it (its view is the button or the
    // search field); nullptr otherwise.
    QAction* toolbarItem(const QString& identifier) const;

    // --- Disk and scan commands ---
    void chooseDisk();
    void browseVolume();
    void lostVolumesScan();
    void lostFilesScan();
    void deletedFilesScan();
    void activateTextScanClick();
    void scanWindowEndOK();
    void scanWindowEndCancel();
    void about();
    void help();
    void toggleViewer();
    void sheetDidEnd(int returnCode);
    void setTreeModel(CAbstractTreeModel* model);
    // Whether the outline shows the engine's results (which setDisk and a scan free), not the disk list.
    bool showsResults() const;
    bool openDiskOrSay(CDisk* target);
    void setTableModel(CAbstractTableModel* model);
    // The keywords of the options sheet: its plain text split at line ends (never at soft wraps).
    std::vector<std::string> scanKeywords() const;

    // --- Outline, table and thumbnail data sources ---
    void outlineViewItemDidExpand();
    // modelChanged: run for a newly installed or reloaded model rather than a choice of row. The
    // disk the results were made from then stays chosen, so the disk commands stay available.
    void outlineViewSelectionDidChange(bool modelChanged = false);
    void tableViewSelectionDidChange();
    int thumbCount();
    QImage thumbAtIndex(int index); // called on the grid's worker thread
    QString thumbHeaderAtIndex(int index);
    QString thumbFooterAtIndex(int index);
    void thumbViewSelectionDidChange();
    void sortByName();
    void sortBySize();
    void tabViewDidSelectTabViewItem(int index);
    // The Qt models of the outline and the table (made on first use).
    TreeModelAdapter* outlineAdapter();
    TableModelAdapter* tableViewAdapter();

    // --- Save, report and search ---
    std::vector<CVolumeItem*> getSelectedItemList();
    void save();
    void saveReport();
    void searchUsingToolbarSearchField();
    // Whether saving into folderPath may go on: asks first when the folder lies on the device the
    // engine reads (saving there would overwrite the blocks the lost files lie in).
    bool confirmSaveTarget(const QString& folderPath);

    // Read by tests and by the pieces built on this class.
    const AppServices& appServices() const { return services; }
    CRecovery* recovery() const { return rec; }

    // --- Windows (the window description) ---
    QMainWindow* mainWindow = nullptr;
    QDialog* scanWindow = nullptr;     // scan-options sheet
    QDialog* progressWindow = nullptr; // progress sheet
    QWidget* viewerWindow = nullptr;   // file viewer, a tool window that stays on top

    // --- Main window controls ---
    QLabel* helpTextView = nullptr; // the hint line
    QTreeView* outlineView = nullptr;
    QTableView* tableView = nullptr;
    QTabWidget* tabView = nullptr; // tabs "table" and "thumb"
    QuilThumbnailView* thumbView = nullptr;
    QWidget* thumbTab = nullptr; // the thumbnail tab's page, which holds thumbView
    QLineEdit* searchField = nullptr;
    QLabel* imageView = nullptr; // the viewer window's picture
    QCheckBox* speakHintsCheckbox = nullptr;
    QAction* sortByNameMenuItem = nullptr;
    QAction* sortBySizeMenuItem = nullptr;
    QLabel* readErrorsText = nullptr;
    QLabel* numberErrorsText = nullptr;
    QProgressBar* progressSpinner = nullptr;
    QLabel* progressSpinnerText = nullptr;
    QToolBar* mainToolbar = nullptr;
    QWidget* backgroundView = nullptr; // the main window's central background

    // The menus (the main menu's items 0, 3, 4, 5) and the application menu's items by position.
    QMenu* applicationMenu = nullptr;
    QMenu* viewMenu = nullptr;
    QMenu* sortMenu = nullptr;
    QMenu* windowMenu = nullptr;
    QMenu* helpMenu = nullptr;
    QAction* aboutMenuItem = nullptr;
    QAction* preferencesMenuItem = nullptr;
    QAction* servicesMenuItem = nullptr;
    QAction* hideMenuItem = nullptr;
    QAction* hideOthersMenuItem = nullptr;
    QAction* showAllMenuItem = nullptr;
    QAction* quitMenuItem = nullptr;
    QAction* minimizeMenuItem = nullptr;
    QAction* zoomMenuItem = nullptr;
    QAction* bringAllToFrontMenuItem = nullptr;
    QAction* appHelpMenuItem = nullptr;

    // --- Scan-options sheet controls ---
    QCheckBox* limitTextKeywordsCheckbox = nullptr;
    QCheckBox* activateTextScanCheckbox = nullptr;
    QPlainTextEdit* scanKeywordsTextView = nullptr;
    QLabel* scanOptionsStatic = nullptr;
    QLabel* scanOptionsHeaderStatic = nullptr;
    QLabel* scanTextKeywordsStatic = nullptr;
    QPushButton* startScanButton = nullptr;
    QPushButton* cancelScanButton = nullptr;

    // --- Progress sheet controls ---
    QLabel* progressText = nullptr;
    QProgressBar* progressIndicator = nullptr;
    QPushButton* progressCancelButton = nullptr;

protected:
    // Closing the main window goes through windowWillClose.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Writes one diagnostic line of the controller (through the engine's log switch).
    void logLine(const QString& text) const;

    AppServices services;

    // --- Engine objects, owned ---
    CRecovery* rec = nullptr;
    MyStatusListener* statusListener = nullptr;
    CDiskManager* diskman = nullptr;

    // --- Shown state ---
    CAbstractTreeModel* treeModel = nullptr;    // owned, may be null
    CAbstractTableModel* tableModel = nullptr;  // owned, may be null
    CVolumeItem* folder = nullptr;              // the folder the table shows; not owned
    CDisk* disk = nullptr;                      // the disk selected in the outline; not owned
    QAbstractItemModel* treeObjDict = nullptr;  // the outline's Qt adapter over treeModel, owned
    QAbstractItemModel* tableAdapter = nullptr; // the table's Qt adapter over tableModel, owned

    // --- Toolbar: the items by identifier ---
    std::map<QString, QAction*> toolbarItems;

    // --- Data sources ---
    // Makes the adapters and the grid's data source and wires the views' selections, once.
    void connectViews();
    // Before the engine frees items (setDisk, a scan): stops the grid's worker, empties the table,
    // forgets folder and reloads the grid; with clearTree also takes the result tree off the outline.
    void releaseShownItems(bool clearTree);
    // Stops the grid's worker and waits for it (a worker waiting for the engine lock gives up).
    void stopThumbWorker();
    // Shows why the last scan could not do its work, when it could not.
    void reportScanFailure();
    // The end notice's words on the sectors the last scan could not read; empty when it read all.
    QString scanReadErrorsNotice() const;
    // An alert with a title key, a message already made and the OK button; none once quitting.
    void showTextAlert(const QString& titleKey, const QString& message);
    // Tells, once per browse each, that the browsed volume runs past the end of its disk and that its
    // catalog is damaged. Folders are listed as the outline shows them, so damage may be met after
    // the browse command: the timer asks again while the browse is shown.
    void tellBrowseDamage();
    bool watchBrowseDamage = false; // the outline shows a browse whose damage is still to be told
    bool truncationTold = false;
    bool catalogDamageTold = false;
    // Reloads the grid (and the footers of thumbFolder, the folder its worker reads).
    void reloadThumbView();
    std::shared_ptr<QuilThumbnailDataSource> thumbSource;
    CVolumeItem* thumbFolder = nullptr;      // the folder of the installed table model; engine lock
    QStringList thumbFooters;                // its children's names, read at the reload (main thread)
    std::atomic<bool> thumbsHalted{false};   // the main thread waits for the worker: give up the lock wait
    bool handlingOutlineSelection = false;
    bool viewerPlaced = false;

    // --- Service objects, owned ---
    // Shared so that this header need not know the class: the deleter comes from where it was made.
    std::shared_ptr<Preview> preview;
    QTimer* tickTimer = nullptr; // the repeating 0.1-second timer that drives timer()
    // Taken around each progress update; a nested update finds it taken and returns at once.
    std::mutex theLock;

    // --- Configuration: the Info values read at start-up ---
    std::map<QString, QString> localInfoDict;

    // --- Help-text line ---
    float helpAlpha = 1.0f;
    QString helpText;  // null: no hint yet
    int fadestate = 0; // 0 idle, 1 fading in, 2 fading out

    // --- Progress and refresh requests ---
    bool cancelAction = false;
    bool updateOutlineViewPending = false;
    bool expandOutlineViewPending = false;
    bool updateTableViewPending = false;
    QDialog* modalSession = nullptr; // the progress sheet while an operation runs
    bool busy = false;
    bool quitWhenIdle = false;     // the main window was closed while busy
    double lastProgressUpdate = 0; // clock time of the last accepted progress update; 0: none yet
    bool lastProgressUpdateSet = false;
    double lastSheetPump = 0; // clock time the progress sheet last had the event loop
    // The engine's latest progress text, not yet shown (see _setProgressText).
    QString pendingProgressText;
    bool progressTextPending = false;

private:
    // Wraps widget as the toolbar item of identifier and keeps it for toolbar(identifier).
    QAction* addToolbarItem(const QString& identifier, const QString& title, QWidget* widget);
    // Opens the disk and runs one scan (of the engine's ScanType) under the progress sheet;
    // configure, when given, sets the scan's options under the engine lock. False when the disk did
    // not open or the sheet could not start.
    bool runScan(CDisk* target, const QString& waitMessage, int scanType, const std::function<void()>& configure = {});
    // Checks the chosen sort's menu item and shows the folder's table again in that order (a volume SortType).
    void sortTable(int sortType, QAction* chosen, QAction* other);
    void buildMainWindow();
    void buildScanWindow();
    void buildProgressWindow();
    void buildViewerWindow();
    // Puts the viewer's frame inside the screen's available area: at its bottom right the first
    // time, and moved in only as far as needed after that.
    void placeViewerWindow();
    void updateReadErrorCount();
    // Whether a progress update may reach the views now (at most one every 0.1 s); marks it taken.
    bool progressUpdateDue();
    void pumpProgressSheet();
    // Frees the results the engine released, a slice at each turn of the event loop.
    void freeReleasedResultsSoon();
    bool freeingReleased = false; // a slice is scheduled: a second release joins it
    void showPendingProgressText();
    void forgetWidgets();

    bool deallocated = false;
    QPointer<SplashController> splash;
};

// Formats a Cocoa-style format text in one pass: "%@" takes the next argument, "%n$@" the n-th,
// "%%" is a percent sign; a missing argument reads "(null)". Arguments are never read as formats.
QString formatWithObjects(const QString& format, const QStringList& arguments);
// A count with its digits grouped in the user's language ("204,928"), also where the locale
// would leave them ungrouped.
QString formattedCount(qint64 count);
