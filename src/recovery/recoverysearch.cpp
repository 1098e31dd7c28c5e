// Name search over the current results: the matching items are listed in the search folder, a
// child of the result root that refers to items of the tree without owning them.
#include "recovery.h"

#include "logger.h"
#include "machelpers.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <unordered_set>

namespace {
// Only A to Z are folded: names are compared byte by byte, as they are stored.
std::string foldAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}
} // namespace

void CRecovery::forgetSearchEntries()
{
    if (searchFolder) {
        searchFolder->children.clear();
        searchFolder->childrenChanged();
    }
    // Items the walk took out of folders it had loaded only for itself live nowhere else.
    for (CVolumeItem* item : searchOwned)
        delete item;
    searchOwned.clear();
}

void CRecovery::nextVolumeItem(CVolumeItem* item, bool* stop, bool* keep)
{
    // The search folder lists what was found; searching it would find its own entries again.
    if (!item || !searchFolder || item == searchFolder)
        return;
    if (foldAscii(item->getName()).find(searchKey) != std::string::npos) {
        searchFolder->addChild(item);
        if (keep)
            *keep = true;
    }
    if (listener) {
        listener->itemChanged(searchFolder);
        bool ignored = false;
        listener->progressEvent(0, stop ? stop : &ignored);
    }
}

void CRecovery::searchItems(const std::string& text)
{
    std::printf("CRecovery::searchItems name: %s\n", text.c_str());
    beginOperation();
    if (!resultRoot) {
        std::printf("CRecovery::searchItems - error: no results to search\n");
        return;
    }
    std::printf("CRecovery::searchItems start: %s\n", escapeControlCharacters(resultRoot->getName()).c_str());
    searchText = text;
    searchKey = foldAscii(text);

    progress = 0; // what a listing's progress shows: the search has no percentage
    setListingPulse(true);
    // The top level is loaded for good (and put in order, as the outline shows it) before the
    // search folder joins it, so the search folder is never mistaken for the loaded content.
    if (resultRoot->getChildCount(true) == 0) {
        resultRoot->addChildren();
        resultRoot->sortChildren();
    }
    // Our own folder, known by pointer: a folder of the volume that bears the same name is searched
    // like any other and never taken over.
    const auto& top = resultRoot->children;
    if (!searchFolder || std::find(top.begin(), top.end(), searchFolder) == top.end()) {
        searchFolder = new (std::nothrow) CVolumeItem(true);
        if (!searchFolder) {
            std::printf("CRecovery::searchItems - error: out of memory\n");
            setListingPulse(false);
            return;
        }
        searchFolder->setName(localize("SearchResults"));
        searchFolder->volume = resultRoot->volume;
        resultRoot->addChild(searchFolder);
        searchFolder->setParent(resultRoot);
    }
    forgetSearchEntries();

    if (!text.empty()) {
        // Every top-level item but the search folder, wherever it stands among them.
        for (size_t i = 0; i < resultRoot->children.size(); ++i) {
            CVolumeItem* child = resultRoot->children[i];
            if (child == searchFolder)
                continue;
            bool stop = false, keep = false;
            nextVolumeItem(child, &stop, &keep);
            if (stop)
                break;
            if (child->isContainer() && !child->traverse(this, true))
                break;
        }
        adoptDetachedResults();
    }
    setListingPulse(false);
    std::printf("CRecovery::searchItems done\n");
}

void CRecovery::adoptDetachedResults()
{
    // A found item that the walk took out of a folder it loaded only for itself is no longer in
    // the tree: its old parent is gone. The search owns it from now on and is its parent.
    std::unordered_set<CVolumeItem*> inTree;
    inTree.reserve(searchFolder->children.size() * 2);
    std::vector<CVolumeItem*> pending{resultRoot};
    CProgressPace pace;
    while (!pending.empty()) {
        CVolumeItem* item = pending.back();
        pending.pop_back();
        if (item == searchFolder || !inTree.insert(item).second)
            continue;
        pending.insert(pending.end(), item->children.begin(), item->children.end());
        // A large tree takes a while: the window is answered, but this walk is never cut short,
        // since the items it finds detached are freed by no one else.
        if (listener && pace.due()) {
            bool ignored = false;
            listener->progressEvent(0, &ignored);
        }
    }
    for (CVolumeItem* found : searchFolder->children) {
        if (inTree.count(found))
            continue;
        found->setParent(searchFolder);
        searchOwned.push_back(found);
    }
}
