#pragma once
// A worker thread base: a subclass overrides threadedFunction(); startThread() runs it on a
// new thread, stopThread() asks it to finish, waitForThread() blocks until it has finished.

#include <atomic>
#include <condition_variable>
#include <string>
#include <thread>

#include "Mutex.h"
#include "ThreadAnnotations.h"

class ofThread {
public:
    ofThread() = default;
    // Not virtual: owners destroy the concrete type. The worker must have finished (waitForThread).
    ~ofThread() = default;
    ofThread(const ofThread&) = delete;
    ofThread& operator=(const ofThread&) = delete;
    ofThread(ofThread&&) = delete;
    ofThread& operator=(ofThread&&) = delete;

    // Starts threadedFunction() on a new thread; prints a notice if one is still running.
    // Throws std::system_error when the OS refuses a new thread.
    void startThread() EXCLUDES(mutex);
    // Asks the worker to finish; returns at once.
    void stopThread();
    bool isThreadRunning() const { return threadRunning.load(); }
    bool isThreadDone() const { return threadDone.load(); }
    // Blocks until the worker has gone through its end sequence; at once when none runs.
    void waitForThread() EXCLUDES(mutex);
    // Blocks for at least `milliseconds` on the steady clock; zero or negative returns at once.
    static void sleep(long milliseconds);

protected:
    virtual void threadedFunction();

    // The thread that calls startThread stores the handle; the worker detaches it in its end sequence.
    std::thread thread GUARDED_BY(mutex);
    // Guards only the start and the end sequence.
    Mutex mutex;
    // Any thread: set by startThread, cleared by stopThread or the end of the worker.
    std::atomic<bool> threadRunning{false};
    // Any thread: cleared by startThread, set by the worker's end sequence (under mutex, with condition).
    std::atomic<bool> threadDone{true};
    // Fixed before startThread; named in the notices.
    std::string name;
    // Signalled by the end sequence; waitForThread waits on it.
    std::condition_variable condition;

private:
    void threadEntry() EXCLUDES(mutex);
};
