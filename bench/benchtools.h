// Small pieces the engine benchmarks share: a seeded generator for reproducible test data, a
// stopwatch in seconds, and a PATH lookup so a benchmark that compares against an outside tool
// can say it is missing instead of failing. Nothing here touches a disk or the engine.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

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

} // namespace bench
