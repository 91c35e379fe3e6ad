#pragma once
// A worker thread base: a subclass overrides threadedFunction(); startThread() runs it on a
// new thread, stopThread() asks it to finish, waitForThread() blocks until it has finished.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

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
    void startThread();
    // Asks the worker to finish; returns at once.
    void stopThread();
    bool isThreadRunning() const { return threadRunning.load(); }
    bool isThreadDone() const { return threadDone.load(); }
    // Blocks until the worker has gone through its end sequence; at once when none runs.
    void waitForThread();
    // Blocks for at least `milliseconds` on the steady clock; zero or negative returns at once.
    static void sleep(long milliseconds);

protected:
    virtual void threadedFunction();

    std::thread thread;
    std::mutex mutex;  // guards only the start and the end sequence
    std::atomic<bool> threadRunning{false};
    std::atomic<bool> threadDone{true};
    std::string name;
    std::condition_variable condition;

private:
    void threadEntry();
};
