// The analyser of the lost-files scan and of the lost-volumes scan. It looks at the start of each
// window the scan reads for HFS Plus volume headers and catalog leaf nodes: lost files become items
// under found volumes, lost volumes become lost partitions of the scanned disk. It owns only the
// items it has found and not yet attached (freed with it); every on-disk field is bounds-checked,
// and a corrupt structure is passed over as ordinary data.
#pragma once

#include "hfsvolume.h"
#include "recovery.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

class CHFSAnalyser : public CAbstractAnalyser {
public:
    struct PendingItem {
        CHFSVolumeItem* item;
        int64_t parentID; // the parent folder's catalog node ID from the record's key
    };

    CHFSAnalyser() = default;
    ~CHFSAnalyser() override;
    CHFSAnalyser(const CHFSAnalyser&) = delete;
    CHFSAnalyser& operator=(const CHFSAnalyser&) = delete;

    void scanBegin() override;
    void analyse() override;
    void scanEnd() override;

    // True when the bytes at disk byte offset `offset` are the header of an HFS Plus volume that
    // mounts (1024 bytes earlier) with a usable catalog B-tree and an allocation bitmap.
    bool isVolumeHeader(int64_t offset, const uint8_t* data, int length);
    // True when data starts a catalog leaf node; *units is its size in 512-byte units.
    bool isLeafNode(const uint8_t* data, int length, int* units);
    // Splits a node of nodeBytes bytes into keyed records; false (and no records) when a record
    // offset or key does not lie inside the node's record area.
    bool getNodeRecords(const uint8_t* node, int nodeBytes, std::vector<BTreeRecord>& records);
    // Makes items of the folder and file records; true when at least one was made.
    bool addCatalogRecords(const std::vector<BTreeRecord>& records);
    // Attaches the pending items under the current volume's root and forgets them.
    void buildTree();

    CHFSVolume* currentVolume = nullptr; // owned by the engine's volume list
    int nodeSize = 0;
    std::map<int64_t, CHFSVolumeItem*> folders;
    std::vector<PendingItem> pending;

private:
    void analyseLostFiles(const uint8_t* data, int length);
    void analyseLostVolume(const uint8_t* data, int length);
    void switchVolume();
    void attachPending(CVolumeItem* root);
    std::set<CHFSVolumeItem*> findCycleEntries();
    void dropPending();
    // A progress event without a percentage, when the engine has a listener.
    void reportProgress();
};
