#include "samplefiles.h"

#include <string_view>

using namespace std::string_view_literals;
// One white pixel: clear code, index 0, end code, packed as three 3-bit codes.
std::vector<uint8_t> sampleGif()
{
    const auto bytes = "GIF89a\x01\0\x01\0\x80\0\0\xff\xff\xff\0\0\0,\0\0\0\0\x01\0\x01\0\0\x02\x02\x44\x01\0;"sv;
    return {bytes.begin(), bytes.end()};
}
// Red, green, blue and white pixels in a zlib stream of one stored deflate block.
std::vector<uint8_t> samplePng()
{
    const auto bytes =
        "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x02\0\0\0\x02\x08\x02\0\0\0\xFD\xD4\x9A\x73\0\0\0\x19IDAT\x78\x01"
        "\x01\x0E\0\xF1\xFF\0\xFF\0\0\0\xFF\0\0\0\0\xFF\xFF\xFF\xFF\x1F\xEE\x05\xFB\xDE\xDD\xEC\x2B\0\0\0\0"
        "IEND\xAE\x42\x60\x82"sv;
    return {bytes.begin(), bytes.end()};
}
