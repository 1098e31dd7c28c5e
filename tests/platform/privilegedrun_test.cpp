#include "privilegedrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

TEST(PrivilegedRun, CopiesAllOutputInChunksOfAtMost128Bytes)
{
    std::string text;
    size_t chunks = 0;
    size_t largest = 0;
    const ProcessOutcome outcome =
        runProgram({"/bin/sh", "-c", "i=0; while [ $i -lt 100 ]; do printf '0123456789'; i=$((i+1)); done"},
                   [&](const char* data, size_t length) {
                       text.append(data, length);
                       ++chunks;
                       largest = std::max(largest, length);
                   });
    EXPECT_TRUE(outcome.succeeded());
    EXPECT_EQ(text.size(), 1000u);
    EXPECT_EQ(text.substr(990), "0123456789");
    EXPECT_LE(largest, kOutputChunkSize);
    EXPECT_GE(chunks, 8u);
}

TEST(PrivilegedRun, OnlyAStartedProgramThatExitsWithZeroSucceeds)
{
    const struct {
        std::vector<std::string> command;
        bool started, exited;
        int exitStatus, signal, error;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 0"}, true, true, 0, 0, 0},
        {{"/bin/sh", "-c", "echo partial; exit 3"}, true, true, 3, 0, 0},
        {{"/bin/sh", "-c", "kill -9 $$"}, true, false, 0, 9, 0},
        {{"/nonexistent/tool", "x"}, false, false, 0, 0, ENOENT},
        {{"sh", "-c", "true"}, false, false, 0, 0, EINVAL}, // no search path: a bare name is refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.back());
        const ProcessOutcome outcome = runProgram(c.command, nullptr);
        EXPECT_EQ(outcome.started, c.started);
        EXPECT_EQ(outcome.exited, c.exited);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_EQ(outcome.signal, c.signal);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.succeeded(), c.exitStatus == 0 && c.exited);
    }
}

TEST(PrivilegedRun, ArgumentsReachTheProgramUnchanged)
{
    std::string text;
    const ProcessOutcome outcome =
        runProgram({"/bin/echo", "a b", "$HOME", ";", "c"}, [&](const char* d, size_t n) { text.append(d, n); });
    EXPECT_TRUE(outcome.succeeded());
    EXPECT_EQ(text, "a b $HOME ; c\n");
}
