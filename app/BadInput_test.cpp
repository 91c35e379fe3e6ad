// The program's own inputs gone wrong, as a user meets them: each ends with
// one line naming the input and the problem (docs/bad-input.md), never a hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcm/eventlog.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FrameRecorder.h"
#include "ProgramRun_test.h"
#include "TestFiles.h"
#include "TestSequence_test.h"

namespace {

using Vy::Test::ProgramResult;
using Vy::Test::ProgramRun;

const std::string kProgram = VY_BIN_DIR "/MarlinProfileProc";

class BadInput : public testing::Test {
protected:
    void SetUp() override {
        sequence = dir.File("seq.rays");
        Vy::Test::writeTestSequence(sequence, 3, [](int, size_t) { return uint8_t{90}; });
        out = dir.File("out");
    }

    // The program with --no-window and stdin closed; arguments as given.
    ProgramResult run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {kProgram, "--no-window"});
        ProgramResult result = ProgramRun::run(arguments, {}, false, true, 30000);
        EXPECT_FALSE(result.timedOut) << result.out << result.err;
        return result;
    }

    Vy::Test::ScratchDir dir;
    std::string sequence;
    std::string out;
};

TEST_F(BadInput, MalformedCommandLinesEndAtOnceWithOneLineAndNoOutputs) {
    struct Case {
        std::vector<std::string> arguments;
        std::string errLine;  // expected on stderr; empty: the usage line on stdout
    };
    const std::vector<Case> cases = {
        {{"--output-dir", out, "--verbose", sequence, "1"},
         "MarlinProfileProc: unknown option --verbose (see --help)\n"},
        {{sequence, "1", "--output-dir"}, "MarlinProfileProc: option --output-dir needs a value (see --help)\n"},
        {{"--output-dir", out, "--settings", "", sequence, "1"},
         "MarlinProfileProc: option --settings needs a value (see --help)\n"},
        {{"--output-dir", out, sequence}, ""},
        {{"--output-dir", out, sequence, "1", "extra"}, ""},
        {{"--output-dir", out, "--", "--lcm", sequence, "1"}, ""},
    };
    for (const Case& c : cases) {
        const ProgramResult result = run(c.arguments);
        EXPECT_EQ(result.status, 1) << c.arguments.size() << " arguments: " << result.out << result.err;
        if (c.errLine.empty()) {
            EXPECT_EQ(result.out, "Missing input args: MarlinProfileProc *.rays displayType\n");
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.err, c.errLine);
            EXPECT_EQ(result.out, "");
        }
    }
    EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is created before the command line is accepted";
}

TEST_F(BadInput, OutputDirectoriesThatCannotBeUsedAreNamedInTheError) {
    const std::string file = dir.Write("plain-file", "x");
    for (const std::string& bad : {file, file + "/sub"}) {
        const ProgramResult result = run({"--output-dir", bad, sequence, "1"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "MarlinProfileProc: cannot use output directory '" + bad + "': Not a directory\n");
    }
    if (geteuid() != 0) {  // root may write anywhere
        const std::string locked = dir.File("locked");
        std::filesystem::create_directory(locked);
        std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        const ProgramResult result = run({"--output-dir", locked, sequence, "1"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "MarlinProfileProc: cannot use output directory '" + locked + "': not writable\n");
    }
}

TEST_F(BadInput, AMissingNestedOutputDirectoryIsCreated) {
    const std::string nested = out + "/a/b";
    const ProgramResult result = run({"--output-dir", nested, sequence, "0"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    std::string name = sequence.substr(1);
    for (char& c : name) {
        if (c == '/') c = '-';
    }
    EXPECT_TRUE(std::filesystem::exists(nested + "/" + name + ".mp4")) << result.out;
}

TEST_F(BadInput, ADisplayTypeOfSeveralCharactersIsNotReadAsItsFirstDigit) {
    const ProgramResult result = run({"--output-dir", out, sequence, "21"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("'21' is not a display type (0 to 4): starting in display type 1\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("processed 3,"), std::string::npos) << result.out;
}

TEST_F(BadInput, ASequenceCutBeforeTheRunIsWarnedOfOnStandardErrorAndReplaysItsWholeFrames) {
    std::filesystem::resize_file(sequence, std::filesystem::file_size(sequence) - 10);
    const ProgramResult result = run({"--output-dir", out, sequence, "0"});
    // The replay is cut short: status 4, although every whole frame was replayed.
    EXPECT_EQ(result.status, 4) << result.out << result.err;
    const std::string warning = sequence + ": header promises 3 frames, file holds 2 whole frames\n";
    const size_t at = result.err.find(warning);
    ASSERT_NE(at, std::string::npos) << result.err;
    EXPECT_TRUE(at == 0 || result.err[at - 1] == '\n') << "a line of its own: " << result.err;
    EXPECT_EQ(result.err.find(warning, at + 1), std::string::npos) << "warned once: " << result.err;
    // On standard output only in the closing line (checked below).
    EXPECT_EQ(result.out.find("header promises"), result.out.rfind("header promises")) << result.out;
    EXPECT_NE(result.out.find("processed 2, recorded 2,"), std::string::npos) << result.out;
    EXPECT_TRUE(
        result.out.ends_with("\nMarlinProfileProc: failed: sequence file cut short (header promises 3 "
                             "frames, file holds 2 whole frames)\n"))
        << result.out;
}

TEST_F(BadInput, AnUnfinishedRecordingReplaysItsWholeFramesAndSaysItIsCutShort) {
    // A recorder that never wrote the count leaves 0xFFFFFFFF in the header (bytes 32..35).
    std::fstream file(sequence, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(32);
    file.write("\xff\xff\xff\xff", 4);
    file.close();
    const ProgramResult result = run({"--output-dir", out, sequence, "0"});
    EXPECT_EQ(result.status, 4) << result.out << result.err;
    EXPECT_NE(result.out.find("processed 3, recorded 3,"), std::string::npos) << result.out;
    EXPECT_TRUE(
        result.out.ends_with("\nMarlinProfileProc: failed: sequence file cut short (recording was not "
                             "finished (no frame count), file holds 3 whole frames)\n"))
        << result.out;
}

TEST_F(BadInput, BadSettingsNameTheFileAndLineAndNothingIsProcessed) {
    const std::string unknownKey = dir.Write("unknown.vyset", "output.scale = 2\nfoo = 1\n");
    const std::string outOfRange = dir.Write("range.vyset", "output.scale = 99\n");
    const std::string directory = dir.File("settings-dir");
    std::filesystem::create_directory(directory);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.File("absent.vyset"),
         "ImportParameterFromFile: " + dir.File("absent.vyset") + ": No such file or directory\n"},
        {directory, "ImportParameterFromFile: " + directory + ": is a directory\n"},
        {unknownKey, "ImportParameterFromFile: " + unknownKey + ":2: unknown key 'foo'\n"},
        {outOfRange, "ImportParameterFromFile: " + outOfRange + ":1: value 99 of 'output.scale' is outside [1, 16]\n"},
    };
    for (const auto& [settings, line] : cases) {
        const ProgramResult result = run({"--output-dir", out, "--settings", settings, sequence, "1"});
        EXPECT_NE(result.out.find("Exception occured:\n" + line), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("processed 0,"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("finished.\n"), std::string::npos) << result.out;
    }
}

TEST_F(BadInput, SequencePathsWithoutANameAreRefusedBeforeAnythingIsWritten) {
    for (const std::string& path : {std::string("/"), std::string("//")}) {
        const ProgramResult result = run({"--output-dir", out, path, "1"});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.out.find("MarlinProfileProc: cannot set up the run: cannot derive a recording name from the "
                                  "sequence path '" +
                                  path + "'\n"),
                  std::string::npos)
            << result.out;
    }
    EXPECT_TRUE(std::filesystem::is_empty(out));
}

// A sequence of frames smaller than the engine can use, with a calibration that is
// valid for them (its grid offset inside the sensor).
std::string writeSmallSequence(const std::string& path, int32_t width, int32_t height) {
    CCalibration calibration = Vy::Test::SmallCalibration(width, height);
    calibration.gridOffsetX = calibration.gridOffsetY = 0.5;
    const CVyImageFormat format{width, height, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte};
    CSeqFileWriter writer;
    writer.Create(CVyString(path), format, calibration, CVyImage());
    const std::vector<uint8_t> pixels(format.GetByteSize(), 90);
    for (int i = 0; i < 3; ++i) {
        CVyImage frame;
        frame.Create(width, height, format.pixelType, format.dataType, pixels.data());
        writer.WriteFrame(frame);
    }
    writer.Close();
    return path;
}

// Runs the program through bash for what a test cannot do through its arguments
// (a limit, a file changed behind it, a flood on stdin); the program replaces bash.
ProgramResult runThroughShell(const std::string& script, const std::vector<Vy::Test::KeyStep>& keys = {}) {
    ProgramResult result = ProgramRun::run({"/bin/bash", "-c", script}, keys, false, true, 60000);
    EXPECT_FALSE(result.timedOut) << result.out << result.err;
    return result;
}

}  // namespace

TEST_F(BadInput, AFullDiskEndsWithTheCutOutputsNamedAndTheLogWhole) {
    // Every file may grow to 1 KiB only: the log fills up after a few rows, the video at once.
    const std::string longer =
        Vy::Test::writeTestSequence(dir.File("long.rays"), 41, [](int, size_t) { return uint8_t{90}; });
    const std::string command =
        "ulimit -f 1; exec '" + kProgram + "' --no-window --output-dir '" + out + "' '" + longer + "' 4";
    const ProgramResult result = runThroughShell(command);
    EXPECT_EQ(result.status, 3) << result.out << result.err;
    EXPECT_NE(result.out.find("done.\nfinished.\n"), std::string::npos) << result.out;
    // Every row still reaches the console.
    std::vector<std::string> echoed;
    for (size_t at = 0; (at = result.out.find("\n", at)) != std::string::npos; ++at) {
        const size_t end = result.out.find('\n', at + 1);
        const std::string line = result.out.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        if (line.find(",170000000") != std::string::npos) echoed.push_back(line);
    }
    EXPECT_EQ(echoed.size(), 41u);
    // The log holds the first rows, whole, up to the limit.
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        // The measurement log, not the particle table beside it.
        if (std::regex_match(entry.path().filename().string(), std::regex("VyProc_[0-9]+\\.csv"))) log = entry.path();
        EXPECT_NE(entry.path().extension(), ".mp4") << "a recording without frames is not left behind";
    }
    ASSERT_FALSE(log.empty());
    std::ifstream file(log);
    std::vector<std::string> rows;
    for (std::string line; std::getline(file, line);) rows.push_back(line);
    EXPECT_LE(std::filesystem::file_size(log), 1024u);
    EXPECT_GT(rows.size(), 5u);
    EXPECT_LT(rows.size(), echoed.size());
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], echoed[i]);
    // The summary counts what reached the files, and the closing line names every cut output.
    EXPECT_NE(result.out.find("recorded 0,"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("; video: none;"), std::string::npos) << result.out;
    const std::string cut = std::to_string(rows.size());
    EXPECT_NE(
        result.out.find("\nMarlinProfileProc: failed: recording cut at frame 0 (file-size limit reached); log cut at "
                        "frame " +
                        cut + " (" + log + " holds " + cut + " of 41 rows)"),
        std::string::npos)
        << result.out;
}

TEST_F(BadInput, ASequenceCutShortDuringTheReplayEndsInOrderAfterItsLastWholeFrame) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "replaying up to 1500 frames takes longer than the test's minute under ThreadSanitizer";
#endif
    // The reader is paused while the file shrinks to 1500 and a half frames, then goes on.
    const std::string longer =
        Vy::Test::writeTestSequence(dir.File("long.rays"), 2000, [](int i, size_t) { return uint8_t(i % 200); });
    const uint64_t record = 16 + 96 * 72;
    const uint64_t cut = std::filesystem::file_size(longer) - 500 * record - record / 2;
    const ProgramResult result =
        runThroughShell("(sleep 3.2; truncate -s " + std::to_string(cut) + " '" + longer + "') & exec '" + kProgram +
                            "' --no-window --output-dir '" + out + "' '" + longer + "' 0",
                        {{2400, "p"}, {1800, "p"}});
    EXPECT_EQ(result.status, 4) << result.out << result.err;
    std::smatch ended;
    ASSERT_TRUE(std::regex_search(
        result.out, ended,
        std::regex("\nReplay ends after ([0-9]+) frames: CSeqFileReader::ReadFrame: [^\n]*long.rays: file shrank to " +
                   std::to_string(cut) + " bytes while reading \\(frame \\1 needs [0-9]+\\)\n")))
        << result.out;
    const std::string frames = ended[1].str();
    EXPECT_LE(std::stoi(frames), 1500);
    // Every frame read before the cut is processed and recorded, and the run says why it ended.
    EXPECT_NE(result.out.find("done.\nfinished.\nsummary: read " + frames + ", processed " + frames + ", recorded " +
                              frames + ","),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\nMarlinProfileProc: failed: replay cut short after " + frames + " frames ("),
              std::string::npos)
        << result.out;
}

TEST_F(BadInput, PausedWithStandardInputAtItsEndTheRunStillEnds) {
    const ProgramResult result =
        ProgramRun::run({kProgram, "--no-window", "--output-dir", out, sequence, "1"}, {{0, "p"}}, false, true, 20000);
    ASSERT_FALSE(result.timedOut) << result.out;
    EXPECT_EQ(result.status, 0) << result.out;
    const size_t paused = result.out.find("\npaused\n");
    ASSERT_NE(paused, std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Paused and no key can arrive: ending the run.\ndone.\nfinished.\n", paused),
              std::string::npos)
        << result.out;
}

TEST_F(BadInput, AVideoThatCannotBeOpenedFailsTheRunAndNamesTheReason) {
    // A flattened name longer than a file name may be.
    std::string deep = dir.File("");
    for (int i = 0; i < 3; ++i) deep += std::string(90, 'd') + "/";
    std::filesystem::create_directories(deep);
    std::filesystem::copy_file(sequence, deep + "s.rays");
    const ProgramResult result = run({"--output-dir", out, deep + "s.rays", "1"});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_NE(result.out.find("Could not open the output video for write: "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("summary: read 3, processed 3, recorded 0, published 0, dropped 0"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("; video: none;"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\nMarlinProfileProc: failed: video not opened (" + out + "/"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(".mp4: File name too long)\n"), std::string::npos) << result.out;
}

TEST_F(BadInput, LcmThatCannotBeSetUpOrCannotSendFailsTheRun) {
    const std::string log = dir.File("read-only.lcmlog");
    const std::string lcm = "' --no-window --lcm --output-dir '" + out + "' '" + sequence + "' 1";
    ProgramResult result = runThroughShell("LCM_DEFAULT_URL=bogus:// exec '" + kProgram + lcm);
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_NE(result.out.find("\nMarlinProfileProc: failed: LCM not set up (LCM_DEFAULT_URL 'bogus://')\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.err.find("LCM instance not initialized"), std::string::npos) << result.err;

    // A log opened for reading takes no message.
    result = runThroughShell("LCM_DEFAULT_URL='file://" + log + "?mode=w' '" + kProgram + lcm +
                             " && LCM_DEFAULT_URL='file://" + log + "?mode=r' exec '" + kProgram + lcm);
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_NE(result.out.find("published 0,"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\nMarlinProfileProc: failed: LCM did not send 3 of 3 frames\n"), std::string::npos)
        << result.out;
}

TEST_F(BadInput, FramesTooSmallForTheEngineAreRefusedOnOneLineNamingTheMinimum) {
    // One pixel wide crashed the renderer in types 1, 3 and 4; one high gave an error on
    // every frame and a run that ended with status 0.
    for (const auto& [width, height] : {std::pair{1, 72}, std::pair{96, 1}, std::pair{1, 1}}) {
        const std::string name = std::to_string(width) + "x" + std::to_string(height);
        const std::string small = writeSmallSequence(dir.File("small-" + name + ".rays"), width, height);
        for (const char* type : {"1", "3", "4"}) {
            const ProgramResult result = run({"--output-dir", out, small, type});
            EXPECT_EQ(result.status, 1) << name << " type " << type << ": " << result.out << result.err;
            EXPECT_TRUE(result.out.ends_with(
                "\nMarlinProfileProc: cannot set up the run: CSeqFileReader::Open: " + small + ": frame size " + name +
                " is below the engine's minimum of 16x16 pixels (one output pixel at "
                "the largest output.scale)\n"))
                << result.out;
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        ADD_FAILURE() << "nothing is recorded or logged: " << entry.path();
    }
}

TEST_F(BadInput, AFolderGivenAsTheSequencePointsAtTheImport) {
    const std::string folder = dir.File("tiffs");
    std::filesystem::create_directory(folder);
    dir.Write("tiffs/frame_0001.tif", "II*");
    const ProgramResult result = run({"--output-dir", out, folder, "1"});
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(result.out.ends_with("\nMarlinProfileProc: cannot set up the run: CSeqFileReader::Open: " + folder +
                                     ": is a directory (a folder of images is replayed once raystool import '" +
                                     folder + "' -o OUT.rays has made a sequence of it; see docs/import.md)\n"))
        << result.out;
    EXPECT_EQ(result.out.find("no sequence file is open"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Press any key"), std::string::npos) << result.out;
}

TEST_F(BadInput, StandardOutputUnderAFileSizeLimitFailsItsWritesInsteadOfKillingTheRun) {
    // The size limit's signal came with the first line and ended the process without a word.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's runtime writes a file of its own before main, which the limit kills";
#endif
    for (const char* limit : {"0", "1"}) {
        const std::string printed = dir.File(std::string("printed-") + limit + ".txt");
        const ProgramResult result =
            runThroughShell("ulimit -f " + std::string(limit) + "; exec '" + kProgram + "' --no-window --output-dir '" +
                            out + "' '" + sequence + "' 0 > '" + printed + "'");
        // The recording cannot be written under the limit either: an output failed.
        EXPECT_EQ(result.status, 3) << "ulimit -f " << limit << ": " << result.err;
        EXPECT_LE(std::filesystem::file_size(printed), std::stoul(limit) * 1024);
    }
}

namespace {

struct UnreadRun {
    int status = -1;
    double secondsToEnd = 0.0;  // from the SIGTERM (or the start, without one) to the exit
    std::string err;
};

// The program with standard output a pipe of one page that is never read (readerGone:
// whose reader is gone at once); standard error goes to a file. SIGTERM termAfterMs after
// the pipe is full (0: none), however slow the set-up.
UnreadRun runWithUnreadOutput(const std::vector<std::string>& arguments, bool readerGone, int termAfterMs,
                              const std::string& errFile) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int ends[2];
    UnreadRun run;
    if (pipe(ends) != 0) return run;
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(ends[1], 1);
        dup2(err, 2);
        close(ends[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    if (readerGone) close(ends[0]);
    auto from = std::chrono::steady_clock::now();
    if (termAfterMs > 0) {
        // Full: what waits leaves no room for one more short line.
        const int capacity = fcntl(ends[0], F_GETPIPE_SZ);
        int pending = 0;
        while (ioctl(ends[0], FIONREAD, &pending) == 0 && pending + 64 < capacity &&
               std::chrono::steady_clock::now() - from < std::chrono::seconds(60)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(termAfterMs));
        kill(pid, SIGTERM);
        from = std::chrono::steady_clock::now();
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (std::chrono::steady_clock::now() - from > std::chrono::seconds(30)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.secondsToEnd = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    if (!readerGone) close(ends[0]);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream file(errFile);
    run.err.assign(std::istreambuf_iterator<char>(file), {});
    return run;
}

}  // namespace

TEST_F(BadInput, AConsoleNobodyReadsHoldsNeitherTheRunNorItsEnd) {
    // A blocked standard output held the processor in its frame-number line, and then the
    // shut-down in "done.": one SIGTERM did not end the run and the recording had no index.
    const std::string longer =
        Vy::Test::writeTestSequence(dir.File("long.rays"), 4000, [](int i, size_t) { return uint8_t(i % 200); });
    const std::vector<std::string> arguments = {kProgram, "--no-window", "--output-dir", out, longer, "4"};
    // The stop comes a second after the frame lines filled the pipe: the program is held then.
    const UnreadRun held = runWithUnreadOutput(arguments, false, 1000, dir.File("held.err"));
    EXPECT_EQ(held.status, 0) << held.err;
    EXPECT_LT(held.secondsToEnd, 10.0) << held.err;
    std::smatch took;
    ASSERT_TRUE(std::regex_search(held.err, took,
                                  std::regex("\nMarlinProfileProc: standard output took ([0-9]+) of ([0-9]+) bytes; "
                                             "the rest was dropped \\(not read\\)\n")))
        << held.err;
    EXPECT_LE(std::stoull(took[1].str()), 8192u);
    std::vector<std::string> videos;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        if (entry.path().extension() == ".mp4") videos.push_back(entry.path());
    }
    ASSERT_EQ(videos.size(), 1u);
    EXPECT_TRUE(FrameRecorder::hasIndex(videos[0])) << "the recording was finished";

    // A reader that is gone: the writes fail, and the run goes on to its end (SIGPIPE ended it).
    const std::string shorter =
        Vy::Test::writeTestSequence(dir.File("short.rays"), 300, [](int, size_t) { return uint8_t{90}; });
    const UnreadRun gone = runWithUnreadOutput({kProgram, "--no-window", "--output-dir", out, shorter, "4"}, true, 0,
                                               dir.File("gone.err"));
    EXPECT_EQ(gone.status, 0) << gone.err;
    EXPECT_NE(gone.err.find("MarlinProfileProc: standard output took 0 of "), std::string::npos) << gone.err;
}

TEST_F(BadInput, AnLcmFileLogUnderAFileSizeLimitCountsOnlyTheMessagesItHolds) {
    // The log's writes failed unseen: the summary said "published 600" over a log of 56 messages.
    const std::string longer =
        Vy::Test::writeTestSequence(dir.File("long.rays"), 600, [](int, size_t) { return uint8_t{90}; });
    const std::string log = dir.File("run.lcmlog");
    const ProgramResult result =
        runThroughShell("ulimit -f 100; LCM_DEFAULT_URL='file://" + log + "?mode=w' exec '" + kProgram +
                        "' --no-window --lcm --output-dir '" + out + "' '" + longer + "' 1");
    EXPECT_EQ(result.status, 3) << result.out << result.err;
    // What LCM's own reader finds in the log.
    uint64_t held = 0;
    if (lcm_eventlog_t* reader = lcm_eventlog_create(log.c_str(), "r")) {
        while (lcm_eventlog_event_t* event = lcm_eventlog_read_next_event(reader)) {
            lcm_eventlog_free_event(event);
            ++held;
        }
        lcm_eventlog_destroy(reader);
    }
    EXPECT_GT(held, 10u);
    EXPECT_LT(held, 600u);
    EXPECT_NE(result.out.find("processed 600, recorded 0, published " + std::to_string(held) + ","), std::string::npos)
        << result.out;
    EXPECT_TRUE(result.out.ends_with("\nMarlinProfileProc: failed: LCM log " + log + " holds " + std::to_string(held) +
                                     " of 600 messages (file-size limit reached)\n"))
        << result.out;
}

TEST_F(BadInput, ControlCharactersInAPathCannotSplitTheProgramsLines) {
    const std::string odd = dir.File("two\nlines\t.rays");
    std::filesystem::copy_file(sequence, odd);
    const ProgramResult result = run({"--output-dir", out, odd, "0"});
    EXPECT_EQ(result.status, 0) << result.out;
    const std::string shown = dir.File("two\\nlines\\t.rays");
    EXPECT_EQ(result.out.rfind("rays file: " + shown + "\n", 0), 0u) << result.out;
    std::smatch summary;
    ASSERT_TRUE(std::regex_search(result.out, summary, std::regex("\nsummary: [^\n]*\n"))) << result.out;
    // The recording's name holds the same characters, escaped, and the line goes on after it.
    EXPECT_NE(summary.str().find("two\\nlines\\t.rays.mp4; log: none\n"), std::string::npos) << summary.str();
}
