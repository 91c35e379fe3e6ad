#include "Diagnostic.h"

#include <cstdio>
#include <mutex>

namespace Console {

std::string escapeControls(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void diagnostic(const std::string& text) {
    const std::string line = escapeControls(text);
    // One lock for every thread's lines; stdio's own lock would still let two
    // writes of one line (text, then newline) be split by another thread.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace Console
