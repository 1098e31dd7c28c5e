// Fuzzes the lost-volumes scan: each input, laid over a small HFS Plus volume (hfsfuzzdisk.h), is
// a whole disk of 512-byte blocks without a partition map, scanned for stray volume headers; every
// lost partition found is then browsed one level deep, as the user would after the scan. Inputs
// are capped so that each run stays fast.
#include "hfsfuzzdisk.h"
#include "logger.h"
#include "recovery.h"
#include "volumes.h"

#include <cstdint>
#include <cstdio>

namespace {
constexpr size_t kMaxInput = 256 * 1024;
constexpr int kMaxPartitionsBrowsed = 8;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzdisk::silenceEngine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    fuzzdisk::MemoryDisk disk(fuzzdisk::diskBytes(data, size));
    {
        CRecovery recovery;
        if (recovery.setDisk(&disk)) {
            recovery.setScanType(ScanLostVolumes);
            recovery.scan();
        }
        recovery.setDisk(nullptr);
    }
    for (int i = 0; i < disk.getPartitionCount() && i < kMaxPartitionsBrowsed; ++i) {
        CRecovery browser;
        if (browser.setDisk(disk.getPartition(i))) {
            browser.openExistingVolume();
            if (browser.resultRoot)
                browser.resultRoot->addChildren();
        }
        browser.setDisk(nullptr);
    }
    return 0;
}
