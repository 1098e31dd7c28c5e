#include "privilegedopen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// Only a started program that exits with 0 succeeds; what it writes reaches the sink whole, in chunks
// of at most 128 bytes; its arguments reach it as they are, without a shell.
TEST(PrivilegedRun, ReportsHowTheProgramEndedAndPassesItsOutputOn)
{
    std::string counting; // seq's output, over 1000 bytes
    for (int i = 1; i <= 400; ++i)
        counting += std::to_string(i);
    const struct {
        std::vector<std::string> command;
        bool started, exited;
        int exitStatus, signal, error;
        std::string output;
    } cases[] = {
        {{"/usr/bin/seq", "-s", "", "1", "400"}, true, true, 0, 0, 0, counting + "\n"},
        {{"/bin/echo", "a b", "$HOME", ";", "c"}, true, true, 0, 0, 0, "a b $HOME ; c\n"},
        {{"/bin/sh", "-c", "echo partial; exit 3"}, true, true, 3, 0, 0, "partial\n"},
        {{"/bin/sh", "-c", "kill -9 $$"}, true, false, 0, 9, 0, ""},
        {{"/nonexistent/tool", "x"}, false, false, 0, 0, ENOENT, ""},
        {{"sh", "-c", "true"}, false, false, 0, 0, EINVAL, ""}, // no search path: a bare name is refused
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.back());
        std::string output;
        size_t largest = 0;
        const ProcessOutcome outcome = runProgram(c.command, [&](const char* data, size_t length) {
            output.append(data, length);
            largest = std::max(largest, length);
        });
        EXPECT_EQ(outcome.started, c.started);
        EXPECT_EQ(outcome.exited, c.exited);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_EQ(outcome.signal, c.signal);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.succeeded(), c.exitStatus == 0 && c.exited);
        EXPECT_EQ(output, c.output);
        EXPECT_LE(largest, kOutputChunkSize);
    }
    EXPECT_TRUE(runProgram({"/bin/echo", "unread"}, nullptr).succeeded());
}

// The helper runs as root on a path the caller chose: anything but a block device under /dev/,
// named plainly and not through a link, is refused before it is opened.
TEST(OpenBlockDevice, RefusesEverythingButABlockDeviceUnderDev)
{
    const struct {
        const char* path;
        int error;
    } cases[] = {
        {"/etc/passwd", EINVAL},       {"dev/loop0", EINVAL},           {"/dev/../etc/passwd", EINVAL},
        {"/dev/./loop0", EINVAL},      {"/dev//loop0", EINVAL},         {"/dev/", EINVAL},
        {"/devices/loop0", EINVAL},    {"/dev/null", ENOTBLK},          {"/dev/stdin", ENOTBLK},
        {"/dev/gleaner-none", ENOENT}, {"/dev/gleaner../none", ENOENT}, {nullptr, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        int error = 0;
        EXPECT_EQ(openBlockDeviceReadOnly(c.path, &error), -1);
        EXPECT_EQ(error, c.error);
    }
}

TEST(OpenBlockDevice, DescriptorOrErrorCrossesTheSocket)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int file = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    ASSERT_TRUE(sendDescriptor(pair[1], file, 0));
    ASSERT_TRUE(sendDescriptor(pair[1], -1, EACCES));
    ASSERT_TRUE(sendDescriptor(pair[1], -1, -5));
    int error = 0;
    const int received = receiveDescriptor(pair[0], &error);
    ASSERT_GE(received, 0);
    struct stat sent, got;
    ASSERT_EQ(::fstat(file, &sent), 0);
    ASSERT_EQ(::fstat(received, &got), 0);
    EXPECT_EQ(sent.st_ino, got.st_ino);
    EXPECT_NE(::fcntl(received, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(receiveDescriptor(pair[0], &error), -1);
    EXPECT_EQ(error, EACCES);
    EXPECT_EQ(receiveDescriptor(pair[0], &error), -1);
    EXPECT_EQ(error, EPROTO) << "a negative errno is not one";
    ::close(pair[1]);
    EXPECT_EQ(receiveDescriptor(pair[0], &error), -1) << "the other end is gone";
    EXPECT_EQ(error, EPROTO);
    for (int fd : {pair[0], file, received})
        ::close(fd);
}

// The helper program itself, run directly (pkexec is what makes it root in use).
TEST(OpenDeviceHelper, AnswersARefusalOrAReadOnlyDescriptorOfTheDevice)
{
    const std::string helper = openDeviceHelperPath();
    ASSERT_EQ(::access(helper.c_str(), X_OK), 0) << helper;

    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int error;
        bool started;
        int exitStatus;
    } failures[] = {
        {"not a block device", {helper, "/dev/null"}, ENOTBLK, true, 1},
        {"no device named", {helper}, EINVAL, true, 2},
        {"no helper", {"/nonexistent/helper", "/dev/loop0"}, ENOENT, false, 0},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.name);
        const PrivilegedOpenOutcome outcome = runProgramReceivingDescriptor(c.arguments);
        EXPECT_EQ(outcome.status, PrivilegedOpenOutcome::Failed);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.process.started, c.started);
        EXPECT_EQ(outcome.process.exitStatus, c.exitStatus);
    }

    const int direct = ::open("/dev/loop0", O_RDONLY | O_CLOEXEC);
    if (direct < 0)
        GTEST_SKIP() << "/dev/loop0 cannot be opened here (not root, or no loop devices)";
    ::close(direct);
    PrivilegedOpenOutcome opened = runProgramReceivingDescriptor({helper, "/dev/loop0"});
    ASSERT_EQ(opened.status, PrivilegedOpenOutcome::Opened);
    struct stat device, got;
    ASSERT_EQ(::stat("/dev/loop0", &device), 0);
    ASSERT_EQ(::fstat(opened.descriptor, &got), 0);
    EXPECT_TRUE(S_ISBLK(got.st_mode));
    EXPECT_EQ(got.st_rdev, device.st_rdev);
    EXPECT_EQ(::fcntl(opened.descriptor, F_GETFL) & O_ACCMODE, O_RDONLY);
    ::close(opened.descriptor);
}
