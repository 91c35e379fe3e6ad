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

std::string progressText(uint64_t processed, uint64_t total, double seconds, uint32_t queued, bool paused) {
    const double fps = seconds > 0.0 ? processed / seconds : 0.0;
    char left[32] = "";
    if (paused) {
        std::snprintf(left, sizeof left, ", paused");
    } else if (fps > 0.0 && total >= processed) {
        const auto remaining = static_cast<unsigned long long>((total - processed) / fps + 0.5);
        std::snprintf(left, sizeof left, ", %llu:%02llu left", remaining / 60, remaining % 60);
    }
    char text[160];
    std::snprintf(text, sizeof text, "frame %llu of %llu, %.1f fps%s, queue %u",
                  static_cast<unsigned long long>(processed), static_cast<unsigned long long>(total), fps, left,
                  queued);
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
