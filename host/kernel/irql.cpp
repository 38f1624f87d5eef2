#include "host/kernel/irql.h"

#include <sched.h>

#include "host/kernel/violations.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_criticalRegions = 0;
}  // namespace

KIRQL KeGetCurrentIrql() { return t_irql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    if (newIrql < t_irql) hostk::ReportViolation("KeRaiseIrql to %d below current %d", newIrql, t_irql);
    *oldIrql = t_irql;
    t_irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
    if (newIrql > t_irql) hostk::ReportViolation("KeLowerIrql to %d above current %d", newIrql, t_irql);
    t_irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    if (t_irql < DISPATCH_LEVEL) hostk::ReportViolation("spin lock acquired at DPC level while at IRQL %d", t_irql);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        // Host threads can be descheduled while holding the lock; yielding keeps
        // a two-core machine from burning its other core.
        sched_yield();
    }
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    if (__atomic_exchange_n(lock, 0, __ATOMIC_RELEASE) != 1)
        hostk::ReportViolation("spin lock released that was not held");
}

VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
    KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
    KeAcquireSpinLockAtDpcLevel(lock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    KeReleaseSpinLockFromDpcLevel(lock);
    KeLowerIrql(newIrql);
}

VOID KeEnterCriticalRegion() {
    if (t_irql > APC_LEVEL) hostk::ReportViolation("KeEnterCriticalRegion at IRQL %d", t_irql);
    ++t_criticalRegions;
}

VOID KeLeaveCriticalRegion() {
    if (t_criticalRegions == 0) {
        hostk::ReportViolation("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    --t_criticalRegions;
}

void hostk::CheckPagedCode(const char* routine) {
    if (t_irql > APC_LEVEL) hostk::ReportViolation("pageable routine %s called at IRQL %d", routine, t_irql);
}
