#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// A finite number above zero (or zero itself where allowed), the whole text; nullopt otherwise.
std::optional<double> positiveNumber(const std::string& text, bool zeroAllowed) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0.0 ||
        (value == 0.0 && !zeroAllowed)) {
        return std::nullopt;
    }
    return value;
}

// A whole number of 0 or more (above 0 unless zeroAllowed), the whole text; nullopt otherwise.
std::optional<uint64_t> wholeNumber(const std::string& text, bool zeroAllowed) {
    const std::optional<double> number = positiveNumber(text, zeroAllowed);
    if (!number || *number != std::floor(*number) || *number >= 4e9) return std::nullopt;
    return static_cast<uint64_t>(*number);
}

// Why a run name cannot name files ("" when it can): it becomes part of every output's file name.
std::string runNameProblem(const std::string& name) {
    if (name == "." || name == "..") return "is not a file name";
    for (const char c : name) {
        if (c == '/') return "holds a '/'";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "holds a control character";
    }
    return {};
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const argv[]) {
    CommandLine line;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            line.positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help") {
            line.help = true;
        } else if (argument == "--no-window") {
            line.options.noWindow = true;
        } else if (argument == "--lcm") {
            line.options.lcmOutput = true;
        } else if (argument == "--realtime") {
            line.options.realtime = true;
        } else if (argument == "--paused") {
            line.options.startPaused = true;
        } else if (argument == "--first" || argument == "--count") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                line.error = "option " + argument + " needs a value";
                return line;
            }
            const std::string value = argv[++i];
            const bool first = argument == "--first";
            const std::optional<uint64_t> number = wholeNumber(value, first);
            if (!number) {
                line.error = "option " + argument + " needs a whole number " + (first ? "of 0 or more" : "above 0") +
                             ", not '" + value + "'";
                return line;
            }
            (first ? line.options.firstFrame : line.options.frameCount) = *number;
        } else if (argument == "--name") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                line.error = "option --name needs a value";
                return line;
            }
            const std::string value = argv[++i];
            const std::string problem = runNameProblem(value);
            if (!problem.empty()) {
                line.error = "option --name: '" + value + "' " + problem + " (it names the output files)";
                return line;
            }
            line.options.runName = value;
        } else if (argument == "--camera" || argument == "--calibration" || argument == "--exposure" ||
                   argument == "--gain" || argument == "--frame-rate" || argument == "--frames") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                line.error = "option " + argument + " needs a value";
                return line;
            }
            const std::string value = argv[++i];
            if (argument == "--camera") {
                line.live.cameraAddress = value;
                continue;
            }
            if (argument == "--calibration") {
                line.live.calibrationPath = value;
                continue;
            }
            // A gain of 0 dB is a gain; no exposure, rate or frame count is 0.
            const bool gain = argument == "--gain";
            const std::optional<double> number = positiveNumber(value, gain);
            const bool whole = number && *number == std::floor(*number) && *number < 4e9;
            if (!number || (argument == "--frames" && !whole)) {
                line.error = "option " + argument + " needs a number " + (gain ? "of 0 or more" : "above 0") +
                             ", not '" + value + "'";
                return line;
            }
            if (argument == "--exposure") line.live.camera.exposureUs = number;
            if (argument == "--gain") line.live.camera.gain = number;
            if (argument == "--frame-rate") line.live.camera.frameRate = number;
            if (argument == "--frames") line.live.frames = static_cast<uint64_t>(*number);
        } else if (argument == "--output-dir" || argument == "--settings") {
            if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
                line.error = "option " + argument + " needs a value";
                return line;
            }
            (argument == "--output-dir" ? line.options.outputDir : line.options.settingsPath) = argv[++i];
        } else {
            line.error = "unknown option " + argument;
            return line;
        }
    }
    return line;
}

std::optional<DisplayType> displayTypeArgument(const std::string& text) {
    if (text.size() == 1 && text[0] >= '0' && text[0] - '0' <= displayTypeNumber(DisplayType::Profile)) {
        return static_cast<DisplayType>(text[0] - '0');
    }
    return std::nullopt;
}

std::string usageText() {
    return "Usage: MarlinProfileProc [options] FILE.rays DISPLAYTYPE\n"
           "       MarlinProfileProc --camera ADDRESS --calibration FILE [options] DISPLAYTYPE\n"
           "Replays a light-field sequence: shows, records and measures every frame.\n"
           "Live: takes the frames of a GigE Vision camera, records every one into a new .rays\n"
           "and shows the newest the engine can take.\n"
           "\n"
           "DISPLAYTYPE (the initial display):\n"
           "  0  pre-processed raw image      1  total focus image\n"
           "  2  colour-coded depth map       3  refocused image\n"
           "  4  profile measurement (blob count and area, logged to VyProc_<time>.csv)\n"
           "  anything else starts in display type 1\n"
           "\n"
           "Options:\n"
           "  --output-dir DIR  where the recording (.mp4) and the log (.csv) go (default: .)\n"
           "  --settings FILE   processing settings (default: CurrentSettings-2019-08-09.vyset\n"
           "                    beside the executable)\n"
           "  --no-window       no viewer window\n"
           "  --lcm             publish each image on LCM channel RIZODEZIZOV instead of\n"
           "                    showing and recording it\n"
           "  --realtime        replay at the recording's own rate (its frames' time stamps),\n"
           "                    not as fast as the frames can be computed\n"
           "  --first N         start at frame index N of the sequence (0 is the first)\n"
           "  --count N         replay at most N frames\n"
           "  --paused          show the first frame and wait, paused, for p or n\n"
           "  --name NAME       name the outputs NAME.mp4, VyProc_NAME.csv, NAME-frame...png\n"
           "                    in place of the sequence path and the time\n"
           "  --camera ADDRESS  live from the GigE Vision camera at this IPv4 address\n"
           "  --calibration FILE  the live run's calibration: a .rays (its calibration and\n"
           "                    white image) or a calibration block\n"
           "  --exposure US, --gain G, --frame-rate FPS  camera settings (where offered)\n"
           "  --frames N        a live run ends after N frames\n"
           "  --help            this text\n"
           "\n"
           "Keys (terminal or viewer window):\n"
           "  r  pre-processed raw    t  total focus    d  depth    f  refocused image\n"
           "  p  pause / resume       n  next frame, while paused\n"
           "  [  refocus nearer       ]  refocus farther (display type 3)\n"
           "  s  snapshot of the frame on show into the output directory\n"
           "  q  quit (Ctrl-C too; a second Ctrl-C ends at once)\n";
}
