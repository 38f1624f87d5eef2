#include "host/kernel/dispatcher.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/kernel/threads.h"
#include "host/kernel/violations.h"

namespace {

std::mutex& WaitLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::condition_variable& WaitSignal() {
    static std::condition_variable* signal = new std::condition_variable;
    return *signal;
}

using Clock = std::chrono::steady_clock;

void CheckWaitIrql(PLARGE_INTEGER timeout) {
    bool polling = timeout && timeout->QuadPart == 0;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL && !polling)
        hostk::ReportViolation("wait at IRQL %d (waits need IRQL below DISPATCH_LEVEL)", KeGetCurrentIrql());
}

// Consumes the signal of a satisfied synchronization object; the caller
// holds WaitLock.
bool TryAcquire(DISPATCHER_HEADER* header) {
    if (header->SignalState <= 0) return false;
    if (header->Type == HOSTK_EVENT_SYNCHRONIZATION) header->SignalState = 0;
    return true;
}

Clock::time_point Deadline(PLARGE_INTEGER timeout) {
    LONGLONG units = timeout->QuadPart;
    if (units > 0) {  // absolute system time
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        units = now.QuadPart - units;
        if (units > 0) units = 0;
    }
    return Clock::now() + std::chrono::nanoseconds(-units * 100);
}

}  // namespace

namespace hostk {
void SignalObject(DISPATCHER_HEADER* header) {
    {
        std::lock_guard<std::mutex> hold(WaitLock());
        header->SignalState = 1;
    }
    WaitSignal().notify_all();
}
LONG SignalObjectAndRelease(DISPATCHER_HEADER* header, LONG volatile* references) {
    LONG left;
    {
        std::lock_guard<std::mutex> hold(WaitLock());
        header->SignalState = 1;
        left = InterlockedDecrement(references);
    }
    WaitSignal().notify_all();
    return left;
}

}  // namespace hostk

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> hold(WaitLock());
    event->Header.Type = type == NotificationEvent ? HOSTK_EVENT_NOTIFICATION : HOSTK_EVENT_SYNCHRONIZATION;
    event->Header.Initialized = 1;
    event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) hostk::ReportViolation("KeSetEvent above DISPATCH_LEVEL");
    LONG previous;
    {
        std::lock_guard<std::mutex> hold(WaitLock());
        if (!event->Header.Initialized) hostk::ReportViolation("KeSetEvent on an uninitialised event");
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    WaitSignal().notify_all();
    return previous;
}

LONG KeResetEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> hold(WaitLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT event) { KeResetEvent(event); }

LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> hold(WaitLock());
    return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
    CheckWaitIrql(timeout);
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    std::unique_lock<std::mutex> hold(WaitLock());
    if (!header->Initialized) hostk::ReportViolation("wait on an uninitialised dispatcher object");
    if (!timeout) {
        WaitSignal().wait(hold, [&] { return TryAcquire(header); });
        return STATUS_WAIT_0;
    }
    bool done = WaitSignal().wait_until(hold, Deadline(timeout), [&] { return TryAcquire(header); });
    return done ? STATUS_WAIT_0 : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    CheckWaitIrql(interval);
    std::this_thread::sleep_until(Deadline(interval));
    return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG microseconds) {
    auto end = Clock::now() + std::chrono::microseconds(microseconds);
    while (Clock::now() < end) {
    }
}

VOID KeQuerySystemTime(PLARGE_INTEGER time) {
    // 100 ns units since 1601-01-01, as the kernel keeps it.
    constexpr LONGLONG kEpochDelta = 116444736000000000LL;
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    time->QuadPart = kEpochDelta + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

ULONGLONG KeQueryInterruptTime() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() / 100;
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
    if (frequency) frequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime());
    return now;
}

// Count's lock bit is set while the mutex is free; waiters count in steps of
// FM_LOCK_WAITER_INC. A release that finds waiters wakes one and sets
// FM_LOCK_WAITER_WOKEN, and no release wakes another until that one has come
// back for the lock: the event holds one signal, so a second wake-up before
// the first is consumed would be lost and its waiter would sleep for good.
VOID ExAcquireFastMutex(PFAST_MUTEX mutex) {
    if (KeGetCurrentIrql() > APC_LEVEL) hostk::ReportViolation("ExAcquireFastMutex above APC_LEVEL");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PKTHREAD self = KeGetCurrentThread();
    // Owner is read here without the lock, hence atomically.
    if (self && __atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED) == self) {
        hostk::ReportViolation("ExAcquireFastMutex by the thread that holds it");
    }
    bool woken = false;
    for (;;) {
        LONG count = __atomic_load_n(&mutex->Count, __ATOMIC_RELAXED);
        const LONG clearWoken = woken ? ~FM_LOCK_WAITER_WOKEN : ~0;
        if (count & FM_LOCK_BIT) {
            if (__atomic_compare_exchange_n(&mutex->Count, &count, (count & ~FM_LOCK_BIT) & clearWoken, false,
                                            __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
                break;
            }
            continue;
        }
        if (__atomic_compare_exchange_n(&mutex->Count, &count, (count + FM_LOCK_WAITER_INC) & clearWoken, false,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
            __atomic_fetch_add(&mutex->Contention, 1, __ATOMIC_RELAXED);
            KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, nullptr);
            woken = true;
        }
    }
    __atomic_store_n(&mutex->Owner, static_cast<PVOID>(self), __ATOMIC_RELAXED);
    mutex->OldIrql = old;
}

VOID ExReleaseFastMutex(PFAST_MUTEX mutex) {
    const KIRQL old = static_cast<KIRQL>(mutex->OldIrql);
    if (__atomic_load_n(&mutex->Count, __ATOMIC_RELAXED) & FM_LOCK_BIT) {
        hostk::ReportViolation("ExReleaseFastMutex of a fast mutex that is not held");
        return;
    }
    __atomic_store_n(&mutex->Owner, static_cast<PVOID>(nullptr), __ATOMIC_RELAXED);
    for (;;) {
        LONG count = __atomic_load_n(&mutex->Count, __ATOMIC_RELAXED);
        const bool wake = count >= FM_LOCK_WAITER_INC && !(count & FM_LOCK_WAITER_WOKEN);
        const LONG freed =
            wake ? (count | FM_LOCK_BIT | FM_LOCK_WAITER_WOKEN) - FM_LOCK_WAITER_INC : count | FM_LOCK_BIT;
        if (__atomic_compare_exchange_n(&mutex->Count, &count, freed, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
            if (wake) KeSetEvent(&mutex->Event, IO_NO_INCREMENT, FALSE);
            break;
        }
    }
    KeLowerIrql(old);
}
