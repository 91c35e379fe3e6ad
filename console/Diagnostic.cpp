#include "Diagnostic.h"

#include <cstdio>
#include <mutex>

namespace Console {

void diagnostic(const std::string& text) {
    // One lock for every thread's lines; stdio's own lock would still let two
    // writes of one line (text, then newline) be split by another thread.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace Console
