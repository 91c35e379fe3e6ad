// Runs a test's body in a child process inside a network namespace of its own with only
// loopback up, where a fake GigE Vision camera may serve on 127.0.0.1 and a client may
// reach it without anything leaving the machine.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "LoopbackNamespace.h"

namespace Vy::Test {

struct LoopbackOutcome {
    bool skipped = false;
    std::string failure;  // empty when the body passed
};

// body returns "" when it passed, else what failed. The child never returns into the test runner.
inline LoopbackOutcome runInLoopbackNamespace(const std::function<std::string()>& body) {
    constexpr int kSkipped = 77;
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return {false, "no pipe"};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        std::string text;
        int code = 0;
        if (!Vy::Live::enterLoopbackNamespace(text)) {
            code = kSkipped;
        } else if (!Vy::Live::onlyLoopbackUp()) {
            text = "the new namespace has other interfaces up";
            code = 1;
        } else {
            try {
                text = body();
            } catch (const std::exception& exception) {
                text = std::string("exception: ") + exception.what();
            }
            code = text.empty() ? 0 : 1;
        }
        if (!text.empty() && ::write(pipeEnds[1], text.data(), text.size()) < 0) {
            code = 1;
        }
        ::_exit(code);
    }
    ::close(pipeEnds[1]);
    std::string text;
    char chunk[512];
    ssize_t n = 0;
    while ((n = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
        return {true, text};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return {false, text.empty() ? "child ended with status " + std::to_string(status) : text};
    }
    return {};
}

}  // namespace Vy::Test
