// What a run leaves for the user to take elsewhere, end to end on the synthetic
// camera's particle scene: the frames chosen on the command line, one number per
// frame on the console, in the title and in the snapshot's name, the outputs
// named after the run, and a particle table whose turned positions land on the
// particles of the turned snapshot.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <string>

#include "ParticleTableReader.h"
#include "ProgramRun_test.h"
#include "TestFiles.h"

namespace {

using Vy::Test::KeyStep;
using Vy::Test::ProgramRun;

const std::string kProgram = VY_BIN_DIR "/MarlinProfileProc";

class ProgramResults : public testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = new Vy::Test::ScratchDir;
        sequence = scratch->File("particles.rays");
        const auto created = ProgramRun::run(
            {VY_BIN_DIR "/raystool", "create", "--preset", "particles", "--frames", "4", "--quiet", sequence}, {},
            false);
        ASSERT_EQ(created.status, 0) << created.out << created.err;
    }
    static void TearDownTestSuite() {
        delete scratch;
        scratch = nullptr;
    }
    static Vy::Test::ScratchDir* scratch;
    static std::string sequence;
};

Vy::Test::ScratchDir* ProgramResults::scratch = nullptr;
std::string ProgramResults::sequence;

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

// Started paused at frame index 2 for one frame, named "b7": the frame is shown, a snapshot taken,
// and the run ends on 'q' with every output named after the run.
TEST_F(ProgramResults, APausedNamedRunOfOneChosenFrameAgreesInEveryOutput) {
    const std::string out = scratch->File("out");
    const auto result = ProgramRun::run({kProgram, "--no-window", "--output-dir", out, "--first", "2", "--count", "1",
                                         "--paused", "--name", "b7", sequence, "4"},
                                        {KeyStep(0, "s", 0, "\n0\n"), KeyStep(0, "q", 0, "snapshot")}, false);
    ASSERT_FALSE(result.timedOut) << result.out;
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("\npaused\n"), std::string::npos) << result.out;
    // Frame index 2 of the sequence is frame id 1002; the console numbers it 0, as the log does.
    EXPECT_NE(result.out.find("\n0,1565344800080.000000,1002,"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("\n1\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("summary: read 1, processed 1, recorded 1,"), std::string::npos) << result.out;
    const std::string base = out + "/b7-frame0-id1002-type4";
    EXPECT_NE(result.out.find("\nsnapshot: " + base + "-result.png " + base + "-view.png\n"), std::string::npos)
        << result.out;
    const std::string log = out + "/VyProc_b7.csv";
    EXPECT_NE(result.out.find("; video: " + out + "/b7.mp4; log: " + log + "; chart: " + log + ".png"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\ntrack summary: " + log + ".tracks.csv\n"), std::string::npos) << result.out;
    EXPECT_EQ(linesOf(log).size(), 1u);

    // Every accepted particle's turned position lies on its bright blob in the snapshot, whose
    // picture is turned as the window and the recording show it; the unturned position mostly not.
    const cv::Mat picture = cv::imread(base + "-result.png", cv::IMREAD_COLOR);
    ASSERT_FALSE(picture.empty());
    cv::Mat channels[3];
    cv::split(picture, channels);
    const cv::Mat& grey = channels[0];  // blue: the outlines are drawn in green and red only
    const std::vector<Vy::Analysis::TableParticle> table = Vy::Analysis::readParticleTable(log + ".particles.csv");
    int particles = 0, onBlob = 0, unturnedOnBlob = 0;
    for (const Vy::Analysis::TableParticle& p : table) {
        EXPECT_EQ(p.frameIndex, 0);
        EXPECT_EQ(p.recording, std::filesystem::absolute(sequence).lexically_normal().string());
        if (!p.accepted || p.border) continue;
        ASSERT_TRUE(p.turnedCentre.has_value());
        ++particles;
        const auto bright = [&](const cv::Point2d& at) {
            const cv::Point pixel(static_cast<int>(at.x), static_cast<int>(at.y));
            if (!cv::Rect({}, grey.size()).contains(pixel)) return false;
            double brightest = 0.0;
            cv::minMaxLoc(grey(cv::Rect(pixel - cv::Point(6, 6), cv::Size(13, 13)) & cv::Rect({}, grey.size())),
                          nullptr, &brightest);
            return grey.at<uint8_t>(pixel) >= 0.7 * brightest && brightest >= 96;
        };
        onBlob += bright(*p.turnedCentre);
        unturnedOnBlob += bright(p.centre);
        EXPECT_TRUE(bright(*p.turnedCentre)) << "particle " << p.number << " at " << *p.turnedCentre;
    }
    EXPECT_GT(particles, 20);
    EXPECT_EQ(onBlob, particles);
    EXPECT_LT(unturnedOnBlob, particles / 2);
}

TEST_F(ProgramResults, FramesPastTheEndAndBadNamesAreRefusedOnOneLine) {
    const std::string out = scratch->File("refused");
    const auto past =
        ProgramRun::run({kProgram, "--no-window", "--output-dir", out, "--first", "4", sequence, "1"}, {}, false);
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.out.find("MarlinProfileProc: cannot set up the run: --first 4 is past the last frame of " +
                            sequence + " (4 frames)\n"),
              std::string::npos)
        << past.out;
    for (const char* name : {"a/b", "tab\there"}) {
        const auto refused = ProgramRun::run({kProgram, "--name", name, sequence, "1"}, {}, false);
        EXPECT_EQ(refused.status, 1) << name;
        EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
        EXPECT_NE(refused.err.find("(it names the output files)"), std::string::npos) << refused.err;
    }
    EXPECT_FALSE(std::filesystem::exists(out + "/VyProc_a"));
}

// Started paused with no key to come, the run shows its first frame and ends as on 'q'.
TEST_F(ProgramResults, StartedPausedWithoutKeysTheFirstFrameIsShownAndTheRunEnds) {
    const std::string out = scratch->File("unattended");
    const auto result =
        ProgramRun::run({kProgram, "--no-window", "--output-dir", out, "--paused", sequence, "1"}, {}, false);
    ASSERT_FALSE(result.timedOut) << result.out;
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("\n0\nPaused and no key can arrive: ending the run.\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(", processed 1, recorded 1,"), std::string::npos) << result.out;
}
