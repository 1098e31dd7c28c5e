// Writers of the image formats Qt cannot write (GIF, TIFF), byte by byte, from plain pixels. They
// write exactly the sizes they are given, so a caller can make a header claim more than the data holds.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace imagewriters {

using Bytes = std::vector<uint8_t>;

void put16le(Bytes& out, uint32_t value);
void put32le(Bytes& out, uint32_t value);

// A GIF of width x height pixels, each an index (0-3) into a global table of four 0xRRGGBB colours.
// Every code is a literal: a clear code before each pair of pixels keeps the code size at 3 bits.
// The frame may claim another size than the screen (0: the screen's).
Bytes gif(uint16_t width, uint16_t height, const std::array<uint32_t, 4>& palette, const std::vector<uint8_t>& indices,
          uint16_t frameWidth = 0, uint16_t frameHeight = 0);

// An uncompressed RGB baseline TIFF of width x height pixels (rgb: 3 bytes each, rows top-down), in
// one strip; the header may claim another size (0: the real one).
Bytes tiff(uint32_t width, uint32_t height, const Bytes& rgb, uint32_t claimedWidth = 0, uint32_t claimedHeight = 0);

} // namespace imagewriters
