#include "tests/support/plugged_camera.h"

#include <cstdio>

namespace testrig {

void PluggedCamera::Plug() {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

void DriverTest::SetUp() { rig::ResetPlatform(); }

void DriverTest::TearDown() {
    rig::DisarmFaults();
    rig.Camera().ClearFaults();
    rig.Remove();
    rig::Leftovers left = rig::LeftoversNow();
    EXPECT_EQ(left.liveBlocks, 0u) << left.Report();
    EXPECT_EQ(left.systemThreads, 0u);
    EXPECT_EQ(left.violations, 0u) << left.Report();
    rig::ResetPlatform();
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    }
    return found;
}

std::string CommandLine(std::initializer_list<int> bytes) {
    std::string line = "BULK_OUT 0 64 ";
    size_t count = 0;
    for (int b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
        line += hex;
        ++count;
    }
    for (; count < 64; ++count) line += "00";
    return line;
}

}  // namespace testrig
