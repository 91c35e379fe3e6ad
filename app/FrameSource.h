// Where a run's frames come from: a sequence file (VyReader) or a live camera
// (CameraSource). The application drives either through this one surface; each owns
// its processor and is the worker thread that hands frames to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VyProcessor.h"
#include "ofThread.h"

class FrameSource : public ofThread {
public:
    virtual ~FrameSource() = default;

    // Main thread, before the worker starts: the first step of the run (the first frame
    // queued, or the camera started). Raises when it cannot.
    virtual void readFirstFrame() = 0;
    // Set by the worker once no more frames will come and the processor's queue is empty.
    virtual bool isSequenceDone() const = 0;
    // Frames handed to the processor; the worker's time spent getting them.
    virtual uint64_t framesRead() const = 0;
    virtual double readMilliseconds() const = 0;
    // The outputs' name without extension; fixed by the constructor.
    virtual const std::string& basePath() const = 0;
    // The frames to come, for the progress line (0: not known).
    virtual uint64_t framesInSequence() const = 0;

    // Once the workers have finished: what the source itself fell short of, each with the
    // exit status it calls for, and the lines it adds to the summary.
    struct Shortfall {
        int status;
        std::string what;
    };
    virtual std::vector<Shortfall> shortfalls() const = 0;
    virtual std::vector<std::string> summaryLines() const { return {}; }
    // Main thread, after the workers have stopped and before the summary: closes what the source wrote.
    virtual void finishSource() {}
    // The progress line's text while the run lasts (any thread).
    virtual std::string progress(double seconds) const = 0;

    // Main thread: pauses the source's processor (a replay's reader pauses with it).
    void setPaused(bool pause) { frameProcessor().setPaused(pause); }
    bool isPaused() const { return frameProcessor().isPaused(); }
    virtual VyProcessor& frameProcessor() = 0;
    virtual const VyProcessor& frameProcessor() const = 0;
};
