#include "ReplayPace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Clock = ReplayPace::Clock;
using std::chrono::milliseconds;

// Frames 40 ms apart are due 40 ms apart, whenever they were read; a pause
// starts the clock again at the next frame.
TEST(ReplayPace, FramesAreDueAtTheirStampsAndAPauseStartsTheClockAgain) {
    ReplayPace pace;
    const Clock::time_point start{};
    EXPECT_EQ(pace.dueAt(1000.0, start), start);
    EXPECT_EQ(pace.dueAt(1040.0, start + milliseconds(3)), start + milliseconds(40));
    EXPECT_EQ(pace.dueAt(1080.0, start + milliseconds(41)), start + milliseconds(80));
    // Slightly late (a slow frame) keeps the schedule.
    EXPECT_EQ(pace.dueAt(1120.0, start + milliseconds(150)), start + milliseconds(120));
    pace.restart();
    const Clock::time_point later = start + milliseconds(5000);
    EXPECT_EQ(pace.dueAt(1160.0, later), later);
    EXPECT_EQ(pace.dueAt(1200.0, later), later + milliseconds(40));
}

// Stamps that cannot set a pace are due at once and start the clock again.
TEST(ReplayPace, StampsWithoutAPaceAreDueAtOnce) {
    const Clock::time_point start{};
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    ReplayPace pace;
    pace.dueAt(1000.0, start);
    EXPECT_EQ(pace.dueAt(500.0, start + milliseconds(1)), start + milliseconds(1)) << "goes back";
    EXPECT_EQ(pace.dueAt(540.0, start + milliseconds(1)), start + milliseconds(41));
    EXPECT_EQ(pace.dueAt(60000.0, start + milliseconds(2)), start + milliseconds(2)) << "a gap of a minute";
    for (const double stamp : {nan, inf, nan}) {
        EXPECT_EQ(pace.dueAt(stamp, start + milliseconds(3)), start + milliseconds(3));
    }
    EXPECT_EQ(pace.dueAt(1e308, start + milliseconds(4)), start + milliseconds(4));
    EXPECT_LE(pace.dueAt(1e308, start + milliseconds(5)), start + milliseconds(5)) << "the same stamp again";
    // Far behind (a machine slower than the recording): no hurrying to catch up.
    ReplayPace slow;
    slow.dueAt(0.0, start);
    EXPECT_EQ(slow.dueAt(40.0, start + milliseconds(400)), start + milliseconds(400));
    EXPECT_EQ(slow.dueAt(80.0, start + milliseconds(400)), start + milliseconds(440));
}

}  // namespace
