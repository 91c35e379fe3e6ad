// The live run object: frames from a GigE Vision camera (by its IPv4 address), each
// recorded whole into a new sequence file, and the newest handed to the processor,
// which shows what the engine can do.
//
// Threads: the main thread builds it (the whole set-up: camera, calibration, recording,
// processor), starts the camera (readFirstFrame) and destroys it after both workers have
// finished; the camera thread (threadedFunction) takes every frame from the camera,
// records it and hands it on. The camera and the recording belong to the camera thread
// while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AravisCamera.h"
#include "CCalibration.h"
#include "CSeqFileWriter.h"
#include "CVyImage.h"
#include "FrameSource.h"
#include "LiveOptions.h"
#include "RunOptions.h"
#include "StageClock.h"
#include "VyProcessor.h"

// The counts of a live run (any thread).
struct LiveCounts {
    uint64_t received = 0;  // whole frames from the camera
    uint64_t recorded = 0;  // frames in the recording
    uint64_t processed = 0;
    uint64_t skipped = 0;  // received, recorded, but replaced by a newer one before the display took it
    uint64_t lost = 0;     // spoiled by the camera or the network, or without a free buffer
};
// "live: 1800 received, 1800 recorded, 1500 processed, 300 skipped for display, 0 lost by the camera or network".
std::string liveCountsLine(const LiveCounts& counts);

class CameraSource : public FrameSource {
public:
    // Opens the camera, takes the calibration, checks that both fit, creates the recording
    // "<output dir>/camera-<address>-<UTC time>.rays" (a free name) and sets the processor
    // up. Throws std::invalid_argument with one line when any of it fails; nothing is recorded then.
    CameraSource(const LiveOptions& live, const VyRunOptions& options);
    ~CameraSource() override;
    CameraSource(const CameraSource&) = delete;
    CameraSource& operator=(const CameraSource&) = delete;

    // Main thread: starts the camera's stream.
    void readFirstFrame() override;
    // Camera thread: frames in until a stop, the camera's silence or a recording that fails.
    void threadedFunction() override;

    bool isSequenceDone() const override { return sourceDone.load(); }
    // Frames handed to the display and not replaced by a newer one before it took them.
    uint64_t framesRead() const override {
        const uint64_t replaced = skipped.load();
        return handed.load() - replaced;
    }
    double readMilliseconds() const override { return taking.milliseconds(); }
    const std::string& basePath() const override { return outputBase; }
    uint64_t framesInSequence() const override { return 0; }
    std::vector<Shortfall> shortfalls() const override;
    std::vector<std::string> summaryLines() const override;
    void finishSource() override;
    std::string progress(double seconds) const override;
    VyProcessor& frameProcessor() override { return processor; }
    const VyProcessor& frameProcessor() const override { return processor; }

    LiveCounts counts() const;
    // The recording's path; fixed by the constructor.
    const std::string& recordingPath() const { return raysPath; }
    // How long the camera may send nothing before the run ends (milliseconds).
    int silenceLimitMs() const { return silenceMs; }

private:
    void record(const CVyImage& frame);

    // Built by the constructor; the camera thread's once it runs.
    std::unique_ptr<Vy::Live::AravisCamera> camera;
    CSeqFileWriter writer;
    std::string raysPath;
    std::string outputBase;
    int silenceMs = 0;
    uint64_t frameLimit = 0;
    // Every thread, through its own thread-safe operations.
    VyProcessor processor;

    // Written by the camera thread, read by any thread.
    std::atomic<bool> sourceDone{false};
    std::atomic<uint64_t> handed{0};
    std::atomic<uint64_t> skipped{0};
    std::atomic<uint64_t> recorded{0};
    StageClock taking;
    // Camera thread; read by the main thread once the camera thread has finished.
    std::string silence;
    std::string recordingFailure;
    // Main thread, in finishSource.
    std::string closeFailure;
    uint64_t lostAtEnd = 0;
    std::string lossReason;
};
