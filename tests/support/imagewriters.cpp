#include "imagewriters.h"

#include <algorithm>

namespace imagewriters {
void put16le(Bytes& out, uint32_t value)
{
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}
void put32le(Bytes& out, uint32_t value)
{
    put16le(out, value & 0xFFFF);
    put16le(out, value >> 16);
}
Bytes gif(uint16_t width, uint16_t height, const std::array<uint32_t, 4>& palette, const std::vector<uint8_t>& indices,
          uint16_t frameWidth, uint16_t frameHeight)
{
    Bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    put16le(out, width);
    put16le(out, height);
    out.insert(out.end(), {0x81, 0, 0}); // a global table of 4 colours
    for (uint32_t c : palette)
        out.insert(out.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
    out.push_back(0x2C);
    put32le(out, 0);
    put16le(out, frameWidth ? frameWidth : width);
    put16le(out, frameHeight ? frameHeight : height);
    out.insert(out.end(), {0, 2}); // no local table; minimum code size
    Bytes codes;
    uint32_t bits = 0;
    int used = 0;
    auto putCode = [&](uint32_t code) {
        bits |= code << used;
        for (used += 3; used >= 8; used -= 8, bits >>= 8)
            codes.push_back(uint8_t(bits));
    };
    const size_t pixels = std::min(indices.size(), size_t(width) * height);
    for (size_t i = 0; i < pixels; ++i) {
        if (i % 2 == 0)
            putCode(4);
        putCode(indices[i] & 3u);
    }
    putCode(5);
    if (used > 0)
        codes.push_back(uint8_t(bits));
    for (size_t at = 0; at < codes.size(); at += 255) {
        const size_t n = std::min<size_t>(255, codes.size() - at);
        out.push_back(uint8_t(n));
        out.insert(out.end(), codes.begin() + long(at), codes.begin() + long(at + n));
    }
    out.insert(out.end(), {0, 0x3B});
    return out;
}
Bytes tiff(uint32_t width, uint32_t height, const Bytes& rgb, uint32_t claimedWidth, uint32_t claimedHeight)
{
    Bytes out = {'I', 'I', 42, 0};
    put32le(out, 8);
    const uint32_t bitsAt = 8 + 2 + 10 * 12 + 4, pixelsAt = bitsAt + 6;
    const uint32_t entries[][4] = {{256, 4, 1, claimedWidth ? claimedWidth : width},
                                   {257, 4, 1, claimedHeight ? claimedHeight : height},
                                   {258, 3, 3, bitsAt},
                                   {259, 3, 1, 1},
                                   {262, 3, 1, 2},
                                   {273, 4, 1, pixelsAt},
                                   {277, 3, 1, 3},
                                   {278, 4, 1, height},
                                   {279, 4, 1, width * height * 3},
                                   {284, 3, 1, 1}};
    put16le(out, 10);
    for (const auto& e : entries) {
        put16le(out, e[0]);
        put16le(out, e[1]);
        put32le(out, e[2]);
        put32le(out, e[3]);
    }
    put32le(out, 0);
    out.insert(out.end(), {8, 0, 8, 0, 8, 0}); // bits per sample
    out.insert(out.end(), rgb.begin(), rgb.end());
    return out;
}
} // namespace imagewriters
