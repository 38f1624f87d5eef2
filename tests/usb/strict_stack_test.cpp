// The host USB stack as strict as the Windows one: requests completed inside
// IoCallDriver on the caller's thread, chosen reproducibly from a seed;
// submissions refused there; device errors reported in the URB alone; and
// a pipe reset with transfers still pending on the pipe refused as a
// platform violation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/kernel/violations.h"
#include "host/usb/usb_stack.h"
#include "sim/simulated_camera.h"
#include "tests/support/plugged_camera.h"

using namespace std::chrono_literals;
using hostusb::CompletionMode;
using testrig::DriverTest;

namespace {

TEST(CompletionModeTest, TheVariableNamesPendingOrInlineWithASeedAndARefusalShare) {
    CompletionMode mode = CompletionMode::Inline(9);
    ASSERT_TRUE(hostusb::ParseCompletionMode("pending", &mode));
    EXPECT_FALSE(mode.inlineCompletion);
    ASSERT_TRUE(hostusb::ParseCompletionMode("inline:12345", &mode));
    EXPECT_TRUE(mode.inlineCompletion);
    EXPECT_EQ(mode.seed, 12345u);
    EXPECT_EQ(mode.refusePercent, 0u);
    ASSERT_TRUE(hostusb::ParseCompletionMode("inline:7:25", &mode));
    EXPECT_EQ(mode.seed, 7u);
    EXPECT_EQ(mode.refusePercent, 25u);
    for (const char* bad : {"inline", "inline:", "inline:x", "inline:1:101", "inline:1:2:3", "Pending", "inline:-1"}) {
        CompletionMode untouched = CompletionMode::Inline(99);
        EXPECT_FALSE(hostusb::ParseCompletionMode(bad, &untouched)) << bad;
        EXPECT_EQ(untouched.seed, 99u) << bad;
    }
}

TEST(CompletionModeTest, TheChoicesRepeatForTheSameSeedAndDifferForAnother) {
    auto choices = [](uint64_t seed) {
        hostusb::CompletionChooser chooser;
        chooser.Reset(CompletionMode::Inline(seed, 50, 30, 50));
        std::string drawn;
        for (int i = 0; i < 64; ++i) {
            drawn += chooser.CompleteInline() ? 'i' : 'p';
            drawn += chooser.RefuseSubmission() ? 'r' : 'a';
        }
        return drawn;
    };
    EXPECT_EQ(choices(4), choices(4));
    EXPECT_NE(choices(4), choices(5));
    const std::string drawn = choices(4);
    EXPECT_NE(drawn.find('i'), std::string::npos);
    EXPECT_NE(drawn.find('p'), std::string::npos);
    EXPECT_NE(drawn.find('r'), std::string::npos);
    hostusb::CompletionChooser pending;
    pending.Reset(CompletionMode::Pending());
    for (int i = 0; i < 32; ++i) {
        EXPECT_FALSE(pending.CompleteInline());
        EXPECT_FALSE(pending.RefuseSubmission());
        EXPECT_FALSE(pending.ErrorInUrbOnly());
    }
}

// What the completion routine of a device-descriptor request saw.
struct Seen {
    std::atomic<bool> ran{false};
    std::thread::id thread;
    KIRQL irql = 0;
    BOOLEAN pendingReturned = FALSE;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->thread = std::this_thread::get_id();
    seen->irql = KeGetCurrentIrql();
    seen->pendingReturned = irp->PendingReturned;
    seen->ran.store(true);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends GET_DESCRIPTOR(device) straight to a stack over a bare camera.
class DescriptorRequest {
public:
    explicit DescriptorRequest(hostusb::UsbStack& stack) : stack_(stack) {
        irp_ = IoAllocateIrp(static_cast<CHAR>(stack.PhysicalDeviceObject()->StackSize + 1), FALSE);
        UsbBuildGetDescriptorRequest(&urb_, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                     0, 0, data_, nullptr, sizeof data_, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, NoteCompletion, &seen, TRUE, TRUE, TRUE);
    }
    ~DescriptorRequest() { IoFreeIrp(irp_); }
    NTSTATUS Send() { return IoCallDriver(stack_.PhysicalDeviceObject(), irp_); }
    bool WaitDone() {
        for (int i = 0; i < 2000 && !seen.ran.load(); ++i) std::this_thread::sleep_for(1ms);
        return seen.ran.load();
    }
    PIRP Irp() { return irp_; }

    Seen seen;

private:
    hostusb::UsbStack& stack_;
    PIRP irp_;
    URB urb_{};
    UCHAR data_[18] = {};
};

TEST(StrictStackTest, ARequestBeforeTheDeviceIsStartedFailsAndBreaksAPlatformRule) {
    hostk::ClearViolations();
    sim::SimulatedCamera camera;
    {
        hostusb::UsbStack stack(&camera);
        stack.SetCompletionMode(CompletionMode::Inline(1, 100));
        DescriptorRequest early(stack);
        EXPECT_EQ(early.Send(), STATUS_DEVICE_NOT_READY);
        ASSERT_TRUE(early.WaitDone());
        EXPECT_EQ(early.Irp()->IoStatus.Status, STATUS_DEVICE_NOT_READY);
        EXPECT_TRUE(camera.TraceLines().empty());  // it never reached the camera
        EXPECT_EQ(hostk::ViolationCount(), 1u);
        EXPECT_NE(hostk::ViolationText().find("before the device was started"), std::string::npos)
            << hostk::ViolationText();

        hostk::ClearViolations();
        stack.DeliverStart();
        DescriptorRequest started(stack);
        EXPECT_EQ(started.Send(), STATUS_SUCCESS);
        EXPECT_EQ(camera.TraceLines(), std::vector<std::string>{"GET_DESCRIPTOR 1 0 18"});
    }
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    hostk::ClearViolations();
}

TEST(StrictStackTest, AnInlineCompletionRunsTheRoutineOnTheCallersThreadBeforeIoCallDriverReturns) {
    hostk::ClearViolations();
    sim::SimulatedCamera camera;
    {
        hostusb::UsbStack stack(&camera);
        stack.DeliverStart();
        stack.SetCompletionMode(CompletionMode::Inline(1, 100));
        DescriptorRequest request(stack);
        // The routine has run, here, at this thread's IRQL, and the final
        // status came back instead of STATUS_PENDING.
        EXPECT_EQ(request.Send(), STATUS_SUCCESS);
        EXPECT_TRUE(request.seen.ran.load());
        EXPECT_EQ(request.seen.thread, std::this_thread::get_id());
        EXPECT_EQ(request.seen.irql, PASSIVE_LEVEL);
        EXPECT_FALSE(request.seen.pendingReturned);
        EXPECT_EQ(request.Irp()->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(stack.InlineCompletions(), 1u);
    }
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

TEST(StrictStackTest, APendedCompletionComesLaterOnAnotherThreadAtDispatchLevel) {
    hostk::ClearViolations();
    sim::SimulatedCamera camera;
    {
        hostusb::UsbStack stack(&camera);
        stack.DeliverStart();
        stack.SetCompletionMode(CompletionMode::Pending());
        DescriptorRequest request(stack);
        EXPECT_EQ(request.Send(), STATUS_PENDING);
        ASSERT_TRUE(request.WaitDone());
        EXPECT_NE(request.seen.thread, std::this_thread::get_id());
        EXPECT_EQ(request.seen.irql, DISPATCH_LEVEL);
        EXPECT_TRUE(request.seen.pendingReturned);
        EXPECT_EQ(stack.InlineCompletions(), 0u);
    }
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

// A 64-byte read on the reply pipe that stays pending: the camera has no
// reply queued.
class PendingReplyRead {
public:
    explicit PendingReplyRead(UsbLink* link) {
        irp_ = IoAllocateIrp(static_cast<CHAR>(link->lowerDeviceObject->StackSize + 1), FALSE);
        PUSBD_PIPE_INFORMATION pipe = &link->interfaceInfo->Pipes[ReplyPipe];
        UsbBuildInterruptOrBulkTransferRequest(&urb_, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle,
                                               data_, nullptr, sizeof data_, PipeTransferFlags(pipe), nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, NoteCompletion, &seen_, TRUE, TRUE, TRUE);
        status_ = IoCallDriver(link->lowerDeviceObject, irp_);
    }
    ~PendingReplyRead() { IoFreeIrp(irp_); }
    NTSTATUS CallStatus() const { return status_; }
    bool CancelAndWait() {
        IoCancelIrp(irp_);
        for (int i = 0; i < 2000 && !seen_.ran.load(); ++i) std::this_thread::sleep_for(1ms);
        return seen_.ran.load();
    }

private:
    PIRP irp_;
    URB urb_{};
    UCHAR data_[64] = {};
    Seen seen_;
    NTSTATUS status_;
};

TEST_F(DriverTest, APipeResetWithATransferStillPendingOnThatPipeBreaksAPlatformRule) {
    rig.Plug();
    DeviceContext* context = rig.Context();
    {
        PendingReplyRead read(&context->link);
        ASSERT_EQ(read.CallStatus(), STATUS_PENDING);
        ASSERT_TRUE(rig.Camera().WaitForPendingTransfers(0x81, 1, 2000ms));
        // Another pipe may be reset meanwhile.
        EXPECT_EQ(ResetPipe(&context->link, FramePipe), STATUS_SUCCESS);
        EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
        ResetPipe(&context->link, ReplyPipe);
        EXPECT_EQ(hostk::ViolationCount(), 1u);
        EXPECT_NE(hostk::ViolationText().find("endpoint 0x81 with 1 transfers pending"), std::string::npos)
            << hostk::ViolationText();
        ASSERT_TRUE(read.CancelAndWait());
    }
    hostk::ClearViolations();
    // Once the read was cancelled and completed back, the reset is fine.
    EXPECT_EQ(ResetPipe(&context->link, ReplyPipe), STATUS_SUCCESS);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

}  // namespace
