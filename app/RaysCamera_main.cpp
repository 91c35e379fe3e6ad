// rayscamera: serves the frames of a sequence as a GigE Vision camera on 127.0.0.1,
// inside a network namespace of its own with only loopback up, and runs a command
// there (the program with --camera 127.0.0.1). Nothing either of them sends leaves the
// namespace. For the live path's tests, demo and benchmark; needs root (CAP_SYS_ADMIN).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "FakeGigECamera.h"
#include "LoopbackNamespace.h"
#include "VyTypes.h"

namespace {

constexpr const char* kUsage =
    "Usage: rayscamera (FILE.rays [--fps N] [--format NAME] [--load N] [--stop-after N] | --none) -- COMMAND...\n"
    "Serves FILE's frames (over and over) as a GigE Vision camera on 127.0.0.1 in a network namespace\n"
    "with only loopback up, and runs COMMAND there; exits with its status.\n"
    "  --fps N         frames a second (default 25)\n"
    "  --format NAME   the pixel format the camera states (default Mono8 or Mono16, by the file)\n"
    "  --load N        serve only the first N frames of the file (default: all, up to 1 GiB)\n"
    "  --stop-after N  the camera stops sending after N frames\n"
    "  --none          no camera: only the namespace\n";
constexpr uint64_t kMostBytes = 1ull << 30;

// The command, once started: the stop signals sent to this process alone go on to it.
volatile pid_t commandPid = 0;

void forwardSignal(int signal) {
    if (commandPid > 0) kill(commandPid, signal);
}

struct Request {
    std::string sequence;
    double fps = 25.0;
    std::string format;
    uint64_t load = 0;
    uint64_t stopAfter = 0;
    bool none = false;
    std::vector<char*> command;
};

int refuse(const std::string& line) {
    std::fprintf(stderr, "rayscamera: %s\n", line.c_str());
    return 1;
}

bool parse(int argc, char** argv, Request& request, std::string& error) {
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string argument = argv[i];
        const bool takesValue =
            argument == "--fps" || argument == "--format" || argument == "--load" || argument == "--stop-after";
        if (takesValue && i + 1 >= argc) {
            error = "option " + argument + " needs a value";
            return false;
        }
        if (argument == "--none") {
            request.none = true;
        } else if (argument == "--format") {
            request.format = argv[++i];
        } else if (takesValue) {
            char* end = nullptr;
            const double value = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(value > 0.0)) {
                error = "option " + argument + " needs a number above 0";
                return false;
            }
            if (argument == "--fps") request.fps = value;
            if (argument == "--load") request.load = static_cast<uint64_t>(value);
            if (argument == "--stop-after") request.stopAfter = static_cast<uint64_t>(value);
        } else if (argument.rfind("--", 0) == 0 || !request.sequence.empty()) {
            error = "unexpected argument " + argument;
            return false;
        } else {
            request.sequence = argument;
        }
    }
    for (++i; i < argc; ++i) request.command.push_back(argv[i]);
    request.command.push_back(nullptr);
    if (request.command.size() < 2) {
        error = "no command after --";
        return false;
    }
    if (request.none == !request.sequence.empty()) {
        error = "give a sequence or --none";
        return false;
    }
    return true;
}

std::vector<CVyImage> loadFrames(const Request& request) {
    CSeqFileReader reader;
    CRayImage image;
    reader.Open(CVyString(request.sequence), 0);
    reader.StartReading(image);
    const uint64_t count =
        request.load > 0 ? std::min<uint64_t>(request.load, reader.GetFrameCount()) : reader.GetFrameCount();
    std::vector<CVyImage> frames;
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < count && bytes < kMostBytes; ++i) {
        reader.ReadFrame(image);
        frames.push_back(image);
        bytes += frames.back().GetByteSize();
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    Request request;
    std::string error;
    if (argc < 2 || !parse(argc, argv, request, error)) {
        std::fputs(kUsage, stderr);
        return error.empty() ? 1 : refuse(error);
    }
    std::vector<CVyImage> frames;
    try {
        if (!request.none) frames = loadFrames(request);
    } catch (const CVyException& refusal) {
        return refuse(refusal.what());
    }
    if (!request.none && frames.empty()) {
        return refuse(request.sequence + ": no frames to serve");
    }
    // Before any thread starts: the namespace is the process's.
    if (!Vy::Live::enterLoopbackNamespace(error)) {
        return refuse(error);
    }
    try {
        std::unique_ptr<Vy::Live::FakeGigECamera> camera;
        if (!request.none) {
            const bool sixteen = frames.front().GetDataType() == Vy::DataTypeUnsignedShort;
            const std::string format = request.format.empty() ? (sixteen ? "Mono16" : "Mono8") : request.format;
            camera = std::make_unique<Vy::Live::FakeGigECamera>(frames, request.fps, format);
            std::fprintf(stderr, "rayscamera: serving %zu frames of %s as %dx%d %s at %.1f frames/s on 127.0.0.1\n",
                         frames.size(), request.sequence.c_str(), frames.front().GetWidth(), frames.front().GetHeight(),
                         format.c_str(), request.fps);
        }
        // The command gets the terminal's Ctrl-C itself; this process waits for it to end. What is
        // sent to this process alone (kill, a closed terminal) is passed on.
        signal(SIGINT, SIG_IGN);
        signal(SIGQUIT, SIG_IGN);
        for (const int stop : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM}) signal(stop, forwardSignal);
        const pid_t child = fork();
        if (child == 0) {
            signal(SIGINT, SIG_DFL);
            signal(SIGQUIT, SIG_DFL);
            execvp(request.command[0], request.command.data());
            std::fprintf(stderr, "rayscamera: cannot run %s: %s\n", request.command[0], std::strerror(errno));
            _exit(127);
        }
        commandPid = child;
        int status = 0;
        bool stopped = false;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (camera && !stopped && request.stopAfter > 0 && camera->served() >= request.stopAfter) {
                camera->stopSending();
                stopped = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (camera) {
            std::fprintf(stderr, "rayscamera: served %llu frames\n", static_cast<unsigned long long>(camera->served()));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const CVyException& refusal) {
        return refuse(refusal.what());
    }
}
