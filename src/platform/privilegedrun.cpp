#include "privilegedrun.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

ssize_t readRetrying(int fd, void* buffer, size_t length)
{
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

void closePair(int pair[2])
{
    ::close(pair[0]);
    ::close(pair[1]);
}

} // namespace

ProcessOutcome runProgramWithOutput(const std::vector<std::string>& arguments, int parentEnd, int childEnd,
                                    const std::function<void(int)>& talk)
{
    ProcessOutcome outcome;
    if (arguments.empty() || arguments[0].empty() || arguments[0][0] != '/') {
        outcome.error = EINVAL;
        ::close(parentEnd);
        ::close(childEnd);
        return outcome;
    }
    // Built before the fork: the child may only make async-signal-safe calls (threads may hold locks).
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int report[2]; // carries errno of a failed exec; closed unread when the exec succeeds
    if (::pipe2(report, O_CLOEXEC) != 0) {
        outcome.error = errno;
        ::close(parentEnd);
        ::close(childEnd);
        return outcome;
    }

    const pid_t child = ::fork();
    if (child < 0) {
        outcome.error = errno;
        ::close(parentEnd);
        ::close(childEnd);
        closePair(report);
        return outcome;
    }
    if (child == 0) {
        if (::dup2(childEnd, STDOUT_FILENO) >= 0)
            ::execv(argv[0], argv.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }

    ::close(childEnd);
    ::close(report[1]);
    int execError = 0;
    const bool execFailed = readRetrying(report[0], &execError, sizeof execError) == ssize_t(sizeof execError);
    ::close(report[0]);

    if (!execFailed && talk)
        talk(parentEnd);
    ::close(parentEnd);

    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);

    if (execFailed) {
        outcome.error = execError;
        return outcome;
    }
    outcome.started = true;
    if (waited < 0) {
        // The child cannot be reaped (SIGCHLD ignored elsewhere): its result is unknown, so no success.
        outcome.error = errno;
        outcome.exitStatus = -1;
        outcome.exited = true;
        return outcome;
    }
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
    return outcome;
}

ProcessOutcome runProgram(const std::vector<std::string>& arguments, const OutputSink& sink)
{
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ProcessOutcome outcome;
        outcome.error = errno;
        return outcome;
    }
    return runProgramWithOutput(arguments, output[0], output[1], [&](int fd) {
        char chunk[kOutputChunkSize];
        for (;;) {
            const ssize_t n = readRetrying(fd, chunk, sizeof chunk);
            if (n <= 0)
                break;
            if (sink)
                sink(chunk, size_t(n));
        }
    });
}
