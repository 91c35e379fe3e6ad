#include "OutputRelay.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "Mutex.h"
#include "MutexLock.h"
#include "ThreadAnnotations.h"

namespace Console {
namespace {

// Bytes a relay holds for a destination that is slow to take them; beyond, new bytes are dropped.
constexpr size_t kMaxPendingBytes = size_t{8} << 20;
// The most the writer hands to one write call.
constexpr size_t kWriteChunk = size_t{64} << 10;
constexpr auto kFinishSlice = std::chrono::milliseconds(10);

// One destination (standard output, standard error, or both when they are one).
struct Relay {
    int destination = -1;  // a duplicate of the original descriptor
    int pipeRead = -1;     // the relay thread's end
    int pipeWrite = -1;    // what 1 and/or 2 now are
    std::vector<int> streams;

    Mutex mutex;
    std::condition_variable changed;
    // The relay thread appends, the writer thread takes from the front.
    std::string pending GUARDED_BY(mutex);
    bool inputEnded GUARDED_BY(mutex) = false;  // every write end is closed and the pipe drained
    bool writing GUARDED_BY(mutex) = false;     // the writer holds a chunk outside the lock
    size_t inFlight GUARDED_BY(mutex) = 0;      // bytes of that chunk not delivered yet
    bool broken GUARDED_BY(mutex) = false;      // the destination refused a write (closed, full)
    bool abandoned GUARDED_BY(mutex) = false;   // given up at the end: it took nothing for too long
    uint64_t delivered GUARDED_BY(mutex) = 0;
    uint64_t lost GUARDED_BY(mutex) = 0;
    // A terminal's status line (the progress): its text, whether it is on the screen, whether
    // it changed since drawn, and whether the output so far ends with a whole line.
    bool terminal = false;
    std::string status GUARDED_BY(mutex);
    bool statusShown GUARDED_BY(mutex) = false;
    bool statusChanged GUARDED_BY(mutex) = false;
    bool atLineStart GUARDED_BY(mutex) = true;
};

// Never destroyed: the threads may still be blocked in a write when the process exits.
std::vector<Relay*>& relays() {
    static auto* all = new std::vector<Relay*>;
    return *all;
}

bool terminalAtStart[3] = {false, false, false};
bool relayed = false;

// Moves fd above the standard descriptors (a process started without them would
// otherwise hand out 1 or 2 for the pipe).
int aboveStandardFds(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// Only destinations that can block are relayed.
bool canBlock(const struct stat& info, int fd) {
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || (S_ISCHR(info.st_mode) && isatty(fd));
}

void readInto(Relay& relay) {
    char bytes[kWriteChunk];
    for (;;) {
        const ssize_t n = read(relay.pipeRead, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) continue;
        const MutexLock lock(relay.mutex);
        if (n <= 0) {
            relay.inputEnded = true;
            relay.changed.notify_all();
            return;
        }
        if (relay.broken || relay.abandoned || relay.pending.size() + static_cast<size_t>(n) > kMaxPendingBytes) {
            relay.lost += static_cast<uint64_t>(n);
        } else {
            relay.pending.append(bytes, static_cast<size_t>(n));
            relay.changed.notify_all();
        }
    }
}

// Writes all of text to the destination; data counts as delivered (or, on failure, as
// lost), the status line's decoration does not. False when the destination failed.
bool writeAll(Relay& relay, const std::string& text, bool data) {
    size_t done = 0;
    while (done < text.size()) {
        // The one call that may block for good; nothing else waits on it.
        const ssize_t n = write(relay.destination, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A closed reader (EPIPE, SIGPIPE being blocked here), a full disk: the rest is dropped.
            const MutexLock lock(relay.mutex);
            relay.broken = true;
            relay.lost += relay.inFlight + relay.pending.size();
            relay.inFlight = 0;
            relay.pending.clear();
            return false;
        }
        done += static_cast<size_t>(n);
        const MutexLock lock(relay.mutex);
        if (data) {
            relay.delivered += static_cast<uint64_t>(n);
            relay.inFlight -= static_cast<size_t>(n);
        }
        relay.changed.notify_all();
    }
    return true;
}

void writeOut(Relay& relay) {
    static const std::string kClearLine = "\r\x1b[K";
    std::string before, chunk, after;
    for (;;) {
        {
            MutexLock lock(relay.mutex);
            relay.writing = false;
            relay.changed.notify_all();
            while (relay.pending.empty() && !relay.statusChanged && !relay.inputEnded && !relay.abandoned) {
                relay.changed.wait(lock.native());
            }
            if (relay.abandoned || relay.broken || (relay.pending.empty() && !relay.statusChanged)) {
                return;
            }
            before.clear();
            after.clear();
            chunk.assign(relay.pending, 0, std::min(relay.pending.size(), kWriteChunk));
            relay.pending.erase(0, chunk.size());
            // The status line goes before the output and comes back below it once a line is whole;
            // a new status is drawn at once only where it cannot overwrite a line begun.
            if (!chunk.empty() && relay.statusShown) {
                before = kClearLine;
                relay.statusShown = false;
            }
            const bool lineStart = chunk.empty() ? relay.atLineStart : chunk.back() == '\n';
            if (chunk.empty() && (relay.statusShown || relay.atLineStart)) {
                before = kClearLine;
                relay.statusShown = false;
            }
            if (lineStart && !relay.status.empty() && (!chunk.empty() || !before.empty())) {
                after = relay.status + "\x1b[K";
                relay.statusShown = true;
            }
            relay.atLineStart = lineStart;
            relay.statusChanged = false;
            relay.writing = true;
            relay.inFlight = chunk.size();
        }
        if (!writeAll(relay, before, false) || !writeAll(relay, chunk, true) || !writeAll(relay, after, false)) {
            continue;  // broken: the next turn ends the thread
        }
    }
}

Relay* startRelay(int fd, const std::vector<int>& streams) {
    int ends[2];
    const int destination = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (destination < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        if (destination >= 0) close(destination);
        return nullptr;
    }
    auto* relay = new Relay;
    relay->destination = destination;
    relay->pipeRead = aboveStandardFds(ends[0]);
    relay->pipeWrite = aboveStandardFds(ends[1]);
    relay->streams = streams;
    relay->terminal = isatty(fd) != 0;
    for (const int stream : streams) dup2(relay->pipeWrite, stream);
    // The threads take no signal: the handlers run elsewhere, and a write to a closed
    // reader fails with EPIPE instead of ending the process.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread([relay] { readInto(*relay); }).detach();
    std::thread([relay] { writeOut(*relay); }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return relay;
}

// Lets the relay drain: the streams point at /dev/null, so its pipe ends once read.
void closeInput(Relay& relay) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (const int stream : relay.streams) {
        if (null >= 0) dup2(null, stream);
    }
    if (null >= 0) close(null);
    close(relay.pipeWrite);
    relay.pipeWrite = -1;
}

// Waits for the relay to pass everything on, while its destination keeps taking bytes.
// True when the destination is still fit to be written to directly.
bool drain(Relay& relay, std::chrono::milliseconds patience) {
    MutexLock lock(relay.mutex);
    uint64_t seen = relay.delivered;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        if (relay.inputEnded && relay.pending.empty() && !relay.writing) {
            return !relay.broken;
        }
        if (relay.abandoned) {
            // The relay thread still counts what was left in the pipe; it is never held.
            if (relay.inputEnded) return false;
        } else if (relay.delivered != seen) {
            seen = relay.delivered;
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > patience) {
            relay.abandoned = true;
            relay.lost += relay.pending.size() + relay.inFlight;
            relay.pending.clear();
            relay.changed.notify_all();
        }
        relay.changed.wait_for(lock.native(), kFinishSlice);
    }
}

}  // namespace

void relayStandardOutput() {
    if (relayed) return;
    relayed = true;
    struct stat info[3] = {};
    bool usable[3] = {false, false, false};
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        usable[fd] = fstat(fd, &info[fd]) == 0 && canBlock(info[fd], fd);
        terminalAtStart[fd] = isatty(fd) != 0;
    }
    const bool same = usable[1] && usable[2] && info[1].st_dev == info[2].st_dev && info[1].st_ino == info[2].st_ino &&
                      info[1].st_rdev == info[2].st_rdev;
    std::cout.flush();
    std::fflush(nullptr);
    if (same) {
        if (Relay* relay = startRelay(STDOUT_FILENO, {STDOUT_FILENO, STDERR_FILENO})) relays().push_back(relay);
        return;
    }
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!usable[fd]) continue;
        if (Relay* relay = startRelay(fd, {fd})) relays().push_back(relay);
    }
}

OutputEnd finishStandardOutput(int patienceMs) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    OutputEnd end;
    // Standard output's relay first, so that a note on what it lost can still go to standard error.
    for (Relay* relay : relays()) {
        if (relay->pipeWrite < 0) continue;  // finished before
        closeInput(*relay);
        if (drain(*relay, std::chrono::milliseconds(patienceMs))) {
            // Anything written later goes straight to the destination again.
            for (const int stream : relay->streams) dup2(relay->destination, stream);
        }
        const MutexLock lock(relay->mutex);
        end.delivered += relay->delivered;
        end.lost += relay->lost;
        if (relay->lost > 0 && relay->streams == std::vector<int>{STDOUT_FILENO}) {
            std::fprintf(stderr, "%s: standard output took %llu of %llu bytes; the rest was dropped (not read)\n",
                         program_invocation_short_name, static_cast<unsigned long long>(relay->delivered),
                         static_cast<unsigned long long>(relay->delivered + relay->lost));
            std::fflush(stderr);
        }
    }
    return end;
}

bool showStatusLine(const std::string& text) {
    for (Relay* relay : relays()) {
        if (!relay->terminal || relay->pipeWrite < 0 ||
            std::find(relay->streams.begin(), relay->streams.end(), STDERR_FILENO) == relay->streams.end()) {
            continue;
        }
        // One row only: a line that wrapped could not be taken back.
        struct winsize size {};
        const size_t columns = ioctl(relay->destination, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
        const MutexLock lock(relay->mutex);
        relay->status = text.substr(0, columns - 1);
        relay->statusChanged = true;
        relay->changed.notify_all();
        return true;
    }
    return false;
}

bool isTerminal(int fd) {
    if (relayed && fd >= STDOUT_FILENO && fd <= STDERR_FILENO) return terminalAtStart[fd];
    return isatty(fd) != 0;
}

}  // namespace Console
