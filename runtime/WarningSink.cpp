#include "WarningSink.h"

#include <mutex>
#include <utility>

namespace Vy {
namespace {

struct Installed {
    std::mutex mutex;
    WarningSink sink;
};

Installed& installed() {
    static Installed* one = new Installed;  // never destroyed: workers may still warn during exit
    return *one;
}

}  // namespace

WarningSink SetWarningSink(WarningSink sink) {
    Installed& current = installed();
    std::lock_guard<std::mutex> lock(current.mutex);
    std::swap(current.sink, sink);
    return sink;
}

void Warn(const std::string& line) {
    WarningSink sink;
    {
        Installed& current = installed();
        std::lock_guard<std::mutex> lock(current.mutex);
        sink = current.sink;
    }
    // Called outside the lock, so a sink may itself warn or install another.
    if (sink) {
        sink(line);
    }
}

}  // namespace Vy
