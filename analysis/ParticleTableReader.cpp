#include "ParticleTableReader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>

#include "CVyException.h"

namespace Vy::Analysis {
namespace {

// Fields split at commas outside double quotes; a quoted field loses its quotes ("" is one quote).
std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (line.empty()) fields.clear();
    return fields;
}

// A finite number, or with anyValue also "nan" and "inf" (a camera's time stamps may be such).
std::optional<double> number(const std::string& text, bool anyValue = false) {
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(anyValue || std::isfinite(value)))
        return std::nullopt;
    return value;
}

}  // namespace

std::vector<TableParticle> readParticleTable(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) throw CVyException("readParticleTable", path, "cannot read the header");
    const std::vector<std::string> header = splitFields(line);
    auto column = [&](const char* name) {
        const auto it = std::find(header.begin(), header.end(), name);
        if (it == header.end()) throw CVyException("readParticleTable", path, std::string("no column ") + name);
        return static_cast<size_t>(it - header.begin());
    };
    const size_t cFrame = column("frame_index"), cTime = column("time_ms"), cNumber = column("number"),
                 cStatus = column("status"), cX = column("x_px"), cY = column("y_px"),
                 cDiameterPx = column("diameter_px"), cDepth = column("virtual_depth"),
                 cDistance = column("distance_mm"), cDiameter = column("diameter_mm"), cTrack = column("track_id"),
                 cVx = column("vx_mm_s"), cVy = column("vy_mm_s"), cVz = column("vz_mm_s");
    // Columns added later: tables written before them read as having no border rows and no velocity errors.
    const auto optionalColumn = [&](const char* name) {
        return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
    };
    const size_t cBorder = optionalColumn("border"), cVelocitySd = optionalColumn("velocity_sd_mm_s"),
                 cPositions = optionalColumn("velocity_positions"), cTurnedX = optionalColumn("x_turned_px"),
                 cTurnedY = optionalColumn("y_turned_px"), cRecording = optionalColumn("recording");
    std::vector<TableParticle> rows;
    for (size_t lineNumber = 2; std::getline(in, line); ++lineNumber) {
        const std::vector<std::string> f = splitFields(line);
        const auto bad = [&] {
            return CVyException("readParticleTable", path + ":" + std::to_string(lineNumber), "malformed row");
        };
        if (f.size() != header.size()) throw bad();
        TableParticle p;
        const auto frame = number(f[cFrame]), time = number(f[cTime], true), x = number(f[cX]), y = number(f[cY]);
        if (!frame || !time || !x || !y) throw bad();
        p.frameIndex = static_cast<int>(*frame);
        p.timeMs = *time;
        p.number = static_cast<int>(number(f[cNumber]).value_or(0));
        p.accepted = f[cStatus] == "accepted";
        p.border = cBorder < f.size() && f[cBorder] == "1";
        p.centre = {*x, *y};
        p.diameterPx = number(f[cDiameterPx]).value_or(0.0);
        p.virtualDepth = number(f[cDepth]);
        p.distanceMm = number(f[cDistance]);
        p.diameterMm = number(f[cDiameter]);
        if (const auto track = number(f[cTrack])) p.trackId = static_cast<int64_t>(*track);
        const auto vx = number(f[cVx]), vy = number(f[cVy]), vz = number(f[cVz]);
        if (vx && vy && vz) p.velocity = cv::Point3d(*vx, *vy, *vz);
        if (cVelocitySd < f.size()) p.velocitySd = number(f[cVelocitySd]);
        if (cPositions < f.size()) p.velocityPositions = static_cast<int>(number(f[cPositions]).value_or(0));
        if (cTurnedX < f.size() && cTurnedY < f.size()) {
            const auto tx = number(f[cTurnedX]), ty = number(f[cTurnedY]);
            if (!tx || !ty) throw bad();
            p.turnedCentre = cv::Point2d(*tx, *ty);
        }
        if (cRecording < f.size()) p.recording = f[cRecording];
        rows.push_back(p);
    }
    return rows;
}

std::map<int, double> meanDistanceByFrame(const std::vector<TableParticle>& table) {
    std::map<int, std::pair<double, int>> sums;
    for (const TableParticle& p : table) {
        if (p.accepted && p.distanceMm) {
            sums[p.frameIndex].first += *p.distanceMm;
            ++sums[p.frameIndex].second;
        }
    }
    std::map<int, double> means;
    for (const auto& [frame, sum] : sums) {
        means[frame] = sum.first / sum.second;
    }
    return means;
}

}  // namespace Vy::Analysis
