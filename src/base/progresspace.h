// Paces the progress events of a long engine loop by time. The interface runs its event loop only
// when the engine reports, so a loop asks due() at each step and reports when it answers true: once
// the interval has passed since the pace began or last answered true. The interface throttles what
// reaches its views to 0.1 s; reporting a few times as often keeps every one of those slots taken.
// A question costs one read of the monotonic clock, which tests may replace. Never fails.
#pragma once

class CProgressPace {
public:
    // Seconds on a monotonic clock; only differences mean anything.
    using Clock = double (*)();
    static constexpr double kInterval = 0.02;

    CProgressPace();
    bool due();
    // Starts the interval anew, after a report the loop sent on its own account.
    void restart();

    // The clock every pace reads from now on; null restores the monotonic clock. For tests.
    static void setClock(Clock clock);

private:
    double last;
};
