// Explicit big-endian loads from byte pointers: every on-disk structure of the engine (partition
// map, HFS Plus) is read through these, never by casting bytes to a struct.
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
