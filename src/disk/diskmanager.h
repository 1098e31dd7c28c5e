// The list of whole disks the user can choose from, and a tree model over it for the disk outline.
// The manager owns every disk it lists (each disk owns its partitions); the model owns nothing.
// A duplicate disk is refused and stays with the caller.
#pragma once

#include "disks.h"
#include "interfaces.h"

#include <string>
#include <vector>

class CDiskManager : public CBase {
public:
    CDiskManager();
    ~CDiskManager() override;
    CDiskManager(const CDiskManager&) = delete;
    CDiskManager& operator=(const CDiskManager&) = delete;

    virtual void scanForDisks();
    virtual void scanForPartitions();
    virtual int getDiskCount();
    // Null for an index out of range.
    virtual CDisk* getDisk(int index);
    virtual CDisk* findDiskByPath(const std::string& path);
    virtual CDisk* findDiskByUniqueID(const std::string& id);
    virtual void clear();
    // Takes ownership on success.
    virtual bool addDisk(CDisk* disk);
    virtual void dump();

protected:
    std::vector<CDisk*> disks;
};

class CDiskManagerTreeModel : public CAbstractTreeModel {
public:
    explicit CDiskManagerTreeModel(CDiskManager* manager) : manager(manager) {}

    CBase* getRoot() override;
    bool isLeaf(CBase* item) override;
    std::string getItemText(CBase* item) override;
    int getChildCount(CBase* item) override;
    CBase* getChild(CBase* item, int index) override;
    void reservedSlot5(CBase* item, int value) override;
    int getImageIndex(CBase* item, bool expanded) override;

private:
    CDiskManager* manager;
};
