#include "CameraSource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "Console.h"
#include "Diagnostic.h"
#include "TextFile.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the camera thread waits for a frame before it looks at its running flag.
constexpr int kFrameWaitMs = 20;
// A camera that sends nothing for this long (or for ten of its frame times, if longer) has stopped.
constexpr int kShortestSilenceMs = 3000;
constexpr size_t kMaxCalibrationBytes = 1 << 20;
// Exit statuses (see the README): a source cut short, an output that failed.
constexpr int kSourceCut = 4;
constexpr int kOutputFailed = 3;

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The calibration and white image of a sequence file, or a calibration block's calibration.
void loadCalibration(const std::string& path, CCalibration& calibration, CVyImage& white) {
    if (endsWith(path, ".rays")) {
        CSeqFileReader reader;
        CRayImage image;
        reader.Open(CVyString(path), 0);
        reader.StartReading(image);
        calibration = image.GetCalibration();
        white = image.GetWhiteImage();
        return;
    }
    calibration = CCalibration::FromText(Vy::ReadTextFile(path, kMaxCalibrationBytes, "calibration"), path);
}

// "<dir>/camera-<address>-<YYYYmmdd-HHMMSS>.rays", or the first free "...-N.rays".
std::string recordingName(const std::string& dir, const std::string& address) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    const std::string base = (dir.empty() ? std::string(".") : dir) + "/camera-" + address + "-" + stamp;
    std::string name = base + ".rays";
    std::error_code error;
    for (int n = 2; std::filesystem::exists(name, error); ++n) {
        name = base + "-" + std::to_string(n) + ".rays";
    }
    return name;
}

std::string sizeText(int32_t width, int32_t height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

std::string liveCountsLine(const LiveCounts& c) {
    return "live: " + std::to_string(c.received) + " received, " + std::to_string(c.recorded) + " recorded, " +
           std::to_string(c.processed) + " processed, " + std::to_string(c.skipped) + " skipped for display, " +
           std::to_string(c.lost) + " lost by the camera or network";
}

CameraSource::CameraSource(const LiveOptions& live, const VyRunOptions& options) : processor(options) {
    CCalibration calibration;
    CVyImage white;
    try {
        if (live.calibrationPath.empty()) {
            throw std::invalid_argument("--camera needs --calibration FILE (a sequence or a calibration block)");
        }
        loadCalibration(live.calibrationPath, calibration, white);
        camera = std::make_unique<Vy::Live::AravisCamera>(live.cameraAddress, live.camera);
    } catch (const CVyException& refusal) {
        throw std::invalid_argument(refusal.what());
    }
    std::cout << Console::escapeControls(camera->description()) << std::endl;
    const CVyImageFormat& format = camera->format();
    const std::string where = "camera " + live.cameraAddress + ": ";
    if (calibration.sensorWidth != format.width || calibration.sensorHeight != format.height) {
        throw std::invalid_argument(
            where + "frames of " + sizeText(format.width, format.height) + " are not the calibration's " +
            sizeText(calibration.sensorWidth, calibration.sensorHeight) + " (" + live.calibrationPath + ")");
    }
    if (!white.IsEmpty() && white.GetFormat() != format) {
        throw std::invalid_argument(where + camera->pixelFormatName() + " frames do not match the white image of " +
                                    live.calibrationPath + " (" + std::to_string(white.GetFormat().GetBitDepth()) +
                                    "-bit)");
    }
    const double rate = camera->frameRate();
    silenceMs = std::max(kShortestSilenceMs, rate > 0.0 ? static_cast<int>(10000.0 / rate) : 0);
    frameLimit = live.frames;
    raysPath = recordingName(options.outputDir, live.cameraAddress);
    outputBase = raysPath;
    try {
        // The engine first: settings or a calibration it refuses leave no recording behind.
        processor.setSequence(std::filesystem::path(raysPath).filename().string(), 0);
        processor.setRecording(raysPath);
        processor.setupCompute(calibration);
        if (!white.IsEmpty()) {
            processor.setWhiteImage(white);
        }
        processor.setImageFormat(format);
        writer.Create(CVyString(raysPath), format, calibration, white, camera->significantBits());
        std::cout << "Recording the camera to " << Console::escapeControls(raysPath) << std::endl;
        processor.openOutputVideo(outputBase);
        processor.markLive();
        processor.markReady();
    } catch (const CVyException& refusal) {
        throw std::invalid_argument(refusal.what());
    }
}

CameraSource::~CameraSource() = default;

void CameraSource::readFirstFrame() {
    try {
        camera->start();
    } catch (const CVyException& refusal) {
        throw std::runtime_error(refusal.what());
    }
}

void CameraSource::threadedFunction() {
    Clock::time_point lastFrame = Clock::now();
    CVyImage frame;
    while (isThreadRunning()) {
        bool got = false;
        {
            const StageClock::Span span(taking);
            got = camera->next(frame, kFrameWaitMs);
        }
        const Clock::time_point now = Clock::now();
        if (!got) {
            if (now - lastFrame > std::chrono::milliseconds(silenceMs)) {
                silence = "camera stopped sending (nothing for " + std::to_string(silenceMs / 1000) + " s after " +
                          std::to_string(camera->counts().received) + " frames)";
                std::cout << silence << std::endl;
                break;
            }
            continue;
        }
        lastFrame = now;
        // The display first (it waits for nothing), then the recording, which takes every frame.
        skipped += processor.addNewestFrame(frame);
        ++handed;
        if (!recordingFailure.empty()) {
            continue;
        }
        try {
            writer.WriteFrame(frame);
            ++recorded;
        } catch (const CVyException& failure) {
            // The file keeps its whole frames; the run ends in order, as on 'q'.
            recordingFailure = failure.what();
            std::cout << "Recording ends after " << recorded.load()
                      << " frames: " << Console::escapeControls(recordingFailure) << std::endl;
            break;
        }
        if (frameLimit > 0 && recorded.load() >= frameLimit) {
            break;
        }
    }
    camera->stop();
    // What waits for the display is shown before the run ends.
    while (isThreadRunning() && processor.isThreadRunning() && processor.framesQueued() > 0) {
        processor.waitForChange(std::chrono::milliseconds(kFrameWaitMs));
    }
    sourceDone = true;
}

void CameraSource::finishSource() {
    camera->stop();
    lostAtEnd = camera->counts().lost;
    lossReason = camera->firstLoss();
    try {
        writer.Close();
    } catch (const CVyException& failure) {
        closeFailure = failure.what();
    }
}

LiveCounts CameraSource::counts() const {
    const Vy::Live::AravisCamera::Counts camerasCounts = camera->counts();
    return LiveCounts{camerasCounts.received, recorded.load(), processor.report().processed, skipped.load(),
                      camerasCounts.lost};
}

std::vector<FrameSource::Shortfall> CameraSource::shortfalls() const {
    std::vector<Shortfall> found;
    if (!recordingFailure.empty()) {
        found.push_back({kOutputFailed, "recording " + raysPath + " cut at frame " + std::to_string(recorded.load()) +
                                            " (" + recordingFailure + ")"});
    }
    if (!closeFailure.empty()) {
        found.push_back({kOutputFailed, closeFailure});
    }
    if (lostAtEnd > 0) {
        found.push_back(
            {kSourceCut, std::to_string(lostAtEnd) + " frames lost by the camera or network (" + lossReason + ")"});
    }
    if (!silence.empty()) {
        found.push_back({kSourceCut, silence});
    }
    return found;
}

std::vector<std::string> CameraSource::summaryLines() const {
    std::vector<std::string> lines{liveCountsLine(counts()), "recording: " + raysPath};
    const RunReport::Latency latency = processor.report().latency;
    if (latency.frames > 0) {
        char text[160];
        std::snprintf(text, sizeof text, "latency (camera to window, ms): mean %.1f, max %.1f over %llu frames",
                      latency.meanMs, latency.maxMs, static_cast<unsigned long long>(latency.frames));
        lines.push_back(text);
    }
    return lines;
}

std::string CameraSource::progress(double seconds) const {
    const LiveCounts c = counts();
    char text[200];
    std::snprintf(text, sizeof text,
                  "live: %llu received, %llu recorded, %llu shown (%.1f fps), %llu skipped, %llu lost",
                  static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.recorded),
                  static_cast<unsigned long long>(c.processed), seconds > 0.0 ? c.processed / seconds : 0.0,
                  static_cast<unsigned long long>(c.skipped), static_cast<unsigned long long>(c.lost));
    return text;
}
