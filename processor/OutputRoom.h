// Whether an output file has room to grow: the file-size limit (ulimit -f) and the
// free space of its disk.
#pragma once

#include <cstdint>
#include <string>

// Why the file at path cannot take `bytes` more: "file-size limit reached" or "disk full";
// empty when it can.
std::string lackOfRoom(const std::string& path, uint64_t bytes);
