#include "data.h"
#include "logger.h"
#include "machelpers.h"
#include "threads.h"
#include "utils.h"

#include "outputcapture.h"
#include "scopedenvironment.h"
#include "scratchdir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <thread>
#include <tuple>
#include <type_traits>

static_assert(!std::is_copy_constructible_v<CData> && !std::is_copy_assignable_v<CData>,
              "a copied CData would free its memory twice");
// Under ASan, owned memory that attach fails to free shows as a leak, a free of the lent array as corruption.
TEST(CData, BorrowedMemoryIsNeitherFreedNorResized)
{
    uint8_t lent[16] = {7};
    CData buffer;
    ASSERT_TRUE(buffer.alloc(1, 64));
    buffer.attach(lent, 1, sizeof lent);
    EXPECT_FALSE(buffer.isOwned());
    EXPECT_EQ(buffer.getData(4), lent + 4);
    ASSERT_TRUE(buffer.realloc(1, 32));
    EXPECT_TRUE(buffer.isOwned());
    EXPECT_NE(buffer.getData(), lent);
    buffer.attach(lent, 1, sizeof lent);
    buffer.clear();
    EXPECT_EQ(lent[0], 7);
}
TEST(CData, CopiesUpToTheEndAndRefusesOneByteMoreOrSizesBeyond32Bits)
{
    CData buffer;
    OutputCapture quiet;
    EXPECT_FALSE(buffer.alloc(65536, 65537)); // wraps to 65536 in 32 bits
    ASSERT_TRUE(buffer.alloc(1, 8));
    EXPECT_FALSE(buffer.realloc(65536, 65537));
    EXPECT_FALSE(buffer.initWithData("abcdefgh", 0xFFFFFFF8u, 1, 16)); // offset + length wraps to 8
    EXPECT_FALSE(buffer.initWithData("abcdefgh", 0, 2, 0x80000000u));  // 2 x 2^31 wraps to 0
    EXPECT_TRUE(buffer.initWithData("abcdefgh", 0, 0, 0));             // zero sizes mean the buffer's own
    EXPECT_TRUE(buffer.initWithData("xyz", 5, 1, 3));
    EXPECT_FALSE(buffer.initWithData("wxyz", 5, 1, 4));
    EXPECT_EQ(std::memcmp(buffer.getData(), "abcdexyz", 8), 0);
}
namespace {
// The logger is process-wide: each test starts and ends with it enabled and nothing muted.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        logger->setEnabled(true);
        for (const char* name : {"base_test.cpp", "disks.cpp", "Disks.cpp"})
            logger->unmuteFile(name);
    }
    CLogger* logger = CLogger::getInstance();
};
} // namespace
// Muting is by case-sensitive base name, a set, not a count; a silent site evaluates no argument.
TEST_F(LoggerTest, MutedOrDisabledSitesWriteAndFormatNothing)
{
    logger->muteFile("disks.cpp");
    logger->muteFile("Disks.cpp");
    logger->muteFile("Disks.cpp");
    logger->unmuteFile("Disks.cpp");
    OutputCapture out;
    for (const char* path : {"/src/disks.cpp", "C:\\src\\disks.cpp", "disks.cpp", "/src/Disks.cpp", "/src/xdisks.cpp"})
        logger->log(1, path, "", (std::string(path) + "\n").c_str());
    logger->log(1, nullptr, "", "no path\n");
    int argumentsEvaluated = 0;
    logger->setEnabled(false);
    GLEANER_LOG("value %d\n", ++argumentsEvaluated);
    logger->setEnabled(true);
    logger->muteFile("base_test.cpp");
    GLEANER_LOG("value %d\n", ++argumentsEvaluated);
    logger->unmuteFile("base_test.cpp");
    GLEANER_LOG("value %d\n", ++argumentsEvaluated);
    EXPECT_EQ(out.finish(), "/src/Disks.cpp\n/src/xdisks.cpp\nno path\nvalue 1\n");
    EXPECT_EQ(argumentsEvaluated, 1);
}
// A name from the disk may hold terminal commands or format directives: none is written or formatted.
TEST_F(LoggerTest, LoggedTextIsWrittenLiterallyWithControlCharactersAndBrokenUtf8Escaped)
{
    const struct {
        const char* name;
        std::string text, written;
    } cases[] = {
        {"plain", "name: caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x93\x81 50%\n",
         "name: caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x93\x81 50%\n"},
        {"highest two- and four-byte forms, last at the end", "\xDF\xBF \xF4\x8F\xBF\xBF caf\xC3\xA9",
         "\xDF\xBF \xF4\x8F\xBF\xBF caf\xC3\xA9"},
        {"escape sequence", "name: \x1b]0;owned\x07\x1b[2J\n", "name: \\x1b]0;owned\\x07\\x1b[2J\n"},
        {"line ends inside", "a\nfake line\r\tb\x7f\n\n", "a\\x0afake line\\x0d\\x09b\\x7f\n\n"},
        {"C1 controls", "csi \xC2\x9B[m nel \xC2\x85 nbsp \xC2\xA0\n", "csi \\u009b[m nel \\u0085 nbsp \xC2\xA0\n"},
        {"not UTF-8", "raw \x9B[m \xC0\xAF \xED\xA0\x80 \xE6\x97\n",
         "raw \\x9b[m \\xc0\\xaf \\xed\\xa0\\x80 \\xe6\\x97\n"},
        {"nul", std::string("a\0b\n", 4), "a\\x00b\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(escapeControlCharacters(c.text), c.written);
    }
    OutputCapture out;
    GLEANER_LOG("volume name: %s\n", "\x1b[31mred");
    logger->print("%s\n", "\x1b[31mred");
    logger->log(1, "x.cpp", "", "100%s %d %n\n");
    GLEANER_LOG("%s\n", "file %s of %d%%");
    EXPECT_EQ(out.finish(), "volume name: \\x1b[31mred\n\\x1b[31mred\n100%s %d %n\nfile %s of %d%%\n");
}
// The format buffer is per thread: another thread's format leaves this thread's text alone.
TEST_F(LoggerTest, FormattedTextOfOneThreadSurvivesAnotherThreadsFormat)
{
    const char* mine = CLogger::format("first %d", 1);
    std::thread([] { CLogger::format("second thread's longer text %d", 2); }).join();
    EXPECT_STREQ(mine, "first 1");
}
// Times from 2^31 on are after 2038, not before 1970; summer time comes from the zone's rule.
TEST(FormatDate, GivesLocalTimeAlsoAfter2038)
{
    const std::tuple<const char*, uint32_t, const char*> cases[] = {
        {"UTC", 0x80000000u, "2038-01-19 03:14:08"},
        {"UTC", 0xFFFFFFFFu, "2106-02-07 06:28:15"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1719835200, "2024-07-01 14:00:00"}};
    {
        ScopedEnvironment environment;
        for (const auto& [zone, time, text] : cases) {
            environment.set("TZ", zone);
            ::tzset();
            EXPECT_EQ(formatDate(time), text) << zone << " " << time;
        }
    }
    ::tzset();
}
namespace {
class PollingThread : public CThread {
public:
    void run() override
    {
        entered = true;
        while (!isStopRequested())
            std::this_thread::yield();
        returned = true;
    }
    static inline std::atomic<bool> entered{false};
    static inline std::atomic<bool> returned{false};
};
} // namespace
TEST(CThread, RunsOnlyAfterStartAndStopOrTheDestructorWaitsForTheEnd)
{
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop);
        PollingThread::entered = PollingThread::returned = false;
        {
            PollingThread thread;
            ASSERT_TRUE(thread.start());
            EXPECT_FALSE(thread.start());
            while (!PollingThread::entered)
                std::this_thread::yield();
            if (stop) {
                thread.stop(true);
                EXPECT_FALSE(thread.isRunning());
            }
        }
        EXPECT_TRUE(PollingThread::returned);
    }
}
// Zeros beyond the eighth hex digit (no shift by 32); a long text is formatted again from a fresh va_list.
TEST(TextHelpers, HexStringsAndLongFormattedTextsComeOutWhole)
{
    EXPECT_EQ(toHexString(0xAB, 4), "00AB");
    EXPECT_EQ(toHexString(0x1234, 2), "34");
    EXPECT_EQ(toHexString(0xCAFEF00D, 12), "0000CAFEF00D");
    const std::string text(5000, 'w');
    EXPECT_EQ(formatString("%d|%s|%d|%s|%.1f", 17, text.c_str(), -4, "end", 2.5), "17|" + text + "|-4|end|2.5");
}
TEST(Hexdump, PartialLastLineShowsOnlyItsOwnBytes)
{
    uint8_t bytes[20];
    std::iota(bytes, bytes + 20, uint8_t('A'));
    CLogger::getInstance()->setEnabled(true);
    OutputCapture err(2);
    OutputCapture out(1);
    hexdump("node", bytes, 20);
    hexdump("none", nullptr, 16);
    EXPECT_NE(out.finish().find("51 52 53 54 " + std::string(12 * 3, ' ') + " QRST\n"), std::string::npos);
    EXPECT_EQ(err.finish(), "    0 00000000     16 00000010  ");
}
TEST(InfoValue, ReadsTheShippedTableAndTellsAMissingKey)
{
    EXPECT_EQ(infoValue("NoSuchInfoKey"), std::nullopt);
    EXPECT_EQ(infoValue("AppName"), "Gleaner");
}
TEST(PathHelpers, MakeDirectoryAndIsDirectoryTellFoldersFromTheRest)
{
    ScratchDir scratch;
    EXPECT_TRUE(makeDirectory(scratch.file("inner")));
    EXPECT_FALSE(makeDirectory(scratch.file("inner")));
    EXPECT_TRUE(isDirectory(scratch.file("inner")));
    EXPECT_FALSE(isDirectory(scratch.file("missing")));
    EXPECT_TRUE(writeFileText(scratch.file("file"), "x"));
    EXPECT_FALSE(isDirectory(scratch.file("file")));
}
TEST(FindMemory, FirstMatchOrNullAlsoForEmptyAndLongerNeedles)
{
    const uint8_t hay[] = "abcabcxyz";
    const auto find = [&](const char* needle, int hayLength, uint32_t needleLength) {
        return findMemory(hay, reinterpret_cast<const uint8_t*>(needle), hayLength, needleLength);
    };
    EXPECT_EQ(find("xyz", 9, 3), hay + 6);
    EXPECT_EQ(find("abcabcxyz", 9, 9), hay);
    EXPECT_FALSE(find("abd", 9, 3) || find("abcd", 3, 4) || find("a", 9, 0) || find("a", -5, 1) || find(nullptr, 9, 1));
}
