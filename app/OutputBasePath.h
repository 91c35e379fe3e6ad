// Where the recording of a sequence goes: the sequence path turned into one
// file name inside the output directory.
#pragma once

#include <string>

// A path with a drive prefix ("D:\trials\run7.rays") loses its first three
// characters; any other path is made absolute and loses its leading '/'.
// Every '/' and '\' left becomes '-', so the name never points into a
// directory that does not exist: /data/trials/run7.rays in the output
// directory out gives "out/data-trials-run7.rays".
// Throws std::invalid_argument when the path gives no name.
std::string outputBasePath(const std::string& sequencePath, const std::string& outputDir);
