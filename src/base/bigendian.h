// Explicit big-endian loads from byte pointers: every on-disk structure of the engine (partition
// map, HFS Plus) is read through these, never by casting bytes to a struct. The stores are their
// counterparts for the code that builds images (tests, benchmarks); the engine writes no disk.
#pragma once

#include <cstdint>

inline uint16_t loadBig16(const uint8_t* p)
{
    return uint16_t(uint16_t(p[0]) << 8 | p[1]);
}

inline uint32_t loadBig32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline uint64_t loadBig64(const uint8_t* p)
{
    return uint64_t(loadBig32(p)) << 32 | loadBig32(p + 4);
}

inline void storeBig16(uint8_t* p, uint16_t value)
{
    p[0] = uint8_t(value >> 8);
    p[1] = uint8_t(value);
}

inline void storeBig32(uint8_t* p, uint32_t value)
{
    storeBig16(p, uint16_t(value >> 16));
    storeBig16(p + 2, uint16_t(value));
}

inline void storeBig64(uint8_t* p, uint64_t value)
{
    storeBig32(p, uint32_t(value >> 32));
    storeBig32(p + 4, uint32_t(value));
}
