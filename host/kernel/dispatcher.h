// Dispatcher objects of the host stand-in: events, fast mutexes, the waits on
// them, system time and delays. All waits share one host mutex and condition
// variable; the kernel's objects stay plain zero-initialisable records.
#pragma once

#include "host/kernel/irql.h"

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0

// Object kinds recorded in the header so that one wait routine serves all.
#define HOSTK_EVENT_NOTIFICATION 0
#define HOSTK_EVENT_SYNCHRONIZATION 1
#define HOSTK_THREAD 6

// The stand-in's state sits where wdm.h keeps the object's: its type at the
// start, the signal state at offset 4. Initialized takes a byte Windows uses
// for flags; the wait list stays unused, since all waits share one host
// condition variable, but keeps the header at the WDK's 24 bytes.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Initialized;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG NTAPI KeResetEvent(PRKEVENT event);
VOID NTAPI KeClearEvent(PRKEVENT event);
LONG NTAPI KeReadStateEvent(PRKEVENT event);

// Waits on an event or a thread object. A negative timeout is relative, in
// 100 ns units; a null timeout waits for ever; zero only polls.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                     PLARGE_INTEGER timeout);

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);
VOID NTAPI KeStallExecutionProcessor(ULONG microseconds);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER time);
ULONGLONG NTAPI KeQueryInterruptTime();
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER frequency);

// wdm.h's members and protocol. Windows initialises a fast mutex inline in
// the driver (so a driver image does it with its own code, not ours): Count
// holds the lock bit, set while the mutex is free, and counts waiters in steps
// of FM_LOCK_WAITER_INC; the event starts not signalled and wakes waiters one
// at a time (dispatcher.cpp). OldIrql is a ULONG as there.
#define FM_LOCK_BIT 0x1
#define FM_LOCK_WAITER_WOKEN 0x2
#define FM_LOCK_WAITER_INC 0x4
typedef struct _FAST_MUTEX {
    LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

FORCEINLINE VOID ExInitializeFastMutex(PFAST_MUTEX mutex) {
    mutex->Count = FM_LOCK_BIT;
    mutex->Owner = nullptr;
    mutex->Contention = 0;
    KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
}
VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX mutex);
VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX mutex);

namespace hostk {
// Signals a dispatcher object from the stand-in itself (thread exit).
void SignalObject(DISPATCHER_HEADER* header);
// Signals it and drops one reference in the same step, so that no waiter can
// see the object signalled while that reference is still held. Returns the
// references left; at zero the caller frees the object.
LONG SignalObjectAndRelease(DISPATCHER_HEADER* header, LONG volatile* references);
}  // namespace hostk
