// The engine's root class and the small interfaces through which the interface layer and the
// engine's own visitors meet it. They carry no data and own nothing; a model implementation only
// points into engine objects, so deleting one never touches the disks or items it shows.
#pragma once

#include <string>

class CVolumeItem;

class CBase {
public:
    virtual ~CBase() = default;
};

// The list icons the models name by number (getImageIndex, getRowImageIndex) and the interface
// draws from its icon table. The numbers are the contract between the two; 3, 5 and every value
// not listed show no icon.
enum ImageIndex : int {
    FolderClosedImage = 0,
    FolderOpenImage = 1,
    FileImage = 2,
    FileDeletedImage = 4,
    FolderOpenDeletedImage = 6,
    FolderClosedDeletedImage = 7,
    FixedImage = 8,
    FixedLostImage = 9,
    RemovableImage = 10,
    RemovableLostImage = 11,
    VolumeImage = 12,
    VolumeLostImage = 13,
    SearchImage = 14,
    // Not icons: the disk list's top item asks for a slot without an image, and a table row that
    // does not exist has none.
    NoDiskListImage = 3,
    NoRowImage = -1,
};

// The columns of a table model, as getCellText takes them.
enum TableColumn : int {
    NameColumn = 0,
    SizeColumn = 1,
    TypeColumn = 2,
    DateColumn = 3,
    IdColumn = 4,
    TableColumnCount = 5,
};

// Data source for a tree view: one top item, children by index.
class CAbstractTreeModel {
public:
    virtual ~CAbstractTreeModel() = default;
    virtual CBase* getRoot() = 0;
    virtual bool isLeaf(CBase* item) = 0;
    virtual std::string getItemText(CBase* item) = 0;
    virtual int getChildCount(CBase* item) = 0;
    virtual CBase* getChild(CBase* item, int index) = 0;
    virtual void reservedSlot5(CBase* item, int value) = 0;
    // An ImageIndex value.
    virtual int getImageIndex(CBase* item, bool expanded) = 0;
};

// Data source for a table view: rows of cells addressed by a numeric column identifier.
class CAbstractTableModel {
public:
    virtual ~CAbstractTableModel() = default;
    virtual int getRowCount() = 0;
    virtual void reservedSlot1() = 0;
    // column is a TableColumn; any other number gives the empty string.
    virtual std::string getCellText(int row, int column) = 0;
    virtual std::string reservedSlot3(int value) = 0;
    // An ImageIndex value, NoRowImage for a row that does not exist.
    virtual int getRowImageIndex(int row) = 0;
};

// Events the engine sends to whoever drives it; every call is synchronous on the calling thread.
class CStatusListener {
public:
    virtual ~CStatusListener() = default;
    virtual void progressEvent(double percent, bool* cancel) = 0;
    virtual void fileSaving(std::string path) = 0;
    virtual void askOverwrite(std::string path, bool* overwrite, bool* skip, bool* cancel) = 0;
    virtual void diskListChanged() = 0;
    virtual void itemChanged(CVolumeItem* item) = 0;
};

// Visitor of an item traversal: stop ends the walk, keep says the visitor took the item over.
class CVolumeItemCallback {
public:
    virtual ~CVolumeItemCallback() = default;
    virtual void nextVolumeItem(CVolumeItem* item, bool* stop, bool* keep) = 0;
};
