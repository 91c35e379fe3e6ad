#include "ofThread.h"

#include <chrono>
#include <exception>
#include <iostream>
#include <system_error>

#include "MutexLock.h"

namespace {
void writeOut(const std::string& text) { std::cout << text << std::flush; }
}  // namespace

void ofThread::startThread() {
    const MutexLock lock(mutex);
    if (threadRunning.load() || !threadDone.load()) {
        writeOut("- name: " + name + " - Cannot start, thread already running.");
        return;
    }
    threadDone.exchange(false);
    threadRunning.exchange(true);
    // The new thread runs threadedFunction() and then the end sequence; it detaches itself, so
    // this object keeps no join obligation. The caller's thread only stores the handle here,
    // while still holding the mutex the worker takes before detaching.
    // A refused thread (std::system_error) propagates to the caller.
    thread = std::thread(&ofThread::threadEntry, this);
}

void ofThread::stopThread() { threadRunning.exchange(false); }

void ofThread::waitForThread() {
    MutexLock lock(mutex);
    while (!threadDone.load()) {
        condition.wait(lock.native());
    }
}

void ofThread::sleep(long milliseconds) {
    if (milliseconds <= 0) return;
    // sleep_for may wake early; keep sleeping until the deadline has passed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(deadline - now);
}

void ofThread::threadedFunction() {
    writeOut("- name: " + name + " - Override ofThread::threadedFunction() in your ofThread subclass.");
}

void ofThread::threadEntry() {
    try {
        threadedFunction();
    } catch (const std::exception& e) {
        writeOut(e.what());
    } catch (...) {
        writeOut("ofThreadErrorLogger::exception");
        writeOut("Unknown exception.");
    }
    const MutexLock lock(mutex);
    // startThread() holds the mutex until the handle is stored, so it is ours to release here.
    try {
        if (thread.joinable()) thread.detach();
    } catch (const std::system_error&) {
    }
    threadRunning.exchange(false);
    threadDone.exchange(true);
    condition.notify_all();
}
