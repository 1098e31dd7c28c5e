// Deleted-files analysis over arbitrary free-block contents: the input becomes a disk that the
// deleted-files scan walks with the program's own compiled description file. Without a mountable
// HFS Plus volume every block is free and classified; an input that does mount is walked with its
// allocation bitmap. The first bytes choose the block size, the text filter, a keyword, the cap and
// whether two worker threads classify the blocks.
#include "disks.h"
#include "fuzzsupport.h"
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
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzdisk::silenceEngine();
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
    const size_t diskBytes = std::min(size - diskStart, kMaxDiskBytes);
    fuzzdisk::MemoryDisk disk(std::vector<uint8_t>(data + diskStart, data + diskStart + diskBytes), sectorSize);

    CRecovery recovery;
    recovery.setMagicFilePath(resourceDirectory());
    recovery.setEnableSearchText((options & 4) != 0);
    recovery.setKeywords({keyword, "needle"});
    recovery.setScanWorkerCount((options & 16) ? 2 : 1);
    if (options & 8)
        recovery.maxItemSize = int64_t(data[1]) * 256;
    if (recovery.setDisk(&disk)) {
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    }
    recovery.setDisk(nullptr);
    return 0;
}
