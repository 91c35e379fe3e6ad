#include "Application.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

#include "COmbraRuntime.h"
#include "CommandLine.h"
#include "Console.h"
#include "ProfileChart.h"
#include "RunSummary.h"
#include "Viewer.h"
#include "VyReader.h"

namespace {

using Clock = std::chrono::steady_clock;

// A run whose processor is not running and whose console can send no more keys
// could never end: that is the only case in which the loop ends by itself
// before the sequence is done.
bool cannotEverEnd(const VyReader& reader) {
    return Console::inputClosed() && !reader.processor.isThreadRunning();
}

// Key handling of the console loop; returns true for quit.
bool handleKey(int key, VyReader& reader) {
    switch (key) {
        case 'r':
            reader.processor.setDisplayType(0);
            break;
        case 't':
            reader.processor.setDisplayType(1);
            break;
        case 'd':
            reader.processor.setDisplayType(2);
            break;
        case 'f':
            reader.processor.setDisplayType(3);
            break;
        case 'p':
            if (!reader.paused.load()) {
                reader.paused = true;
                std::cout << "paused" << std::endl;
            } else {
                reader.paused = false;
                std::cout << "unpaused" << std::endl;
            }
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
void stopWorkers(VyReader& reader) {
    reader.stopThread();
    reader.processor.stopThread();
    reader.waitForThread();
    reader.processor.waitForThread();
}

double perFrame(double milliseconds, uint64_t frames) { return frames > 0 ? milliseconds / frames : 0.0; }

StageMilliseconds stageMilliseconds(const VyReader& reader) {
    const VyProcessor& processor = reader.processor;
    const VyProcessor::Stages& stages = processor.stageTimes();
    const uint64_t processed = processor.framesProcessed();
    return {perFrame(reader.readMilliseconds(), reader.framesRead()),
            perFrame(stages.compute.milliseconds(), processed),
            perFrame(stages.measure.milliseconds(), processed),
            perFrame(stages.rotate.milliseconds(), processed),
            perFrame(stages.show.milliseconds(), processed),
            perFrame(stages.record.milliseconds(), processed),
            perFrame(processor.encodeMilliseconds(), processor.framesRecorded())};
}

bool prepareOutputDir(const std::string& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!error && !std::filesystem::is_directory(dir, error)) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error || access(dir.c_str(), W_OK) != 0) {
        std::cerr << "MarlinProfileProc: cannot use output directory '" << dir
                  << "': " << (error ? error.message() : std::string("not writable")) << std::endl;
        return false;
    }
    return true;
}

}  // namespace

int runMarlinProfileProc(int argc, const char* const argv[]) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (!line.error.empty()) {
        std::cerr << "MarlinProfileProc: " << line.error << " (see --help)" << std::endl;
        return 1;
    }
    if (line.help) {
        std::cout << usageText() << std::flush;
        return 0;
    }
    if (line.positional.size() != 2) {
        std::cout << "Missing input args: MarlinProfileProc *.rays displayType" << std::endl;
        return 1;
    }
    if (!prepareOutputDir(line.options.outputDir)) {
        return 1;
    }
    int initialType = displayTypeArgument(line.positional[1]);
    if (initialType < 0) {
        std::cout << "'" << line.positional[1] << "' is not a display type (0 to 4): starting in display type 1"
                  << std::endl;
        initialType = 1;
    }
    const std::string path = line.positional[0];
    std::cout << "rays file: " << path << std::endl;

    // A file grown past the size limit then fails its write instead of killing the run.
    std::signal(SIGXFSZ, SIG_IGN);
    Console::installSignalKeys();
    Viewer::setHeadless(line.options.noWindow);
    std::unique_ptr<VyReader> reader;
    try {
        reader = std::make_unique<VyReader>(path, line.options);
    } catch (const std::exception& exception) {
        std::cout << "MarlinProfileProc: cannot set up the run: " << exception.what() << std::endl;
        Viewer::shutdown();
        return 1;
    }
    VyProcessor& processor = reader->processor;
    const Clock::time_point start = Clock::now();

    try {
        processor.setDisplayType(initialType);
        reader->seqReader.ReadFrame(reader->rayImage);
        processor.startProcessor();
        // The reader thread moves the frames of the sequence into the processor's queue.
        reader->startThread();
    } catch (const std::exception& exception) {
        std::cout << "MarlinProfileProc: cannot start the replay: " << exception.what() << std::endl;
        stopWorkers(*reader);
        processor.releaseVideo();
        reader.reset();
        Viewer::shutdown();
        return 1;
    }

    const bool showProgress = isatty(STDERR_FILENO) != 0;
    Clock::time_point lastProgress = start;
    bool quit = false;
    while (!reader->sequenceDone.load()) {
        if (Console::_kbhit()) {
            quit = handleKey(Console::_getch(), *reader);
        }
        Console::_sleep(100);
        const Clock::time_point now = Clock::now();
        if (showProgress && now - start > std::chrono::seconds(3) && now - lastProgress >= std::chrono::seconds(1)) {
            lastProgress = now;
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::cerr << "\r" << progressText(processor.framesProcessed(), seconds, processor.imageQueue.GetSize())
                      << "\x1b[K" << std::flush;
        }
        if (quit) {
            break;
        }
        if (cannotEverEnd(*reader)) {
            std::cout << "No processor is running and no key can arrive: ending the run." << std::endl;
            break;
        }
    }
    if (showProgress && lastProgress != start) {
        std::cerr << "\r\x1b[K" << std::flush;
    }

    RunCounts counts;
    std::string videoPath;
    std::string logPath;
    std::string chartPath;
    try {
        stopWorkers(*reader);
        COmbraRuntime::End();
        processor.releaseVideo();
        std::cout << "done.\n" << std::flush;
        COmbraRuntime::End();
        std::cout << "finished.\n" << std::flush;

        counts = {reader->framesRead(),       processor.framesProcessed(), processor.framesRecorded(),
                  processor.framesPublished(), processor.framesDropped(),
                  std::chrono::duration<double>(Clock::now() - start).count()};
        std::error_code error;
        if (!processor.videoFileName().empty() && std::filesystem::exists(processor.videoFileName(), error)) {
            videoPath = processor.videoFileName();
        }
        if (processor.profileRows() > 0 && std::filesystem::exists(processor.logFileName, error)) {
            logPath = processor.logFileName;
            std::string chartError;
            if (Vy::Analysis::writeProfileChart(logPath, logPath + ".png", &chartError)) {
                chartPath = logPath + ".png";
            } else {
                std::cout << "No chart of the measurement: " << chartError << std::endl;
            }
        }
        std::cout << summaryLine(counts, videoPath, logPath, chartPath) << std::endl;
        std::cout << stageLine(stageMilliseconds(*reader)) << std::endl;
        reader.reset();
    } catch (const std::exception& exception) {
        std::cout << "MarlinProfileProc: shut-down failed: " << exception.what() << std::endl;
        return 1;
    }
    Viewer::shutdown();
    return 0;
}
