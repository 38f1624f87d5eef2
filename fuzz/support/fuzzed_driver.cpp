#include "fuzzed_driver.h"

#include <cstdio>
#include <cstdlib>

#include "device/device_context.h"
#include "device/read_timeout.h"
#include "host/kernel/pool.h"
#include "host/kernel/registry_store.h"
#include "host/kernel/threads.h"
#include "host/kernel/violations.h"
#include "usb/usb_link.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace fuzzing {

void Violated(const char* target, const char* what, long long value) {
    std::fprintf(stderr, "%s fuzz: %s (%lld)\n", target, what, value);
    if (hostk::ViolationCount() != 0) std::fprintf(stderr, "%s\n", hostk::ViolationText().c_str());
    if (hostk::PoolTotals().liveBlocks != 0) std::fprintf(stderr, "%s\n", hostk::PoolLeakReport());
    std::abort();
}

namespace {

long requestWait = DefaultUsbRequestTimeout;
long readWait = DefaultReadTimeout;

void ShortenWaits() {
    InterlockedExchange(&ReadTimeout, readWait);
    InterlockedExchange(&UsbRequestTimeout, requestWait);
}

}  // namespace

void Begin(long requestMs, long readMs) {
    hostk::PoolResetFaults();
    hostk::RegistryResetFaults();
    hostk::ClearViolations();
    requestWait = requestMs;
    readWait = readMs;
    ShortenWaits();
}

FuzzedDriver::FuzzedDriver(sim::RewritingWire::Script script)
    : camera_(std::make_unique<sim::SimulatedCamera>()),
      wire_(script ? std::make_unique<sim::RewritingWire>(camera_.get(), std::move(script)) : nullptr),
      pnp_(std::make_unique<hostks::PnpDevice>(DriverEntry, wire_ ? static_cast<hostusb::UsbDevice*>(wire_.get())
                                                                  : camera_.get())) {}

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
    hostk::PoolResetFaults();
    camera_->ClearFaults();
    pnp_->Remove();
    Release();
    if (hostk::PoolTotals().liveBlocks != 0)
        Violated(target, "pool blocks left behind", static_cast<long long>(hostk::PoolTotals().liveBlocks));
    if (hostk::LiveSystemThreads() != 0)
        Violated(target, "system threads left running", static_cast<long long>(hostk::LiveSystemThreads()));
    if (hostk::ViolationCount() != 0)
        Violated(target, "platform rules broken", static_cast<long long>(hostk::ViolationCount()));
    Begin();
}

}  // namespace fuzzing
