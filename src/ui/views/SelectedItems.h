// Turns the selections of the file table and the outline into the engine items to save or list.
// Holds nothing; rows that give no item (out of range, null, or not a volume item such as a disk
// row) are skipped, and an item chosen twice (in its folder and in the search results) counts once.
#pragma once

#include <QModelIndexList>

#include <vector>

class CVolumeItem;
class TreeModelAdapter;

// The table's selected rows mapped through folder (children in table order) when any are given;
// otherwise the outline's selected rows mapped through outline. Both lists may come in any order;
// the result follows the views' top-to-bottom order.
std::vector<CVolumeItem*> getSelectedItemList(const QModelIndexList& tableRows, CVolumeItem* folder,
                                              const QModelIndexList& outlineRows, const TreeModelAdapter* outline);
