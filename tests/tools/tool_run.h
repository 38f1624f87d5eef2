// Running the quelvixcam binary from a test, as a user runs it: each test
// works in a scratch directory of its own, so tests may run side by side,
// with a registry store of its own there.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>

namespace tooltest {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The exit status of a shell command line, or -1 when it did not exit.
inline int Shell(const std::string& command) {
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quelvixcam-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) Shell("rm -rf '" + dir_ + "'");
    }

    // Runs the tool with the given arguments (already quoted for the shell)
    // and the test's own registry store.
    ToolRun Tool(const std::string& command, const std::string& arguments) {
        std::string line = environment_ + " '" + QUELVIXCAM_PATH + "' " + command + " --registry '" + dir_ +
                           "/settings.reg' " + arguments + " >'" + dir_ + "/out' 2>'" + dir_ + "/err'";
        ToolRun run;
        run.status = Shell(line);
        run.out = ReadAll(dir_ + "/out");
        run.err = ReadAll(dir_ + "/err");
        return run;
    }

    std::string dir_;
    std::string environment_;  // NAME=VALUE words put before the command
};

}  // namespace tooltest
