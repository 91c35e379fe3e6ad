// The profile measurement end to end on the synthetic camera's particle
// scene: the blobs counted per frame match the particles it rendered.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "ParticleTableReader.h"
#include "ProgramRun_test.h"
#include "TestFiles.h"

namespace {

int particlesInTruth(const std::string& truthDir, int frameIndex) {
    char name[64];
    std::snprintf(name, sizeof name, "/frame_%05d_particles.csv", frameIndex);
    std::ifstream csv(truthDir + name);
    int lines = 0;
    for (std::string line; std::getline(csv, line);) ++lines;
    return lines - 1;  // the header
}

}  // namespace

TEST(ProfileAccuracy, AcceptedBlobsMatchTheRenderedParticles) {
    Vy::Test::ScratchDir dir;
    const std::string sequence = dir.File("particles.rays");
    const auto created = Vy::Test::ProgramRun::run(
        {VY_BIN_DIR "/raystool", "create", "--preset", "particles", "--frames", "6", sequence}, {}, false);
    ASSERT_EQ(created.status, 0) << created.err;

    const auto result = Vy::Test::ProgramRun::run(
        {VY_BIN_DIR "/MarlinProfileProc", "--no-window", "--output-dir", dir.File("out"), sequence, "4"}, {}, false);
    ASSERT_EQ(result.status, 0) << result.out << result.err;

    // Rows: frame number, time stamp, frame id, accepted count, area figure.
    const std::regex row("(^|\n)([0-9]+), *[0-9.]+,([0-9]+),([0-9]+),([0-9.]+)");
    int rows = 0;
    for (auto it = std::sregex_iterator(result.out.begin(), result.out.end(), row); it != std::sregex_iterator();
         ++it) {
        const int frameId = std::stoi((*it)[3]);
        const int counted = std::stoi((*it)[4]);
        const int rendered = particlesInTruth(sequence + ".truth", frameId - 1000);
        ASSERT_GT(rendered, 20);
        EXPECT_LE(std::abs(counted - rendered), std::ceil(0.05 * rendered))
            << "frame id " << frameId << ": counted " << counted << ", rendered " << rendered;
        const double areaFigure = std::stod((*it)[5]);
        EXPECT_GT(areaFigure, 3.0);
        EXPECT_LT(areaFigure, 400.0);
        ++rows;
    }
    EXPECT_EQ(rows, 6);  // every frame, the one read at start-up included

    // The track summary beside the table holds each track of the table once, with its span.
    std::smatch log;
    ASSERT_TRUE(std::regex_search(result.out, log, std::regex("log: ([^;]+\\.csv);")));
    std::map<int64_t, std::pair<int, int>> spans;  // track: frames seen, first frame index
    std::map<int64_t, int> lastFrame;
    for (const Vy::Analysis::TableParticle& p : Vy::Analysis::readParticleTable(log[1].str() + ".particles.csv")) {
        if (p.trackId < 0) continue;
        auto [it, fresh] = spans.try_emplace(p.trackId, 0, p.frameIndex);
        ++it->second.first;
        lastFrame[p.trackId] = p.frameIndex;
    }
    ASSERT_GT(spans.size(), 20u);
    EXPECT_NE(result.out.find("\ntrack summary: " + log[1].str() + ".tracks.csv\n"), std::string::npos) << result.out;
    std::ifstream summary(log[1].str() + ".tracks.csv");
    std::string line;
    ASSERT_TRUE(std::getline(summary, line));
    EXPECT_EQ(line.rfind("track_id,frames,first_frame_index,first_frame_id,last_frame_index,last_frame_id,", 0), 0u);
    size_t tracks = 0;
    int longTracks = 0, moving = 0;
    for (; std::getline(summary, line); ++tracks) {
        long long id = 0;
        int frames = 0, first = 0, firstId = 0, last = 0, lastId = 0;
        double firstMs = 0, lastMs = 0, displacement = 0, speed = -1;
        ASSERT_GE(std::sscanf(line.c_str(), "%lld,%d,%d,%d,%d,%d,%lf,%lf,%lf,%lf", &id, &frames, &first, &firstId,
                              &last, &lastId, &firstMs, &lastMs, &displacement, &speed),
                  9)
            << line;
        ASSERT_EQ(spans.count(id), 1u) << line;
        EXPECT_EQ(frames, spans[id].first) << line;
        EXPECT_EQ(first, spans[id].second) << line;
        EXPECT_EQ(last, lastFrame[id]) << line;
        EXPECT_EQ(lastId - firstId, last - first) << line;
        // The particles drift alike, a few mm a frame: a track of them moves.
        if (frames >= 3) {
            ++longTracks;
            moving += displacement > 0.5 && speed > 0.0;
        }
    }
    EXPECT_EQ(tracks, spans.size());
    EXPECT_GT(longTracks, 20);
    EXPECT_EQ(moving, longTracks);
}
