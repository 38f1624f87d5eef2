// A started camera for the command tests: the driver above the simulated
// camera, added and started, with the trace cleared so a test sees only the
// packets it caused.
#pragma once

#include <string>
#include <vector>

#include "driver/camera/sensor_registers.h"
#include "tests/support/plugged_camera.h"

namespace cameratest {

class StartedCamera : public testrig::DriverTest {
protected:
    void SetUp() override {
        testrig::DriverTest::SetUp();
        rig.Plug();
        context = rig.Context();
        ASSERT_NE(context, nullptr);
        rig.Camera().ClearTrace();
    }

    // The command packets (pipe 0) the camera received since the last clear.
    std::vector<std::string> Commands() {
        return testrig::LinesStartingWith(rig.Camera().TraceLines(), "BULK_OUT 0 ");
    }

    DeviceContext* context = nullptr;
};

// The trace line of a WriteSensorRegister packet, bytes 0..5 given.
inline std::string RegisterLine(int b1, int b2, int b3, int b4, int b5) {
    return testrig::CommandLine({0x04, b1, b2, b3, b4, b5});
}

}  // namespace cameratest
