// The frames the benchmarks time: the first frame of a synthetic camera scene at
// one sensor side, as users replay it. Each scene is rendered once, by the raystool
// beside the benchmark, into <build>/bench-scenes/<scene>-<side>.rays and read from
// there later, so that every benchmark times the same frames. The render runs as a
// process of its own: the synthetic camera lives above the runtime and the analysis.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CCalibration.h"
#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyImage.h"
#include "engine/SyntheticPlane.h"

namespace Vy::Bench {

struct SceneFrame {
    CCalibration calibration;
    CVyImage raw;
    CVyImage white;  // empty for the reference plane
};

// The running executable's folder (<build>/bin).
inline std::filesystem::path BinaryDirectory() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path() : self.parent_path();
}

inline std::filesystem::path SceneCache() { return BinaryDirectory().parent_path() / "bench-scenes"; }

// A copy that owns its pixels (the reader's images are views into its mapping).
inline CVyImage OwnedImage(const CVyImage& image) {
    CVyImage copy;
    if (!image.IsEmpty()) {
        copy.Create(image.GetWidth(), image.GetHeight(), image.GetPixelType(), image.GetDataType(),
                    image.GetPixelData());
    }
    return copy;
}

// multifocus-middle: the multifocus scene through its middle lens type alone (single focus).
inline std::vector<std::string> RenderArguments(const std::string& scene, int side, const std::string& file) {
    std::vector<std::string> args{"create", "--preset", scene == "multifocus-middle" ? "multifocus" : scene};
    if (scene == "multifocus-middle") {
        args.insert(args.end(), {"--focal-lengths", "0.542"});  // mm, the multifocus camera's type 2
    }
    args.insert(args.end(),
                {"--size", std::to_string(side), "--frames", "1", "--no-truth", "--quiet", "--overwrite", file});
    return args;
}

// Runs raystool; its own error line goes to stderr, the exception names the file it was to write.
inline void RenderScene(const std::filesystem::path& raystool, const std::vector<std::string>& args,
                        const std::string& file) {
    std::vector<const char*> argv{raystool.c_str()};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const std::string how = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127
                                    ? raystool.string() + " could not be run (build the raystool target)"
                                    : raystool.string() + " failed";
        throw std::runtime_error(file + ": cannot render the scene: " + how);
    }
}

// The first frame of scene at side x side from cache, rendered there when missing. "plane", the
// reference fronto-parallel plane, is drawn in memory. Throws std::runtime_error naming the
// file when the render fails, CVyException when the file cannot be read.
inline SceneFrame LoadSceneFrame(const std::string& scene, int side, const std::filesystem::path& cache,
                                 const std::filesystem::path& raystool) {
    SceneFrame frame;
    if (scene == "plane") {
        frame.calibration = Engine::Synthetic::MakeCalibration(side);
        frame.raw = Engine::Synthetic::RenderPlane(frame.calibration, 4.0, Engine::Synthetic::Texture);
        return frame;
    }
    const std::filesystem::path file = cache / (scene + "-" + std::to_string(side) + ".rays");
    if (!std::filesystem::exists(file)) {
        std::filesystem::create_directories(cache);
        // A render cut short leaves no file that a later run would take for the scene.
        const std::string partial = file.string() + ".partial";
        std::cerr << "rendering " << file.string() << " (once)\n";
        RenderScene(raystool, RenderArguments(scene, side, partial), file.string());
        std::filesystem::rename(partial, file);
    }
    CSeqFileReader reader;
    reader.Open(file.c_str(), 0);
    CRayImage image;
    reader.StartReading(image);
    reader.ReadFrame(image);
    frame.calibration = reader.GetCalibration();
    frame.white = OwnedImage(image.GetWhiteImage());
    frame.raw = OwnedImage(image);
    return frame;
}

// LoadSceneFrame from <build>/bench-scenes with the raystool beside the benchmark, once per scene and side.
inline const SceneFrame& CachedSceneFrame(const std::string& scene, int side) {
    static std::map<std::pair<std::string, int>, std::unique_ptr<SceneFrame>> frames;
    auto& frame = frames[{scene, side}];
    if (!frame) {
        frame = std::make_unique<SceneFrame>(LoadSceneFrame(scene, side, SceneCache(), BinaryDirectory() / "raystool"));
    }
    return *frame;
}

}  // namespace Vy::Bench
