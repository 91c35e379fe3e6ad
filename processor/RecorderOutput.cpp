#include "RecorderOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "Diagnostic.h"
#include "VyTypes.h"

namespace {
// Numbered names tried when the recording's name is taken.
constexpr int kMaxVideoNumber = 999;
// Frames the recorder may hold before the processor waits for it.
constexpr size_t kRecorderQueue = 4;
// Frames per second of the recording.
constexpr double kVideoRate = 30.0;
}  // namespace

RecorderOutput::RecorderOutput(StageClock& clock) : recordClock(clock), recorder(writer, kRecorderQueue) {}

void RecorderOutput::open(const std::string& basePath) {
    // The name is claimed with an exclusive create, so an earlier recording (or a
    // second run at the same time) is never overwritten: a taken name gets a number.
    std::string name = basePath + ".mp4";
    int claimed = -1;
    for (int number = 1; claimed < 0 && number <= kMaxVideoNumber + 1; ++number) {
        claimed = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (claimed < 0) {
            videoError = std::strerror(errno);
            if (errno != EEXIST || number > kMaxVideoNumber) {
                break;
            }
            name = basePath + "-" + std::to_string(number) + ".mp4";
        }
    }
    if (claimed >= 0) {
        ::close(claimed);
        videoName = name;
        // MP4 takes no DIVX tag: the same MPEG-4 stream is stored under mp4v, and said so.
        if (writer.open(videoName, FrameRecorder::kVideoSide, FrameRecorder::kVideoSide, kVideoRate)) {
            Console::diagnostic("MarlinProfileProc: recording MPEG-4 (DIVX) under the MP4 tag 'mp4v'");
            videoError.clear();
            recorder.watchSpace(videoName);
            return;
        }
        videoError = "the video writer refused it (" + writer.error() + ")";
        std::remove(videoName.c_str());
        videoName.clear();
    }
    videoError = name + ": " + videoError;
    std::cout << "Could not open the output video for write: " << basePath << std::endl;
}

std::string RecorderOutput::depthScaleFileName() const {
    return videoName.empty() ? std::string() : videoName.substr(0, videoName.size() - 4) + ".depth-scale.png";
}

void RecorderOutput::consume(const OutputFrame& frame) {
    if (frame.info.again) {
        return;  // recorded when it was first processed
    }
    const StageClock::Span span(recordClock);
    const TurnedFrame& turned = frame.turned;
    if (turned.wide) {
        std::string failure = turned.failure;
        if (failure.empty()) {
            try {
                // The recorder thread owns what it encodes.
                recorder.record(turned.recording.clone());
            } catch (const std::exception& exception) {
                failure = exception.what();
            }
        }
        if (!failure.empty()) {
            std::cout << failure << std::endl;
            recorder.countLost(failure);
        }
        return;
    }
    try {
        // An 8-bit copy goes to the recorder thread, which makes a 1024 x 1024
        // colour frame of it while this thread goes on.
        cv::Mat frame;
        std::shared_ptr<const void> owner;
        const bool rgb = turned.image.GetFormat().pixelType == Vy::PixelTypeRGB;
        if (turned.view.depth() == CV_16U) {
            turned.view.convertTo(frame, CV_8U, 1.0 / Vy::kTo8BitDivisor, 0.0);
        } else if (rgb) {
            frame = turned.view.clone();
        } else {
            // 8-bit already: the turned pixels themselves, which no output changes, kept for the recorder.
            frame = turned.view;
            owner = std::make_shared<const CVyImage>(turned.image);
        }
        if (rgb) {
            cv::cvtColor(frame, frame, cv::COLOR_RGB2BGR);
        }
        recorder.record(std::move(frame), std::move(owner));
    } catch (const std::exception& exception) {
        std::cout << exception.what() << std::endl;
        recorder.countLost(exception.what());
    }
}

void RecorderOutput::close() {
    recorder.finish();
    writer.release();
}
