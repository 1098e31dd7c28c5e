#include "threads.h"

#include "outputcapture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/time.h>

#include <atomic>
#include <thread>

namespace {
std::atomic<long> wallClockShift{0};
}

// Stands in for the C library's gettimeofday in this test program (the program's own definition
// wins) so a test can turn the wall clock back; a monotonic stop watch never notices.
extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict tz) noexcept
{
    using Real = int (*)(struct timeval*, void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gettimeofday"));
    const int result = real ? real(tv, tz) : -1;
    if (result == 0)
        tv->tv_sec -= wallClockShift.load();
    return result;
}

namespace {
// Has no fields of its own, so its run may outlast its own part of the object.
class PollingThread : public CThread {
public:
    void run() override
    {
        entered = true;
        while (!isStopRequested())
            std::this_thread::yield();
        returned = true;
    }
    static inline std::atomic<bool> entered{false};
    static inline std::atomic<bool> returned{false};
};
} // namespace

// A second start of a running thread is refused; stop, or else the destructor, waits for the run.
TEST(CThread, RunsOnlyAfterStartAndStopOrTheDestructorWaitsForTheEnd)
{
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "destructor");
        PollingThread::entered = PollingThread::returned = false;
        {
            PollingThread thread;
            EXPECT_FALSE(thread.isRunning());
            EXPECT_FALSE(PollingThread::entered);
            ASSERT_TRUE(thread.start());
            OutputCapture out;
            EXPECT_FALSE(thread.start());
            EXPECT_NE(out.finish().find("Error creating thread!\n"), std::string::npos); // the thread prints too
            while (!PollingThread::entered)
                std::this_thread::yield();
            if (stop) {
                thread.stop(true);
                EXPECT_TRUE(PollingThread::returned);
                EXPECT_FALSE(thread.isRunning());
            }
        }
        EXPECT_TRUE(PollingThread::returned);
    }
}

TEST(CStopWatch, WallClockGoingBackDoesNotMakeTimeNegative)
{
    CStopWatch watch;
    watch.start();
    wallClockShift = 3600;
    watch.stop();
    wallClockShift = 0;
    EXPECT_GE(watch.getElapsedMicroseconds(), 0);
    EXPECT_GE(watch.getElapsedSeconds(), 0);
}
