#include "utils.h"

#include "logger.h"
#include "outputcapture.h"
#include "scratchdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cinttypes>

TEST(ScaleSize, UnitsStepAt1024AndStopAtT)
{
    const struct {
        double value, scaled;
        int unit;
    } cases[] = {{1023, 1023, ' '},          {1024, 1, 'K'},           {1048575, 1048575 / 1024.0, 'K'},
                 {1048576, 1, 'M'},          {0x1p50, 1024, 'T'},      {0x1p51, 2048, 'T'}};
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
    EXPECT_EQ(toHexString(0xDEADBEEF), "DEADBEEF");
    EXPECT_EQ(toHexString(0x1234, 2), "34");
    EXPECT_EQ(toHexString(0x1234, 0), "");
    EXPECT_EQ(toHexString(0xCAFEF00D, 12), "0000CAFEF00D"); // no 32-bit shift by 32 or more
}

TEST(Hexdump, TwentyBytesGiveOneFullAndOnePartialLine)
{
    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = uint8_t('A' + i);
    bytes[1] = 0x07;
    CLogger::getInstance(); // its first use prints a line of its own
    OutputCapture err(2);
    OutputCapture out(1);
    hexdump("node", bytes, 20);
    char header[80];
    std::snprintf(header, sizeof header, "Hexdump (node) data=0x%" PRIxPTR ", bytes=20\n", uintptr_t(bytes));
    EXPECT_EQ(out.finish(), std::string(header) + "41 07 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  A.CDEFGHIJKLMNOP\n" +
                                "51 52 53 54 " + std::string(12 * 3, ' ') + " QRST\n");
    EXPECT_EQ(err.finish(), "    0 00000000     16 00000010  ");
}

TEST(FindMemory, FirstMatchOrNullAlsoForEmptyAndLongerNeedles)
{
    const uint8_t hay[] = "abcabcxyz";
    auto find = [&](const char* needle, int hayLength, uint32_t needleLength) {
        return findMemory(hay, reinterpret_cast<const uint8_t*>(needle), hayLength, needleLength);
    };
    EXPECT_EQ(find("abc", 9, 3), hay);
    EXPECT_EQ(find("cab", 9, 3), hay + 2);
    EXPECT_EQ(find("xyz", 9, 3), hay + 6);
    EXPECT_EQ(find("abcabcxyz", 9, 9), hay);
    EXPECT_EQ(find("abd", 9, 3), nullptr);
    EXPECT_EQ(find("abcd", 3, 4), nullptr); // longer than the haystack
    EXPECT_EQ(find("a", 9, 0), nullptr);
    EXPECT_EQ(find("a", 0, 1), nullptr);
    EXPECT_EQ(find("a", -5, 1), nullptr);
    EXPECT_EQ(find(nullptr, 9, 1), nullptr);
}

TEST(FileFunctions, ExistsIsDirectoryAndMakeDirectory)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(writeFileText(dir.file("file"), "x"));
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    EXPECT_TRUE(isDirectory(dir.file("folder")));
    EXPECT_FALSE(isDirectory(dir.file("file")));
    EXPECT_FALSE(isDirectory(dir.file("missing")));
    EXPECT_TRUE(fileExists(dir.file("file")));
    EXPECT_FALSE(fileExists(dir.file("missing")));
    EXPECT_TRUE(makeDirectory(dir.file("made")));
    EXPECT_TRUE(isDirectory(dir.file("made")));
    EXPECT_FALSE(makeDirectory(dir.file("made")));           // exists already
    EXPECT_FALSE(makeDirectory(dir.file("no/parent/here"))); // parents are not made
}

TEST(FormatString, LongTextsComeBackWholeWithEveryArgumentRight)
{
    const std::string text(5000, 'w');
    EXPECT_EQ(formatString("%s", text.c_str()), text);
    // Outgrowing the first buffer formats the arguments a second time.
    EXPECT_EQ(formatString("%d|%s|%d|%s|%.1f", 17, text.c_str(), -4, "end", 2.5), "17|" + text + "|-4|end|2.5");
}
