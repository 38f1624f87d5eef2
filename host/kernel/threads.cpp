#include "host/kernel/threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "host/kernel/pool.h"
#include "host/kernel/violations.h"

// The thread object: dispatcher header first so that a wait on the object
// pointer waits for the thread's end; handle part second for ZwClose.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    hostk::HandleObject handle;
    LONG references;
    PKSTART_ROUTINE routine;
    PVOID context;
    pthread_t thread;
};

namespace {

std::atomic<size_t> g_liveThreads{0};
thread_local PKTHREAD t_current = nullptr;
POBJECT_TYPE g_threadType = reinterpret_cast<POBJECT_TYPE>(0x7468726EULL);

PKTHREAD FromHandle(HANDLE handle) {
    auto* object = static_cast<hostk::HandleObject*>(handle);
    return reinterpret_cast<PKTHREAD>(reinterpret_cast<PUCHAR>(object) - offsetof(_KTHREAD, handle));
}

void Release(PKTHREAD thread) {
    if (InterlockedDecrement(&thread->references) == 0) {
        ExFreePoolWithTag(thread, hostk::kThreadTag);
    }
}

void FinishThread(PKTHREAD thread) {
    // The thread ends: it stops counting as live and gives up its own
    // reference in the same step that wakes its waiters, so a waiter that
    // wakes finds it gone. The pthread itself was detached at creation.
    --g_liveThreads;
    if (hostk::SignalObjectAndRelease(&thread->Header, &thread->references) == 0) {
        ExFreePoolWithTag(thread, hostk::kThreadTag);
    }
}

void* ThreadMain(void* argument) {
    pthread_setname_np(pthread_self(), "system-thread");
    // A system thread starts at priority 8, below the system worker threads
    // (12 and 13) that run work items and the streaming class's processing,
    // so a driver's busy thread does not take the processor from them. Host
    // threads all start equal.
    hostk::LowerThreadPriority();
    auto thread = static_cast<PKTHREAD>(argument);
    t_current = thread;
    thread->routine(thread->context);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("system thread returned at IRQL %d", KeGetCurrentIrql());
    FinishThread(thread);
    return nullptr;
}

NTSTATUS CloseThreadHandle(hostk::HandleObject* self) {
    Release(FromHandle(self));
    return STATUS_SUCCESS;
}

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadType;

namespace hostk {
size_t LiveSystemThreads() { return g_liveThreads.load(); }
}  // namespace hostk

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE startRoutine, PVOID startContext) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("PsCreateSystemThread above PASSIVE_LEVEL");
    auto thread = static_cast<PKTHREAD>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_KTHREAD), hostk::kThreadTag));
    if (!thread) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(thread, 0, sizeof *thread);
    thread->Header.Type = HOSTK_THREAD;
    thread->Header.Initialized = 1;
    thread->handle.kind = hostk::kHandleThread;
    thread->handle.close = CloseThreadHandle;
    thread->references = 2;  // the handle and the running thread
    thread->routine = startRoutine;
    thread->context = startContext;
    ++g_liveThreads;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int failed = pthread_create(&thread->thread, &attributes, ThreadMain, thread);
    pthread_attr_destroy(&attributes);
    if (failed) {
        --g_liveThreads;
        ExFreePoolWithTag(thread, hostk::kThreadTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *threadHandle = &thread->handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
    PKTHREAD thread = t_current;
    if (!thread) {
        hostk::ReportViolation("PsTerminateSystemThread outside a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("thread terminated at IRQL %d", KeGetCurrentIrql());
    FinishThread(thread);
    pthread_exit(nullptr);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE objectType, KPROCESSOR_MODE,
                                   PVOID* object, PVOID) {
    auto* header = static_cast<hostk::HandleObject*>(handle);
    if (!header || header->kind != hostk::kHandleThread || (objectType && objectType != *PsThreadType)) {
        return STATUS_INVALID_PARAMETER;
    }
    PKTHREAD thread = FromHandle(handle);
    InterlockedIncrement(&thread->references);
    *object = thread;
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID object) {
    auto thread = static_cast<PKTHREAD>(object);
    LONG remaining = thread->references - 1;
    Release(thread);
    return remaining;
}

NTSTATUS ZwClose(HANDLE handle) {
    auto* object = static_cast<hostk::HandleObject*>(handle);
    if (!object || !object->close) return STATUS_INVALID_PARAMETER;
    return object->close(object);
}

PKTHREAD KeGetCurrentThread() { return t_current; }

namespace hostk {

void LowerThreadPriority() {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice + 5 < 19 ? nice + 5 : 19);
}

}  // namespace hostk
