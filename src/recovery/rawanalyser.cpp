#include "rawanalyser.h"

#include "disks.h"
#include "logger.h"
#include "machelpers.h"
#include "utils.h"

#include <magic.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The content type alone. MAGIC_MIME would add "; charset=..." and so never answer the plain
// "application/octet-stream" that marks a block in which no file starts. JSON counts as text.
constexpr int kTypeFlags = MAGIC_MIME_TYPE | MAGIC_CHECK | MAGIC_NO_CHECK_JSON;
// The "/"-separated extensions of the same description entry, asked for on start blocks only.
constexpr int kExtensionFlags = MAGIC_EXTENSION | MAGIC_CHECK | MAGIC_NO_CHECK_JSON;

constexpr const char* kNoFileStarts = "application/octet-stream";
constexpr uint32_t kKeywordChunk = 2048;
constexpr size_t kMaxExtensionLength = 16;
// Zero bytes at the end of a block that mark the slack after a file's last byte.
constexpr size_t kSlackBytes = 8;

bool isTextAnswer(const char* answer)
{
    return std::strncmp(answer, "text/", 5) == 0;
}

// An extension goes into a file name: anything but letters, digits, "+", "-" and "_" (such as the
// description text a built-in test prints in extension mode) means the block has none.
bool usableExtension(const char* text, size_t length)
{
    if (length == 0 || length > kMaxExtensionLength)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '+' && c != '-' && c != '_')
            return false;
    }
    return true;
}

uint64_t blockSizeOf(CVolumeItem* item)
{
    if (!item->volume || !item->volume->getDisk())
        return 0;
    return uint64_t(std::max(0, item->volume->getDisk()->getBlockSize()));
}

// A recognised answer that may start a file (whether it does depends on the open file).
bool mayStartFile(const char* answer)
{
    return *answer != '\0' && std::strcmp(answer, kNoFileStarts) != 0;
}

// The first usable extension the description names for the block, or empty. The handle is left in
// type mode, as it was.
std::string startExtension(magic_t cookie, const uint8_t* data, size_t size)
{
    std::string extension;
    if (magic_setflags(cookie, kExtensionFlags) == -1)
        return extension;
    const char* extensions = magic_buffer(cookie, data, size);
    if (extensions) {
        const size_t length = std::strcspn(extensions, "/");
        if (!(length == 3 && std::strncmp(extensions, "???", 3) == 0) && usableExtension(extensions, length))
            extension.assign(extensions, length);
    }
    magic_setflags(cookie, kTypeFlags);
    return extension;
}

// Classifies on a worker thread with a handle of its own, opened there on the first block so the
// workers load the description side by side. A handle that will not open or load leaves its
// blocks to the walking thread, which then classifies them as a sequential scan would.
class CMagicClassifier : public CBlockClassifier {
public:
    // nameText: ask for the extension of text blocks too (only kept text files need one).
    CMagicClassifier(std::string descriptionPath, bool nameText) : path(std::move(descriptionPath)), nameText(nameText)
    {}
    ~CMagicClassifier() override
    {
        if (cookie)
            magic_close(cookie);
    }
    CMagicClassifier(const CMagicClassifier&) = delete;
    CMagicClassifier& operator=(const CMagicClassifier&) = delete;

    void classify(const uint8_t* data, size_t size, BlockClassification& out) override
    {
        out.done = false;
        if (!open())
            return;
        const char* answer = magic_buffer(cookie, data, size);
        out.answered = answer != nullptr;
        out.extension.clear();
        if (!answer) {
            const char* text = magic_error(cookie);
            out.error.assign(text ? text : "classification failed");
        } else {
            out.answer.assign(answer); // copied first: the extension query reuses the library's buffer
            if (mayStartFile(answer) && (nameText || !isTextAnswer(answer)))
                out.extension = startExtension(cookie, data, size);
        }
        out.done = true;
    }

private:
    bool open()
    {
        if (!tried) {
            tried = true;
            cookie = magic_open(kTypeFlags);
            if (cookie && magic_load(cookie, path.c_str()) == -1) {
                magic_close(cookie);
                cookie = nullptr;
            }
        }
        return cookie != nullptr;
    }

    std::string path;
    bool nameText = false;
    magic_t cookie = nullptr;
    bool tried = false;
};

} // namespace

void splitMagicAnswer(const char* answer, std::string& type, std::string& extension)
{
    type.clear();
    extension.clear();
    if (!answer)
        return;
    const char* tab = std::strchr(answer, '\t');
    if (!tab) {
        type.assign(answer);
        return;
    }
    type.assign(answer, size_t(tab - answer));
    for (const char* p = tab + 1; *p; ++p)
        if (*p != '\t')
            extension.push_back(*p);
}

CRawAnalyser::CRawAnalyser() = default;

CRawAnalyser::~CRawAnalyser()
{
    // Normally scanEnd has dealt with both; an analyser dropped without it must not leak them.
    delete openItem;
    openItem = nullptr;
    if (magicCookie)
        magic_close(magicCookie);
    magicCookie = nullptr;
}

void CRawAnalyser::scanBegin()
{
    GLEANER_LOG("CRawAnalyser::scanBegin\n");
    delete openItem;
    openItem = nullptr;
    openAnswer.clear();
    failure.clear();
    classifyErrors = 0;
    previousBlockEndedInSlack = true;
    if (magicCookie)
        magic_close(magicCookie);

    magicCookie = magic_open(kTypeFlags);
    if (!magicCookie) {
        failure = "out of memory";
        std::printf("ERROR: %s\n", failure.c_str());
        return;
    }
    const std::string path = (recovery ? recovery->magicFilePath : std::string()) + "/magic";
    if (magic_load(magicCookie, path.c_str()) == -1) {
        const char* text = magic_error(magicCookie);
        failure = text && *text ? text : "cannot load " + path;
        std::printf("ERROR: %s\n", failure.c_str());
        // Without its description the library would answer from its built-in tests alone (text
        // as text, nothing else) or fail on every block: classifying nothing is the honest
        // outcome, and this one message says why.
        magic_close(magicCookie);
        magicCookie = nullptr;
    }
}

void CRawAnalyser::analyse()
{
    if (!recovery)
        return;
    CVolume* volume = recovery->volume;
    if (volume && volume->isAllocationBlockUsed(uint64_t(recovery->currentAllocBlock))) {
        if (openItem) {
            finishItem(openItem, recovery->currentDiskBlock, openAnswer.c_str());
            openItem = nullptr;
        }
        return;
    }

    const CData* block = recovery->readBuffer;
    if (!magicCookie || !block || !block->getData() || block->getSize() == 0)
        return; // unrecognised: an open file goes on over this block
    const uint8_t* data = block->getData();
    const size_t size = block->getSize();

    // A file's last block ends in zero slack; a block inside a file rarely ends in eight zeros.
    const bool previousEndedInSlack = previousBlockEndedInSlack;
    previousBlockEndedInSlack = size >= kSlackBytes &&
                                std::all_of(data + size - kSlackBytes, data + size, [](uint8_t b) { return b == 0; });

    // A worker's classification of these bytes, when the scan runs workers; the library otherwise.
    const BlockClassification* known = recovery->currentClassification;
    if (known && !known->done)
        known = nullptr;
    const char* answer =
        known ? (known->answered ? known->answer.c_str() : nullptr) : magic_buffer(magicCookie, data, size);
    if (!answer) {
        // Counted as continuation. Only the first error is printed; a broken description would
        // otherwise print one line per free block.
        if (classifyErrors++ == 0) {
            const char* text = known ? known->error.c_str() : magic_error(magicCookie);
            std::printf("ERROR: %s\n", text ? text : "classification failed");
        }
        return;
    }
    if (!mayStartFile(answer))
        return;
    // Blocks inside binary files (a PDF's object streams, an RTF's body, runs of equal bytes) often
    // read as text. Text starts a new file only where the open binary file has visibly ended.
    if (openItem && !previousEndedInSlack && isTextAnswer(answer) && !isTextAnswer(openAnswer.c_str()))
        return;
    // Text has no header: every block of a text file reads as text of the same type, and continues
    // the file rather than starting one per block.
    if (openItem && isTextAnswer(answer) && openAnswer.compare(0, openAnswer.find('\t'), answer) == 0)
        return;

    // A recognised start, even of the same (not text) type as the open file, ends that file here.
    if (openItem) {
        finishItem(openItem, recovery->currentDiskBlock, openAnswer.c_str());
        openItem = nullptr;
    }
    CRawVolumeItem* item = new (std::nothrow) CRawVolumeItem();
    if (!item) {
        std::printf("ERROR: out of memory\n");
        return;
    }
    item->volume = recovery->volume;
    item->firstBlock = uint64_t(std::max<int64_t>(0, recovery->currentDiskBlock));
    item->setContainer(false);
    // openAnswer = type, then TAB and the first extension of the same block when the description
    // names one. Without workers the second query runs here, on start blocks only.
    openAnswer.assign(answer); // copied first: the next query reuses the library's answer buffer
    // A text file without the text filter is discarded when it ends: its extension is never used.
    const bool named = !isTextAnswer(answer) || recovery->enableSearchText;
    const std::string extension = known ? known->extension : named ? startExtension(magicCookie, data, size) : "";
    if (!extension.empty()) {
        openAnswer.push_back('\t');
        openAnswer.append(extension);
    }
    openItem = item;
}

CBlockClassifier* CRawAnalyser::createClassifier()
{
    // Without a loaded description of its own the analyser classifies nothing, workers or not.
    if (!magicCookie)
        return nullptr;
    if (!recovery)
        return nullptr;
    return new (std::nothrow) CMagicClassifier(recovery->magicFilePath + "/magic", recovery->enableSearchText);
}

bool CRawAnalyser::finishItem(CRawVolumeItem* item, int64_t endBlock, const char* answer)
{
    if (!item)
        return false;
    if (!recovery) {
        delete item;
        return false;
    }
    const uint64_t first = item->firstBlock;
    const uint64_t end = endBlock > 0 ? uint64_t(endBlock) : 0;
    const uint64_t blocks = end > first ? end - first : 0;
    uint64_t size = 0;
    if (__builtin_mul_overflow(blocks, blockSizeOf(item), &size))
        size = UINT64_MAX;
    item->size = size;

    // The cap comes first, so that the keyword search below never reads past what is kept.
    bool capped = false;
    if (recovery->limitItemSize) {
        const uint64_t limit = uint64_t(std::max<int64_t>(0, recovery->maxItemSize));
        if (size > limit) {
            item->size = limit;
            capped = true;
        }
    }

    std::string type;
    std::string extension;
    splitMagicAnswer(answer, type, extension);

    // Text files are kept when text scanning is on: all of them, or with the keyword limit on only
    // those that hold a keyword.
    bool keep = true;
    if (type.compare(0, 5, "text/") == 0)
        keep = recovery->enableSearchText && (!recovery->enableSearchKeywords || containsKeyword(item, item->size));
    if (!keep) {
        delete item;
        return false;
    }

    CVolumeItem* root = recovery->resultRoot;
    CVolumeItem* folder = nullptr;
    if (root) {
        const size_t slash = type.find('/');
        if (slash == std::string::npos) {
            folder = root->findOrCreateChild(type, true);
        } else {
            const std::string major = type.substr(0, slash);
            const std::string key = "Category_" + major;
            const std::string localized = localize(key);
            CVolumeItem* majorFolder = root->findOrCreateChild(localized != key ? localized : major, true);
            if (majorFolder) {
                majorFolder->setFlags(ItemDeleted);
                folder = majorFolder->findOrCreateChild(type.substr(slash + 1), true);
            }
        }
    }
    if (!folder) {
        std::printf("ERROR: no folder for a recovered file\n");
        delete item;
        return false;
    }
    folder->setFlags(ItemDeleted);

    // The exact end block: names stay distinct however large the volume.
    std::string name = std::to_string(end);
    if (!extension.empty())
        name += "." + extension;
    item->setName(name);
    folder->addChild(item);
    item->setParent(folder);
    item->setFlags(ItemDeleted);

    if (capped)
        std::printf("correcting item %s, size: %" PRIu64 " -> %" PRIu64 "\n", name.c_str(), size, item->size);
    if (recovery->listener)
        recovery->listener->itemChanged(folder);
    return true;
}

// True when one of the keywords occurs in the item's first `length` bytes. Chunks overlap by the
// longest keyword's length less one, so an occurrence across a chunk boundary is found too; no
// read reaches past `length`. An empty keyword never matches; a read error ends the search.
bool CRawAnalyser::containsKeyword(CRawVolumeItem* item, uint64_t length)
{
    size_t longest = 0;
    for (const std::string& keyword : recovery->keywords)
        longest = std::max(longest, keyword.size());
    if (longest == 0 || length == 0)
        return false;
    if (longest > UINT32_MAX / 4) // a keyword no disk read could hold
        return false;

    const uint32_t overlap = uint32_t(longest - 1);
    const uint32_t window = std::max<uint32_t>(kKeywordChunk, 2 * uint32_t(longest));
    if (chunk.size() < window) {
        try {
            chunk.resize(window);
        } catch (const std::bad_alloc&) {
            std::printf("ERROR: out of memory\n");
            return false;
        }
    }

    uint64_t offset = 0;
    while (offset < length) {
        const uint32_t want = uint32_t(std::min<uint64_t>(window, length - offset));
        const uint32_t got = item->read(offset, chunk.data(), want);
        if (got == 0)
            return false;
        for (const std::string& keyword : recovery->keywords)
            if (!keyword.empty() && findMemory(chunk.data(), reinterpret_cast<const uint8_t*>(keyword.data()), int(got),
                                               uint32_t(keyword.size())))
                return true;
        if (offset + got >= length)
            break;
        offset += got - overlap; // got == window > overlap here, so the search moves on
    }
    return false;
}

void CRawAnalyser::scanEnd()
{
    if (openItem && recovery) {
        // Where the walk stopped: the end of the scanned range, or the block at which a cancel
        // ended it. Blocks the walk never reached are not claimed for the file.
        finishItem(openItem, recovery->scanEndDiskBlock, openAnswer.c_str());
    } else {
        delete openItem;
    }
    openItem = nullptr;
    if (classifyErrors > 1)
        std::printf("ERROR: %" PRId64 " blocks could not be classified\n", classifyErrors);
    if (magicCookie)
        magic_close(magicCookie);
    magicCookie = nullptr;
    std::printf("done\n");
    GLEANER_LOG("CRawAnalyser::scanEnd\n");
}
