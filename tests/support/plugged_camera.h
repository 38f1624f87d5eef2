// A simulated camera plugged into the host stack with the driver above it,
// and a test fixture that checks what every driver test must leave behind:
// no live pool blocks, no system threads, no broken platform rule.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "device/device_context.h"
#include "host/ks/pnp.h"
#include "sim/simulated_camera.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace testrig {

class PluggedCamera {
public:
    PluggedCamera();
    ~PluggedCamera();

    sim::SimulatedCamera& Camera() { return *camera_; }
    hostks::PnpDevice& Pnp() { return *pnp_; }
    DeviceContext* Context();

    NTSTATUS Add() { return pnp_->Add(); }
    NTSTATUS Start() { return pnp_->Start(); }
    // Add then Start, asserting both succeed.
    void Plug();
    void Stop() { pnp_->Stop(); }
    void Remove() { pnp_->Remove(); }

private:
    std::unique_ptr<sim::SimulatedCamera> camera_;
    std::unique_ptr<hostks::PnpDevice> pnp_;
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
