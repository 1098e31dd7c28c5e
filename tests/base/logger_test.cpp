#include "logger.h"

#include "outputcapture.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>

namespace {
// The logger is process-wide: each test starts and ends with it enabled and nothing muted.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        logger->setEnabled(true);
        for (const char* name : {"logger_test.cpp", "disks.cpp", "Disks.cpp"})
            logger->unmuteFile(name);
    }
    CLogger* logger = CLogger::getInstance();
};
} // namespace

TEST_F(LoggerTest, MutedBaseNameSilencesItInAnyFolderAndOnlyInThatCase)
{
    logger->muteFile("disks.cpp");
    logger->muteFile("Disks.cpp");
    logger->muteFile("Disks.cpp");
    logger->unmuteFile("Disks.cpp"); // a set, not a count
    OutputCapture out;
    for (const char* path : {"/src/disks.cpp", "C:\\src\\disks.cpp", "disks.cpp", "/src/Disks.cpp", "/src/xdisks.cpp"})
        logger->log(1, path, "", (std::string(path) + "\n").c_str());
    logger->log(1, nullptr, "", "no path\n");
    EXPECT_EQ(out.finish(), "/src/Disks.cpp\n/src/xdisks.cpp\nno path\n");
}

TEST_F(LoggerTest, DisabledOrMutedSitesFormatNothing)
{
    int argumentsEvaluated = 0;
    OutputCapture out;
    logger->setEnabled(false);
    GLEANER_LOG("value %d\n", ++argumentsEvaluated);
    logger->setEnabled(true);
    logger->muteFile("logger_test.cpp");
    GLEANER_LOG("value %d\n", ++argumentsEvaluated);
    logger->unmuteFile("logger_test.cpp");
    GLEANER_LOG("value %d\n", ++argumentsEvaluated);
    EXPECT_EQ(out.finish(), "value 1\n");
    EXPECT_EQ(argumentsEvaluated, 1);
}

TEST_F(LoggerTest, LongMessageIsCutToTheBuffer)
{
    const size_t room = CLogger::kFormatBufferSize - 1; // the terminating NUL takes the last byte
    for (const size_t length : {room, room + 1, 3 * room}) {
        SCOPED_TRACE(length);
        const std::string text(length, 'q');
        EXPECT_EQ(std::string(CLogger::format("%s", text.c_str())), text.substr(0, room));
        OutputCapture out;
        logger->print("%s", text.c_str());
        EXPECT_EQ(out.finish(), text.substr(0, room));
    }
}

TEST_F(LoggerTest, FormattedTextOfOneThreadSurvivesAnotherThreadsFormat)
{
    std::barrier sync(2);
    std::string seen;
    std::thread first([&] {
        const char* mine = CLogger::format("first %d", 1);
        sync.arrive_and_wait();
        sync.arrive_and_wait(); // the other thread has formatted in between
        seen = mine;
    });
    std::thread second([&] {
        sync.arrive_and_wait();
        CLogger::format("second thread's longer text %d", 2);
        sync.arrive_and_wait();
    });
    first.join();
    second.join();
    EXPECT_EQ(seen, "first 1");
}

TEST_F(LoggerTest, TwoThreadsLoggingAndMutingAtOnceWriteEveryLineWhole)
{
    constexpr int kLines = 2000;
    OutputCapture out;
    std::thread writer([] {
        for (int i = 0; i < kLines; ++i)
            GLEANER_LOG("line %d of the first thread\n", i);
    });
    std::thread other([&] {
        for (int i = 0; i < kLines; ++i) {
            logger->muteFile("disks.cpp");
            logger->log(i, "/src/volumes.cpp", "", CLogger::format("line %d of the second thread\n", i));
            logger->unmuteFile("disks.cpp");
        }
    });
    writer.join();
    other.join();
    const std::string text = out.finish();
    EXPECT_EQ(countOccurrences(text, " of the first thread\n"), kLines);
    EXPECT_EQ(countOccurrences(text, " of the second thread\n"), kLines);
    EXPECT_EQ(countOccurrences(text, "\n"), 2 * kLines);
}

// A name from the disk may hold terminal commands or format directives; what the log writes holds
// no control character and formats nothing twice, and every other character, UTF-8 included, comes
// out as it was.
TEST_F(LoggerTest, LoggedTextIsWrittenLiterallyWithControlCharactersAndBrokenUtf8Escaped)
{
    const struct {
        const char* name;
        std::string text, written;
    } cases[] = {
        {"plain", "name: caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x93\x81 50%\n",
         "name: caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x93\x81 50%\n"},
        {"escape sequence", "name: \x1b]0;owned\x07\x1b[2J\n", "name: \\x1b]0;owned\\x07\\x1b[2J\n"},
        {"line ends inside", "a\nfake line\r\tb\x7f\n\n", "a\\x0afake line\\x0d\\x09b\\x7f\n\n"},
        {"C1 controls",
         "csi \xC2\x9B"
         "31m nel \xC2\x85 nbsp \xC2\xA0\n",
         "csi \\u009b31m nel \\u0085 nbsp \xC2\xA0\n"},
        {"not UTF-8",
         "raw \x9B"
         "31m \xC0\xAF \xED\xA0\x80 \xE6\x97\n",
         "raw \\x9b31m \\xc0\\xaf \\xed\\xa0\\x80 \\xe6\\x97\n"},
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
