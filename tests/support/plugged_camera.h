// The GoogleTest layer over the rig (rig/plugged_camera.h): a fixture that
// plugs nothing in by itself but checks what every driver test must leave
// behind - no live pool blocks, no system threads, no broken platform rule -
// and the helpers the tests share for reading the camera's trace.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "rig/platform_state.h"
#include "rig/plugged_camera.h"

namespace testrig {

// The rig with a Plug that asserts: add, then start, both succeeding.
class PluggedCamera : public rig::PluggedCamera {
public:
    void Plug();
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    PluggedCamera rig;
};

// The trace lines of the camera that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);
// "BULK_OUT 0 64 " followed by the 64 bytes given (rest zero).
std::string CommandLine(std::initializer_list<int> bytes);

}  // namespace testrig
