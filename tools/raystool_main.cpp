// raystool: looks into, creates and exports "*.rays" sequence files.
//   raystool info FILE
//   raystool create [--preset NAME] [--size N] [--frames N] [--seed N] [--samples N] [--CAMERA-FAULT X]...
//                   [--no-truth] [--no-white] OUT.rays
//   raystool export FILE OUTDIR [--first N] [--count N]
//   raystool import ... -o OUT.rays
//   raystool calibrate WHITE [FRAME...] ...
//   raystool fit-optics TARGET.rays... --distances CSV -o CALIBRATION.txt ...
//   raystool render FILE OUTDIR [--frames LIST] [--ids LIST] [--first N] [--count N] --depth ... --ply ...
// Any bad argument or file ends with one line on stderr and exit status 1. No command
// replaces an existing output unless given --overwrite.
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CVyException.h"
#include "CalibrateCamera.h"
#include "CameraFaults.h"
#include "DepthRange.h"
#include "Diagnostic.h"
#include "FileWriterThread.h"
#include "FrameImporter.h"
#include "FrameRender.h"
#include "GridCalibrator.h"
#include "OutputFile.h"
#include "SequenceGenerator.h"
#include "TargetFit.h"
#include "TextFile.h"
#include "WarningSink.h"

namespace {

const char* const kUsageCommands =
    "usage: raystool info FILE\n"
    "       raystool create [--preset demo|planes|slanted|particles|small|swarm|realistic|tour|multifocus|deep|\n"
    "                       target|target-multifocus] [--distances MM,MM,...]\n"
    "                       [--size N] [--width N] [--height N] [--frames N] [--seed N] [--samples N] [--threads N]\n"
    "                       [--bits N] [--pitch PX] [--rotation DEG] [--offset-x PX] [--offset-y PX]\n"
    "                       [--focal-lengths MM[,MM[,MM]]] [--type-offset N] [--CAMERA-FAULT X]...\n"
    "                       [--no-truth] [--no-white] [--overwrite] OUT.rays\n"
    "       raystool export FILE OUTDIR [--first N] [--count N] [--overwrite]\n"
    "       raystool import (FOLDER | FILE... | VIDEO) -o OUT.rays [--white FILE] (--calibration FILE | --calibrate)\n"
    "                       [--optics FILE] [--pitch-hint PX] [--bits N] [--fps F] [--start MS] [--timestamps CSV]\n"
    "                       [--first-id N] [--overwrite]\n"
    "       raystool calibrate WHITE [FRAME...] [--pitch-hint PX] [--optics FILE] [--overlay OUT.png] [--overwrite]\n"
    "       raystool fit-optics TARGET.rays... --distances CSV (-o CALIBRATION.txt | --check) [--square MM]\n"
    "                       [--corners CxR] [--calibration FILE] [--overwrite]\n"
    "       raystool render FILE OUTDIR [--frames LIST] [--ids LIST] [--first N] [--count N] [--depth [tiff|exr|pfm]]\n"
    "                       [--total-focus [tiff|png]] [--refocus MM[,MM...]] [--depth-picture] [--ply]\n"
    "                       [--settings FILE] [--overwrite]   (LIST: 0,5,10-20)\n";

// The commands, then the camera faults of create with their ranges and their values in `realistic`.
std::string usage() {
    std::string text = kUsageCommands;
    text += "camera faults of create (0 = none; preset realistic sets the value in brackets):\n";
    const Vy::Synth::CameraFaults realistic = Vy::Synth::CameraFaults::realistic();
    for (const Vy::Synth::FaultOption& o : Vy::Synth::faultOptions()) {
        char line[200];
        std::snprintf(line, sizeof line, "  --%-19s %-44s %g..%g [%g]\n", o.name, o.help, o.minimum, o.maximum,
                      realistic.*o.member);
        text += line;
    }
    return text;
}

struct UsageError {
    std::string message;
};

uint64_t parseNumber(const std::string& option, const std::string& text, uint64_t maximum) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > maximum)
        throw UsageError{option + ": '" + text + "' is not a number in 0.." + std::to_string(maximum)};
    return value;
}

double parseReal(const std::string& option, const std::string& text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        throw UsageError{option + ": '" + text + "' is not a number"};
    return value;
}

// Splits arguments into options with values, flags and positional arguments.
class Arguments {
public:
    Arguments(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
              const std::vector<std::string>& flags) {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (contains(valueOptions, a)) {
                if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
                values.emplace_back(a, args[++i]);
            } else if (contains(flags, a)) {
                values.emplace_back(a, "");
            } else if (a.rfind("--", 0) != 0 || a == "--") {
                positional.push_back(a);
            } else {
                throw UsageError{"unknown option " + a};
            }
        }
    }
    bool has(const std::string& option) const {
        for (const auto& [k, v] : values)
            if (k == option) return true;
        return false;
    }
    std::string value(const std::string& option, const std::string& fallback) const {
        std::string result = fallback;
        for (const auto& [k, v] : values)
            if (k == option) result = v;
        return result;
    }
    std::vector<std::string> positional;

private:
    static bool contains(const std::vector<std::string>& list, const std::string& s) {
        for (const std::string& e : list)
            if (e == s) return true;
        return false;
    }
    std::vector<std::pair<std::string, std::string>> values;
};

std::string formatTime(double ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000.0);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    char full[128];
    std::snprintf(full, sizeof full, "%s.%03d UTC (%.0f ms)", text, static_cast<int>(ms - seconds * 1000.0), ms);
    return full;
}

std::string depthText(const CSeqFileReader& reader) {
    if (reader.GetFrameFormat().dataType != Vy::DataTypeUnsignedShort) return "8-bit luminance";
    return "16-bit luminance, " + std::to_string(reader.GetSignificantBits()) + " significant bits";
}

// An OpenCV view of an 8- or 16-bit luminance image (no copy).
cv::Mat matView(const CVyImage& image) {
    const int type = image.GetDataType() == Vy::DataTypeUnsignedShort ? CV_16UC1 : CV_8UC1;
    return cv::Mat(image.GetHeight(), image.GetWidth(), type, const_cast<void*>(image.GetPixelData()));
}

int info(const std::vector<std::string>& args) {
    const Arguments a(args, {}, {});
    if (a.positional.size() != 1) throw UsageError{"info needs exactly one FILE"};
    const std::string& path = a.positional[0];
    CSeqFileReader reader;
    reader.Open(path.c_str(), 0);
    CRayImage image;
    reader.StartReading(image);
    const CVyImageFormat& format = reader.GetFrameFormat();
    std::cout << "file: " << path << "\n"
              << "frame size: " << format.width << " x " << format.height << ", " << depthText(reader) << "\n"
              << "frames: " << reader.GetFrameCount();
    if (reader.GetPromisedFrameCount() != reader.GetFrameCount()) {
        if (reader.GetPromisedFrameCount() == 0xFFFFFFFFu)
            std::cout << " (recording was not closed)";
        else
            std::cout << " (header promises " << reader.GetPromisedFrameCount() << ")";
    }
    std::cout << "\nwhite image: " << (image.GetWhiteImage().IsEmpty() ? "no" : "yes") << "\n";
    if (reader.GetFrameCount() > 0) {
        reader.ReadFrame(image);
        std::cout << "first frame: id " << image.frameId << ", " << formatTime(image.timeStamp) << "\n";
        reader.Seek(reader.GetFrameCount() - 1);
        reader.ReadFrame(image);
        std::cout << "last frame: id " << image.frameId << ", " << formatTime(image.timeStamp) << "\n";
    }
    std::cout << "calibration:\n";
    std::istringstream text(reader.GetCalibration().ToText());
    for (std::string line; std::getline(text, line);) std::cout << "  " << line << "\n";
    return 0;
}

// Renders under a temporary name and moves the sequence and its truth into place only when whole:
// a failed render (full disk) leaves no half file, and an earlier one stays unless overwrite.
void createInPlace(const std::string& out, const Vy::Synth::CreateOptions& o, bool overwrite, std::ostream* progress) {
    namespace fs = std::filesystem;
    const fs::path parent = fs::path(out).parent_path();
    std::error_code error;
    if (!parent.empty()) fs::create_directories(parent, error);
    if (error) throw UsageError{parent.string() + ": " + error.message()};
    Vy::Synth::StagedFile staged(out, overwrite, "create");
    struct RemovedUnlessKept {
        std::string dir;
        ~RemovedUnlessKept() {
            std::error_code ignored;
            if (!dir.empty()) fs::remove_all(dir, ignored);
        }
    } stagedTruth{Vy::Synth::truthDirectory(staged.path())};
    try {
        Vy::Synth::createSequence(staged.path(), o, progress);
    } catch (const CVyException& e) {
        // A render can be redone: the temporary file goes, and the line names the file asked for.
        const std::string& subject = e.Subject();
        if (subject.rfind(staged.path(), 0) != 0) throw;
        throw CVyException("create", out + subject.substr(staged.path().size()), e.Reason() + "; nothing was created");
    }
    staged.commit();
    const std::string truth = Vy::Synth::truthDirectory(out);
    // A truth left from an earlier render would describe other frames.
    if (fs::exists(fs::path(truth) / "truth.txt", error)) fs::remove_all(truth, error);
    if (o.truth) {
        fs::rename(stagedTruth.dir, truth, error);
        if (error) throw UsageError{truth + ": " + error.message()};
        stagedTruth.dir.clear();
    }
}

int create(const std::vector<std::string>& args) {
    std::vector<std::string> valueOptions = {"--preset",   "--size",          "--width",       "--height",
                                             "--frames",   "--seed",          "--samples",     "--threads",
                                             "--bits",     "--pitch",         "--rotation",    "--offset-x",
                                             "--offset-y", "--focal-lengths", "--type-offset", "--distances"};
    for (const Vy::Synth::FaultOption& f : Vy::Synth::faultOptions())
        valueOptions.push_back(std::string("--") + f.name);
    const Arguments a(args, valueOptions, {"--no-truth", "--no-white", "--quiet", "--overwrite"});
    if (a.positional.size() != 1) throw UsageError{"create needs exactly one OUT.rays"};
    Vy::Synth::CreateOptions o;
    o.preset = a.value("--preset", o.preset);
    o.size = static_cast<int>(parseNumber("--size", a.value("--size", "0"), 100000));
    o.width = static_cast<int>(parseNumber("--width", a.value("--width", "0"), 100000));
    o.height = static_cast<int>(parseNumber("--height", a.value("--height", "0"), 100000));
    o.frames = static_cast<int>(parseNumber("--frames", a.value("--frames", "0"), 100000));
    o.seed = parseNumber("--seed", a.value("--seed", "1"), UINT64_MAX);
    o.samples = static_cast<int>(parseNumber("--samples", a.value("--samples", "0"), 1024));
    o.threads = static_cast<int>(parseNumber("--threads", a.value("--threads", "2"), 64));
    o.bits = static_cast<int>(parseNumber("--bits", a.value("--bits", "8"), 16));
    o.pitch = parseReal("--pitch", a.value("--pitch", "0"));
    o.rotationDegrees = parseReal("--rotation", a.value("--rotation", "0"));
    o.offsetX = parseReal("--offset-x", a.value("--offset-x", "-1"));
    o.offsetY = parseReal("--offset-y", a.value("--offset-y", "-1"));
    if (a.has("--focal-lengths")) {
        // One focal length per microlens type, separated by commas.
        std::istringstream list(a.value("--focal-lengths", ""));
        for (std::string item; std::getline(list, item, ',');)
            o.focalLengths.push_back(parseReal("--focal-lengths", item));
        if (o.focalLengths.empty()) throw UsageError{"--focal-lengths needs 1..3 lengths in mm, separated by commas"};
    }
    if (a.has("--distances")) {
        // One plate distance (mm) per frame of a target, separated by commas.
        std::istringstream list(a.value("--distances", ""));
        for (std::string item; std::getline(list, item, ',');) o.distances.push_back(parseReal("--distances", item));
        if (o.distances.empty()) throw UsageError{"--distances needs plate distances in mm, separated by commas"};
    }
    if (a.has("--type-offset"))
        o.typeOffset = static_cast<int>(parseNumber("--type-offset", a.value("--type-offset", ""), 2));
    o.truth = !a.has("--no-truth");
    o.white = !a.has("--no-white");
    for (const Vy::Synth::FaultOption& f : Vy::Synth::faultOptions()) {
        const std::string option = std::string("--") + f.name;
        if (a.has(option)) o.faults.emplace_back(f.name, parseReal(option, a.value(option, "")));
    }
    if (a.has("--size") && o.size == 0) throw UsageError{"--size must be at least 64"};
    if (a.has("--width") && o.width == 0) throw UsageError{"--width must be at least 64"};
    if (a.has("--height") && o.height == 0) throw UsageError{"--height must be at least 64"};
    if (a.has("--frames") && o.frames == 0) throw UsageError{"--frames must be at least 1"};
    createInPlace(a.positional[0], o, a.has("--overwrite"), a.has("--quiet") ? nullptr : &std::cerr);
    return 0;
}

// The names an export writes, refused before anything is written when one is taken (unless overwrite).
void refuseTakenNames(const std::vector<std::string>& names, bool overwrite, const std::string& prefix = "export: ") {
    if (overwrite) return;
    std::vector<std::string> taken;
    std::error_code ignored;
    for (const std::string& name : names)
        if (std::filesystem::symlink_status(name, ignored).type() != std::filesystem::file_type::not_found)
            taken.push_back(name);
    if (taken.empty()) return;
    const std::string more = taken.size() > 1 ? " (and " + std::to_string(taken.size() - 1) + " more)" : "";
    throw UsageError{prefix + taken[0] + more + ": " + Vy::Synth::existsReason()};
}

std::string png(const cv::Mat& image, const std::string& path) {
    std::vector<uchar> bytes;
    if (!cv::imencode(".png", image, bytes)) throw UsageError{path + ": cannot encode the image"};
    return std::string(bytes.begin(), bytes.end());
}

int exportFrames(const std::vector<std::string>& args) {
    const Arguments a(args, {"--first", "--count"}, {"--overwrite"});
    if (a.positional.size() != 2) throw UsageError{"export needs FILE and OUTDIR"};
    CSeqFileReader reader;
    reader.Open(a.positional[0].c_str(), 4);
    const uint32_t frames = reader.GetFrameCount();
    const uint64_t first = parseNumber("--first", a.value("--first", "0"), UINT32_MAX);
    if (first >= frames && frames > 0)
        throw UsageError{"--first " + std::to_string(first) + " is past the last frame (" + std::to_string(frames) +
                         " frames)"};
    const uint64_t count =
        std::min<uint64_t>(parseNumber("--count", a.value("--count", std::to_string(frames)), UINT32_MAX),
                           frames - std::min<uint64_t>(first, frames));
    const bool overwrite = a.has("--overwrite");
    const std::filesystem::path dir = a.positional[1];
    CRayImage image;
    reader.StartReading(image);
    // The calibration block beside the frames: ready for import --calibration (or --optics).
    const std::string calibrationOut = (dir / "calibration.txt").string();
    const std::string whiteOut = (dir / "white.png").string();
    const auto frameOut = [&](uint64_t index) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%05u.png", static_cast<unsigned>(index));
        return (dir / name).string();
    };
    std::vector<std::string> names = {calibrationOut};
    if (!image.GetWhiteImage().IsEmpty()) names.push_back(whiteOut);
    for (uint64_t i = 0; i < count; ++i) names.push_back(frameOut(first + i));
    refuseTakenNames(names, overwrite);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) throw UsageError{dir.string() + ": " + error.message()};
    Vy::Synth::writeWholeFile(calibrationOut, reader.GetCalibration().ToText(), overwrite, "export");
    if (!image.GetWhiteImage().IsEmpty())
        Vy::Synth::writeWholeFile(whiteOut, png(matView(image.GetWhiteImage()), whiteOut), overwrite, "export");
    reader.Seek(static_cast<uint32_t>(first));
    for (uint64_t i = 0; i < count; ++i) {
        reader.ReadFrame(image);
        const std::string out = frameOut(first + i);
        try {
            Vy::Synth::writeWholeFile(out, png(matView(image), out), overwrite, "export");
        } catch (const CVyException& e) {
            // What was exported whole stays; the line says how far it got.
            throw UsageError{std::string(e.what()) + " (" + std::to_string(i) + " of " + std::to_string(count) +
                             " frames exported)"};
        }
    }
    std::cout << "exported " << count << " frames to " << a.positional[1] << "\n";
    return 0;
}

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

const char* const kNoOptics =
    "raystool: warning: no --optics file; distances and focal lengths are the documented defaults, so depth is in "
    "virtual units only (raystool fit-optics fits them to frames of a target at known distances)\n";

// Reads a grey image for calibrate: WHITE or a scene frame.
cv::Mat readGreyImage(const std::string& path, const char* what) {
    cv::Mat image;
    try {
        image = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
    }
    if (image.empty()) throw UsageError{path + ": cannot read the image (missing, unreadable or corrupt)"};
    if (image.channels() != 1) throw UsageError{path + ": colour image; the " + what + " must be grey"};
    if (image.depth() != CV_8U && image.depth() != CV_16U)
        throw UsageError{path + ": neither 8- nor 16-bit samples; the " + what + " must be 8- or 16-bit grey"};
    return image;
}

int calibrateCommand(const std::vector<std::string>& args) {
    const Arguments a(args, {"--pitch-hint", "--optics", "--overlay"}, {"--overwrite"});
    if (a.positional.empty()) throw UsageError{"needs a WHITE image (raystool calibrate WHITE [FRAME...])"};
    const std::string& path = a.positional[0];
    const double hint = parseReal("--pitch-hint", a.value("--pitch-hint", "0"));
    Vy::Synth::checkPitchHint(hint, "calibrate");
    const std::string overlay = a.value("--overlay", "");
    if (a.has("--overlay")) {
        // Refused before the slow steps; an input is never replaced, --overwrite or not.
        for (const std::string& input : a.positional)
            if (Vy::Synth::sameFile(overlay, input))
                throw UsageError{overlay + ": output is the input " + input + " (choose another output name)"};
        const Vy::Synth::StagedFile probe(overlay, a.has("--overwrite"), "calibrate");
    }
    const cv::Mat white = readGreyImage(path, "white image");
    std::vector<cv::Mat> frames;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string& name = a.positional[i];
        frames.push_back(readGreyImage(name, "frame"));
        if (frames.back().size() != white.size() || frames.back().depth() != white.depth())
            throw UsageError{name + ": differs from the white image in size or sample depth (" + path + ")"};
    }
    const std::string opticsFile = a.value("--optics", "");
    const std::string framesName = frames.size() == 1 ? a.positional[1] : std::to_string(frames.size()) + " frames";
    const Vy::Synth::CameraCalibration c = Vy::Synth::calibrateCamera(
        white, path, frames, framesName, Vy::Synth::significantBits(white), hint, opticsFile, "calibrate");
    // Warnings only once the grid was found: a refusal stays one line.
    if (opticsFile.empty()) std::cerr << kNoOptics;
    if (a.has("--overlay"))
        Vy::Synth::writeWholeFile(overlay, png(Vy::Synth::drawOverlay(white, c.grid), overlay), a.has("--overwrite"),
                                  "calibrate");
    std::cerr << "raystool: " << c.grid.centresUsed << " micro-images fitted, residual " << c.grid.residualRms
              << " px\n";
    if (!c.typesLine.empty()) std::cerr << "raystool: " << c.typesLine << "\n";
    std::cerr << "raystool: " << c.rangeLine << "\n";
    std::cout << c.calibration.ToText();
    return 0;
}

// Every refusal of calibrate and fit-optics reads "<command>: <file or option>: <problem>".
int namingCommand(const char* name, int (*command)(const std::vector<std::string>&),
                  const std::vector<std::string>& args) {
    try {
        return command(args);
    } catch (const UsageError& e) {
        throw UsageError{std::string(name) + ": " + e.message};
    } catch (const CVyException& e) {
        throw UsageError{std::string(name) + ": " + e.Subject() + ": " + e.Reason()};
    }
}

// "8x6" -> 8 x 6 inner corners.
cv::Size parseCorners(const std::string& text) {
    const size_t x = text.find('x');
    if (x == std::string::npos) throw UsageError{"--corners: '" + text + "' is not COLUMNSxROWS (8x6)"};
    const int columns = static_cast<int>(parseNumber("--corners", text.substr(0, x), 100));
    const int rows = static_cast<int>(parseNumber("--corners", text.substr(x + 1), 100));
    if (columns < 2 || rows < 2) throw UsageError{"--corners " + text + ": needs at least 2x2 inner corners"};
    return {columns, rows};
}

int fitOpticsCommand(const std::vector<std::string>& args) {
    const Arguments a(args, {"--distances", "-o", "--square", "--corners", "--calibration"},
                      {"--check", "--overwrite", "--quiet"});
    if (a.positional.empty()) throw UsageError{"needs a recording of the target (raystool fit-optics TARGET.rays...)"};
    Vy::Synth::TargetFitOptions o;
    o.recordings = a.positional;
    o.distances = a.value("--distances", "");
    if (o.distances.empty()) throw UsageError{"needs --distances CSV (frame,distance_mm per line)"};
    o.checkOnly = a.has("--check");
    o.calibration = a.value("--calibration", "");
    o.squareMm = parseReal("--square", a.value("--square", "0"));
    if (a.has("--square") && !(o.squareMm > 0)) throw UsageError{"--square must be a positive size in mm"};
    if (a.has("--corners")) o.innerCorners = parseCorners(a.value("--corners", ""));
    const std::string out = a.value("-o", "");
    if (out.empty() == !o.checkOnly) throw UsageError{"needs either -o CALIBRATION.txt or --check"};
    if (!out.empty()) {
        // Refused before the slow steps; an input is never replaced, --overwrite or not.
        std::vector<std::string> inputs = o.recordings;
        inputs.push_back(o.distances);
        if (!o.calibration.empty()) inputs.push_back(o.calibration);
        for (const std::string& input : inputs)
            if (Vy::Synth::sameFile(out, input))
                throw UsageError{out + ": output is the input " + input + " (choose another output name)"};
        const Vy::Synth::StagedFile probe(out, a.has("--overwrite"), "fit-optics");
    }
    const bool terminal = isatty(STDERR_FILENO) && !a.has("--quiet");
    const Vy::Synth::TargetFit fit = Vy::Synth::fitTarget(o, terminal ? &std::cerr : nullptr);
    std::cout << Vy::Synth::fitReport(fit, o);
    if (!out.empty()) {
        Vy::Synth::writeWholeFile(out, fit.calibration.ToText(), a.has("--overwrite"), "fit-optics");
        std::cout << "calibration written to " << out << "\n";
    }
    return 0;
}

// "0,5,10-20" -> {0, 0}, {5, 5}, {10, 20}.
std::vector<std::pair<uint64_t, uint64_t>> parseRanges(const std::string& option, const std::string& text) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const size_t dash = item.find('-');
        const uint64_t from = parseNumber(option, item.substr(0, dash), INT64_MAX);
        const uint64_t to = dash == std::string::npos ? from : parseNumber(option, item.substr(dash + 1), INT64_MAX);
        if (to < from) throw UsageError{option + ": '" + item + "' runs backwards"};
        ranges.emplace_back(from, to);
    }
    if (ranges.empty() || text.back() == ',')
        throw UsageError{option + ": '" + text + "' is not a list like 0,5,10-20"};
    return ranges;
}

bool inRanges(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t value) {
    for (const auto& [from, to] : ranges)
        if (value >= from && value <= to) return true;
    return false;
}

// An option with an optional format word after it ("--depth", "--depth pfm"): the word is taken
// out of args when it is one of formats.
std::string formatWord(std::vector<std::string>& args, const std::string& option,
                       const std::vector<std::string>& formats, const std::string& fallback) {
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i] == option && i + 1 < args.size() &&
            std::find(formats.begin(), formats.end(), args[i + 1]) != formats.end()) {
            const std::string word = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i) + 1);
            return word;
        }
    return fallback;
}

struct SelectedFrame {
    uint32_t index = 0;
    int64_t id = 0;
};

int renderCommand(const std::vector<std::string>& given) {
    std::vector<std::string> args = given;
    Vy::Synth::RenderOptions o;
    const std::string depthFormat = formatWord(args, "--depth", {"tiff", "exr", "pfm"}, "tiff");
    o.stillExtension = formatWord(args, "--total-focus", {"tiff", "png"}, "tiff");
    const Arguments a(args, {"--frames", "--ids", "--first", "--count", "--refocus", "--settings"},
                      {"--depth", "--total-focus", "--depth-picture", "--ply", "--overwrite"});
    if (a.positional.size() != 2) throw UsageError{"needs FILE and OUTDIR"};
    o.sequence = a.positional[0];
    o.depth = a.has("--depth");
    Vy::Results::parseFloatFormat(depthFormat, o.depthFormat);
    o.totalFocus = a.has("--total-focus");
    o.depthPicture = a.has("--depth-picture");
    o.pointCloud = a.has("--ply");
    o.settingsFile = a.value("--settings", "");
    if (a.has("--refocus")) {
        std::istringstream list(a.value("--refocus", ""));
        for (std::string item; std::getline(list, item, ',');) {
            o.refocusMm.push_back(parseReal("--refocus", item));
            if (!(o.refocusMm.back() > 0.0)) throw UsageError{"--refocus: " + item + " is not a distance in mm"};
        }
        if (o.refocusMm.empty()) throw UsageError{"--refocus needs distances in mm, separated by commas"};
    }
    if (!o.depth && !o.totalFocus && o.refocusMm.empty() && !o.depthPicture && !o.pointCloud)
        throw UsageError{"nothing to render: give --depth, --total-focus, --refocus, --depth-picture or --ply"};
    const auto indices =
        a.has("--frames") ? parseRanges("--frames", a.value("--frames", "")) : decltype(parseRanges("", "")){};
    const auto ids = a.has("--ids") ? parseRanges("--ids", a.value("--ids", "")) : decltype(indices){};

    CSeqFileReader reader;
    reader.Open(o.sequence.c_str(), 4);
    const uint32_t frames = reader.GetFrameCount();
    const uint64_t first = parseNumber("--first", a.value("--first", "0"), UINT32_MAX);
    if (a.has("--first") && first >= frames)
        throw UsageError{"--first " + std::to_string(first) + " is past the last frame (" + std::to_string(frames) +
                         " frames)"};
    const uint64_t count = parseNumber("--count", a.value("--count", std::to_string(frames)), UINT32_MAX);
    for (const auto& [from, to] : indices)
        if (to >= frames)
            throw UsageError{"--frames: index " + std::to_string(to) + " is past the last frame (" +
                             std::to_string(frames) + " frames)"};
    // Without a list, --first and --count (all frames by default) choose; with one, they add a range.
    const bool range = (indices.empty() && ids.empty()) || a.has("--first") || a.has("--count");
    CRayImage image;
    reader.StartReading(image);
    std::vector<SelectedFrame> selected;
    std::vector<bool> idFound(ids.size(), false);
    for (uint32_t f = 0; f < frames; ++f) {
        const bool byIndex = inRanges(indices, f) || (range && f >= first && f - first < count);
        if (!byIndex && ids.empty()) continue;
        if (reader.GetFrameIndex() != f) reader.Seek(f);
        reader.ReadFrame(image);
        bool byId = false;
        for (size_t k = 0; k < ids.size(); ++k)
            if (image.frameId >= 0 && inRanges({ids[k]}, static_cast<uint64_t>(image.frameId)))
                byId = idFound[k] = true;
        if (byIndex || byId) selected.push_back({f, image.frameId});
    }
    for (size_t k = 0; k < ids.size(); ++k)
        if (!idFound[k])
            throw UsageError{"--ids: no frame of " + o.sequence + " has the id " + std::to_string(ids[k].first) +
                             (ids[k].second != ids[k].first ? ".." + std::to_string(ids[k].second) : "")};
    if (selected.empty())
        throw UsageError{o.sequence + ": no frames to render (" + std::to_string(frames) + " frames)"};

    const std::filesystem::path dir = a.positional[1];
    const bool overwrite = a.has("--overwrite");
    std::vector<std::string> names;
    for (const SelectedFrame& s : selected)
        for (const std::string& name : Vy::Synth::renderedNames(o, s.index, s.id)) {
            names.push_back((dir / name).string());
            names.push_back((dir / name).string() + ".json");
        }
    refuseTakenNames(names, overwrite, "");
    Vy::Synth::FrameRenderer renderer(image.GetCalibration(), image.GetWhiteImage(), o);
    if (!renderer.virtualUnitsReason().empty())
        std::cerr << "raystool: render: warning: depth is in virtual units, not mm: " << renderer.virtualUnitsReason()
                  << "\n";
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) throw UsageError{dir.string() + ": " + error.message()};
    size_t written = 0;
    {
        // Two frames' files in the queue: the engine runs ahead by one frame at most.
        Vy::Synth::FileWriterThread writer(names.size() / selected.size());
        try {
            reader.Seek(selected.front().index);
            for (const SelectedFrame& s : selected) {
                if (reader.GetFrameIndex() != s.index) reader.Seek(s.index);
                reader.ReadFrame(image);
                for (Vy::Synth::RenderedFile& file : renderer.render(image, s.index)) {
                    const std::string path = (dir / file.name).string();
                    writer.add([path, file = std::move(file), overwrite, &written] {
                        std::string sidecar;
                        Vy::Synth::writeWholeFile(path, file.encode(sidecar), overwrite, "render");
                        Vy::Synth::writeWholeFile(path + ".json", sidecar, overwrite, "render");
                        ++written;
                    });
                }
            }
            writer.finish();
        } catch (const CVyException& e) {
            writer.finish();
            // What was written whole stays; the line says how far it got.
            throw UsageError{e.Subject() + ": " + e.Reason() + " (" + std::to_string(written) + " of " +
                             std::to_string(names.size() / 2) + " files written)"};
        }
    }
    std::cout << "rendered " << selected.size() << " frames (" << written << " files and their sidecars) to "
              << a.positional[1] << "\n";
    return 0;
}

int importFrames(const std::vector<std::string>& args) {
    const Arguments a(args,
                      {"-o", "--white", "--calibration", "--optics", "--pitch-hint", "--bits", "--fps", "--start",
                       "--timestamps", "--first-id"},
                      {"--calibrate", "--quiet", "--overwrite"});
    Vy::Synth::ImportOptions o;
    o.inputs = a.positional;
    const std::string out = a.value("-o", "");
    if (out.empty()) throw UsageError{"import needs -o OUT.rays"};
    if (o.inputs.empty()) throw UsageError{"import needs a folder, image files or a video"};
    o.white = a.value("--white", "");
    o.calibration = a.value("--calibration", "");
    o.calibrate = a.has("--calibrate");
    o.optics = a.value("--optics", "");
    o.pitchHint = parseReal("--pitch-hint", a.value("--pitch-hint", "0"));
    Vy::Synth::checkPitchHint(o.pitchHint, "import");
    o.bits = static_cast<int>(parseNumber("--bits", a.value("--bits", "0"), 16));
    if (a.has("--bits") && o.bits < 10) throw UsageError{"--bits must be 10..16"};
    o.fps = parseReal("--fps", a.value("--fps", "0"));
    if (a.has("--fps") && o.fps <= 0.0) throw UsageError{"--fps must be positive"};
    o.startMs = parseReal("--start", a.value("--start", "0"));
    o.timestamps = a.value("--timestamps", "");
    o.firstId = static_cast<int32_t>(parseNumber("--first-id", a.value("--first-id", "0"), INT32_MAX));
    o.overwrite = a.has("--overwrite");
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool terminal = isatty(STDERR_FILENO) && !a.has("--quiet");
    const Vy::Synth::ImportSummary s =
        Vy::Synth::importSequence(out, o, terminal ? &std::cerr : nullptr, &stopRequested);
    if (o.calibrate && o.optics.empty()) std::cerr << kNoOptics;
    if (!s.note.empty()) std::cerr << "raystool: " << s.note << "\n";
    if (!s.types.empty()) std::cerr << "raystool: " << s.types << "\n";
    if (!s.range.empty()) std::cerr << "raystool: " << s.range << "\n";
    if (!s.warning.empty()) std::cerr << "raystool: warning: " << s.warning << "\n";
    const double mb = s.bytes / 1e6;
    std::printf("imported %u frames into %s (%.1f MB in %.2f s, %.1f MB/s)%s\n", s.frames, out.c_str(), mb, s.seconds,
                s.seconds > 0 ? mb / s.seconds : 0.0,
                s.interrupted ? ", stopped early: the frames so far are whole" : "");
    return s.interrupted ? 130 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Vy::SetWarningSink(Console::diagnostic);  // a sequence file cut short is named on stderr
    // An unreadable image is told on one line of our own; OpenCV's decoder warnings would add a second.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    // Past the file-size limit (ulimit -f) a write then fails with EFBIG, which the tool reports, instead of
    // the signal ending it without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr
            << "raystool: no command (info, create, export, import, calibrate, fit-optics, render); raystool --help "
               "shows the usage\n";
        return 1;
    }
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        if (command == "info") return info(rest);
        if (command == "create") return create(rest);
        if (command == "export") return exportFrames(rest);
        if (command == "import") return importFrames(rest);
        if (command == "calibrate") return namingCommand("calibrate", calibrateCommand, rest);
        if (command == "fit-optics") return namingCommand("fit-optics", fitOpticsCommand, rest);
        if (command == "render") return namingCommand("render", renderCommand, rest);
        if (command == "--help" || command == "help") {
            std::cout << usage();
            return 0;
        }
        throw UsageError{"unknown command '" + command +
                         "' (info, create, export, import, calibrate, fit-optics, render)"};
    } catch (const UsageError& e) {
        std::cerr << "raystool: " << e.message << "\n";
    } catch (const CVyException& e) {
        std::cerr << "raystool: " << e.what() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "raystool: " << e.what() << "\n";
    }
    return 1;
}
