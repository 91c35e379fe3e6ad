#include "ParticleTracker.h"

#include <gtest/gtest.h>

#include <cmath>

namespace Vy::Analysis {
namespace {

// A particle at p (mm) seen at 10 image pixels per mm laterally.
std::optional<TrackInput> seen(cv::Point3d p) { return TrackInput{p, cv::Point2d(p.x * 10, p.y * 10), 0.1}; }

TEST(ParticleTracker, CrossingPathsKeepTheirTracksAndExactVelocities) {
    TrackerSettings settings;
    settings.velocityMinPositions = 2;  // exact positions: two already give the velocity
    ParticleTracker tracker(settings);
    // Two particles on paths that cross at x = 0, 3 mm apart in y when they pass,
    // one of them moving in depth too; 25 frames a second.
    const cv::Point3d v1(100, 0, 0), v2(-100, -20, 250);  // mm/s
    std::vector<int64_t> first;
    for (int f = 0; f < 12; ++f) {
        const double t = f * 0.04;
        const cv::Point3d a = cv::Point3d(-20, 0, 1500) + v1 * t, b = cv::Point3d(24, 7.8, 1400) + v2 * t;
        // The detection order changes from frame to frame.
        const bool swap = f % 2 == 1;
        const auto result =
            tracker.update(1000.0 + t * 1000.0, swap ? std::vector{seen(b), seen(a)} : std::vector{seen(a), seen(b)});
        ASSERT_EQ(result.size(), 2u);
        const TrackAssignment& ta = result[swap ? 1 : 0];
        const TrackAssignment& tb = result[swap ? 0 : 1];
        if (f == 0) {
            first = {ta.trackId, tb.trackId};
            EXPECT_NE(ta.trackId, tb.trackId);
            EXPECT_FALSE(ta.velocity.has_value()) << "no velocity from one position";
            continue;
        }
        EXPECT_EQ(ta.trackId, first[0]) << "frame " << f;
        EXPECT_EQ(tb.trackId, first[1]) << "frame " << f;
        ASSERT_TRUE(ta.velocity && tb.velocity);
        EXPECT_EQ(ta.positions, f + 1);
        EXPECT_LT(cv::norm(*ta.velocity - v1), 1e-6);
        EXPECT_LT(cv::norm(*tb.velocity - v2), 1e-6);
    }
}

TEST(ParticleTracker, ADepthFarOffOnOneFrameNeitherBreaksTheTrackNorMovesTheVelocity) {
    ParticleTracker tracker;
    const cv::Point3d v(50, -30, 200);
    int64_t id = -1;
    for (int f = 0; f < 8; ++f) {
        const double t = f * 0.04;
        cv::Point3d p = cv::Point3d(0, 0, 1500) + v * t;
        if (f == 4) {
            p.z += 600;  // the depth map saw the wall behind it on this frame
        }
        const auto result = tracker.update(t * 1000.0, {seen(p)});
        if (f == 0) id = result[0].trackId;
        EXPECT_EQ(result[0].trackId, id) << "frame " << f;
        if (f >= 5) {
            ASSERT_TRUE(result[0].velocity);
            EXPECT_LT(cv::norm(*result[0].velocity - v), 1e-6) << "frame " << f;
        }
    }
}

TEST(ParticleTracker, TheVelocityRestsOnTheLatestPositionsOnly) {
    TrackerSettings settings;
    settings.velocityFrames = 4;
    ParticleTracker tracker(settings);
    // Standing still, then moving: four positions later the velocity is the new one.
    std::vector<int> positions;
    for (int f = 0; f < 10; ++f) {
        const double t = f * 0.04;
        const cv::Point3d p(f < 5 ? 0.0 : 100.0 * (t - 0.16), 0, 1500);
        const TrackAssignment a = tracker.update(t * 1000.0, {seen(p)})[0];
        positions.push_back(a.positions);
        if (f == 9) {
            ASSERT_TRUE(a.velocity);
            EXPECT_NEAR(a.velocity->x, 100.0, 1e-6);
        }
    }
    EXPECT_EQ(positions, (std::vector<int>{1, 2, 3, 4, 4, 4, 4, 4, 4, 4}));
}

TEST(ParticleTracker, ATrackEndsAfterItsMissedFramesAndTimeGoingBackStartsAfresh) {
    TrackerSettings settings;
    settings.maxMissed = 2;
    ParticleTracker tracker(settings);
    const cv::Point3d still(5, 5, 1500);
    const int64_t id = tracker.update(0, {seen(still)})[0].trackId;
    tracker.update(40, {});
    tracker.update(80, {std::nullopt});  // a particle without a distance is not tracked
    EXPECT_EQ(tracker.update(120, {seen(still)})[0].trackId, id) << "two missed frames are allowed";
    for (double t : {160.0, 200.0, 240.0}) tracker.update(t, {});
    EXPECT_EQ(tracker.liveTracks(), 0u);
    const int64_t next = tracker.update(280, {seen(still)})[0].trackId;
    EXPECT_NE(next, id);
    EXPECT_NE(tracker.update(100, {seen(still)})[0].trackId, next) << "time went back";

    // Outside the gate it is another particle.
    ParticleTracker gated;
    const int64_t a = gated.update(0, {seen({0, 0, 1500})})[0].trackId;
    EXPECT_NE(gated.update(40, {seen({TrackerSettings().gateMm + 1, 0, 1500})})[0].trackId, a);
}

}  // namespace
}  // namespace Vy::Analysis
