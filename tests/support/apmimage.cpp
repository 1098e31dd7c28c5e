#include "apmimage.h"

#include <algorithm>
#include <cstring>

namespace {
void putBig16(uint8_t* p, uint16_t value)
{
    p[0] = uint8_t(value >> 8);
    p[1] = uint8_t(value);
}

void putBig32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(value >> (24 - 8 * i));
}

uint32_t getBig32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void putText(uint8_t* p, const std::string& text, size_t room)
{
    std::memcpy(p, text.data(), std::min(room, text.size()));
}
} // namespace

void writeApmEntry(uint8_t* at, const ApmEntry& entry, uint32_t mapEntries)
{
    std::memset(at, 0, 512);
    at[0] = 'P';
    at[1] = 'M';
    putBig32(at + 4, mapEntries);
    putBig32(at + 8, entry.firstBlock);
    putBig32(at + 12, entry.blockCount);
    putText(at + 16, entry.name, 32);
    putText(at + 48, entry.type, 32);
    putBig32(at + 84, entry.blockCount); // data area: the whole partition
    putBig32(at + 88, 0x33);             // valid, allocated, readable
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
    putBig16(image.data() + 2, uint16_t(blockSize));
    putBig32(image.data() + 4, blockCount);
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
        if (at + 512 > image.size())
            break;
        const uint8_t* entry = image.data() + at;
        if (entry[0] != 'P' || entry[1] != 'M')
            break;
        if (i == 0)
            claimed = getBig32(entry + 4);
        ApmEntry parsed;
        parsed.firstBlock = getBig32(entry + 8);
        parsed.blockCount = getBig32(entry + 12);
        const char* name = reinterpret_cast<const char*>(entry + 16);
        parsed.name.assign(name, strnlen(name, 32));
        const char* type = reinterpret_cast<const char*>(entry + 48);
        parsed.type.assign(type, strnlen(type, 32));
        entries.push_back(parsed);
    }
    return entries;
}
