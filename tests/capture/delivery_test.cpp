// What the pin may hand to an application: only images converted from frames
// read in the current run. Memory the driver never wrote (fresh pool, which
// the stand-in's client reports as a breach) and images from before a pause
// stay inside the driver.
#include "host/kernel/pool.h"
#include "host/kernel/threads.h"
#include "tests/capture/streaming_support.h"

namespace streaming_test {
namespace {

class DeliveryTest : public StreamingTest {};

TEST_F(DeliveryTest, AFrameReadBeforeAPauseButNeverConvertedIsNotDeliveredAfterTheRun) {
    HoldCamera();
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    pin->HoldProcessing(true);
    rig.Camera().StepFrames(1);
    // Read and ready, but Process has not come round to it.
    ASSERT_TRUE(Eventually([&] { return FramesRead() == 1 && BufferState(0) == BufferReady; }));
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    // The run starts with both buffers free: the frame read before is gone
    // and rgbImage was never written.
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer;
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    uint64_t calls = pin->ProcessCalls();
    pin->HoldProcessing(false);
    ASSERT_TRUE(Eventually([&] { return pin->ProcessCalls() > calls; }));
    hostks::CompletedFrame frame;
    EXPECT_FALSE(pin->WaitForFrame(&frame, 100ms)) << "delivered before any conversion";
    EXPECT_TRUE(buffer.Untouched());

    // The first frame of this run is converted and delivered.
    rig.Camera().StepFrames(1);
    frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame())));
}

TEST_F(DeliveryTest, AThreadThatCannotStartRefusesTheRunAndNoStaleImageGoesOut) {
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer first;
    ASSERT_EQ(pin->SubmitFrame(first.data(), first.size), STATUS_PENDING);
    EXPECT_EQ(NextFrame().dataUsed, kImageBytes);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Worker()->captureState, CapturePaused);

    // Pause to run with no thread to be had: the run is refused and the pin
    // stays paused, so nothing (least of all the image from before the
    // pause) is delivered.
    hostk::PoolFailNthAllocation(1, hostk::kThreadTag);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    hostk::PoolResetFaults();
    EXPECT_EQ(pin->State(), KSSTATE_PAUSE);
    EXPECT_EQ(Worker()->captureState, CapturePaused);
    EXPECT_EQ(Worker()->captureThread, nullptr);
    ClientBuffer waiting;
    ASSERT_EQ(pin->SubmitFrame(waiting.data(), waiting.size), STATUS_PENDING);
    hostks::CompletedFrame frame;
    EXPECT_FALSE(pin->WaitForFrame(&frame, 100ms));
    EXPECT_TRUE(waiting.Untouched());

    // Tried again, the run starts the thread and frames flow.
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Worker()->captureState, CaptureRunning);
    frame = NextFrame();
    EXPECT_EQ(frame.data, waiting.data());
    EXPECT_EQ(frame.dataUsed, kImageBytes);
}

TEST_F(DeliveryTest, AThreadThatCannotStartAtTheFirstRunFailsItAndKeepsNoBuffers) {
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    hostk::PoolFailNthAllocation(1, hostk::kThreadTag);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    hostk::PoolResetFaults();
    EXPECT_EQ(pin->State(), KSSTATE_PAUSE);
    EXPECT_EQ(Worker()->rgbImage, nullptr);
    EXPECT_EQ(hostk::PoolTagStats('hVLT').liveBlocks, 2u);  // the pin's descriptor copies only
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer buffer;
    ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
    EXPECT_EQ(NextFrame().dataUsed, kImageBytes);
}

}  // namespace
}  // namespace streaming_test
