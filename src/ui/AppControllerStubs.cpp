// Placeholders for the toolbar, the commands, the data sources and save/report/search, so the
// application builds and starts before those pieces land. Each does nothing (or answers "none");
// the files that implement them replace this one.
#include "AppController.h"

#include <QAction>

void AppController::setupToolbar() {}
QAction* AppController::toolbar(const QString&)
{
    return nullptr;
}
QStringList AppController::toolbarDefaultItemIdentifiers()
{
    return {};
}
QStringList AppController::toolbarAllowedItemIdentifiers()
{
    return {};
}
QAction* AppController::createToolbarItem(const QString&, const QString&, const QString&, void (AppController::*)())
{
    return nullptr;
}
bool AppController::validateToolbarItem(const QString&) const
{
    return false;
}
void AppController::hoverButtonEntered(const QString&) {}
void AppController::hoverButtonExited(const QString&) {}
void AppController::validateCommands() {}

void AppController::chooseDisk() {}
void AppController::browseVolume() {}
void AppController::lostVolumesScan() {}
void AppController::lostFilesScan() {}
void AppController::deletedFilesScan() {}
void AppController::activateTextScanClick() {}
void AppController::scanWindowEndOK() {}
void AppController::scanWindowEndCancel() {}
void AppController::about() {}
void AppController::help() {}
void AppController::toggleViewer() {}
void AppController::sheetDidEnd(int) {}
void AppController::setTreeModel(CAbstractTreeModel*) {}
void AppController::setTableModel(CAbstractTableModel*) {}
void AppController::reloadOutlineView() {}
void AppController::reloadTableView() {}

QIcon AppController::getImageByIdx(int) const
{
    return {};
}
int AppController::outlineViewNumberOfChildrenOfItem(CBase*)
{
    return 0;
}
bool AppController::outlineViewIsItemExpandable(CBase*)
{
    return false;
}
CBase* AppController::outlineViewChild(CBase*, int)
{
    return nullptr;
}
QString AppController::outlineViewObjectValue(CBase*)
{
    return {};
}
QIcon AppController::outlineViewWillDisplayCell(CBase*)
{
    return {};
}
bool AppController::outlineViewShouldEditTableColumn(CBase*) const
{
    return false;
}
void AppController::outlineViewItemDidExpand() {}
void AppController::outlineViewSelectionDidChange() {}
int AppController::numberOfRowsInTableView()
{
    return 0;
}
QString AppController::tableViewObjectValue(int, int)
{
    return {};
}
QIcon AppController::tableViewWillDisplayCell(int, int)
{
    return {};
}
void AppController::tableViewSelectionDidChange() {}
int AppController::thumbCount()
{
    return 0;
}
QImage AppController::thumbAtIndex(int)
{
    return {};
}
QString AppController::thumbHeaderAtIndex(int)
{
    return {};
}
QString AppController::thumbFooterAtIndex(int)
{
    return {};
}
void AppController::thumbViewSelectionDidChange() {}
void AppController::sortByName() {}
void AppController::sortBySize() {}
void AppController::tabViewDidSelectTabViewItem(int) {}

std::vector<CVolumeItem*> AppController::getSelectedItemList()
{
    return {};
}
void AppController::save() {}
void AppController::saveReport() {}
void AppController::searchUsingToolbarSearchField() {}
