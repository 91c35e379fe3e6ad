// Encodes the recording on a thread of its own, so that the processor can
// compute the next frame while the last one is converted and encoded.
//
// Threads: the processor thread hands frames in through record(); the
// recorder thread (started on the first frame) is then the only user of the
// video writer until finish() returns. Frames wait in a small queue; when it
// holds `capacity` frames, record() waits for room: no frame is ever dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <thread>

#include "StageClock.h"

class FrameRecorder {
public:
    // Side of the square video frames.
    static constexpr int kVideoSide = 1024;

    FrameRecorder(cv::VideoWriter& writer, size_t capacity);
    ~FrameRecorder();
    FrameRecorder(const FrameRecorder&) = delete;
    FrameRecorder& operator=(const FrameRecorder&) = delete;

    // Queues one 8-bit frame (one, three or four channels; the recorder owns it)
    // to be turned into a 1024 x 1024 colour video frame.
    void record(cv::Mat frame);
    // Returns once every queued frame is written and the thread has ended.
    // Harmless to call again; a later record() starts a new thread.
    void finish();
    // Frames the open writer has taken.
    uint64_t recorded() const { return recordedFrames.load(); }
    // Time the recorder thread spent converting and encoding.
    double encodeMilliseconds() const { return encoding.milliseconds(); }

private:
    void run();
    void write(const cv::Mat& frame);

    cv::VideoWriter& writer;
    const size_t capacity;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<cv::Mat> frames;
    bool finishing = false;
    std::thread thread;
    std::atomic<uint64_t> recordedFrames{0};
    StageClock encoding;
};
