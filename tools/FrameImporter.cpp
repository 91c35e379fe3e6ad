#include "FrameImporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <ostream>

#include "CSeqFileWriter.h"
#include "CVyException.h"
#include "CalibrateCamera.h"
#include "EngineImage.h"
#include "GridCalibrator.h"
#include "OutputFile.h"
#include "TextFile.h"

namespace fs = std::filesystem;

namespace Vy::Synth {
namespace {

void fail(const std::string& subject, const std::string& reason) { throw CVyException("import", subject, reason); }

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool isImageName(const fs::path& p) {
    const std::string e = lower(p.extension().string());
    return e == ".png" || e == ".tif" || e == ".tiff" || e == ".pgm";
}

// Compares names with runs of digits taken as numbers: frame_9 < frame_10.
bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t i2 = i, j2 = j;
            while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2]))) ++i2;
            while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2]))) ++j2;
            std::string na = a.substr(i, i2 - i), nb = b.substr(j, j2 - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = i2;
            j = j2;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string sizeText(const cv::Mat& m) { return std::to_string(m.cols) + "x" + std::to_string(m.rows); }
std::string depthText(const cv::Mat& m) { return m.depth() == CV_16U ? "16-bit" : "8-bit"; }

// A grey 8- or 16-bit image or a one-line error naming the file.
cv::Mat readGrey(const std::string& path, const char* what) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) fail(path, std::string(what) + " is missing or not a file");
    cv::Mat m;
    try {
        m = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        m.release();
    }
    if (m.empty()) fail(path, std::string("cannot decode the ") + what + " (unreadable or corrupt)");
    if (m.channels() != 1)
        fail(path, std::string("the ") + what + " has " + std::to_string(m.channels()) +
                       " channels; only grey images are taken");
    if (m.depth() != CV_8U && m.depth() != CV_16U) fail(path, std::string("the ") + what + " is not 8- or 16-bit");
    return m;
}

// How 16-bit samples hold the data: the bits that carry it and how far above
// bit 0 it sits (12-bit data in the high bits, as many cameras write TIFFs: shift 4).
struct SampleBits {
    int bits = 16;
    int shift = 0;
};

// The OR of all samples: a bit that is 0 in it is used by none.
unsigned usedBits(const cv::Mat& m) {
    unsigned used = 0;
    for (int y = 0; y < m.rows; ++y) {
        const uint16_t* row = m.ptr<uint16_t>(y);
        for (int x = 0; x < m.cols; ++x) used |= row[x];
    }
    return used;
}

int lowZeroBits(unsigned used) {
    int zeros = 0;
    while (zeros < 16 && ((used >> zeros) & 1u) == 0) ++zeros;
    return zeros;
}

// The data as stored: checked against the significant bits and, for data in
// the high bits, shifted down to them. Keeps the OR of the file's samples in used
// and the largest unshifted value in largest.
cv::Mat takeSamples(const cv::Mat& m, const SampleBits& s, const std::string& path, unsigned& used, double& largest) {
    if (m.depth() != CV_16U) return m;
    const unsigned bits = usedBits(m);
    used |= bits;
    if (s.shift > 0) {
        if ((bits & ((1u << s.shift) - 1)) != 0)
            fail(path, "values with their low " + std::to_string(s.shift) + " bits set, unlike the first frame's (" +
                           std::to_string(s.bits) + "-bit data in the high bits)");
        cv::Mat stored;
        m.convertTo(stored, CV_16U, 1.0 / (1 << s.shift));  // exact: the low bits are 0
        return stored;
    }
    double top = 0.0;
    cv::minMaxLoc(m, nullptr, &top);
    largest = std::max(largest, top);
    if (s.bits < 16 && top > (1 << s.bits) - 1)
        fail(path, "value " + std::to_string(static_cast<long>(top)) + " does not fit in " + std::to_string(s.bits) +
                       " bits (--bits " + std::to_string(s.bits) + " is too small for the data)");
    return m;
}

// With --bits N, 16-bit data too large for N bits whose low 16 - N bits are 0 in the
// first frame and the white image is N-bit data in the high bits.
SampleBits sampleBits(int bits, const cv::Mat& frame, const cv::Mat& white) {
    SampleBits s{bits, 0};
    if (frame.depth() != CV_16U || bits >= 16) return s;
    const int shift = 16 - bits;
    double top = 0.0, whiteTop = 0.0;
    cv::minMaxLoc(frame, nullptr, &top);
    unsigned used = usedBits(frame);
    if (!white.empty()) {
        cv::minMaxLoc(white, nullptr, &whiteTop);
        used |= usedBits(white);
    }
    if (std::max(top, whiteTop) > (1 << bits) - 1 && (used & ((1u << shift) - 1)) == 0) s.shift = shift;
    return s;
}

// Time stamps (ms) from a CSV file: one number a line, or "id,ms"; a first line that is not a number is a heading.
// Lines end in LF, CRLF or CR, as the spreadsheet that wrote them chose.
std::vector<double> readTimestamps(const std::string& path) {
    const std::string text = ReadTextFile(path, size_t{64} << 20, "import");
    std::vector<double> stamps;
    int number = 0;
    for (const std::string_view line : SplitLines(text)) {
        ++number;
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        const size_t comma = line.find_last_of(',');
        const std::string field(line.substr(comma == std::string_view::npos ? 0 : comma + 1));
        char* end = nullptr;
        const double value = std::strtod(field.c_str(), &end);
        if (end == field.c_str() || !std::isfinite(value) ||
            field.find_first_not_of(" \t", end - field.c_str()) != std::string::npos) {
            if (number == 1) continue;
            fail(path + ":" + std::to_string(number), QuoteText(line) + " is not a time stamp in ms");
        }
        stamps.push_back(value);
    }
    // Taking frame rate times instead would hide that the file was not the one meant.
    if (stamps.empty()) fail(path, "holds no time stamps");
    return stamps;
}

// A source of frames: image files or a video.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The next frame (empty when there is none); name says where it came from.
    virtual cv::Mat next(std::string& name) = 0;
    virtual double rate() const { return 0.0; }
};

class FileSource : public FrameSource {
public:
    explicit FileSource(std::vector<std::string> files) : files_(std::move(files)) {}
    cv::Mat next(std::string& name) override {
        if (at_ >= files_.size()) return {};
        name = files_[at_++];
        return readGrey(name, "image");
    }

private:
    std::vector<std::string> files_;
    size_t at_ = 0;
};

class VideoSource : public FrameSource {
public:
    VideoSource(const std::string& path, std::string& warning) : path_(path) {
        if (!video_.open(path, cv::CAP_FFMPEG)) fail(path, "not an image and not a video FFmpeg can read");
        const int fourcc = static_cast<int>(video_.get(cv::CAP_PROP_FOURCC));
        std::string code;
        for (int i = 0; i < 4; ++i) code += static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        // Codecs that keep every pixel; anything else changes the raw data.
        static const char* const kLossless[] = {"FFV1", "png ", "PNG ", "MPNG", "HFYU", "FFVH", "Y800", "GREY", "Y8  "};
        bool lossless = false;
        for (const char* c : kLossless) lossless = lossless || code == c;
        if (!lossless)
            warning = path + ": codec '" + code +
                      "' may be lossy; raw data changed by compression gives worse depth (prefer FFV1 or PNG)";
    }
    cv::Mat next(std::string& name) override {
        cv::Mat frame;
        if (!video_.read(frame) || frame.empty()) return {};
        name = path_ + " frame " + std::to_string(index_++);
        if (frame.channels() == 1) return frame;
        std::vector<cv::Mat> planes;
        cv::split(frame, planes);
        // A grey video decodes to three equal channels; a colour one is refused.
        for (size_t c = 1; c < planes.size(); ++c)
            if (cv::norm(planes[0], planes[c], cv::NORM_INF) > 0)
                fail(name, "colour video; only grey frames are taken");
        return planes[0];
    }
    double rate() const override { return video_.get(cv::CAP_PROP_FPS); }

private:
    std::string path_;
    cv::VideoCapture video_;
    int index_ = 0;
};

// The output must not be one of the files the import reads: the rename at the end would replace it.
void refuseInputAsOutput(const std::string& out, const ImportOptions& options, const std::vector<std::string>& frames) {
    std::vector<std::string> inputs = frames;
    for (const std::string* named : {&options.white, &options.calibration, &options.optics, &options.timestamps})
        if (!named->empty()) inputs.push_back(*named);
    for (const std::string& input : inputs)
        if (sameFile(out, input)) fail(out, "output is the input " + input + " (choose another output name)");
}

CCalibration loadCalibration(const std::string& path) {
    const std::string text = ReadTextFile(path, 1 << 20, "import");
    CCalibration c;
    try {
        c = CCalibration::FromText(text, path);
    } catch (const CVyException& e) {
        fail(e.Subject(), e.Reason());  // "import: <file>:<line>: ...", as every refusal of the import
    }
    if (const std::string problem = c.Problem(); !problem.empty()) fail(path, problem);
    return c;
}

}  // namespace

std::vector<std::string> listFrames(const std::vector<std::string>& inputs, const std::string& exclude) {
    std::vector<std::string> files;
    std::error_code error;
    const auto excluded = [&](const fs::path& p) {
        std::error_code ignored;
        return !exclude.empty() && fs::equivalent(p, exclude, ignored);
    };
    if (inputs.size() == 1 && fs::is_directory(inputs[0], error)) {
        for (const auto& entry : fs::directory_iterator(inputs[0], error))
            if (entry.is_regular_file() && isImageName(entry.path()) && !excluded(entry.path()))
                files.push_back(entry.path().string());
        if (error) fail(inputs[0], error.message());
        if (files.empty()) fail(inputs[0], "folder holds no PNG, TIFF or PGM images");
    } else {
        files = inputs;
    }
    std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
        return naturalLess(fs::path(a).filename().string(), fs::path(b).filename().string());
    });
    return files;
}

ImportSummary importSequence(const std::string& out, const ImportOptions& options, std::ostream* progress,
                             const std::atomic<bool>* stop) {
    const auto started = std::chrono::steady_clock::now();
    ImportSummary summary;
    if (options.inputs.empty()) fail("import", "no input frames given");
    std::error_code error;
    if (fs::is_directory(out, error)) fail(out, "output is a directory");
    if (options.bits != 0 && (options.bits < 10 || options.bits > 16))
        fail("--bits " + std::to_string(options.bits), "must be 10..16");
    if (options.calibrate == !options.calibration.empty())
        fail("import", options.calibrate ? "give --calibration or --calibrate, not both"
                                         : "needs --calibration FILE or --calibrate (with --white)");
    if (options.calibrate && options.white.empty()) fail("--calibrate", "needs a white image (--white FILE)");

    std::unique_ptr<FrameSource> source;
    const bool video =
        options.inputs.size() == 1 && !fs::is_directory(options.inputs[0], error) && !isImageName(options.inputs[0]);
    if (video) {
        if (!fs::is_regular_file(options.inputs[0], error)) fail(options.inputs[0], "no such file or folder");
        refuseInputAsOutput(out, options, options.inputs);
        source = std::make_unique<VideoSource>(options.inputs[0], summary.warning);
    } else {
        std::vector<std::string> files = listFrames(options.inputs, options.white);
        refuseInputAsOutput(out, options, files);
        source = std::make_unique<FileSource>(std::move(files));
    }
    // Before the slow steps: an output name that is taken is refused at once.
    StagedFile staged(out, options.overwrite, "import");
    std::vector<double> stamps;
    if (!options.timestamps.empty()) stamps = readTimestamps(options.timestamps);
    const double fps = options.fps > 0.0 ? options.fps : (source->rate() > 0.0 ? source->rate() : 25.0);

    std::string firstName;
    cv::Mat frame = source->next(firstName);
    if (frame.empty()) fail(options.inputs[0], "holds no frames");
    const bool deep = frame.depth() == CV_16U;
    if (!deep && options.bits != 0) fail(firstName, "--bits is for 16-bit data; this image is 8-bit");
    const int bits = deep ? (options.bits ? options.bits : 16) : 8;

    cv::Mat white;
    if (!options.white.empty()) {
        white = readGrey(options.white, "white image");
        if (white.size() != frame.size())
            fail(options.white, "white image is " + sizeText(white) + ", frames are " + sizeText(frame));
        if (white.depth() != frame.depth())
            fail(options.white, "white image is " + depthText(white) + ", frames are " + depthText(frame));
    }
    const SampleBits samples = sampleBits(bits, frame, white);
    if (samples.shift > 0)
        summary.note = firstName + ": " + std::to_string(bits) +
                       "-bit data in the high bits of 16-bit samples (the low " + std::to_string(samples.shift) +
                       " bits are 0): stored shifted down by " + std::to_string(samples.shift) + ", as 0.." +
                       std::to_string((1 << bits) - 1);
    unsigned used = 0;
    double largest = 0.0, whiteLargest = 0.0;
    if (!white.empty()) white = takeSamples(white, samples, options.white, used, whiteLargest);
    CCalibration calibration;
    if (options.calibrate) {
        // The depth range from the first frame as it will be stored.
        unsigned firstUsed = 0;
        double firstLargest = 0.0;
        const cv::Mat first = takeSamples(frame, samples, firstName, firstUsed, firstLargest);
        const CameraCalibration found = calibrateCamera(white, options.white, {first}, firstName, bits,
                                                        options.pitchHint, options.optics, "import");
        calibration = found.calibration;
        summary.range = found.rangeLine;
        summary.types = found.typesLine;
    } else {
        calibration = loadCalibration(options.calibration);
    }
    if (calibration.sensorWidth != frame.cols || calibration.sensorHeight != frame.rows)
        fail(options.calibrate ? options.white : options.calibration,
             "calibration sensor " + std::to_string(calibration.sensorWidth) + "x" +
                 std::to_string(calibration.sensorHeight) + " differs from the frames' " + sizeText(frame));

    const CVyImageFormat format{frame.cols, frame.rows, Vy::PixelTypeLuminance,
                                deep ? Vy::DataTypeUnsignedShort : Vy::DataTypeUnsignedByte};
    CSeqFileWriter writer;
    // A full disk or the file-size limit: the import is redone, so no half of it stays (the temporary file goes).
    const auto written = [&](const auto& step) {
        try {
            step();
        } catch (const CVyException& e) {
            fail(out, e.Reason() + "; nothing was imported");
        }
    };
    written([&] {
        writer.Create(staged.path(), format, calibration, white.empty() ? CVyImage() : engineImage(white, bits), bits);
    });
    std::string name = firstName;
    while (!frame.empty()) {
        if (frame.size() != cv::Size(format.width, format.height))
            fail(name, "size " + sizeText(frame) + " differs from the first frame's " + std::to_string(format.width) +
                           "x" + std::to_string(format.height) + " (" + firstName + ")");
        if ((frame.depth() == CV_16U) != deep)
            fail(name, depthText(frame) + " image among " + (deep ? "16-bit" : "8-bit") + " ones (" + firstName + ")");
        frame = takeSamples(frame, samples, name, used, largest);
        if (!stamps.empty() && summary.frames >= stamps.size())
            fail(options.timestamps, "has " + std::to_string(stamps.size()) + " time stamps for more frames");
        CVyImage image = engineImage(frame, bits);
        image.frameId = options.firstId + static_cast<int32_t>(summary.frames);
        image.timeStamp = stamps.empty() ? options.startMs + summary.frames * 1000.0 / fps : stamps[summary.frames];
        written([&] { writer.WriteFrame(image); });
        ++summary.frames;
        summary.bytes += image.GetByteSize();
        if (progress && summary.frames % 10 == 0)
            *progress << "\rimported " << summary.frames << " frames" << std::flush;
        if (stop && stop->load()) {
            summary.interrupted = true;
            break;
        }
        frame = source->next(name);
    }
    written([&] { writer.Close(); });
    staged.commit();
    if (progress) *progress << "\r";
    const auto warn = [&](const std::string& text) {
        summary.warning += std::string(summary.warning.empty() ? "" : "; ") + text;
    };
    const int lowZeros = lowZeroBits(used);
    if (deep && options.bits == 0 && used != 0 && lowZeros >= 2 && lowZeros <= 6) {
        const std::string high = std::to_string(16 - lowZeros);
        warn("16-bit samples use only their high " + high + " bits (the low " + std::to_string(lowZeros) +
             " are 0 in every frame); for " + high + "-bit data in the high bits give --bits " + high);
    } else if (deep && options.bits == 0 && largest < (1 << 14)) {
        int usedBits = 10;
        while (largest >= (1 << usedBits)) ++usedBits;
        warn("16-bit data reaches only " + std::to_string(static_cast<long>(largest)) + "; for " +
             std::to_string(usedBits) + "-bit sensor data give --bits " + std::to_string(usedBits));
    }
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return summary;
}

}  // namespace Vy::Synth
