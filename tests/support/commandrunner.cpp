#include "commandrunner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>

ToolResult runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                   int timeoutSeconds)
{
    ToolResult result;
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::map<std::string, std::string> variables;
    for (char** e = environ; *e; ++e)
        variables[std::string(*e).substr(0, std::string(*e).find('='))] = *e;
    for (const std::string& entry : environment)
        variables[entry.substr(0, entry.find('='))] = entry;
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    for (auto& [name, entry] : variables)
        envp.push_back(entry.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    // Standard error goes to a file, so it can never fill up and stall the tool while its output is read.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> errors(std::tmpfile(), &std::fclose);
    int out[2];
    if (argv.empty() || !errors || ::pipe2(out, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(out[1], 1);
        ::dup2(::fileno(errors.get()), 2);
        ::alarm(unsigned(timeoutSeconds)); // outlives exec: a tool still running then is killed
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    char chunk[65536];
    for (ssize_t got; (got = ::read(out[0], chunk, sizeof chunk)) != 0;) {
        if (got > 0)
            result.output.append(chunk, size_t(got));
        else if (errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.timedOut = pid > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
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
