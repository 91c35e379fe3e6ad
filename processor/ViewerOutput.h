// The window: prints the frame number, shows the turned frame (the depth
// picture with its colour scale beside it) and writes the snapshots (of the
// depth picture with the depth in mm beside them).
//
// Threads: the main thread opens the window and sets the depth colours before
// the processor thread starts; then only the processor thread shows frames.
// The series flag is cleared by the main thread on a display type change.
#pragma once

#include <atomic>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "DepthSnapshot.h"
#include "FrameSink.h"
#include "StageClock.h"

class ViewerOutput : public FrameSink {
public:
    // The time spent goes to clock.
    explicit ViewerOutput(StageClock& clock) : showClock(clock) {}

    // Main thread, before the processor thread starts: opens the window.
    void open();
    // Main thread, before the processor thread starts: the range of the depth colour code (mm).
    void setDepthColours(double nearMm, double farMm);
    // Main thread, before the processor thread starts: where the colour scale of the first
    // depth picture is written, beside the recording; empty: nowhere (no recording).
    void setDepthScaleFile(const std::string& path) { depthScalePath = path; }
    // Main thread, before the processor thread starts: what a snapshot of the depth picture
    // writes beside its PNGs (the depth in mm).
    void setDepthSnapshot(const DepthSnapshot& files) { depthSnapshot = files; }
    void consume(const OutputFrame& frame) override;

    // The window; 0 before open().
    int32_t handle() const { return viewHandle; }
    // Whether a frame was shown since the series began (the viewer keeps its zoom within a series).
    bool imageShown() const { return shown.load(); }
    // Main thread: the next frame begins a new series.
    void beginSeries() { shown.store(false); }

private:
    void show(const OutputFrame& frame);
    void showWide(const TurnedFrame& turned, const FrameInfo& info);
    void showDepthWithScale(const cv::Mat& colours);

    StageClock& showClock;
    // Written by the main thread before the processor thread starts.
    int32_t viewHandle = 0;
    double colourNear = 0.0;
    double colourFar = 0.0;
    std::string depthScalePath;
    DepthSnapshot depthSnapshot;
    // Processor thread: whether the depth scale file was written (or tried).
    bool depthScaleWritten = false;
    // Processor thread: the scale beside the depth picture, made once per picture height.
    cv::Mat colourBar;
    // Cleared by the main thread, set by the processor thread once a frame is shown.
    std::atomic<bool> shown{false};
};
