#include "SelectedItems.h"

#include "EngineLock.h"
#include "TreeModelAdapter.h"
#include "logger.h"
#include "volumes.h"

#include <algorithm>
#include <set>

namespace {

// The chain of row numbers from the top: sorting these gives the outline's top-to-bottom order.
std::vector<int> rowChain(const QModelIndex& index)
{
    std::vector<int> chain;
    for (QModelIndex at = index; at.isValid(); at = at.parent())
        chain.push_back(at.row());
    std::reverse(chain.begin(), chain.end());
    return chain;
}

} // namespace

std::vector<CVolumeItem*> getSelectedItemList(const QModelIndexList& tableRows, CVolumeItem* folder,
                                              const QModelIndexList& outlineRows, const TreeModelAdapter* outline)
{
    std::vector<CVolumeItem*> items;
    std::set<CVolumeItem*> seen;
    auto append = [&](CVolumeItem* item) {
        if (item && seen.insert(item).second)
            items.push_back(item);
    };

    EngineLocker lock(engineLock());
    if (!tableRows.isEmpty()) {
        std::set<int> rows;
        for (const QModelIndex& index : tableRows)
            if (index.isValid())
                rows.insert(index.row());
        if (folder)
            for (int row : rows)
                if (row < folder->getChildCount(true))
                    append(folder->getChild(row, true));
    } else {
        GLEANER_LOG("no selected table item => using selected outline item\n");
        std::vector<std::pair<std::vector<int>, QModelIndex>> ordered;
        for (const QModelIndex& index : outlineRows)
            if (index.isValid() && index.model() == outline)
                ordered.emplace_back(rowChain(index), index);
        std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& entry : ordered)
            append(dynamic_cast<CVolumeItem*>(outline->itemAt(entry.second)));
    }
    GLEANER_LOG("getSelectedItemList %d\n", int(items.size()));
    return items;
}
