// The frame read and the command transfers through the strict stack: chunks
// that complete or are refused inside the posting loop, the pipe and port
// recovery after a chunk that cannot be posted, the chunk completion's
// guard, and requests whose IRP succeeds while the URB reports a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "driver/camera/camera_commands.h"
#include "driver/camera/frame_geometry.h"
#include "host/kernel/violations.h"
#include "tests/support/plugged_camera.h"

using namespace std::chrono_literals;
using hostusb::CompletionMode;
using testrig::DriverTest;

namespace {

constexpr ULONG kFullFrame = 2315264;

class StrictFrameReadTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        rig.Plug();
        context = rig.Context();
        context->ProgramFrameGeometry();
        buffer.assign(kFullFrame, 0xAB);
        // Reads that should succeed get room for a loaded machine.
        rig::SetReadTimeout(10000);
    }
    NTSTATUS Read() { return ReadFrameChunked(&context->link, kFullFrame, buffer.data(), context); }
    hostusb::UsbStack& Stack() { return rig.Pnp().UsbStack(); }
    // The trace lines of the recovery requests, in order.
    std::vector<std::string> Recovery() {
        std::vector<std::string> found;
        for (const std::string& line : rig.Camera().TraceLines()) {
            if (line.rfind("RESET_PIPE", 0) == 0 || line == "GET_PORT_STATUS" || line == "RESET_PORT")
                found.push_back(line);
        }
        return found;
    }

    DeviceContext* context = nullptr;
    std::vector<UCHAR> buffer;
};

TEST_F(StrictFrameReadTest, AChunkRefusedWhileOthersArePendingIsRecoveredOnlyAfterTheyAreCancelled) {
    // The fifth chunk is refused inside IoCallDriver while the first four
    // wait in the camera. The frame pipe may be reset only once they have
    // been cancelled and completed back; the reset succeeds, so the port is
    // left alone.
    rig.Camera().HoldFrames();
    rig.Camera().ClearTrace();
    Stack().RefuseBulkSubmission(0x82, 4);
    EXPECT_EQ(Read(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Stack().RefusedSubmissions(), 1u);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    EXPECT_EQ(Recovery(), std::vector<std::string>{"RESET_PIPE 2"});
    EXPECT_EQ(Stack().TransfersInFlight(), 0u);
    EXPECT_EQ(context->link.chunkTable, nullptr);
    rig.Camera().ReleaseFrames();
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(FrameBytesReceived(&context->link), kFullFrame);
}

TEST_F(StrictFrameReadTest, AChunkThatCannotBePostedOnADisabledPortLeadsToPipeThenPortReset) {
    // With every request completed inline, the first chunk's failure comes
    // back from IoCallDriver: posting stops, the pipe reset is refused too,
    // and the port - connected but disabled - is reset.
    Stack().SetCompletionMode(CompletionMode::Inline(3, 100, 0, 0));
    rig.Camera().DisablePort();
    rig.Camera().ClearTrace();
    NTSTATUS status = Read();
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_NE(status, STATUS_TIMEOUT);
    EXPECT_EQ(Recovery(), (std::vector<std::string>{"RESET_PIPE 2", "GET_PORT_STATUS", "RESET_PORT"}));
    auto chunks = testrig::LinesStartingWith(rig.Camera().TraceLines(), "BULK_IN 2");
    EXPECT_EQ(chunks.size(), 1u) << "posting goes on after a chunk that could not be posted";
    EXPECT_EQ(Stack().TransfersInFlight(), 0u);
    // The port reset brought the camera back.
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(FrameBytesReceived(&context->link), kFullFrame);
}

TEST_F(StrictFrameReadTest, AStalledChunkCompletedInsideThePostingLoopStopsTheReadAndThePipeResetClearsTheStall) {
    Stack().SetCompletionMode(CompletionMode::Inline(5, 100, 0, 0));
    rig.Camera().StallPipe(0x82);
    rig.Camera().ClearTrace();
    size_t inlineBefore = Stack().InlineCompletions();
    EXPECT_EQ(Read(), STATUS_UNSUCCESSFUL);
    EXPECT_GT(Stack().InlineCompletions(), inlineBefore);
    EXPECT_EQ(Recovery(), std::vector<std::string>{"RESET_PIPE 2"});
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(FrameBytesReceived(&context->link), kFullFrame);
}

TEST_F(StrictFrameReadTest, ChunksThatFailInTheUrbOnlyCompleteInsideThePostingLoopAndBringNoBytes) {
    // Every chunk stalls and every IRP succeeds regardless: each completion
    // runs inside its own IoCallDriver, the last one ends the read there,
    // and no failed chunk is counted as data.
    Stack().SetCompletionMode(CompletionMode::Inline(6, 100, 0, 100));
    rig.Camera().StallPipe(0x82);
    size_t inlineBefore = Stack().InlineCompletions();
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_GE(Stack().InlineCompletions() - inlineBefore, 36u);
    EXPECT_EQ(FrameBytesReceived(&context->link), 0u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](UCHAR b) { return b == 0xAB; }));
    EXPECT_EQ(context->link.chunkTable, nullptr);
    EXPECT_EQ(Stack().TransfersInFlight(), 0u);
}

TEST_F(StrictFrameReadTest, ATransferWhoseIrpSucceedsButWhoseUrbFailedIsAFailure) {
    Stack().SetCompletionMode(CompletionMode::Inline(8, 50, 0, 100));
    rig.Camera().RejectCommands(true, hostusb::kUsbdStallPid);
    UCHAR packet[64] = {Command0A};
    ULONG moved = 99;
    EXPECT_EQ(PipeTransfer(&context->link, CommandPipe, packet, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    EXPECT_FALSE(SendCameraCommand(context, packet));
    rig.Camera().RejectCommands(false);
    // Any URB: a descriptor the disabled port never delivered is no
    // descriptor, whatever the IRP says.
    rig.Camera().DisablePort();
    EXPECT_EQ(ReadDeviceDescriptor(&context->link), STATUS_UNSUCCESSFUL);
    rig.Camera().ResetPort();
    EXPECT_EQ(ReadDeviceDescriptor(&context->link), STATUS_SUCCESS);
    EXPECT_EQ(PipeTransfer(&context->link, CommandPipe, packet, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 64u);
}

TEST_F(StrictFrameReadTest, TheChunkCompletionKeepsEveryIrpItDoesNotRecognise) {
    // A chunk IRP is the driver's own, so even an IRP the guard does not
    // recognise must not go on to the I/O manager.
    PIRP irp = IoAllocateIrp(static_cast<CHAR>(context->link.lowerDeviceObject->StackSize + 1), FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    ChunkRequest stranger{&context->link, nullptr, nullptr, nullptr};
    EXPECT_EQ(ChunkCompletion(nullptr, irp, nullptr), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(ChunkCompletion(nullptr, irp, &stranger), STATUS_MORE_PROCESSING_REQUIRED);

    // Completed through the stack inside IoCallDriver, with no read in
    // flight: the IRP comes back to its owner, not to the I/O manager.
    Stack().SetCompletionMode(CompletionMode::Inline(9, 100));
    URB urb{};
    UCHAR data[18] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 data, nullptr, sizeof data, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    stranger.irp = irp;
    IoSetCompletionRoutine(irp, ChunkCompletion, &stranger, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(context->link.lowerDeviceObject, irp), STATUS_SUCCESS);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    IoFreeIrp(irp);
}

TEST_F(StrictFrameReadTest, StreamingReadsSurviveRandomRefusalsReproducibly) {
    // A fifth of all bulk submissions refused at random, half of the rest
    // completed inline: reads fail or succeed, but every one ends, nothing
    // stays in flight, no rule is broken, and the same seed gives the same
    // outcomes.
    // A refused Command03 leaves the camera unasked and the read waits its
    // whole timeout, so the timeout here is short, yet long enough for a
    // whole frame on a loaded machine.
    rig::SetReadTimeout(4000);
    auto outcomes = [this](uint64_t seed) {
        Stack().SetCompletionMode(CompletionMode::Inline(seed, 50, 20, 0));
        std::string seen;
        for (int i = 0; i < 5; ++i) {
            NTSTATUS status = Read();
            seen += status == STATUS_SUCCESS ? 'S' : 'F';
            EXPECT_EQ(Stack().TransfersInFlight(), 0u);
            EXPECT_EQ(context->link.chunkTable, nullptr);
        }
        return seen;
    };
    std::string first = outcomes(11);
    EXPECT_EQ(outcomes(11), first);
    EXPECT_NE(first.find('F'), std::string::npos) << first;
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    Stack().SetCompletionMode(CompletionMode::Pending());
    EXPECT_EQ(Read(), STATUS_SUCCESS);
}

}  // namespace
