// Byte order, HFS Plus Unicode names and HFS dates: the small conversions every reader of on-disk
// HFS Plus data and of the partition map uses. They keep no state and never read past the number
// of bytes the caller vouches for.
#pragma once

#include <cstdint>

// An HFS Plus Unicode name as it lies on disk: a big-endian length and up to 255 UTF-16 units.
struct HFSUniStr255 {
    uint16_t length;
    uint16_t unicode[255];
};
static_assert(sizeof(HFSUniStr255) == 512, "HFSUniStr255 is 512 bytes on disk");

// True when the host stores the least significant byte first.
inline const bool PlatformIsLSB = [] {
    const uint8_t bytes[2] = {0x00, 0x01};
    uint16_t value;
    __builtin_memcpy(&value, bytes, sizeof value);
    return value == 0x0100;
}();

int16_t BigToHost16(int16_t value);
uint32_t BigToHost32(uint32_t value);
uint64_t BigToHost64(uint64_t value);
uint16_t ByteSwap16(uint16_t value);

// Largest UTF-8 text HFSUni2CStr writes, without its NUL: 255 UTF-16 units of three bytes each, so
// a whole name always fits and two long names never shorten to the same text.
constexpr int kHFSNameMaxUTF8 = 765;
constexpr int kHFSNameBufferSize = kHFSNameMaxUTF8 + 1;

// Converts the name at src (srcBytes readable bytes, length field included) to NUL-terminated
// UTF-8 in out (at least kHFSNameBufferSize bytes). Surrogate pairs are joined, lone surrogates
// become U+FFFD and nothing is normalized.
void HFSUni2CStr(const HFSUniStr255* src, uint32_t srcBytes, char* out);

// Seconds since 1904 to seconds since 1970; dates up to 1970 give 0 (no date).
uint32_t HFSDateToUnix(uint32_t hfsSeconds);
