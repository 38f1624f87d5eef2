// Processing scheduling of pin-centric filters: KsPinAttemptProcessing, the
// class's own triggers (a frame arriving in an empty queue, a pin reaching a
// state where it may process with frames queued), and the rule that a pin's
// Process dispatch never runs twice at once. Asynchronous requests run on a
// worker of the pin's own, at PASSIVE_LEVEL.
#include <pthread.h>

#include "host/kernel/violations.h"
#include "host/ks/ks_objects.h"

namespace hostks {
namespace {

// Called with pin->processLock held.
bool AllowedLocked(HostPin* pin) {
    KSSTATE state = pin->pin.DeviceState;
    if (pin->pin.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return state == KSSTATE_RUN;
    return state >= KSSTATE_PAUSE;  // pause is the minimum processing state
}

// Runs Process once; called with the lock held and processRunning just set.
// Returns whether the driver asked to be called again (STATUS_SUCCESS).
bool RunProcess(HostPin* pin, std::unique_lock<std::mutex>& held) {
    ++pin->processCalls;
    held.unlock();
    NTSTATUS status = STATUS_PENDING;
    const KSPIN_DISPATCH* dispatch = pin->pin.Descriptor->Dispatch;
    if (dispatch && dispatch->Process) status = dispatch->Process(&pin->pin);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hostk::ReportViolation("Process returned at IRQL %d", KeGetCurrentIrql());
    // STATUS_SUCCESS asks for another call while frames remain; anything
    // else waits for the next trigger.
    bool again = status == STATUS_SUCCESS && QueueHasFrames(pin);
    held.lock();
    pin->processRunning = false;
    pin->processChanged.notify_all();
    return again;
}

void ProcessWorker(HostPin* pin) {
    pthread_setname_np(pthread_self(), "ks-process");  // for debuggers and profilers
    std::unique_lock<std::mutex> held(pin->processLock);
    for (;;) {
        pin->processChanged.wait(held, [pin] {
            return pin->processClosing || (pin->processPending && !pin->processRunning && !pin->processHeld);
        });
        if (pin->processClosing) return;
        pin->processPending = false;
        // A request made while the pin may not process is dropped; reaching
        // a processing state with frames queued asks again.
        if (!AllowedLocked(pin)) continue;
        pin->processRunning = true;
        if (RunProcess(pin, held)) pin->processPending = true;
    }
}

}  // namespace

bool ProcessingAllowed(HostPin* pin) {
    std::lock_guard<std::mutex> hold(pin->processLock);
    return AllowedLocked(pin);
}

void StartProcessing(HostPin* pin) { pin->processWorker = std::thread(ProcessWorker, pin); }

void StopProcessing(HostPin* pin) {
    {
        std::unique_lock<std::mutex> held(pin->processLock);
        pin->processClosing = true;
        pin->processChanged.notify_all();
        // A synchronous call may be running on a caller's thread.
        pin->processChanged.wait(held, [pin] { return !pin->processRunning; });
    }
    if (pin->processWorker.joinable()) pin->processWorker.join();
}

void HoldProcessing(HostPin* pin, bool held) {
    std::lock_guard<std::mutex> hold(pin->processLock);
    pin->processHeld = held;
    pin->processChanged.notify_all();
}

void RequestProcessing(HostPin* pin) {
    std::lock_guard<std::mutex> hold(pin->processLock);
    if (pin->processClosing) return;
    pin->processPending = true;
    pin->processChanged.notify_all();
}

}  // namespace hostks

VOID KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous) {
    hostks::HostPin* host = hostks::PinRecord(pin);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) hostk::ReportViolation("KsPinAttemptProcessing above DISPATCH_LEVEL");
    std::unique_lock<std::mutex> held(host->processLock);
    if (host->processClosing) return;
    // Asynchronous, or Process already running, or held: the worker runs it.
    if (asynchronous || KeGetCurrentIrql() != PASSIVE_LEVEL || host->processRunning || host->processHeld) {
        host->processPending = true;
        host->processChanged.notify_all();
        return;
    }
    // Synchronous: in the caller's context.
    if (!hostks::AllowedLocked(host)) return;
    host->processRunning = true;
    if (hostks::RunProcess(host, held)) {
        host->processPending = true;
        host->processChanged.notify_all();
    }
}
