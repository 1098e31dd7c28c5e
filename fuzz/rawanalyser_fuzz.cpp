// Deleted-files analysis over arbitrary free-block contents: the input becomes a disk that the
// deleted-files scan walks with the program's own compiled description file. Without a mountable
// HFS Plus volume every block is free and classified; an input that does mount is walked with its
// allocation bitmap. The first bytes choose the block size, the text filter, a keyword and the cap.
#include "disks.h"
#include "logger.h"
#include "recovery.h"
#include "resourcedir.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr size_t kHeaderBytes = 3;
constexpr size_t kMaxDiskBytes = 256 * 1024;

class FuzzDisk : public CDisk {
public:
    FuzzDisk(const uint8_t* data, size_t size, int sectorSize)
    {
        path = "/fuzz/disk";
        blockSize = sectorSize;
        blockCount = int64_t(size / size_t(sectorSize));
        bytes.assign(data, data + size_t(blockCount) * size_t(sectorSize));
    }
    ~FuzzDisk() override { cleanup(); }
    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        if (block < 0 || count < 0 || block + count > blockCount)
            return false;
        std::memcpy(buffer, bytes.data() + size_t(block) * size_t(blockSize), size_t(count) * size_t(blockSize));
        return true;
    }
    bool writeBlocks(int64_t, int, const void*) override { return false; }
    bool doOpen(bool) override { return true; }
    void doClose() override {}

private:
    std::vector<uint8_t> bytes;
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The engine's progress and diagnostic lines would only slow the runs down.
    CLogger::getInstance()->setEnabled(false);
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHeaderBytes)
        return 0;
    const uint8_t options = data[0];
    const int sectorSize = 512 << (options & 3);
    const size_t keywordLength = std::min<size_t>(data[2] % 16, size - kHeaderBytes);
    const std::string keyword(reinterpret_cast<const char*>(data + kHeaderBytes), keywordLength);
    const size_t diskStart = kHeaderBytes + keywordLength;
    FuzzDisk disk(data + diskStart, std::min(size - diskStart, kMaxDiskBytes), sectorSize);

    CRecovery recovery;
    recovery.setMagicFilePath(resourceDirectory());
    recovery.setEnableSearchText((options & 4) != 0);
    recovery.setKeywords({keyword, "needle"});
    if (options & 8)
        recovery.maxItemSize = int64_t(data[1]) * 256;
    if (recovery.setDisk(&disk)) {
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    }
    recovery.setDisk(nullptr);
    return 0;
}
