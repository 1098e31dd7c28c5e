#include "progresspace.h"

#include <time.h>

namespace {
double monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

CProgressPace::Clock paceClock = monotonicSeconds;
} // namespace

CProgressPace::CProgressPace() : last(paceClock()) {}

bool CProgressPace::due()
{
    const double now = paceClock();
    if (now - last < kInterval)
        return false;
    last = now;
    return true;
}

void CProgressPace::restart()
{
    last = paceClock();
}

void CProgressPace::setClock(Clock clock)
{
    paceClock = clock ? clock : monotonicSeconds;
}
