// Thin wrappers over POSIX threads, mutexes and condition variables, a monotonic stop watch and a
// throughput meter. A CThread is started explicitly (so run() never sees a half-built object) and
// is joinable; failed system calls print a message and the wrapper carries on.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>
#include <deque>

class CThread {
public:
    CThread();
    // Joins a thread that is still running; owners whose run() uses their own fields call
    // stop(true) in their destructor, before those fields go.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Creates the thread; false (with a message) when it could not be created or already was.
    bool start();
    virtual void run();
    virtual bool isRunning();
    // Asks run() to return; with wait true, blocks until the thread has ended.
    virtual void stop(bool wait);

protected:
    bool isStopRequested() const { return __atomic_load_n(&stopRequested, __ATOMIC_ACQUIRE); }

private:
    static void* startRoutine(void* arg);

    pthread_t thread{};
    bool started = false;
    bool joined = false;
    bool stopRequested = false;
    bool running = false;
};

class CMutex {
public:
    CMutex();
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;
    void lock();
    void unlock();
    pthread_mutex_t* native() { return &mutex; }

private:
    pthread_mutex_t mutex;
};

class CCondition {
public:
    CCondition();
    ~CCondition();
    CCondition(const CCondition&) = delete;
    CCondition& operator=(const CCondition&) = delete;
    void lock();
    void unlock();
    // The caller holds the lock.
    void wait();
    void broadcast();

private:
    pthread_cond_t condition;
    CMutex mutex;
};

// Measures with the monotonic clock, so a change of the wall clock never gives negative times.
class CStopWatch {
public:
    void start();
    void stop();
    int64_t getElapsedMicroseconds() const;
    // Difference of the whole-second fields only.
    int getElapsedSeconds() const;

private:
    timeval startTime{};
    timeval stopTime{};
};

class Speedometer {
public:
    Speedometer();
    void reset();
    void setSnapshotInterval(int seconds);
    void start();
    void update(int64_t bytes);
    void printResults();

    int64_t getTotalBytes() const { return totalBytes; }
    int64_t getMinRate() const { return minRate; }
    int64_t getMaxRate() const { return maxRate; }

private:
    int64_t totalBytes = 0;
    int64_t totalMicros = 0;
    int64_t snapshotBytes = 0;
    int64_t snapshotMicros = 0;
    int snapshotInterval = 5;
    int64_t minRate = INT64_MAX;
    int64_t maxRate = 0;
    CStopWatch watch;
};

class CCachedDisk;

// Read-ahead thread of a block cache; its body does nothing and nothing starts one.
class CPrefetchThread : public CThread {
public:
    explicit CPrefetchThread(CCachedDisk* cache) : cache(cache) {}
    ~CPrefetchThread() { stop(true); }
    void run() override {}

private:
    [[maybe_unused]] CCachedDisk* cache;
    std::deque<int64_t> requests;
    CMutex requestMutex;
};
