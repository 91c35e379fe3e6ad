// Figures of the host CPU, which stands in as compute device 0 when there is
// no CUDA device: read from /proc/cpuinfo, /proc/meminfo and cpufreq.
#pragma once

#include <string>

namespace Vy {

struct CpuInfo {
    std::string name;     // "CPU <model name> (<N> threads)"
    double clockMHz = 0;  // 0 when the machine does not tell
    double memoryMB = 0;
};

CpuInfo ReadCpuInfo();

// Parsers of the kernel's text files, kept apart so they can be checked on samples.
// The first "model name" line's value; "unknown model" when absent.
std::string ModelNameFromCpuInfo(const std::string& cpuinfo);
// The first "cpu MHz" value; 0 when absent.
double ClockFromCpuInfo(const std::string& cpuinfo);
// MemTotal (kB) / 1024; 0 when absent.
double MemoryMBFromMemInfo(const std::string& meminfo);

}  // namespace Vy
