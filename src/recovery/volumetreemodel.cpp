#include "volumetreemodel.h"

#include "recovery.h"
#include "utils.h"

CVolumeTreeModel::CVolumeTreeModel(CRecovery* engine) : recovery(engine) {}

CVolumeItem* CVolumeTreeModel::prepare(CBase* item)
{
    CVolumeItem* folder = dynamic_cast<CVolumeItem*>(item);
    if (folder && folder->getChildCount(true) == 0) {
        folder->addChildren();
        folder->sortChildren();
    }
    return folder;
}

CBase* CVolumeTreeModel::getRoot()
{
    return recovery ? recovery->resultRoot : nullptr;
}

bool CVolumeTreeModel::isLeaf(CBase* item)
{
    CVolumeItem* folder = prepare(item);
    return !folder || folder->getChildCount(false) == 0;
}

std::string CVolumeTreeModel::getItemText(CBase* item)
{
    CVolumeItem* folder = prepare(item);
    if (!folder)
        return std::string();
    // The search folder is no entry of the folder it was added to.
    int count = folder->getChildCount(true);
    if (recovery && recovery->searchFolder && recovery->searchFolder->getParent() == folder && count > 0)
        --count;
    return folder->getName() + formatString(" (%d)", count);
}

int CVolumeTreeModel::getChildCount(CBase* item)
{
    CVolumeItem* folder = prepare(item);
    return folder ? folder->getChildCount(false) : 0;
}

CBase* CVolumeTreeModel::getChild(CBase* item, int index)
{
    CVolumeItem* folder = prepare(item);
    return folder ? folder->getChild(index, false) : nullptr;
}

void CVolumeTreeModel::reservedSlot5(CBase*, int) {}

int CVolumeTreeModel::getImageIndex(CBase* item, bool expanded)
{
    CVolumeItem* folder = dynamic_cast<CVolumeItem*>(item);
    if (!folder)
        return FileImage;
    if (recovery && folder == recovery->searchFolder)
        return SearchImage;
    if (!folder->isContainer())
        return FileImage;
    if (folder->isDeleted())
        return expanded ? FolderOpenDeletedImage : FolderClosedDeletedImage;
    return expanded ? FolderOpenImage : FolderClosedImage;
}
