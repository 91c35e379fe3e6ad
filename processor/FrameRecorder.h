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
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <thread>

#include "FragmentedMp4Writer.h"
#include "Mutex.h"
#include "StageClock.h"
#include "ThreadAnnotations.h"

class FrameRecorder {
public:
    // Side of the square video frames.
    static constexpr int kVideoSide = 1024;

    FrameRecorder(FragmentedMp4Writer& writer, size_t capacity);
    ~FrameRecorder();
    FrameRecorder(const FrameRecorder&) = delete;
    FrameRecorder& operator=(const FrameRecorder&) = delete;

    // Queues one 8-bit frame (one, three or four channels) to be turned into a
    // 1024 x 1024 colour video frame. The frame owns its pixels, or owner keeps
    // them (unchanged) until the frame is written.
    void record(cv::Mat frame, std::shared_ptr<const void> owner = nullptr) EXCLUDES(mutex);
    // Returns once every queued frame is written and the thread has ended.
    // Harmless to call again; a later record() starts a new thread.
    void finish() EXCLUDES(mutex);
    // Before each frame, checks that the disk and the file-size limit leave room for
    // it and for the index written at the end; when they do not, the recording is
    // closed there (so it stays playable) and further frames are not recorded.
    void watchSpace(const std::string& videoPath);
    // Why the recording was closed early ("disk full", "file-size limit reached", a write
    // error); empty when it was not. The file keeps the frames written before.
    std::string cutReason() const EXCLUDES(mutex);
    // Any thread: a frame meant for the recording that did not reach it, and why.
    void countLost(const std::string& reason) EXCLUDES(mutex);
    // Frames lost so far (not counting those after a cut) and the first reason.
    uint64_t lost() const { return lostFrames.load(); }
    std::string firstLoss() const EXCLUDES(mutex);
    // Whether the MP4 file at path is whole: its boxes fill the file and one is the
    // index ("moov") that a player needs. A fragmented file cut off in a fragment is
    // not whole, though it plays up to the fragment before.
    static bool hasIndex(const std::string& path);
    // Frames the open writer has taken.
    uint64_t recorded() const { return recordedFrames.load(); }
    // Time the recorder thread spent converting and encoding.
    double encodeMilliseconds() const { return encoding.milliseconds(); }

private:
    void run() EXCLUDES(mutex);
    void write(const cv::Mat& frame) EXCLUDES(mutex);

    // The recorder thread alone uses the writer while it runs.
    FragmentedMp4Writer& writer;
    const size_t capacity;
    mutable Mutex mutex;
    // Signalled on every change of frames or finishing.
    std::condition_variable changed;
    // The processor thread pushes, the recorder thread pops.
    struct Queued {
        cv::Mat frame;
        std::shared_ptr<const void> owner;
    };
    std::deque<Queued> frames GUARDED_BY(mutex);
    // Set by finish(), cleared when a new thread starts.
    bool finishing GUARDED_BY(mutex) = false;
    // Started by record() on the processor thread, joined by finish().
    std::thread thread GUARDED_BY(mutex);
    // Written by the recorder thread, read by any thread.
    std::atomic<uint64_t> recordedFrames{0};
    // Set before the first frame, then read by the recorder thread only.
    std::string watchedPath;
    // Written by the recorder thread, read by any thread.
    std::string cut GUARDED_BY(mutex);
    // Written by the recorder and the processor thread, read by any thread.
    std::atomic<uint64_t> lostFrames{0};
    std::string lossReason GUARDED_BY(mutex);
    // The recorder thread adds to it, any thread reads.
    StageClock encoding;
};
