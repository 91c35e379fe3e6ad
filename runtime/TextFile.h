// Reads a small text file whole (settings files), refusing directories and
// files too large to be what they claim.
#pragma once

#include <cstddef>
#include <string>

namespace Vy {

// Throws CVyException(operation, path, reason): strerror text for a file that
// cannot be opened or read, "is a directory", "not a regular file", "file larger than N bytes".
std::string ReadTextFile(const std::string& path, size_t maxBytes, const std::string& operation);

}  // namespace Vy
