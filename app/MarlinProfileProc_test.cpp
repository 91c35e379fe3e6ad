// The whole program as a user runs it: the real binary on generated
// sequences, keys through a pipe and a pseudo-terminal.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "ProgramRun_test.h"
#include "TerminalScreen_test.h"
#include "TestFiles.h"
#include "TestSequence_test.h"

namespace {

using Vy::Test::KeyStep;
using Vy::Test::ProgramRun;

const std::string kProgram = VY_BIN_DIR "/MarlinProfileProc";

std::string writeSequence(const std::string& path, int frames) {
    return Vy::Test::writeTestSequence(path, frames,
                                       [](int i, size_t p) { return static_cast<uint8_t>((p * 13 + i * 31) % 251); });
}

std::string probeFrames(const std::string& video) {
    return Vy::Test::CommandOutput(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate,nb_read_frames -of csv=p=0 '" +
        video + "' 2>&1");
}

// The recording's path of a sequence: its path with '/' turned into '-', in dir.
std::string recordingOf(const std::string& sequence, const std::string& dir) {
    std::string name = sequence.substr(1);
    for (char& c : name) {
        if (c == '/') c = '-';
    }
    return dir + "/" + name + ".mp4";
}

int countLines(const std::string& text, const std::regex& line) {
    return static_cast<int>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()));
}

class Program : public testing::Test {
protected:
    void SetUp() override {
        sequence = writeSequence(dir.File("seq.rays"), 8);
        out = dir.File("out");
        video = recordingOf(sequence, out);
    }
    std::vector<std::string> args(const std::string& type, std::vector<std::string> extra = {}) {
        std::vector<std::string> result{kProgram, "--no-window", "--output-dir", out};
        result.insert(result.end(), extra.begin(), extra.end());
        result.push_back(sequence);
        result.push_back(type);
        return result;
    }
    Vy::Test::ScratchDir dir;
    std::string sequence;
    std::string out;
    std::string video;
};

}  // namespace

TEST_F(Program, AWrongArgumentCountPrintsTheUsageLine) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{kProgram}, {kProgram, sequence}, {kProgram, sequence, "1", "extra"}}) {
        const auto result = ProgramRun::run(args, {}, false);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "Missing input args: MarlinProfileProc *.rays displayType\n");
    }
}

TEST_F(Program, ReplaysTheWholeSequenceWithoutAKeyAndRecordsIt) {
    const auto result = ProgramRun::run(args("1"), {}, false);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.rfind("rays file: " + sequence + "\nInitializing PanoraTool...\n", 0), 0u) << result.out;
    // Every frame, the one read at start-up first: 8 frames, numbered 0 to 7.
    for (const char* number : {"\n0\n", "\n1\n", "\n2\n", "\n3\n", "\n4\n", "\n5\n", "\n6\n", "\n7\n"}) {
        EXPECT_NE(result.out.find(number), std::string::npos) << number << result.out;
    }
    EXPECT_EQ(result.out.find("\n8\n"), std::string::npos);
    EXPECT_NE(result.out.find("\ndone.\nfinished.\nsummary: read 8, processed 8, recorded 8, published 0, dropped 0"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(probeFrames(video), "mpeg4,1024,1024,30/1,8\n");
}

TEST_F(Program, KeysThroughAPipePauseResumeSwitchAndQuit) {
    // Keys typed at once wait in the pipe and are taken one per 100 ms period once the loop runs.
    std::vector<std::string> arguments = args("0");
    arguments[arguments.size() - 2] = writeSequence(dir.File("long.rays"), 1500);
    const auto result = ProgramRun::run(arguments, {{0, "pPpdq"}}, false);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 0) << result.out;
    const size_t paused = result.out.find("\npaused\n");
    const size_t unpaused = result.out.find("\nunpaused\n");
    ASSERT_NE(paused, std::string::npos) << result.out;
    ASSERT_NE(unpaused, std::string::npos) << result.out;
    EXPECT_LT(paused, unpaused);
    EXPECT_EQ(countLines(result.out, std::regex("\npaused\n")), 1);
    EXPECT_NE(result.out.find("done.\nfinished.\n"), std::string::npos);
}

TEST_F(Program, AnUnknownDisplayTypeStartsInTotalFocus) {
    const auto result = ProgramRun::run(args("x"), {}, false);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("'x' is not a display type (0 to 4): starting in display type 1\n"), std::string::npos);
}

TEST_F(Program, ProfileModeLogsOneRowPerFrameAndDrawsAChart) {
    const auto result = ProgramRun::run(args("4"), {}, false);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::regex row("\n[0-9]+, *[0-9]+\\.[0-9]{6},[0-9]+,[0-9]+,[0-9]+\\.[0-9]{6}\n");
    EXPECT_EQ(countLines(result.out, std::regex("(^|\n)[0-7],1700000000[0-9]{3}\\.[0-9]{6},[0-9]+,[0-9]+,")), 8)
        << result.out;
    std::smatch log;
    ASSERT_TRUE(std::regex_search(result.out, log, std::regex("log: (" + out + "/VyProc_[0-9]{18}\\.csv)")));
    std::ifstream csv(log[1].str());
    int rows = 0;
    for (std::string line; std::getline(csv, line);) ++rows;
    EXPECT_EQ(rows, 8);
    EXPECT_TRUE(std::filesystem::exists(log[1].str() + ".png"));
    EXPECT_NE(result.out.find("; chart: " + log[1].str() + ".png"), std::string::npos);
    // The annotated colour frames are recorded too.
    EXPECT_EQ(probeFrames(video), "mpeg4,1024,1024,30/1,8\n");
}

TEST_F(Program, TerminalKeysAreUnechoedAndCtrlCEndsInOrder) {
    const auto result = ProgramRun::run(args("1"), {{2500, "t"}, {200, "", SIGINT}}, true);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 0) << result.out;
    // Raw mode: the typed 't' is not echoed back.
    EXPECT_EQ(result.out.find("t\r\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("done.\r\nfinished.\r\n"), std::string::npos) << result.out;
}

TEST_F(Program, OnATerminalTheProgressLineNeverMixesWithTheOutput) {
    // Frame numbers written after the progress line ran on behind it ("queue 00").
    std::vector<std::string> arguments = args("0");
    arguments[arguments.size() - 2] = writeSequence(dir.File("long.rays"), 1500);
    const auto result = ProgramRun::run(arguments, {{0, "", 0, " fps, "}, {1500, "q"}}, true, true, 120000);
    ASSERT_FALSE(result.timedOut) << result.out;
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find(" fps, "), std::string::npos) << "the progress was drawn";
    for (const std::string& line : Vy::Test::screenOf(result.out)) {
        EXPECT_EQ(line.find(" fps, "), std::string::npos) << "left on the screen: " << line;
    }
}

TEST_F(Program, SigtermFinishesAPlayableRecording) {
    const std::string big = writeSequence(dir.File("long.rays"), 400);
    std::vector<std::string> arguments = args("0");
    arguments[arguments.size() - 2] = big;
    // Once a few frames are on record, however slowly the run started (sanitizers, a loaded machine).
    const auto result = ProgramRun::run(arguments, {{1000, "", SIGTERM, "\n3\n"}}, false, false);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 0) << result.out;
    std::smatch processed;
    ASSERT_TRUE(std::regex_search(result.out, processed, std::regex("processed ([0-9]+), recorded ([0-9]+)")));
    EXPECT_EQ(probeFrames(recordingOf(big, out)), "mpeg4,1024,1024,30/1," + processed[2].str() + "\n");
}

TEST_F(Program, ARecordingKilledOutrightPlaysUpToItsLastFrames) {
    // SIGKILL (or a power cut) leaves no time to finish the file: each frame must be whole on its own.
    const std::string big = writeSequence(dir.File("long.rays"), 1500);
    std::vector<std::string> arguments = args("0");
    arguments[arguments.size() - 2] = big;
    const auto result = ProgramRun::run(arguments, {{0, "", SIGKILL, "\n60\n"}}, false, false);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 128 + SIGKILL) << result.out;
    int shown = 0;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) shown = std::stoi(line);
    }
    std::smatch probed;
    const std::string probe = probeFrames(recordingOf(big, out));
    ASSERT_TRUE(std::regex_search(probe, probed, std::regex("mpeg4,1024,1024,30/1,([0-9]+)\n$"))) << probe;
    // Frames still queued for the recorder (4), in its hands and in the muxer's are lost, no more.
    EXPECT_GE(std::stoi(probed[1].str()), shown + 1 - 8) << probe << " after frame " << shown;
    EXPECT_LE(std::stoi(probed[1].str()), shown + 1) << probe;
}

TEST_F(Program, AMissingSequenceIsReportedAndEndsWithStatus1) {
    std::vector<std::string> arguments = args("1");
    arguments[arguments.size() - 2] = dir.File("absent.rays");
    const auto result = ProgramRun::run(arguments, {}, false);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 1);
    // One line, at once: there is nothing to replay, so no key is waited for.
    EXPECT_TRUE(result.out.ends_with("\nMarlinProfileProc: cannot set up the run: CSeqFileReader::Open: " +
                                     dir.File("absent.rays") + ": No such file or directory\n"))
        << result.out;
    EXPECT_EQ(result.out.find("Exception occured:"), std::string::npos) << result.out;
}

TEST_F(Program, AnOutputDirectoryThatCannotBeMadeIsAnError) {
    const std::string blocker = dir.Write("file", "x");
    std::vector<std::string> arguments = args("1");
    arguments[3] = blocker + "/sub";
    const auto result = ProgramRun::run(arguments, {}, false);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("cannot use output directory '" + blocker + "/sub'"), std::string::npos) << result.err;
}

TEST_F(Program, LcmModePublishesEveryFrameIntoAFileLog) {
    const std::string log = dir.File("run.lcmlog");
    setenv("LCM_DEFAULT_URL", ("file://" + log + "?mode=w").c_str(), 1);
    const auto result = ProgramRun::run(args("1", {"--lcm"}), {}, false);
    setenv("LCM_DEFAULT_URL", "memq://", 1);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("published 8"), std::string::npos) << result.out;
    // Nothing is shown or recorded in LCM mode: no frame numbers, no video file.
    EXPECT_EQ(result.out.find("\n0\n"), std::string::npos);
    EXPECT_NE(result.out.find("; video: none;"), std::string::npos) << result.out;
    EXPECT_FALSE(std::filesystem::exists(video));
    EXPECT_GT(std::filesystem::file_size(log), 8u * 40u);
}

TEST_F(Program, WithoutCalibrationTheRunEndsAtOnceAndSaysNothingWasProcessed) {
    // On a terminal too: the key that answers the report is the last one the run needs.
    for (const bool terminal : {false, true}) {
        const auto result =
            ProgramRun::run(args("1", {"--settings", dir.File("absent.vyset")}), {{3000, "x"}}, terminal, true, 20000);
        ASSERT_FALSE(result.timedOut) << result.out;
        EXPECT_EQ(result.status, 2) << result.out;
        const std::string nl = terminal ? "\r\n" : "\n";
        const size_t report = result.out.find("Exception occured:" + nl);
        const size_t refusal = result.out.find("Can't start processor thread without calibration." + nl);
        ASSERT_NE(report, std::string::npos) << result.out;
        EXPECT_NE(result.out.find("absent.vyset", report), std::string::npos) << result.out;
        ASSERT_NE(refusal, std::string::npos) << result.out;
        EXPECT_LT(report, refusal);
        EXPECT_NE(result.out.find("done." + nl + "finished." + nl, refusal), std::string::npos);
        EXPECT_NE(result.out.find("; video: none;"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("MarlinProfileProc: failed: nothing processed" + nl), std::string::npos)
            << result.out;
        EXPECT_FALSE(std::filesystem::exists(video));
    }
}

TEST_F(Program, StopSignalsEndInOrderAheadOfQueuedKeysWithAPlayableRecording) {
    const std::string big = writeSequence(dir.File("long.rays"), 4000);
    // The user signals and the alarm killed the run, leaving a recording without its index.
    // The signal comes once a few frames were shown (after the set-up, however slow), so the
    // recording has some.
    for (const int signal : {SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        // 100000 't' keys wait on stdin, one taken per 100 ms: the signal must not wait behind them.
        const std::string script = "exec '" + kProgram + "' --no-window --output-dir '" + out + "' '" + big +
                                   "' 0 < <(yes t | head -c 100000)";
        const auto result =
            ProgramRun::run({"/bin/bash", "-c", script}, {{300, "", signal, "\n3\n"}}, false, true, 30000);
        ASSERT_FALSE(result.timedOut) << strsignal(signal) << result.out;
        EXPECT_EQ(result.status, 0) << strsignal(signal) << result.out;
        EXPECT_NE(result.out.find("done.\nfinished.\n"), std::string::npos) << result.out;
        std::smatch recorded;
        ASSERT_TRUE(std::regex_search(result.out, recorded, std::regex("recorded ([0-9]+),.*; video: ([^;]+\\.mp4);")))
            << result.out;
        EXPECT_EQ(probeFrames(recorded[2].str()), "mpeg4,1024,1024,30/1," + recorded[1].str() + "\n")
            << strsignal(signal);
    }
}

TEST_F(Program, ASecondRunKeepsTheFirstRecordingAndNamesItsOwn) {
    const auto first = ProgramRun::run(args("0"), {}, false);
    ASSERT_EQ(first.status, 0) << first.out;
    const auto firstSize = std::filesystem::file_size(video);
    const std::string numbered = video.substr(0, video.size() - 4) + "-1.mp4";
    const auto second = ProgramRun::run(args("0"), {}, false);
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("\nRecording to " + numbered + " (" + video + " exists)\n"), std::string::npos)
        << second.out;
    EXPECT_NE(second.out.find("; video: " + numbered + ";"), std::string::npos) << second.out;
    EXPECT_EQ(std::filesystem::file_size(video), firstSize);
    EXPECT_EQ(probeFrames(video), "mpeg4,1024,1024,30/1,8\n");
    EXPECT_EQ(probeFrames(numbered), "mpeg4,1024,1024,30/1,8\n");
}

TEST_F(Program, AOneFrameSequenceGivesAOneFrameRecording) {
    sequence = writeSequence(dir.File("one.rays"), 1);
    const auto result = ProgramRun::run(args("1"), {}, false);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("summary: read 1, processed 1, recorded 1,"), std::string::npos) << result.out;
    std::smatch named;
    ASSERT_TRUE(std::regex_search(result.out, named, std::regex("; video: ([^;]+\\.mp4);")));
    EXPECT_EQ(probeFrames(named[1].str()), "mpeg4,1024,1024,30/1,1\n");
}

namespace {

// The frame numbers printed between two console lines (exclusive).
std::vector<int> numbersBetween(const std::string& text, const std::string& from, const std::string& to) {
    const size_t begin = text.find(from);
    const size_t end = text.find(to, begin == std::string::npos ? 0 : begin);
    std::vector<int> numbers;
    if (begin == std::string::npos || end == std::string::npos) return numbers;
    std::istringstream lines(text.substr(begin + from.size(), end - begin - from.size()));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            numbers.push_back(std::stoi(line));
    }
    return numbers;
}

}  // namespace

TEST_F(Program, PauseHoldsTheQueueStepsOneFrameAndShowsThePausedFrameAgainInAnotherType) {
    // Long enough to be running when the first key arrives (4 s in, and not before frames are
    // on show), short frames so it ends soon after.
    std::vector<std::string> arguments = args("0");
    arguments[arguments.size() - 2] = writeSequence(dir.File("long.rays"), 1500);
    // Paused: 'd' shows the paused frame again in type 2, 'n' steps once, 'r' shows that frame
    // in type 0 again, 's' snapshots it, 'n' steps once more; then the replay goes on to its end.
    const auto result = ProgramRun::run(
        arguments, {{4000, "p", 0, "\n3\n"}, {400, "d"}, {400, "n"}, {400, "r"}, {400, "s"}, {400, "n"}, {600, "p"}},
        false, true, 120000);
    ASSERT_FALSE(result.timedOut) << result.out;
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::vector<int> paused = numbersBetween(result.out, "\npaused\n", "\nunpaused\n");
    // At most the frames in flight when the key came (the one being computed, the one waiting
    // for the output thread and the one going out), then: k again (type 2), k + 1 (step), k + 1
    // again (type 0), again for the snapshot, k + 2 (step).
    ASSERT_GE(paused.size(), 5u) << result.out;
    ASSERT_LE(paused.size(), 8u) << result.out;
    const std::vector<int> tail(paused.end() - 5, paused.end());
    const int k = tail[0];
    EXPECT_EQ(tail, (std::vector<int>{k, k + 1, k + 1, k + 1, k + 2})) << result.out;
    for (size_t i = 0; i + 5 < paused.size(); ++i) {
        EXPECT_EQ(paused[i], k - static_cast<int>(paused.size() - 6 - i)) << result.out;
    }
    // The numbers go on from k + 3 after the pause and nothing queued was dropped or skipped.
    const std::vector<int> after = numbersBetween(result.out, "\nunpaused\n", "\ndone.\n");
    ASSERT_FALSE(after.empty()) << result.out;
    EXPECT_EQ(after.front(), k + 3);
    EXPECT_EQ(after.back(), 1499);
    EXPECT_EQ(after.size(), static_cast<size_t>(1499 - k - 2));
    EXPECT_NE(result.out.find("summary: read 1500, processed 1500, recorded 1500, published 0, dropped 0"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(probeFrames(recordingOf(arguments[arguments.size() - 2], out)), "mpeg4,1024,1024,30/1,1500\n");
    // The snapshot of the raw image: 16 bits as computed, 8 bits as shown, named after number, id and type.
    const std::string base =
        out + "/long.rays-frame" + std::to_string(k + 1) + "-id" + std::to_string(k + 1) + "-type0";
    EXPECT_NE(result.out.find("\nsnapshot: " + base + "-result.png " + base + "-view.png\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(cv::imread(base + "-result.png", cv::IMREAD_UNCHANGED).depth(), CV_16U);
    EXPECT_EQ(cv::imread(base + "-view.png", cv::IMREAD_UNCHANGED).depth(), CV_8U);
}
