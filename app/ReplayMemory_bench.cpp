// Peak memory of a long replay: writes a sequence of large frames (one rendered
// frame repeated with new ids and time stamps) into /tmp, replays it with the
// real program in display type 1 without a window, and prints the program's
// peak resident set (VmHWM) and its frame rate. The target is a peak under 1 GiB
// for 1000 frames of 2048 x 2048. Deletes everything it wrote afterwards.
//
// Run: ReplayMemory_bench [--frames N] [--side N] [--type T] [--lcm]   (--lcm publishes instead of recording)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CSeqFileWriter.h"
#include "engine/SyntheticPlane.h"

namespace {

namespace fs = std::filesystem;

struct Options {
    int frames = 1000;
    int side = 2048;
    int type = 1;
    bool lcm = false;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--lcm") {
            options.lcm = true;
            --i;
            continue;
        }
        const int value = i + 1 < argc ? std::atoi(argv[i + 1]) : 0;
        if (name == "--frames" && value > 0)
            options.frames = value;
        else if (name == "--side" && value >= 64 && value <= 8192)
            options.side = value;
        else if (name == "--type" && value >= 0 && value <= 4)
            options.type = value;
        else {
            std::cerr << "usage: ReplayMemory_bench [--frames N] [--side 64..8192] [--type 0..4] [--lcm]" << std::endl;
            std::exit(2);
        }
    }
    return options;
}

void writeSequence(const std::string& path, const Options& options) {
    const CCalibration calibration = Vy::Engine::Synthetic::MakeCalibration(options.side);
    CVyImage frame = Vy::Engine::Synthetic::RenderPlane(calibration, 4.0, Vy::Engine::Synthetic::Texture);
    CSeqFileWriter writer;
    writer.Create(CVyString(path), frame.GetFormat(), calibration, CVyImage());
    for (int i = 0; i < options.frames; ++i) {
        frame.frameId = 1000 + i;
        frame.timeStamp = 1565344800000.0 + i * 40.0;
        writer.WriteFrame(frame);
    }
    writer.Close();
}

// A field of /proc/<pid>/status in kB; -1 once the process is gone.
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const fs::path program = fs::canonical("/proc/self/exe").parent_path() / "MarlinProfileProc";
    const fs::path work = fs::temp_directory_path() / ("vy_replay_memory_" + std::to_string(getpid()));
    fs::create_directories(work);
    const std::string sequence = (work / "replay.rays").string();
    const std::string log = (work / "console.txt").string();

    auto clock = std::chrono::steady_clock::now();
    writeSequence(sequence, options);
    const double writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - clock).count();
    std::printf("sequence: %d frames of %dx%d, %.2f GB written in %.1f s\n", options.frames, options.side, options.side,
                fs::file_size(sequence) / 1e9, writeSeconds);
    std::fflush(stdout);

    clock = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        setenv("LCM_DEFAULT_URL", "memq://", 1);
        const std::string type = std::to_string(options.type);
        const std::string outDir = (work / "out").string();
        std::vector<const char*> args{program.c_str(), "--no-window", "--output-dir", outDir.c_str()};
        if (options.lcm) args.push_back("--lcm");
        args.insert(args.end(), {sequence.c_str(), type.c_str(), nullptr});
        execv(program.c_str(), const_cast<char* const*>(args.data()));
        _exit(127);
    }
    // The resident set every 10 s shows whether it grows with the run or levels off.
    long hwm = 0;
    auto nextReport = clock;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        hwm = std::max(hwm, statusKb(pid, "VmHWM"));
        if (std::chrono::steady_clock::now() >= nextReport) {
            std::printf("  %5.0f s: VmRSS %ld MiB, VmHWM %ld MiB\n",
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - clock).count(),
                        statusKb(pid, "VmRSS") / 1024, hwm / 1024);
            std::fflush(stdout);
            nextReport += std::chrono::seconds(10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - clock).count();
    const long peakKb = std::max(hwm, usage.ru_maxrss);

    const std::string console = readAll(log);
    std::smatch summary;
    const bool summarised = std::regex_search(console, summary, std::regex("summary: [^\n]*"));
    std::smatch stages;
    const bool broken = std::regex_search(console, stages, std::regex("per frame \\(ms\\): [^\n]*"));
    std::printf("replay: exit %d in %.1f s\n%s\n%s\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                seconds, summarised ? summary.str().c_str() : "no summary line",
                broken ? stages.str().c_str() : "no per-frame line");
    std::printf("peak RSS: %.1f MiB (target < 1024 MiB): %s\n", peakKb / 1024.0,
                peakKb < 1024 * 1024 ? "PASS" : "FAIL");
    fs::remove_all(work);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && summarised ? 0 : 1;
}
