#include "RunSummary.h"

#include <cstdio>

std::string summaryLine(const RunCounts& counts, const std::string& videoPath, const std::string& logPath,
                        const std::string& chartPath) {
    const double fps = counts.seconds > 0.0 ? counts.processed / counts.seconds : 0.0;
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "summary: read %llu, processed %llu, recorded %llu, published %llu, dropped %llu frames in %.1f s "
                  "(%.1f fps)",
                  static_cast<unsigned long long>(counts.read), static_cast<unsigned long long>(counts.processed),
                  static_cast<unsigned long long>(counts.recorded), static_cast<unsigned long long>(counts.published),
                  static_cast<unsigned long long>(counts.dropped), counts.seconds, fps);
    return std::string(numbers) + "; video: " + (videoPath.empty() ? "none" : videoPath) +
           "; log: " + (logPath.empty() ? "none" : logPath) + (chartPath.empty() ? "" : "; chart: " + chartPath);
}

std::string progressText(uint64_t processed, double seconds, uint32_t queued) {
    char text[128];
    std::snprintf(text, sizeof text, "processed %llu frames, %.1f fps, queue %u",
                  static_cast<unsigned long long>(processed), seconds > 0.0 ? processed / seconds : 0.0, queued);
    return text;
}

std::string stageLine(const StageMilliseconds& stages) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "per frame (ms): read %.2f, compute %.2f, measure %.2f, rotate %.2f, show %.2f, record %.2f, "
                  "publish %.2f; encode %.2f (recorder thread)",
                  stages.read, stages.compute, stages.measure, stages.rotate, stages.show, stages.record,
                  stages.publish, stages.encode);
    return text;
}
