// The frame processor: a worker thread that takes raw frames from its queue,
// computes the image of the current display type, and shows, records, logs
// or publishes it.
//
// Threads: the main thread builds, sets up and starts the processor and
// changes the display type; the reader thread hands frames in through
// addFrame; the processor thread (threadedFunction) is the only consumer of
// the queue and the only user of the engine and the outputs (window,
// recording, LCM) while it runs. Each member below names its threads.
//
// The frame's path: reader -> queue -> compute -> outputFrame -> outputs.
#pragma once

#include <lcm/lcm.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CCalibration.h"
#include "CCudaCompute.h"
#include "CImageQueue.h"
#include "CVyImage.h"
#include "CVyImageFormat.h"
#include "DepthRangeCheck.h"
#include "DisplayType.h"
#include "FrameSink.h"
#include "FrameTurn.h"
#include "IImageAccess.h"
#include "ImageMessage.h"
#include "LcmPublisher.h"
#include "ParticleTable.h"
#include "ParticleTracker.h"
#include "ProfileSettings.h"
#include "RecorderOutput.h"
#include "RunOptions.h"
#include "StageClock.h"
#include "ViewerOutput.h"
#include "ofThread.h"

class VyProcessor : public ofThread {
public:
    explicit VyProcessor(const VyRunOptions& options = VyRunOptions());
    ~VyProcessor();
    VyProcessor(const VyProcessor&) = delete;
    VyProcessor& operator=(const VyProcessor&) = delete;

    // Binds the engine to device 0, the calibration and the settings file.
    // A runtime failure leaves as CVyException and the processor stays uncalibrated.
    void setupCompute(const CCalibration& calibration);
    // Opens "<outputBasePath>.mp4", or "<outputBasePath>-N.mp4" when that name is
    // taken; reports on the console when it cannot. Records nothing in LCM output.
    void openOutputVideo(std::string outputBasePath);
    // Closes the outputs: what the recorder still holds is written and the video file
    // closed. Call only once the processor thread has ended.
    void releaseVideo();
    // Opens the viewer window (unless lcmOutput) and starts the thread.
    // 1 when refused for want of calibration, 0 otherwise.
    int startProcessor();
    // A new type takes effect with the next frame; a change marks the next image as the first of a series.
    // While paused, the frame on show is computed again in the new type and shown (not recorded).
    void setDisplayType(DisplayType type);

    // Main thread: a paused processor finishes the frame it is computing and then leaves
    // the queue alone, so the frames waiting there are shown after the pause, none dropped.
    void setPaused(bool paused);
    bool isPaused() const { return pausedFlag.load(); }
    // Main thread, while paused: the next frame is taken, processed, counted, recorded
    // and logged like any other. Ignored when not paused.
    void stepOneFrame();
    // Whether a paused processor waits for a frame to step to (the reader brings one).
    bool wantsFrame() const { return pausedFlag.load() && stepsWanted.load() > 0; }
    // Moves the refocus plane by steps of a twentieth of the calibration's range
    // (negative: nearer); the frame on show is refocused again while paused.
    void moveRefocus(int steps);
    // The distance (mm) of the refocus plane; 0 without a calibration.
    double refocusDistanceMm() const;
    // Main thread: the frame being shown is written as PNG files on the processor's
    // next turn (lossless result and 8-bit view); the paths, or why not, on one line.
    void requestSnapshot();
    // The sequence's name and frame count, for the window's status.
    void setSequence(const std::string& name, uint64_t frames);
    // Near and far ends (mm) of the depth colour code in use.
    double depthColourNear() const { return colourNear; }
    double depthColourFar() const { return colourFar; }
    // The window's status: sequence, frame k of N, display type, rate, "paused".
    std::string statusText() const;

    // Reader thread: hands one frame over. When the queue is full and keepTrying is
    // given, waits for room while keepTrying() holds, so no frame of a recording is
    // lost; without it a full queue drops the frame. Returns whether the queue took it.
    bool addFrame(CVyImage image, const std::function<bool()>& keepTrying = nullptr);

    // Processor thread: the exit of every processed frame, handed to each output
    // chosen at construction (the window and the recording, or LCM).
    void outputFrame(CVyImage& image, std::optional<Vy::Analysis::OutlineCounts> outlines = std::nullopt);
    // Processor thread: the profile measurement (DisplayType::Profile).
    void processProfileFrame();

    // Counters for the end-of-run summary (any thread may read them).
    uint64_t framesProcessed() const { return processedTotal.load(); }
    uint64_t framesRecorded() const { return recording.recorded(); }
    uint64_t framesPublished() const { return publisher ? publisher->published() : 0; }
    // Frames LCM refused to send (a read-only log, a broken transport).
    uint64_t publishFailures() const { return publisher ? publisher->failures() : 0; }
    // Once the outputs are closed: what a file log of LCM lost ("LCM log <path> holds N of M messages (...)").
    std::string lcmLogShortfall() const { return publisher ? publisher->logShortfall() : std::string(); }
    uint64_t framesDropped() const { return droppedTotal.load(); }
    uint64_t profileRows() const { return profileRowTotal.load(); }
    // Frames whose rows could not be added to the particle table.
    uint64_t particleTableFailures() const { return particleTableFailedTotal.load(); }
    // The LCM instance of a publishing run; null otherwise, or when LCM could not be set up.
    lcm_t* lcmHandle() const { return publisher ? publisher->handle() : nullptr; }
    // "<log>.particles.csv"; written only when the settings ask for the table.
    std::string particleTableFileName() const { return Vy::Analysis::particleTableName(logFileName); }
    bool writesParticleTable() const { return profileSettings.particleTable; }
    // The recording's path; empty when none is open.
    const std::string& videoFileName() const { return recording.fileName(); }
    // Why the video could not be opened ("<path>: <reason>"); empty when it was, or when none was asked for.
    const std::string& videoOpenError() const { return recording.openError(); }
    // Why the recording stopped before the run did (disk full, size limit); empty when it did not.
    std::string recordingCut() const { return recording.cutReason(); }
    // Processed frames that did not reach the recording (a cut aside), and why the first did not.
    uint64_t recordingLost() const { return recording.lost(); }
    std::string recordingLoss() const { return recording.firstLoss(); }

    // Where the processor's time went, summed over the run.
    struct Stages {
        StageClock compute;  // upload, light-field pipeline, download
        StageClock measure;  // the profile measurement and its log row (type 4)
        StageClock rotate;   // turning by 180 degrees (a 16-bit image: reduced to the recording frame first)
        StageClock show;     // frame number and viewer
        StageClock record;   // 8-bit frame handed to the recorder (waits included)
        StageClock publish;  // LCM: shrinking, 8-bit conversion, encoding and sending
    };
    const Stages& stageTimes() const { return stages; }
    // Encoding time of the recorder thread.
    double encodeMilliseconds() const { return recording.encodeMilliseconds(); }

    void threadedFunction() override;

    // Any thread.
    DisplayType currentDisplayType() const { return displayType.load(); }
    // 0 focuses at the calibration's farthest plane, 1 at its nearest (any thread).
    double refocusPosition() const { return refocusValue.load(); }
    // Set by setupCompute on the main thread before the processor thread starts.
    bool isCalibrated() const { return calibrated; }
    // Fixed at construction: a publishing run neither shows nor records.
    bool publishes() const { return lcmOutput; }
    // "<outputDir>/VyProc_<ticks>.csv", fixed at construction.
    const std::string& logFile() const { return logFileName; }
    // Reader thread, once the first frame is read: until then the processor drops frames.
    void markReady() { ready = true; }
    bool isReady() const { return ready.load(); }
    // The viewer window; 0 before startProcessor or in a publishing run.
    int32_t viewerHandle() const { return viewer.handle(); }

    // Main thread, before startProcessor: the white image the engine divides the raw frames by.
    void setWhiteImage(const CVyImage& white);
    // Main thread, before startProcessor: the format of the raw frames, and one blank frame
    // of it uploaded to the device, so that the first frame of the replay is not the slow one.
    void setImageFormat(const CVyImageFormat& format) { imageFormat = format; }
    const CVyImageFormat& rawImageFormat() const { return imageFormat; }
    void uploadFirstImage();
    // Main thread, before startProcessor: a value of the engine's settings.
    double engineSetting(uint32_t id);

    // Any thread: frames waiting for the processor, and how many may wait.
    uint32_t framesQueued() const { return imageQueue.GetSize(); }
    uint32_t queueCapacity() const { return imageQueue.GetCapacity(); }
    // The consumer's side of the queue: moves the oldest waiting frame into frame.
    // Only the processor thread takes frames while it runs; false when none waits.
    bool takeQueuedFrame(CVyImage& frame);

    // Processor thread: the raw frame the outputs are made of (its time and id go with
    // them). Set from outside only while the thread does not run, to drive outputFrame.
    void setInputFrame(const CVyImage& frame) { inputImage = frame; }
    // The last image of display types 0 to 3, as the outputs had it (an 8-bit or colour
    // image turned in place by then); read it from another thread only between frames.
    const CVyImage& lastResult() const { return resultImage; }

    // Whether the viewer has shown a frame since the display type last changed (any thread).
    bool imageShown() const { return viewer.imageShown(); }
    // Whether the recording is open (main thread, or once the processor thread has ended).
    bool recordingOpen() const { return recording.isOpen(); }

private:
    void computeDisplayType(DisplayType type);
    // After a depth map: counts its depths at the ends of the searched range, warns once when too many are.
    void checkDepthRange();
    // Processor thread: the input frame in the current display type, handed to the outputs.
    void computeAndOutput();
    // While paused: the frame on show computed again (type change, refocus, snapshot), shown, not recorded.
    void showAgain();
    void updateStatus();
    void countRate();
    // Type 4: the frame's rows of the particle table, with depth and tracks.
    void addParticleRows(const cv::Mat& totalFocus, const std::vector<Vy::Analysis::BlobRecord>& blobs);

    // Main thread until startThread; then only the processor thread.
    CCudaCompute compute;
    IImageAccess* imageAccess = nullptr;
    // The reader thread moves frames in, the processor thread moves them out.
    CImageQueue imageQueue;
    // Processor thread: the frame in work and what was made of it.
    CVyImage inputImage;
    CVyImage resultImage;
    DepthRangeCheck depthRangeCheck;  // set up with the calibration, then the processor thread's
    // The raw frame format: main thread, before startProcessor.
    CVyImageFormat imageFormat;
    // Processor thread: frames done, the number the console shows for the next one.
    int32_t frameCount = 0;

    // Written once at construction or set-up (main thread), read by every thread after.
    std::string logFileName;
    bool lcmOutput = false;
    bool calibrated = false;
    // Main thread writes, every thread reads.
    std::atomic<DisplayType> displayType{DisplayType::Profile};
    std::atomic<double> refocusValue{0.5};
    // Set by the reader thread, read by the processor thread.
    std::atomic<bool> ready{false};
    // Processor thread only: the total focus image of the profile measurement.
    CVyImage totalFocusImage;

    // Fixed at construction.
    std::string settingsPath;
    std::string outputDir;
    // Each clock is added to by one thread (the processor's, or the recorder's for
    // encoding) and read by any thread.
    Stages stages;
    // Counters: each is written by one thread (processedTotal, profileRowTotal and
    // particleTableFailedTotal by the processor thread, droppedTotal by both the reader
    // and the processor thread) and read by any thread.
    std::atomic<uint64_t> processedTotal{0};
    std::atomic<uint64_t> droppedTotal{0};
    std::atomic<uint64_t> profileRowTotal{0};
    std::atomic<uint64_t> particleTableFailedTotal{0};
    // Pixel bytes waiting in the queue: the reader thread adds, the processor thread subtracts.
    std::atomic<uint64_t> queuedBytes{0};
    // Set by setupCompute (main thread) before startProcessor; then the processor thread
    // reads them (and the main thread, for the refocus distance and the status).
    Vy::Analysis::ProfileSettings profileSettings;
    CCalibration calibrationInUse;
    double colourNear = 0.0;
    double colourFar = 0.0;
    // Refocus value range mapped to distances: virtual depths at 0 and 1.
    double refocusDepthLow = 0.0;
    double refocusDepthHigh = 0.0;
    // Set by setSequence (main thread) before startProcessor, read by every thread after.
    std::string sequenceName;
    uint64_t sequenceFrames = 0;
    // Processor thread only: the tracks of the particle table and the depth map it reads.
    Vy::Analysis::ParticleTracker tracker;
    CVyImage depthImage;

    // Requests of the main thread, taken by the processor thread.
    std::atomic<bool> pausedFlag{false};
    std::atomic<int> stepsWanted{0};
    std::atomic<bool> showAgainWanted{false};
    std::atomic<bool> snapshotWanted{false};
    // Processor thread only. showingAgain: a paused frame is being shown again (nothing
    // is recorded or counted); hasFrame: a frame was processed that can be shown again.
    bool showingAgain = false;
    bool hasFrame = false;
    // Processor thread only: the frames counted for the rate since rateStart.
    std::chrono::steady_clock::time_point rateStart{};
    uint64_t rateFrames = 0;
    // Written by the processor thread, read by any thread (the status).
    std::atomic<double> rate{0.0};

    // The outputs, chosen at construction (main thread); their own headers say which
    // thread owns what. A local run uses the turn, the window and the recording, in
    // that order; a publishing run only the publisher.
    FrameTurn turn;
    ViewerOutput viewer;
    RecorderOutput recording;
    std::unique_ptr<LcmPublisher> publisher;  // a publishing run only
    // Fixed at construction; the processor thread hands every frame to each.
    std::vector<FrameSink*> outputs;
};

// "<outputDir>/VyProc_<ticks>.csv": ticks are 100 ns intervals since 1582-10-15 00:00 UTC.
std::string profileLogFileName(const std::string& outputDir, int64_t unixMicroseconds);
