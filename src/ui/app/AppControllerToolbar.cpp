// The main window's toolbar: ten command buttons with their images and labels, the search field
// at the right, enabling by the current selection, and the hover hints.
#include "AppController.h"

#include "EngineLock.h"
#include "HoverButton.h"
#include "disks.h"
#include "recovery.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSizePolicy>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace {

// Standard items of the toolbar that are no commands.
const QString kSeparatorItem = QStringLiteral("Separator");
const QString kSpaceItem = QStringLiteral("Space");
const QString kFlexibleSpaceItem = QStringLiteral("FlexibleSpace");
const QString kSearchItem = QStringLiteral("Search");

struct ToolbarCommand {
    const char* identifier;
    const char* labelKey;
    const char* image;
    void (AppController::*action)();
};

// In the order the enabling rules and the hover hints are looked up.
const ToolbarCommand kCommands[] = {
    {"ChooseDisk", "ChooseDisk", "choosedisk.png", &AppController::chooseDisk},
    {"BrowseVolume", "BrowseVolume", "browsevolume.png", &AppController::browseVolume},
    {"DeletedFilesScan", "DeletedFilesScan", "deletedfilesscan.png", &AppController::deletedFilesScan},
    {"LostFilesScan", "LostFilesScan", "lostfilesscan.png", &AppController::lostFilesScan},
    {"LostVolumesScan", "LostVolumesScan", "lostvolumesscan.png", &AppController::lostVolumesScan},
    {"Save", "Save", "save.png", &AppController::save},
    {"SaveFileList", "SaveFileList", "savereport.png", &AppController::saveReport},
    {"ToggleViewer", "ViewFile", "viewer.png", &AppController::toggleViewer},
    {"Help", "Help", "help.png", &AppController::help},
    {"About", "About", "about.png", &AppController::about},
};

const ToolbarCommand* findCommand(const QString& identifier)
{
    for (const ToolbarCommand& command : kCommands)
        if (identifier == QLatin1String(command.identifier))
            return &command;
    return nullptr;
}

QWidget* viewOf(QAction* item)
{
    auto* widgetItem = qobject_cast<QWidgetAction*>(item);
    return widgetItem ? widgetItem->defaultWidget() : nullptr;
}

constexpr int kDefaultIconSize = 32;
constexpr int kSearchFieldMinWidth = 30;
constexpr int kSearchFieldMaxWidth = 400;

} // namespace

QStringList AppController::toolbarDefaultItemIdentifiers()
{
    return {QStringLiteral("ChooseDisk"),
            kSeparatorItem,
            QStringLiteral("BrowseVolume"),
            QStringLiteral("DeletedFilesScan"),
            QStringLiteral("LostFilesScan"),
            QStringLiteral("LostVolumesScan"),
            kSeparatorItem,
            QStringLiteral("Save"),
            QStringLiteral("SaveFileList"),
            QStringLiteral("ToggleViewer"),
            kSeparatorItem,
            QStringLiteral("About"),
            QStringLiteral("Help"),
            kFlexibleSpaceItem,
            kSearchItem};
}

void AppController::setupToolbar()
{
    if (!mainToolbar || !toolbarItems.empty())
        return;
    logLine(QStringLiteral("setupToolbar"));
    // The toolbar is fixed: it can be neither moved nor hidden nor rearranged.
    mainToolbar->setMovable(false);
    mainToolbar->setFloatable(false);
    mainToolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    mainToolbar->setContextMenuPolicy(Qt::PreventContextMenu);
    mainToolbar->toggleViewAction()->setEnabled(false);
    mainToolbar->setAccessibleName(QStringLiteral("Toolbar"));

    // The window description's field gives way to the toolbar's own.
    QLineEdit* described = searchField;
    searchField = nullptr;

    for (const QString& identifier : toolbarDefaultItemIdentifiers()) {
        if (identifier == kSeparatorItem) {
            mainToolbar->addSeparator();
        } else if (identifier == kSpaceItem || identifier == kFlexibleSpaceItem) {
            auto* space = new QWidget(mainToolbar);
            space->setObjectName(identifier);
            if (identifier == kFlexibleSpaceItem)
                space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
            else
                space->setFixedWidth(kDefaultIconSize / 2);
            mainToolbar->addWidget(space);
        } else if (QAction* item = toolbar(identifier)) {
            mainToolbar->addAction(item);
        }
    }
    if (described)
        described->deleteLater();
    validateCommands();
}

QAction* AppController::toolbar(const QString& itemIdentifier)
{
    if (const auto found = toolbarItems.find(itemIdentifier); found != toolbarItems.end())
        return found->second;
    if (const ToolbarCommand* command = findCommand(itemIdentifier))
        return createToolbarItem(itemIdentifier, localizedString(QLatin1String(command->labelKey)),
                                 QLatin1String(command->image), command->action);
    if (itemIdentifier != kSearchItem || !mainToolbar)
        return nullptr;

    const QString label = localizedString(kSearchItem);
    // The field with its label under it, as every command shows its label under its image.
    auto* item = new QWidget(mainToolbar);
    item->setObjectName(kSearchItem);
    item->setAccessibleName(label);
    auto* column = new QVBoxLayout(item);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    auto* field = new QLineEdit(item);
    field->setObjectName(QStringLiteral("searchField"));
    field->setAccessibleName(label);
    field->setPlaceholderText(label);
    field->setClearButtonEnabled(true);
    for (QToolButton* clear : field->findChildren<QToolButton*>())
        clear->setAccessibleName(localizedString(QStringLiteral("ClearSearch")));
    field->setMinimumWidth(kSearchFieldMinWidth);
    field->setMaximumWidth(kSearchFieldMaxWidth);
    field->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // The search runs when the entry is ended with Return, never on each keystroke.
    connect(field, &QLineEdit::returnPressed, this, [this] { searchUsingToolbarSearchField(); });
    searchField = field;
    auto* caption = new QLabel(label, item);
    caption->setObjectName(QStringLiteral("searchLabel"));
    caption->setAlignment(Qt::AlignHCenter);
    caption->setBuddy(field);
    column->addWidget(field);
    column->addWidget(caption);
    item->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    item->setMaximumWidth(kSearchFieldMaxWidth);

    return addToolbarItem(kSearchItem, label, item);
}

QAction* AppController::createToolbarItem(const QString& identifier, const QString& title, const QString& imageName,
                                          void (AppController::*action)())
{
    if (!mainToolbar)
        return nullptr;
    const QString imagePath = resourceFolder() + QLatin1Char('/') + imageName;
    const QIcon image = QFileInfo::exists(imagePath) ? QIcon(imagePath) : QIcon();
    QSize imageSize(kDefaultIconSize, kDefaultIconSize);
    if (!image.isNull() && !image.availableSizes().isEmpty())
        imageSize = image.availableSizes().first();

    auto* button = new HoverButton(mainToolbar);
    button->setObjectName(identifier);
    button->setIcon(image);
    button->setIconSize(imageSize);
    button->setText(title);
    button->setAccessibleName(title);
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::TabFocus);
    button->setHoverIdentifier(identifier);
    button->setHoverCallbacks([this](HoverButton*, const QString& id) { hoverButtonEntered(id); },
                              [this](HoverButton*, const QString& id) { hoverButtonExited(id); });
    connect(button, &QToolButton::clicked, this, [this, action] { (this->*action)(); });

    return addToolbarItem(identifier, title, button);
}

QAction* AppController::addToolbarItem(const QString& identifier, const QString& title, QWidget* widget)
{
    auto* item = new QWidgetAction(mainToolbar);
    item->setObjectName(identifier);
    item->setText(title);
    item->setDefaultWidget(widget);
    toolbarItems[identifier] = item;
    return item;
}

QAction* AppController::toolbarItem(const QString& identifier) const
{
    const auto found = toolbarItems.find(identifier);
    return found == toolbarItems.end() ? nullptr : found->second;
}

bool AppController::validateToolbarItem(const QString& identifier) const
{
    EngineLocker lock(engineLock());
    const auto is = [&identifier](const char* name) { return identifier == QLatin1String(name); };
    if (is("ChooseDisk"))
        return true;
    if (is("BrowseVolume"))
        return disk && !disk->isWholeDisk();
    if (is("DeletedFilesScan") || is("LostFilesScan"))
        return disk != nullptr;
    if (is("LostVolumesScan"))
        return disk && disk->isWholeDisk();
    if (is("Save") || is("SaveFileList"))
        return folder != nullptr;
    if (is("ToggleViewer") || is("Help") || is("About"))
        return true;
    if (identifier == kSearchItem)
        return rec && rec->resultRoot;
    return false;
}

void AppController::validateCommands()
{
    for (const auto& [identifier, item] : toolbarItems) {
        const bool enabled = !busy && validateToolbarItem(identifier);
        item->setEnabled(enabled);
        if (QWidget* view = viewOf(item))
            view->setEnabled(enabled);
    }
}

void AppController::hoverButtonEntered(const QString& identifier)
{
    const QWidget* view = viewOf(toolbarItem(identifier));
    // A disabled command explains nothing: the hint line keeps what it says.
    if (!view || !view->isEnabled() || !findCommand(identifier))
        return;
    setHelpText(localizedString(identifier + QStringLiteral("ToolHint")), true);
}

void AppController::hoverButtonExited(const QString&)
{
    // The hint stays until another replaces it.
}
