// Small pieces the engine benchmarks share: a seeded generator for reproducible test data, a
// stopwatch in seconds, and a PATH lookup so a benchmark that compares against an outside tool
// can say it is missing instead of failing. Nothing here touches a disk or the engine.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// xorshift64: fast and the same on every run, so two runs measure the same bytes.
struct Random {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
};

// Whether an executable called name is on PATH (the shell's default list when PATH is unset).
inline bool toolOnPath(const char* name)
{
    const char* path = std::getenv("PATH");
    const std::string list = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string candidate = list.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

struct RunOptions {
    std::string folder;      // where the tool runs; empty: here
    bool keepErrors = false; // standard error stays; otherwise it goes to /dev/null like the output
    bool noInput = false;    // standard input from /dev/null, for a tool that would ask
};

// Runs argv (looked up on PATH) without a shell, its standard output to /dev/null; the exit
// status, or -1 when it could not run.
inline int runQuietly(const std::vector<std::string>& argv, const RunOptions& options = {})
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.noInput)
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!options.keepErrors)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (!options.folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace bench
