// The tree model of the result outline: the folders under the recovery engine's result root, with
// their entry counts and icons. It owns nothing and reads the engine's current root and search
// folder at every call; a folder's children are loaded (and sorted) the first time it is asked about.
#pragma once

#include "interfaces.h"

#include <string>

class CRecovery;
class CVolumeItem;

class CVolumeTreeModel : public CAbstractTreeModel {
public:
    explicit CVolumeTreeModel(CRecovery* engine);

    CBase* getRoot() override;
    bool isLeaf(CBase* item) override;
    std::string getItemText(CBase* item) override;
    int getChildCount(CBase* item) override;
    CBase* getChild(CBase* item, int index) override;
    void reservedSlot5(CBase* item, int value) override;
    int getImageIndex(CBase* item, bool expanded) override;

    CRecovery* recovery; // not owned

private:
    // Loads and sorts a folder's children when it has none yet.
    static CVolumeItem* prepare(CBase* item);
};
