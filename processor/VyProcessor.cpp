#include "VyProcessor.h"

#include <Poco/Timestamp.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "CCuda.h"
#include "CVyException.h"
#include "CameraModel.h"
#include "DepthScale.h"
#include "DisplayImage.h"
#include "ExceptionReport.h"
#include "FrameReduction.h"
#include "PanoraTool.h"
#include "Snapshot.h"
#include "Viewer.h"
#include "VyTypes.h"
#include "engine/DepthColorMap.h"

namespace {

constexpr uint32_t kQueueCapacity = 512;
// Pixel bytes the queue may hold: large frames wait in the file, not in memory.
constexpr uint64_t kMaxQueuedBytes = 256ull << 20;
// Numbered names tried when the recording's name is taken.
constexpr int kMaxVideoNumber = 999;
// Frames the recorder may hold before the processor waits for it.
constexpr size_t kRecorderQueue = 4;
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

// The OpenCV element type that wraps an image's samples without reading past them.
int matTypeOf(const CVyImageFormat& format) {
    const int depth = format.GetBitDepth() == 16 ? CV_16U : CV_8U;
    const int channels = format.GetChannelCount();
    if (channels <= 0) {
        return format.pixelType == Vy::PixelTypeLuminance ? CV_16UC1 : CV_8UC3;
    }
    return CV_MAKETYPE(depth, channels);
}

}  // namespace

std::string profileLogFileName(const std::string& outputDir, int64_t unixMicroseconds) {
    const int64_t ticks = unixMicroseconds * 10 + kGregorianToUnixTicks;
    return outputDir + "/VyProc_" + std::to_string(ticks) + ".csv";
}

class VyProcessor::LocalOutput : public FrameSink {
public:
    explicit LocalOutput(VyProcessor& owner) : processor(owner) {}
    void consume(CVyImage& image) override { processor.showAndRecord(image); }
    void close() override {
        processor.recorder.finish();
        processor.videoWriter.release();
    }

private:
    VyProcessor& processor;
};

VyProcessor::VyProcessor(const VyRunOptions& options)
    : logFileName(profileLogFileName(options.outputDir, Poco::Timestamp().epochMicroseconds())),
      lcmOutput(options.lcmOutput),
      settingsPath(options.settingsPath.empty() ? defaultSettingsPath() : options.settingsPath),
      recorder(videoWriter, kRecorderQueue) {
    // Only a publishing run talks to LCM; it neither shows nor records.
    if (lcmOutput) {
        publisher = std::make_unique<LcmPublisher>(lcm_create(""), inputImage, stages.publish,
                                                   [this](CVyImage& target, const CVyImage& source, int factor) {
                                                       compute.ResizeImage(&target, &source, factor);
                                                   });
        outputs.push_back(publisher.get());
    } else {
        localOutput = std::make_unique<LocalOutput>(*this);
        outputs.push_back(localOutput.get());
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
    tracker = Vy::Analysis::ParticleTracker(profileSettings.tracking);
    calibrationInUse = calibration;
    imageAccess = static_cast<IImageAccess*>(compute.GetInterface(1));
    calibrated = true;
}

void VyProcessor::openOutputVideo(std::string outputBasePath) {
    if (lcmOutput) {
        return;  // a publishing run records nothing
    }
    // The name is claimed with an exclusive create, so an earlier recording (or a
    // second run at the same time) is never overwritten: a taken name gets a number.
    std::string name = outputBasePath + ".mp4";
    int claimed = -1;
    for (int number = 1; claimed < 0 && number <= kMaxVideoNumber + 1; ++number) {
        claimed = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (claimed < 0) {
            videoError = std::strerror(errno);
            if (errno != EEXIST || number > kMaxVideoNumber) {
                break;
            }
            name = outputBasePath + "-" + std::to_string(number) + ".mp4";
        }
    }
    if (claimed >= 0) {
        ::close(claimed);
        videoName = name;
        // MP4 takes no DIVX tag: asked for it, the writer falls back to mp4v with a note of its own.
        // The same MPEG-4 stream is asked for under mp4v at once, and said here in our words.
        videoWriter.open(videoName, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 30.0,
                         cv::Size(FrameRecorder::kVideoSide, FrameRecorder::kVideoSide), true);
        if (videoWriter.isOpened()) {
            std::cerr << "MarlinProfileProc: recording MPEG-4 (DIVX) under the MP4 tag 'mp4v'" << std::endl;
            videoError.clear();
            recorder.watchSpace(videoName);
            return;
        }
        videoError = "the video writer refused it";
        std::remove(videoName.c_str());
        videoName.clear();
    }
    videoError = name + ": " + videoError;
    std::cout << "Could not open the output video for write: " << outputBasePath << std::endl;
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
            Panora::Tool::CreateViewImage(viewHandle, 0, 0, 1000, 800, "VyProcessorView");
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
        imageShown.store(false);
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
    if (viewHandle > 0) {
        Viewer::setStatus(viewHandle, statusText());
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
        if (!imageQueue.MoveOut(inputImage)) {
            std::this_thread::yield();
            continue;
        }
        if (pausedFlag.load() && stepsWanted.load() > 0) {
            --stepsWanted;
        }
        queuedBytes -= inputImage.IsEmpty() ? 0 : inputImage.GetByteSize();
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
    imageAccess->GetImage(imageId, resultImage);
}

void VyProcessor::outputFrame(CVyImage& image) {
    for (FrameSink* output : outputs) {
        output->consume(image);
    }
}

void VyProcessor::showAndRecord(CVyImage& image) {
    const CVyImageFormat& format = image.GetFormat();
    if (!image.IsEmpty() && format.pixelType == Vy::PixelTypeLuminance && format.GetBitDepth() == 16 &&
        format.GetChannelCount() == 1) {
        showAndRecordWide(image);
        return;
    }
    cv::Mat view;
    {
        const StageClock::Span span(stages.rotate);
        if (!image.IsEmpty()) {
            view = cv::Mat(format.height, format.width, matTypeOf(format), image.GetPixelDataForWrite());
        }
        if (view.empty()) {
            std::cout << "image empty" << std::endl;
        } else {
            cv::rotate(view, view, cv::ROTATE_180);
        }
    }
    {
        const StageClock::Span span(stages.show);
        // A frame shown again keeps its number.
        std::cout << (showingAgain ? frameCount - 1 : frameCount) << std::endl;
        const bool depthPicture =
            displayType.load() == DisplayType::Depth && format.pixelType == Vy::PixelTypeBGR && !view.empty();
        // Without a window the viewer's conversion would be thrown away.
        if (depthPicture) {
            showDepthWithScale(view);
        } else if (Viewer::isShowing()) {
            Panora::Tool::ViewSetImage(viewHandle, &image, imageShown.load());
        }
        if (snapshotWanted.exchange(false)) {
            // The image is turned already; PNG wants blue first.
            cv::Mat shown, result = view;
            Viewer::toDisplayable(image, shown);
            if (format.pixelType == Vy::PixelTypeRGB) {
                cv::cvtColor(view, result, cv::COLOR_RGB2BGR);
            }
            writeSnapshot(result, shown);
        }
    }
    if (showingAgain) {
        return;
    }
    const StageClock::Span span(stages.record);
    try {
        // The recording: an 8-bit copy goes to the recorder thread, which makes
        // a 1024 x 1024 colour frame of it while this thread goes on.
        cv::Mat frame;
        if (view.depth() == CV_16U) {
            view.convertTo(frame, CV_8U, 0.015625, 0);
        } else {
            frame = view.clone();
        }
        if (format.pixelType == Vy::PixelTypeRGB) {
            cv::cvtColor(frame, frame, cv::COLOR_RGB2BGR);
        }
        recorder.record(std::move(frame));
    } catch (const std::exception& exception) {
        std::cout << exception.what() << std::endl;
    }
    imageShown.store(true);
}

void VyProcessor::showAndRecordWide(const CVyImage& image) {
    // Read in place: nothing writes the samples, so an image shared with the
    // engine is not copied, and only the reduced frames are turned.
    const cv::Mat wide(image.GetHeight(), image.GetWidth(), CV_16UC1, const_cast<void*>(image.GetPixelData()));
    cv::Mat frame;
    std::string failure;
    {
        const StageClock::Span span(stages.rotate);
        try {
            frame = FrameReduction::recordingFrame(wide, FrameRecorder::kVideoSide);
        } catch (const std::exception& exception) {
            failure = exception.what();
        }
    }
    {
        const StageClock::Span span(stages.show);
        std::cout << (showingAgain ? frameCount - 1 : frameCount) << std::endl;
        const bool snapshot = snapshotWanted.exchange(false);
        if (Viewer::isShowing() || snapshot) {
            CVyImage shown;
            if (shown.Create(CVyImageFormat{image.GetWidth(), image.GetHeight(), Vy::PixelTypeLuminance,
                                            Vy::DataTypeUnsignedByte})) {
                cv::Mat turned(image.GetHeight(), image.GetWidth(), CV_8UC1, shown.GetPixelDataForWrite());
                FrameReduction::displayFrame(wide, turned);
                if (Viewer::isShowing()) {
                    Panora::Tool::ViewSetImage(viewHandle, &shown, imageShown.load());
                }
                if (snapshot) {
                    cv::Mat result;
                    cv::rotate(wide, result, cv::ROTATE_180);  // as shown
                    writeSnapshot(result, turned);
                }
            }
        }
    }
    if (showingAgain) {
        return;
    }
    const StageClock::Span span(stages.record);
    if (failure.empty()) {
        try {
            recorder.record(std::move(frame));
        } catch (const std::exception& exception) {
            failure = exception.what();
        }
    }
    if (!failure.empty()) {
        std::cout << failure << std::endl;
    }
    imageShown.store(true);
}

void VyProcessor::showDepthWithScale(const cv::Mat& colours) {
    if (!depthScaleWritten) {
        depthScaleWritten = true;
        // The scale goes once beside the recording, so the colours of the video can be read later.
        if (!videoName.empty()) {
            const std::string path = videoName.substr(0, videoName.size() - 4) + ".depth-scale.png";
            std::string error;
            if (DepthScale::writePng(path, colourNear, colourFar, error)) {
                std::cout << "depth scale: " << path << std::endl;
            } else {
                std::cout << "depth scale not written (" << path << ": " << error << ")" << std::endl;
            }
        }
    }
    if (!Viewer::isShowing()) {
        return;
    }
    if (colourBar.rows != colours.rows) {
        colourBar = DepthScale::bar(colours.rows, colourNear, colourFar);
    }
    const cv::Mat both = DepthScale::besidePicture(colours, colourBar);
    CVyImage shown;
    if (shown.Create(both.cols, both.rows, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, both.data)) {
        Panora::Tool::ViewSetImage(viewHandle, &shown, imageShown.load());
    }
}

void VyProcessor::writeSnapshot(const cv::Mat& result, const cv::Mat& shown) {
    const std::string base = Snapshot::baseName(outputDir, sequenceName.empty() ? "frame" : sequenceName,
                                                inputImage.frameId, displayTypeNumber(displayType.load()));
    std::cout << Snapshot::write(base, result, shown) << std::endl;
}
