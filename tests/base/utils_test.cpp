#include "utils.h"

#include "logger.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

TEST(ScaleSize, UnitsStepAt1024AndStopAtT)
{
    const struct {
        double value, scaled;
        int unit;
    } cases[] = {{1023, 1023, ' '},
                 {1024, 1, 'K'},
                 {1048575, 1048575 / 1024.0, 'K'},
                 {1048576, 1, 'M'},
                 {0x1p40 - 1, (0x1p40 - 1) / 0x1p30, 'G'},
                 {0x1p40, 1, 'T'},
                 {0x1p50, 1024, 'T'},
                 {0x1p51, 2048, 'T'}};
    for (const auto& c : cases) {
        double value = c.value;
        int unit = 0;
        scaleSize(&value, &unit);
        EXPECT_DOUBLE_EQ(value, c.scaled) << c.value;
        EXPECT_EQ(unit, c.unit) << c.value;
    }
}

TEST(ToHexString, UpperCaseDigitsAndZerosBeyondTheEighth)
{
    EXPECT_EQ(toHexString(0xAB, 4), "00AB");
    EXPECT_EQ(toHexString(0x1234, 2), "34");
    EXPECT_EQ(toHexString(0xCAFEF00D, 12), "0000CAFEF00D"); // no 32-bit shift by 32 or more
}

TEST(Hexdump, PartialLastLineShowsOnlyItsOwnBytes)
{
    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = uint8_t('A' + i);
    CLogger::getInstance()->setEnabled(true);
    OutputCapture err(2);
    OutputCapture out(1);
    hexdump("node", bytes, 20);
    EXPECT_NE(out.finish().find("51 52 53 54 " + std::string(12 * 3, ' ') + " QRST\n"), std::string::npos);
    EXPECT_EQ(err.finish(), "    0 00000000     16 00000010  ");
}

TEST(FindMemory, FirstMatchOrNullAlsoForEmptyAndLongerNeedles)
{
    const uint8_t hay[] = "abcabcxyz";
    const auto find = [&](const char* needle, int hayLength, uint32_t needleLength) {
        return findMemory(hay, reinterpret_cast<const uint8_t*>(needle), hayLength, needleLength);
    };
    EXPECT_EQ(find("cab", 9, 3), hay + 2);
    EXPECT_EQ(find("xyz", 9, 3), hay + 6);
    EXPECT_EQ(find("abcabcxyz", 9, 9), hay);
    EXPECT_EQ(find("abd", 9, 3), nullptr);
    EXPECT_EQ(find("abcd", 3, 4), nullptr); // longer than the haystack
    EXPECT_EQ(find("a", 9, 0), nullptr);
    EXPECT_EQ(find("a", -5, 1), nullptr);
    EXPECT_EQ(find(nullptr, 9, 1), nullptr);
}

TEST(FormatString, LongTextsComeBackWholeWithEveryArgumentRight)
{
    const std::string text(5000, 'w');
    // Outgrowing the first buffer formats the arguments a second time, from a fresh va_list.
    EXPECT_EQ(formatString("%d|%s|%d|%s|%.1f", 17, text.c_str(), -4, "end", 2.5), "17|" + text + "|-4|end|2.5");
}
