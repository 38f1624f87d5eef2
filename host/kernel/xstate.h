// Saving the extended processor state (the YMM registers) around kernel code
// that uses AVX. Windows preserves only the legacy SSE state for drivers;
// code that touches the AVX state must save it first and restore it after.
// The stand-in keeps what the kernel checks: callers at IRQL <=
// DISPATCH_LEVEL, restores on the saving thread at the saving IRQL in the
// reverse order of the saves, no state restored twice or left unrestored when
// the thread ends.
#pragma once

#include <cstddef>

#include "host/kernel/ntdef.h"

#define XSTATE_GSSE 2
#define XSTATE_MASK_AVX (1ULL << XSTATE_GSSE)

// The x64 members of wdm.h. The stand-in saves no register contents, so it
// uses only Mask of the context; the rest keeps the record at the WDK's size.
typedef struct _XSTATE_CONTEXT {
    ULONG64 Mask;
    ULONG Length;
    ULONG Reserved1;
    PVOID Area;
    PVOID Buffer;
} XSTATE_CONTEXT, *PXSTATE_CONTEXT;

typedef struct _XSTATE_SAVE {
    struct _XSTATE_SAVE* Prev;  // the thread's previous open save
    PVOID Thread;               // the saving thread's token
    UCHAR Level;                // the IRQL of the save
    XSTATE_CONTEXT XStateContext;
} XSTATE_SAVE, *PXSTATE_SAVE;

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE save);
VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE save);

namespace hostk {
// Saves and restores so far, over all threads (for tests that check a
// routine brackets its AVX code).
size_t ExtendedStateSaves();
size_t ExtendedStateRestores();
}  // namespace hostk
