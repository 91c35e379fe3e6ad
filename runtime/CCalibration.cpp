#include "CCalibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "CVyException.h"
#include "KeyValueText.h"
#include "RaysFormat.h"

namespace {

constexpr int32_t kMaxSensorSide = 32768;

struct DoubleField {
    const char* key;
    double CCalibration::*member;
};

// The text keys of the floating-point fields, in the order ToText writes them.
constexpr DoubleField kDoubleFields[] = {
    {"pixelSize", &CCalibration::pixelSize},
    {"lensPitch", &CCalibration::lensPitch},
    {"gridRotation", &CCalibration::gridRotation},
    {"gridOffsetX", &CCalibration::gridOffsetX},
    {"gridOffsetY", &CCalibration::gridOffsetY},
    {"microImageRadius", &CCalibration::microImageRadius},
    {"mlaToSensor", &CCalibration::mlaToSensor},
    {"microLensFocalLength", &CCalibration::microLensFocalLength},
    {"mainFocalLength", &CCalibration::mainFocalLength},
    {"mainLensToMla", &CCalibration::mainLensToMla},
    {"mainApertureDiameter", &CCalibration::mainApertureDiameter},
    {"principalX", &CCalibration::principalX},
    {"principalY", &CCalibration::principalY},
    {"exitPupilDistance", &CCalibration::exitPupilDistance},
    {"virtualDepthMin", &CCalibration::virtualDepthMin},
    {"virtualDepthMax", &CCalibration::virtualDepthMax},
};

std::string Exact(double value) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

// Whole numbers of the integer fields; false for fractions or values out of int32 range.
bool ParseInteger(const std::string& text, int32_t& value) {
    double number = 0.0;
    if (!Vy::ParseFiniteNumber(text, number) || number != std::floor(number) || number < -2147483648.0 ||
        number > 2147483647.0) {
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

// "x,y x,y ..." (whitespace between pairs); false on anything else.
bool ParsePixelList(const std::string& text, std::vector<std::pair<int32_t, int32_t>>& pixels) {
    pixels.clear();
    size_t at = 0;
    while (true) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string::npos) {
            return true;
        }
        const size_t end = std::min(text.find_first_of(" \t", at), text.size());
        const std::string item = text.substr(at, end - at);
        const size_t comma = item.find(',');
        int32_t x = 0, y = 0;
        if (comma == std::string::npos || !ParseInteger(item.substr(0, comma), x) ||
            !ParseInteger(item.substr(comma + 1), y)) {
            return false;
        }
        pixels.emplace_back(x, y);
        at = end;
    }
}

}  // namespace

double CCalibration::LensFocalLength(int type) const {
    switch (type) {
        case 1:
            return microLensFocalLength1;
        case 2:
            return microLensFocalLength2;
        default:
            return microLensFocalLength;
    }
}

bool CCalibration::IsValid() const { return Problem().empty(); }

std::string CCalibration::Problem() const {
    using Vy::FormatNumber;
    const std::string sensor = std::to_string(sensorWidth) + "x" + std::to_string(sensorHeight);
    if (sensorWidth <= 0 || sensorHeight <= 0) {
        return "sensor size " + sensor + " is not positive";
    }
    if (sensorWidth > kMaxSensorSide || sensorHeight > kMaxSensorSide) {
        return "sensor size " + sensor + " exceeds " + std::to_string(kMaxSensorSide) + " pixels";
    }
    const double pixels = double(sensorWidth) * sensorHeight;
    if (pixels > double(Vy::Rays::kMaxPixels)) {
        return "sensor size " + sensor + " has more than " + std::to_string(Vy::Rays::kMaxPixels) + " pixels";
    }
    for (const DoubleField& field : kDoubleFields) {
        if (!std::isfinite(this->*field.member)) {
            return std::string(field.key) + " is not a finite number";
        }
    }
    if (gridType != "hex") {
        return "grid type '" + gridType + "' is not supported (only hex)";
    }
    if (pixelSize <= 0.0) {
        return "pixel size " + FormatNumber(pixelSize) + " mm is not positive";
    }
    if (lensPitch < 4.0 || lensPitch > 1024.0) {
        return "lens pitch " + FormatNumber(lensPitch) + " px is outside [4, 1024]";
    }
    if (microImageRadius <= 0.0 || microImageRadius > lensPitch) {
        return "micro-image radius " + FormatNumber(microImageRadius) + " px is outside (0, lens pitch " +
               FormatNumber(lensPitch) + "]";
    }
    // The lens grid is built in integer lattice steps from the offset: an origin far
    // off the sensor overflows them. One sensor size of margin on each side is plenty.
    const std::pair<const char*, std::pair<double, int32_t>> offsets[] = {{"gridOffsetX", {gridOffsetX, sensorWidth}},
                                                                          {"gridOffsetY", {gridOffsetY, sensorHeight}}};
    for (const auto& [key, offset] : offsets) {
        if (offset.first < -offset.second || offset.first > 2.0 * offset.second) {
            return std::string(key) + " " + FormatNumber(offset.first) + " px is outside [" +
                   std::to_string(-offset.second) + ", " + std::to_string(2 * offset.second) + "]";
        }
    }
    if (pixels / (lensPitch * lensPitch * 0.866) > Vy::Rays::kMaxLenses) {
        return "lens pitch " + FormatNumber(lensPitch) + " px gives more lenses than the engine handles on a " +
               sensor + " sensor (" + std::to_string(static_cast<long>(Vy::Rays::kMaxLenses)) + ")";
    }
    const std::pair<const char*, double> lengths[] = {{"mlaToSensor", mlaToSensor},
                                                      {"microLensFocalLength", microLensFocalLength},
                                                      {"mainFocalLength", mainFocalLength},
                                                      {"mainLensToMla", mainLensToMla}};
    for (const auto& [key, length] : lengths) {
        if (length <= 0.0) {
            return std::string(key) + " " + FormatNumber(length) + " mm is not positive";
        }
    }
    if (microLensTypes < 1 || microLensTypes > kMaxLensTypes) {
        return "microLensTypes " + std::to_string(microLensTypes) + " is outside [1, " + std::to_string(kMaxLensTypes) +
               "]";
    }
    if (lensTypeOffset < 0 || lensTypeOffset >= microLensTypes) {
        return "lensTypeOffset " + std::to_string(lensTypeOffset) + " is outside [0, " +
               std::to_string(microLensTypes - 1) + "]";
    }
    for (int type = 1; type < microLensTypes; ++type) {
        const double length = LensFocalLength(type);
        if (!std::isfinite(length) || length <= 0.0) {
            return "microLensFocalLength" + std::to_string(type) + " " + FormatNumber(length) +
                   " mm is not positive (microLensTypes is " + std::to_string(microLensTypes) + ")";
        }
    }
    if (exitPupilDistance != 0.0 && exitPupilDistance < 4.0 * mlaToSensor) {
        return "exitPupilDistance " + FormatNumber(exitPupilDistance) +
               " mm is neither 0 (unknown) nor at least 4 x mlaToSensor";
    }
    if (mainApertureDiameter < 0.0) {
        return "mainApertureDiameter " + FormatNumber(mainApertureDiameter) + " mm is negative";
    }
    if (!std::isfinite(blackLevel) || blackLevel > 65535.0) {
        return "blackLevel " + FormatNumber(blackLevel) + " is not a sample value (below 0: unknown, at most 65535)";
    }
    for (const auto& [x, y] : defectivePixels) {
        if (x < 0 || y < 0 || x >= sensorWidth || y >= sensorHeight) {
            return "defective pixel " + std::to_string(x) + "," + std::to_string(y) + " lies off the " + sensor +
                   " sensor";
        }
    }
    if (virtualDepthMin <= 1.0 || virtualDepthMin >= virtualDepthMax) {
        return "virtual depth range [" + FormatNumber(virtualDepthMin) + ", " + FormatNumber(virtualDepthMax) +
               "] is unusable (needs 1 < min < max)";
    }
    return "";
}

std::string CCalibration::ToText() const {
    // Lens types need version 3; a single-focus block keeps the version it was read with.
    const int written = microLensTypes > 1 ? std::max(version, 3) : version;
    std::string text = "# rays calibration\nversion = " + std::to_string(written) + "\n";
    text += "sensorWidth = " + std::to_string(sensorWidth) + "\n";
    text += "sensorHeight = " + std::to_string(sensorHeight) + "\n";
    text += "gridType = " + gridType + "\n";
    for (const DoubleField& field : kDoubleFields) {
        text += std::string(field.key) + " = " + Exact(this->*field.member) + "\n";
    }
    // Lens types only for a multi-focus array, so a single-focus block stays as it was.
    if (microLensTypes > 1) {
        text += "microLensTypes = " + std::to_string(microLensTypes) + "\n";
        for (int type = 1; type < microLensTypes; ++type) {
            text += "microLensFocalLength" + std::to_string(type) + " = " + Exact(LensFocalLength(type)) + "\n";
        }
        text += "lensTypeOffset = " + std::to_string(lensTypeOffset) + "\n";
    }
    // Sensor faults only where known, so a clean camera's block stays as it was.
    if (blackLevel >= 0.0) {
        text += "blackLevel = " + Exact(blackLevel) + "\n";
    }
    if (!defectivePixels.empty()) {
        text += "defectivePixels =";
        for (const auto& [x, y] : defectivePixels) {
            text += ' ';
            text += std::to_string(x);
            text += ',';
            text += std::to_string(y);
        }
        text += "\n";
    }
    return text;
}

CCalibration CCalibration::FromText(const std::string& text, const std::string& source) {
    static const std::string kOperation = "CCalibration::FromText";
    CCalibration result;
    for (const Vy::KeyValueLine& line : Vy::ParseKeyValueText(text, source, kOperation)) {
        const std::string where = Vy::SourceLine(source, line.line);
        const auto notA = [&](const char* what) {
            return CVyException(kOperation, where, "value '" + line.value + "' of '" + line.key + "' is not " + what);
        };
        if (line.key == "gridType") {
            result.gridType = line.value;
            continue;
        }
        if (line.key == "defectivePixels") {
            if (!ParsePixelList(line.value, result.defectivePixels)) {
                throw notA("a list of x,y pixel positions");
            }
            continue;
        }
        if (line.key == "blackLevel") {
            if (!Vy::ParseFiniteNumber(line.value, result.blackLevel)) {
                throw notA("a number");
            }
            continue;
        }
        if (line.key == "microLensFocalLength1" || line.key == "microLensFocalLength2") {
            double& length =
                line.key == "microLensFocalLength1" ? result.microLensFocalLength1 : result.microLensFocalLength2;
            if (!Vy::ParseFiniteNumber(line.value, length)) {
                throw notA("a number");
            }
            continue;
        }
        if (line.key == "version" || line.key == "sensorWidth" || line.key == "sensorHeight" ||
            line.key == "microLensTypes" || line.key == "lensTypeOffset") {
            int32_t value = 0;
            if (!ParseInteger(line.value, value)) {
                throw notA("an integer");
            }
            if (line.key == "version") {
                if (value < 1 || value > kCurrentVersion) {
                    throw CVyException(kOperation, where, "unsupported calibration version " + line.value);
                }
                result.version = value;
            } else if (line.key == "microLensTypes") {
                result.microLensTypes = value;
            } else if (line.key == "lensTypeOffset") {
                result.lensTypeOffset = value;
            } else {
                (line.key == "sensorWidth" ? result.sensorWidth : result.sensorHeight) = value;
            }
            continue;
        }
        const DoubleField* field = nullptr;
        for (const DoubleField& candidate : kDoubleFields) {
            if (line.key == candidate.key) {
                field = &candidate;
            }
        }
        if (field == nullptr) {
            throw CVyException(kOperation, where, "unknown key '" + line.key + "'");
        }
        double number = 0.0;
        if (!Vy::ParseFiniteNumber(line.value, number)) {
            throw notA("a number");
        }
        result.*(field->member) = number;
    }
    return result;
}
