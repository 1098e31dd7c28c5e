// Small images the deleted-files scan carves: each a header written from its format, which a
// content-type library recognises. The same call gives the same bytes.
#pragma once

#include <cstdint>
#include <vector>

// A 2 x 2 PNG image and a one-pixel GIF image, both shorter than 512 bytes.
std::vector<uint8_t> samplePng();
std::vector<uint8_t> sampleGif();
