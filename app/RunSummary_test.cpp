#include "RunSummary.h"

#include <gtest/gtest.h>

TEST(RunSummary, TheProgressLineGivesFrameKOfNTheRateAndTheTimeLeft) {
    // 100 of 1100 frames in 10 s: 10 fps, 1000 frames left take 100 s.
    EXPECT_EQ(progressText(100, 1100, 10.0, 7, false), "frame 100 of 1100, 10.0 fps, 1:40 left, queue 7");
    EXPECT_EQ(progressText(1100, 1100, 10.0, 0, false), "frame 1100 of 1100, 110.0 fps, 0:00 left, queue 0");
    // Paused: no time left can be given.
    EXPECT_EQ(progressText(100, 1100, 10.0, 512, true), "frame 100 of 1100, 10.0 fps, paused, queue 512");
    // Nothing done yet: no rate to reckon with.
    EXPECT_EQ(progressText(0, 50, 0.0, 1, false), "frame 0 of 50, 0.0 fps, queue 1");
}
