#include "TrackSummary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "ParticleTableReader.h"
#include "TestFiles.h"

namespace Vy::Analysis {
namespace {

constexpr double kFrameMs = 40.0;
const cv::Point3d kVelocity(30.0, -40.0, 120.0);  // mm/s: a speed of 130 mm/s

// The row of a particle on track `track` at frame `frame`, moving at kVelocity from `start`, its
// position off by `noise` (mm).
ParticleRow trackedRow(int64_t track, int frame, const cv::Point3d& start, const cv::Point3d& noise = {}) {
    ParticleRow row;
    row.frameIndex = frame;
    row.frameId = 1000 + frame;
    row.timeMs = 1.7e12 + frame * kFrameMs;
    row.trackId = track;
    const cv::Point3d at = start + kVelocity * (frame * kFrameMs / 1000.0) + noise;
    row.lateralMm = cv::Point2d(at.x, at.y);
    row.distanceMm = at.z;
    return row;
}

}  // namespace

TEST(TrackSummary, AStraightTrackGivesItsSpanDisplacementAndSpeed) {
    TrackSummary summary;
    const cv::Point3d start(-12.0, 8.0, 1400.0);
    for (int frame = 3; frame < 23; ++frame) {
        ParticleRow untracked = trackedRow(-1, frame, {0, 0, 900});
        summary.add({untracked, trackedRow(5, frame, start)});
        if (frame == 10 || frame == 11) summary.add({trackedRow(9, frame, start)});
        if (frame == 12) summary.add({trackedRow(2, frame, start)});
    }
    const std::vector<TrackLine> lines = summary.lines();
    ASSERT_EQ(lines.size(), 3u);  // by id; the untracked rows make none
    const TrackLine& once = lines[0];
    EXPECT_EQ(once.trackId, 2);
    EXPECT_EQ(once.frames, 1);
    EXPECT_DOUBLE_EQ(once.displacementMm, 0.0);
    EXPECT_FALSE(once.meanSpeed || once.meanSpeedSe);

    const TrackLine& straight = lines[1];
    EXPECT_EQ(straight.trackId, 5);
    EXPECT_EQ(straight.frames, 20);
    EXPECT_EQ(straight.firstFrameIndex, 3);
    EXPECT_EQ(straight.firstFrameId, 1003);
    EXPECT_EQ(straight.lastFrameIndex, 22);
    EXPECT_EQ(straight.lastFrameId, 1022);
    EXPECT_DOUBLE_EQ(straight.lastTimeMs - straight.firstTimeMs, 19 * kFrameMs);
    EXPECT_NEAR(straight.displacementMm, 130.0 * 19 * kFrameMs / 1000.0, 1e-6);
    ASSERT_TRUE(straight.meanSpeed && straight.meanSpeedSe);
    EXPECT_NEAR(*straight.meanSpeed, 130.0, 1e-6);
    EXPECT_NEAR(*straight.meanSpeedSe, 0.0, 1e-6);

    // Two positions give the speed between them and no error.
    const TrackLine& pair = lines[2];
    EXPECT_EQ(pair.frames, 2);
    ASSERT_TRUE(pair.meanSpeed.has_value());
    EXPECT_NEAR(*pair.meanSpeed, 130.0, 1e-6);
    EXPECT_FALSE(pair.meanSpeedSe.has_value());
}

// The stated error is honest: over many noisy tracks the true speed lies within twice it
// about 95 % of the time, and the error shrinks as the track grows longer.
TEST(TrackSummary, TheSpeedsErrorCoversTheTrueSpeedOnNoisyTracks) {
    std::mt19937 random(7);
    std::normal_distribution<double> jitter(0.0, 1.5);  // mm, like a depth map's jitter at 1.4 m
    TrackSummary summary;
    constexpr int kTracks = 300;
    for (int frame = 0; frame < 30; ++frame) {
        std::vector<ParticleRow> rows;
        for (int track = 0; track < kTracks; ++track) {
            // Half the tracks are seen on 10 frames, half on 30.
            if (track % 2 == 0 && frame >= 10) continue;
            const cv::Point3d noise(jitter(random), jitter(random), jitter(random));
            rows.push_back(trackedRow(track, frame, cv::Point3d(track, -track, 1000.0 + track), noise));
        }
        summary.add(rows);
    }
    int within = 0;
    double shortError = 0.0, longError = 0.0;
    for (const TrackLine& line : summary.lines()) {
        ASSERT_TRUE(line.meanSpeed && line.meanSpeedSe) << line.trackId;
        within += std::abs(*line.meanSpeed - 130.0) <= 2.0 * *line.meanSpeedSe;
        (line.frames == 10 ? shortError : longError) += *line.meanSpeedSe / (kTracks / 2);
    }
    EXPECT_GE(within, 0.90 * kTracks);
    EXPECT_LE(within, 0.99 * kTracks);
    // A slope's error falls as (n^3)^(-1/2) with n positions at a fixed rate: 30 against 10 is 5.2 times smaller.
    EXPECT_NEAR(shortError / longError, std::pow(3.0, 1.5), 0.8);
}

TEST(TrackSummary, TheFileHoldsAHeaderAndOneLinePerTrackOrNothing) {
    Vy::Test::ScratchDir dir;
    TrackSummary summary;
    for (int frame = 0; frame < 4; ++frame) summary.add({trackedRow(0, frame, {1, 2, 1500})});
    const std::string file = dir.File("VyProc_run7.csv.tracks.csv");
    EXPECT_EQ(trackSummaryName(dir.File("VyProc_run7.csv")), file);
    ASSERT_TRUE(writeTrackSummary(file, summary.lines(), "/d/a,b.rays"));
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], trackSummaryHeader());
    EXPECT_EQ(lines[1].rfind("0,4,0,1000,3,1003,1700000000000.000,1700000000120.000,15.600,130.000,0.000,", 0), 0u)
        << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 14), ",\"/d/a,b.rays\"");
    // Written again, it is replaced, not appended to.
    ASSERT_TRUE(writeTrackSummary(file, {}, ""));
    EXPECT_EQ(std::filesystem::file_size(file), trackSummaryHeader().size() + 1);
    EXPECT_FALSE(writeTrackSummary(dir.File("missing/x.tracks.csv"), summary.lines()));
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace Vy::Analysis
