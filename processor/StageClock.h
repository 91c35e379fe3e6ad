// Time spent per stage of the frame path, summed over a run, for the
// closing breakdown. Each stage is added to by one thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

class StageClock {
public:
    // Adds the time from construction to destruction to `total`.
    class Span {
    public:
        explicit Span(StageClock& clock) : clock(clock), start(std::chrono::steady_clock::now()) {}
        ~Span() {
            clock.nanoseconds += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
        }
        Span(const Span&) = delete;
        Span& operator=(const Span&) = delete;

    private:
        StageClock& clock;
        std::chrono::steady_clock::time_point start;
    };

    double milliseconds() const { return nanoseconds.load() / 1e6; }

private:
    std::atomic<uint64_t> nanoseconds{0};
};
