// Holds a Mutex from construction to destruction. A condition variable waits
// on native(): the wait gives the mutex up and has it again when it returns,
// so for the analysis the lock is held throughout. Waits are written as loops
// (`while (!ready) changed.wait(lock.native());`) rather than with a predicate,
// because the analysis cannot see that a predicate runs with the lock held.
#pragma once

#include <mutex>

#include "Mutex.h"
#include "ThreadAnnotations.h"

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock(mutex.native()) {}
    ~MutexLock() RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    std::unique_lock<std::mutex>& native() { return lock; }

private:
    std::unique_lock<std::mutex> lock;
};
