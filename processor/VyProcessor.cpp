#include "VyProcessor.h"

#include <Poco/Timestamp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <opencv2/core.hpp>
#include <thread>
#include <vector>

#include "CCuda.h"
#include "CVyException.h"
#include "CameraModel.h"
#include "Diagnostic.h"
#include "DisplayPipeline.h"
#include "ExceptionReport.h"
#include "IImageAccess.h"
#include "LcmPublisher.h"
#include "MutexLock.h"
#include "PanoraTool.h"
#include "RefocusPlane.h"
#include "Snapshot.h"
#include "Viewer.h"
#include "VyTypes.h"
#include "engine/DepthColorMap.h"

namespace {

constexpr uint32_t kQueueCapacity = 512;
// Pixel bytes the queue may hold: large frames wait in the file, not in memory.
constexpr uint64_t kMaxQueuedBytes = 256ull << 20;
// How long a waiting thread sleeps before it looks at its running flag again (the
// flag is the thread library's and wakes no one): a run that has ended waits this
// long for the thread to stop. Frames and requests wake it at once.
constexpr uint32_t kQueueWaitMilliseconds = 10;
// Offset between 1582-10-15 and 1970-01-01 in 100 ns ticks.
constexpr int64_t kGregorianToUnixTicks = 122192928000000000LL;
// The settings key for the refocus plane as a distance; 0 leaves refocus.value in charge.
constexpr uint32_t kRefocusDistanceId = 0x220002;
// '[' and ']' move the refocus plane by this share of its range.
constexpr double kRefocusStep = 0.05;
// The rate in the status is counted over at least this long.
constexpr auto kRateWindow = std::chrono::milliseconds(500);

}  // namespace

std::string profileLogFileName(const std::string& outputDir, int64_t unixMicroseconds) {
    const int64_t ticks = unixMicroseconds * 10 + kGregorianToUnixTicks;
    return outputDir + "/VyProc_" + std::to_string(ticks) + ".csv";
}

std::string namedProfileLogFileName(const std::string& outputDir, const std::string& runName) {
    const std::string base = outputDir + "/VyProc_" + runName;
    // The log and the files named after it are appended to: an earlier run's are never continued.
    const auto taken = [](const std::string& log) {
        std::error_code error;
        for (const char* suffix : {"", ".particles.csv", ".tracks.csv", ".png"}) {
            if (std::filesystem::exists(log + suffix, error)) return true;
        }
        return false;
    };
    std::string log = base + ".csv";
    for (int number = 1; taken(log); ++number) {
        log = base + "-" + std::to_string(number) + ".csv";
    }
    return log;
}

namespace {

std::string logFileFor(const VyRunOptions& options) {
    const std::string dir = options.outputDir.empty() ? "." : options.outputDir;
    return options.runName.empty() ? profileLogFileName(dir, Poco::Timestamp().epochMicroseconds())
                                   : namedProfileLogFileName(dir, options.runName);
}

}  // namespace

VyProcessor::VyProcessor(const VyRunOptions& options)
    : lcmOutput(options.lcmOutput),
      settingsPath(options.settingsPath.empty() ? defaultSettingsPath() : options.settingsPath),
      outputDir(options.outputDir.empty() ? "." : options.outputDir),
      runName(options.runName),
      profile(logFileFor(options)),
      viewer(stages.show),
      recording(stages.record),
      outputStage([this](ComputedFrame& frame) { finishFrame(frame); }) {
    // Only a publishing run talks to LCM; it neither shows nor records.
    if (lcmOutput) {
        publisher = std::make_unique<LcmPublisher>(lcm_create(""), stages.publish);
        outputs.push_back(publisher.get());
    } else {
        outputs = {&viewer, &recording};
    }
    imageQueue.Initialize(kQueueCapacity, false);
    std::cout << "Initializing PanoraTool...\n" << std::flush;
    Panora::Tool::Init(nullptr);
}

VyProcessor::~VyProcessor() = default;

void VyProcessor::setupCompute(const CCalibration& calibration) {
    compute.SetCudaDevice(CCuda::GetDevice(0));
    compute.ApplyCalibration(calibration, true);
    CParameterSet& params = compute.GetParams();
    Vy::Analysis::declareProfileSettings(params);
    if (!params.Has(kRefocusDistanceId)) {
        params.Declare(kRefocusDistanceId, "refocus.distance_mm", 0, 0, 1e7);
    }
    params.ImportParameterFromFile(CVyString(settingsPath));
    profile.setUp(Vy::Analysis::readProfileSettings(params), calibration);
    // A near or far of 0 (the shipped settings) takes that end from what the calibration can measure.
    const Vy::Engine::DistanceRange measurable =
        Vy::Engine::MeasurableDistances(calibration, params.GetNumber(Params::CudaCompute_DepthVirtualMin),
                                        params.GetNumber(Params::CudaCompute_DepthVirtualMax));
    colourNear = params.GetNumber(Params::CudaCompute_ColorNearDistance);
    colourFar = params.GetNumber(Params::CudaCompute_ColorFarDistance);
    if (colourNear <= 0.0) colourNear = measurable.nearMm;
    if (colourFar <= 0.0) colourFar = measurable.farMm > 0.0 ? measurable.farMm : 3000.0;
    viewer.setDepthColours(colourNear, colourFar);
    params.SetValue(Params::CudaCompute_ColorNearDistance, colourNear);
    params.SetValue(Params::CudaCompute_ColorFarDistance, colourFar);
    // Refocusing runs over the calibration's virtual depths (see RefocusPlane.h).
    refocusDepthLow = calibration.virtualDepthMin;
    refocusDepthHigh = calibration.virtualDepthMax;
    refocusValue = params.GetNumber(Params::CudaCompute_RefocusVirtualDepth);
    const double refocusMm = params.GetNumber(kRefocusDistanceId);
    if (refocusMm > 0.0 && refocusDepthHigh > refocusDepthLow && refocusDepthLow > 0.0) {
        // Held inside the range first: past the far end the model's virtual depth turns negative.
        const double nearest = Vy::Model::distanceFromVirtualDepth(calibration, refocusDepthHigh);
        const double farthest = Vy::Model::distanceFromVirtualDepth(calibration, refocusDepthLow);
        const double held = farthest > nearest && nearest > 0.0 ? std::clamp(refocusMm, nearest, farthest) : refocusMm;
        const double v = Vy::Model::virtualDepthFromDistance(calibration, held);
        refocusValue = std::clamp(Vy::Model::refocusValueOf(refocusDepthLow, refocusDepthHigh, v), 0.0, 1.0);
    }
    const auto [searchLow, searchHigh] =
        Vy::Model::searchedVirtualDepths(calibration, params.GetNumber(Params::CudaCompute_DepthVirtualMin),
                                         params.GetNumber(Params::CudaCompute_DepthVirtualMax));
    depthRangeCheck.setRange(searchLow, searchHigh,
                             static_cast<int>(std::lround(params.GetNumber(Params::CudaCompute_DepthSteps))));
    DepthSnapshot depthFiles;
    depthFiles.setUp(calibration, std::max(1, static_cast<int>(params.GetNumber(Params::CudaCompute_OutputScale))),
                     searchLow, searchHigh, sequenceName.empty() ? "the sequence" : sequenceName);
    viewer.setDepthSnapshot(depthFiles);
    calibrationInUse = calibration;
    imageAccess = static_cast<IImageAccess*>(compute.GetInterface(1));
    if (imageAccess == nullptr) {
        throw CVyException("setupCompute", "interface 1", "the engine offers no image access");
    }
    calibrated = true;
}

void VyProcessor::setWhiteImage(const CVyImage& white) { compute.SetWhiteImage(white); }

void VyProcessor::setImageFormat(const CVyImageFormat& format) {
    imageFormat = format;
    CVyImage blank;
    blank.Create(imageFormat);
    compute.UploadRawImage(blank);
}

void VyProcessor::openOutputVideo(const std::string& outputBasePath) {
    if (lcmOutput) {
        return;  // a publishing run records nothing
    }
    recording.open(outputBasePath);
    viewer.setDepthScaleFile(recording.depthScaleFileName());
}

void VyProcessor::finish() {
    for (FrameSink* output : outputs) {
        output->close();
    }
    bool failed = false;
    const std::string line = profile.finish(failed);
    if (!line.empty()) {
        std::cout << Console::escapeControls(line) << std::endl;
    }
    if (failed) {
        trackSummaryFailed = true;
    }
}

RunReport VyProcessor::report() const {
    RunReport r;
    r.processed = processedTotal.load();
    r.dropped = droppedTotal.load();
    r.videoFile = recording.fileName();
    r.videoOpenError = recording.openError();
    r.recorded = recording.recorded();
    r.recordingCut = recording.cutReason();
    r.recordingLost = recording.lost();
    r.recordingLoss = recording.firstLoss();
    r.publishes = lcmOutput;
    if (publisher) {
        r.lcmReady = publisher->isSetUp();
        r.published = publisher->published();
        r.publishFailures = publisher->failures();
        r.lcmShortfall = publisher->logShortfall();
    }
    r.logFile = profile.logFile();
    r.profileRows = profile.rows();
    r.profileRowsWritten = profile.rowsWritten();
    r.particleTable = profile.particleTableFile();
    r.particleTableFailures = profile.tableFailures();
    r.trackSummary = profile.trackSummaryFile();
    r.trackSummaryFailed = trackSummaryFailed.load();
    r.skipped = skippedTotal.load();
    r.latency.frames = latencyFrames.load();
    r.latency.meanMs = r.latency.frames > 0 ? latencySumMs.load() / r.latency.frames : 0.0;
    r.latency.maxMs = latencyMaxMs.load();
    r.milliseconds = {stages.compute.milliseconds(), stages.measure.milliseconds(), stages.rotate.milliseconds(),
                      stages.show.milliseconds(),    stages.record.milliseconds(),  stages.publish.milliseconds(),
                      recording.encodeMilliseconds()};
    return r;
}

bool VyProcessor::startProcessor() {
    if (!calibrated) {
        std::cout << "Can't start processor thread without calibration." << std::endl;
        return false;
    }
    try {
        if (!lcmOutput) {
            viewer.open();
            updateStatus();
            if (Viewer::isShowing()) {
                std::cout << "Keys: r raw, t total focus, d depth, f refocused, p pause/resume, n next frame "
                             "(paused), [ ] refocus nearer/farther, s snapshot, q quit"
                          << std::endl;
            }
        }
        // The processor thread runs threadedFunction until its running flag is cleared.
        startThread();
    } catch (const CVyException& exception) {
        reportExceptionAndWaitForKey(exception);
    }
    return true;
}

void VyProcessor::signalChange() {
    {
        const MutexLock lock(changeMutex);
        ++changes;
    }
    changed.notify_all();
}

void VyProcessor::waitForChange(std::chrono::milliseconds longest) const {
    MutexLock lock(changeMutex);
    const uint64_t seen = changes;
    const auto until = std::chrono::steady_clock::now() + longest;
    while (changes == seen) {
        if (changed.wait_until(lock.native(), until) == std::cv_status::timeout) {
            return;
        }
    }
}

void VyProcessor::setDisplayType(DisplayType type) {
    if (type != displayType.load()) {
        displayType.store(type);
        viewer.beginSeries();
        showAgainWanted = true;
        signalChange();
    }
}

void VyProcessor::setPaused(bool paused) {
    stepsWanted = 0;
    pausedFlag = paused;
    updateStatus();
    signalChange();
}

void VyProcessor::stepOneFrame() {
    if (pausedFlag.load()) {
        ++stepsWanted;
        signalChange();
    }
}

void VyProcessor::moveRefocus(int steps) {
    // Nearer planes lie at higher virtual depths, the high end of the value.
    refocusValue = std::clamp(refocusValue.load() - steps * kRefocusStep, 0.0, 1.0);
    if (displayType.load() == DisplayType::Refocus) {
        showAgainWanted = true;
        signalChange();
    }
    updateStatus();
}

double VyProcessor::refocusDistanceMm() const {
    if (!(refocusDepthHigh > refocusDepthLow && refocusDepthLow > 0.0)) {
        return 0.0;
    }
    const double v = Vy::Model::refocusVirtualDepth(refocusDepthLow, refocusDepthHigh, refocusValue.load());
    return Vy::Model::distanceFromVirtualDepth(calibrationInUse, v);
}

void VyProcessor::requestSnapshot() {
    if (lcmOutput) {
        std::cout << "snapshot not written (a publishing run shows no frame)" << std::endl;
        return;
    }
    snapshotWanted = true;
    // A paused processor has the frame on show computed again to write it.
    showAgainWanted = true;
    signalChange();
}

void VyProcessor::setSequence(const std::string& name, uint64_t frames) {
    sequenceName = name;
    sequenceFrames = frames;
}

void VyProcessor::setRecording(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    profile.setRecording(error ? path : absolute.lexically_normal().string());
}

std::string VyProcessor::statusText() const {
    const DisplayType type = displayType.load();
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.1f fps", rate.load());
    // The frame on show by the number the console printed for it, and its id.
    const int64_t shown = shownFrame.load();
    std::string text = sequenceName.empty() ? std::string("MarlinProfileProc") : sequenceName;
    text += " | frame " + (shown < 0 ? std::string("-") : std::to_string(shown >> 32));
    text += live ? "" : " of " + std::to_string(sequenceFrames);
    if (shown >= 0) {
        text += " (id " + std::to_string(static_cast<int32_t>(shown & 0xffffffff)) + ")";
    }
    if (live) {
        text += ", " + std::to_string(skippedTotal.load()) + " skipped for display";
    }
    text += " | type " + std::to_string(displayTypeNumber(type)) + " " + displayTypeName(type);
    if (type == DisplayType::Refocus) {
        char focus[48];
        std::snprintf(focus, sizeof focus, " at %.0f mm", refocusDistanceMm());
        text += focus;
    }
    text += std::string(" | ") + rateText;
    if (pausedFlag.load()) {
        text += " | paused";
    }
    return text;
}

void VyProcessor::updateStatus() {
    if (viewer.handle() > 0) {
        Viewer::setStatus(viewer.handle(), statusText());
    }
}

void VyProcessor::countDone() {
    hasFrame = true;
    ++frameCount;
    ++processedTotal;
    const auto now = std::chrono::steady_clock::now();
    if (rateFrames == 0 && rateStart == std::chrono::steady_clock::time_point{}) {
        rateStart = now;
    }
    ++rateFrames;
    const auto spent = now - rateStart;
    if (spent >= kRateWindow) {
        rate = rateFrames / std::chrono::duration<double>(spent).count();
        rateStart = now;
        rateFrames = 0;
    }
    updateStatus();
}

bool VyProcessor::addFrame(CVyImage image, const std::function<bool()>& keepTrying) {
    const uint64_t bytes = image.IsEmpty() ? 0 : image.GetByteSize();
    // Only this thread adds bytes, so room seen here stays room until the frame is in.
    const auto tryMoveIn = [&] {
        const uint64_t queued = queuedBytes.load();
        if (queued > 0 && queued + bytes > kMaxQueuedBytes) {
            return false;
        }
        queuedBytes += bytes;
        if (imageQueue.MoveIn(image)) {
            return true;
        }
        queuedBytes -= bytes;
        return false;
    };
    try {
        bool taken = tryMoveIn();
        while (!taken && keepTrying && keepTrying()) {
            // The queue's MoveIn never waits: the processor's taking a frame wakes this thread to try again.
            waitForChange(std::chrono::milliseconds(kQueueWaitMilliseconds));
            taken = tryMoveIn();
        }
        if (!taken) {
            ++droppedTotal;
            std::cout << "proc: dropped Frame!" << std::endl;
        }
        return taken;
    } catch (const CVyException& exception) {
        reportWorkerException(exception.ToString(true).ToCString(), keepTrying);
        return false;
    }
}

uint32_t VyProcessor::addNewestFrame(CVyImage image) {
    uint32_t replaced = 0;
    CVyImage older;
    // The processor thread may take the waiting frame first: then none is replaced.
    while (imageQueue.MoveOut(older)) {
        queuedBytes -= older.IsEmpty() ? 0 : older.GetByteSize();
        ++replaced;
    }
    skippedTotal += replaced;
    addFrame(std::move(image));
    return replaced;
}

void VyProcessor::threadedFunction() {
    // Every failure of a frame is reported and the loop goes on with the next one:
    // a processor that ended here would leave the reader waiting for room.
    const auto keepWaiting = [this] { return isThreadRunning(); };
    frameCount = 0;
    outputStage.start();
    while (isThreadRunning()) {
        if (pausedFlag.load() && stepsWanted.load() <= 0) {
            // Paused: the queue is left alone; the frame on show may be wanted again.
            if (showAgainWanted.exchange(false)) {
                runReportingFailures([this] { showAgain(); }, keepWaiting);
            }
            waitForChange(std::chrono::milliseconds(kQueueWaitMilliseconds));
            continue;
        }
        if (!imageQueue.WaitForNotEmpty(kQueueWaitMilliseconds)) {
            continue;
        }
        // The pause may have come while this thread waited: the frame stays queued.
        if (pausedFlag.load() && stepsWanted.load() <= 0) {
            continue;
        }
        if (!imageQueue.MoveOut(inputImage)) {
            continue;
        }
        queuedBytes -= inputImage.IsEmpty() ? 0 : inputImage.GetByteSize();
        signalChange();  // room for the reader
        if (pausedFlag.load() && stepsWanted.load() > 0) {
            --stepsWanted;
        }
        showAgainWanted = false;  // a new frame shows every change
        if (!ready.load()) {
            ++droppedTotal;
            continue;
        }
        ++framesInWorkCount;
        if (!runReportingFailures([this] { computeAndHandOn(inputImage, false); }, keepWaiting)) {
            --framesInWorkCount;  // it never reached the output thread
        }
    }
    // Every frame computed goes out before the thread ends, so the outputs can be closed after it.
    outputStage.finish();
}

void VyProcessor::showAgain() {
    // The frame on show is the one finished last: wait for it, so it is not shown again before it is shown.
    outputStage.drain();
    if (!hasFrame.load() || lcmOutput || !ready.load()) {
        snapshotWanted = false;
        return;
    }
    computeAndHandOn(inputImage, true);
}

void VyProcessor::computeAndHandOn(const CVyImage& raw, bool again) {
    ComputedFrame frame;
    frame.info.again = again;
    frame.info.type = displayType.load();
    frame.info.timeStamp = raw.timeStamp;
    frame.info.frameId = raw.frameId;
    {
        const StageClock::Span span(stages.compute);
        compute.UploadRawImage(raw);
        Vy::Engine::computeDisplayImage(compute, *imageAccess, frame.info.type, refocusValue.load(), frame.image);
        if (Vy::Engine::computesDepth(frame.info.type)) {
            imageAccess->GetImage(Vy::ImageIdVirtualDepth, frame.depth);
        }
    }
    frame.info.snapshot = snapshotWanted.exchange(false);
    outputStage.hand(std::move(frame));
}

void VyProcessor::finishFrame(ComputedFrame& frame) {
    // A frame whose measurement or outputs fail is reported and not counted as processed.
    runReportingFailures([this, &frame] { measureAndDeliver(frame); }, [this] { return isThreadRunning(); });
    if (!frame.info.again) {
        --framesInWorkCount;
    }
}

void VyProcessor::measureAndDeliver(ComputedFrame& frame) {
    FrameInfo& info = frame.info;
    // A frame shown again keeps the number it was shown with.
    info.number = info.again ? frameCount - 1 : frameCount;
    if (info.snapshot) {
        const std::string name = !runName.empty() ? runName : sequenceName.empty() ? "frame" : sequenceName;
        info.snapshotBase =
            Snapshot::baseName(outputDir, name, info.number, info.frameId, displayTypeNumber(info.type));
    }
    // The frame's depths at the ends of the searched range (counted once, when it came).
    if (!info.again && !frame.depth.IsEmpty() && frame.depth.GetFormat().GetBitDepth() == 32) {
        const std::string warning =
            depthRangeCheck.add(static_cast<const float*>(frame.depth.GetPixelData()),
                                static_cast<size_t>(frame.depth.GetWidth()) * frame.depth.GetHeight());
        if (!warning.empty()) Console::diagnostic(warning);
    }
    if (info.type == DisplayType::Profile) {
        ProfileStep::Picture picture;
        {
            const StageClock::Span span(stages.measure);
            picture = profile.measure(frame.image, frame.depth, info);
        }
        info.outlines = picture.outlines;
        frame.image = std::move(picture.image);
    }
    // The title names the frame on show as the console does (number and id packed, read whole).
    shownFrame = (static_cast<int64_t>(info.number) << 32) | static_cast<uint32_t>(info.frameId);
    deliver(std::move(frame.image), frame.depth, info);
    if (live && !info.again) {
        const double nowMs = Poco::Timestamp().epochMicroseconds() / 1000.0;
        const double latency = nowMs - info.timeStamp;
        latencySumMs = latencySumMs.load() + latency;
        latencyMaxMs = std::max(latencyMaxMs.load(), latency);
        ++latencyFrames;
    }
    if (info.again) {
        updateStatus();
    } else {
        countDone();
    }
}

void VyProcessor::deliver(CVyImage image, const CVyImage& depth, const FrameInfo& info) {
    TurnedFrame turned;
    if (!lcmOutput) {
        const StageClock::Span span(stages.rotate);
        turned = turnFrame(std::move(image));
    }
    const OutputFrame frame{lcmOutput ? image : turned.image, turned, info, &depth};
    for (FrameSink* output : outputs) {
        output->consume(frame);
    }
}
