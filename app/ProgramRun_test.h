// Runs the real MarlinProfileProc binary for end-to-end tests: keys go in
// through a pipe or a pseudo-terminal, the console output comes back.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Vy::Test {

struct ProgramResult {
    std::string out;  // stdout (and stderr when run on a terminal)
    std::string err;
    int status = -1;  // exit status; 128 + signal when killed
    bool timedOut = false;
};

struct KeyStep {
    KeyStep(int delay, std::string bytes, int signalToSend = 0, std::string waitFor = "")
        : delayMs(delay), keys(std::move(bytes)), signal(signalToSend), after(std::move(waitFor)) {}
    int delayMs;        // wait before sending
    std::string keys;   // bytes to send; empty sends nothing
    int signal;         // or a signal to send instead
    std::string after;  // and not before stdout holds this text (a slow start then cannot outrun it)
};

class ProgramRun {
public:
    // usePty: stdin/stdout are a pseudo-terminal (stderr too); otherwise pipes.
    // keys: sent in order; closeInput closes the pipe afterwards (end of input).
    static ProgramResult run(const std::vector<std::string>& args, const std::vector<KeyStep>& keys, bool usePty,
                             bool closeInput = true, int timeoutMs = 60000) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ProgramResult result;
        int input = -1, output = -1, error = -1;
        pid_t pid = -1;
        if (usePty) {
            int master = -1;
            pid = forkpty(&master, nullptr, nullptr, nullptr);
            if (pid == 0) {
                execv(argv[0], argv.data());
                _exit(127);
            }
            input = output = master;
        } else {
            int in[2], out[2], err[2];
            if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
            pid = fork();
            if (pid == 0) {
                dup2(in[0], 0);
                dup2(out[1], 1);
                dup2(err[1], 2);
                for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
                execv(argv[0], argv.data());
                _exit(127);
            }
            close(in[0]);
            close(out[1]);
            close(err[1]);
            input = in[1];
            output = out[0];
            error = err[0];
        }
        const auto start = std::chrono::steady_clock::now();
        size_t next = 0;
        auto nextAt = start + std::chrono::milliseconds(keys.empty() ? 0 : keys[0].delayMs);
        bool inputOpen = true;
        int status = 0;
        bool exited = false;
        while (!exited) {
            const auto now = std::chrono::steady_clock::now();
            if (next < keys.size() && now >= nextAt &&
                (keys[next].after.empty() || result.out.find(keys[next].after) != std::string::npos)) {
                if (keys[next].signal != 0) {
                    kill(pid, keys[next].signal);
                } else if (!keys[next].keys.empty()) {
                    (void)!write(input, keys[next].keys.data(), keys[next].keys.size());
                }
                ++next;
                if (next < keys.size()) nextAt = now + std::chrono::milliseconds(keys[next].delayMs);
            }
            if (next >= keys.size() && closeInput && inputOpen && !usePty) {
                close(input);
                inputOpen = false;
            }
            pollfd fds[2] = {{output, POLLIN, 0}, {error, POLLIN, 0}};
            poll(fds, error >= 0 ? 2 : 1, 10);
            drain(output, result.out);
            if (error >= 0) drain(error, result.err);
            if (waitpid(pid, &status, WNOHANG) == pid) exited = true;
            if (!exited && now - start > std::chrono::milliseconds(timeoutMs)) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                result.timedOut = true;
                exited = true;
            }
        }
        drain(output, result.out);
        if (error >= 0) drain(error, result.err);
        if (inputOpen && input != output) close(input);
        close(output);
        if (error >= 0) close(error);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result;
    }

private:
    static void drain(int fd, std::string& into) {
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, static_cast<size_t>(n));
    }
};

}  // namespace Vy::Test
