#include "hfsconvert.h"

#include "bigendian.h"

#include <cstdio>
#include <cstring>

int16_t BigToHost16(int16_t value)
{
    return PlatformIsLSB ? int16_t(__builtin_bswap16(uint16_t(value))) : value;
}

uint32_t BigToHost32(uint32_t value)
{
    return PlatformIsLSB ? __builtin_bswap32(value) : value;
}

uint64_t BigToHost64(uint64_t value)
{
    return PlatformIsLSB ? __builtin_bswap64(value) : value;
}

uint16_t ByteSwap16(uint16_t value)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap16(value);
#else
    return value;
#endif
}

namespace {
// Appends one code point as UTF-8 when it fits within the limit; false when it does not.
bool appendUTF8(char* out, int* used, uint32_t code)
{
    char bytes[4];
    int n;
    if (code < 0x80) {
        bytes[0] = char(code);
        n = 1;
    } else if (code < 0x800) {
        bytes[0] = char(0xC0 | (code >> 6));
        bytes[1] = char(0x80 | (code & 0x3F));
        n = 2;
    } else if (code < 0x10000) {
        bytes[0] = char(0xE0 | (code >> 12));
        bytes[1] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = char(0x80 | (code & 0x3F));
        n = 3;
    } else {
        bytes[0] = char(0xF0 | (code >> 18));
        bytes[1] = char(0x80 | ((code >> 12) & 0x3F));
        bytes[2] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[3] = char(0x80 | (code & 0x3F));
        n = 4;
    }
    if (*used + n > kHFSNameMaxUTF8)
        return false;
    std::memcpy(out + *used, bytes, size_t(n));
    *used += n;
    return true;
}
} // namespace

void HFSUni2CStr(const HFSUniStr255* src, uint32_t srcBytes, char* out)
{
    out[0] = 0;
    if (!src || srcBytes < 2)
        return;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(src);
    uint32_t count = loadBig16(bytes);
    if (count > 255) {
        count = 255;
        std::printf("HFSUni2CStr string too long - size corrected!\n");
    }
    if (2 * count > srcBytes - 2) {
        count = (srcBytes - 2) / 2;
        std::printf("HFSUni2CStr buffer overrun - size corrected!\n");
    }
    const uint8_t* units = bytes + 2;
    int used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t code = loadBig16(units + 2 * i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count) {
            const uint32_t low = loadBig16(units + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                code = 0xFFFD;
            }
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (!appendUTF8(out, &used, code))
            break;
    }
    out[used] = 0;
}

uint32_t HFSDateToUnix(uint32_t hfsSeconds)
{
    constexpr uint32_t kSeconds1904To1970 = 2082844800u;
    return hfsSeconds <= kSeconds1904To1970 ? 0 : hfsSeconds - kSeconds1904To1970;
}
