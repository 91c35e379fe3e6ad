// The run object: owns every runtime object of one replay and the processor,
// and is the reader worker.
//
// Threads: the main thread constructs it (the whole set-up happens in the
// constructor) and destroys it after both workers have finished; the reader
// thread (threadedFunction) reads frames from the sequence and hands them to
// the processor. rayImage and seqReader belong to the reader thread once it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "CCalibration.h"
#include "CCameraServer.h"
#include "CCudaCompute.h"
#include "CImageQueue.h"
#include "CMetaData.h"
#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CSeqFileWriter.h"
#include "CVyImage.h"
#include "CVyImageFormat.h"
#include "CVyString.h"
#include "FrameSource.h"
#include "ReplayPace.h"
#include "RunOptions.h"
#include "VyProcessor.h"

class VyReader : public FrameSource {
public:
    // Sets the run up from the sequence at path. Runtime failures of the set-up are
    // reported on the console and the run goes on with what was reached. Throws
    // std::invalid_argument when the path gives no name for the recording, or when
    // the sequence cannot be opened (the reader's one-line reason).
    explicit VyReader(std::string path, const VyRunOptions& options = VyRunOptions());
    VyReader(const VyReader&) = delete;
    VyReader& operator=(const VyReader&) = delete;

    // The reader loop: frames into the processor's queue until the sequence is done
    // or can no longer be read.
    void threadedFunction() override;
    // Main thread, before the reader thread starts: reads the first frame and queues
    // it, so it is the first frame of the replay. Raises when no sequence is open.
    void readFirstFrame() override;
    // Why the replay ended before the sequence did; empty when it did not. Read it
    // once the reader thread has finished.
    const std::string& readFailure() const { return failure; }

    // Any thread.
    uint64_t framesRead() const override { return readTotal.load(); }
    // Time the reader thread spent reading and copying frames.
    double readMilliseconds() const override { return reading.milliseconds(); }
    // Fixed by the constructor.
    const std::string& basePath() const override { return outputBase; }
    // Frames the sequence holds (0 when it could not be opened); fixed by the constructor.
    uint64_t framesInSequence() const override { return sequenceFrames; }
    // How the file falls short of its header ("header promises 20 frames, file holds 11 whole
    // frames", or an unfinished recording's count); empty when it does not. Fixed by the constructor.
    const std::string& sequenceShortfall() const { return shortfall; }
    // Set by the reader thread once the sequence is read and the processor's queue is
    // empty; read by the main thread, which then ends the run.
    bool isSequenceDone() const override { return sequenceDone.load(); }
    // The sequence cut short, the replay ended early (status 4); once the reader has finished.
    std::vector<Shortfall> shortfalls() const override;
    // "frame 120 of 600, 14.2 fps, 0:34 left, queue 12".
    std::string progress(double seconds) const override;
    // The run's processor; its own header says which of its operations any thread may use.
    VyProcessor& frameProcessor() override { return processor; }
    const VyProcessor& frameProcessor() const override { return processor; }

private:
    void setUp(const std::string& path);
    void openSequence(const std::string& path);
    // Main thread, in the constructor: the frames --first and --count choose; raises past the end.
    void chooseFrames(const std::string& path);
    // Whether a frame of the chosen ones is still to be read.
    bool framesLeft() const;
    // How many frames the run replays (those the sequence holds, without --first or --count).
    uint64_t framesChosen() const;
    void queueNextFrame();
    // Reader thread, with --realtime: sleeps until the frame stamped timeMs is due (see ReplayPace).
    void waitUntilDue(double timeMs);

    // The members in the order they are built (the processor last, so it goes first).
    // Written by the reader thread, read by the main thread.
    std::atomic<bool> sequenceDone{false};
    // Held for the whole run, otherwise unused.
    CImageQueue unusedQueue;
    // Main thread in the constructor (the first frame, the calibration); then the reader thread only.
    CRayImage rayImage;
    // Held for the whole run, otherwise unused.
    CSeqFileWriter unusedWriter;
    // Main thread in the constructor and readFirstFrame; then the reader thread only.
    CSeqFileReader seqReader;
    // Held for the whole run, otherwise unused.
    CCameraServer cameraServer;
    CCudaCompute unusedCompute;
    CCalibration unusedCalibration;
    CVyString unusedText;
    // Main thread, in the constructor: scratch of the device listing.
    CVyString deviceName;
    // Held for the whole run, otherwise unused.
    CVyImage unusedImageA;
    CVyImage unusedImageB;
    CMetaData metaData;
    // Main thread, in the constructor: the format of the first image uploaded to the device.
    CVyImageFormat imageFormat;
    // Every thread, through its own thread-safe operations (see VyProcessor.h).
    VyProcessor processor;
    // Main thread, in the constructor: scratch of the device listing.
    double deviceClock = 0.0;
    double deviceMemory = 0.0;

    // Fixed by the constructor (main thread).
    std::string outputBase;
    uint64_t sequenceFrames = 0;
    std::string shortfall;
    // Reader thread; read by the main thread once the reader thread has finished.
    std::string failure;
    // Reader thread writes, any thread reads.
    std::atomic<uint64_t> readTotal{0};
    StageClock reading;
    // Fixed by the constructor: frames are queued at the recording's own rate.
    const bool realtime;
    // Main thread in readFirstFrame, then the reader thread only.
    ReplayPace pace;
    // Fixed by the constructor: the frames replayed are those of index firstFrame up to endIndex (excluded).
    const uint64_t firstFrame;
    const uint64_t frameLimit;
    uint64_t endIndex = UINT64_MAX;
};
