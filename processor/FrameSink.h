// Where a processed frame goes: the window, the recording, or LCM. Each output
// finds all it needs in the frame it is handed and reads no other output, so
// the order in which the processor hands a frame on does not matter.
#pragma once

#include "CVyImage.h"
#include "FrameInfo.h"
#include "FrameTurn.h"

struct OutputFrame {
    // The display type's image as the outputs take it: as computed in a run that
    // publishes; in a run that shows and records, turned.image.
    const CVyImage& image;
    // The image turned for the window and the recording; empty in a publishing run.
    const TurnedFrame& turned;
    const FrameInfo& info;
    // The frame's virtual depths (not turned) where its type computed them, for a depth snapshot; may be null.
    const CVyImage* depth = nullptr;
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // The thread that runs the outputs: one processed frame, read only.
    virtual void consume(const OutputFrame& frame) = 0;
    // Once no more frames come: what the output still holds is written out.
    virtual void close() {}
};
