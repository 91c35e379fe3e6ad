#include "SequenceGenerator.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "CSeqFileWriter.h"
#include "CVyException.h"
#include "CameraDesign.h"
#include "CameraModel.h"
#include "EngineImage.h"
#include "GroundTruth.h"
#include "KeyValueText.h"
#include "SceneScript.h"
#include "SyntheticCamera.h"
#include "VyTypes.h"

namespace Vy::Synth {

namespace {

void check(bool ok, const std::string& what, const std::string& reason) {
    if (!ok) throw CVyException("create", what, reason);
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out) throw CVyException("create", path.string(), "cannot write the file");
}

// The camera as built (calibration.txt), and for a target each frame's plate distance
// (distances.csv, the table the optics fit takes) and the board on the plate (in truth.txt).
void writeCameraTruth(const std::string& dir, const CCalibration& built, const SceneScript& script) {
    const std::filesystem::path d(dir);
    writeText(d / "calibration.txt", built.ToText());
    if (script.plateDistances().empty()) return;
    std::string csv = "frame,distance_mm\n";
    for (size_t f = 0; f < script.plateDistances().size(); ++f) {
        char line[64];
        std::snprintf(line, sizeof line, "%zu,%.3f\n", f, script.plateDistances()[f]);
        csv += line;
    }
    writeText(d / "distances.csv", csv);
    const Board& b = script.board();
    std::ofstream index(d / "truth.txt", std::ios::app);
    index << "board_squares = " << b.columns << "x" << b.rows << "  # the checkerboard on every plate\n"
          << "inner_corners = " << b.columns - 1 << "x" << b.rows - 1 << "\n"
          << "square_mm = " << Vy::FormatNumber(b.squareMm) << "\n"
          << "# distances.csv: frame,distance_mm of each frame's plate\n";
    if (!index) throw CVyException("create", (d / "truth.txt").string(), "cannot write the file");
}
}  // namespace

std::string truthDirectory(const std::string& sequencePath) { return sequencePath + ".truth"; }

void createSequence(const std::string& path, const CreateOptions& options, std::ostream* progress) {
    const PresetDefaults defaults = presetDefaults(options.preset);
    const int size = options.size > 0 ? options.size : defaults.size;
    // A preset with a sensor of its own proportions keeps them unless a size is given.
    const bool ownSensor = options.size == 0 && defaults.width > 0;
    const int width = options.width > 0 ? options.width : (ownSensor ? defaults.width : size);
    const int height = options.height > 0 ? options.height : (ownSensor ? defaults.height : size);
    const bool target = isTargetPreset(options.preset);
    check(target || options.distances.empty(), "--distances", "only the target presets show plates");
    // A target shows one plate a frame.
    check(options.distances.empty() || options.frames == 0 || options.frames == int(options.distances.size()),
          "--frames " + std::to_string(options.frames),
          "a target shows one plate a frame and --distances lists " + std::to_string(options.distances.size()));
    const int frames = !options.distances.empty() ? static_cast<int>(options.distances.size())
                                                  : (options.frames > 0 ? options.frames : defaults.frames);
    check(width >= 64 && width <= 4096, "--width " + std::to_string(width), "must be 64..4096");
    check(height >= 64 && height <= 4096, "--height " + std::to_string(height), "must be 64..4096");
    check(frames >= 1 && frames <= 100000, "--frames " + std::to_string(frames), "must be 1..100000");
    check(options.fps > 0.0, "fps", "must be positive");
    check(options.bits == 8 || (options.bits >= 10 && options.bits <= 16), "--bits " + std::to_string(options.bits),
          "must be 8 or 10..16");
    check(options.pitch == 0.0 || (options.pitch >= 14.0 && options.pitch <= 40.0),
          "--pitch " + std::to_string(options.pitch), "must be 14..40");
    check(std::abs(options.rotationDegrees) <= 5.0, "--rotation " + std::to_string(options.rotationDegrees),
          "must be -5..5 degrees");

    RenderOptions render;
    render.samples = options.samples > 0 ? options.samples : defaults.samples;
    render.threads = options.threads;
    render.bits = options.bits;
    render.faults = options.preset == "realistic" ? CameraFaults::realistic() : CameraFaults{};
    for (const auto& [name, value] : options.faults) setFault(render.faults, name, value);
    render.patternSeed = options.seed;
    CCalibration base = presetCalibration(options.preset, width, height);
    if (!options.focalLengths.empty() || options.typeOffset >= 0) {
        std::vector<double> lengths = options.focalLengths;
        if (lengths.empty())
            for (int type = 0; type < base.microLensTypes; ++type) lengths.push_back(base.LensFocalLength(type));
        base = withLensTypes(base, lengths, std::max(0, options.typeOffset));
    }
    const double pitch = options.pitch > 0.0 ? options.pitch : base.lensPitch;
    // The default camera's offset, in proportion for another pitch (and exactly itself for the default pitch).
    const auto scaled = [&](double offset) {
        return pitch == base.lensPitch ? offset : offset * pitch / base.lensPitch;
    };
    const double offsetX = options.offsetX >= 0.0 ? options.offsetX : scaled(base.gridOffsetX);
    const double offsetY = options.offsetY >= 0.0 ? options.offsetY : scaled(base.gridOffsetY);
    check(offsetX <= pitch && offsetY <= pitch, "grid offset", "must be 0..pitch");
    // With spread lenses this stays the nominal grid, as a user's calibration of the design would.
    const CCalibration calibration =
        calibrationWithGrid(base, pitch, options.rotationDegrees * Vy::kPi / 180.0, offsetX, offsetY);
    // A camera whose optics are off its design is built so and keeps the design in its file, with the
    // grid its white image shows.
    const CCalibration built = render.faults.opticsOff()
                                   ? builtOptics(calibration, render.faults.bError, render.faults.mainDistanceError)
                                   : calibration;
    const CCalibration written = render.faults.opticsOff() ? designWithGridOf(built, calibration) : calibration;
    check(built.mainLensToMla + built.virtualDepthMin * built.mlaToSensor > built.mainFocalLength * 1.001,
          "--main-distance-error " + Vy::FormatNumber(render.faults.mainDistanceError),
          "the camera would image no object at its virtual depths (main lens to MLA " +
              Vy::FormatNumber(built.mainLensToMla) + " mm plus " + Vy::FormatNumber(built.virtualDepthMin) +
              " B is within the focal length, " + Vy::FormatNumber(built.mainFocalLength) + " mm)");
    const SyntheticCamera camera(built, render);
    const SceneScript script(options.preset, built, options.seed, static_cast<uint32_t>(frames), options.distances);

    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code error;
    if (!parent.empty()) std::filesystem::create_directories(parent, error);
    check(!error, parent.string(), error.message());

    const CVyImageFormat format{width, height, Vy::PixelTypeLuminance,
                                options.bits > 8 ? Vy::DataTypeUnsignedShort : Vy::DataTypeUnsignedByte};
    CSeqFileWriter writer;
    writer.Create(path, format, written,
                  options.white ? engineImage(camera.renderWhite(options.seed), options.bits) : CVyImage(),
                  options.bits);

    const std::string truthDir = truthDirectory(path);
    // A truth left from an earlier render would describe other frames.
    std::error_code ignored;
    if (std::filesystem::exists(std::filesystem::path(truthDir) / "truth.txt"))
        std::filesystem::remove_all(truthDir, ignored);
    const double focusGain = kFocusGain;
    if (options.truth)
        writeTruthIndex(truthDir, kTruthScale, focusGain, Model::outputSize(width, kTruthScale),
                        Model::outputSize(height, kTruthScale), static_cast<uint32_t>(frames), options.preset,
                        render.faults, options.bits);
    if (options.truth) writeCameraTruth(truthDir, built, script);

    for (int f = 0; f < frames; ++f) {
        const Scene scene = script.sceneAt(static_cast<uint32_t>(f));
        CVyImage frame = engineImage(camera.render(scene, options.seed, static_cast<uint32_t>(f)), options.bits);
        frame.timeStamp = options.startEpochMs + f * 1000.0 / options.fps;
        frame.frameId = options.firstFrameId + f;
        writer.WriteFrame(frame);
        if (options.truth)
            writeTruth(truthDir, static_cast<uint32_t>(f), computeTruth(camera, scene, kTruthScale, focusGain),
                       script.hasParticles());
        if (progress) *progress << "frame " << f + 1 << "/" << frames << "\r" << std::flush;
    }
    writer.Close();
    if (progress) *progress << "\n";
}

}  // namespace Vy::Synth
