#include "Console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

// Each case runs in a fresh copy of this executable (the console state is per process);
// the copy finds its scenario in CONSOLE_TEST_CHILD and never reaches the test runner.
namespace {

using Clock = std::chrono::steady_clock;

void say(const char* format, int value = 0) {
    std::printf(format, value);
    std::fflush(stdout);
}

// Prints every code until end of input, then how the calls behave after it.
void drainToEnd() {
    for (int code; (code = Console::_getch()) != -1;) say("%d ", code);
    say("closed=%d ", Console::inputClosed() ? 1 : 0);
    const auto start = Clock::now();
    const int again = Console::_getch();
    const int hit = Console::_kbhit();
    const bool fast = Clock::now() - start < std::chrono::milliseconds(50);
    say("END %d", again);
    say(" kbhit=%d", hit);
    say(" fast=%d\n", fast ? 1 : 0);
}

void runChildScenario(const std::string& mode) {
    if (mode == "drain") {
        drainToEnd();
    } else if (mode == "push") {
        Console::_kbhit();  // the piped codes are waiting now
        Console::pushKey('P');
        drainToEnd();
    } else if (mode == "wake") {
        std::thread pusher([] {
            Console::_sleep(50);
            Console::pushKey('Z');
        });
        say("WOKE %d\n", Console::_getch());
        pusher.join();
    } else if (mode == "taken") {
        // A worker waiting for "any key" while the loop reads: the loop keeps the key.
        int waited = -1;
        std::atomic<bool> waiting{false};
        // keepWaiting is first asked once the wait has begun, so the key below comes after it.
        std::thread worker(
            [&] { waited = Console::waitForKeyTaken([&] { return waiting.exchange(true) || true; }) ? 1 : 0; });
        while (!waiting.load()) Console::_sleep(1);
        const int key = Console::_getch();
        worker.join();
        std::printf("LOOP %d WORKER %d\n", key, waited);
        std::fflush(stdout);
    } else if (mode == "flood") {
        Console::_kbhit();
        int left = 0;
        ioctl(STDIN_FILENO, FIONREAD, &left);
        say("LEFT %d\n", left);
    } else if (mode == "raw") {
        Console::_kbhit();
        say("READY\n");
        const int a = Console::_getch(), b = Console::_getch(), c = Console::_getch();
        std::printf("GOT %d %d %d\n", a, b, c);
    } else if (mode == "signal") {
        Console::installSignalKeys();
        Console::_kbhit();
        say("READY\n");
        say("KEY %d\n", Console::_getch());
        Console::_getch();  // blocks until the second Ctrl-C ends the process
    } else if (mode == "background") {
        const pid_t worker = fork();
        if (worker == 0) {
            setpgid(0, 0);  // leaves the terminal's foreground process group
            Console::_kbhit();
            say("BG %d\n", Console::_kbhit());
            std::exit(0);
        }
        int status = 0;
        waitpid(worker, &status, WUNTRACED);
        if (WIFSTOPPED(status)) {
            say("STOPPED\n");
            kill(worker, SIGKILL);
            waitpid(worker, &status, 0);
        }
        say("DONE\n");
    }
    std::exit(0);
}

const bool childDispatch = [] {
    if (const char* mode = std::getenv("CONSOLE_TEST_CHILD")) runChildScenario(mode);
    return false;
}();

void execSelf(const char* mode) {
    setenv("CONSOLE_TEST_CHILD", mode, 1);
    execl("/proc/self/exe", "console_child", static_cast<char*>(nullptr));
    _exit(127);
}

// Reads from fd until `token` appears, the fd closes, or the time is up.
std::string readUntil(int fd, const std::string& token, int timeoutMs = 5000) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find(token) == std::string::npos && Clock::now() < deadline) {
        struct pollfd in = {fd, POLLIN, 0};
        if (poll(&in, 1, 50) <= 0) continue;
        char bytes[256];
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n <= 0) break;
        text.append(bytes, n);
    }
    return text;
}

// Exit status of the child, or -1 (after killing it) when it does not end in time.
int waitExit(pid_t pid, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct ChildResult {
    std::string output;
    int exitStatus;
};

// Runs a scenario with stdin fed from a pipe holding `input`; the pipe is closed afterwards
// unless keepOpen, and there is no stdin at all when noStdin.
ChildResult runPiped(const char* mode, const std::string& input, bool keepOpen = false, bool noStdin = false) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return {"pipe failed", -1};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        if (noStdin) close(STDIN_FILENO);
        execSelf(mode);
    }
    close(in[0]), close(out[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size()))
        return {"write failed", -1};
    if (!keepOpen) close(in[1]);
    ChildResult result;
    result.output = readUntil(out[0], "\n");
    if (keepOpen) close(in[1]);
    result.exitStatus = waitExit(pid);
    close(out[0]);
    return result;
}

struct PtyChild {
    pid_t pid = -1;
    int master = -1;
};

PtyChild startOnPty(const char* mode) {
    PtyChild child;
    child.pid = forkpty(&child.master, nullptr, nullptr, nullptr);
    if (child.pid == 0) execSelf(mode);
    return child;
}

tcflag_t localModes(int master) {
    struct termios modes;
    return tcgetattr(master, &modes) == 0 ? modes.c_lflag : 0;
}

constexpr tcflag_t kCookedBits = ICANON | ECHO;

}  // namespace

TEST(ConsolePipedKeys, ArriveInOrderOneCodePerCallThenEndAtOnce) {
    // 'a', Escape sequence for an arrow key, two-byte UTF-8 'é'.
    const ChildResult r = runPiped("drain", "a\x1b[A\xc3\xa9");
    EXPECT_EQ(r.output, "97 27 91 65 195 169 closed=1 END -1 kbhit=0 fast=1\n");
    EXPECT_EQ(r.exitStatus, 0);
}

TEST(ConsolePipedKeys, EmptyAndMissingStdinEndAtOnce) {
    EXPECT_EQ(runPiped("drain", "").output, "closed=1 END -1 kbhit=0 fast=1\n");
    EXPECT_EQ(runPiped("drain", "", false, true).output, "closed=1 END -1 kbhit=0 fast=1\n");
}

TEST(ConsolePushKey, QueuesAfterWaitingCodesAndWakesABlockedReader) {
    EXPECT_EQ(runPiped("push", "xy").output, "120 121 80 closed=1 END -1 kbhit=0 fast=1\n");
    const ChildResult woken = runPiped("wake", "", true);
    EXPECT_EQ(woken.output, "WOKE 90\n");
    EXPECT_EQ(woken.exitStatus, 0);
}

TEST(ConsolePipedKeys, AWorkerWaitingForAKeyLeavesItToTheLoop) {
    EXPECT_EQ(runPiped("taken", "q", true).output, "LOOP 113 WORKER 1\n");
}

TEST(ConsolePipedKeys, AFloodWaitsInThePipeBeyond4096Codes) {
    EXPECT_EQ(runPiped("flood", std::string(20000, 'x'), true).output, "LEFT 15904\n");
}

TEST(ConsoleTerminal, RawUnechoedKeysAndModesRestoredAtExit) {
    PtyChild child = startOnPty("raw");
    ASSERT_GT(child.pid, 0);
    ASSERT_NE(readUntil(child.master, "READY\r\n").find("READY"), std::string::npos);
    EXPECT_EQ(localModes(child.master) & kCookedBits, 0u);
    ASSERT_EQ(write(child.master, "abc", 3), 3);  // no newline: canonical input would hold these back
    const std::string out = readUntil(child.master, "GOT 97 98 99");
    EXPECT_NE(out.find("GOT 97 98 99"), std::string::npos);
    EXPECT_EQ(out.find("abc"), std::string::npos) << "keys were echoed";
    EXPECT_EQ(waitExit(child.pid), 0);
    EXPECT_EQ(localModes(child.master) & kCookedBits, kCookedBits);
    close(child.master);
}

TEST(ConsoleTerminal, FirstCtrlCIsQuitKeySecondEndsWith130AndRestoredModes) {
    PtyChild child = startOnPty("signal");
    ASSERT_GT(child.pid, 0);
    ASSERT_NE(readUntil(child.master, "READY\r\n").find("READY"), std::string::npos);
    ASSERT_EQ(write(child.master, "\x03", 1), 1);
    EXPECT_NE(readUntil(child.master, "KEY 113").find("KEY 113"), std::string::npos);
    usleep(20000);  // let the child block in _getch again
    EXPECT_EQ(localModes(child.master) & kCookedBits, 0u);
    ASSERT_EQ(write(child.master, "\x03", 1), 1);
    EXPECT_EQ(waitExit(child.pid), 130);
    EXPECT_EQ(localModes(child.master) & kCookedBits, kCookedBits);
    close(child.master);
}

TEST(ConsoleTerminal, BackgroundJobLeavesModesAloneAndIsNotStopped) {
    PtyChild child = startOnPty("background");
    ASSERT_GT(child.pid, 0);
    const std::string out = readUntil(child.master, "DONE");
    EXPECT_NE(out.find("BG 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("STOPPED"), std::string::npos);
    EXPECT_EQ(localModes(child.master) & kCookedBits, kCookedBits);
    EXPECT_EQ(waitExit(child.pid), 0);
    close(child.master);
}
