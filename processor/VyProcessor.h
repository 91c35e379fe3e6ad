// The frame processor: takes raw frames from its queue, computes the image of
// the current display type, and shows, records, logs or publishes it.
//
// Threads: the main thread builds, sets up and starts the processor and sends
// it requests (display type, pause, step, refocus, snapshot); the reader thread
// hands frames in through addFrame; the processor thread (threadedFunction) is
// the only consumer of the queue and the only user of the engine while it runs;
// the output thread (the processor thread's OutputStage) alone measures the
// profile frames and uses the outputs (window, recording, LCM). Each member
// below names its threads.
//
// The frame's path: reader -> queue -> engine steps (processor thread) ->
// measurement, turn, outputs (output thread).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "CCudaCompute.h"
#include "CImageQueue.h"
#include "CVyImage.h"
#include "CVyImageFormat.h"
#include "DepthRangeCheck.h"
#include "DisplayType.h"
#include "Mutex.h"
#include "OutputStage.h"
#include "ProfileStep.h"
#include "RecorderOutput.h"
#include "RunOptions.h"
#include "RunReport.h"
#include "StageClock.h"
#include "ThreadAnnotations.h"
#include "ViewerOutput.h"
#include "ofThread.h"

class FrameSink;
class IImageAccess;
class LcmPublisher;

class VyProcessor : public ofThread {
public:
    explicit VyProcessor(const VyRunOptions& options = VyRunOptions());
    ~VyProcessor();
    VyProcessor(const VyProcessor&) = delete;
    VyProcessor& operator=(const VyProcessor&) = delete;

    // Main thread, before startProcessor.
    // Binds the engine to device 0, the calibration and the settings file.
    // A runtime failure leaves as CVyException and the processor stays uncalibrated.
    void setupCompute(const CCalibration& calibration);
    // The white image the engine divides the raw frames by.
    void setWhiteImage(const CVyImage& white);
    // The format of the raw frames: one blank frame of it is uploaded to the device, so
    // that the first frame of the replay is not the slow one.
    void setImageFormat(const CVyImageFormat& format);
    // The sequence's name and frame count, for the window's status and the snapshot names.
    void setSequence(const std::string& name, uint64_t frames);
    // The path of the recording replayed (made absolute), written into the particle table's rows.
    void setRecording(const std::string& path);
    // Opens "<outputBasePath>.mp4", or "<outputBasePath>-N.mp4" when that name is
    // taken; reports on the console when it cannot. Records nothing in a publishing run.
    void openOutputVideo(const std::string& outputBasePath);
    // A live run: the frames' time stamps are their arrival (host clock), so the report gives
    // the time from arrival to the end of the outputs; the window's status counts the frames
    // skipped for display (addNewestFrame) in place of the frames to come.
    void markLive() { live = true; }
    // Once the first frame is read: until then the processor drops frames.
    void markReady() { ready = true; }
    // Opens the viewer window (unless publishing) and starts the thread; false
    // (and a line saying so) when refused for want of calibration.
    bool startProcessor();

    // Main thread, any time: requests taken by the processor thread.
    // A new type takes effect with the next frame; a change marks the next image as the first of a series.
    // While paused, the frame on show is computed again in the new type and shown (not recorded).
    void setDisplayType(DisplayType type);
    // A paused processor finishes the frame it is computing and then leaves the queue
    // alone, so the frames waiting there are shown after the pause, none dropped.
    void setPaused(bool paused);
    // While paused: the next frame is taken, processed, counted, recorded and logged
    // like any other. Ignored when not paused.
    void stepOneFrame();
    // Moves the refocus plane by steps of a twentieth of the calibration's range
    // (negative: nearer); the frame on show is refocused again while paused.
    void moveRefocus(int steps);
    // The frame being shown is written as PNG files (lossless result and 8-bit view);
    // the paths, or why not, on one line.
    void requestSnapshot();

    // Any thread.
    bool isPaused() const { return pausedFlag.load(); }
    // Whether a paused processor waits for a frame to step to (the reader brings one).
    bool wantsFrame() const { return pausedFlag.load() && stepsWanted.load() > 0; }
    DisplayType currentDisplayType() const { return displayType.load(); }
    // The distance (mm) of the refocus plane; 0 without a calibration.
    double refocusDistanceMm() const;
    // The window's status: sequence, frame k of N, display type, rate, "paused".
    std::string statusText() const;
    // Waits up to `longest` for a request of the main thread (or a frame taken from
    // the queue), so that waiting threads wake when there is something to do.
    void waitForChange(std::chrono::milliseconds longest) const EXCLUDES(changeMutex);

    // Reader thread: hands one frame over. When the queue is full and keepTrying is
    // given, waits for room while keepTrying() holds, so no frame of a recording is
    // lost; without it a full queue drops the frame. Returns whether the queue took it.
    bool addFrame(CVyImage image, const std::function<bool()>& keepTrying = nullptr);
    // Camera thread: hands the newest frame over in place of any still waiting, so a display
    // that falls behind shows the latest frame rather than an old one. Returns how many
    // waiting frames it replaced (none were processed). Never waits.
    uint32_t addNewestFrame(CVyImage image);
    // Any thread: frames waiting for the processor.
    uint32_t framesQueued() const { return imageQueue.GetSize(); }
    // Any thread: frames taken from the queue whose outputs are not done yet (in the engine or the
    // output thread), so that a run can wait for a stepped frame to be shown.
    uint32_t framesInWork() const { return framesInWorkCount.load(); }

    // What the run did so far; any thread. Complete once finish() has returned.
    RunReport report() const;
    // Once the processor thread has ended: the outputs write what they still hold and
    // close (the recording, a file log of LCM).
    void finish();

    // Set by setupCompute; the display's depth colour range (mm) and the viewer window
    // (0 before startProcessor or in a publishing run).
    bool isCalibrated() const { return calibrated; }
    double depthColourNear() const { return colourNear; }
    double depthColourFar() const { return colourFar; }
    int32_t viewerHandle() const { return viewer.handle(); }
    // Main thread, before startProcessor: a value of the engine's settings.
    double engineSetting(uint32_t id) { return compute.GetParams().GetNumber(id); }
    // Whether the viewer has shown a frame since the display type last changed (any thread).
    bool imageShown() const { return viewer.imageShown(); }

private:
    void threadedFunction() override;
    // Processor thread: the frame's engine steps, handed on to the output thread.
    void computeAndHandOn(const CVyImage& raw, bool again);
    // While paused: the frame on show computed again (type change, refocus, snapshot), shown, not recorded.
    void showAgain();
    // Output thread: the measurement (type 4), the depth check, the outputs; the frame counted.
    void finishFrame(ComputedFrame& frame);
    void measureAndDeliver(ComputedFrame& frame);
    void deliver(CVyImage image, const CVyImage& depth, const FrameInfo& info);
    void countDone();
    void updateStatus();
    // Any thread: a request or a frame taken wakes whoever waits in waitForChange.
    void signalChange() EXCLUDES(changeMutex);

    // Main thread until startThread; then only the processor thread.
    CCudaCompute compute;
    IImageAccess* imageAccess = nullptr;
    // The reader thread moves frames in, the processor thread moves them out.
    CImageQueue imageQueue;
    // Processor thread: the frame in work and the last one taken (shown again while paused).
    CVyImage inputImage;
    // The raw frame format: main thread, before startProcessor.
    CVyImageFormat imageFormat;

    // Written once at construction or set-up (main thread), read by every thread after.
    bool lcmOutput = false;
    bool calibrated = false;
    std::string settingsPath;
    std::string outputDir;
    std::string sequenceName;
    std::string runName;
    uint64_t sequenceFrames = 0;
    double colourNear = 0.0;
    double colourFar = 0.0;
    // Refocus value range mapped to distances: virtual depths at 0 and 1.
    double refocusDepthLow = 0.0;
    double refocusDepthHigh = 0.0;
    CCalibration calibrationInUse;

    // Main thread writes, every thread reads.
    std::atomic<DisplayType> displayType{DisplayType::Profile};
    std::atomic<double> refocusValue{0.5};
    // Set by the reader thread, read by the processor thread.
    std::atomic<bool> ready{false};
    // Requests of the main thread, taken by the processor thread.
    std::atomic<bool> pausedFlag{false};
    std::atomic<int> stepsWanted{0};
    std::atomic<bool> showAgainWanted{false};
    std::atomic<bool> snapshotWanted{false};
    // Wakes the threads that wait for a request or for room in the queue.
    mutable Mutex changeMutex;
    mutable std::condition_variable changed;
    uint64_t changes GUARDED_BY(changeMutex) = 0;

    // Each clock is added to by one thread (compute: the processor's; the others the
    // output thread's; encoding the recorder's) and read by any thread.
    struct Stages {
        StageClock compute, measure, rotate, show, record, publish;
    } stages;
    // Counters: processedTotal is written by the output thread, droppedTotal by the
    // reader and the processor thread; any thread reads them.
    std::atomic<uint64_t> processedTotal{0};
    std::atomic<uint64_t> droppedTotal{0};
    // Frames replaced by a newer one before the processor took them (camera thread), any thread reads.
    std::atomic<uint64_t> skippedTotal{0};
    // Frames taken and not yet done: the processor thread adds, the output thread subtracts.
    std::atomic<uint32_t> framesInWorkCount{0};
    // Pixel bytes waiting in the queue: the reader thread adds, the processor thread subtracts.
    std::atomic<uint64_t> queuedBytes{0};
    // Output thread: frames done, the number the console shows for the next one; and
    // whether one was done that a paused processor can show again (read by the processor thread).
    int32_t frameCount = 0;
    std::atomic<bool> hasFrame{false};
    // Output thread: the frames counted for the rate since rateStart.
    std::chrono::steady_clock::time_point rateStart{};
    uint64_t rateFrames = 0;
    // Written by the output thread, read by any thread (the status).
    std::atomic<double> rate{0.0};
    // The frame on show: its number in the high and its id in the low 32 bits; -1 before the first.
    std::atomic<int64_t> shownFrame{-1};
    // Set by finish (main thread), read by any thread.
    std::atomic<bool> trackSummaryFailed{false};
    // Set before the start (main thread); the sums written by the output thread, read by any thread.
    bool live = false;
    std::atomic<uint64_t> latencyFrames{0};
    std::atomic<double> latencySumMs{0.0};
    std::atomic<double> latencyMaxMs{0.0};
    // Set up with the calibration, then the output thread's.
    DepthRangeCheck depthRangeCheck;
    ProfileStep profile;

    // The outputs, chosen at construction (main thread): the window and the recording,
    // or only the publisher; then the output thread's. Their own headers say more.
    ViewerOutput viewer;
    RecorderOutput recording;
    std::unique_ptr<LcmPublisher> publisher;  // a publishing run only
    std::vector<FrameSink*> outputs;
    // Started and finished by the processor thread; runs finishFrame on the output thread.
    OutputStage outputStage;
};

// "<outputDir>/VyProc_<ticks>.csv": ticks are 100 ns intervals since 1582-10-15 00:00 UTC.
std::string profileLogFileName(const std::string& outputDir, int64_t unixMicroseconds);
// "<outputDir>/VyProc_<runName>.csv", or the first "VyProc_<runName>-N.csv" for which neither
// the log nor a file named after it (table, track summary, chart) exists.
std::string namedProfileLogFileName(const std::string& outputDir, const std::string& runName);
