#include "fuzz/support/fuzzed_driver.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/device/device_context.h"
#include "driver/device/read_timeout.h"
#include "rig/platform_state.h"
#include "rig/plugged_camera.h"
#include "driver/usb/usb_link.h"

namespace fuzzing {

void Violated(const char* target, const char* what, long long value) {
    std::fprintf(stderr, "%s fuzz: %s (%lld)\n", target, what, value);
    const std::string left = rig::LeftoversNow().Report();
    if (!left.empty()) std::fprintf(stderr, "%s\n", left.c_str());
    std::abort();
}

namespace {

long requestWait = DefaultUsbRequestTimeout;
long readWait = DefaultReadTimeout;

void ShortenWaits() {
    rig::SetReadTimeout(readWait);
    rig::SetUsbRequestTimeout(requestWait);
}

// The wire goes between the stack and the camera when there is one.
hostusb::UsbDevice* Below(sim::SimulatedCamera* camera, sim::RewritingWire* wire) {
    return wire ? static_cast<hostusb::UsbDevice*>(wire) : camera;
}

}  // namespace

void Begin(long requestMs, long readMs) {
    rig::ResetPlatform();
    requestWait = requestMs;
    readWait = readMs;
    ShortenWaits();
}

FuzzedDriver::FuzzedDriver(sim::RewritingWire::Script script)
    : camera_(std::make_unique<sim::SimulatedCamera>()),
      wire_(script ? std::make_unique<sim::RewritingWire>(camera_.get(), std::move(script)) : nullptr),
      pnp_(rig::MakePnpDevice(Below(camera_.get(), wire_.get()))) {}

FuzzedDriver::~FuzzedDriver() { Release(); }

// The stack goes first (it hands every transfer back), then the wire, then
// the camera below it.
void FuzzedDriver::Release() {
    pnp_.reset();
    wire_.reset();
    camera_.reset();
}

DeviceContext* FuzzedDriver::Context() {
    PKSDEVICE device = pnp_->KsDevice();
    return device ? DeviceContextOf(device) : nullptr;
}

NTSTATUS FuzzedDriver::Plug() {
    NTSTATUS status = pnp_->Add();
    if (NT_SUCCESS(status)) status = pnp_->Start();
    // A start loads the saved settings, whose frame-read wait (3 s unless
    // saved otherwise) replaces the short one.
    ShortenWaits();
    return status;
}

std::unique_ptr<hostks::KsFilter> FuzzedDriver::PlugWithFilter(const char* target) {
    if (Plug() != STATUS_SUCCESS) Violated(target, "the camera did not start");
    std::unique_ptr<hostks::KsFilter> filter;
    if (hostks::KsFilter::Open(*pnp_, &filter) != STATUS_SUCCESS) Violated(target, "the filter did not open");
    return filter;
}

void FuzzedDriver::Finish(const char* target, std::unique_ptr<hostks::KsPin>* pin,
                          std::unique_ptr<hostks::KsFilter>* filter) {
    if (pin && *pin) {
        NTSTATUS status = (*pin)->Close();
        if (!NT_SUCCESS(status)) Violated(target, "a pin's close failed", status);
        pin->reset();
    }
    if (filter && *filter) {
        NTSTATUS status = (*filter)->Close();
        if (!NT_SUCCESS(status)) Violated(target, "a filter's close failed", status);
        filter->reset();
    }
    // An armed fault would fail the removal's own allocations.
    rig::DisarmFaults();
    camera_->ClearFaults();
    pnp_->Remove();
    Release();
    const rig::Leftovers left = rig::LeftoversNow();
    if (left.liveBlocks != 0) Violated(target, "pool blocks left behind", static_cast<long long>(left.liveBlocks));
    if (left.systemThreads != 0)
        Violated(target, "system threads left running", static_cast<long long>(left.systemThreads));
    if (left.violations != 0) Violated(target, "platform rules broken", static_cast<long long>(left.violations));
    Begin();
}

}  // namespace fuzzing
