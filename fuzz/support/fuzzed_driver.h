// One fuzz input's camera: a simulated camera (optionally behind a wire that
// rewrites what it sends, sim/rewriting_wire.h) plugged in under the driver
// through the rig (rig::MakePnpDevice), made afresh for every input. The
// driver, the class and the stack keep global state between inputs - pool
// accounting and faults, registry faults, recorded violations, the
// driver-wide timeouts - so Begin puts it back (rig::ResetPlatform), and
// Finish unplugs and aborts when the input left anything behind
// (rig::LeftoversNow): a live pool block, a system thread, a broken
// platform rule.
#pragma once

#include <memory>

#include "host/ks/ks_client.h"
#include "host/ks/pnp.h"
#include "sim/rewriting_wire.h"
#include "sim/simulated_camera.h"

class DeviceContext;

namespace fuzzing {

[[noreturn]] void Violated(const char* target, const char* what, long long value = 0);

// Clears the global state an earlier input may have changed. `requestMs`
// bounds each command and reply transfer, `readMs` each frame read: a
// fuzz input must not wait seconds for a camera that will not answer.
void Begin(long requestMs = 200, long readMs = 500);

class FuzzedDriver {
public:
    // With a script, the camera's answers reach the stack through a
    // RewritingWire that follows it.
    explicit FuzzedDriver(sim::RewritingWire::Script script = nullptr);
    ~FuzzedDriver();
    FuzzedDriver(const FuzzedDriver&) = delete;
    FuzzedDriver& operator=(const FuzzedDriver&) = delete;

    sim::SimulatedCamera& Camera() { return *camera_; }
    hostks::PnpDevice& Pnp() { return *pnp_; }
    DeviceContext* Context();

    // Add, then Start; the first failing status. The waits Begin chose
    // hold again afterwards.
    NTSTATUS Plug();

    // Plug, then the capture filter: for the targets that need a started
    // camera, where a refusal of either is the driver's fault, not the
    // input's, so it aborts naming `target`.
    std::unique_ptr<hostks::KsFilter> PlugWithFilter(const char* target);

    // Closes what the caller still holds (pin first), removes the device
    // and the camera, and checks that nothing was left behind.
    void Finish(const char* target, std::unique_ptr<hostks::KsPin>* pin = nullptr,
                std::unique_ptr<hostks::KsFilter>* filter = nullptr);

private:
    void Release();

    std::unique_ptr<sim::SimulatedCamera> camera_;
    std::unique_ptr<sim::RewritingWire> wire_;
    std::unique_ptr<hostks::PnpDevice> pnp_;
};

}  // namespace fuzzing
