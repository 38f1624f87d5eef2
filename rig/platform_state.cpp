#include "rig/platform_state.h"

#include "driver/device/read_timeout.h"
#include "host/kernel/pool.h"
#include "host/kernel/registry_store.h"
#include "host/kernel/threads.h"
#include "host/kernel/violations.h"
#include "driver/usb/usb_link.h"

namespace rig {

void DisarmFaults() {
    hostk::PoolResetFaults();
    hostk::RegistryResetFaults();
}

void ResetPlatform() {
    DisarmFaults();
    hostk::ClearViolations();
    SetReadTimeout(DefaultReadTimeout);
    SetUsbRequestTimeout(DefaultUsbRequestTimeout);
}

// Interlocked, as the property handler writes ReadTimeout while the capture
// thread may be reading it.
void SetReadTimeout(long milliseconds) { InterlockedExchange(&ReadTimeout, milliseconds); }

void SetUsbRequestTimeout(long milliseconds) { InterlockedExchange(&UsbRequestTimeout, milliseconds); }

Leftovers LeftoversNow() {
    Leftovers left;
    left.liveBlocks = hostk::PoolTotals().liveBlocks;
    left.systemThreads = hostk::LiveSystemThreads();
    left.violations = hostk::ViolationCount();
    return left;
}

std::string Leftovers::Report() const {
    std::string text;
    if (liveBlocks) text += std::string("live pool blocks:\n") + hostk::PoolLeakReport();
    if (systemThreads) text += "system threads still running: " + std::to_string(systemThreads) + "\n";
    if (violations) text += "platform rules broken:\n" + hostk::ViolationText();
    return text;
}

}  // namespace rig
