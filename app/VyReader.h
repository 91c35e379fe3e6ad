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
#include "RunOptions.h"
#include "VyProcessor.h"
#include "ofThread.h"

class VyReader : public ofThread {
public:
    // Sets the run up from the sequence at path. Runtime failures of the set-up are
    // reported on the console and the run goes on with what was reached. Throws
    // std::invalid_argument when the path gives no name for the recording.
    explicit VyReader(std::string path, const VyRunOptions& options = VyRunOptions());
    VyReader(const VyReader&) = delete;
    VyReader& operator=(const VyReader&) = delete;

    // The reader loop: frames into the processor's queue until the sequence is done
    // or can no longer be read.
    void threadedFunction() override;
    // Main thread, before the reader thread starts: reads the first frame and queues
    // it, so it is the first frame of the replay. Raises when no sequence is open.
    void readFirstFrame();
    // Why the replay ended before the sequence did; empty when it did not. Read it
    // once the reader thread has finished.
    const std::string& readFailure() const { return failure; }

    uint64_t framesRead() const { return readTotal.load(); }
    // Time the reader thread spent reading and copying frames.
    double readMilliseconds() const { return reading.milliseconds(); }
    const std::string& basePath() const { return outputBase; }
    // Frames the sequence holds (0 when it could not be opened).
    uint64_t framesInSequence() const { return sequenceFrames; }

    std::atomic<bool> sequenceDone{false};
    std::atomic<bool> paused{false};

private:
    CImageQueue unusedQueue;

public:
    CRayImage rayImage;

private:
    CSeqFileWriter unusedWriter;

public:
    CSeqFileReader seqReader;

private:
    CCameraServer cameraServer;
    CCudaCompute unusedCompute;
    CCalibration unusedCalibration;
    CVyString unusedText;

public:
    CVyString deviceName;

private:
    CVyImage unusedImageA;
    CVyImage unusedImageB;
    CMetaData metaData;

public:
    CVyImageFormat imageFormat;
    VyProcessor processor;
    double deviceClock = 0.0;
    double deviceMemory = 0.0;

private:
    void setUp(const std::string& path);
    void queueNextFrame();

    std::string outputBase;
    std::string failure;
    std::atomic<uint64_t> readTotal{0};
    uint64_t sequenceFrames = 0;
    StageClock reading;
};
