// The LCM output: every frame shrunk to at most 1280 pixels a side, made 8-bit
// and published as an ImageMessage on one channel.
#pragma once

#include <lcm/lcm.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "CVyImage.h"
#include "FrameSink.h"
#include "ImageMessage.h"
#include "StageClock.h"

class LcmPublisher : public FrameSink {
public:
    // Takes the handle (null when LCM could not be set up: every frame then says so on
    // standard error); the time spent goes to clock.
    LcmPublisher(lcm_t* handle, StageClock& clock);
    ~LcmPublisher() override;
    LcmPublisher(const LcmPublisher&) = delete;
    LcmPublisher& operator=(const LcmPublisher&) = delete;

    // The frame's time is the raw frame's, from the frame's info.
    void consume(const OutputFrame& frame) override;
    // Ends the LCM instance, so a file log is written out, and counts the messages the
    // log really holds: what a full disk or the file-size limit kept out of it is a failure.
    void close() override;

    // Whether it was given an instance (LCM could be set up).
    bool isSetUp() const { return setUp; }
    // Any thread may read the counters.
    uint64_t published() const { return publishedTotal.load(); }
    // Frames LCM refused to send (a read-only log, a broken transport) or that never reached its file log.
    uint64_t failures() const { return failedTotal.load(); }
    // After close(): "LCM log <path> holds N of M messages (<why>)" when the log lost some; empty otherwise.
    const std::string& logShortfall() const { return shortfall; }

    // Whole events in the LCM log file at path, from byte `from` on (where the run's first lies).
    static uint64_t eventsInLog(const std::string& path, uint64_t from);

private:
    lcm_t* lcm;  // null once closed
    const bool setUp;
    StageClock& publishClock;
    ImageMessage message;
    std::atomic<uint64_t> publishedTotal{0};
    std::atomic<uint64_t> failedTotal{0};
    // A file:// URL that writes: the log and its size before the run's first message.
    std::string logPath;
    uint64_t logStart = 0;
    std::string shortfall;
};
