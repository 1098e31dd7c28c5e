// Apple partition maps written by hand and read back, independently of the engine's reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ApmEntry {
    uint32_t firstBlock = 0;
    uint32_t blockCount = 0;
    std::string name;               // at most 32 bytes; exactly 32 leaves no terminating NUL
    std::string type = "Apple_HFS"; // at most 32 bytes
};
// One 512-byte entry of a map of mapEntries entries.
void writeApmEntry(uint8_t* at, const ApmEntry& entry, uint32_t mapEntries);
// A driver descriptor, the entries from block 1 on (as many as fit), elsewhere a pattern with no signature.
std::vector<uint8_t> makeApmImage(int blockSize, uint32_t blockCount, const std::vector<ApmEntry>& entries);
// As many entries as the first claims, each signed, none past the end.
std::vector<ApmEntry> readApmEntries(const std::vector<uint8_t>& image, int blockSize);
