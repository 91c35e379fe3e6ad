#include "VyReader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "CCuda.h"
#include "CVyException.h"
#include "Console.h"
#include "Diagnostic.h"
#include "ExceptionReport.h"
#include "IException.h"
#include "OutputBasePath.h"
#include "RaysFormat.h"
#include "RunSummary.h"
#include "VyTypes.h"

namespace {
constexpr uint32_t kReadAheadFrames = 100;
// The frame format the processor is given until the sequence states its own.
constexpr int32_t kUnopenedSensorSide = 5120;
// A reader waiting for a frame's time (--realtime) sees a stop or a pause within this.
constexpr int kPaceSliceMs = 20;
}  // namespace

VyReader::VyReader(std::string path, const VyRunOptions& options)
    : processor(options), realtime(options.realtime), firstFrame(options.firstFrame), frameLimit(options.frameCount) {
    outputBase =
        options.runName.empty() ? outputBasePath(path, options.outputDir) : options.outputDir + "/" + options.runName;
    sequenceDone = false;
    imageFormat.width = kUnopenedSensorSide;
    imageFormat.height = kUnopenedSensorSide;
    imageFormat.dataType = Vy::DataTypeUnsignedByte;
    imageFormat.pixelType = Vy::PixelTypeLuminance;
    Console::_sleep(100);
    try {
        setUp(path);
    } catch (const CVyException& exception) {
        reportExceptionAndWaitForKey(exception);
    } catch (const Vy::Interop::Runtime31::IException& exception) {
        reportExceptionAndWaitForKey(exception.GetMessage());
    }
}

void VyReader::setUp(const std::string& path) {
    CCuda::EnumerateCudaDevices();
    std::printf("Listing Cuda devices...\n");
    for (int index = 0; index < CCuda::GetDeviceCount(); ++index) {
        const CCudaDevice& device = CCuda::GetDevice(index);
        device.GetParams().GetValue(Params::CudaDevice_Name, deviceName);
        device.GetParams().GetValue(Params::CudaDevice_ClockMHz, deviceClock);
        device.GetParams().GetValue(Params::CudaDevice_MemoryMB, deviceMemory);
        std::printf("%d: %s, Clock: %.0f MHz, Memory: %.0f MB\n", index, deviceName.ToCString(), deviceClock,
                    deviceMemory);
    }
    std::fflush(stdout);
    std::cout << "Loading " << Console::escapeControls(path) << "..." << std::endl;
    openSequence(path);
    seqReader.StartReading(rayImage);
    sequenceFrames = seqReader.GetFrameCount();
    const uint32_t promised = seqReader.GetPromisedFrameCount();
    const std::string held = "file holds " + std::to_string(sequenceFrames) + " whole frames";
    if (promised == Vy::Rays::kUnfinishedCount) {
        shortfall = "recording was not finished (no frame count), " + held;
    } else if (promised > sequenceFrames) {
        shortfall = "header promises " + std::to_string(promised) + " frames, " + held;
    }
    chooseFrames(path);
    processor.setSequence(std::filesystem::path(path).filename().string(), framesChosen());
    processor.setRecording(path);
    processor.setupCompute(rayImage.GetCalibration());
    if (!rayImage.GetWhiteImage().IsEmpty()) {
        processor.setWhiteImage(rayImage.GetWhiteImage());
    }
    std::cout << "Setting up processor...";
    processor.openOutputVideo(outputBase);
    std::cout << " Loading first, slow image on to GPU..." << std::endl;
    processor.setImageFormat(imageFormat);
    std::cout << " Done loading first, slow image on to GPU..." << std::endl;
    processor.markReady();
    Console::_sleep(2000);
    std::cout << "Ready." << std::endl;
}

void VyReader::openSequence(const std::string& path) {
    try {
        seqReader.Open(CVyString(path), kReadAheadFrames);
    } catch (const CVyException& refusal) {
        // Without a sequence nothing can be replayed: the run ends here, on one line.
        std::string line = refusal.what();
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            line += " (a folder of images is replayed once raystool import '" + path +
                    "' -o OUT.rays has made a sequence of it; see docs/import.md)";
        }
        throw std::invalid_argument(line);
    }
}

void VyReader::chooseFrames(const std::string& path) {
    // A start past the end would replay nothing: refused like a file that cannot be read.
    if (firstFrame > 0 && firstFrame >= sequenceFrames) {
        throw std::invalid_argument("--first " + std::to_string(firstFrame) + " is past the last frame of " + path +
                                    " (" + std::to_string(sequenceFrames) + " frames)");
    }
    const uint64_t left = sequenceFrames - firstFrame;
    endIndex = firstFrame + (frameLimit > 0 ? std::min(frameLimit, left) : left);
    if (firstFrame > 0) {
        seqReader.Seek(static_cast<uint32_t>(firstFrame));
    }
}

bool VyReader::framesLeft() const {
    return seqReader.GetFrameIndex() < std::min<uint64_t>(endIndex, seqReader.GetFrameCount());
}

uint64_t VyReader::framesChosen() const {
    return std::min(endIndex, sequenceFrames) - std::min(firstFrame, sequenceFrames);
}

void VyReader::readFirstFrame() {
    // A sequence without frames has nothing to read; a reader that failed to open still
    // raises here, so the start-up can report it.
    if (seqReader.IsOpen() && !framesLeft()) {
        return;
    }
    queueNextFrame();
}

void VyReader::queueNextFrame() {
    CVyImage frame;
    {
        const StageClock::Span span(reading);
        seqReader.ReadFrame(rayImage);
        frame = rayImage;
    }
    if (realtime) {
        waitUntilDue(frame.timeStamp);
    }
    ++readTotal;
    // Waits for room while both threads run, so no frame of the recording is lost.
    processor.addFrame(std::move(frame), [this] { return isThreadRunning() && processor.isThreadRunning(); });
}

void VyReader::waitUntilDue(double timeMs) {
    const ReplayPace::Clock::time_point due = pace.dueAt(timeMs, ReplayPace::Clock::now());
    // Asleep until the frame is due, waking at least every kPaceSliceMs to see a stop or a pause.
    while (isThreadRunning() && processor.isThreadRunning()) {
        if (processor.isPaused()) {
            // A step takes the frame at once; after the pause the clock starts again at it.
            pace.restart();
            if (processor.wantsFrame() && processor.framesQueued() == 0) {
                return;
            }
            processor.waitForChange(std::chrono::milliseconds(kPaceSliceMs));
            continue;
        }
        const ReplayPace::Clock::time_point now = ReplayPace::Clock::now();
        if (now >= due) {
            return;
        }
        std::this_thread::sleep_until(std::min(due, now + std::chrono::milliseconds(kPaceSliceMs)));
    }
}

void VyReader::threadedFunction() {
    while (isThreadRunning()) {
        // Paused, the reader brings only a frame that the processor waits for to step to.
        if (processor.isPaused() && !(processor.wantsFrame() && processor.framesQueued() == 0)) {
            pace.restart();
            // A step, a resume or a frame taken wakes it; the wait's end lets it see a stop.
            processor.waitForChange(std::chrono::milliseconds(kPaceSliceMs));
            continue;
        }
        if (failure.empty() && framesLeft()) {
            try {
                queueNextFrame();
            } catch (const std::exception& exception) {
                // A file cut short or unreadable ends the replay like its last frame:
                // the frames already queued are processed and the run ends in order.
                failure = exception.what();
                std::cout << "Replay ends after " << readTotal.load() << " frames: " << Console::escapeControls(failure)
                          << std::endl;
            }
            continue;
        }
        const bool empty = processor.framesQueued() == 0;
        sequenceDone = empty;
        if (empty) {
            return;
        }
        processor.waitForChange(std::chrono::milliseconds(kPaceSliceMs));
    }
}

std::vector<FrameSource::Shortfall> VyReader::shortfalls() const {
    // Exit status 4: the sequence is not what it says, or could not be read to its end.
    constexpr int kSequenceCut = 4;
    std::vector<Shortfall> found;
    if (!shortfall.empty()) {
        // Its whole frames were replayed, but a batch must see that the file is not what it says.
        found.push_back({kSequenceCut, "sequence file cut short (" + shortfall + ")"});
    }
    if (!failure.empty()) {
        found.push_back(
            {kSequenceCut, "replay cut short after " + std::to_string(readTotal.load()) + " frames (" + failure + ")"});
    }
    return found;
}

std::string VyReader::progress(double seconds) const {
    return progressText(processor.report().processed, framesChosen(), seconds, processor.framesQueued(),
                        processor.isPaused());
}
