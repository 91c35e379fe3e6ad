// rayscamera: serves the frames of a sequence as a GigE Vision camera on 127.0.0.1,
// inside a network namespace of its own with only loopback up, and runs a command
// there (the program with --camera 127.0.0.1): this process becomes the command, the
// camera is served by a child that ends with it. Nothing either of them sends leaves the
// namespace. For the live path's tests, demo and benchmark; needs root (CAP_SYS_ADMIN).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

// Set when the camera's process is asked to end (its parent, the command, has gone).
std::atomic<bool> stopWanted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void stopServing(int) { stopWanted = true; }

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

// The camera's process: serves until the command (its parent) has ended. Writes one byte
// to ready once the camera answers, or the refusal and nothing else.
[[noreturn]] void serveCamera(const Request& request, const std::vector<CVyImage>& frames, int ready, pid_t command) {
    // The terminal's Ctrl-C is the command's to act on; the command's end ends this process.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGTERM, stopServing);
    if (getppid() != command) _exit(0);  // the command ended before the line above
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
        if (::write(ready, "+", 1) != 1) _exit(1);
        ::close(ready);
        bool stopped = false;
        while (!stopWanted && getppid() == command) {
            if (camera && !stopped && request.stopAfter > 0 && camera->served() >= request.stopAfter) {
                camera->stopSending();
                stopped = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (camera) {
            std::fprintf(stderr, "rayscamera: served %llu frames\n", static_cast<unsigned long long>(camera->served()));
        }
    } catch (const CVyException& refusal) {
        refuse(refusal.what());
    }
    _exit(0);
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
    // Before any thread starts: the namespace is the process's, and both processes below share it.
    if (!Vy::Live::enterLoopbackNamespace(error)) {
        return refuse(error);
    }
    int ready[2];
    if (::pipe(ready) != 0) {
        return refuse(std::string("no pipe: ") + std::strerror(errno));
    }
    const pid_t command = getpid();
    const pid_t camera = fork();
    if (camera < 0) {
        return refuse(std::string("cannot start the camera: ") + std::strerror(errno));
    }
    if (camera == 0) {
        ::close(ready[0]);
        serveCamera(request, frames, ready[1], command);
    }
    ::close(ready[1]);
    char answer = 0;
    if (::read(ready[0], &answer, 1) != 1) {
        return 1;  // the camera said why
    }
    ::close(ready[0]);
    frames.clear();
    // This process becomes the command, so whatever is sent to it (keys, signals) reaches the command
    // alone and its exit status is the command's.
    execvp(request.command[0], request.command.data());
    return refuse(std::string("cannot run ") + request.command[0] + ": " + std::strerror(errno));
}
