// Writes Apple partition maps by hand into disk images held in memory, and reads the entries of a
// raw map back, independently of the engine's reader.
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

// Writes one 512-byte map entry at 'at', claiming mapEntries entries in the whole map.
void writeApmEntry(uint8_t* at, const ApmEntry& entry, uint32_t mapEntries);

// An image of blockCount blocks: a driver descriptor in block 0, the entries in blocks 1, 2, ... (as
// many as fit) and a byte pattern elsewhere that never forms a map signature.
std::vector<uint8_t> makeApmImage(int blockSize, uint32_t blockCount, const std::vector<ApmEntry>& entries);

// The entries of the map at block 1: as many as the first claims, each signed, none past the end.
std::vector<ApmEntry> readApmEntries(const std::vector<uint8_t>& image, int blockSize);
