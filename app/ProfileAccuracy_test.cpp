// The profile measurement end to end on the synthetic camera's particle
// scene: the blobs counted per frame match the particles it rendered.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <string>

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
}
