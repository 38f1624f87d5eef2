#include "support/plugged_camera.h"

#include <cstdio>

#include "device/read_timeout.h"
#include "host/kernel/registry_store.h"
#include "host/kernel/violations.h"

namespace testrig {

PluggedCamera::PluggedCamera()
    : camera_(std::make_unique<sim::SimulatedCamera>()),
      pnp_(std::make_unique<hostks::PnpDevice>(DriverEntry, camera_.get())) {}

PluggedCamera::~PluggedCamera() {
    pnp_.reset();
    camera_.reset();
}

DeviceContext* PluggedCamera::Context() {
    PKSDEVICE device = pnp_->KsDevice();
    return device ? DeviceContextOf(device) : nullptr;
}

void PluggedCamera::Plug() {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

void DriverTest::SetUp() {
    hostk::PoolResetFaults();
    hostk::RegistryResetFaults();
    hostk::ClearViolations();
    InterlockedExchange(&ReadTimeout, DefaultReadTimeout);
    InterlockedExchange(&UsbRequestTimeout, DefaultUsbRequestTimeout);
}

void DriverTest::TearDown() {
    hostk::PoolResetFaults();
    hostk::RegistryResetFaults();
    rig.Camera().ClearFaults();
    rig.Remove();
    EXPECT_EQ(hostk::PoolTotals().liveBlocks, 0u) << hostk::PoolLeakReport();
    EXPECT_EQ(hostk::LiveSystemThreads(), 0u);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    InterlockedExchange(&ReadTimeout, DefaultReadTimeout);
    InterlockedExchange(&UsbRequestTimeout, DefaultUsbRequestTimeout);
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
