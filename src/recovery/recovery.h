// The recovery engine: browses an HFS Plus volume, runs the three block scans through an analyser,
// searches, saves and reports the results. Owns the block cache around the chosen disk, the volume
// of the last browse or scan (with the whole result tree) and the volumes a scan found. Failures
// are printed and answered with false, never thrown.
#pragma once

#include "cacheddisk.h"
#include "data.h"
#include "disks.h"
#include "hfsvolume.h"
#include "interfaces.h"
#include "progresspace.h"
#include "volumes.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct stat;

enum ScanType { ScanDeletedFiles = 0, ScanLostFiles = 1, ScanLostVolumes = 2 };

class CRecovery;

// What a worker thread learnt of one block for the analyser: the content-type answer and, where a
// file may start, the extension answer. `done` false means no worker classified the block and the
// analyser must do it on the walking thread.
struct BlockClassification {
    bool done = false;
    bool answered = false; // the library answered; otherwise `error` holds its text
    std::string answer;
    std::string extension; // the usable extension of a start block, empty when none
    std::string error;
};

// Classifies blocks on one worker thread of a scan. Each worker has its own, since a library
// handle must not be shared between threads; it is made on the walking thread and then used only
// by its worker.
class CBlockClassifier {
public:
    virtual ~CBlockClassifier() = default;
    virtual void classify(const uint8_t* data, size_t size, BlockClassification& out) = 0;
};

// A scan analyser: called once before the walk, once per step of the walk and once after it
// (also after a cancel), and then deleted through this interface. It reads the walk state of the
// engine it was given directly (see CRecovery's fields) and adds what it finds under resultRoot.
class CAbstractAnalyser {
public:
    virtual ~CAbstractAnalyser() = default;
    // Called once, right after construction.
    virtual void setRecovery(CRecovery* engine) { recovery = engine; }
    virtual void scanBegin() = 0;
    // The current step: recovery->currentAllocBlock / currentDiskBlock / currentOffset, and for a
    // step that was read, recovery->readBuffer. Not called for a failed read nor the cancelled step.
    virtual void analyse() = 0;
    // After the last step. recovery->scanEndDiskBlock is the disk block just past the last step the
    // walk reached: the end of the scanned range, or where a cancel stopped the walk.
    virtual void scanEnd() = 0;
    // Why the scan could not do its work at all (e.g. the file-type description did not load);
    // empty when it could. Asked after scanEnd.
    virtual std::string failureText() const { return {}; }
    // A classifier for one worker thread, asked after scanBegin; null (the default) keeps the walk
    // on one thread. With classifiers, analyse finds the current block's classification in
    // recovery->currentClassification.
    virtual CBlockClassifier* createClassifier() { return nullptr; }

    CRecovery* recovery = nullptr; // not owned
};

class CRecovery : public CVolumeItemCallback {
public:
    CRecovery();
    ~CRecovery() override;
    CRecovery(const CRecovery&) = delete;
    CRecovery& operator=(const CRecovery&) = delete;

    // The name-search visitor.
    void nextVolumeItem(CVolumeItem* item, bool* stop, bool* keep) override;
    // Saves one item into an existing folder. False: the save must stop (a cancel, or the target
    // disk is full). An item that cannot be written is skipped, listed in incompleteFiles, and
    // answered with true so the save goes on.
    virtual bool saveItem(CVolumeItem* item, const std::string& folder);
    // Appends the report fragment of one item (a row, or a folder's section) to html.
    virtual void writeReportItem(CVolumeItem* item, std::string& html);
    virtual void clearVolumeList();
    // Adds a found volume (a new unmounted one when null) under the result root with a new
    // "Volume N" root folder and keeps it. Null, and nothing taken over, without a result root.
    virtual CHFSVolume* addVolume(CHFSVolume* found);
    virtual void setScanType(int type);
    // Releases all results and wraps disk (may be null) in a fresh cache opened read-only.
    virtual bool setDisk(CDisk* disk);
    virtual void setMagicFilePath(const std::string& folder);
    virtual void setStatusListener(CStatusListener* receiver);
    virtual void setEnableSearchText(bool value);
    virtual void setEnableSearchKeywords(bool value);
    virtual void setKeywords(const std::vector<std::string>& list);
    // Threads that classify the blocks of a deleted-files scan: 0 (the default) one per core, 1
    // the walk alone, in order, on the calling thread.
    virtual void setScanWorkerCount(int count);
    virtual void openExistingVolume();
    virtual void scan();
    // True when every item was saved whole; false after a cancel, a full target disk, or when some
    // item was not saved whole (listed in incompleteFiles; the rest of the list is still saved).
    virtual bool save(const std::vector<CVolumeItem*>& items, const std::string& folder);
    // True when the report file was written and closed without error.
    virtual bool saveReport(const std::vector<CVolumeItem*>& items, const std::string& path, const std::string& title,
                            const std::string& footer);
    virtual void searchItems(const std::string& text);
    // Takes the results out of the engine at once, as releasing them does, but leaves freeing them
    // to freeReleasedResults, so a large tree need not be freed in one go. What is left of them is
    // freed whole by the next call of this or by the engine's end; they refer to nothing the
    // engine keeps (not even the disk), so the engine goes on meanwhile.
    void releaseResultsLater();
    // Frees released results for about the given time; true when none are left.
    bool freeReleasedResults(double seconds);
    // Unreadable sectors met since the current (or last) operation began, each once, whether the
    // device failed them during it or an earlier one did: setting the disk, a browse, a scan, a
    // save, a report or a search each start counting anew. Reads of previews and folders opened
    // later count towards the operation they follow.
    int64_t operationReadErrors();

    // Read directly by the analysers, the result-tree model and the interface.
    CStatusListener* listener = nullptr; // not owned; null: no events
    CVolumeItem* resultRoot = nullptr;   // in volume's tree
    CVolumeItem* searchFolder = nullptr; // a child of resultRoot; does not own its entries
    std::string searchText;
    CCachedDisk* cachedDisk = nullptr; // owned
    std::vector<CVolume*> volumeList;  // found volumes, owned (their roots are in the tree)
    int scanType = ScanDeletedFiles;
    CData* readBuffer = nullptr;   // owned
    int64_t currentOffset = 0;     // byte offset on the cached disk of the current read
    int64_t currentDiskBlock = 0;  // disk block where the current allocation block starts
    int64_t currentAllocBlock = 0; // index of the current allocation block
    CHFSVolume* volume = nullptr;  // owned; owns the result tree
    double progress = 0;
    int64_t allocBlockCount = 0; // allocation blocks the scan walks (64-bit: large disks)
    int blocksPerAllocBlock = 0;
    std::string magicFilePath;
    bool skipUsedBlocks = false;
    bool enableSearchText = false;
    bool enableSearchKeywords = false;
    bool limitItemSize = true;
    int64_t maxItemSize = 104857600;
    std::vector<std::string> keywords;
    // Disk block just past the last step the walk reached, set before scanEnd.
    int64_t scanEndDiskBlock = 0;
    // Why the last scan could not do its work (empty when it could), for the interface to show.
    std::string scanFailure;
    // Paths of the files and folders the last save did not save whole: skipped because they could
    // not be written, cut short by a read or write error, read over unreadable sectors (saved with
    // zeros there), or stored compressed. Printed at the end of the save.
    std::vector<std::string> incompleteFiles;
    // Files the last save wrote whole, and whether a cancel (at a progress event or the overwrite
    // question) ended it.
    int64_t savedFileCount = 0;
    bool saveCancelled = false;
    // Sectors the last scan could not read (the read errors the block cache counted during it; they
    // were read as zeros). Printed at the scan's end; the interface tells it in the end notice.
    int64_t scanReadErrors = 0;
    // Worker threads of the deleted-files scan (see setScanWorkerCount).
    int scanWorkerCount = 0;
    // The current step's classification when worker threads made it; null otherwise.
    const BlockClassification* currentClassification = nullptr;

protected:
    // The analyser of the current scan type (the raw analyser for deleted files, the HFS Plus
    // analyser otherwise); null when none can be made. Tests put their own in its place.
    virtual CAbstractAnalyser* createAnalyser();

private:
    struct Walk;
    enum class StepRead { Read, Failed, Cancelled };
    // Reads the step at allocation block `block` into readBuffer and reports progress as the walk
    // does after a read.
    StepRead readStep(Walk& walk, int64_t block);
    // Sends the walk's progress at block when its pace says it is time; true when the listener
    // cancelled.
    bool walkCancelled(Walk& walk, int64_t block);
    // True, and counted, when the walk passes block unread as in use.
    bool skipUsedStep(Walk& walk, int64_t block);
    void walkInOrder(CAbstractAnalyser* analyser, Walk& walk);
    // False, with nothing walked, when no worker could be started.
    bool walkWithWorkers(CAbstractAnalyser* analyser, Walk& walk, int workers);
    // scanWorkerCount, or the cores this process may run on.
    int scanWorkers() const;
    void releaseResults();
    // On: listing a large folder of the results (a browsed or found volume) sends the current
    // progress now and then. Only while a search or a save runs: a listing that a view asks for
    // must not run the interface's progress handler in the middle of its own work.
    void setListingPulse(bool on);
    void forgetSearchEntries();
    void adoptDetachedResults();
    // A folder of the current save walk, open by descriptor so no path is looked up twice.
    struct SaveFolder {
        std::string path; // as shown in messages and events
        int fd = -1;
        std::pair<uint64_t, uint64_t> id; // device and inode
    };
    bool saveFile(CVolumeItem* item, const SaveFolder& folder);
    bool saveFolder(CVolumeItem* item, const SaveFolder& folder);
    // The name to save under; whether an entry of that name is already there, and what it is.
    std::string uniqueSaveName(const SaveFolder& folder, const std::string& name, bool* exists, struct stat* info);
    void markIncomplete(const std::string& path);
    // Sends the save's progress; true, with saveCancelled set, when the listener cancelled.
    bool saveCancelledAt(const char* where);
    // Starts the count of operationReadErrors.
    void beginOperation();

    std::string searchKey; // searchText with A-Z folded
    // Items the name search took out of folders loaded only for its walk: the search folder refers
    // to them, this list owns them (freed when the search folder is emptied).
    std::vector<CVolumeItem*> searchOwned;
    // Results taken out by releaseResultsLater and not yet freed. The items are out of every tree
    // and list the engine reads; the volumes and the result volume's root (kept without children)
    // go once every item is freed, as the items may still refer to them.
    struct Released {
        std::vector<CVolumeItem*> searchOwned; // freed first, each with its subtree
        std::vector<CVolumeItem*> items;       // the tree below the root, taken apart one by one
        CVolume* volume = nullptr;
        std::vector<CVolume*> volumeList;
        uint64_t freed = 0; // items of the tree freed so far
    };
    Released released;
    // Folders on the path of the current save or report walk, to end a tree that loops.
    std::set<CVolumeItem*> walkPath;
    // The report's progress event when one is due by reportPace, or at once; sets reportCancelled
    // when the listener cancels.
    void reportProgress(bool now = false);
    CProgressPace reportPace;
    bool reportCancelled = false;
    // Folders open on the path of the current save, innermost last.
    std::vector<SaveFolder> saveFolders;
    // Names this save gave in each folder (by device and inode), and the files and folders it
    // made: a later item with the same name gets a numbered one instead of replacing them.
    struct SaveNames {
        std::set<std::string> given;
        std::map<std::string, int> nextNumber; // per wanted name, so many equal names stay cheap
    };
    std::map<std::pair<uint64_t, uint64_t>, SaveNames> saveNames;
    std::set<std::pair<uint64_t, uint64_t>> saveCreated;
    // Paces the save's progress events by time besides the per-file and per-chunk ones.
    CProgressPace savePace;
};

// Makes a name read from a disk safe as one path component: "/", NUL and control characters become
// "_", the name is composed (Unicode normalization form C), an empty name, "." and ".." get a "_"
// in front, and a name longer than 255 bytes is cut (at a character boundary) in front of its
// extension, which is kept.
std::string safeFileName(const std::string& name);
// The text as HTML character data: &, <, >, " and ' as entities; control characters (C0, DEL, C1),
// U+FFFE, U+FFFF and bytes that do not form UTF-8 characters as U+FFFD.
std::string htmlEscape(const std::string& text);
