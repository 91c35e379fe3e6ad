// A std::mutex the thread-safety analysis knows as a lock: members guarded by
// it say so with GUARDED_BY, and the analysis checks that every access holds it.
#pragma once

#include <mutex>

#include "ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }
    // The mutex itself, for a condition variable's wait (MutexLock::native()).
    std::mutex& native() { return mutex; }

private:
    std::mutex mutex;
};
