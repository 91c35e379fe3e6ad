#include "FileWriterThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

using Vy::Synth::FileWriterThread;

TEST(FileWriterThreadTest, FinishWaitsForEveryJobInOrder) {
    std::vector<int> order;  // only the writer thread touches it until finish returns
    FileWriterThread writer(2);
    for (int k = 0; k < 20; ++k)
        writer.add([&order, k] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            order.push_back(k);
        });
    writer.finish();
    ASSERT_EQ(order.size(), 20u);
    for (int k = 0; k < 20; ++k) EXPECT_EQ(order[k], k);
}

TEST(FileWriterThreadTest, AddWaitsWhileTheQueueIsFull) {
    std::atomic<bool> release{false}, added{false};
    FileWriterThread writer(1);
    writer.add([&release] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    writer.add([] {});  // waits in the queue while the first runs
    std::thread producer([&] {
        writer.add([] {});
        added = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(added);
    release = true;
    producer.join();
    EXPECT_TRUE(added);
    writer.finish();
}

TEST(FileWriterThreadTest, AFailureStopsLaterJobsAndIsRethrown) {
    std::atomic<int> ran{0};
    FileWriterThread writer(8);
    writer.add([&ran] { ++ran; });
    writer.add([] { throw std::runtime_error("disk full"); });
    writer.add([&ran] { ++ran; });
    try {
        writer.finish();
        ADD_FAILURE() << "finish returned after a failed job";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
    EXPECT_EQ(ran, 1);
    EXPECT_THROW(writer.add([&ran] { ++ran; }), std::runtime_error);
    EXPECT_EQ(ran, 1);
}
