// When each frame of a replay at the recording's own rate is due. A frame
// stamped t is due at the clock's start plus (t - the stamp it started at).
// The clock starts again, and the frame is due at once, for the first frame,
// the first after restart() (a pause), and a frame whose stamp is not finite,
// goes back or lies more than kLongestGap after the one before (a recording
// stopped and started again). A frame due more than kLongestLate ago (a machine
// slower than the recording) starts it again too: the replay never hurries to
// catch up.
#pragma once

#include <chrono>

class ReplayPace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kLongestGapMs = 2000.0;
    static constexpr std::chrono::milliseconds kLongestLate{100};

    // The time the frame stamped timeMs (ms) is due, now being the time it was read.
    Clock::time_point dueAt(double timeMs, Clock::time_point now);
    void restart() { started = false; }

private:
    bool started = false;
    Clock::time_point startTime;
    double startStamp = 0.0;
    double lastStamp = 0.0;
};
