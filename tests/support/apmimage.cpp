#include "apmimage.h"

#include "bigendian.h"

#include <algorithm>
#include <cstring>

void writeApmEntry(uint8_t* at, const ApmEntry& entry, uint32_t mapEntries)
{
    std::memset(at, 0, 512);
    at[0] = 'P';
    at[1] = 'M';
    storeBig32(at + 4, mapEntries);
    storeBig32(at + 8, entry.firstBlock);
    storeBig32(at + 12, entry.blockCount);
    std::memcpy(at + 16, entry.name.data(), std::min<size_t>(32, entry.name.size()));
    std::memcpy(at + 48, entry.type.data(), std::min<size_t>(32, entry.type.size()));
    storeBig32(at + 84, entry.blockCount); // data area: the whole partition
    storeBig32(at + 88, 0x33);             // valid, allocated, readable
}
std::vector<uint8_t> makeApmImage(int blockSize, uint32_t blockCount, const std::vector<ApmEntry>& entries)
{
    std::vector<uint8_t> image(size_t(blockSize) * blockCount);
    // Odd bytes only, so no two consecutive bytes spell "PM" (0x50 0x4D) or "ER".
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(((i * 37) % 254) | 1);
    if (blockCount == 0)
        return image;
    std::memset(image.data(), 0, size_t(blockSize));
    image[0] = 'E';
    image[1] = 'R';
    storeBig16(image.data() + 2, uint16_t(blockSize));
    storeBig32(image.data() + 4, blockCount);
    for (size_t i = 0; i < entries.size() && i + 1 < blockCount; ++i) {
        uint8_t* block = image.data() + (i + 1) * size_t(blockSize);
        std::memset(block, 0, size_t(blockSize));
        writeApmEntry(block, entries[i], uint32_t(entries.size()));
    }
    return image;
}
std::vector<ApmEntry> readApmEntries(const std::vector<uint8_t>& image, int blockSize)
{
    std::vector<ApmEntry> entries;
    uint32_t claimed = 1;
    for (uint32_t i = 0; i < claimed; ++i) {
        const size_t at = size_t(i + 1) * size_t(blockSize);
        if (at + 512 > image.size() || image[at] != 'P' || image[at + 1] != 'M')
            break;
        const uint8_t* entry = image.data() + at;
        if (i == 0)
            claimed = loadBig32(entry + 4);
        const char* text = reinterpret_cast<const char*>(entry);
        entries.push_back({loadBig32(entry + 8), loadBig32(entry + 12), std::string(text + 16, strnlen(text + 16, 32)),
                           std::string(text + 48, strnlen(text + 48, 32))});
    }
    return entries;
}
