#include "Diagnostic.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Diagnostic, EachTextIsOneLineOnStandardErrorAndNothingOnStandardOutput) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Console::diagnostic("MarlinProfileProc: first");
    Console::diagnostic("");
    Console::diagnostic("second");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "MarlinProfileProc: first\n\nsecond\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(Diagnostic, LinesOfSeveralThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        // Long lines, so that a split write would show.
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Console::diagnostic(std::string(3000, static_cast<char>('a' + t)));
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::istringstream text(::testing::internal::GetCapturedStderr());
    int lines = 0;
    for (std::string line; std::getline(text, line); ++lines) {
        ASSERT_EQ(line.size(), 3000u) << "line " << lines;
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "line " << lines << " mixes two threads";
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace

TEST(Diagnostic, ControlCharactersOfANameCannotSplitTheLine) {
    EXPECT_EQ(Console::escapeControls("plain /data/run 7.rays, ünïcode"), "plain /data/run 7.rays, ünïcode");
    EXPECT_EQ(Console::escapeControls(std::string("a\nb\rc\td\x1b[K\x7f\x01\0", 13)),
              "a\\nb\\rc\\td\\x1b[K\\x7f\\x01\\x00");
    ::testing::internal::CaptureStderr();
    Console::diagnostic("/tmp/two\nlines.rays: header promises 3 frames");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "/tmp/two\\nlines.rays: header promises 3 frames\n");
}
