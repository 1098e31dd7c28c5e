// Fuzzes the lost-files scan: each input, laid over a small HFS Plus volume (hfsfuzzdisk.h), is a
// disk of 512-byte blocks scanned for volume headers and catalog leaf nodes; the start of every
// file found is then read the way saving and previews read it. Inputs are capped so that each run
// stays fast.
#include "hfsfuzzdisk.h"
#include "logger.h"
#include "recovery.h"
#include "volumes.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {
constexpr size_t kMaxInput = 256 * 1024;
constexpr size_t kMaxItemsRead = 64;
constexpr uint32_t kMaxReadBytes = 64 * 1024;

void readFoundFiles(CVolumeItem* root)
{
    std::vector<CVolumeItem*> queue{root};
    std::vector<uint8_t> buffer;
    size_t read = 0;
    for (size_t i = 0; i < queue.size() && read < kMaxItemsRead; ++i) {
        for (CVolumeItem* child : queue[i]->children) {
            if (child->isContainer()) {
                queue.push_back(child);
                continue;
            }
            const uint64_t size = child->getSize();
            const uint32_t length = uint32_t(size < kMaxReadBytes ? size : kMaxReadBytes);
            buffer.resize(length);
            if (length > 0)
                child->read(0, buffer.data(), length);
            if (++read >= kMaxItemsRead)
                break;
        }
    }
}
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
    CRecovery recovery;
    if (recovery.setDisk(&disk)) {
        recovery.setScanType(ScanLostFiles);
        recovery.scan();
        if (recovery.resultRoot)
            readFoundFiles(recovery.resultRoot);
    }
    recovery.setDisk(nullptr);
    return 0;
}
