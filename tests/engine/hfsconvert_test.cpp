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

std::string convert(const HFSUniStr255& src, uint32_t srcBytes, std::string* printed = nullptr)
{
    char out[256];
    std::memset(out, 'Z', sizeof out);
    OutputCapture capture;
    HFSUni2CStr(&src, srcBytes, out);
    if (printed)
        *printed = capture.finish();
    return std::string(out);
}

template <typename T, size_t N>
T fromBytes(const uint8_t (&bytes)[N])
{
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}
} // namespace

TEST(ByteOrder, BigEndianValuesReadAsHostValues)
{
    EXPECT_EQ(BigToHost16(fromBytes<int16_t>({0xFF, 0xFE})), -2);
    EXPECT_EQ(uint16_t(BigToHost16(fromBytes<int16_t>({0xFF, 0xFE}))), 65534);
    EXPECT_EQ(BigToHost32(fromBytes<uint32_t>({0x12, 0x34, 0x56, 0x78})), 0x12345678u);
    EXPECT_EQ(BigToHost64(fromBytes<uint64_t>({1, 2, 3, 4, 5, 6, 7, 8})), 0x0102030405060708ull);
    EXPECT_EQ(ByteSwap16(fromBytes<uint16_t>({0x00, 0xE9})), 0x00E9);
}

TEST(HFSDateToUnix, DatesUpTo1970MeanNoDate)
{
    EXPECT_EQ(HFSDateToUnix(0), 0u);
    EXPECT_EQ(HFSDateToUnix(2082844800u), 0u);
    EXPECT_EQ(HFSDateToUnix(2082844801u), 1u);
    EXPECT_EQ(HFSDateToUnix(4294967295u), 2212122495u);
}

TEST(HFSUni2CStr, AsciiAndEmptyNames)
{
    EXPECT_EQ(convert(name(3, {'a', 'b', 'c'}), 512), "abc");
    EXPECT_EQ(convert(name(0, {}), 512), "");
    for (uint32_t tooFew : {0u, 1u, 3u})
        EXPECT_EQ(convert(name(3, {'a', 'b', 'c'}), tooFew), "") << tooFew;
}

TEST(HFSUni2CStr, OverlongLengthFieldsAreCutWithTheirMessage)
{
    std::string printed;
    EXPECT_EQ(convert(name(300, std::vector<uint16_t>(255, 'x')), 512, &printed), std::string(254, 'x'));
    EXPECT_EQ(printed, "HFSUni2CStr string too long - size corrected!\n");
    EXPECT_EQ(convert(name(6, {'a', 'b', 'c', 'd', 'e', 'f'}), 10, &printed), "abcd");
    EXPECT_EQ(printed, "HFSUni2CStr buffer overrun - size corrected!\n");
    EXPECT_EQ(convert(name(6, {'a', 'b', 'c', 'd', 'e', 'f'}), 14, &printed), "abcdef");
    EXPECT_EQ(printed, "");
}

TEST(HFSUni2CStr, SurrogatesJoinOrBecomeReplacementAndNothingIsNormalized)
{
    EXPECT_EQ(convert(name(3, {0xD83D, 0xDE00, 'z'}), 512), "\xF0\x9F\x98\x80z");
    EXPECT_EQ(convert(name(2, {0xDE00, 'z'}), 512), "\xEF\xBF\xBDz");
    EXPECT_EQ(convert(name(2, {'z', 0xD83D}), 512), "z\xEF\xBF\xBD");
    EXPECT_EQ(convert(name(3, {0xD83D, 'y', 'z'}), 512), "\xEF\xBF\xBDyz");
    EXPECT_EQ(convert(name(2, {'e', 0x0301}), 512), "e\xCC\x81"); // stays decomposed
}

TEST(HFSUni2CStr, LongNonAsciiNameIsCutAtACharacterBoundaryWithin254Bytes)
{
    EXPECT_EQ(convert(name(255, std::vector<uint16_t>(255, 0x00E9)), 512).size(), 254u);
    const std::string cut = convert(name(255, std::vector<uint16_t>(255, 0x6587)), 512);
    EXPECT_EQ(cut.size(), 252u); // 84 whole characters; the 85th would need 255 bytes
    EXPECT_EQ(cut.substr(249), "\xE6\x96\x87");
}
