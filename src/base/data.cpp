#include "data.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Products above 32 bits cannot be described by getSize, so they are refused.
bool byteCount(uint32_t elementSize, uint32_t count, uint32_t* bytes)
{
    const uint64_t product = uint64_t(elementSize) * count;
    if (product > UINT32_MAX)
        return false;
    *bytes = uint32_t(product);
    return true;
}
} // namespace

CData::CData(void* memory, uint32_t elementSize, uint32_t count)
{
    attach(memory, elementSize, count);
}

CData::~CData()
{
    clear();
}

void CData::clear()
{
    if (data && owned)
        std::free(data);
    data = nullptr;
    count = 0;
    elementSize = 0;
    owned = false;
}

bool CData::alloc(uint32_t newElementSize, uint32_t newCount)
{
    clear();
    uint32_t bytes = 0;
    void* memory = byteCount(newElementSize, newCount, &bytes) ? std::malloc(bytes ? bytes : 1) : nullptr;
    if (!memory) {
        std::printf("CData::alloc failed!\n");
        return false;
    }
    data = static_cast<uint8_t*>(memory);
    elementSize = newElementSize;
    count = newCount;
    owned = true;
    return true;
}

bool CData::realloc(uint32_t newElementSize, uint32_t newCount)
{
    if (!data || !owned)
        return alloc(newElementSize, newCount);
    uint32_t bytes = 0;
    void* memory = byteCount(newElementSize, newCount, &bytes) ? std::realloc(data, bytes ? bytes : 1) : nullptr;
    if (!memory) {
        std::printf("error at CData::realloc failed\n");
        return false;
    }
    data = static_cast<uint8_t*>(memory);
    elementSize = newElementSize;
    count = newCount;
    return true;
}

void CData::attach(void* memory, uint32_t newElementSize, uint32_t newCount)
{
    clear();
    data = static_cast<uint8_t*>(memory);
    elementSize = newElementSize;
    count = newCount;
    owned = false;
}

bool CData::initWithData(const void* source, uint32_t offset, uint32_t copyElementSize, uint32_t copyCount)
{
    const uint64_t size = copyElementSize ? copyElementSize : elementSize;
    const uint64_t number = copyCount ? copyCount : count;
    const uint64_t bytes = size * number;
    if (uint64_t(offset) + bytes > getSize() || (bytes && (!data || !source))) {
        std::printf("error at CData::initWithData: incorrect data size!\n");
        return false;
    }
    if (bytes)
        std::memcpy(data + offset, source, bytes);
    return true;
}
