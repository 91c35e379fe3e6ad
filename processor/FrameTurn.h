// The step the window and the recording share, run once per frame before
// them: the frame turned by 180 degrees in place, or, for a 16-bit luminance
// image, read in place and reduced to the recording frame (turned), so that
// nothing full-size is copied or turned.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <utility>

#include "FrameSink.h"
#include "StageClock.h"

class FrameTurn : public FrameSink {
public:
    // The result of the last frame; read by the outputs after this one, on the processor thread.
    struct Turned {
        // 16-bit luminance: `view` holds the unturned samples and `recording` the reduced frame.
        bool wide = false;
        // The image's samples (turned unless wide); empty for an empty image.
        cv::Mat view;
        // Wide only: the recorder's 8-bit frame, turned; empty when the reduction failed.
        cv::Mat recording;
        // Wide only: why the reduction failed; empty when it did not.
        std::string failure;
    };

    // The time spent goes to clock.
    explicit FrameTurn(StageClock& clock) : rotateClock(clock) {}

    void consume(CVyImage& image, const FrameInfo& info) override;
    const Turned& last() const { return turned; }
    // The recorder's frame of the last wide frame, handed over (the turn keeps none).
    cv::Mat takeRecording() { return std::move(turned.recording); }

private:
    StageClock& rotateClock;
    Turned turned;
};
