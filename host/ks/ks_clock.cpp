// The graph's reference clock: the pin's master clock as a client sets it,
// KsPinGetReferenceClockInterface, and the clock a client can hand out.
#include "host/kernel/violations.h"
#include "host/ks/ks_client.h"
#include "host/ks/ks_objects.h"

namespace hostks {

void SetMasterClock(HostPin* pin, IKsReferenceClock* clock) {
    if (clock) clock->AddRef();
    IKsReferenceClock* previous;
    {
        std::lock_guard<std::mutex> hold(pin->clockLock);
        previous = pin->masterClock;
        pin->masterClock = clock;
    }
    if (previous) previous->Release();
}

ReferenceClock::ReferenceClock(bool manual) : manual_(manual), start_(std::chrono::steady_clock::now()) {}

void ReferenceClock::Set(LONGLONG time) { manualTime_.store(time); }
void ReferenceClock::Advance(LONGLONG units) { manualTime_.fetch_add(units); }

NTSTATUS ReferenceClock::QueryInterface(REFIID, PVOID* object) {
    AddRef();
    *object = this;
    return STATUS_SUCCESS;
}

ULONG ReferenceClock::AddRef() { return static_cast<ULONG>(++references_); }

ULONG ReferenceClock::Release() {
    LONG left = --references_;
    // The maker owns the object; a reference released once too often is a
    // driver fault worth seeing.
    if (left < 1) hostk::ReportViolation("reference clock released more often than referenced");
    return static_cast<ULONG>(left);
}

LONGLONG ReferenceClock::GetTime() {
    if (manual_) return manualTime_.load();
    auto elapsed = std::chrono::steady_clock::now() - start_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100 + manualTime_.load();
}

LONGLONG ReferenceClock::GetPhysicalTime() { return GetTime(); }

LONGLONG ReferenceClock::GetCorrelatedTime(PLONGLONG systemTime) {
    if (systemTime) *systemTime = static_cast<LONGLONG>(KeQueryInterruptTime());
    return GetTime();
}

LONGLONG ReferenceClock::GetCorrelatedPhysicalTime(PLONGLONG systemTime) { return GetCorrelatedTime(systemTime); }

NTSTATUS ReferenceClock::GetResolution(PKSRESOLUTION resolution) {
    resolution->Granularity = 1;
    resolution->Error = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceClock::GetState(PKSSTATE state) {
    *state = KSSTATE_RUN;
    return STATUS_SUCCESS;
}

}  // namespace hostks

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* referenceClock) {
    hostks::HostPin* host = hostks::PinRecord(pin);
    std::lock_guard<std::mutex> hold(host->clockLock);
    if (!host->masterClock) {
        *referenceClock = nullptr;
        return STATUS_UNSUCCESSFUL;  // the graph has no clock
    }
    host->masterClock->AddRef();
    *referenceClock = host->masterClock;
    return STATUS_SUCCESS;
}
