// Start-up, the window description and shutdown of the application controller.
#include "AppController.h"

#include "MyStatusListener.h"
#include "Preview.h"
#include "QuilThumbnailView.h"
#include "SplashController.h"
#include "ViewBackground.h"
#include "diskmanager.h"
#include "logger.h"
#include "recovery.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

AppController* applicationDelegateInstance = nullptr;

// The outline's cells stand 10 pixels apart across and 2 down: half of that on each side of a cell.
class SpacedCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static constexpr QSize spacing{10, 2};

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return QStyledItemDelegate::sizeHint(option, index) + spacing;
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem inner(option);
        inner.rect.adjust(spacing.width() / 2, spacing.height() / 2, -spacing.width() / 2, -spacing.height() / 2);
        QStyledItemDelegate::paint(painter, inner, index);
    }
};

// A sheet whose Escape key and close box run an action of the controller instead of closing it:
// for the progress sheet that action is Cancel, which leaves the sheet up until the engine returns.
class SheetDialog : public QDialog {
public:
    SheetDialog(QWidget* parent, std::function<void()> onDismiss) : QDialog(parent), dismiss(std::move(onDismiss))
    {
        setWindowModality(Qt::WindowModal);
    }

    void reject() override
    {
        // The action itself may close the sheet through reject(); that call hides it.
        if (inDismiss || !dismiss) {
            QDialog::reject();
            return;
        }
        inDismiss = true;
        dismiss();
        inDismiss = false;
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (inDismiss || !dismiss || !isVisible()) {
            QDialog::closeEvent(event);
            return;
        }
        event->ignore();
        reject();
    }

private:
    std::function<void()> dismiss;
    bool inDismiss = false;
};

QLabel* makeLabel(QWidget* parent, const char* name, bool wrap = false)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(wrap);
    label->setTextFormat(Qt::PlainText); // labels show paths and names from the disk: never markup
    return label;
}

} // namespace

AppController::AppController(AppServices appServices, QObject* parent)
    : QObject(parent), services(std::move(appServices))
{
    logLine(QStringLiteral("init"));
    disk = nullptr;
    folder = nullptr;
    tableModel = nullptr;
    treeModel = nullptr;
    modalSession = nullptr;

    rec = services.makeRecovery ? services.makeRecovery() : nullptr;
    statusListener = new MyStatusListener(services.alerts, services.lookupText);
    if (rec)
        rec->setStatusListener(statusListener);

    helpAlpha = 1.0f;
    helpText = QString();
    expandOutlineViewPending = false;
    updateTableViewPending = false;
    updateOutlineViewPending = false;
    fadestate = 0;

    // Qt timers also fire inside the nested event handling of the progress sheet, so hints keep
    // fading while the engine runs.
    tickTimer = new QTimer(this);
    tickTimer->setInterval(100);
    connect(tickTimer, &QTimer::timeout, this, [this] { timer(); });
    tickTimer->start();

    preview = std::make_shared<Preview>();
    diskman = services.makeDiskManager ? services.makeDiskManager() : nullptr;
}

AppController::~AppController()
{
    dealloc();
}

AppController* AppController::applicationDelegate()
{
    return applicationDelegateInstance;
}

void AppController::setApplicationDelegate(AppController* controller)
{
    applicationDelegateInstance = controller;
}

void AppController::setSplashController(SplashController* splashController)
{
    splash = splashController;
}

void AppController::logLine(const QString& text) const
{
    GLEANER_LOG("%s\n", text.toUtf8().constData());
}

// --- The window description ---

void AppController::loadWindowDescription()
{
    if (mainWindow)
        return;
    buildMainWindow();
    buildScanWindow();
    buildProgressWindow();
    buildViewerWindow();
}

void AppController::buildMainWindow()
{
    mainWindow = new QMainWindow;
    mainWindow->setObjectName(QStringLiteral("mainWindow"));
    mainWindow->setWindowTitle(infoValue(QStringLiteral("AppName")));
    mainWindow->installEventFilter(this);

    // Menus: the application menu, File and Edit (titles of their own), View, Window, Help.
    QMenuBar* bar = mainWindow->menuBar();
    applicationMenu = bar->addMenu(infoValue(QStringLiteral("AppNameShort")));
    applicationMenu->setObjectName(QStringLiteral("applicationMenu"));
    aboutMenuItem = applicationMenu->addAction(QString(), this, [this] { about(); });
    applicationMenu->addSeparator();
    preferencesMenuItem = applicationMenu->addAction(QString());
    preferencesMenuItem->setEnabled(false); // there are no preferences
    applicationMenu->addSeparator();
    servicesMenuItem = applicationMenu->addAction(QString());
    servicesMenuItem->setEnabled(false);
    applicationMenu->addSeparator();
    hideMenuItem = applicationMenu->addAction(QString(), mainWindow, &QWidget::showMinimized);
    hideOthersMenuItem = applicationMenu->addAction(QString());
    hideOthersMenuItem->setEnabled(false);
    showAllMenuItem = applicationMenu->addAction(QString(), mainWindow, &QWidget::showNormal);
    applicationMenu->addSeparator();
    quitMenuItem = applicationMenu->addAction(QString(), mainWindow, &QWidget::close);
    quitMenuItem->setShortcut(QKeySequence::Quit);

    QMenu* fileMenu = bar->addMenu(QStringLiteral("&File"));
    fileMenu->setObjectName(QStringLiteral("fileMenu"));
    fileMenu->addAction(QStringLiteral("Close Window"), mainWindow, &QWidget::close)->setShortcut(QKeySequence::Close);

    QMenu* editMenu = bar->addMenu(QStringLiteral("&Edit"));
    editMenu->setObjectName(QStringLiteral("editMenu"));
    const auto editAction = [editMenu](const QString& title, QKeySequence::StandardKey key, const char* slot) {
        QAction* action = editMenu->addAction(title);
        action->setShortcut(key);
        QObject::connect(action, &QAction::triggered, editMenu, [slot] {
            if (QWidget* focus = QApplication::focusWidget())
                QMetaObject::invokeMethod(focus, slot);
        });
    };
    editAction(QStringLiteral("Cut"), QKeySequence::Cut, "cut");
    editAction(QStringLiteral("Copy"), QKeySequence::Copy, "copy");
    editAction(QStringLiteral("Paste"), QKeySequence::Paste, "paste");
    editAction(QStringLiteral("Select All"), QKeySequence::SelectAll, "selectAll");

    viewMenu = bar->addMenu(QString());
    viewMenu->setObjectName(QStringLiteral("viewMenu"));
    sortMenu = viewMenu->addMenu(QString());
    sortMenu->setObjectName(QStringLiteral("sortMenu"));
    sortByNameMenuItem = sortMenu->addAction(QString(), this, [this] { sortByName(); });
    sortByNameMenuItem->setObjectName(QStringLiteral("sortByNameMenuItem"));
    sortBySizeMenuItem = sortMenu->addAction(QString(), this, [this] { sortBySize(); });
    sortBySizeMenuItem->setObjectName(QStringLiteral("sortBySizeMenuItem"));

    windowMenu = bar->addMenu(QString());
    windowMenu->setObjectName(QStringLiteral("windowMenu"));
    minimizeMenuItem = windowMenu->addAction(QString(), mainWindow, &QWidget::showMinimized);
    minimizeMenuItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    zoomMenuItem = windowMenu->addAction(QString(), this, [this] {
        if (mainWindow->isMaximized())
            mainWindow->showNormal();
        else
            mainWindow->showMaximized();
    });
    windowMenu->addSeparator();
    bringAllToFrontMenuItem = windowMenu->addAction(QString(), this, [this] {
        mainWindow->raise();
        mainWindow->activateWindow();
    });

    helpMenu = bar->addMenu(QString());
    helpMenu->setObjectName(QStringLiteral("helpMenu"));
    appHelpMenuItem = helpMenu->addAction(QString(), this, [this] { help(); });
    appHelpMenuItem->setShortcut(QKeySequence::HelpContents);

    // The toolbar: filled by setupToolbar.
    mainToolbar = new QToolBar(mainWindow);
    mainToolbar->setObjectName(QStringLiteral("Toolbar"));
    mainToolbar->setMovable(false);
    mainToolbar->setFloatable(false);
    mainToolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    mainToolbar->toggleViewAction()->setEnabled(false);
    mainWindow->addToolBar(Qt::TopToolBarArea, mainToolbar);

    // The window's background: the grey gradient, with every control laid over it.
    auto* background = new ViewBackground;
    background->setBackgroundStyle(ViewBackground::GradientStyle);
    backgroundView = background;
    backgroundView->setObjectName(QStringLiteral("backgroundView"));
    auto* column = new QVBoxLayout(backgroundView);
    column->setContentsMargins(8, 8, 8, 6);

    // The window description's search field; setupToolbar replaces it with the toolbar's own.
    searchField = new QLineEdit(backgroundView);
    searchField->setObjectName(QStringLiteral("searchField"));
    searchField->hide();

    auto* splitter = new QSplitter(Qt::Horizontal, backgroundView);
    splitter->setObjectName(QStringLiteral("mainSplitter"));
    splitter->setChildrenCollapsible(false);
    outlineView = new QTreeView(splitter);
    outlineView->setObjectName(QStringLiteral("outlineView"));
    outlineView->setUniformRowHeights(true);
    outlineView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    outlineView->setModel(new QStandardItemModel(0, 1, this));
    outlineView->setItemDelegate(new SpacedCellDelegate(outlineView));

    tabView = new QTabWidget(splitter);
    tabView->setObjectName(QStringLiteral("tabView"));
    tableView = new QTableView;
    tableView->setObjectName(QStringLiteral("tableView"));
    tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView->setShowGrid(false);
    tableView->verticalHeader()->hide();
    tableView->horizontalHeader()->setStretchLastSection(true);
    tableView->setModel(new QStandardItemModel(0, 5, this));
    tabView->addTab(tableView, QString());
    tabView->tabBar()->setTabData(0, QStringLiteral("table"));
    thumbTab = new QWidget;
    thumbTab->setObjectName(QStringLiteral("thumbTab"));
    auto* thumbLayout = new QVBoxLayout(thumbTab);
    thumbLayout->setContentsMargins(0, 0, 0, 0);
    thumbView = new QuilThumbnailView(thumbTab);
    thumbLayout->addWidget(thumbView);
    tabView->addTab(thumbTab, QString());
    tabView->tabBar()->setTabData(1, QStringLiteral("thumb"));
    connect(tabView, &QTabWidget::currentChanged, this, [this](int index) { tabViewDidSelectTabViewItem(index); });
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 2);
    splitter->setSizes({320, 640});
    column->addWidget(splitter, 1);

    // The help line: the hint, the spoken-hints box, the read-error count.
    auto* helpRow = new QHBoxLayout;
    helpTextView = makeLabel(backgroundView, "helpTextView", true);
    helpTextView->setTextInteractionFlags(Qt::NoTextInteraction);
    helpTextView->setMinimumHeight(2 * helpTextView->fontMetrics().lineSpacing() + 4);
    helpTextView->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QFont hintFont = helpTextView->font();
    hintFont.setBold(true);
    helpTextView->setFont(hintFont);
    helpRow->addWidget(helpTextView, 1);
    speakHintsCheckbox = new QCheckBox(backgroundView);
    speakHintsCheckbox->setObjectName(QStringLiteral("speakHintsCheckbox"));
    connect(speakHintsCheckbox, &QCheckBox::clicked, this, [this] { speakHintsClick(); });
    helpRow->addWidget(speakHintsCheckbox);
    progressSpinner = new QProgressBar(backgroundView);
    progressSpinner->setObjectName(QStringLiteral("progressSpinner"));
    progressSpinner->setRange(0, 0);
    progressSpinner->setMaximumWidth(60);
    progressSpinner->hide();
    helpRow->addWidget(progressSpinner);
    progressSpinnerText = makeLabel(backgroundView, "progressSpinnerText");
    progressSpinnerText->hide();
    helpRow->addWidget(progressSpinnerText);
    helpRow->addSpacing(16);
    readErrorsText = makeLabel(backgroundView, "readErrorsText");
    helpRow->addWidget(readErrorsText);
    numberErrorsText = makeLabel(backgroundView, "numberErrorsText");
    numberErrorsText->setText(QStringLiteral("0"));
    numberErrorsText->setMinimumWidth(numberErrorsText->fontMetrics().horizontalAdvance(QStringLiteral("0000000")));
    helpRow->addWidget(numberErrorsText);
    column->addLayout(helpRow);

    mainWindow->setCentralWidget(backgroundView);
    mainWindow->resize(1000, 680);
}

void AppController::buildScanWindow()
{
    scanWindow = new SheetDialog(mainWindow, [this] { scanWindowEndCancel(); });
    scanWindow->setObjectName(QStringLiteral("scanWindow"));
    auto* layout = new QVBoxLayout(scanWindow);
    scanOptionsStatic = makeLabel(scanWindow, "scanOptionsStatic");
    QFont titleFont = scanOptionsStatic->font();
    titleFont.setBold(true);
    scanOptionsStatic->setFont(titleFont);
    layout->addWidget(scanOptionsStatic);
    scanOptionsHeaderStatic = makeLabel(scanWindow, "scanOptionsHeaderStatic", true);
    layout->addWidget(scanOptionsHeaderStatic);
    activateTextScanCheckbox = new QCheckBox(scanWindow);
    activateTextScanCheckbox->setObjectName(QStringLiteral("activateTextScanCheckbox"));
    connect(activateTextScanCheckbox, &QCheckBox::clicked, this, [this] { activateTextScanClick(); });
    layout->addWidget(activateTextScanCheckbox);
    limitTextKeywordsCheckbox = new QCheckBox(scanWindow);
    limitTextKeywordsCheckbox->setObjectName(QStringLiteral("limitTextKeywordsCheckbox"));
    layout->addWidget(limitTextKeywordsCheckbox);
    scanTextKeywordsStatic = makeLabel(scanWindow, "scanTextKeywordsStatic", true);
    layout->addWidget(scanTextKeywordsStatic);
    scanKeywordsTextView = new QPlainTextEdit(scanWindow);
    scanKeywordsTextView->setObjectName(QStringLiteral("scanKeywordsTextView"));
    scanKeywordsTextView->setTabChangesFocus(true);
    scanTextKeywordsStatic->setBuddy(scanKeywordsTextView);
    layout->addWidget(scanKeywordsTextView, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancelScanButton = new QPushButton(scanWindow);
    cancelScanButton->setObjectName(QStringLiteral("cancelScanButton"));
    cancelScanButton->setAutoDefault(false);
    connect(cancelScanButton, &QPushButton::clicked, this, [this] { scanWindowEndCancel(); });
    buttons->addWidget(cancelScanButton);
    startScanButton = new QPushButton(scanWindow);
    startScanButton->setObjectName(QStringLiteral("startScanButton"));
    startScanButton->setDefault(true);
    connect(startScanButton, &QPushButton::clicked, this, [this] { scanWindowEndOK(); });
    buttons->addWidget(startScanButton);
    layout->addLayout(buttons);
    scanWindow->resize(480, 380);
}

void AppController::buildProgressWindow()
{
    // Escape and the close box mean Cancel; the sheet stays until the engine returns.
    progressWindow = new SheetDialog(mainWindow, [this] { progressWindowEndCancel(); });
    progressWindow->setObjectName(QStringLiteral("progressWindow"));
    auto* layout = new QVBoxLayout(progressWindow);
    progressText = makeLabel(progressWindow, "progressText", true);
    progressText->setMinimumWidth(380);
    layout->addWidget(progressText);
    progressIndicator = new QProgressBar(progressWindow);
    progressIndicator->setObjectName(QStringLiteral("progressIndicator"));
    progressIndicator->setRange(0, 0);
    progressIndicator->setTextVisible(false);
    layout->addWidget(progressIndicator);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    progressCancelButton = new QPushButton(progressWindow);
    progressCancelButton->setObjectName(QStringLiteral("progressCancelButton"));
    progressCancelButton->setAutoDefault(false);
    connect(progressCancelButton, &QPushButton::clicked, this, [this] { progressWindowEndCancel(); });
    buttons->addWidget(progressCancelButton);
    layout->addLayout(buttons);
}

void AppController::buildViewerWindow()
{
    viewerWindow = new QWidget(mainWindow, Qt::Tool | Qt::WindowStaysOnTopHint);
    viewerWindow->setObjectName(QStringLiteral("viewerWindow"));
    auto* layout = new QVBoxLayout(viewerWindow);
    layout->setContentsMargins(4, 4, 4, 4);
    imageView = makeLabel(viewerWindow, "imageView");
    imageView->setAlignment(Qt::AlignCenter);
    imageView->setMinimumSize(1, 1);
    layout->addWidget(imageView);
    viewerWindow->resize(300, 300);
}

namespace {
// What the window manager adds around a window's contents; nothing until the window was shown.
QMargins frameMargins(const QWidget* window)
{
    const QRect frame = window->frameGeometry();
    const QRect inner = window->geometry();
    return QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                    frame.bottom() - inner.bottom());
}
} // namespace

void AppController::placeViewerWindow()
{
    if (!viewerWindow)
        return;
    QScreen* screen = mainWindow ? mainWindow->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // Before the viewer was first shown its frame is unknown: the main window's stands in for it.
    QMargins margins = frameMargins(viewerWindow);
    if (margins.isNull() && mainWindow)
        margins = frameMargins(mainWindow);
    const QSize frame = viewerWindow->size().grownBy(margins);
    // The viewer: bottom right of the screen, 5 pixels from its edges, above other windows.
    constexpr int kEdgeGap = 5;
    QPoint topLeft = viewerPlaced ? viewerWindow->frameGeometry().topLeft()
                                  : QPoint(area.right() + 1 - frame.width() - kEdgeGap,
                                           area.bottom() + 1 - frame.height() - kEdgeGap);
    topLeft.setX(std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() + 1 - frame.width())));
    topLeft.setY(std::clamp(topLeft.y(), area.top(), std::max(area.top(), area.bottom() + 1 - frame.height())));
    // A window's position is that of its frame.
    viewerWindow->move(topLeft);
    viewerPlaced = true;
}

// --- Start-up ---

void AppController::awakeFromNib()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        logLine(QStringLiteral("Real Memory available: %1 KB").arg((qint64(pages) * pageSize) >> 10));
    struct utsname system {};
    if (::uname(&system) == 0)
        logLine(QStringLiteral("System version: %1 %2 (%3)")
                    .arg(QString::fromLocal8Bit(system.sysname), QString::fromLocal8Bit(system.release),
                         QString::fromLocal8Bit(system.machine)));

    localInfoDict.clear();
    for (const char* key :
         {"AppName", "AppNameShort", "HelpFile", "NSHumanReadableCopyright", "CFBundleShortVersionString"}) {
        const QString value = services.lookupInfo ? services.lookupInfo(QLatin1String(key)) : QString();
        if (!value.isNull())
            localInfoDict[QLatin1String(key)] = value;
    }
    logLine(formatWithObjects(QStringLiteral("AppName: %@"), {infoValue(QStringLiteral("AppName"))}));
    logLine(formatWithObjects(QStringLiteral("CFBundleShortVersionString: %@"),
                              {infoValue(QStringLiteral("CFBundleShortVersionString"))}));

    loadWindowDescription();
    updateUIstrings();

    // The main window, centred on its screen; mouse tracking for the toolbar's hover hints.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = mainWindow->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        mainWindow->move(frame.topLeft());
    }
    mainWindow->setMouseTracking(true);
    mainWindow->show();

    setupToolbar();

    placeViewerWindow();

    CLogger* logger = CLogger::getInstance();
    logger->unmuteFile("disks.cpp");
    logger->muteFile("windisk.cpp");
    logger->unmuteFile("macdisk.cpp");
    logger->unmuteFile("hfsvolume.cpp");
    logger->unmuteFile("volumes.cpp");
    logger->setEnabled(true);

    chooseDisk();

    const QString resources = resourceFolder();
    logLine(formatWithObjects(QStringLiteral("resource path is: %@"), {resources}));
    if (rec)
        rec->setMagicFilePath(resources.toStdString());
    validateCommands();
    // The splash stays above the window that was just shown, also where no window manager keeps
    // it on top.
    if (splash && splash->window())
        splash->window()->raise();
}

void AppController::applicationDidFinishLaunching()
{
    logLine(QStringLiteral("applicationDidFinishLaunching"));
    if (splash)
        splash->close();
}

bool AppController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mainWindow && event->type() == QEvent::Close) {
        if (!windowWillClose())
            event->ignore();
        return !event->isAccepted();
    }
    return QObject::eventFilter(watched, event);
}

bool AppController::windowWillClose()
{
    if (busy) {
        // The engine runs inside a command further down this stack: ask it to stop, and quit
        // once the command has closed its progress sheet.
        logLine(QStringLiteral("windowWillClose: cancelling the running operation first"));
        cancelAction = true;
        quitWhenIdle = true;
        return false;
    }
    logLine(QStringLiteral("windowWillClose"));
    if (viewerWindow)
        viewerWindow->hide();
    QCoreApplication::quit();
    return true;
}

// --- Shutdown ---

void AppController::forgetWidgets()
{
    mainWindow = nullptr;
    scanWindow = progressWindow = nullptr;
    viewerWindow = thumbTab = backgroundView = nullptr;
    helpTextView = imageView = readErrorsText = numberErrorsText = progressSpinnerText = nullptr;
    scanOptionsStatic = scanOptionsHeaderStatic = scanTextKeywordsStatic = progressText = nullptr;
    outlineView = nullptr;
    tableView = nullptr;
    tabView = nullptr;
    thumbView = nullptr;
    searchField = nullptr;
    speakHintsCheckbox = limitTextKeywordsCheckbox = activateTextScanCheckbox = nullptr;
    sortByNameMenuItem = sortBySizeMenuItem = nullptr;
    aboutMenuItem = preferencesMenuItem = servicesMenuItem = hideMenuItem = hideOthersMenuItem = nullptr;
    showAllMenuItem = quitMenuItem = minimizeMenuItem = zoomMenuItem = bringAllToFrontMenuItem = nullptr;
    appHelpMenuItem = nullptr;
    applicationMenu = viewMenu = sortMenu = windowMenu = helpMenu = nullptr;
    progressSpinner = progressIndicator = nullptr;
    mainToolbar = nullptr;
    scanKeywordsTextView = nullptr;
    startScanButton = cancelScanButton = progressCancelButton = nullptr;
    modalSession = nullptr;
}

void AppController::dealloc()
{
    if (deallocated)
        return;
    deallocated = true;
    logLine(QStringLiteral("dealloc"));
    if (applicationDelegateInstance == this)
        applicationDelegateInstance = nullptr;

    // The windows go first: the views, the thumbnail grid and its worker stop reading the results
    // before the engine frees them. Deleting the main window deletes its sheets and the viewer.
    tickTimer->stop();
    delete mainWindow;
    forgetWidgets();
    delete treeObjDict;
    treeObjDict = nullptr;
    delete tableAdapter;
    tableAdapter = nullptr;
    // The engine's models only point into the engine; they go before it.
    delete tableModel;
    tableModel = nullptr;
    delete treeModel;
    treeModel = nullptr;
    folder = nullptr;
    disk = nullptr;

    delete rec;
    rec = nullptr;
    delete statusListener;
    statusListener = nullptr;
    delete diskman;
    diskman = nullptr;

    delete tickTimer;
    tickTimer = nullptr;
    if (services.speech)
        services.speech->stop();
    preview.reset();
    logLine(QStringLiteral("that's it - we are exiting!"));
}
