// Writers of GIF and TIFF from plain pixels; a header may claim another size than the data holds.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace imagewriters {
using Bytes = std::vector<uint8_t>;
void put16le(Bytes& out, uint32_t value);
void put32le(Bytes& out, uint32_t value);
// Pixels index four 0xRRGGBB colours; the frame may claim another size than the screen (0: the screen's).
Bytes gif(uint16_t width, uint16_t height, const std::array<uint32_t, 4>& palette, const std::vector<uint8_t>& indices,
          uint16_t frameWidth = 0, uint16_t frameHeight = 0);
// Uncompressed RGB, rows top-down, in one strip; the header may claim another size (0: the real one).
Bytes tiff(uint32_t width, uint32_t height, const Bytes& rgb, uint32_t claimedWidth = 0, uint32_t claimedHeight = 0);
} // namespace imagewriters
