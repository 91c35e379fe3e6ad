// The run object: its set-up lines on a real sequence file, its failure
// report, and the reader loop that feeds the processor.
#include "VyReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "TestSequence_test.h"
#include "Viewer.h"

namespace {

// The key wait of a failure report must not need a key: stdin is at its end.
[[maybe_unused]] const bool stdinAtEnd = [] {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
    return true;
}();

std::string writeSequence(const Vy::Test::ScratchDir& dir, const std::string& name, int frames) {
    return Vy::Test::writeTestSequence(
        dir.File(name), frames, [](int i, size_t) { return static_cast<uint8_t>(i * 10); }, 64, 48, 100);
}

VyRunOptions options(const Vy::Test::ScratchDir& dir) {
    Viewer::setHeadless(true);
    VyRunOptions result;
    result.outputDir = dir.File("out");
    std::filesystem::create_directories(result.outputDir);
    return result;
}

std::string recordingName(const std::string& outputDir, const std::string& path) {
    std::string name = path.substr(1);
    for (char& c : name) {
        if (c == '/') c = '-';
    }
    return outputDir + "/" + name;
}

}  // namespace

TEST(VyReader, SetUpPrintsItsLinesInOrderAndGetsReady) {
    Vy::Test::ScratchDir dir;
    const std::string path = writeSequence(dir, "run7.rays", 3);
    testing::internal::CaptureStdout();
    VyReader reader(path, options(dir));
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::regex expected(
        "Initializing PanoraTool\\.\\.\\.\n"
        "Listing Cuda devices\\.\\.\\.\n"
        "0: CPU [^\n]+ \\([0-9]+ threads\\), Clock: [0-9]+ MHz, Memory: [0-9]+ MB\n"
        "Loading " +
        std::regex_replace(path, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") +
        "\\.\\.\\.\n"
        "Setting up processor\\.\\.\\. Loading first, slow image on to GPU\\.\\.\\.\n"
        " Done loading first, slow image on to GPU\\.\\.\\.\n"
        "Ready\\.\n");
    EXPECT_TRUE(std::regex_match(printed, expected)) << printed;
    EXPECT_TRUE(reader.frameProcessor().isCalibrated());
    EXPECT_EQ(reader.frameProcessor().report().videoFile, reader.basePath() + ".mp4");
    EXPECT_EQ(reader.basePath(), recordingName(options(dir).outputDir, path));
    EXPECT_EQ(reader.framesInSequence(), 3u);
    reader.frameProcessor().finish();
    EXPECT_TRUE(std::filesystem::exists(reader.basePath() + ".mp4"));
}

TEST(VyReader, ASequenceThatCannotBeOpenedRefusesTheRunWithTheReadersReason) {
    Vy::Test::ScratchDir dir;
    const std::string foreign = dir.Write("notes.rays", std::string(100, 'n'));
    const std::string folder = dir.File("frames");
    std::filesystem::create_directory(folder);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.File("missing.rays"), "CSeqFileReader::Open: " + dir.File("missing.rays") + ": No such file or directory"},
        {foreign, "CSeqFileReader::Open: " + foreign + ": not a rays sequence file (bad magic)"},
        {folder, "CSeqFileReader::Open: " + folder +
                     ": is a directory (a folder of images is replayed once raystool "
                     "import '" +
                     folder + "' -o OUT.rays has made a sequence of it; see docs/import.md)"},
    };
    for (const auto& [path, reason] : cases) {
        testing::internal::CaptureStdout();
        try {
            VyReader reader(path, options(dir));
            ADD_FAILURE() << path << " was accepted";
        } catch (const std::invalid_argument& refusal) {
            EXPECT_EQ(refusal.what(), reason);
        }
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(printed.ends_with("Loading " + path + "...\n"))
            << "no key wait, nothing after: [" << printed << "]";
    }
}

TEST(VyReader, ReaderQueuesEveryFrameThenWaitsForTheQueueToEmpty) {
    Vy::Test::ScratchDir dir;
    const std::string path = writeSequence(dir, "run8.rays", 5);
    testing::internal::CaptureStdout();
    VyReader reader(path, options(dir));
    testing::internal::GetCapturedStdout();
    reader.startThread();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (reader.frameProcessor().framesQueued() < 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(reader.frameProcessor().framesQueued(), 5u);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    // Frames still wait: the end of the sequence is not reported yet.
    EXPECT_FALSE(reader.isSequenceDone());
    EXPECT_TRUE(reader.isThreadRunning());
    // The processor takes them (the profile measurement logs each frame's id), and the reader ends.
    VyProcessor& processor = reader.frameProcessor();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(processor.startProcessor());
    reader.waitForThread();
    processor.stopThread();
    processor.waitForThread();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(reader.isSequenceDone());
    EXPECT_EQ(reader.framesRead(), 5u);
    EXPECT_EQ(processor.report().processed, 5u);
    std::ifstream log(processor.report().logFile);
    std::string row;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(std::getline(log, row));
        EXPECT_EQ(row.substr(0, row.find(',')), std::to_string(i));
        std::string id(1, ',');
        id.append(std::to_string(100 + i)).append(1, ',');
        EXPECT_NE(row.find(id), std::string::npos) << row;
    }
}

TEST(VyReader, PauseHoldsTheReaderAndStopEndsItWithoutTheEnd) {
    Vy::Test::ScratchDir dir;
    const std::string path = writeSequence(dir, "run9.rays", 4);
    testing::internal::CaptureStdout();
    VyReader reader(path, options(dir));
    testing::internal::GetCapturedStdout();
    reader.setPaused(true);
    reader.startThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(reader.framesRead(), 0u);
    reader.stopThread();
    const auto stopped = std::chrono::steady_clock::now();
    reader.waitForThread();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(1200));
    EXPECT_EQ(reader.framesRead(), 0u);
    EXPECT_FALSE(reader.isSequenceDone());
}

TEST(VyReader, AnEmptySequenceEndsAtOnce) {
    Vy::Test::ScratchDir dir;
    const std::string path = writeSequence(dir, "empty.rays", 0);
    testing::internal::CaptureStdout();
    VyReader reader(path, options(dir));
    testing::internal::GetCapturedStdout();
    reader.startThread();
    reader.waitForThread();
    EXPECT_TRUE(reader.isSequenceDone());
}

// --first and --count: the reader starts at the chosen index and stops at the end of the sequence
// when the count reaches past it; the progress counts the frames chosen; --name names the recording.
TEST(VyReader, ReadsTheChosenFramesOnlyAndNamesTheRecordingAfterTheRun) {
    Vy::Test::ScratchDir dir;
    const std::string path = writeSequence(dir, "run10.rays", 5);
    VyRunOptions chosen = options(dir);
    chosen.firstFrame = 3;
    chosen.frameCount = 10;
    chosen.runName = "day2";
    testing::internal::CaptureStdout();
    VyReader reader(path, chosen);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(reader.basePath(), chosen.outputDir + "/day2");
    EXPECT_EQ(reader.progress(1.0), "frame 0 of 2, 0.0 fps, queue 0");
    reader.readFirstFrame();
    reader.startThread();
    VyProcessor& processor = reader.frameProcessor();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(processor.startProcessor());
    reader.waitForThread();  // once the processor has taken every chosen frame
    processor.stopThread();
    processor.waitForThread();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(reader.isSequenceDone());
    EXPECT_EQ(reader.framesRead(), 2u);
    ASSERT_EQ(processor.report().processed, 2u);
    EXPECT_EQ(processor.framesInWork(), 0u);
    // Numbered from 0 in the run, the ids those of indices 3 and 4.
    std::ifstream log(processor.report().logFile);
    EXPECT_EQ(processor.report().logFile, chosen.outputDir + "/VyProc_day2.csv");
    std::string row;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(std::getline(log, row));
        EXPECT_EQ(row.substr(0, row.find(',')), std::to_string(i));
        EXPECT_NE(row.find("," + std::to_string(103 + i) + ","), std::string::npos) << row;
    }
}
