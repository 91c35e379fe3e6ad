// The particle table end to end: the program replays a small swarm sequence in
// display type 4 and its table is checked against the renderer's truth.
#include "ParticleScore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CalibrationSamples.h"
#include "ParticleTable.h"
#include "ParticleTableReader.h"
#include "SequenceGenerator.h"
#include "TestFiles.h"

namespace Vy::Synth {
namespace {

class ParticleTableRun : public Vy::Test::ScratchDirTest {
protected:
    // Runs the program in display type 4 with the given settings lines added to
    // the default settings; returns the path of the measurement log.
    std::string replay(const std::string& name, const std::string& extraSettings) {
        const std::string out = path(name);
        std::filesystem::create_directories(out);
        const std::string settings = out + "/s.vyset";
        std::filesystem::copy_file(VY_BIN_DIR "/CurrentSettings-2019-08-09.vyset", settings);
        std::ofstream(settings, std::ios::app) << "\n" << extraSettings;
        const std::string command = "LCM_DEFAULT_URL=memq:// " VY_BIN_DIR "/MarlinProfileProc --no-window --settings " +
                                    settings + " --output-dir " + out + " " + sequence_ + " 4 </dev/null >" + out +
                                    "/run.txt 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << slurp(out + "/run.txt");
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            const std::string file = entry.path().string();
            if (std::regex_match(file, std::regex(".*/VyProc_[0-9]+\\.csv"))) return file;
        }
        ADD_FAILURE() << "no measurement log in " << out;
        return "";
    }
    static std::string slurp(const std::string& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::vector<std::string> lines(const std::string& file) {
        std::vector<std::string> result;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }
    void SetUp() override {
        Vy::Test::ScratchDirTest::SetUp();
        sequence_ = path("swarm.rays");
        CreateOptions options;
        options.preset = "swarm";
        options.size = 512;
        options.frames = 6;
        createSequence(sequence_, options, nullptr);
    }
    std::string sequence_;
};

TEST_F(ParticleTableRun, TableMatchesTheTruthAndTheLogKeepsItsFormat) {
    const std::string log = replay("on", "");
    ASSERT_FALSE(log.empty());

    // The measurement log is as it always was: five fields, no header.
    const std::vector<std::string> rows = lines(log);
    ASSERT_EQ(rows.size(), 6u);
    std::map<int, int> blobCount;
    for (const std::string& row : rows) {
        std::smatch m;
        ASSERT_TRUE(
            std::regex_match(row, m, std::regex("([0-9]+), *[0-9]+\\.[0-9]{6},[0-9]+,([0-9]+),[0-9]+\\.[0-9]{6}")))
            << row;
        blobCount[std::stoi(m[1])] = std::stoi(m[2]);
    }

    // The table: its header, one count of fields per line, the accepted rows of a
    // frame as many as the log's blob count.
    const std::string tablePath = Analysis::particleTableName(log);
    const std::vector<std::string> table = lines(tablePath);
    ASSERT_GT(table.size(), 1u);
    EXPECT_EQ(table.front(), Analysis::particleTableHeader());
    const auto fields = [](const std::string& line) { return std::count(line.begin(), line.end(), ','); };
    for (const std::string& line : table) EXPECT_EQ(fields(line), fields(table.front())) << line;
    const std::vector<Analysis::TableParticle> particles = Analysis::readParticleTable(tablePath);
    std::map<int, int> accepted;
    for (const auto& p : particles) accepted[p.frameIndex] += p.accepted ? 1 : 0;
    EXPECT_EQ(accepted, blobCount);

    CSeqFileReader reader;
    reader.Open(sequence_.c_str(), 2);
    CRayImage image;
    reader.StartReading(image);
    const ParticleScore s = scoreParticleTable(particles, truthDirectory(sequence_), reader.GetCalibration(), 2);
    EXPECT_EQ(s.frames, 6);
    EXPECT_GE(s.matchedShare(), 0.85) << s.matched << " of " << s.truthParticles;
    EXPECT_LE(s.centreErrorMedian, 0.3);
    EXPECT_LE(s.distanceErrorMedian, 0.01);
    EXPECT_LE(s.diameterErrorMedian, 0.08);
    // Rows at the border get no track: tracks are held to the bar with the border class apart.
    const ParticleScore apart =
        scoreParticleTable(particles, truthDirectory(sequence_), reader.GetCalibration(), 2, BorderRule::Apart);
    EXPECT_GE(apart.trackKeptShare(), 0.95) << apart.trackPairsKept << " of " << apart.trackPairs;
    EXPECT_GT(apart.velocities, 0u);
    EXPECT_LT(apart.truthParticles, s.truthParticles);
    // Depth noise rules a velocity from few positions: none is given before a track has
    // five, so not before the fifth frame; each states its error, and the true velocity
    // lies within twice that for most.
    const int firstWithVelocity = Analysis::TrackerSettings().velocityMinPositions - 1;
    for (const auto& p : particles) {
        EXPECT_EQ(p.velocity.has_value(), p.velocitySd.has_value());
        EXPECT_EQ(p.velocity.has_value(), p.velocityPositions > 0);
        if (p.velocity) {
            EXPECT_GE(p.frameIndex, firstWithVelocity);
        }
        EXPECT_LE(p.velocityPositions, p.frameIndex + 1) << "no more positions than frames so far";
    }
    EXPECT_EQ(apart.velocityErrorsByPositions.size(), apart.velocities);
    EXPECT_FALSE(std::isnan(velocityErrorMedianByPositions(apart, 5, 6)));
    EXPECT_TRUE(std::isnan(velocityErrorMedianByPositions(apart, 2, 4)));
    EXPECT_EQ(apart.velocitiesWithSd, apart.velocities);
    EXPECT_GE(apart.velocitiesWithinTwoSd, 0.75 * apart.velocitiesWithSd)
        << apart.velocitiesWithinTwoSd << " of " << apart.velocitiesWithSd;

    // Every accepted particle with a distance away from the border has a track.
    for (const auto& p : particles) {
        if (p.accepted && p.distanceMm && !p.border) {
            EXPECT_GE(p.trackId, 0);
        }
    }
}

// On the truth's own all-in-focus image and depth the measurement and tracking have
// nothing to blame on the engine: every bar holds with room to spare.
TEST_F(ParticleTableRun, OnTheTruthsImageAndDepthEveryBarHolds) {
    const std::string table = path("reference.particles.csv");
    writeReferenceTable(sequence_, table);
    writeReferenceTable(sequence_, table);  // replaces, never appends to an old table
    const std::vector<Analysis::TableParticle> particles = Analysis::readParticleTable(table);
    CSeqFileReader reader;
    reader.Open(sequence_.c_str(), 2);
    CRayImage image;
    reader.StartReading(image);
    const ParticleScore s =
        scoreParticleTable(particles, truthDirectory(sequence_), reader.GetCalibration(), 2, BorderRule::Apart);
    EXPECT_EQ(s.frames, 6);
    EXPECT_GE(s.matchedShare(), 0.99) << s.matched << " of " << s.truthParticles;
    EXPECT_LE(s.unmatchedShare(), 0.01);
    EXPECT_LE(s.centreErrorMedian, 0.1);
    EXPECT_LE(s.distanceErrorMedian, 0.001);
    EXPECT_LE(s.diameterErrorMedian, 0.02);
    EXPECT_GE(s.trackKeptShare(), 0.99);
    EXPECT_GT(s.velocities, 0u);
    EXPECT_LE(s.velocityErrorMedian, 0.02);
}

TEST_F(ParticleTableRun, SettingsChangeTheBoundsAndCanTurnTheTableOff) {
    const std::string plain = replay("plain", "particles.table = 0\n");
    const std::string narrow = replay("narrow", "particles.table = 0\nprofile.max_area = 40\n");
    EXPECT_FALSE(std::filesystem::exists(Analysis::particleTableName(plain)));
    const auto count = [](const std::string& log) {
        int total = 0;
        for (const std::string& row : lines(log))
            total += std::stoi(row.substr(row.rfind(',', row.rfind(',') - 1) + 1));
        return total;
    };
    EXPECT_GT(count(plain), count(narrow));
    EXPECT_GT(count(narrow), 0);
}

// Particles cut by the frame's edge, and detections touching it, are counted in
// the strict score and set apart in the other, never dropped unseen.
class ParticleScoreBorder : public Vy::Test::ScratchDirTest {};

TEST_F(ParticleScoreBorder, CutParticlesAndBorderRowsAreSetApartAndCounted) {
    const std::string truth = path("truth");
    writeTruthIndex(truth, 2, 1.0, 100, 80, 1, "swarm");
    std::ofstream(truthFile(truth, 0, "particles.csv")) << "id,x,y,radius,virtual_depth,distance_mm\n"
                                                        << "1,50.0,40.0,3.0,3.5,1500.0\n"   // whole, found
                                                        << "2,1.5,30.0,3.0,3.5,1500.0\n"    // cut by the edge, found
                                                        << "3,70.0,20.0,2.0,3.5,1500.0\n"   // whole, missed
                                                        << "4,30.0,60.0,2.0,3.5,1500.0\n";  // whole, found touching
    const auto row = [](double x, double y, bool border) {
        Analysis::TableParticle p;
        p.accepted = true;
        p.centre = {x, y};
        p.border = border;
        return p;
    };
    const std::vector<Analysis::TableParticle> table = {row(50.1, 40.0, false), row(2.0, 30.2, true),
                                                        row(30.2, 60.0, true), row(90.0, 70.0, false),
                                                        row(99.0, 10.0, true)};
    const CCalibration c = Vy::Test::SmallCalibration(200, 160);
    const ParticleScore strict = scoreParticleTable(table, truth, c, 2);
    EXPECT_EQ(strict.truthParticles, 4u);
    EXPECT_EQ(strict.matched, 3u);
    EXPECT_EQ(strict.accepted, 5u);
    EXPECT_EQ(strict.unmatchedDetections, 2u);
    ASSERT_EQ(strict.misses.size(), 1u);
    EXPECT_EQ(strict.misses[0].truth.id, 3);
    EXPECT_NEAR(strict.misses[0].nearestRowPx, std::hypot(19.9, 20.0), 1e-9);

    const ParticleScore apart = scoreParticleTable(table, truth, c, 2, BorderRule::Apart);
    EXPECT_EQ(apart.truthParticles, 2u);
    EXPECT_EQ(apart.matched, 1u);
    EXPECT_EQ(apart.accepted, 2u);
    EXPECT_EQ(apart.unmatchedDetections, 1u);
    EXPECT_NEAR(apart.centreErrorMedian, 0.1, 1e-9);
    for (const ParticleScore* s : {&strict, &apart}) {
        EXPECT_EQ(s->borderTruth, 2u);
        EXPECT_EQ(s->borderTruthMatched, 2u);
        EXPECT_EQ(s->borderRows, 3u);
        EXPECT_EQ(s->borderRowsUnmatched, 1u);
    }
}

TEST(ParticleScoreDisc, CutWhenAnyPartOfTheDiscLeavesTheFrame) {
    const cv::Size frame(100, 80);
    EXPECT_FALSE(discCut({0, 3.0, 3.0, 3.0, 3.5, 1500.0}, frame));
    EXPECT_TRUE(discCut({0, 2.9, 40.0, 3.0, 3.5, 1500.0}, frame));
    EXPECT_TRUE(discCut({0, 50.0, 77.5, 3.0, 3.5, 1500.0}, frame));
    EXPECT_TRUE(discCut({0, 97.5, 40.0, 3.0, 3.5, 1500.0}, frame));
    EXPECT_FALSE(discCut({0, 97.0, 77.0, 3.0, 3.5, 1500.0}, frame));
}

}  // namespace
}  // namespace Vy::Synth
