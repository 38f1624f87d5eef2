// The I/O manager and dispatcher stand-ins behave as the kernel documents:
// completion routines in stack order, STATUS_MORE_PROCESSING_REQUIRED
// stopping completion, cancellation through the cancel routine, partial MDLs,
// timed waits, thread objects signalled at exit, and the IRQL rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/wdk_host.h"
#include "host/kernel/violations.h"

namespace {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { hostk::ClearViolations(); }
    void TearDown() override {
        EXPECT_EQ(hostk::PoolTotals().liveBlocks, 0u) << hostk::PoolLeakReport();
        hostk::ClearViolations();
    }
};

// A lower driver that keeps the IRP pending until the test completes it.
PIRP g_held = nullptr;
NTSTATUS NTAPI HoldIrp(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}
VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_held = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

struct Completion {
    int calls = 0;
    NTSTATUS seen = 0;
    NTSTATUS answer = STATUS_MORE_PROCESSING_REQUIRED;
};
NTSTATUS NTAPI Record(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* c = static_cast<Completion*>(context);
    ++c->calls;
    c->seen = irp->IoStatus.Status;
    return c->answer;
}

struct LowerDevice {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    LowerDevice() {
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HoldIrp;
        device.DriverObject = &driver;
        device.StackSize = 1;
    }
};

TEST_F(KernelTest, CompletionRoutineRunsAndMoreProcessingKeepsTheIrp) {
    LowerDevice lower;
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    Completion completion;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &completion, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_PENDING);
    ASSERT_EQ(g_held, irp);
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.seen, STATUS_UNSUCCESSFUL);
    // Still ours: reuse it once more, this time for success only.
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &completion, TRUE, FALSE, FALSE);
    IoCallDriver(&lower.device, irp);
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;  // not wanted on error: routine skipped
    completion.answer = STATUS_MORE_PROCESSING_REQUIRED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(hostk::ViolationCount(), 1u);  // a driver IRP completed to the I/O manager
    IoFreeIrp(irp);
}

TEST_F(KernelTest, CancelCallsTheCancelRoutineOnceAndCompletesWithCancelled) {
    LowerDevice lower;
    PIRP irp = IoAllocateIrp(1, FALSE);
    Completion completion;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &completion, TRUE, TRUE, TRUE);
    IoCallDriver(&lower.device, irp);
    IoSetCancelRoutine(irp, CancelHeld);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.seen, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    // No cancel routine any more: nothing to call.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(KernelTest, BuiltRequestsSignalTheirEventAndAreFreedByTheIoManager) {
    LowerDevice lower;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    IoCallDriver(&lower.device, irp);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    std::thread other([irp] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    other.join();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
}

TEST_F(KernelTest, PartialMdlMapsAWindowAndRefusesOneOutside) {
    UCHAR buffer[300000];
    PMDL whole = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    PMDL part = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(whole, part, buffer + 65536, 65536);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + 65536);
    EXPECT_EQ(MmGetMdlByteCount(part), 65536u);
    EXPECT_EQ(hostk::ViolationCount(), 0u);
    IoBuildPartialMdl(whole, part, buffer + 290000, 20000);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    IoFreeMdl(part);
    IoFreeMdl(whole);
}

TEST_F(KernelTest, WaitsTimeOutAndSynchronizationEventsWakeOneWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20 * 10000;  // 20 ms
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(19));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    // The wait consumed the signal.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

TEST_F(KernelTest, WaitingAtDispatchLevelIsReportedButPollingIsAllowed) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    EXPECT_EQ(hostk::ViolationCount(), 0u);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

std::atomic<int> g_threadRuns{0};
VOID NTAPI CountAndEnd(PVOID context) {
    g_threadRuns += *static_cast<int*>(context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KernelTest, ThreadObjectsAreSignalledWhenTheThreadEnds) {
    int add = 5;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, CountAndEnd, &add),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(g_threadRuns.load(), 5);
    EXPECT_EQ(hostk::LiveSystemThreads(), 0u);
}

}  // namespace
