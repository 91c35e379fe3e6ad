#include "WarningSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(WarningSink, LinesReachTheInstalledSinkAndAreDroppedWithoutOne) {
    std::vector<std::string> first;
    std::vector<std::string> second;
    const Vy::WarningSink before = Vy::SetWarningSink([&](const std::string& line) { first.push_back(line); });
    Vy::Warn("one");
    const Vy::WarningSink replaced = Vy::SetWarningSink([&](const std::string& line) { second.push_back(line); });
    Vy::Warn("two");
    replaced("three");  // the sink handed back is the one that was installed
    Vy::SetWarningSink(nullptr);
    ::testing::internal::CaptureStderr();
    Vy::Warn("dropped");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    Vy::SetWarningSink(before);
    EXPECT_EQ(first, (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(second, (std::vector<std::string>{"two"}));
}

TEST(WarningSink, ASinkMayWarnItselfAndEveryThreadsLineArrives) {
    std::vector<std::string> lines;
    const Vy::WarningSink before = Vy::SetWarningSink([&](const std::string& line) {
        lines.push_back(line);
        // A sink that reports through the same door must not lock itself out.
        if (line == "outer") Vy::Warn("inner");
    });
    Vy::Warn("outer");
    EXPECT_EQ(lines, (std::vector<std::string>{"outer", "inner"}));

    std::atomic<int> count{0};
    Vy::SetWarningSink([&](const std::string&) { ++count; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i) Vy::Warn("line");
        });
    }
    for (std::thread& thread : threads) thread.join();
    Vy::SetWarningSink(before);
    EXPECT_EQ(count.load(), 4000);
}

}  // namespace
