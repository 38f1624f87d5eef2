// System threads and the object manager calls that go with them. A thread
// object is signalled when its thread ends, so KeWaitForSingleObject on it
// waits for the thread's exit as on Windows.
#pragma once

#include "host/kernel/dispatcher.h"

typedef VOID NTAPI KSTART_ROUTINE(PVOID context);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef PVOID POBJECT_TYPE;
extern POBJECT_TYPE* PsThreadType;

#define THREAD_ALL_ACCESS 0x001FFFFF
#define SYNCHRONIZE 0x00100000

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                    HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                                    PVOID startContext);
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exitStatus);
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                         KPROCESSOR_MODE accessMode, PVOID* object, PVOID handleInformation);
#define ObDereferenceObject(o) ObfDereferenceObject(o)
LONG_PTR NTAPI ObfDereferenceObject(PVOID object);
NTSTATUS NTAPI ZwClose(HANDLE handle);
PKTHREAD NTAPI KeGetCurrentThread();

namespace hostk {

constexpr ULONG kThreadTag = 0x54687264;  // 'Thrd'

// Objects reachable through a handle. Closing the handle drops a reference;
// the kind decides what a close means.
struct HandleObject {
    ULONG kind;
    NTSTATUS (*close)(HandleObject* self);
};

constexpr ULONG kHandleThread = 1;
constexpr ULONG kHandleRegistryKey = 2;

size_t LiveSystemThreads();

// Lowers the calling host thread's priority five nice steps below the
// process's; it needs no privilege, and a failure only loses the ordering.
void LowerThreadPriority();

}  // namespace hostk
