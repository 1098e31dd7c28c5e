#include "privilegedrun.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

namespace {

struct Captured {
    std::string text;
    size_t chunks = 0;
    size_t largest = 0;
};

ProcessOutcome runShell(const std::string& script, Captured& captured)
{
    return runProgram({"/bin/sh", "-c", script}, [&](const char* data, size_t length) {
        captured.text.append(data, length);
        ++captured.chunks;
        captured.largest = std::max(captured.largest, length);
    });
}

} // namespace

TEST(PrivilegedRun, CopiesAllOutputInChunksOfAtMost128Bytes)
{
    Captured captured;
    const ProcessOutcome outcome =
        runShell("i=0; while [ $i -lt 100 ]; do printf '0123456789'; i=$((i+1)); done", captured);
    EXPECT_TRUE(outcome.succeeded());
    EXPECT_EQ(captured.text.size(), 1000u);
    EXPECT_EQ(captured.text.substr(990), "0123456789");
    EXPECT_LE(captured.largest, kOutputChunkSize);
    EXPECT_GE(captured.chunks, 8u);
}

TEST(PrivilegedRun, NonZeroExitStatusIsNoSuccess)
{
    Captured captured;
    const ProcessOutcome outcome = runShell("echo partial; exit 3", captured);
    EXPECT_TRUE(outcome.started);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitStatus, 3);
    EXPECT_FALSE(outcome.succeeded());
    EXPECT_EQ(captured.text, "partial\n");
}

TEST(PrivilegedRun, KilledProgramIsNoSuccess)
{
    Captured captured;
    const ProcessOutcome outcome = runShell("kill -9 $$", captured);
    EXPECT_TRUE(outcome.started);
    EXPECT_FALSE(outcome.exited);
    EXPECT_EQ(outcome.signal, 9);
    EXPECT_FALSE(outcome.succeeded());
}

TEST(PrivilegedRun, ProgramThatCannotBeRunIsReportedNotStarted)
{
    Captured captured;
    const ProcessOutcome missing = runProgram({"/nonexistent/tool", "x"}, nullptr);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.error, ENOENT);

    // No search path and no shell: a bare name is refused outright.
    const ProcessOutcome bare = runProgram({"sh", "-c", "true"}, nullptr);
    EXPECT_FALSE(bare.started);
    EXPECT_EQ(bare.error, EINVAL);
}

TEST(PrivilegedRun, ArgumentsReachTheProgramUnchanged)
{
    Captured captured;
    const ProcessOutcome outcome = runProgram({"/bin/echo", "a b", "$HOME", ";", "c"},
                                              [&](const char* d, size_t n) { captured.text.append(d, n); });
    EXPECT_TRUE(outcome.succeeded());
    EXPECT_EQ(captured.text, "a b $HOME ; c\n");
}
