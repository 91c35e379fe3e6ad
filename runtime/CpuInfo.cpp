#include "CpuInfo.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace Vy {

namespace {

std::string Slurp(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value after the ':' of the first line that starts with field; empty when none does.
std::string FieldValue(const std::string& text, const std::string& field) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, field.size(), field) != 0) {
            continue;
        }
        const size_t colon = line.find(':', field.size());
        if (colon == std::string::npos || line.find_first_not_of(" \t", field.size()) != colon) {
            continue;
        }
        const size_t start = line.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return "";
}

}  // namespace

std::string ModelNameFromCpuInfo(const std::string& cpuinfo) {
    const std::string name = FieldValue(cpuinfo, "model name");
    return name.empty() ? "unknown model" : name;
}

double ClockFromCpuInfo(const std::string& cpuinfo) { return std::atof(FieldValue(cpuinfo, "cpu MHz").c_str()); }

double MemoryMBFromMemInfo(const std::string& meminfo) {
    return std::atof(FieldValue(meminfo, "MemTotal").c_str()) / 1024.0;
}

CpuInfo ReadCpuInfo() {
    const std::string cpuinfo = Slurp("/proc/cpuinfo");
    const long threads = sysconf(_SC_NPROCESSORS_ONLN);
    CpuInfo info;
    info.name = "CPU " + ModelNameFromCpuInfo(cpuinfo) + " (" + std::to_string(threads > 0 ? threads : 1) + " threads)";
    const double maxKHz = std::atof(Slurp("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq").c_str());
    info.clockMHz = maxKHz > 0 ? maxKHz / 1000.0 : ClockFromCpuInfo(cpuinfo);
    info.memoryMB = MemoryMBFromMemInfo(Slurp("/proc/meminfo"));
    return info;
}

}  // namespace Vy
