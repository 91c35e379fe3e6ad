#include "Application.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "COmbraRuntime.h"
#include "CameraSource.h"
#include "CommandLine.h"
#include "Console.h"
#include "Diagnostic.h"
#include "OutputRelay.h"
#include "ProfileChart.h"
#include "RunSummary.h"
#include "Viewer.h"
#include "VyReader.h"
#include "WarningSink.h"

namespace {

using Clock = std::chrono::steady_clock;

// One console line whose names (paths, arguments) may hold control characters.
void printLine(const std::string& text) { std::cout << Console::escapeControls(text) << std::endl; }

// A run whose processor is not running and whose console can send no more keys
// could never end: that is the only case in which the loop ends by itself
// before the sequence is done.
bool cannotEverEnd(const FrameSource& reader) {
    return Console::inputClosed() && !reader.frameProcessor().isThreadRunning();
}

// Key handling of the console loop; returns true for quit.
bool handleKey(int key, FrameSource& reader) {
    switch (key) {
        case 'r':
            reader.frameProcessor().setDisplayType(DisplayType::Raw);
            break;
        case 't':
            reader.frameProcessor().setDisplayType(DisplayType::TotalFocus);
            break;
        case 'd':
            reader.frameProcessor().setDisplayType(DisplayType::Depth);
            break;
        case 'f':
            reader.frameProcessor().setDisplayType(DisplayType::Refocus);
            break;
        case 'p': {
            // Reader and processor stop together: what is queued stays queued.
            const bool pause = !reader.isPaused();
            reader.setPaused(pause);
            std::cout << (pause ? "paused" : "unpaused") << std::endl;
            break;
        }
        case 'n':
            reader.frameProcessor().stepOneFrame();
            break;
        case '[':
            reader.frameProcessor().moveRefocus(-1);
            break;
        case ']':
            reader.frameProcessor().moveRefocus(1);
            break;
        case 's':
            reader.frameProcessor().requestSnapshot();
            break;
        case 'q':
            return true;
        default:
            break;
    }
    return false;
}

// Stops both workers and waits until they have finished, so nothing they use
// is released under them.
void stopWorkers(FrameSource& reader) {
    reader.stopThread();
    reader.frameProcessor().stopThread();
    reader.waitForThread();
    reader.frameProcessor().waitForThread();
}

double perFrame(double milliseconds, uint64_t frames) { return frames > 0 ? milliseconds / frames : 0.0; }

StageMilliseconds stageMilliseconds(const FrameSource& reader, const RunReport& report) {
    const RunReport::Stages& stages = report.milliseconds;
    const uint64_t processed = report.processed;
    return {perFrame(reader.readMilliseconds(), reader.framesRead()),
            perFrame(stages.compute, processed),
            perFrame(stages.measure, processed),
            perFrame(stages.rotate, processed),
            perFrame(stages.show, processed),
            perFrame(stages.record, processed),
            perFrame(stages.publish, processed),
            perFrame(stages.encode, report.recorded)};
}

// Exit statuses of a run that was set up; the lowest applicable one is returned.
constexpr int kNotProcessed = 2;
constexpr int kOutputFailed = 3;
// At the end, how long a console that takes nothing more is waited for before its lines are given up.
constexpr int kConsolePatienceMs = 2000;

// What went wrong with a run's outputs, gathered at its end.
struct Failures {
    std::vector<std::string> items;
    int status = 0;

    void add(int code, const std::string& what) {
        items.push_back(what);
        status = status == 0 ? code : std::min(status, code);
    }
    std::string line() const {
        std::string text = "MarlinProfileProc: failed: ";
        for (size_t i = 0; i < items.size(); ++i) text += (i > 0 ? "; " : "") + items[i];
        return text;
    }
};

bool prepareOutputDir(const std::string& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!error && !std::filesystem::is_directory(dir, error)) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error || access(dir.c_str(), W_OK) != 0) {
        Console::diagnostic("MarlinProfileProc: cannot use output directory '" + dir +
                            "': " + (error ? error.message() : std::string("not writable")));
        return false;
    }
    return true;
}

// What an accepted command line asks for.
struct RunRequest {
    VyRunOptions options;
    LiveOptions live;
    std::string path;
    DisplayType initialType = DisplayType::TotalFocus;
};

// Reads the command line and prepares the output directory. Returns the exit
// status when the program ends here (a bad line, --help, a missing argument, an
// unusable directory); nullopt with request filled when the run goes on.
std::optional<int> acceptCommandLine(int argc, const char* const argv[], RunRequest& request) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (!line.error.empty()) {
        Console::diagnostic("MarlinProfileProc: " + line.error + " (see --help)");
        return 1;
    }
    if (line.help) {
        std::cout << usageText() << std::flush;
        return 0;
    }
    const bool live = !line.live.cameraAddress.empty();
    if (live && line.positional.size() != 1) {
        std::cout << "A live run takes one argument, the display type: MarlinProfileProc --camera ADDRESS "
                     "--calibration FILE displayType"
                  << std::endl;
        return 1;
    }
    const VyRunOptions& o = line.options;
    if (live && (o.firstFrame > 0 || o.frameCount > 0 || o.startPaused || !o.runName.empty())) {
        Console::diagnostic(
            "MarlinProfileProc: --first, --count, --paused and --name are for replaying a sequence, not for a live "
            "run (see --help)");
        return 1;
    }
    if (!live && line.positional.size() != 2) {
        std::cout << "Missing input args: MarlinProfileProc *.rays displayType" << std::endl;
        return 1;
    }
    if (!prepareOutputDir(line.options.outputDir)) {
        return 1;
    }
    const std::string& typeArgument = line.positional.back();
    const std::optional<DisplayType> named = displayTypeArgument(typeArgument);
    if (!named) {
        printLine("'" + typeArgument + "' is not a display type (0 to 4): starting in display type " +
                  std::to_string(displayTypeNumber(DisplayType::TotalFocus)));
    }
    request.options = line.options;
    request.live = line.live;
    request.initialType = named.value_or(DisplayType::TotalFocus);
    if (live) {
        printLine("camera: " + request.live.cameraAddress);
    } else {
        request.path = line.positional[0];
        printLine("rays file: " + request.path);
    }
    return std::nullopt;
}

// The process-wide settings of a run: signals, console keys, the viewer's mode.
void prepareProcess(const VyRunOptions& options) {
    Console::installSignalKeys();
    Viewer::setHeadless(options.noWindow);
}

// Builds the run object (the whole set-up of the replay) and checks the outputs it
// opened. Returns the exit status when the run ends here; nullopt with reader set
// when it goes on.
std::optional<int> setUpRun(const RunRequest& request, std::unique_ptr<FrameSource>& reader) {
    try {
        if (request.live.cameraAddress.empty()) {
            reader = std::make_unique<VyReader>(request.path, request.options);
        } else {
            reader = std::make_unique<CameraSource>(request.live, request.options);
        }
    } catch (const std::exception& exception) {
        printLine(std::string("MarlinProfileProc: cannot set up the run: ") + exception.what());
        Viewer::shutdown();
        return 1;
    }
    const RunReport report = reader->frameProcessor().report();
    if (report.publishes && !report.lcmReady) {
        const char* url = std::getenv("LCM_DEFAULT_URL");
        printLine("MarlinProfileProc: failed: LCM not set up (LCM_DEFAULT_URL '" + std::string(url ? url : "") + "')");
        reader.reset();
        Viewer::shutdown();
        return kOutputFailed;
    }
    const std::string plainVideoName = reader->basePath() + ".mp4";
    if (!report.videoFile.empty() && report.videoFile != plainVideoName) {
        printLine("Recording to " + report.videoFile + " (" + plainVideoName + " exists)");
    }
    return std::nullopt;
}

// Sets the first display type (and the pause of --paused), queues the first frame and starts the processor
// and, when it runs, the reader. Returns whether the processor runs (without it
// the replay ends at once); nullopt when the replay cannot start, the run then
// taken down.
std::optional<bool> startReplay(std::unique_ptr<FrameSource>& reader, DisplayType initialType, bool startPaused) {
    VyProcessor& processor = reader->frameProcessor();
    try {
        processor.setDisplayType(initialType);
        if (startPaused) {
            // Paused with one step wanted: the first frame is shown, then the run waits for p or n.
            reader->setPaused(true);
            processor.stepOneFrame();
            std::cout << "paused" << std::endl;
        }
        reader->readFirstFrame();
        const bool processorRunning = processor.startProcessor();
        if (processorRunning) {
            // The reader thread moves the frames of the sequence into the processor's queue.
            reader->startThread();
        }
        return processorRunning;
    } catch (const std::exception& exception) {
        printLine(std::string("MarlinProfileProc: cannot start the replay: ") + exception.what());
        stopWorkers(*reader);
        processor.finish();
        reader.reset();
        Viewer::shutdown();
        return std::nullopt;
    }
}

// Why the console loop must end although the sequence is not done: the line it
// prints and whether that counts as a quit. nullopt while the run can go on.
struct ForcedEnd {
    const char* line;
    bool quit;
};

std::optional<ForcedEnd> forcedEnd(const FrameSource& reader) {
    if (cannotEverEnd(reader)) {
        return ForcedEnd{"No processor is running and no key can arrive: ending the run.", false};
    }
    // A step already asked for (--paused asks for the first frame) is shown first, unless no frame is left for it.
    const VyProcessor& processor = reader.frameProcessor();
    const bool stepPending = (processor.wantsFrame() && !reader.isSequenceDone()) || processor.framesInWork() > 0;
    if (reader.isPaused() && Console::inputClosed() && !stepPending) {
        // Nothing could resume it: the run ends as on 'q'.
        return ForcedEnd{"Paused and no key can arrive: ending the run.", true};
    }
    if (reader.isThreadDone() && !reader.isSequenceDone()) {
        return ForcedEnd{"The reader has stopped: ending the run.", false};
    }
    return std::nullopt;
}

// The progress line on a terminal's standard error: from three seconds into the
// run, redrawn at most once a second.
void drawProgress(const FrameSource& reader, Clock::time_point start, Clock::time_point& lastProgress) {
    const Clock::time_point now = Clock::now();
    if (now - start <= std::chrono::seconds(3) || now - lastProgress < std::chrono::seconds(1)) {
        return;
    }
    lastProgress = now;
    const double seconds = std::chrono::duration<double>(now - start).count();
    const std::string text = reader.progress(seconds);
    // Kept below the output, which would otherwise run on behind it ("queue 00").
    if (!Console::showStatusLine(text)) {
        std::cerr << "\r" << text << "\x1b[K" << std::flush;
    }
}

// The console loop: keys, stop signals and progress until the sequence is done
// (a run paused at its last frame stays open, so that frame can be looked at in
// every display) or the run must end. Returns whether the run was quit.
bool runKeyLoop(FrameSource& reader, Clock::time_point start) {
    VyProcessor& processor = reader.frameProcessor();
    const bool showProgress = Console::isTerminal(STDERR_FILENO);
    Clock::time_point lastProgress = start;
    bool quit = false;
    while (!(reader.isSequenceDone() && !processor.isPaused())) {
        // A stop signal acts ahead of keys still waiting.
        if (Console::stopRequested() != 0) {
            quit = true;
            break;
        }
        if (Console::_kbhit()) {
            quit = handleKey(Console::_getch(), reader);
        }
        Console::_sleep(100);
        if (showProgress) {
            drawProgress(reader, start, lastProgress);
        }
        if (quit) {
            break;
        }
        if (const std::optional<ForcedEnd> end = forcedEnd(reader)) {
            std::cout << end->line << std::endl;
            quit = end->quit;
            break;
        }
    }
    if (showProgress && lastProgress != start && !Console::showStatusLine("")) {
        std::cerr << "\r\x1b[K" << std::flush;
    }
    return quit;
}

// What reached the outputs, checked once both workers have finished.
struct RunOutcome {
    RunCounts counts;
    std::string videoPath;
    std::string logPath;
    std::string chartPath;
    Failures failures;
};

// Frames the sequence did not give or the processor did not take.
void checkReplay(const FrameSource& reader, bool quit, RunOutcome& outcome) {
    const RunCounts& counts = outcome.counts;
    for (const FrameSource::Shortfall& shortfall : reader.shortfalls()) {
        outcome.failures.add(shortfall.status, shortfall.what);
    }
    if (!quit && counts.processed < counts.read) {
        outcome.failures.add(kNotProcessed, counts.processed == 0
                                                ? std::string("nothing processed")
                                                : std::to_string(counts.read - counts.processed) + " of " +
                                                      std::to_string(counts.read) + " frames not processed");
    }
}

// The recording: not opened, cut, left without its index, or empty (then removed).
void checkVideo(const RunReport& report, RunOutcome& outcome) {
    RunCounts& counts = outcome.counts;
    if (!report.videoOpenError.empty()) {
        outcome.failures.add(kOutputFailed, "video not opened (" + report.videoOpenError + ")");
    }
    if (!report.recordingCut.empty()) {
        outcome.failures.add(kOutputFailed, "recording cut at frame " + std::to_string(counts.recorded) + " (" +
                                                report.recordingCut + ")");
    }
    if (report.recordingLost > 0) {
        outcome.failures.add(kOutputFailed, std::to_string(report.recordingLost) + " of " +
                                                std::to_string(counts.processed) + " frames not recorded (" +
                                                report.recordingLoss + ")");
    }
    std::error_code error;
    const std::string& video = report.videoFile;
    if (!video.empty() && counts.recorded == 0) {
        std::filesystem::remove(video, error);  // a recording without frames is no recording
    } else if (!video.empty() && !FrameRecorder::hasIndex(video)) {
        outcome.failures.add(kOutputFailed, "recording " + video + " has no index (unplayable)");
        counts.recorded = 0;
    } else if (!video.empty()) {
        outcome.videoPath = video;
    }
}

// LCM messages that were not sent.
void checkPublishing(const RunReport& report, RunOutcome& outcome) {
    if (!report.lcmShortfall.empty()) {
        outcome.failures.add(kOutputFailed, report.lcmShortfall);
    } else if (report.publishes && report.publishFailures > 0) {
        outcome.failures.add(kOutputFailed, "LCM did not send " + std::to_string(report.publishFailures) + " of " +
                                                std::to_string(outcome.counts.processed) + " frames");
    }
}

// The measurement log, its particle table and the chart drawn from the log.
void checkMeasurement(const RunReport& report, RunOutcome& outcome) {
    if (report.profileRows == 0) {
        return;
    }
    Failures& failures = outcome.failures;
    std::error_code error;
    if (!std::filesystem::exists(report.logFile, error)) {
        failures.add(kOutputFailed, "log not written (" + report.logFile + ")");
        return;
    }
    outcome.logPath = report.logFile;
    const std::string& logPath = outcome.logPath;
    const uint64_t rows = report.profileRowsWritten;
    if (rows < report.profileRows) {
        failures.add(kOutputFailed, "log cut at frame " + std::to_string(rows) + " (" + logPath + " holds " +
                                        std::to_string(rows) + " of " + std::to_string(report.profileRows) + " rows)");
    }
    if (report.particleTableFailures > 0) {
        failures.add(kOutputFailed, "particle table " + report.particleTable + " misses the rows of " +
                                        std::to_string(report.particleTableFailures) + " frames");
    }
    if (report.trackSummaryFailed) {
        failures.add(kOutputFailed, "track summary not written (" + report.trackSummary + ")");
    }
    std::string chartError;
    if (Vy::Analysis::writeProfileChart(logPath, logPath + ".png", chartError)) {
        outcome.chartPath = logPath + ".png";
    } else {
        printLine("No chart of the measurement: " + chartError);
        failures.add(kOutputFailed, "chart not written");
    }
}

// Stops the workers, finishes the outputs, prints the summary and the failures,
// and takes the run down. Returns the run's exit status.
int shutDownAndSummarise(std::unique_ptr<FrameSource>& reader, bool quit, Clock::time_point start) {
    int status = 0;
    try {
        VyProcessor& processor = reader->frameProcessor();
        stopWorkers(*reader);
        COmbraRuntime::End();
        processor.finish();
        reader->finishSource();
        std::cout << "done.\n" << std::flush;
        COmbraRuntime::End();
        std::cout << "finished.\n" << std::flush;

        const RunReport report = processor.report();
        RunOutcome outcome;
        outcome.counts = {reader->framesRead(), report.processed,
                          report.recorded,      report.published,
                          report.dropped,       std::chrono::duration<double>(Clock::now() - start).count()};
        checkReplay(*reader, quit, outcome);
        checkVideo(report, outcome);
        checkPublishing(report, outcome);
        checkMeasurement(report, outcome);
        printLine(summaryLine(outcome.counts, outcome.videoPath, outcome.logPath, outcome.chartPath));
        for (const std::string& line : reader->summaryLines()) {
            printLine(line);
        }
        std::cout << stageLine(stageMilliseconds(*reader, report)) << std::endl;
        if (!outcome.failures.items.empty()) {
            printLine(outcome.failures.line());
        }
        status = outcome.failures.status;
        reader.reset();
    } catch (const std::exception& exception) {
        printLine(std::string("MarlinProfileProc: shut-down failed: ") + exception.what());
        return 1;
    }
    Viewer::shutdown();
    return status;
}

// The program from its command line to its exit status, once the console is set up.
int runProgram(int argc, const char* const argv[]) {
    // What the libraries warn of reaches standard error through the one diagnostic helper.
    Vy::SetWarningSink(Console::diagnostic);
    RunRequest request;
    if (const std::optional<int> status = acceptCommandLine(argc, argv, request)) {
        return *status;
    }
    prepareProcess(request.options);
    std::unique_ptr<FrameSource> reader;
    if (const std::optional<int> status = setUpRun(request, reader)) {
        return *status;
    }
    const Clock::time_point start = Clock::now();
    const std::optional<bool> processorRunning = startReplay(reader, request.initialType, request.options.startPaused);
    if (!processorRunning) {
        return 1;
    }
    // Without a processor nothing would ever be taken from the queue: the run ends at once.
    const bool quit = *processorRunning && runKeyLoop(*reader, start);
    return shutDownAndSummarise(reader, quit, start);
}

}  // namespace

int runMarlinProfileProc(int argc, const char* const argv[]) {
    // A file grown past the size limit (standard output's too, from the first line on)
    // then fails its write instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // A console that nobody reads must hold neither the run nor its end.
    Console::relayStandardOutput();
    const int status = runProgram(argc, argv);
    Console::finishStandardOutput(kConsolePatienceMs);
    return status;
}
