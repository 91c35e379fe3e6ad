// The frame processor: a worker thread that takes raw frames from its queue,
// computes the image of the current display type, and shows, records, logs
// or publishes it.
//
// Threads: the main thread builds, sets up and starts the processor and
// changes the display type; the reader thread hands frames in through
// addFrame; the processor thread (threadedFunction) is the only consumer of
// the queue and the only user of the engine, the viewer handle, the video
// writer and the LCM handle while it runs.
#pragma once

#include <lcm/lcm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <opencv2/videoio.hpp>
#include <string>

#include "CCalibration.h"
#include "CCudaCompute.h"
#include "CImageQueue.h"
#include "CVyImage.h"
#include "CVyImageFormat.h"
#include "FrameRecorder.h"
#include "IImageAccess.h"
#include "ImageMessage.h"
#include "ParticleTable.h"
#include "ParticleTracker.h"
#include "ProfileSettings.h"
#include "RunOptions.h"
#include "StageClock.h"
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
    // Writes what the recorder still holds and closes the video file. Call only
    // once the processor thread has ended.
    void releaseVideo();
    // Opens the viewer window (unless lcmOutput) and starts the thread.
    // 1 when refused for want of calibration, 0 otherwise.
    int startProcessor();
    // A new type takes effect with the next frame; a change marks the next image as the first of a series.
    void setDisplayType(int32_t type);

    // Reader thread: hands one frame over. When the queue is full and keepTrying is
    // given, waits for room while keepTrying() holds, so no frame of a recording is
    // lost; without it a full queue drops the frame. Returns whether the queue took it.
    bool addFrame(CVyImage image, const std::function<bool()>& keepTrying = nullptr);

    // Processor thread: the exit of every processed frame (rotate, number, show,
    // record; or publish over LCM).
    void outputFrame(CVyImage& image);
    // Processor thread: the profile measurement of display type 4.
    void processProfileFrame();

    // Counters for the end-of-run summary (any thread may read them).
    uint64_t framesProcessed() const { return processedTotal.load(); }
    uint64_t framesRecorded() const { return recorder.recorded(); }
    uint64_t framesPublished() const { return publishedTotal.load(); }
    // Frames LCM refused to send (a read-only log, a broken transport).
    uint64_t publishFailures() const { return publishFailedTotal.load(); }
    uint64_t framesDropped() const { return droppedTotal.load(); }
    uint64_t profileRows() const { return profileRowTotal.load(); }
    // Frames whose rows could not be added to the particle table.
    uint64_t particleTableFailures() const { return particleTableFailedTotal.load(); }
    // "<log>.particles.csv"; written only when the settings ask for the table.
    std::string particleTableFileName() const { return Vy::Analysis::particleTableName(logFileName); }
    bool writesParticleTable() const { return profileSettings.particleTable; }
    // The recording's path; empty when none is open.
    const std::string& videoFileName() const { return videoName; }
    // Why the video could not be opened ("<path>: <reason>"); empty when it was, or when none was asked for.
    const std::string& videoOpenError() const { return videoError; }
    // Why the recording stopped before the run did (disk full, size limit); empty when it did not.
    std::string recordingCut() const { return recorder.cutReason(); }

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
    double encodeMilliseconds() const { return recorder.encodeMilliseconds(); }

    void threadedFunction() override;

    cv::VideoWriter videoWriter;
    CCudaCompute compute;
    IImageAccess* imageAccess = nullptr;
    CImageQueue imageQueue;
    CVyImage inputImage;
    CVyImage resultImage;
    CVyImage totalFocusImage;
    CVyImageFormat imageFormat;
    int32_t viewHandle = 0;
    int32_t frameCount = 0;
    double refocusValue = 0.5;
    std::string logFileName;
    lcm_t* lcmHandle = nullptr;
    ImageMessage imageMessage;
    bool calibrated = false;
    std::atomic<bool> imageShown{false};
    std::atomic<bool> ready{false};
    bool lcmOutput = false;
    std::atomic<int32_t> displayType{4};

private:
    void computeDisplayType(int32_t type);
    void showAndRecord(CVyImage& image);
    // 16-bit luminance (the pre-processed raw image): reduced first, turned after.
    void showAndRecordWide(const CVyImage& image);
    void publish(CVyImage& image);
    // Type 4: the frame's rows of the particle table, with depth and tracks.
    void addParticleRows(const cv::Mat& totalFocus, const std::vector<Vy::Analysis::BlobRecord>& blobs);

    std::string settingsPath;
    std::string videoName;
    std::string videoError;
    FrameRecorder recorder;
    Stages stages;
    std::atomic<uint64_t> processedTotal{0};
    std::atomic<uint64_t> publishedTotal{0};
    std::atomic<uint64_t> publishFailedTotal{0};
    std::atomic<uint64_t> queuedBytes{0};
    std::atomic<uint64_t> droppedTotal{0};
    std::atomic<uint64_t> profileRowTotal{0};
    std::atomic<uint64_t> particleTableFailedTotal{0};
    Vy::Analysis::ProfileSettings profileSettings;
    CCalibration calibrationInUse;
    Vy::Analysis::ParticleTracker tracker;
    CVyImage depthImage;
};

// "<outputDir>/VyProc_<ticks>.csv": ticks are 100 ns intervals since 1582-10-15 00:00 UTC.
std::string profileLogFileName(const std::string& outputDir, int64_t unixMicroseconds);
