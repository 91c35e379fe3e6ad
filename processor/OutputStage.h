// Frames wait here between the processor thread, which computes them, and the
// output thread, which measures, shows, records or publishes them, so that the
// engine computes the next frame while the last one goes out.
//
// Threads: the processor thread starts the stage, hands frames in and finishes
// it; the output thread (started by start()) runs `work` on each frame, in the
// order they came. Contract: one frame waits at most; hand() then waits until
// the output thread has taken it. finish() waits until every frame handed in is
// done and the output thread has ended. `work` must not throw.
#pragma once

#include <condition_variable>
#include <functional>
#include <optional>
#include <thread>

#include "CVyImage.h"
#include "FrameInfo.h"
#include "Mutex.h"
#include "ThreadAnnotations.h"

// One computed frame on its way out.
struct ComputedFrame {
    // The display type's image (the engine's buffer, held: the engine takes another for the next frame).
    CVyImage image;
    // The frame's virtual depths where its type computed them; empty otherwise.
    CVyImage depth;
    FrameInfo info;
};

class OutputStage {
public:
    using Work = std::function<void(ComputedFrame&)>;
    explicit OutputStage(Work work) : work(std::move(work)) {}
    ~OutputStage() { finish(); }
    OutputStage(const OutputStage&) = delete;
    OutputStage& operator=(const OutputStage&) = delete;

    void start() EXCLUDES(mutex);
    void hand(ComputedFrame frame) EXCLUDES(mutex);
    // Returns once every frame handed in is done (the output thread still runs).
    void drain() EXCLUDES(mutex);
    void finish() EXCLUDES(mutex);

private:
    void run() EXCLUDES(mutex);

    const Work work;
    Mutex mutex;
    // Signalled when a frame is handed in, taken, done, or the stage finishes.
    std::condition_variable changed;
    std::optional<ComputedFrame> waiting GUARDED_BY(mutex);
    bool busy GUARDED_BY(mutex) = false;
    bool finishing GUARDED_BY(mutex) = false;
    // Started and joined by the processor thread.
    std::thread thread;
};
