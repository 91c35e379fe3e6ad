#include "FrameRecorder.h"

#include <iostream>
#include <opencv2/imgproc.hpp>

FrameRecorder::FrameRecorder(cv::VideoWriter& writer, size_t capacity)
    : writer(writer), capacity(capacity == 0 ? 1 : capacity) {}

FrameRecorder::~FrameRecorder() { finish(); }

void FrameRecorder::record(cv::Mat frame) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!thread.joinable()) {
        finishing = false;
        // The recorder thread writes the queued frames until finish() asks it to end.
        thread = std::thread(&FrameRecorder::run, this);
    }
    changed.wait(lock, [this] { return frames.size() < capacity; });
    frames.push_back(std::move(frame));
    changed.notify_all();
}

void FrameRecorder::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!thread.joinable()) {
            return;
        }
        finishing = true;
        changed.notify_all();
    }
    thread.join();
}

void FrameRecorder::run() {
    for (;;) {
        cv::Mat frame;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return !frames.empty() || finishing; });
            if (frames.empty()) {
                return;
            }
            frame = std::move(frames.front());
            frames.pop_front();
            changed.notify_all();
        }
        write(frame);
    }
}

void FrameRecorder::write(const cv::Mat& frame) {
    const StageClock::Span span(encoding);
    try {
        cv::Mat colour;
        if (frame.channels() == 1) {
            cv::cvtColor(frame, colour, cv::COLOR_GRAY2BGR);
        } else if (frame.channels() == 4) {
            cv::cvtColor(frame, colour, cv::COLOR_BGRA2BGR);
        } else {
            colour = frame;
        }
        cv::Mat videoFrame = colour;
        if (colour.cols != kVideoSide || colour.rows != kVideoSide) {
            videoFrame.create(kVideoSide, kVideoSide, CV_8UC3);
            cv::resize(colour, videoFrame, cv::Size(kVideoSide, kVideoSide), 0, 0, cv::INTER_LINEAR);
        }
        writer.write(videoFrame);
        if (writer.isOpened()) {
            ++recordedFrames;
        }
    } catch (const std::exception& exception) {
        std::cout << exception.what() << std::endl;
    }
}
