// Runs the raystool binary the way a user does, in a scratch folder, and keeps what it printed.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "TestFiles.h"

namespace {

struct Outcome {
    int status = -1;
    std::string stdoutText;
    std::string stderrText;
};

class RaystoolTest : public Vy::Test::ScratchDirTest {
protected:
    // shell runs before raystool in the same shell ("ulimit -f 64;").
    Outcome run(const std::string& arguments, const std::string& shell = "") {
        const std::string out = (dir_ / "stdout.txt").string(), err = (dir_ / "stderr.txt").string();
        const std::string command =
            shell + std::string(VY_BIN_DIR) + "/raystool " + arguments + " >" + out + " 2>" + err;
        const int raw = std::system(command.c_str());
        Outcome o;
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        o.stdoutText = slurp(out);
        o.stderrText = slurp(err);
        return o;
    }
    // One line on stderr that starts with prefix and holds expected, and status 1.
    void expectRefusal(const std::string& arguments, const std::string& prefix, const std::string& expected) {
        const Outcome o = run(arguments);
        EXPECT_EQ(o.status, 1) << arguments;
        EXPECT_EQ(o.stderrText.rfind(prefix, 0), 0u) << arguments << " -> " << o.stderrText;
        EXPECT_EQ(std::count(o.stderrText.begin(), o.stderrText.end(), '\n'), 1) << arguments << " -> " << o.stderrText;
        EXPECT_NE(o.stderrText.find(expected), std::string::npos) << arguments << " -> " << o.stderrText;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

}  // namespace
