// The live path end to end: the real program takes frames from a fake GigE Vision camera
// served by rayscamera on loopback, in a network namespace of its own (root only; skipped
// elsewhere), records them, shows them and measures them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CSeqFileWriter.h"
#include "CalibrationSamples.h"
#include "ProgramRun_test.h"
#include "RaysFormat.h"
#include "TestFiles.h"
#include "TestSequence_test.h"

namespace {

using Vy::Test::ProgramResult;
using Vy::Test::ProgramRun;

const std::string kProgram = std::string(VY_BIN_DIR) + "/MarlinProfileProc";
const std::string kServer = std::string(VY_BIN_DIR) + "/rayscamera";
const std::string kSettings = std::string(VY_SOURCE_DIR) + "/settings/CurrentSettings-2019-08-09.vyset";

// Bright dots drifting over a textured ground, so the measurement has blobs to count.
uint8_t scenePixel(int frame, size_t index, int width) {
    const int x = static_cast<int>(index % width), y = static_cast<int>(index / width);
    const int dx = (x - 20 - frame * 3) % 32, dy = (y - 18) % 24;
    const bool dot = dx * dx + dy * dy < 12;
    return static_cast<uint8_t>(dot ? 230 : 40 + (x * 7 + y * 3 + frame) % 25);
}

std::string liveSequence(const Vy::Test::ScratchDir& dir, const std::string& name, int frames, int width = 96,
                         int height = 72) {
    return Vy::Test::writeTestSequence(
        dir.File(name), frames, [width](int i, size_t p) { return scenePixel(i, p, width); }, width, height, 500);
}

// A 16-bit sequence with 12 significant bits, served as Mono12.
std::string twelveBitSequence(const Vy::Test::ScratchDir& dir, int frames) {
    const int width = 80, height = 60;
    const CVyImageFormat format{width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort};
    CSeqFileWriter writer;
    const std::string path = dir.File("twelve.rays");
    writer.Create(CVyString(path), format, Vy::Test::SmallCalibration(width, height), CVyImage(), 12);
    for (int i = 0; i < frames; ++i) {
        std::vector<uint16_t> pixels(static_cast<size_t>(width) * height);
        for (size_t p = 0; p < pixels.size(); ++p)
            pixels[p] = static_cast<uint16_t>(scenePixel(i, p, width) * 16 + p % 16);
        CVyImage frame;
        frame.Create(width, height, format.pixelType, format.dataType, pixels.data());
        frame.frameId = i;
        frame.timeStamp = 1.7e12 + i * 40.0;
        writer.WriteFrame(frame);
    }
    writer.Close();
    return path;
}

// rayscamera [server options] -- MarlinProfileProc --camera 127.0.0.1 [program options] TYPE.
ProgramResult runLive(const std::vector<std::string>& server, const std::vector<std::string>& program,
                      const std::string& type = "4", const std::vector<Vy::Test::KeyStep>& keys = {}) {
    std::vector<std::string> args{kServer};
    args.insert(args.end(), server.begin(), server.end());
    args.insert(args.end(), {"--", kProgram, "--camera", "127.0.0.1", "--no-window", "--settings", kSettings});
    args.insert(args.end(), program.begin(), program.end());
    args.push_back(type);
    return ProgramRun::run(args, keys, false, true, 120000);
}

bool noNamespace(const ProgramResult& result) {
    return result.status == 1 && result.err.find("cannot make a network namespace") != std::string::npos;
}

#define SKIP_WITHOUT_NAMESPACE(result) \
    if (noNamespace(result)) GTEST_SKIP() << "no network namespace for the fake camera: " << (result).err

std::string recordingOf(const ProgramResult& result) {
    std::smatch match;
    return std::regex_search(result.out, match, std::regex("recording: (\\S+\\.rays)\\n")) ? match[1].str() : "";
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string logOf(const ProgramResult& result) {
    std::smatch match;
    return std::regex_search(result.out, match, std::regex("log: (\\S+\\.csv)")) ? match[1].str() : "";
}

// Every frame of the recording is the served frame of its place in the stream, with consecutive ids.
void expectRecordingHoldsTheServedFrames(const std::string& recording, const std::string& served, uint32_t count) {
    CSeqFileReader live, source;
    CRayImage liveFrame, sourceFrame;
    live.Open(CVyString(recording), 0);
    source.Open(CVyString(served), 0);
    ASSERT_EQ(live.GetFrameCount(), count);
    EXPECT_EQ(live.GetPromisedFrameCount(), count);  // finished, not cut
    EXPECT_EQ(live.GetFrameFormat(), source.GetFrameFormat());
    EXPECT_EQ(live.GetSignificantBits(), source.GetSignificantBits());
    live.StartReading(liveFrame);
    source.StartReading(sourceFrame);
    EXPECT_EQ(liveFrame.GetCalibration().ToText(), sourceFrame.GetCalibration().ToText());
    int32_t firstId = 0;
    for (uint32_t i = 0; i < count; ++i) {
        live.ReadFrame(liveFrame);
        if (source.GetFrameIndex() >= source.GetFrameCount()) source.Seek(0);
        source.ReadFrame(sourceFrame);
        ASSERT_EQ(std::memcmp(liveFrame.GetPixelData(), sourceFrame.GetPixelData(), liveFrame.GetByteSize()), 0)
            << "frame " << i;
        if (i == 0) firstId = liveFrame.frameId;
        EXPECT_EQ(liveFrame.frameId, firstId + static_cast<int32_t>(i));
    }
}

TEST(LiveCamera, RecordsEveryServedFrameAndAReplayOfItMeasuresTheSame) {
    const Vy::Test::ScratchDir dir;
    const std::string served = liveSequence(dir, "scene.rays", 5);
    const std::string out = dir.File("live");
    // 2 frames a second: the small frames' engine keeps up, so the display skips none, also with the
    // first frame's slow set-up under a sanitizer (over 200 ms there).
    const ProgramResult live =
        runLive({served, "--fps", "2"}, {"--calibration", served, "--output-dir", out, "--frames", "12"});
    SKIP_WITHOUT_NAMESPACE(live);
    ASSERT_EQ(live.status, 0) << live.out << live.err;
    EXPECT_NE(live.out.find("live: 12 received, 12 recorded, 12 processed, 0 skipped for display, 0 lost by the "
                            "camera or network"),
              std::string::npos)
        << live.out;
    const std::string recording = recordingOf(live);
    ASSERT_FALSE(recording.empty()) << live.out;
    expectRecordingHoldsTheServedFrames(recording, served, 12);

    const std::string again = dir.File("replay");
    std::filesystem::create_directories(again);
    const ProgramResult replay = ProgramRun::run(
        {kProgram, recording, "4", "--no-window", "--settings", kSettings, "--output-dir", again}, {}, false);
    ASSERT_EQ(replay.status, 0) << replay.out;
    const std::string liveLog = logOf(live), replayLog = logOf(replay);
    ASSERT_FALSE(liveLog.empty()) << live.out;
    ASSERT_FALSE(replayLog.empty()) << replay.out;
    // Row for row: index, time stamp, frame id, blob count, area.
    const std::string rows = fileText(liveLog);
    EXPECT_EQ(rows, fileText(replayLog));
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 12);
    EXPECT_EQ(fileText(liveLog + ".particles.csv"), fileText(replayLog + ".particles.csv"));
}

TEST(LiveCamera, TwelveBitFramesAreRecordedWithTheirBitDepth) {
    const Vy::Test::ScratchDir dir;
    const std::string served = twelveBitSequence(dir, 3);
    const ProgramResult live = runLive({served, "--fps", "20", "--format", "Mono12"},
                                       {"--calibration", served, "--output-dir", dir.Path(), "--frames", "6"}, "1");
    SKIP_WITHOUT_NAMESPACE(live);
    ASSERT_EQ(live.status, 0) << live.out << live.err;
    EXPECT_NE(live.out.find("80x60 Mono12"), std::string::npos) << live.out;
    expectRecordingHoldsTheServedFrames(recordingOf(live), served, 6);
}

// "live: R received, N recorded, P processed, S skipped for display, L lost by the camera or network".
std::vector<uint64_t> liveCounts(const ProgramResult& result) {
    std::smatch m;
    if (!std::regex_search(result.out, m,
                           std::regex("live: ([0-9]+) received, ([0-9]+) recorded, ([0-9]+) processed, ([0-9]+) "
                                      "skipped for display, ([0-9]+) lost"))) {
        return {};
    }
    return {std::stoull(m[1]), std::stoull(m[2]), std::stoull(m[3]), std::stoull(m[4]), std::stoull(m[5])};
}

TEST(LiveCamera, APausedDisplaySkipsFramesWhileTheRecordingTakesEveryOne) {
    const Vy::Test::ScratchDir dir;
    const std::string served = liveSequence(dir, "scene.rays", 4);
    // Paused for a second at 30 frames a second once three frames were shown, then 'q': the run ends in order.
    const ProgramResult live = runLive({served, "--fps", "30"}, {"--calibration", served, "--output-dir", dir.Path()},
                                       "1", {{0, "p", 0, "\n2\n"}, {1000, "q"}});
    SKIP_WITHOUT_NAMESPACE(live);
    ASSERT_EQ(live.status, 0) << live.out << live.err;
    const std::vector<uint64_t> counts = liveCounts(live);
    ASSERT_EQ(counts.size(), 5u) << live.out;
    EXPECT_EQ(counts[0], counts[1]);  // every frame received was recorded
    EXPECT_GE(counts[3], 15u);        // those that came while paused replaced each other
    // Each recorded frame was shown or replaced, but the one still waiting when 'q' came.
    EXPECT_LE(counts[2] + counts[3], counts[1]) << live.out;
    EXPECT_GE(counts[2] + counts[3] + 1, counts[1]) << live.out;
    EXPECT_EQ(counts[4], 0u);
    expectRecordingHoldsTheServedFrames(recordingOf(live), served, static_cast<uint32_t>(counts[1]));
}

TEST(LiveCamera, AStopSignalEndsTheRunWithEveryFrameRecordedWhole) {
    const Vy::Test::ScratchDir dir;
    const std::string served = liveSequence(dir, "scene.rays", 4);
    // The signal comes once six frames were shown (so at least six recorded), however slow the start.
    const ProgramResult live = runLive({served, "--fps", "30"}, {"--calibration", served, "--output-dir", dir.Path()},
                                       "1", {{200, "", SIGTERM, "\n5\n"}});
    SKIP_WITHOUT_NAMESPACE(live);
    ASSERT_EQ(live.status, 0) << live.out << live.err;
    const std::vector<uint64_t> counts = liveCounts(live);
    ASSERT_EQ(counts.size(), 5u) << live.out;
    EXPECT_GT(counts[1], 5u) << live.out;
    EXPECT_EQ(counts[0], counts[1]);
    expectRecordingHoldsTheServedFrames(recordingOf(live), served, static_cast<uint32_t>(counts[1]));
}

// Bad input: one line each, status 1 before anything is recorded, or the recording kept whole.
TEST(LiveCamera, BadCamerasAreRefusedOnOneLineAndTheRecordingStaysWhole) {
    const Vy::Test::ScratchDir dir;
    const std::string served = liveSequence(dir, "scene.rays", 3);
    const std::string other = liveSequence(dir, "other.rays", 1, 64, 48);
    const auto raysFilesIn = [](const std::string& folder) {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            count += entry.path().extension() == ".rays" && entry.path().filename().string().rfind("camera-", 0) == 0;
        }
        return count;
    };
    {
        const ProgramResult none = runLive({"--none"}, {"--calibration", served, "--output-dir", dir.Path()});
        SKIP_WITHOUT_NAMESPACE(none);
        EXPECT_EQ(none.status, 1);
        EXPECT_TRUE(std::regex_search(none.out, std::regex("cannot set up the run: .*camera 127\\.0\\.0\\.1.*no GigE "
                                                           "Vision camera answers")))
            << none.out;
    }
    {
        const ProgramResult bayer =
            runLive({served, "--format", "BayerGR8"}, {"--calibration", served, "--output-dir", dir.Path()});
        EXPECT_EQ(bayer.status, 1);
        EXPECT_NE(bayer.out.find("pixel format BayerGR8 is not taken (Mono8, Mono10, Mono12, Mono14, Mono16)"),
                  std::string::npos)
            << bayer.out;
    }
    {
        const ProgramResult size = runLive({served}, {"--calibration", other, "--output-dir", dir.Path()});
        EXPECT_EQ(size.status, 1);
        EXPECT_NE(size.out.find("camera 127.0.0.1: frames of 96x72 are not the calibration's 64x48 (" + other + ")"),
                  std::string::npos)
            << size.out;
    }
    {
        const ProgramResult settings = runLive(
            {served}, {"--calibration", served, "--output-dir", dir.Path(), "--settings", dir.File("missing.vyset")});
        EXPECT_EQ(settings.status, 1);
        EXPECT_NE(settings.out.find("cannot set up the run: ImportParameterFromFile: " + dir.File("missing.vyset")),
                  std::string::npos)
            << settings.out;
    }
    EXPECT_EQ(raysFilesIn(dir.Path()), 0);  // refused before a recording was made
    {
        // The camera falls silent after 5 frames: the run ends on its own, the 5 frames recorded whole.
        const ProgramResult silent = runLive({served, "--fps", "20", "--stop-after", "5"},
                                             {"--calibration", served, "--output-dir", dir.Path()}, "1");
        EXPECT_EQ(silent.status, 4) << silent.out;
        EXPECT_TRUE(std::regex_search(silent.out, std::regex("\\ncamera stopped sending \\(nothing for 3 s after 5 "
                                                             "frames\\)\\n")))
            << silent.out;
        EXPECT_NE(silent.out.find("failed: camera stopped sending"), std::string::npos) << silent.out;
        expectRecordingHoldsTheServedFrames(recordingOf(silent), served, 5);
    }
    // Not an address: refused before anything goes onto a network, without a namespace.
    const ProgramResult named =
        ProgramRun::run({kProgram, "--camera", "GV01", "--calibration", served, "1"}, {}, false);
    EXPECT_EQ(named.status, 1);
    EXPECT_NE(named.out.find("camera GV01: not an IPv4 address"), std::string::npos) << named.out;
}

TEST(LiveCamera, ARecordingCutByTheFileSizeLimitKeepsItsWholeFramesAndEndsTheRun) {
    const Vy::Test::ScratchDir dir;
    const std::string served = liveSequence(dir, "scene.rays", 3);
    // Room for the header and a few frames of 96 x 72 bytes (ulimit -f counts 512-byte blocks in sh).
    const std::string command = "ulimit -f 80; exec " + kProgram + " --camera 127.0.0.1 --no-window --settings " +
                                kSettings + " --calibration " + served + " --output-dir " + dir.Path() + " 1";
    const ProgramResult cut =
        ProgramRun::run({kServer, served, "--fps", "20", "--", "/bin/sh", "-c", command}, {}, false, true, 60000);
    SKIP_WITHOUT_NAMESPACE(cut);
    EXPECT_EQ(cut.status, 3) << cut.out;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(cut.out, match,
                                  std::regex("\\nRecording ends after ([0-9]+) frames: .*file-size "
                                             "limit")))
        << cut.out;
    const uint32_t kept = static_cast<uint32_t>(std::stoul(match[1].str()));
    EXPECT_GT(kept, 0u);
    EXPECT_NE(cut.out.find("cut at frame " + match[1].str()), std::string::npos) << cut.out;
    expectRecordingHoldsTheServedFrames(recordingOf(cut), served, kept);
}

}  // namespace
