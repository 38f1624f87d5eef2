// IRQL of the calling thread, spin locks, interlocked operations and critical
// regions. Each host thread carries its own IRQL, so rules such as "nothing
// waits at DISPATCH_LEVEL" are checked where they are broken.
#pragma once

#include "host/kernel/ntdef.h"

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

KIRQL NTAPI KeGetCurrentIrql();
VOID NTAPI KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
VOID NTAPI KeLowerIrql(KIRQL newIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel();

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock);
VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);

VOID NTAPI KeEnterCriticalRegion();
VOID NTAPI KeLeaveCriticalRegion();

namespace hostk {
// Pageable code may fault its own pages in, which the memory manager can do
// only below DISPATCH_LEVEL: a routine marked pageable that runs at
// DISPATCH_LEVEL or above is a violation (the checked build's assertion).
void CheckPagedCode(const char* routine);
}  // namespace hostk
#define PAGED_CODE() hostk::CheckPagedCode(__func__)

inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedIncrement(LONG volatile* target) {
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* target) {
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(LONG volatile* target, LONG value) {
    return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* target, LONG value) {
    return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
// The WDK's atomic read of a 32-bit value (wdm.h, Windows 8 and later).
inline LONG ReadNoFence(LONG const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_RELAXED);
}
inline LONG ReadAcquire(LONG const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline VOID WriteRelease(LONG volatile* target, LONG value) {
    __atomic_store_n(target, value, __ATOMIC_RELEASE);
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
