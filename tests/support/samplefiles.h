// Small files of every type the deleted-files scan carves: each a header written from its format,
// which a content-type library recognises, then pattern bytes. The same call gives the same bytes.
#pragma once

#include <cstdint>
#include <vector>

// One sample of each carved type, in a fixed order.
std::vector<std::vector<uint8_t>> sampleFiles();

// A 2 x 2 PNG image and a one-pixel GIF image, both shorter than 512 bytes.
std::vector<uint8_t> samplePng();
std::vector<uint8_t> sampleGif();
