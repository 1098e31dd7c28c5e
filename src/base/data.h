// A byte buffer that either owns memory it allocated or borrows memory lent by someone else
// (the block cache lends a line without copying). Allocation failures print a message and leave
// the buffer empty; sizes are checked in 64-bit arithmetic so no product or offset can wrap.
#pragma once

#include <cstdint>

class CData {
public:
    CData() = default;
    CData(void* memory, uint32_t elementSize, uint32_t count);
    ~CData();
    // A copy would free the same memory twice; buffers are passed by pointer.
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    uint32_t getSize() const { return count * elementSize; }
    uint8_t* getData() const { return data; }
    uint8_t* getData(uint32_t offset) const { return data ? data + offset : nullptr; }
    bool isOwned() const { return owned; }

    void clear();
    bool alloc(uint32_t elementSize, uint32_t count);
    bool realloc(uint32_t elementSize, uint32_t count);
    void attach(void* memory, uint32_t elementSize, uint32_t count);
    // Copies elementSize x count bytes from source to the buffer at offset; 0 means "the buffer's own".
    // Returns false (and copies nothing) when the range does not fit.
    bool initWithData(const void* source, uint32_t offset, uint32_t elementSize, uint32_t count);

private:
    uint8_t* data = nullptr;
    uint32_t count = 0;
    uint32_t elementSize = 0;
    bool owned = false;
};
