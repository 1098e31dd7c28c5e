#include "hfsconvert.h"

#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
// An on-disk name: big-endian length field, then big-endian UTF-16 units.
HFSUniStr255 name(uint16_t lengthField, const std::vector<uint16_t>& units)
{
    HFSUniStr255 on{};
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&on);
    bytes[0] = uint8_t(lengthField >> 8);
    bytes[1] = uint8_t(lengthField);
    for (size_t i = 0; i < units.size() && i < 255; ++i) {
        bytes[2 + 2 * i] = uint8_t(units[i] >> 8);
        bytes[3 + 2 * i] = uint8_t(units[i]);
    }
    return on;
}
std::string repeated(const std::string& text, int times)
{
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}
} // namespace
// The readers load their fields inline; only this test catches a wrong shift here.
TEST(ByteOrder, BigEndianValuesReadAsHostValues)
{
    const uint8_t bytes[8] = {0xFF, 0xFE, 0x56, 0x78, 5, 6, 7, 8};
    int16_t i16;
    uint32_t u32;
    uint64_t u64;
    std::memcpy(&i16, bytes, 2);
    std::memcpy(&u32, bytes, 4);
    std::memcpy(&u64, bytes, 8);
    EXPECT_EQ(BigToHost16(i16), -2);
    EXPECT_EQ(BigToHost32(u32), 0xFFFE5678u);
    EXPECT_EQ(BigToHost64(u64), 0xFFFE567805060708ull);
}
TEST(HFSDateToUnix, DatesUpTo1970MeanNoDate)
{
    EXPECT_EQ(HFSDateToUnix(0), 0u);
    EXPECT_EQ(HFSDateToUnix(2082844800u), 0u);
    EXPECT_EQ(HFSDateToUnix(2082844801u), 1u);
    EXPECT_EQ(HFSDateToUnix(4294967295u), 2212122495u);
}
// Lengths beyond 255 units or beyond the record's bytes are cut; surrogates join or become U+FFFD;
// nothing is normalized; the whole name is kept, up to 765 UTF-8 bytes for 255 units.
TEST(HFSUni2CStr, ConvertsWithinTheRecordAndTheBuffer)
{
    const std::vector<uint16_t> abcdef = {'a', 'b', 'c', 'd', 'e', 'f'};
    const struct {
        HFSUniStr255 source;
        uint32_t sourceBytes;
        std::string text;
    } cases[] = {
        {name(3, {'a', 'b', 'c'}), 512, "abc"},
        {name(0, {}), 512, ""},
        {name(3, {'a', 'b', 'c'}), 1, ""}, // not even the length field
        {name(3, {'a', 'b', 'c'}), 3, ""},
        {name(300, std::vector<uint16_t>(255, 'x')), 512, std::string(255, 'x')},
        {name(6, abcdef), 10, "abcd"},
        {name(6, abcdef), 14, "abcdef"},
        {name(3, {0xD83D, 0xDE00, 'z'}), 512, "\xF0\x9F\x98\x80z"},
        {name(2, {0xDE00, 'z'}), 512, "\xEF\xBF\xBDz"},
        {name(2, {'z', 0xD83D, 0xDE00}), 512, "z\xEF\xBF\xBD"}, // never joined with a unit past the length
        {name(3, {0xD83D, 'y', 'z'}), 512, "\xEF\xBF\xBDyz"},
        {name(2, {'e', 0x0301}), 512, "e\xCC\x81"},
        {name(255, std::vector<uint16_t>(255, 0x00E9)), 512, repeated("\xC3\xA9", 255)},
        {name(255, std::vector<uint16_t>(255, 0x6587)), 512, repeated("\xE6\x96\x87", 255)}, // 765 bytes
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        char out[kHFSNameBufferSize];
        std::memset(out, 'Z', sizeof out);
        OutputCapture quiet;
        HFSUni2CStr(&cases[i].source, cases[i].sourceBytes, out);
        EXPECT_EQ(std::string(out), cases[i].text) << "case " << i;
    }
}
