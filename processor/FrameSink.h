// Where a processed frame goes: the window and the recording, or LCM. The
// processor chooses its outputs when it is built and hands every frame to each
// of them in order, knowing nothing of what they do with it.
#pragma once

#include "CVyImage.h"
#include "FrameInfo.h"

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Processor thread: one processed frame. The output may turn or shrink it in place.
    virtual void consume(CVyImage& image, const FrameInfo& info) = 0;
    // Once the processor thread has ended: what the output still holds is written out.
    virtual void close() {}
};
