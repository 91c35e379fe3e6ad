// Scratch folders for tests: each one fresh and empty, removed with its owner.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace Vy::Test {

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vy-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            // Without a folder of its own a test would write wherever its paths lead.
            throw std::runtime_error("cannot make a scratch folder from " + pattern);
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string file = File(name);
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

private:
    std::string path_;
};

// What a shell command prints on its standard output (tests use it for ffprobe and ffmpeg).
inline std::string CommandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
        pclose(pipe);
    }
    return output;
}

// A fixture giving each test a scratch folder: dir_ is the folder, path(name) a file in it.
class ScratchDirTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return scratch_.File(name); }

    ScratchDir scratch_;
    const std::filesystem::path dir_{scratch_.Path()};
};

// A file-size limit (ulimit -f) for the test's lifetime, standing in for a full
// disk: a write past it fails with EFBIG (the signal it would raise is ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit limited = saved_;
        limited.rlim_cur = bytes;
        if (setrlimit(RLIMIT_FSIZE, &limited) != 0) throw std::runtime_error("cannot set the file-size limit");
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit saved_ {};
};

}  // namespace Vy::Test
