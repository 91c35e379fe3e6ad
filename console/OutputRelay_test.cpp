// The relay of standard output and error, in child processes whose streams are
// pipes: every byte arrives in order when they are read, even slowly; a pipe nobody
// reads holds no writer and is given up at the end.
#include "OutputRelay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "TerminalScreen_test.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
    int out = -1;  // the read end of the child's standard output (and error, when shared)
    int err = -1;  // of its standard error, when it has its own
};

// Runs body in a child whose standard output and error are pipes (one pipe for both
// when shared), with the relay on; the child ends with the status body returns.
Child startChild(bool shared, const std::function<int()>& body) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    if (!shared) {
        EXPECT_EQ(pipe(err), 0);
    }
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(shared ? out[1] : err[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        if (!shared) {
            close(err[0]);
            close(err[1]);
        }
        Console::relayStandardOutput();
        _exit(body());
    }
    close(out[1]);
    child.out = out[0];
    if (!shared) {
        close(err[1]);
        child.err = err[0];
    }
    return child;
}

std::string readAll(int fd, int pauseMs = 0) {
    std::string text;
    char bytes[4096];
    for (ssize_t n; (n = read(fd, bytes, sizeof bytes)) > 0;) {
        text.append(bytes, static_cast<size_t>(n));
        if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    close(fd);
    return text;
}

int waitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(OutputRelay, StreamsOnOneDestinationKeepTheirOrderAndASlowReaderGetsEverything) {
    const Child child = startChild(true, [] {
        for (int i = 0; i < 2000; ++i) {
            // stdio and iostreams, both streams, as the program and its libraries write.
            if (i % 2 == 0) {
                std::cout << "out " << i << std::string(100, '.') << std::endl;
            } else {
                std::fprintf(stderr, "err %d\n", i);
            }
        }
        const Console::OutputEnd end = Console::finishStandardOutput(2000);
        return end.lost == 0 && !Console::isTerminal(STDOUT_FILENO) ? 0 : 1;
    });
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        expected +=
            i % 2 == 0 ? "out " + std::to_string(i) + std::string(100, '.') + "\n" : "err " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(readAll(child.out, 1), expected);
    EXPECT_EQ(waitFor(child.pid), 0);
}

TEST(OutputRelay, AnOutputNobodyReadsHoldsNoWriterAndIsGivenUpAtTheEnd) {
    const Child child = startChild(false, [] {
        // Far more than a pipe holds: without the relay the second write would block for good.
        const auto start = Clock::now();
        const std::string line(1000, 'x');
        for (int i = 0; i < 1000; ++i) std::cout << line << '\n';
        std::cout.flush();
        const bool prompt = Clock::now() - start < std::chrono::seconds(5);
        const auto finishing = Clock::now();
        const Console::OutputEnd end = Console::finishStandardOutput(300);
        const bool gaveUp = Clock::now() - finishing < std::chrono::seconds(3);
        return prompt && gaveUp && end.lost > 0 ? 0 : 1;
    });
    // Standard error still says what happened to standard output.
    const std::string err = readAll(child.err);
    EXPECT_EQ(waitFor(child.pid), 0) << err;
    EXPECT_NE(err.find("standard output took "), std::string::npos) << err;
    EXPECT_NE(err.find(" of 1001000 bytes; the rest was dropped (not read)\n"), std::string::npos) << err;
    close(child.out);
}

TEST(OutputRelay, AReaderThatIsGoneEndsNothing) {
    const Child child = startChild(false, [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader has left by now
        for (int i = 0; i < 100; ++i) std::cout << std::string(1000, 'y') << std::endl;
        const Console::OutputEnd end = Console::finishStandardOutput(2000);
        return end.lost == 100100 ? 0 : 1;
    });
    close(child.out);
    readAll(child.err);
    // SIGPIPE would have ended it with 141.
    EXPECT_EQ(waitFor(child.pid), 0);
}

TEST(OutputRelay, TheStatusLineStaysBelowTheOutputAndNeverMixesWithIt) {
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        Console::relayStandardOutput();
        const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
        std::cout << "line one" << std::endl;
        Console::showStatusLine("frame 1 of 9, queue 10");
        settle();
        std::cout << "0" << std::endl;  // was written after the status: "frame 1 of 9, queue 100"
        Console::showStatusLine("frame 2 of 9, queue 0");
        settle();
        std::cout << "partial" << std::flush;
        Console::showStatusLine("frame 3 of 9");  // must not overwrite the line begun
        settle();
        std::fprintf(stderr, " done\n");
        settle();
        Console::showStatusLine("");
        Console::finishStandardOutput(2000);
        _exit(0);
    }
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<size_t>(n));
    close(terminal);
    EXPECT_EQ(waitFor(pid), 0);
    EXPECT_NE(bytes.find("frame 2 of 9, queue 0"), std::string::npos) << "the status was drawn";
    EXPECT_EQ(Vy::Test::screenOf(bytes), (std::vector<std::string>{"line one", "0", "partial done", ""})) << bytes;
}
