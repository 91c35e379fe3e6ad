// The annotated lock: held for its scope, and given up while a condition
// variable waits on it.
#include "MutexLock.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>

namespace {

// Whether another thread can take the mutex now.
bool freeElsewhere(Mutex& mutex) {
    return std::async(std::launch::async,
                      [&] {
                          if (!mutex.native().try_lock()) return false;
                          mutex.native().unlock();
                          return true;
                      })
        .get();
}

}  // namespace

TEST(MutexLock, HoldsTheMutexForItsScopeOnly) {
    Mutex mutex;
    {
        const MutexLock lock(mutex);
        EXPECT_FALSE(freeElsewhere(mutex));
    }
    EXPECT_TRUE(freeElsewhere(mutex));
    mutex.lock();
    EXPECT_FALSE(freeElsewhere(mutex));
    mutex.unlock();
    EXPECT_TRUE(freeElsewhere(mutex));
}

TEST(MutexLock, AWaitGivesTheMutexUpAndHasItAgainWhenItReturns) {
    Mutex mutex;
    std::condition_variable changed;
    bool ready = false;
    std::thread producer([&] {
        const MutexLock lock(mutex);  // only possible while the waiter has given it up
        ready = true;
        changed.notify_all();
    });
    {
        MutexLock lock(mutex);
        while (!ready) {
            changed.wait(lock.native());
        }
        EXPECT_TRUE(lock.native().owns_lock());
        EXPECT_FALSE(freeElsewhere(mutex));
    }
    producer.join();
    EXPECT_TRUE(ready);
}
