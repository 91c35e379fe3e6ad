#include "ParticleTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

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

// Median of the values (upper one of the two middle ones).
double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

TEST(ParticleTrackerNoisyDepth, VelocityFromEnoughPositionsLiesWithinItsStatedError) {
    // 30 particles 40 mm apart, each moving mostly in depth, seen at 25 frames a second
    // with a distance that jitters by 0.6 % (about 9 mm) from frame to frame, as the
    // depth map does; every fifth one once sees the wall behind it instead.
    constexpr int kParticles = 30, kFrames = 20;
    constexpr double kJitter = 0.006;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    ParticleTracker tracker;
    std::vector<cv::Point3d> start, velocity;
    for (int i = 0; i < kParticles; ++i) {
        start.emplace_back(40.0 * (i % 6), 40.0 * (i / 6), 1400.0 + 10.0 * i);
        velocity.emplace_back(20.0, -10.0, i % 2 ? 180.0 : -150.0);
    }
    std::vector<double> errorsAt5, errorsAt20, statedAt20;
    int withinTwice = 0, stated = 0;
    for (int f = 0; f < kFrames; ++f) {
        const double t = f * 0.04;
        std::vector<std::optional<TrackInput>> frame;
        for (int i = 0; i < kParticles; ++i) {
            cv::Point3d p = start[i] + velocity[i] * t;
            p.z *= 1.0 + kJitter * noise(random);
            if (i % 5 == 0 && f == 8) p.z += 400.0;
            frame.push_back(seen(p));
        }
        const std::vector<TrackAssignment> result = tracker.update(t * 1000.0, frame);
        for (int i = 0; i < kParticles; ++i) {
            const TrackAssignment& a = result[i];
            ASSERT_EQ(a.trackId, i) << "frame " << f;
            if (f + 1 < TrackerSettings().velocityMinPositions) {
                EXPECT_FALSE(a.velocity.has_value()) << "a velocity from " << f + 1 << " positions";
                continue;
            }
            ASSERT_TRUE(a.velocity.has_value()) << "frame " << f;
            ASSERT_TRUE(a.velocitySd.has_value()) << "frame " << f;
            const double error = cv::norm(*a.velocity - velocity[i]);
            ++stated;
            withinTwice += error <= 2.0 * *a.velocitySd;
            if (a.positions == 5) errorsAt5.push_back(error / cv::norm(velocity[i]));
            if (a.positions == 20) {
                errorsAt20.push_back(error / cv::norm(velocity[i]));
                statedAt20.push_back(*a.velocitySd);
            }
        }
    }
    ASSERT_EQ(errorsAt20.size(), size_t(kParticles));
    // A line through 20 positions 40 ms apart with 9 mm of jitter: 8.7 mm/s standard
    // error, about 5 % of the speed; its median 0.67 times that.
    EXPECT_LT(median(errorsAt20), 0.05);
    EXPECT_LT(median(errorsAt20), 0.5 * median(errorsAt5));
    EXPECT_GT(median(statedAt20), 6.0);
    EXPECT_LT(median(statedAt20), 12.0);
    // The stated error is neither too bold nor too timid.
    EXPECT_GT(withinTwice, 0.85 * stated) << withinTwice << " of " << stated;
    EXPECT_LT(withinTwice, 0.995 * stated) << withinTwice << " of " << stated;
}

TEST(ParticleTrackerNoisyDepth, TheLeastPositionsForAVelocityAreASetting) {
    // Which of five frames of a slowly moving particle give a velocity.
    const auto given = [](int least, int fitted) {
        TrackerSettings settings;
        settings.velocityMinPositions = least;
        settings.velocityFrames = fitted;
        ParticleTracker tracker(settings);
        std::vector<bool> out;
        for (int f = 0; f < 5; ++f)
            out.push_back(tracker.update(f * 40.0, {seen({0.1 * f, 0, 1500})})[0].velocity.has_value());
        return out;
    };
    EXPECT_EQ(given(3, 20), (std::vector<bool>{false, false, true, true, true}));
    // Never more than the positions the path is fitted to.
    EXPECT_EQ(given(10, 4), (std::vector<bool>{false, false, false, true, true}));
}

}  // namespace
}  // namespace Vy::Analysis
