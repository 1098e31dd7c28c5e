// The analyser of the deleted-files scan: carves files out of free allocation blocks by the content
// type that libmagic gives a block's first bytes, and files them under a folder per type. It owns
// the libmagic handle and the item it is still extending. A description file that does not load
// leaves every block unrecognised, reported once and kept for the engine to ask (failureText).
#pragma once

#include "recovery.h"
#include "volumes.h"

#include <cstdint>
#include <string>
#include <vector>

// The handle type of libmagic, without pulling its header into every engine file.
struct magic_set;

class CRawAnalyser : public CAbstractAnalyser {
public:
    CRawAnalyser();
    ~CRawAnalyser() override;
    CRawAnalyser(const CRawAnalyser&) = delete;
    CRawAnalyser& operator=(const CRawAnalyser&) = delete;

    void scanBegin() override;
    void analyse() override;
    void scanEnd() override;

    // Ends item just before disk block endBlock and files it by answer ("type", TAB, extension).
    // True when it went into the result tree; false when it was discarded and deleted.
    virtual bool finishItem(CRawVolumeItem* item, int64_t endBlock, const char* answer);

    // Why this scan could classify no block (the library did not open or the description file
    // did not load); empty when it could. Set by scanBegin and kept after scanEnd.
    std::string failureText() const override { return failure; }
    // A classifier with a handle of its own for one worker thread; null when this scan's
    // description did not load.
    CBlockClassifier* createClassifier() override;

    std::string openAnswer;             // answer of the block at which openItem began
    CRawVolumeItem* openItem = nullptr; // the file being extended; not yet in the result tree
    struct magic_set* magicCookie = nullptr;

private:
    bool containsKeyword(CRawVolumeItem* item, uint64_t length);

    std::string failure;
    std::vector<uint8_t> chunk; // the keyword search's read buffer, kept between items
    int64_t classifyErrors = 0; // blocks whose classification failed in this scan
    bool previousBlockEndedInSlack = true; // the last analysed block ended in zero bytes
};

// Splits a content-type answer: type is everything before the first TAB, extension everything
// after it with any further TABs left out. Both are emptied first.
void splitMagicAnswer(const char* answer, std::string& type, std::string& extension);
