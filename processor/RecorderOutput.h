// The recording: an 8-bit copy of each turned frame goes to the recorder
// thread, which encodes it as a 1024 x 1024 MPEG-4 frame while the processor
// goes on.
//
// Threads: the main thread opens the file before the processor thread starts;
// then the processor thread hands frames in and the recorder thread alone
// writes the video; close() runs once the processor thread has ended.
#pragma once

#include <cstdint>
#include <string>

#include "FragmentedMp4Writer.h"
#include "FrameRecorder.h"
#include "FrameSink.h"
#include "StageClock.h"

class RecorderOutput : public FrameSink {
public:
    // The time spent goes to clock.
    explicit RecorderOutput(StageClock& clock);

    // Main thread: opens "<basePath>.mp4", or "<basePath>-N.mp4" when that name is
    // taken; says so on the console when it cannot.
    void open(const std::string& basePath);
    void consume(const OutputFrame& frame) override;
    // What the recorder still holds is written and the file closed.
    void close() override;

    bool isOpen() const { return writer.isOpened(); }
    // The recording's path; empty when none is open.
    const std::string& fileName() const { return videoName; }
    // Why the video could not be opened ("<path>: <reason>"); empty when it was, or when none was asked for.
    const std::string& openError() const { return videoError; }
    // "<recording>.depth-scale.png" beside the recording; empty when none is open.
    std::string depthScaleFileName() const;

    // Any thread.
    uint64_t recorded() const { return recorder.recorded(); }
    std::string cutReason() const { return recorder.cutReason(); }
    // Frames handed in that did not reach the file (a cut aside), and why the first did not.
    uint64_t lost() const { return recorder.lost(); }
    std::string firstLoss() const { return recorder.firstLoss(); }
    double encodeMilliseconds() const { return recorder.encodeMilliseconds(); }

private:
    StageClock& recordClock;
    // Written by the main thread before the processor thread starts.
    std::string videoName;
    std::string videoError;
    // The main thread opens it; the recorder thread alone writes it while it records.
    FragmentedMp4Writer writer;
    // Processor thread hands frames in; the recorder thread encodes them.
    FrameRecorder recorder;
};
