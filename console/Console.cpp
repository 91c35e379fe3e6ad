#include "Console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace Console {
namespace {

// Signals that end the run in order: Ctrl-C, a supervisor's stop, the terminal
// closing, Ctrl-\, and those whose default would kill the run without a word
// (user signals, an alarm), which would leave the recording unfinished.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
// Bytes written into the wake pipe: a signal turned into a key, or a plain wake-up.
constexpr char kSignalByte = 'q';
constexpr char kWakeByte = 0;
// A blocked _getch looks again this often (a background job may have come to the foreground).
constexpr int kPollSliceMs = 100;
// Codes read ahead of their use; further input waits in the terminal or pipe, so a
// flood on stdin cannot grow memory.
constexpr size_t kMaxQueuedCodes = 4096;

// Saved terminal modes. Written once before raw mode is switched on, then read from any
// thread and from the signal handler, hence plain storage plus an atomic flag.
struct termios savedModes;
std::atomic<bool> rawActive{false};

// Self-pipe: the signal handler and pushKey write, readers poll it beside stdin.
int wakePipe[2] = {-1, -1};
volatile sig_atomic_t signalCount = 0;
// The first stop signal, for the loop to see ahead of any queued key.
volatile sig_atomic_t stopSignal = 0;
std::terminate_handler previousTerminate = nullptr;

bool inForeground() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground == getpgrp();
}

// Async-signal-safe: only tcgetpgrp, getpgrp and tcsetattr.
void restoreModesIfRaw() {
    if (rawActive.load() && inForeground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedModes);
        rawActive.store(false);
    }
}

void onTerminate() {
    restoreModesIfRaw();
    if (previousTerminate) previousTerminate();
    std::abort();
}

void onSignal(int signo) {
    const int savedErrno = errno;
    signalCount = signalCount + 1;
    if (signalCount >= 2) {
        restoreModesIfRaw();
        _exit(130);
    }
    stopSignal = signo;
    const char byte = kSignalByte;
    [[maybe_unused]] ssize_t ignored = write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

// All key codes wait here until a reader takes them; every field is guarded by `mutex`.
// Filled from stdin, the wake pipe (signal keys) and pushKey, in arrival order.
struct KeyState {
    std::mutex mutex;
    std::deque<unsigned char> queue;
    uint64_t taken = 0;       // codes handed out so far
    bool inputEnded = false;  // stdin gave EOF, was closed or hung up
    bool initialised = false;
};

// Never destroyed: keys may be read from static constructors, atexit handlers and late threads.
KeyState& keys() {
    static KeyState* state = new KeyState;
    return *state;
}

// Moves fd above the standard descriptors, so a process started without stdin does not
// mistake the pipe for it.
int aboveStandardFds(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

void createWakePipeLocked() {
    int fds[2];
    if (wakePipe[0] != -1 || pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
    wakePipe[0] = aboveStandardFds(fds[0]);
    wakePipe[1] = aboveStandardFds(fds[1]);
}

void initialiseLocked() {
    if (keys().initialised) return;
    keys().initialised = true;
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) keys().inputEnded = true;  // no stdin at all
    createWakePipeLocked();
    previousTerminate = std::set_terminate(onTerminate);
    std::atexit(restoreTerminal);
}

// On a foreground terminal switch to raw input once; a background job leaves the modes alone.
// Returns whether stdin may be read now.
bool prepareTerminalLocked() {
    if (!isatty(STDIN_FILENO)) return true;
    if (!inForeground()) return false;
    if (rawActive.load()) return true;
    struct termios modes;
    if (tcgetattr(STDIN_FILENO, &modes) != 0) return false;
    savedModes = modes;
    modes.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    modes.c_lflag |= ISIG;
    modes.c_cc[VMIN] = 0;
    modes.c_cc[VTIME] = 0;
    rawActive.store(true);  // before the change, so a signal arriving meanwhile restores it
    if (tcsetattr(STDIN_FILENO, TCSANOW, &modes) != 0) {
        rawActive.store(false);
        return false;
    }
    return true;
}

void drainWakePipeLocked() {
    if (wakePipe[0] == -1) return;
    char bytes[64];
    for (ssize_t n; (n = read(wakePipe[0], bytes, sizeof bytes)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            if (bytes[i] == kSignalByte) keys().queue.push_back(static_cast<unsigned char>(kSignalByte));
}

// Takes whatever stdin has ready without blocking.
void readStdinLocked() {
    if (keys().inputEnded || !prepareTerminalLocked()) return;
    while (keys().queue.size() < kMaxQueuedCodes) {
        struct pollfd in = {STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&in, 1, 0);
        if (ready <= 0) return;
        if (in.revents & POLLNVAL) {
            keys().inputEnded = true;
            return;
        }
        if (!(in.revents & POLLIN)) {
            if (in.revents & (POLLHUP | POLLERR)) keys().inputEnded = true;
            return;
        }
        unsigned char bytes[256];
        const size_t room = std::min(sizeof bytes, kMaxQueuedCodes - keys().queue.size());
        const ssize_t n = read(STDIN_FILENO, bytes, room);
        if (n > 0) {
            keys().queue.insert(keys().queue.end(), bytes, bytes + n);
            continue;
        }
        if (n == 0) keys().inputEnded = true;  // poll said readable: end of pipe or file, or a hung-up terminal
        if (n < 0 && errno != EIO && errno != EAGAIN && errno != EINTR) keys().inputEnded = true;
        return;
    }
}

void fillLocked() {
    initialiseLocked();
    drainWakePipeLocked();
    readStdinLocked();
}

int popLocked() {
    const int code = keys().queue.front();
    keys().queue.pop_front();
    ++keys().taken;
    return code;
}

}  // namespace

int _kbhit() {
    std::lock_guard<std::mutex> lock(keys().mutex);
    fillLocked();
    return keys().queue.empty() ? 0 : 1;
}

int _getch() {
    for (;;) {
        bool watchStdin;
        {
            std::lock_guard<std::mutex> lock(keys().mutex);
            fillLocked();
            if (!keys().queue.empty()) return popLocked();
            if (keys().inputEnded) return -1;
            watchStdin = !isatty(STDIN_FILENO) || inForeground();
        }
        // Wait outside the lock so other threads can push keys or poll meanwhile.
        struct pollfd fds[2] = {{wakePipe[0], POLLIN, 0}, {watchStdin ? STDIN_FILENO : -1, POLLIN, 0}};
        poll(fds, 2, kPollSliceMs);
    }
}

bool inputClosed() {
    std::lock_guard<std::mutex> lock(keys().mutex);
    fillLocked();
    return keys().inputEnded && keys().queue.empty();
}

bool waitForKeyTaken(const std::function<bool()>& keepWaiting) {
    uint64_t before;
    {
        std::lock_guard<std::mutex> lock(keys().mutex);
        fillLocked();
        before = keys().taken;
    }
    while (!keepWaiting || keepWaiting()) {
        {
            std::lock_guard<std::mutex> lock(keys().mutex);
            fillLocked();
            if (keys().taken != before) return true;
            if (keys().inputEnded && keys().queue.empty()) return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs / 2));
    }
    return false;
}

int stopRequested() { return stopSignal; }

void _sleep(int milliseconds) {
    if (milliseconds <= 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now())
        std::this_thread::sleep_for(deadline - now);
}

void pushKey(int code) {
    std::lock_guard<std::mutex> lock(keys().mutex);
    fillLocked();  // codes already waiting in stdin go first
    keys().queue.push_back(static_cast<unsigned char>(code));
    const char byte = kWakeByte;
    if (wakePipe[1] != -1) {
        [[maybe_unused]] ssize_t ignored = write(wakePipe[1], &byte, 1);
    }
}

void installSignalKeys() {
    {
        std::lock_guard<std::mutex> lock(keys().mutex);
        initialiseLocked();
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signo : kStopSignals) sigaddset(&action.sa_mask, signo);
    action.sa_flags = SA_RESTART;
    for (int signo : kStopSignals) {
        // nohup and background jobs of a shell ignore some on purpose (and a starter may
        // ignore the user signals or the alarm): leave them so. Ctrl-C and SIGTERM always stop.
        struct sigaction previous = {};
        if (signo != SIGINT && signo != SIGTERM && sigaction(signo, nullptr, &previous) == 0 &&
            previous.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signo, &action, nullptr);
    }
}

void restoreTerminal() { restoreModesIfRaw(); }

}  // namespace Console
