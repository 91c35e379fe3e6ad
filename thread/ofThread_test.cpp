#include "ofThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Runs until asked to stop, so the tests can observe a live worker.
class LoopingThread : public ofThread {
protected:
    void threadedFunction() override {
        while (isThreadRunning()) sleep(1);
    }
};

class ReturningThread : public ofThread {
public:
    std::atomic<int> runs{0};

protected:
    void threadedFunction() override { ++runs; }
};

class StdThrowingThread : public ofThread {
protected:
    void threadedFunction() override { throw std::runtime_error("disk on fire"); }
};

class IntThrowingThread : public ofThread {
protected:
    void threadedFunction() override { throw 42; }
};

class DefaultThread : public ofThread {};

// Captures what `action` writes to stdout, after the worker it starts has ended.
template <class Action>
std::string stdoutOf(Action action) {
    CaptureStdout();
    action();
    return GetCapturedStdout();
}

}  // namespace

TEST(ofThread, NewObjectIsIdleAndWaitReturnsAtOnce) {
    LoopingThread t;
    EXPECT_FALSE(t.isThreadRunning());
    EXPECT_TRUE(t.isThreadDone());
    const auto start = std::chrono::steady_clock::now();
    t.waitForThread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(ofThread, SecondStartPrintsNoticeAndLeavesWorkerAlone) {
    LoopingThread t;
    const std::string out = stdoutOf([&] {
        t.startThread();
        t.startThread();
        EXPECT_TRUE(t.isThreadRunning());
        EXPECT_FALSE(t.isThreadDone());
        t.stopThread();
        t.waitForThread();
    });
    EXPECT_EQ(out, "- name:  - Cannot start, thread already running.");
}

TEST(ofThread, StopIsImmediateAndWaitReturnsAfterEndSequence) {
    LoopingThread t;
    t.startThread();
    t.stopThread();
    EXPECT_FALSE(t.isThreadRunning());
    t.waitForThread();
    EXPECT_TRUE(t.isThreadDone());
    EXPECT_FALSE(t.isThreadRunning());
}

TEST(ofThread, ReturnedWorkerEndsIdleAndStartsAgainSilently) {
    ReturningThread t;
    const std::string out = stdoutOf([&] {
        t.startThread();
        t.waitForThread();
        EXPECT_FALSE(t.isThreadRunning());
        EXPECT_TRUE(t.isThreadDone());
        t.startThread();
        t.waitForThread();
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(t.runs.load(), 2);
}

TEST(ofThread, ExceptionsAndDefaultBodyPrintExactText) {
    StdThrowingThread stdThrower;
    IntThrowingThread intThrower;
    DefaultThread plain;
    EXPECT_EQ(stdoutOf([&] {
                  stdThrower.startThread();
                  stdThrower.waitForThread();
              }),
              "disk on fire");
    EXPECT_EQ(stdoutOf([&] {
                  intThrower.startThread();
                  intThrower.waitForThread();
              }),
              "ofThreadErrorLogger::exceptionUnknown exception.");
    EXPECT_EQ(stdoutOf([&] {
                  plain.startThread();
                  plain.waitForThread();
              }),
              "- name:  - Override ofThread::threadedFunction() in your ofThread subclass.");
    // A worker that threw still went through the end sequence.
    EXPECT_TRUE(intThrower.isThreadDone());
    EXPECT_FALSE(intThrower.isThreadRunning());
}

TEST(ofThread, SleepBlocksAtLeastTheGivenTime) {
    auto timed = [](long ms) {
        const auto start = std::chrono::steady_clock::now();
        ofThread::sleep(ms);
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_GE(timed(1000), std::chrono::milliseconds(1000));
    EXPECT_LT(timed(0), std::chrono::milliseconds(5));
    EXPECT_LT(timed(-5), std::chrono::milliseconds(5));
}

TEST(ofThread, ManyStartStopCyclesEndCleanly) {
    LoopingThread looping;
    ReturningThread returning;
    for (int i = 0; i < 200; ++i) {
        looping.startThread();
        returning.startThread();
        looping.stopThread();
        looping.waitForThread();
        returning.waitForThread();
        ASSERT_TRUE(looping.isThreadDone());
        ASSERT_TRUE(returning.isThreadDone());
    }
    EXPECT_EQ(returning.runs.load(), 200);
}
