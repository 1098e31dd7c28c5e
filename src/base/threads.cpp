#include "threads.h"

#include <cstdio>
#include <ctime>

CThread::CThread() = default;

CThread::~CThread()
{
    std::printf("CThread destroy\n");
    if (started && !joined) {
        __atomic_store_n(&stopRequested, true, __ATOMIC_RELEASE);
        pthread_join(thread, nullptr);
    }
}

bool CThread::start()
{
    if (started) {
        std::printf("Error creating thread!\n");
        return false;
    }
    std::printf("creating thread with arg %p\n", static_cast<void*>(this));
    __atomic_store_n(&stopRequested, false, __ATOMIC_RELEASE);
    __atomic_store_n(&running, true, __ATOMIC_RELEASE);
    if (pthread_create(&thread, nullptr, &CThread::startRoutine, this) != 0) {
        std::printf("Error creating thread!\n");
        __atomic_store_n(&running, false, __ATOMIC_RELEASE);
        return false;
    }
    started = true;
    joined = false;
    return true;
}

void* CThread::startRoutine(void* arg)
{
    CThread* self = static_cast<CThread*>(arg);
    std::printf("thread started for arg %p\n", arg);
    std::printf("we have thread ID: %lu\n", static_cast<unsigned long>(pthread_self()));
    self->run();
    std::printf("thread exiting\n");
    __atomic_store_n(&self->running, false, __ATOMIC_RELEASE);
    return nullptr;
}

void CThread::run() {}

bool CThread::isRunning()
{
    return __atomic_load_n(&running, __ATOMIC_ACQUIRE);
}

void CThread::stop(bool wait)
{
    __atomic_store_n(&stopRequested, true, __ATOMIC_RELEASE);
    std::printf("waiting for thread to exit...\n");
    if (wait && started && !joined) {
        pthread_join(thread, nullptr);
        joined = true;
    }
    std::printf("finished waiting (thread did exit)\n");
}

CMutex::CMutex()
{
    if (pthread_mutex_init(&mutex, nullptr) != 0)
        std::printf("error: pthread_mutex_init failed!\n");
}

CMutex::~CMutex()
{
    std::printf("CMutex destroy\n");
    pthread_mutex_destroy(&mutex);
}

void CMutex::lock()
{
    if (pthread_mutex_lock(&mutex) != 0)
        std::printf("error: pthread_mutex_lock failed!\n");
}

void CMutex::unlock()
{
    if (pthread_mutex_unlock(&mutex) != 0)
        std::printf("error: pthread_mutex_unlock failed!\n");
}

CCondition::CCondition()
{
    std::printf("CCondition created\n");
    if (pthread_cond_init(&condition, nullptr) != 0)
        std::printf("error: pthread_cond_init failed!\n");
}

CCondition::~CCondition()
{
    std::printf("CCondition destroy\n");
    pthread_cond_destroy(&condition);
}

void CCondition::lock() { mutex.lock(); }
void CCondition::unlock() { mutex.unlock(); }

void CCondition::wait()
{
    if (pthread_cond_wait(&condition, mutex.native()) != 0)
        std::printf("error: pthread_cond_wait failed!\n");
}

void CCondition::broadcast()
{
    if (pthread_cond_broadcast(&condition) != 0)
        std::printf("error: pthread_cond_broadcast failed!\n");
}

namespace {
bool readMonotonic(timeval* out)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return false;
    out->tv_sec = now.tv_sec;
    out->tv_usec = now.tv_nsec / 1000;
    return true;
}
} // namespace

void CStopWatch::start()
{
    if (!readMonotonic(&startTime))
        std::printf("error CStopWatch::start - gettimeofday failed\n");
}

void CStopWatch::stop()
{
    if (!readMonotonic(&stopTime))
        std::printf("error CStopWatch::stop - gettimeofday failed\n");
}

int64_t CStopWatch::getElapsedMicroseconds() const
{
    return int64_t(stopTime.tv_sec - startTime.tv_sec) * 1000000 + (stopTime.tv_usec - startTime.tv_usec);
}

int CStopWatch::getElapsedSeconds() const
{
    return int(stopTime.tv_sec - startTime.tv_sec);
}

Speedometer::Speedometer()
{
    reset();
}

void Speedometer::reset()
{
    std::printf("Speedometer reset\n");
    totalBytes = totalMicros = snapshotBytes = snapshotMicros = 0;
    minRate = INT64_MAX;
    maxRate = 0;
    setSnapshotInterval(5);
}

void Speedometer::setSnapshotInterval(int seconds)
{
    std::printf("Speedometer setting snapshot interval %d seconds\n", seconds);
    snapshotInterval = seconds;
}

void Speedometer::start()
{
    watch.start();
}

void Speedometer::update(int64_t bytes)
{
    watch.stop();
    if (bytes == 0)
        return;
    const int64_t micros = watch.getElapsedMicroseconds();
    totalBytes += bytes;
    snapshotBytes += bytes;
    totalMicros += micros;
    snapshotMicros += micros;
    // A snapshot needs measured time: an interval of 0 must not divide by a zero duration.
    if (snapshotMicros > 0 && snapshotMicros / 1000000 >= snapshotInterval) {
        const int64_t rate = int64_t(double(snapshotBytes) / (double(snapshotMicros) / 1000000.0));
        if (rate < minRate)
            minRate = rate;
        if (rate > maxRate)
            maxRate = rate;
        snapshotBytes = 0;
        snapshotMicros = 0;
    }
}

void Speedometer::printResults()
{
    const double seconds = double(totalMicros) / 1000000.0;
    const double mean = double(totalBytes) / seconds;
    std::printf("Speedometer results\n");
    std::printf("total bytes: %.0f (%.0f KB)\n", double(totalBytes), double(totalBytes / 1024));
    std::printf("total seconds: %.2f\n", seconds);
    std::printf("bytes per second (mean): %.0f (%.0f KB)\n", mean, mean / 1024.0);
    std::printf("snapshot interval: %d seconds\n", snapshotInterval);
    if (totalMicros / 1000000 > snapshotInterval) {
        std::printf("bytes per second (min): %.0f (%.0f KB)\n", double(minRate), double(minRate / 1024));
        std::printf("bytes per second (max): %.0f (%.0f KB)\n", double(maxRate), double(maxRate / 1024));
    }
}
