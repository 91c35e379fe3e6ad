// The particle table end to end: the program replays a small swarm sequence in
// display type 4 and its table is checked against the renderer's truth.
#include "ParticleScore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "ParticleTable.h"
#include "ParticleTableReader.h"
#include "SequenceGenerator.h"
#include "TempDirTest.h"

namespace Vy::Synth {
namespace {

class ParticleTableRun : public TempDirTest {
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
        TempDirTest::SetUp();
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
    EXPECT_GE(s.trackKeptShare(), 0.95) << s.trackPairsKept << " of " << s.trackPairs;
    EXPECT_GT(s.velocities, 0u);

    // Every accepted particle with a distance has a track and, after its first frame, a velocity.
    for (const auto& p : particles) {
        if (p.accepted && p.distanceMm) {
            EXPECT_GE(p.trackId, 0);
        }
    }
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

}  // namespace
}  // namespace Vy::Synth
