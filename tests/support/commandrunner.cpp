#include "commandrunner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

ToolResult runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                   int timeoutSeconds)
{
    ToolResult result;
    // env sets the variables and finds the program, so the child needs nothing prepared after fork.
    std::vector<char*> args = {const_cast<char*>("env")};
    for (const std::string& a : environment)
        args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Standard error goes to a file, so it can never fill up and stall the tool while its output is read.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> errors(std::tmpfile(), &std::fclose);
    int out[2];
    if (argv.empty() || !errors || ::pipe2(out, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(out[1], 1);
        ::dup2(::fileno(errors.get()), 2);
        ::alarm(unsigned(timeoutSeconds)); // outlives exec: a tool still running then is killed
        ::execvp("env", args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    char chunk[65536];
    for (ssize_t got; (got = ::read(out[0], chunk, sizeof chunk)) != 0 && (got > 0 || errno == EINTR);)
        result.output.append(chunk, size_t(std::max<ssize_t>(got, 0)));
    ::close(out[0]);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = pid < 0 ? 127 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::rewind(errors.get());
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, errors.get())) > 0;)
        result.errors.append(chunk, got);
    return result;
}
bool toolAvailable(const std::string& name)
{
    return runTool({"sh", "-c", "command -v \"$0\"", name}).exitStatus == 0;
}
