#include "CImageQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

CVyImage Numbered(int32_t id) {
    CVyImage image;
    const uint8_t pixel = static_cast<uint8_t>(id);
    image.Create(1, 1, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte, &pixel);
    image.frameId = id;
    return image;
}

TEST(CImageQueueTest, FullQueueRefusesAndLeavesImageUntouched) {
    CImageQueue queue;
    queue.Initialize(2, false);
    CVyImage a = Numbered(1), b = Numbered(2), c = Numbered(3);
    EXPECT_TRUE(queue.MoveIn(a));
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(queue.MoveIn(b));
    EXPECT_FALSE(queue.MoveIn(c));
    EXPECT_FALSE(c.IsEmpty());
    EXPECT_EQ(c.frameId, 3);
    EXPECT_EQ(queue.GetSize(), 2u);

    CVyImage out;
    ASSERT_TRUE(queue.MoveOut(out));
    EXPECT_EQ(out.frameId, 1);
    queue.Initialize(5, false);
    EXPECT_EQ(queue.GetSize(), 0u);
    EXPECT_EQ(queue.GetCapacity(), 5u);
    EXPECT_FALSE(queue.MoveOut(out));
    EXPECT_EQ(out.frameId, 1);
}

TEST(CImageQueueTest, DropOldestKeepsTheNewest) {
    CImageQueue queue;
    queue.Initialize(2, true);
    for (int id = 1; id <= 4; ++id) {
        CVyImage image = Numbered(id);
        EXPECT_TRUE(queue.MoveIn(image));
    }
    CVyImage out;
    ASSERT_TRUE(queue.MoveOut(out));
    EXPECT_EQ(out.frameId, 3);
    ASSERT_TRUE(queue.MoveOut(out));
    EXPECT_EQ(out.frameId, 4);
}

TEST(CImageQueueTest, WaitTimesOutWhenEmptyAndWakesOnImage) {
    CImageQueue queue;
    queue.Initialize(1, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.WaitForNotEmpty(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CVyImage image = Numbered(9);
        queue.MoveIn(image);
    });
    const auto waitStart = std::chrono::steady_clock::now();
    EXPECT_TRUE(queue.WaitForNotEmpty(10000));
    EXPECT_LT(std::chrono::steady_clock::now() - waitStart, std::chrono::seconds(5));
    producer.join();
}

TEST(CImageQueueTest, ProducerAndConsumerKeepOrderWithoutLoss) {
    CImageQueue queue;
    queue.Initialize(4, false);
    constexpr int kCount = 2000;
    std::thread producer([&] {
        for (int id = 0; id < kCount;) {
            CVyImage image = Numbered(id);
            if (queue.MoveIn(image)) {
                ++id;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::vector<int> received;
    while (static_cast<int>(received.size()) < kCount) {
        if (!queue.WaitForNotEmpty(1000)) {
            break;
        }
        CVyImage image;
        while (queue.MoveOut(image)) {
            EXPECT_EQ(static_cast<const uint8_t*>(image.GetPixelData())[0], static_cast<uint8_t>(image.frameId));
            received.push_back(image.frameId);
        }
    }
    producer.join();
    ASSERT_EQ(received.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(received[i], i);
    }
}

}  // namespace
