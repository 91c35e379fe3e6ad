// Writes result files on a thread of its own, so that the engine goes on with
// the next frame while the last one is encoded and written. Jobs wait in a
// small queue; add blocks while it is full, so memory stays bounded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <thread>

#include "Mutex.h"

namespace Vy::Synth {

class FileWriterThread {
public:
    explicit FileWriterThread(size_t capacity);
    // Writes what is queued (a failure there is dropped: call finish to hear of it).
    ~FileWriterThread();
    FileWriterThread(const FileWriterThread&) = delete;
    FileWriterThread& operator=(const FileWriterThread&) = delete;

    // Queues a job; rethrows the exception of an earlier failed job instead (nothing
    // after a failure runs, so the files written so far are the whole ones before it).
    void add(std::function<void()> job);
    // Returns once every queued job has run; rethrows the first failure.
    void finish();

private:
    void work();
    void rethrowFailure() REQUIRES(mutex);

    const size_t capacity;
    Mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> jobs GUARDED_BY(mutex);
    bool running GUARDED_BY(mutex) = false;  // a job taken off the queue is being run
    bool closing GUARDED_BY(mutex) = false;
    std::exception_ptr failure GUARDED_BY(mutex);
    std::thread thread;
};

}  // namespace Vy::Synth
