#include "host/kernel/xstate.h"

#include <atomic>

#include "host/kernel/irql.h"
#include "host/kernel/violations.h"

namespace {

// The thread's innermost open save; reports the ones left open at its end.
struct OpenSaves {
    PXSTATE_SAVE innermost = nullptr;
    ~OpenSaves() {
        if (innermost != nullptr) hostk::ReportViolation("thread ended with its extended processor state not restored");
    }
};
thread_local OpenSaves t_saves;

std::atomic<size_t> g_saves{0};
std::atomic<size_t> g_restores{0};

}  // namespace

NTSTATUS KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE save) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        hostk::ReportViolation("KeSaveExtendedProcessorState at IRQL %d", irql);
        return STATUS_INVALID_PARAMETER;
    }
    if (save == nullptr) {
        hostk::ReportViolation("KeSaveExtendedProcessorState without a save area");
        return STATUS_INVALID_PARAMETER;
    }
    save->Prev = t_saves.innermost;
    save->Thread = &t_saves;
    save->Level = irql;
    save->XStateContext.Mask = mask;
    t_saves.innermost = save;
    g_saves.fetch_add(1);
    return STATUS_SUCCESS;
}

VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE save) {
    if (save == nullptr || save->Thread != &t_saves) {
        hostk::ReportViolation("KeRestoreExtendedProcessorState of a state this thread did not save");
        return;
    }
    if (save != t_saves.innermost) {
        hostk::ReportViolation("KeRestoreExtendedProcessorState out of order (or twice)");
        return;
    }
    if (save->Level != KeGetCurrentIrql()) {
        hostk::ReportViolation("KeRestoreExtendedProcessorState at IRQL %d, saved at %d", KeGetCurrentIrql(),
                               save->Level);
    }
    t_saves.innermost = save->Prev;
    save->Thread = nullptr;
    g_restores.fetch_add(1);
}

namespace hostk {
size_t ExtendedStateSaves() { return g_saves.load(); }
size_t ExtendedStateRestores() { return g_restores.load(); }
}  // namespace hostk
