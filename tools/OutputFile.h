// Outputs that never destroy what was there: a file is written under a
// temporary name in its own folder and takes its name only when whole, so a
// refused or failed write leaves an earlier file of that name as it was.
#pragma once

#include <string>

namespace Vy::Synth {

// Whether the two paths name one file (device and inode), however spelled:
// symlinks, "./" or "..", hard links. False when either does not exist.
bool sameFile(const std::string& a, const std::string& b);

// The one line of a refused existing output.
std::string existsReason();

class StagedFile {
public:
    // Refuses target (CVyException(operation, target, reason)) when it is a
    // directory, or exists and overwrite is false; otherwise creates the
    // temporary file beside it.
    StagedFile(const std::string& target, bool overwrite, const std::string& operation);
    ~StagedFile();  // removes the temporary file unless it was committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Where to write: "<target>.partial-<pid>".
    const std::string& path() const { return temporary_; }
    // Gives the temporary file the target's name. Without overwrite, a target
    // that appeared in the meantime is refused, not replaced.
    void commit();

private:
    std::string target_;
    std::string temporary_;
    std::string operation_;
    bool overwrite_;
    bool committed_ = false;
};

// Writes bytes to path through a StagedFile: whole or not at all. A failed
// write throws CVyException(operation, path, "write failed: <reason>").
void writeWholeFile(const std::string& path, const std::string& bytes, bool overwrite, const std::string& operation);

}  // namespace Vy::Synth
