#include "VyProcessor.h"

#include <Poco/Timestamp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <opencv2/core.hpp>
#include <thread>
#include <vector>

#include "CCuda.h"
#include "CVyException.h"
#include "CameraModel.h"
#include "Diagnostic.h"
#include "ExceptionReport.h"
#include "PanoraTool.h"
#include "Snapshot.h"
#include "Viewer.h"
#include "VyTypes.h"
#include "engine/DepthColorMap.h"

namespace {

constexpr uint32_t kQueueCapacity = 512;
// Pixel bytes the queue may hold: large frames wait in the file, not in memory.
constexpr uint64_t kMaxQueuedBytes = 256ull << 20;
// How long the idle processor waits for a frame before it looks at its running
// flag again: a run that has ended waits this long for the thread to stop.
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

VyProcessor::VyProcessor(const VyRunOptions& options)
    : logFileName(profileLogFileName(options.outputDir, Poco::Timestamp().epochMicroseconds())),
      lcmOutput(options.lcmOutput),
      settingsPath(options.settingsPath.empty() ? defaultSettingsPath() : options.settingsPath),
      turn(stages.rotate),
      viewer(turn, stages.show),
      recording(turn, stages.record) {
    // Only a publishing run talks to LCM; it neither shows nor records.
    if (lcmOutput) {
        publisher = std::make_unique<LcmPublisher>(lcm_create(""), inputImage, stages.publish,
                                                   [this](CVyImage& target, const CVyImage& source, int factor) {
                                                       compute.ResizeImage(&target, &source, factor);
                                                   });
        outputs.push_back(publisher.get());
    } else {
        // The turn is shared: it runs once, before the window and the recording.
        outputs = {&turn, &viewer, &recording};
    }
    outputDir = options.outputDir.empty() ? "." : options.outputDir;
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
    profileSettings = Vy::Analysis::readProfileSettings(params);
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
    // Refocusing: 0 at the calibration's lowest virtual depth (farthest), 1 at its highest, linear in 1/v.
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
        const double r = (1.0 / refocusDepthLow - 1.0 / v) / (1.0 / refocusDepthLow - 1.0 / refocusDepthHigh);
        refocusValue = std::clamp(r, 0.0, 1.0);
    }
    const auto [searchLow, searchHigh] =
        Vy::Model::searchedVirtualDepths(calibration, params.GetNumber(Params::CudaCompute_DepthVirtualMin),
                                         params.GetNumber(Params::CudaCompute_DepthVirtualMax));
    depthRangeCheck.setRange(searchLow, searchHigh,
                             static_cast<int>(std::lround(params.GetNumber(Params::CudaCompute_DepthSteps))));
    tracker = Vy::Analysis::ParticleTracker(profileSettings.tracking);
    calibrationInUse = calibration;
    imageAccess = static_cast<IImageAccess*>(compute.GetInterface(1));
    if (imageAccess == nullptr) {
        throw CVyException("setupCompute", "interface 1", "the engine offers no image access");
    }
    calibrated = true;
}

void VyProcessor::setWhiteImage(const CVyImage& white) { compute.SetWhiteImage(white); }

void VyProcessor::uploadFirstImage() {
    CVyImage blank;
    blank.Create(imageFormat);
    compute.UploadRawImage(blank);
}

double VyProcessor::engineSetting(uint32_t id) { return compute.GetParams().GetNumber(id); }

bool VyProcessor::takeQueuedFrame(CVyImage& frame) {
    if (!imageQueue.MoveOut(frame)) {
        return false;
    }
    queuedBytes -= frame.IsEmpty() ? 0 : frame.GetByteSize();
    return true;
}

void VyProcessor::openOutputVideo(std::string outputBasePath) {
    if (lcmOutput) {
        return;  // a publishing run records nothing
    }
    recording.open(outputBasePath);
    viewer.setDepthScaleFile(recording.depthScaleFileName());
}

void VyProcessor::releaseVideo() {
    for (FrameSink* output : outputs) {
        output->close();
    }
}

int VyProcessor::startProcessor() {
    if (!calibrated) {
        std::cout << "Can't start processor thread without calibration." << std::endl;
        return 1;
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
    return 0;
}

void VyProcessor::setDisplayType(DisplayType type) {
    if (type != displayType.load()) {
        displayType.store(type);
        viewer.beginSeries();
        showAgainWanted = true;
    }
}

void VyProcessor::setPaused(bool paused) {
    stepsWanted = 0;
    pausedFlag = paused;
    updateStatus();
}

void VyProcessor::stepOneFrame() {
    if (pausedFlag.load()) {
        ++stepsWanted;
    }
}

void VyProcessor::moveRefocus(int steps) {
    // Nearer planes lie at higher virtual depths, the high end of the value.
    refocusValue = std::clamp(refocusValue.load() - steps * kRefocusStep, 0.0, 1.0);
    if (displayType.load() == DisplayType::Refocus) {
        showAgainWanted = true;
    }
    updateStatus();
}

double VyProcessor::refocusDistanceMm() const {
    if (!(refocusDepthHigh > refocusDepthLow && refocusDepthLow > 0.0)) {
        return 0.0;
    }
    const double r = refocusValue.load();
    const double v = 1.0 / ((1.0 - r) / refocusDepthLow + r / refocusDepthHigh);
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
}

void VyProcessor::setSequence(const std::string& name, uint64_t frames) {
    sequenceName = name;
    sequenceFrames = frames;
}

std::string VyProcessor::statusText() const {
    const DisplayType type = displayType.load();
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.1f fps", rate.load());
    // frameCount counts frames done; the one on show is the last of them.
    const uint64_t done = processedTotal.load();
    std::string text = sequenceName.empty() ? std::string("MarlinProfileProc") : sequenceName;
    text += " | frame " + std::to_string(done) + " of " + std::to_string(sequenceFrames);
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

void VyProcessor::countRate() {
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
            // The processor is behind: give it a moment to free a slot.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
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

void VyProcessor::threadedFunction() {
    frameCount = 0;
    const auto keepWaiting = [this] { return isThreadRunning(); };
    while (isThreadRunning()) {
        if (pausedFlag.load() && stepsWanted.load() <= 0) {
            // Paused: the queue is left alone; the frame on show may be wanted again.
            if (showAgainWanted.exchange(false)) {
                try {
                    showAgain();
                } catch (const CVyException& exception) {
                    reportWorkerException(exception.ToString(true).ToCString(), keepWaiting);
                } catch (const std::exception& exception) {
                    reportWorkerException(exception.what(), keepWaiting);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kQueueWaitMilliseconds));
            continue;
        }
        if (!imageQueue.WaitForNotEmpty(kQueueWaitMilliseconds)) {
            std::this_thread::yield();
            continue;
        }
        // The pause may have come while this thread waited: the frame stays queued.
        if (pausedFlag.load() && stepsWanted.load() <= 0) {
            continue;
        }
        if (!takeQueuedFrame(inputImage)) {
            std::this_thread::yield();
            continue;
        }
        if (pausedFlag.load() && stepsWanted.load() > 0) {
            --stepsWanted;
        }
        showAgainWanted = false;  // a new frame shows every change
        // Every failure of a frame is reported and the loop goes on with the next one:
        // a processor that ended here would leave the reader waiting for room.
        try {
            if (!ready.load()) {
                ++droppedTotal;
                continue;
            }
            computeAndOutput();
            hasFrame = true;
            ++frameCount;
            ++processedTotal;
            countRate();
            updateStatus();
        } catch (const CVyException& exception) {
            reportWorkerException(exception.ToString(true).ToCString(), keepWaiting);
        } catch (const std::exception& exception) {
            reportWorkerException(exception.what(), keepWaiting);
        } catch (...) {
            reportWorkerException("unknown exception", keepWaiting);
        }
    }
}

void VyProcessor::computeAndOutput() {
    const DisplayType type = displayType.load();
    if (type == DisplayType::Profile) {
        processProfileFrame();  // measures, logs and outputs the frame itself
    } else {
        computeDisplayType(type);
        outputFrame(resultImage);
    }
}

void VyProcessor::showAgain() {
    if (!hasFrame || lcmOutput || !ready.load()) {
        snapshotWanted = false;
        return;
    }
    showingAgain = true;
    try {
        computeAndOutput();
    } catch (...) {
        showingAgain = false;
        throw;
    }
    showingAgain = false;
    updateStatus();
}

void VyProcessor::computeDisplayType(DisplayType type) {
    const StageClock::Span span(stages.compute);
    compute.UploadRawImage(inputImage);
    compute.Compute_PreProcess();
    uint32_t imageId = Vy::ImageIdPreProcessed;
    switch (type) {
        case DisplayType::TotalFocus:
            compute.Compute_DepthRay();
            compute.Compute_DepthMap(LF::Space_VirtualImage);
            compute.Compute_TotalFocus(LF::Space_VirtualImage);
            imageId = Vy::ImageIdTotalFocus;
            break;
        case DisplayType::Depth:
            compute.Compute_DepthRay();
            compute.Compute_DepthMap(LF::Space_VirtualImage);
            compute.Compute_Depth3D();
            compute.Compute_DepthColorCode(LF::Space_VirtualImage);
            imageId = Vy::ImageIdDepthColorCoded;
            break;
        case DisplayType::Refocus:
            compute.GetParams().SetValue(Params::CudaCompute_RefocusVirtualDepth, refocusValue.load());
            compute.Compute_RefocusBasic();
            imageId = Vy::ImageIdRefocused;
            break;
        default:
            // Raw and every value without a pipeline of its own: the pre-processed raw image.
            break;
    }
    if (type == DisplayType::TotalFocus || type == DisplayType::Depth) checkDepthRange();
    imageAccess->GetImage(imageId, resultImage);
}

void VyProcessor::checkDepthRange() {
    if (showingAgain) return;  // the frame was counted when it came
    imageAccess->GetImage(Vy::ImageIdVirtualDepth, depthImage);
    if (depthImage.IsEmpty() || depthImage.GetFormat().GetBitDepth() != 32) return;
    const std::string warning =
        depthRangeCheck.add(static_cast<const float*>(depthImage.GetPixelData()),
                            static_cast<size_t>(depthImage.GetWidth()) * depthImage.GetHeight());
    if (!warning.empty()) Console::diagnostic(warning);
}

void VyProcessor::outputFrame(CVyImage& image, std::optional<Vy::Analysis::OutlineCounts> outlines) {
    FrameInfo info;
    info.outlines = outlines;
    info.number = showingAgain ? frameCount - 1 : frameCount;
    info.again = showingAgain;
    info.type = displayType.load();
    if (snapshotWanted.exchange(false)) {
        info.snapshotBase = Snapshot::baseName(outputDir, sequenceName.empty() ? "frame" : sequenceName,
                                               inputImage.frameId, displayTypeNumber(info.type));
    }
    for (FrameSink* output : outputs) {
        output->consume(image, info);
    }
}
