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
    virtual int getImageIndex(CBase* item, bool expanded) = 0;
};

// Data source for a table view: rows of cells addressed by a numeric column identifier.
class CAbstractTableModel {
public:
    virtual ~CAbstractTableModel() = default;
    virtual int getRowCount() = 0;
    virtual void reservedSlot1() = 0;
    virtual std::string getCellText(int row, int column) = 0;
    virtual std::string reservedSlot3(int value) = 0;
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
