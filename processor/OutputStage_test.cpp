// The hand-over between the processor and the output thread: frames go out in
// the order they came, at most one waits, and finishing waits for every frame.
#include "OutputStage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Mutex.h"
#include "MutexLock.h"

namespace {

ComputedFrame numbered(int32_t number) {
    ComputedFrame frame;
    frame.info.number = number;
    return frame;
}

}  // namespace

TEST(OutputStage, FramesGoOutInOrderAndFinishWaitsForTheLast) {
    Mutex mutex;
    std::vector<int32_t> done;
    OutputStage stage([&](ComputedFrame& frame) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const MutexLock lock(mutex);
        done.push_back(frame.info.number);
    });
    stage.start();
    for (int32_t i = 0; i < 20; ++i) stage.hand(numbered(i));
    stage.finish();
    std::vector<int32_t> expected(20);
    for (int32_t i = 0; i < 20; ++i) expected[static_cast<size_t>(i)] = i;
    const MutexLock lock(mutex);
    EXPECT_EQ(done, expected);
}

TEST(OutputStage, OneFrameWaitsAtMostWhileTheOutputsAreBusy) {
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    OutputStage stage([&](ComputedFrame&) {
        ++started;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    stage.start();
    stage.hand(numbered(0));  // taken by the output thread, which holds it
    while (started.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stage.hand(numbered(1));  // waits in the slot
    std::atomic<bool> thirdIn{false};
    std::thread producer([&] {
        stage.hand(numbered(2));
        thirdIn = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(thirdIn.load()) << "a third frame must wait for the slot";
    release = true;
    producer.join();
    EXPECT_TRUE(thirdIn.load());
    stage.drain();
    EXPECT_EQ(started.load(), 3);
    stage.finish();
}

TEST(OutputStage, DrainReturnsOnceTheFrameInWorkIsDoneAndTheStageCanStartAgain) {
    std::atomic<int> done{0};
    OutputStage stage([&](ComputedFrame&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ++done;
    });
    stage.start();
    stage.hand(numbered(0));
    stage.drain();
    EXPECT_EQ(done.load(), 1);
    stage.finish();
    stage.finish();  // harmless again
    stage.start();
    stage.hand(numbered(1));
    stage.finish();
    EXPECT_EQ(done.load(), 2);
}
